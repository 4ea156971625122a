// quorvel-thumbnailer -s SIZE INPUT OUTPUT: a PNG of the ColorRIX picture
// INPUT, scaled to fit SIZE x SIZE and never enlarged, for file managers
// (their .thumbnailer entries). Each thumbnail pixel is the average of the
// picture's pixels it covers, in the colours the converted bitmap shows.
// The rows come from the converter's own readers, a band at a time; the
// sums of one thumbnail row are all that is kept of them. A file the
// converter would refuse leaves nothing at OUTPUT, and the status is 1.
#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string_view>
#include <vector>

#include "convert/convert.hpp"

namespace {

using namespace quorvel;

// Source pixels [first[k], first[k + 1]) make thumbnail pixel k: every
// source pixel counts once, and a size not scaled maps one to one.
std::vector<std::uint32_t> boxes(std::uint32_t from, std::uint32_t to) {
    std::vector<std::uint32_t> first(to + 1);
    for (std::uint32_t k = 0; k <= to; ++k) first[k] = static_cast<std::uint32_t>(std::uint64_t{k} * from / to);
    return first;
}

// The thumbnail's side along one axis: the picture's scaled by the larger
// side's ratio, rounded, one pixel at least.
std::uint32_t scaled(std::uint32_t side, std::uint32_t largest, std::uint32_t size) {
    if (largest <= size) return side;
    return std::max<std::uint32_t>(1, static_cast<std::uint32_t>((std::uint64_t{side} * size + largest / 2) / largest));
}

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
    bool row(std::uint8_t* rgb) {
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

// Reads the picture band by band, adds each source row into the sums of its
// thumbnail row, and writes that row once its last source row is in.
bool writeThumbnail(RixRows& picture, std::uint32_t size, PngWriter& png) {
    const std::uint32_t width = picture.width, height = picture.height, largest = std::max(width, height);
    const std::uint32_t thumbWidth = scaled(width, largest, size), thumbHeight = scaled(height, largest, size);
    if (!png.start(thumbWidth, thumbHeight)) return false;
    const std::vector<std::uint32_t> columns = boxes(width, thumbWidth), rows = boxes(height, thumbHeight);
    // Each colour packed in one word, a component every 21 bits: a run of
    // up to 8192 pixels adds up in it with one addition a pixel.
    constexpr std::uint32_t kPackedRun = 8192;
    std::uint64_t packed[kPaletteEntries];
    for (std::size_t i = 0; i < kPaletteEntries; ++i) {
        const RGBTRIPLE& colour = picture.palette[i];
        packed[i] = colour.rgbtRed | std::uint64_t{colour.rgbtGreen} << 21 | std::uint64_t{colour.rgbtBlue} << 42;
    }
    const std::size_t bandRows = std::max<std::size_t>(1, (std::size_t{1} << 20) / std::max<std::size_t>(1, width));
    std::vector<std::uint8_t> band(bandRows * width), out(3 * std::size_t{thumbWidth});
    std::vector<std::uint64_t> sums(3 * std::size_t{thumbWidth});
    std::uint32_t y = 0, thumbRow = 0;
    while (y < height) {
        const std::size_t count = std::min<std::size_t>(bandRows, height - y);
        if (!picture.fill(band.data(), static_cast<std::ptrdiff_t>(width), count)) return false;
        for (std::size_t row = 0; row < count; ++row, ++y) {
            const std::uint8_t* indices = &band[row * width];
            for (std::uint32_t k = 0; k < thumbWidth; ++k) {
                for (std::uint32_t x = columns[k]; x < columns[k + 1];) {
                    const std::uint32_t end = std::min(columns[k + 1], x + kPackedRun);
                    std::uint64_t run = 0;
                    for (; x < end; ++x) run += packed[indices[x]];
                    for (unsigned c = 0; c < 3; ++c) sums[3 * k + c] += run >> (21 * c) & ((1u << 21) - 1);
                }
            }
            if (y + 1 != rows[thumbRow + 1]) continue;
            const std::uint64_t tall = rows[thumbRow + 1] - rows[thumbRow];
            for (std::uint32_t k = 0; k < thumbWidth; ++k) {
                const std::uint64_t covered = tall * (columns[k + 1] - columns[k]);
                for (unsigned c = 0; c < 3; ++c) out[3 * k + c] = static_cast<std::uint8_t>((sums[3 * k + c] + covered / 2) / covered);
            }
            std::fill(sums.begin(), sums.end(), 0);
            if (!png.row(out.data())) return false;
            ++thumbRow;
        }
    }
    return png.finish();
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
    // The converter's messages are not for a file manager.
    platform::setConsoleSink([](std::string_view) {});
    platform::File input = platform::openForReading(argv[3]);
    platform::File noOutput;
    RixHeader header = initialRunHeader();
    ConversionJob job{input, noOutput, argv[3], argv[4], header};
    const std::unique_ptr<RixRows> picture = input.isOpen() ? openRixRows(job) : nullptr;
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
