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
#include "support/images.hpp"

namespace quorvel::fuzzing {

namespace {

namespace fs = std::filesystem;
using namespace quorvel::testing;

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

// The bitmap written for a ColorRIX must be byte for byte the one the test
// images' own writer makes of the same picture and palette.
void checkBitmapFor(const Bytes& rix, const Bytes& bmp) {
    const auto width = static_cast<std::uint16_t>(get16(rix, 4));
    const auto height = static_cast<std::uint16_t>(get16(rix, 6));
    const auto pixels = rix.begin() + kRixPixelOffset;
    const IndexedImage image{width, height, Bytes(pixels, pixels + std::ptrdiff_t{width} * height)};
    std::vector<Rgb> palette(kPaletteEntries);
    for (std::size_t i = 0; i < kPaletteEntries; ++i)
        palette[i] = {rix[10 + 3 * i], rix[11 + 3 * i], rix[12 + 3 * i]};
    expect(bmp == expectedBitmap(image, palette), "bitmap differs from the expected one");
}

// A bitmap's pixel rows, read by hand: `height` rows from bfOffBits, padded,
// bottom row first unless an info header's height is negative.
std::uint8_t sourcePixel(const Bytes& bmp, std::size_t width, std::size_t height, std::size_t x,
                         std::size_t y) {
    const bool topDown = get32(bmp, 14) != 12 && (get32(bmp, 22) & 0x80000000u) != 0;
    const std::size_t stored = topDown ? y : height - 1 - y;
    return bmp.at(get32(bmp, 10) + stored * paddedRow(width) + x);
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
