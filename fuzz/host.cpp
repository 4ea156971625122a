// What a module inside another program does with a ColorRIX: the bytes
// given are read as that program's stream would hand them (a few at a
// time, sometimes failing), and regions of rows are copied out in an order
// drawn from the bytes themselves, some of them out of the picture or into
// a buffer too small. Every region copied must hold the picture the
// reference reads; a picture it cannot read must never be copied whole;
// nothing may be written outside a region's bytes; and a thumbnail of any
// size is drawn without fault.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <random>
#include <vector>

#include "convert/host.hpp"
#include "convert/thumbnail.hpp"
#include "reference.hpp"

namespace {

using namespace quorvel;
using Bytes = std::vector<std::uint8_t>;

void expect(bool condition, const char* what) {
    if (!condition) std::fprintf(stderr, "host check failed: %s\n", what), std::abort();
}

// A stream over memory that hands over at most `most` bytes a read and
// fails its `failing`th read (0: never), leaving junk where it read.
struct PieceStream final : SeekingStream {
    PieceStream(const Bytes& bytes, std::uint32_t most, std::uint32_t failing) : bytes(bytes), most(most), failing(failing) {}
    bool seekTo(std::uint64_t offset) override { return at = offset, true; }
    bool readSome(void* destination, std::uint32_t count, std::uint32_t& got) override {
        got = static_cast<std::uint32_t>(std::min<std::uint64_t>({count, most, bytes.size() - std::min<std::uint64_t>(at, bytes.size())}));
        if (got) std::memcpy(destination, bytes.data() + at, got);
        at += got;
        if (++reads != failing) return true;
        std::memset(destination, 0x5A, got);
        return false;
    }
    std::uint64_t length() const override { return bytes.size(); }
    const Bytes& bytes;
    std::uint32_t most, failing, reads = 0;
    std::uint64_t at = 0;
};

// One region (or, `whole`, the picture) into a buffer of canaries; `sound`
// when the stream never fails.
void checkRegion(RixRows& picture, const std::optional<Bytes>& pixels, std::minstd_rand& choose, bool sound, bool whole) {
    const auto below = [&choose](std::uint32_t bound) { return static_cast<std::uint32_t>(choose() % bound); };
    const std::uint32_t width = picture.width, height = picture.height;
    Region region{0, 0, width, height};
    if (!whole) {
        region = {below(width + 2), below(height + 2), 0, 0};
        region.width = below(std::min<std::uint32_t>(width + 2 - std::min(region.x, width), 300) + 1);
        region.height = below(std::min<std::uint32_t>(height + 2 - std::min(region.y, height), 300) + 1);
    }
    const std::uint32_t stride = region.width + (whole ? 0 : below(4) - (below(8) == 0));
    const std::size_t exact = region.width && region.height ? std::size_t{stride} * (region.height - 1) + region.width : 0;
    const std::size_t size = exact - (exact && !whole && below(8) == 0);
    Bytes buffer(size + 16, 0xA5);
    const RegionOutcome outcome = copyRegion(picture, region, stride, buffer.data(), size);
    const bool copied = outcome == RegionOutcome::Done || outcome == RegionOutcome::Unreadable;
    for (std::size_t at = 0; at < buffer.size(); ++at) {
        if (!(copied && at < exact && at % stride < region.width)) expect(buffer[at] == 0xA5, "a byte outside the region was written");
    }
    if (region.x + std::uint64_t{region.width} > width || region.y + std::uint64_t{region.height} > height) {
        return expect(outcome == RegionOutcome::OutsidePicture, "a region outside the picture was copied");
    }
    if (exact && (stride < region.width || size != exact)) return expect(outcome == RegionOutcome::ShortBuffer, "a region went into a buffer too small");
    if (outcome != RegionOutcome::Done) return expect(outcome == RegionOutcome::Unreadable && (!pixels || !sound), "a readable region failed");
    expect(pixels || !whole, "a picture the reference cannot read was copied whole");
    for (std::uint32_t row = 0; pixels && region.width && row < region.height; ++row) {
        const std::uint8_t* want = pixels->data() + (std::size_t{region.y} + row) * width + region.x;
        expect(std::memcmp(buffer.data() + std::size_t{row} * stride, want, region.width) == 0, "a region differs from the picture");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Choices drawn from the bytes themselves, so that the conversions' seeds drive this check as they are.
    std::uint32_t seed = 0;
    for (std::size_t at = 0; at < size; ++at) seed = seed * 31 + data[at];
    std::minstd_rand choose(seed);
    // The reference reads pictures whatever their first bytes say, and
    // whole: not those a hostile header makes gigabytes of.
    constexpr std::size_t kMostPixels = std::size_t{1} << 22;
    const bool signature = size >= 8 && std::memcmp(data, "RIX3", 4) == 0;
    const std::size_t claimed = signature ? std::size_t(data[4] | data[5] << 8) * std::size_t(data[6] | data[7] << 8) : 0;
    const std::optional<Bytes> pixels = signature && claimed <= kMostPixels ? reference::pixelsOf(Bytes(data, data + size)) : std::nullopt;
    const auto most = 1 + static_cast<std::uint32_t>(choose() % (choose() % 2 ? 7 : 70000));
    // A stream that fails, at any of its reads, is sound until it does.
    const std::uint32_t failing = choose() % 4 == 0 ? 1 + static_cast<std::uint32_t>(choose() % (size / most + 2)) : 0;
    const Bytes bytes(data, data + size);
    PieceStream stream(bytes, most, failing);
    RixRefusal refusal{};
    try {
        const std::unique_ptr<RixRows> picture = openRixRows(stream, refusal);
        if (!picture) return expect(!pixels || failing, "a readable ColorRIX was refused"), 0;
        if (!pixels && claimed > kMostPixels) return 0;  // too large to be held to anything here
        expect(signature, "a file without the signature was opened");
        // A picture opened has the file's palette, widened, whatever failed later.
        for (std::size_t i = 0, entries = data[8] == 0xAB ? 16 : 256; i < kPaletteEntries; ++i) {
            const auto file = [&](int k) { return i < entries ? data[10 + 3 * i + k] << 2 & 255 : 0; };
            const RGBTRIPLE& colour = picture->palette[i];
            expect(colour.rgbtRed == file(0) && colour.rgbtGreen == file(1) && colour.rgbtBlue == file(2), "the palette is not the file's");
        }
        for (unsigned regions = 1 + choose() % 6; regions > 0; --regions) checkRegion(*picture, pixels, choose, !failing, false);
        const std::size_t area = std::size_t{picture->width} * picture->height;
        if (area > (std::size_t{1} << 24)) return 0;
        checkRegion(*picture, pixels, choose, !failing, true);
        if (area && picture->seek(0)) drawThumbnail(*picture, 1 + choose() % 300, [](const std::uint8_t*) { return true; });
    } catch (const std::bad_alloc&) {
        // A hostile size the decoder's memory cannot hold: refused as such.
    }
    return 0;
}
