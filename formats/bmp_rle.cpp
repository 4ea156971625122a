#include "formats/bmp_rle.hpp"

#include <algorithm>
#include <cstring>

namespace quorvel::rle {

namespace {

// How much of the stream is asked for at once: many codes a call.
constexpr std::size_t kView = std::size_t{1} << 18;

enum Escape : std::uint8_t { kEndOfLine = 0, kEndOfBitmap = 1, kMove = 2 };

// The two pixels of an RLE4 byte, the high nibble first.
struct NibblePairs {
    std::uint8_t pixels[256][2];
    constexpr NibblePairs() : pixels() {
        for (unsigned byte = 0; byte < 256; ++byte) {
            pixels[byte][0] = static_cast<std::uint8_t>(byte >> 4);
            pixels[byte][1] = static_cast<std::uint8_t>(byte & 15);
        }
    }
};
constexpr NibblePairs kNibbles;

}  // namespace

bool RunLengthRows::have(std::size_t count) {
    if (viewSize_ - used_ >= count) return true;
    const std::uint64_t at = viewAt_ + used_;
    const std::uint64_t left = size_ - at;
    if (left < count) return false;
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(left, kView));
    view_ = source_.bytes(at, want);
    if (!view_) return false;
    viewAt_ = at;
    viewSize_ = want;
    used_ = 0;
    return true;
}

namespace {

// Pixels at or past the row's end are dropped; x moves on all the same.
// The shortest runs are stored one by one: a call of memset costs more.
inline void putRun(std::uint8_t* out, std::uint64_t& x, std::size_t width, std::size_t count, std::uint8_t value,
                   bool fourBits) {
    if (x < width) {
        const std::size_t shown = std::min<std::uint64_t>(count, width - x);
        std::uint8_t* at = out + x;
        if (fourBits && shown <= 3) {
            const std::uint8_t* pair = kNibbles.pixels[value];
            at[shown - 1] = pair[(shown - 1) & 1];
            at[shown / 2] = pair[(shown / 2) & 1];
            at[0] = pair[0];
        } else if (fourBits) {
            // Eight pixels at a time: the pair four times over.
            const std::uint8_t* pair = kNibbles.pixels[value];
            const std::uint8_t eight[8] = {pair[0], pair[1], pair[0], pair[1], pair[0], pair[1], pair[0], pair[1]};
            std::size_t i = 0;
            for (; i + 8 <= shown; i += 8) std::memcpy(at + i, eight, 8);
            for (; i < shown; ++i) at[i] = pair[i & 1];
        } else if (shown <= 3) {
            at[0] = value;
            at[shown / 2] = value;
            at[shown - 1] = value;
        } else {
            std::memset(at, value, shown);
        }
    }
    x += count;
}

inline void putAbsolute(std::uint8_t* out, std::uint64_t& x, std::size_t width, std::size_t count,
                        const std::uint8_t* data, bool fourBits) {
    if (x < width) {
        const std::size_t shown = std::min<std::uint64_t>(count, width - x);
        std::uint8_t* at = out + x;
        if (!fourBits) {
            std::memcpy(at, data, shown);
        } else {
            for (std::size_t i = 0; i + 1 < shown; i += 2) std::memcpy(at + i, kNibbles.pixels[data[i / 2]], 2);
            if (shown % 2) at[shown - 1] = kNibbles.pixels[data[shown / 2]][0];
        }
    }
    x += count;
}

}  // namespace

// The view's position is kept in a local while codes are read: the pixels
// written could otherwise be any member's bytes, read again after each.
bool RunLengthRows::nextRow(std::uint8_t* out) {
    std::memset(out, 0, width_);
    // A row the stream passed over with a move, or after its end: unset.
    if (ended_ || y_ > given_) {
        ++given_;
        return true;
    }
    std::size_t used = used_;
    std::uint64_t x = x_;
    const std::size_t width = width_;
    const bool fourBits = fourBits_;
    const auto need = [&](std::size_t count) {
        if (viewSize_ - used >= count) return true;
        used_ = used;
        const bool held = have(count);
        used = used_;
        return held;
    };
    for (bool rowEnded = false; !rowEnded;) {
        if (!need(2)) return false;
        const std::uint8_t count = view_[used], value = view_[used + 1];
        used += 2;
        if (count != 0) {
            putRun(out, x, width, count, value, fourBits);
            continue;
        }
        switch (value) {
            case kEndOfLine:
                x = 0;
                ++y_;
                rowEnded = true;
                break;
            case kEndOfBitmap:
                ended_ = rowEnded = true;
                break;
            case kMove:
                if (!need(2)) return false;
                x += view_[used];
                y_ += view_[used + 1];
                rowEnded = view_[used + 1] != 0;
                used += 2;
                break;
            default: {
                const std::size_t bytes = fourBits ? (value + 1u) / 2 : value;
                const std::size_t padded = bytes + (bytes & 1);
                if (!need(padded)) return false;
                putAbsolute(out, x, width, value, view_ + used, fourBits);
                used += padded;
            }
        }
    }
    used_ = used;
    x_ = x;
    ++given_;
    // Once every row has been ended, what follows is not read.
    if (y_ >= height_) ended_ = true;
    return true;
}

}  // namespace quorvel::rle
