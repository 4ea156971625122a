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
#include <vector>

#include "convert/host.hpp"
#include "convert/thumbnail.hpp"
#include "reference.hpp"

namespace {

using namespace quorvel;
using Bytes = std::vector<std::uint8_t>;

void expect(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "host check failed: %s\n", what);
    std::abort();
}

// Choices drawn from the input's own bytes, so that every seed of the
// conversions' corpus drives this check as it is.
class Choices {
public:
    explicit Choices(const Bytes& bytes) {
        for (std::uint8_t byte : bytes) state_ = (state_ ^ byte) * 0x100000001B3u;
    }
    std::uint32_t below(std::uint32_t bound) {
        state_ = state_ * 6364136223846793005u + 1442695040888963407u;
        return bound ? static_cast<std::uint32_t>((state_ >> 33) % bound) : 0;
    }

private:
    std::uint64_t state_ = 0xCBF29CE484222325u;
};

// A stream over memory that hands over at most `most` bytes a read and
// fails its `failing`th read (0: never).
class PieceStream final : public SeekingStream {
public:
    PieceStream(const Bytes& bytes, std::uint32_t most, std::uint32_t failing)
        : bytes_(bytes), most_(most), failing_(failing) {}

protected:
    bool seekTo(std::uint64_t offset) override {
        at_ = offset;
        return true;
    }
    bool readSome(void* destination, std::uint32_t count, std::uint32_t& got) override {
        if (++reads_ == failing_) return false;
        const std::uint64_t left = at_ < bytes_.size() ? bytes_.size() - at_ : 0;
        got = static_cast<std::uint32_t>(std::min<std::uint64_t>({count, most_, left}));
        if (got) std::memcpy(destination, bytes_.data() + at_, got);
        at_ += got;
        return true;
    }
    std::uint64_t length() const override { return bytes_.size(); }

private:
    const Bytes& bytes_;
    std::uint32_t most_, failing_, reads_ = 0;
    std::uint64_t at_ = 0;
};

constexpr std::uint8_t kCanary = 0xA5;

// One region into a buffer with a margin of canaries after its last byte
// and in every row's padding.
void checkRegion(RixRows& picture, const std::optional<Bytes>& pixels, Choices& choose, bool sound) {
    const std::uint32_t width = picture.width, height = picture.height;
    Region region{choose.below(width + 2), choose.below(height + 2), 0, 0};
    region.width = choose.below(std::min<std::uint32_t>(width + 2 - std::min(region.x, width), 300) + 1);
    region.height = choose.below(std::min<std::uint32_t>(height + 2 - std::min(region.y, height), 300) + 1);
    const std::uint32_t stride = region.width + choose.below(4) - (choose.below(8) == 0 ? 1 : 0);
    const std::size_t exact = region.width && region.height ? std::size_t{stride} * (region.height - 1) + region.width : 0;
    const std::size_t size = exact - (exact && choose.below(8) == 0 ? 1 : 0);
    Bytes buffer(size + 16, kCanary);
    const RegionOutcome outcome = copyRegion(picture, region, stride, buffer.data(), size);
    const bool inside = region.x + std::uint64_t{region.width} <= width && region.y + std::uint64_t{region.height} <= height;
    const bool fits = region.width == 0 || region.height == 0 || (stride >= region.width && size == exact);
    const bool copied = outcome == RegionOutcome::Done || outcome == RegionOutcome::Unreadable;
    for (std::size_t at = 0; at < buffer.size(); ++at) {
        const bool within = copied && at < exact && at % stride < region.width;
        if (!within) expect(buffer[at] == kCanary, "a byte outside the region was written");
    }
    if (!inside) return expect(outcome == RegionOutcome::OutsidePicture, "a region outside the picture was copied");
    if (!fits) return expect(outcome == RegionOutcome::ShortBuffer, "a region was copied into a buffer too small");
    if (outcome != RegionOutcome::Done) {
        return expect(outcome == RegionOutcome::Unreadable && (!pixels || !sound), "a readable region failed");
    }
    if (!pixels || region.width == 0) return;
    for (std::uint32_t row = 0; row < region.height; ++row) {
        const std::uint8_t* want = pixels->data() + (std::size_t{region.y} + row) * width + region.x;
        expect(std::memcmp(buffer.data() + std::size_t{row} * stride, want, region.width) == 0, "a region differs from the picture");
    }
}

void checkWholePicture(RixRows& picture, const std::optional<Bytes>& pixels, bool sound) {
    const std::size_t bytes = std::size_t{picture.width} * picture.height;
    if (bytes > (std::size_t{1} << 24)) return;
    Bytes whole(bytes);
    const RegionOutcome outcome = copyRegion(picture, Region{0, 0, picture.width, picture.height}, picture.width, whole.data(), bytes);
    if (outcome == RegionOutcome::Done) {
        expect(pixels.has_value(), "a picture the reference cannot read was copied whole");
        expect(*pixels == whole, "the whole picture differs");
    } else {
        expect(!pixels || !sound, "a readable picture failed");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Bytes bytes(data, data + size);
    Choices choose(bytes);
    // The reference reads pictures whatever their first bytes say.
    const bool signature = size >= 4 && std::memcmp(data, "RIX3", 4) == 0;
    const std::optional<Bytes> pixels = signature ? reference::pixelsOf(bytes) : std::nullopt;
    // A stream that fails is sound until it does: a failure then is its own.
    const std::uint32_t failing = choose.below(4) == 0 ? 1 + choose.below(12) : 0;
    PieceStream stream(bytes, 1 + choose.below(choose.below(2) ? 7 : 70000), failing);
    RixRefusal refusal{};
    try {
        const std::unique_ptr<RixRows> picture = openRixRows(stream, refusal);
        if (!picture) {
            expect(!pixels || failing, "a readable ColorRIX was refused");
            return 0;
        }
        expect(signature, "a file without the signature was opened");
        for (unsigned regions = 1 + choose.below(6); regions > 0; --regions) checkRegion(*picture, pixels, choose, !failing);
        checkWholePicture(*picture, pixels, !failing);
        const std::size_t area = std::size_t{picture->width} * picture->height;
        if (area && area <= (std::size_t{1} << 24) && picture->seek(0)) {
            drawThumbnail(*picture, 1 + choose.below(300), [](const std::uint8_t*) { return true; });
        }
    } catch (const std::bad_alloc&) {
        // A hostile size the decoder's memory cannot hold: refused as such.
    }
    return 0;
}
