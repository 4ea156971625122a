#include "formats/bmp_rle.hpp"

#include <algorithm>
#include <cstring>

namespace quorvel::rle {

namespace {

// How much of the stream is asked for at once: many codes a call.
constexpr std::size_t kView = std::size_t{1} << 18;

enum Escape : std::uint8_t { kEndOfLine = 0, kEndOfBitmap = 1, kMove = 2 };

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

// Pixels at or past the row's end are dropped; x moves on all the same.
void RunLengthRows::putRun(std::uint8_t* out, std::size_t count, std::uint8_t value) {
    if (x_ < width_) {
        const std::size_t shown = std::min<std::uint64_t>(count, width_ - x_);
        std::uint8_t* at = out + x_;
        if (!fourBits_) {
            std::memset(at, value, shown);
        } else {
            const std::uint8_t pair[2] = {static_cast<std::uint8_t>(value >> 4), static_cast<std::uint8_t>(value & 15)};
            for (std::size_t i = 0; i < shown; ++i) at[i] = pair[i & 1];
        }
    }
    x_ += count;
}

void RunLengthRows::putAbsolute(std::uint8_t* out, std::size_t count, const std::uint8_t* data) {
    if (x_ < width_) {
        const std::size_t shown = std::min<std::uint64_t>(count, width_ - x_);
        std::uint8_t* at = out + x_;
        if (!fourBits_) {
            std::memcpy(at, data, shown);
        } else {
            for (std::size_t i = 0; i < shown; ++i) at[i] = (data[i / 2] >> (i & 1 ? 0 : 4)) & 15;
        }
    }
    x_ += count;
}

bool RunLengthRows::nextRow(std::uint8_t* out) {
    std::memset(out, 0, width_);
    // A row the stream passed over with a move, or after its end: unset.
    if (ended_ || y_ > given_) {
        ++given_;
        return true;
    }
    for (bool rowEnded = false; !rowEnded;) {
        if (!have(2)) return false;
        const std::uint8_t count = view_[used_], value = view_[used_ + 1];
        used_ += 2;
        if (count != 0) {
            putRun(out, count, value);
            continue;
        }
        switch (value) {
            case kEndOfLine:
                x_ = 0;
                ++y_;
                rowEnded = true;
                break;
            case kEndOfBitmap:
                ended_ = rowEnded = true;
                break;
            case kMove:
                if (!have(2)) return false;
                x_ += view_[used_];
                y_ += view_[used_ + 1];
                rowEnded = view_[used_ + 1] != 0;
                used_ += 2;
                break;
            default: {
                const std::size_t bytes = fourBits_ ? (value + 1u) / 2 : value;
                const std::size_t padded = bytes + (bytes & 1);
                if (!have(padded)) return false;
                putAbsolute(out, value, view_ + used_);
                used_ += padded;
            }
        }
    }
    ++given_;
    // Once every row has been ended, what follows is not read.
    if (y_ >= height_) ended_ = true;
    return true;
}

}  // namespace quorvel::rle
