// The fuzz check: the bytes given are converted as a file, in the direction
// QUORVEL_FUZZ_TO_BITMAP says, and the outcome must be either one line
// naming the input and an empty output, or "File created" and, byte for
// byte, the file that the picture the input holds must become, worked out
// here apart from the converter's code. The ColorRIX made of a bitmap must
// also convert into the bitmap of its own picture. Any other outcome aborts,
// so the fuzzer and the replays report it.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

#include "convert/convert.hpp"
#include "reference.hpp"

namespace {

using namespace quorvel;
using Bytes = std::vector<std::uint8_t>;

struct Outcome {
    std::string messages;  // everything printed, in order
    Bytes output;          // the output file as it was left
};

std::string printed;

// One conversion as the driver runs it, on files of this process's own.
Outcome convert(bool toBitmap, const Bytes& input) {
    namespace fs = std::filesystem;
    static const std::string in = (fs::temp_directory_path() / ("quorvel-fuzz-" + std::to_string(::getpid()))).string();
    static const std::string out = in + ".out";
    std::ofstream(in, std::ios::binary).write(reinterpret_cast<const char*>(input.data()), std::streamsize(input.size()));
    printed.clear();
    platform::setConsoleSink([](std::string_view text) { printed += text; });
    {
        platform::File source = platform::openForReading(in.c_str());
        platform::File target = platform::createForWriting(out.c_str(), source);
        RixHeader header = initialRunHeader();
        ConversionJob job{source, target, "input", "output", header};
        toBitmap ? convertRixToBmp(job) : convertBmpToRix(job);
    }
    std::ifstream result(out, std::ios::binary);
    return {printed, Bytes(std::istreambuf_iterator<char>(result), {})};
}

void expect(bool condition, const char* what, const Outcome& outcome) {
    if (condition) return;
    std::fprintf(stderr, "conversion check failed: %s\nmessages: \"%s\"\n", what, outcome.messages.c_str());
    std::abort();
}

std::uint32_t little(const Bytes& bytes, std::size_t at, int count) {
    std::uint32_t value = 0;
    for (int i = count; i-- > 0;) value = value << 8 | bytes.at(at + std::size_t(i));
    return value;
}

void put(Bytes& out, std::uint64_t value, int count) {
    for (int i = 0; i < count; ++i) out.push_back(std::uint8_t(value >> 8 * i));
}

// A stored bitmap row: `bits` a pixel, padded to 4 bytes.
std::size_t padded(std::size_t width, std::size_t bits = 8) { return (width * bits + 31) / 32 * 4; }

// A core header, the palette's entries widened in 8 bits (16 after a
// palette type of 0xAB, else 256, the rest black), the picture's padded
// rows bottom first.
Bytes bitmapOf(const Bytes& rix, const Outcome& outcome) {
    const std::optional<Bytes> pixels = reference::pixelsOf(rix);
    expect(pixels.has_value(), "a ColorRIX whose picture cannot be read was accepted", outcome);
    const std::size_t width = little(rix, 4, 2), height = little(rix, 6, 2), entries = rix[8] == 0xAB ? 16 : 256;
    Bytes out{'B', 'M'};
    for (const auto& [value, count] : {std::pair<std::uint64_t, int>{794 + padded(width) * height, 4}, {0, 4}, {794, 4},
                                      {12, 4}, {width, 2}, {height, 2}, {1, 2}, {8, 2}})
        put(out, value, count);
    for (std::size_t entry = 0; entry < 256; ++entry)
        for (const std::size_t c : {2, 1, 0}) out.push_back(entry < entries ? std::uint8_t(rix[10 + 3 * entry + c] << 2) : 0);
    for (std::size_t y = height; y-- > 0;) {
        const auto row = pixels->begin() + std::ptrdiff_t(y * width);
        out.insert(out.end(), row, row + std::ptrdiff_t(width));
        out.resize(out.size() + padded(width) - width);
    }
    return out;
}

// What a bitmap's headers say, for the fields the converter reads.
struct BitmapLayout {
    std::uint64_t size, offBits, start;
    bool core;
    std::int32_t height32;
    std::size_t width, height, entry, entries, bits;
    std::uint32_t compression;

    explicit BitmapLayout(const Bytes& bmp)
        : size(little(bmp, 14, 4)), offBits(little(bmp, 10, 4)), start(14 + size), core(size == 12),
          height32(static_cast<std::int32_t>(core ? little(bmp, 20, 2) : little(bmp, 22, 4))),
          width(core ? little(bmp, 18, 2) : little(bmp, 18, 4)),
          height(height32 < 0 ? 0u - std::uint32_t(height32) : std::uint32_t(height32)),
          entry(core && little(bmp, 22, 2) != 2 ? 3 : 4),
          entries(offBits < start ? 0 : std::min<std::uint64_t>(256, (offBits - start) / entry)),
          bits(core ? little(bmp, 24, 2) : little(bmp, 28, 2)),
          compression(core || size < 20 ? 0 : little(bmp, 30, 4)) {}

