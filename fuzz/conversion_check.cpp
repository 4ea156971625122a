// The fuzz check: arbitrary bytes converted as a file, in narrow bands, in
// the direction QUORVEL_FUZZ_DIRECTION names. The outcome must be either one
// line naming the input and an empty output, or "File created" and, byte
// for byte, the file the test images' builder makes of the picture the
// input holds (for a bitmap, converting the result back gives the
// builder's bitmap too). Any other outcome aborts, so the fuzzer and the
// replays report it.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/in_process.hpp"

namespace quorvel::testing {

namespace {

void expect(bool condition, const char* what, const Conversion& outcome) {
    if (condition) return;
    std::fprintf(stderr, "conversion check failed: %s\nmessages: \"%s\"\n", what, outcome.messages.c_str());
    std::abort();
}

// A refusal is one line naming the input (some lines end without a break).
bool isOneLineNamingTheInput(const std::string& text) {
    const std::size_t lineBreak = text.find('\n');
    return text.find("input") != std::string::npos &&
           (lineBreak == std::string::npos || lineBreak == text.size() - 1);
}

// The picture a ColorRIX holds: its pixels and its 256 palette entries.
Bytes bitmapFor(const Bytes& rix) {
    const auto width = static_cast<std::uint16_t>(get16(rix, 4));
    const auto height = static_cast<std::uint16_t>(get16(rix, 6));
    const auto pixels = rix.begin() + kRixPixelOffset;
    const IndexedImage image{width, height, Bytes(pixels, pixels + std::ptrdiff_t{width} * height)};
    std::vector<Rgb> palette(kPaletteEntries);
    for (std::size_t i = 0; i < kPaletteEntries; ++i) palette[i] = {rix[10 + 3 * i], rix[11 + 3 * i], rix[12 + 3 * i]};
    return expectedBitmap(image, palette);
}

// The picture an accepted bitmap holds, read by hand: at most 256 entries
// from the end of its header to bfOffBits, 4 bytes each unless a core
// header with planes other than 2; padded rows from bfOffBits, bottom row
// first unless an info header's height is negative.
Bytes rixFor(const Bytes& bmp, const RixHeader& header) {
    const std::uint32_t headerSize = get32(bmp, 14), offBits = get32(bmp, 10);
    const bool core = headerSize == 12;
    const bool topDown = !core && (get32(bmp, 22) & 0x80000000u) != 0;
    const std::size_t entryBytes = core && get16(bmp, 22) != 2 ? 3 : 4;
    const std::size_t width = header.width, height = header.height;
    const std::uint64_t paletteStart = 14ull + headerSize;
    const std::size_t entries = offBits < paletteStart ? 0 : std::min<std::uint64_t>(256, (offBits - paletteStart) / entryBytes);
    std::vector<Rgb> palette(entries);
    for (std::size_t i = 0; i < entries; ++i) {
        const std::size_t at = paletteStart + i * entryBytes;
        palette[i] = {bmp.at(at + 2), bmp.at(at + 1), bmp.at(at)};
    }
    IndexedImage image{header.width, header.height, Bytes(width * height)};
    for (std::size_t y = 0; y < height; ++y) {
        const std::size_t stored = topDown ? y : height - 1 - y;
        for (std::size_t x = 0; x < width; ++x) image.pixels[y * width + x] = bmp.at(offBits + stored * paddedRow(width) + x);
    }
    return expectedRix(image, palette, header.paletteInfo);
}

void checkConversion(Direction direction, const Bytes& input) {
    const std::size_t size = input.size();
    // Narrow bands of odd budgets make small inputs cross band boundaries.
    const Conversion outcome = convertInProcess(direction, input, 1 + size % 61);
    if (outcome.messages != "File created : output\n") {
        expect(isOneLineNamingTheInput(outcome.messages), "not one line naming the input", outcome);
        expect(outcome.output.empty(), "a refused input left output behind", outcome);
        return;
    }
    if (direction == Direction::RixToBmp) {
        expect(outcome.output == bitmapFor(input), "bitmap differs from the picture", outcome);
        return;
    }
    expect(outcome.output == rixFor(input, outcome.header), "ColorRIX differs from the picture", outcome);
    const Conversion back = convertInProcess(Direction::RixToBmp, outcome.output, 1 + size % 53);
    expect(back.output == bitmapFor(outcome.output), "ColorRIX written was not read back", back);
}

}  // namespace

}  // namespace quorvel::testing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quorvel::testing;
    checkConversion(Direction::QUORVEL_FUZZ_DIRECTION, Bytes(data, data + size));
    return 0;
}
