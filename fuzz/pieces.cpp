// What gdk-pixbuf's loader does with a ColorRIX arriving in pieces: the
// bytes cut at places drawn from the bytes themselves and fed to
// RixPieces. A picture the reference reads must come out whole, its rows
// in order, each once, in its palette's colours; one it cannot read must
// never come out whole; nothing is written past the rows' memory.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <vector>

#include "convert/pieces.hpp"
#include "reference.hpp"

namespace {

using namespace quorvel;
using Bytes = std::vector<std::uint8_t>;

void expect(bool condition, const char* what) {
    if (!condition) std::fprintf(stderr, "pieces check failed: %s\n", what), std::abort();
}

constexpr std::size_t kMostPixels = std::size_t{1} << 22;  // more than a viewer's test needs

constexpr std::size_t kCanaries = 16;

struct Collected final : RgbRowSink {
    bool prepared(const RixRows& picture, std::uint8_t*& rows, std::ptrdiff_t& stride) override {
        expect(!shown, "the picture was prepared twice");
        shown = &picture;
        width = picture.width, height = picture.height;
        std::memcpy(palette, picture.palette, sizeof palette);
        if (std::size_t{width} * height > kMostPixels) return declined = true, false;
        rgb.assign(std::size_t{3} * width * height + kCanaries, 0xA5);
        rows = rgb.data(), stride = 3 * static_cast<std::ptrdiff_t>(width);
        return true;
    }
    void rowsIn(std::uint32_t first, std::uint32_t count) override {
        expect(first == next && count > 0 && count <= height - first, "rows came out of order");
        next += count;
    }
    const RixRows* shown = nullptr;
    std::uint32_t width = 0, height = 0, next = 0;
    RGBTRIPLE palette[kPaletteEntries];
    bool declined = false;
    Bytes rgb;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::uint32_t seed = 0;
    for (std::size_t at = 0; at < size; ++at) seed = seed * 31 + data[at];
    std::minstd_rand choose(seed);
    // The reference reads pictures whatever their first bytes say, and
    // decodes them whole: a few compressed bytes can claim gigabytes, which
    // the sink declines anyway.
    const bool signature = size >= 4 && std::memcmp(data, "RIX3", 4) == 0;
    const std::size_t area = size >= 8 ? std::size_t(data[4] | data[5] << 8) * std::size_t(data[6] | data[7] << 8) : 0;
    const std::optional<Bytes> pixels = signature && area <= kMostPixels ? reference::pixelsOf(Bytes(data, data + size)) : std::nullopt;
    Collected sink;
    RixPieces pieces(sink);
    bool going = true;
    const bool small = choose() % 2;
    for (std::size_t at = 0, most = 1 + choose() % (small ? 8 : 4096); going && at < size;) {
        const std::size_t piece = std::min<std::size_t>(size - at, choose() % (most + 1));  // some pieces empty
        going = pieces.take(data + at, piece);
        at += piece;
    }
    const bool whole = going && pieces.finish();
    expect(!sink.next || sink.shown, "rows came out before the picture was prepared");
    if (!whole) return expect(!pixels || sink.declined, "a readable ColorRIX was refused"), 0;
    expect(pixels.has_value(), "a picture the reference cannot read came out whole");
    expect(sink.shown && sink.next == sink.height && pixels->size() == std::size_t{sink.width} * sink.height, "rows are missing");
    for (std::size_t pixel = 0; pixel < pixels->size(); ++pixel) {
        const RGBTRIPLE& colour = sink.palette[(*pixels)[pixel]];
        const std::uint8_t* got = &sink.rgb[3 * pixel];
        expect(got[0] == colour.rgbtRed && got[1] == colour.rgbtGreen && got[2] == colour.rgbtBlue, "a pixel differs from the picture");
    }
    expect(std::all_of(sink.rgb.end() - kCanaries, sink.rgb.end(), [](std::uint8_t byte) { return byte == 0xA5; }), "bytes past the rows were written");
    return 0;
}