    bool runLength() const { return (compression == 1 && bits == 8) || (compression == 2 && bits == 4); }

    // The run-length rows, stored order, from bfOffBits to the end.
    std::optional<Bytes> runLengthRows(const Bytes& bmp) const {
        const Bytes stream(bmp.begin() + std::ptrdiff_t(std::min<std::uint64_t>(offBits, bmp.size())), bmp.end());
        return reference::runLengthRows(stream, width, height, compression == 2);
    }
};

// At most 256 entries from the end of the header to bfOffBits, 3 bytes each
// after a core header whose planes are not 2, else 4, narrowed, those missing
// black; padded rows from bfOffBits, bottom first unless an info header's
// height is negative, each index a byte (below 8 bits, the leftmost pixel
// in a byte's highest bits).
Bytes rixOf(const Bytes& bmp, const Outcome& outcome) {
    const BitmapLayout b(bmp);
    expect(b.bits == 1 || b.bits == 2 || b.bits == 4 || b.bits == 8, "a depth not read was accepted", outcome);
    expect(b.compression == 0 || b.runLength(), "a compression not read was accepted", outcome);
    Bytes out{'R', 'I', 'X', '3'};
    for (const std::size_t value : {b.width, b.height, std::size_t{175}}) put(out, value, 2);
    for (std::size_t i = 0; i < 256; ++i)
        for (const std::size_t c : {2, 1, 0}) out.push_back(i < b.entries ? bmp.at(b.start + i * b.entry + c) >> 2 : 0);
    if (b.compression != 0) {
        expect(b.height32 >= 0, "a top-down run-length bitmap was accepted", outcome);
        const std::optional<Bytes> rows = b.runLengthRows(bmp);
        expect(rows.has_value(), "a run-length stream cut short was accepted", outcome);
        for (std::size_t y = b.height; y-- > 0;) out.insert(out.end(), rows->begin() + std::ptrdiff_t(y * b.width),
                                                           rows->begin() + std::ptrdiff_t((y + 1) * b.width));
        return out;
    }
    const std::size_t stored = padded(b.width, b.bits);
    expect(b.offBits + std::uint64_t{stored} * b.height <= bmp.size(), "a bitmap too short was accepted", outcome);
    for (std::size_t y = 0; y < b.height; ++y) {
        const std::size_t row = b.offBits + (b.height32 < 0 ? y : b.height - 1 - y) * stored;
        for (std::size_t bit = 0; bit < b.width * b.bits; bit += b.bits)
            out.push_back(std::uint8_t(bmp.at(row + bit / 8) >> (8 - b.bits - bit % 8) & ((1u << b.bits) - 1)));
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Bytes input(data, data + size);
    const bool toBitmap = QUORVEL_FUZZ_TO_BITMAP;
    // A few bytes of compressed pixels may stand for a picture of gigabytes:
    // pictures beyond a million pixels are not tried.
    if (toBitmap && size >= 10 && std::uint64_t{little(input, 4, 2)} * little(input, 6, 2) > (1u << 20)) return 0;
    if (!toBitmap && size >= 26 && std::uint64_t{little(input, 18, 2)} * little(input, 22, 2) > (1u << 20)) return 0;
    const Outcome outcome = convert(toBitmap, input);
    if (outcome.messages != "File created : output\n") {
        const bool oneLine = outcome.messages.find('\n') >= outcome.messages.size() - 1;  // none, or the last
        expect(oneLine && outcome.messages.find("input") != std::string::npos, "not one line naming the input", outcome);
        expect(outcome.output.empty(), "a refused input left output behind", outcome);
        if (toBitmap) {
            const bool unreadable = outcome.messages.rfind("Cannot read RIX into buffer!", 0) == 0;
            expect(!unreadable || !reference::pixelsOf(input), "a readable ColorRIX was refused", outcome);
        } else if (const BitmapLayout b(input.size() >= 34 ? input : Bytes(34)); b.height32 >= 0 && b.runLength()) {
            // (a file too short for the compression field is read as none)
            expect(outcome.messages.rfind("Compressed", 0) != 0, "a compression that is read was refused", outcome);
            expect(outcome.messages.rfind("Can't read raw", 0) != 0 || !b.runLengthRows(input), "a readable stream was refused", outcome);
        }
    } else if (toBitmap) {
        expect(outcome.output == bitmapOf(input, outcome), "the bitmap differs from the picture", outcome);
    } else {
        expect(outcome.output == rixOf(input, outcome), "the ColorRIX differs from the picture", outcome);
        const Outcome back = convert(true, outcome.output);
        expect(back.output == bitmapOf(outcome.output, back), "the ColorRIX written was not read back", back);
    }
    return 0;
}
