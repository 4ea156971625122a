// quorvel-thumbnailer -s SIZE INPUT OUTPUT: a PNG of the ColorRIX picture
// INPUT, scaled to fit SIZE x SIZE and never enlarged, for file managers
// (their .thumbnailer entries). Each thumbnail pixel is the average of the
// picture's pixels it covers, in the colours the converted bitmap shows.
// The rows come from the converter's own readers, a band at a time. A file the
// converter would refuse leaves nothing at OUTPUT, and the status is 1.
#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string_view>

#include "convert/convert.hpp"
#include "convert/thumbnail.hpp"

namespace {

using namespace quorvel;

class PngWriter {
public:
    explicit PngWriter(std::FILE* file) : file_(file) {
        png_ = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
        info_ = png_ ? png_create_info_struct(png_) : nullptr;
    }
    ~PngWriter() { png_destroy_write_struct(&png_, &info_); }
    PngWriter(const PngWriter&) = delete;
    PngWriter& operator=(const PngWriter&) = delete;

    // libpng reports its failures by a long jump back here; nothing with a
    // destructor lives between the two.
    bool start(std::uint32_t width, std::uint32_t height) {
        if (!info_ || setjmp(png_jmpbuf(png_))) return false;
        png_init_io(png_, file_);
        png_set_IHDR(png_, info_, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                     PNG_FILTER_TYPE_DEFAULT);
        png_write_info(png_, info_);
        return true;
    }
    bool row(const std::uint8_t* rgb) {
        if (setjmp(png_jmpbuf(png_))) return false;
        png_write_row(png_, rgb);
        return true;
    }
    bool finish() {
        if (setjmp(png_jmpbuf(png_))) return false;
        png_write_end(png_, info_);
        return true;
    }

private:
    std::FILE* file_;
    png_structp png_ = nullptr;
    png_infop info_ = nullptr;
};

bool writeThumbnail(RixRows& picture, std::uint32_t size, PngWriter& png) {
    const ThumbnailShape shape = thumbnailShape(picture.width, picture.height, size);
    return png.start(shape.width, shape.height) &&
           drawThumbnail(picture, size, [&png](const std::uint8_t* rgb) { return png.row(rgb); }) &&
           png.finish();
}

int usage() {
    std::puts("Usage: quorvel-thumbnailer -s SIZE INPUT OUTPUT");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5 || std::string_view(argv[1]) != "-s") return usage();
    char* end = nullptr;
    const unsigned long size = std::strtoul(argv[2], &end, 10);
    if (*argv[2] == '\0' || *end != '\0' || size == 0 || size > 65535) return usage();
    platform::File input = platform::openForReading(argv[3]);
    RixRefusal refusal{};
    const std::unique_ptr<RixRows> picture = input.isOpen() ? openRixRows(input, refusal) : nullptr;
    if (!picture || picture->width == 0 || picture->height == 0) return 1;
    std::FILE* file = std::fopen(argv[4], "wb");
    if (!file) return 1;
    bool written = false;
    try {
        PngWriter png(file);
        written = writeThumbnail(*picture, static_cast<std::uint32_t>(size), png);
    } catch (const std::bad_alloc&) {
        // The decoder's own memory could not be had: as any other failure.
    }
    if (std::fclose(file) == 0 && written) return 0;
    // A picture cut short, or a full disk: no thumbnail at all (a device named as the output stays).
    std::error_code error;
    if (std::filesystem::is_regular_file(argv[4], error)) std::remove(argv[4]);
    return 1;
}
