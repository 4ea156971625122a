#include "fuzz/conversion_check.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "convert/convert.hpp"
#include "platform/platform.hpp"

namespace quorvel::fuzzing {

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

constexpr const char* kInputName = "input";
constexpr const char* kOutputName = "output";

std::string captured;

void capture(std::string_view text) { captured += text; }

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "conversion check failed: %s\nmessages: \"%s\"\n", what.c_str(),
                 captured.c_str());
    std::abort();
}

void expect(bool condition, const char* what) {
    if (!condition) fail(what);
}

// A folder of this process's own for the input and output files, removed at exit.
class Folder {
public:
    Folder()
        : path_(fs::temp_directory_path() / ("quorvel-check-" + std::to_string(std::random_device{}()))) {
        fs::create_directories(path_);
    }
    ~Folder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

const fs::path& folder() {
    static const Folder instance;
    return instance.path();
}

void writeFile(const fs::path& path, const std::uint8_t* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    expect(static_cast<bool>(out), "could not write the input file");
}

Bytes readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::uint32_t get16(const Bytes& b, std::size_t at) { return b.at(at) | b.at(at + 1) << 8; }
std::uint32_t get32(const Bytes& b, std::size_t at) { return get16(b, at) | get16(b, at + 2) << 16; }
std::size_t padded(std::size_t width) { return (width + 3) & ~std::size_t{3}; }

struct Outcome {
    std::string messages;
    Bytes output;
    RixHeader header;
};

// Converts `input` as the driver would: input opened for reading, output
// created, the conversion run, output closed before input.
Outcome convert(Direction direction, const Bytes& input) {
    const fs::path in = folder() / kInputName;
    const fs::path out = folder() / kOutputName;
    writeFile(in, input.data(), input.size());
    captured.clear();
    RixHeader header = initialRunHeader();
    {
        platform::File source = platform::openForReading(in.string().c_str());
        platform::File target = platform::createForWriting(out.string().c_str(), source);
        expect(source.isOpen() && target.isOpen(), "could not open the pair");
        ConversionJob job{source, target, kInputName, kOutputName, header};
        direction == Direction::RixToBmp ? convertRixToBmp(job) : convertBmpToRix(job);
        target.close();
        source.close();
    }
    return {captured, readFile(out), header};
}

const std::vector<std::string> kRefusals = {
    "Cannot read RIX3 signature! File : input\n",
    "Not a ColorRIX Image File format. File : input\n",
    "Cannot seek to palette data. File : input\n",
    "Cannot read RIX into buffer! File : input\n",
    "Cannot read BMP signature, file : input\n",
    "Not a Bitmap File format. File : input\n",
    "Cannot read bitmap core header, file : input\n",
    "Cannot read bitmap info header, file input\n",
    "Compressed bitmap. Can't convert. File : input",
    "File input is not a valid 256-color bitmap file.\n",
    "Can't read palette from a bitmap file : input\n",
    "Can't read raw data from a bitmap file : input\n",
};

bool isAllocationMessage(const std::string& text) {
    const std::string head = "Cannot allocate heap, free ";
    const std::string tail = " bytes of memory then try again...";
    if (text.rfind(head, 0) != 0) return false;
    std::size_t at = head.size();
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
    const std::string rest = text.substr(at);
    return at > head.size() && (rest == tail || rest == tail + "\n");
}

bool isRefusal(const std::string& text) {
    for (const std::string& message : kRefusals)
        if (text == message) return true;
    return isAllocationMessage(text);
}

// The bitmap written for a ColorRIX: headers as stated, widened palette,
// rows bottom first and padded with zeros.
void checkBitmapFor(const Bytes& rix, const Bytes& bmp) {
    const std::size_t width = get16(rix, 4), height = get16(rix, 6), row = padded(width);
    expect(bmp.size() == 794 + row * height, "bitmap size differs from its rows");
    expect(get16(bmp, 0) == 0x4D42 && get32(bmp, 2) == bmp.size(), "bfType or bfSize wrong");
    expect(get32(bmp, 10) == 794 && get32(bmp, 14) == 12, "bfOffBits or bcSize wrong");
    expect(get16(bmp, 18) == width && get16(bmp, 20) == height, "bitmap size fields wrong");
    expect(get16(bmp, 22) == 1 && get16(bmp, 24) == 8, "bcPlanes or bcBitCount wrong");
    for (std::size_t i = 0; i < 256; ++i)
        for (std::size_t c = 0; c < 3; ++c)
            expect(bmp[26 + 3 * i + c] == static_cast<std::uint8_t>(rix[10 + 3 * i + 2 - c] << 2),
                   "palette entry not widened");
    for (std::size_t y = 0; y < height; ++y)
        for (std::size_t x = 0; x < row; ++x) {
            const std::uint8_t expected = x < width ? rix[778 + y * width + x] : 0;
            expect(bmp[794 + (height - 1 - y) * row + x] == expected, "pixel or padding wrong");
        }
}

// A bitmap's pixel rows, read by hand: `height` rows from bfOffBits, padded,
// bottom row first unless an info header's height is negative.
std::uint8_t sourcePixel(const Bytes& bmp, std::size_t width, std::size_t height, std::size_t x,
                         std::size_t y) {
    const bool topDown = get32(bmp, 14) != 12 && (get32(bmp, 22) & 0x80000000u) != 0;
    const std::size_t stored = topDown ? y : height - 1 - y;
    return bmp.at(get32(bmp, 10) + stored * padded(width) + x);
}

void checkRixFor(const Bytes& bmp, const Outcome& outcome) {
    const Bytes& rix = outcome.output;
    expect(rix.size() >= 778, "ColorRIX shorter than its header and palette");
    const std::size_t width = get16(rix, 4), height = get16(rix, 6);
    expect(rix.size() == 778 + width * height, "ColorRIX size differs from its header");
    expect(get32(rix, 0) == kRixSignature && get16(rix, 8) == kDefaultPaletteInfo, "ColorRIX header wrong");
    expect(std::memcmp(&outcome.header, rix.data(), kRixHeaderBytes) == 0, "run header not written");
    for (std::size_t y = 0; y < height; ++y)
        for (std::size_t x = 0; x < width; ++x)
            expect(rix[778 + y * width + x] == sourcePixel(bmp, width, height, x, y), "pixel moved");
    const Outcome back = convert(Direction::RixToBmp, rix);
    expect(back.messages == "File created : output\n", "ColorRIX written was not read back");
    checkBitmapFor(rix, back.output);
}

}  // namespace

void checkConversion(Direction direction, const std::uint8_t* data, std::size_t size) {
    const platform::ConsoleSink previous = platform::setConsoleSink(capture);
    const Bytes input(data, data + size);
    const Outcome outcome = convert(direction, input);
    if (outcome.messages == "File created : output\n") {
        if (direction == Direction::RixToBmp) {
            expect(std::memcmp(&outcome.header, input.data(), kRixHeaderBytes) == 0,
                   "run header not taken from the file");
            checkBitmapFor(input, outcome.output);
        } else {
            checkRixFor(input, outcome);
        }
    } else {
        expect(isRefusal(outcome.messages), "not exactly one of the program's messages");
        expect(outcome.output.empty(), "a refused input left output behind");
    }
    platform::setConsoleSink(previous);
}

}  // namespace quorvel::fuzzing
