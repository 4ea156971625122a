#include "convert/pieces.hpp"

#include <algorithm>
#include <cstring>
#include <deque>
#include <new>
#include <vector>

#include "formats/byte_order.hpp"
#include "formats/rix.hpp"

namespace quorvel {

namespace {

// Each colour as a word whose first byte is spare: written from a row's
// end, a pixel's word spills into the byte the pixel before it writes next.
using Colours = std::uint8_t[kPaletteEntries][4];

void widenRow(std::uint8_t* row, std::size_t width, const Colours& colours) {
    if (width == 0) return;
    // Index i is read before bytes 3i-1 to 3i+2 are written, which lie past every index still to read.
    for (std::size_t i = width - 1; i > 0; --i) std::memcpy(row + 3 * i - 1, colours[row[i]], 4);
    std::memcpy(row, colours[row[0]] + 1, 3);
}

// Enough rows for about a megabyte of indices between the sink's updates.
std::uint32_t bandRows(std::uint32_t width) { return std::max<std::uint32_t>(1, (std::uint32_t{1} << 20) / std::max<std::uint32_t>(1, width)); }

}  // namespace

bool fillRgb(RixRows& picture, std::uint8_t* destination, std::ptrdiff_t stride, std::size_t rows) {
    Colours colours;
    for (std::size_t i = 0; i < kPaletteEntries; ++i) {
        const RGBTRIPLE& entry = picture.palette[i];
        colours[i][0] = 0, colours[i][1] = entry.rgbtRed, colours[i][2] = entry.rgbtGreen, colours[i][3] = entry.rgbtBlue;
    }
    // A few rows at a time, widened while their indices are still in the cache.
    const std::size_t band = std::max<std::size_t>(1, (std::size_t{1} << 16) / std::max<std::size_t>(1, picture.width));
    for (std::size_t done = 0; done < rows;) {
        const std::size_t count = std::min(band, rows - done);
        std::uint8_t* first = destination + static_cast<std::ptrdiff_t>(done) * stride;
        if (!picture.fill(first, stride, count)) return false;
        for (std::size_t row = 0; row < count; ++row, ++done) widenRow(first + static_cast<std::ptrdiff_t>(row) * stride, picture.width, colours);
    }
    return true;
}

// The file's bytes from the first not yet let go, in blocks that are let go
// whole, so that neither taking nor letting go moves what is held. Reads
// come back short past what has arrived; a stored picture is told the
// length its header implies, so that its rows are read as they arrive.
class RixPieces::Held final : public platform::Readable {
public:
    std::uint64_t end() const { return end_; }
    std::optional<std::uint64_t> claimed;

    void append(const std::uint8_t* bytes, std::size_t count) {
        while (count > 0) {
            if (blocks_.empty() || blocks_.back().size() == kBlock) blocks_.emplace_back().reserve(kBlock);
            std::vector<std::uint8_t>& last = blocks_.back();
            const std::size_t taken = std::min(count, kBlock - last.size());
            last.insert(last.end(), bytes, bytes + taken);
            bytes += taken, count -= taken, end_ += taken;
        }
    }

    void letGoBefore(std::uint64_t offset) {
        while (!blocks_.empty() && blocks_.front().size() == kBlock && base_ + kBlock <= offset) {
            blocks_.pop_front();
            base_ += kBlock;
        }
    }

    platform::Transfer readAt(std::uint64_t offset, void* destination, std::size_t count) override {
        platform::Transfer transfer{offset >= base_, 0};
        auto* into = static_cast<std::uint8_t*>(destination);
        while (transfer.ok && transfer.done < count && offset + transfer.done < end_) {
            const std::uint64_t at = offset + transfer.done - base_;
            const std::vector<std::uint8_t>& block = blocks_[static_cast<std::size_t>(at / kBlock)];
            const std::size_t within = static_cast<std::size_t>(at % kBlock);
            const std::size_t taken = std::min(count - transfer.done, block.size() - within);
            std::memcpy(into + transfer.done, block.data() + within, taken);
            transfer.done += taken;
        }
        return transfer;
    }

    std::uint64_t size() const override { return claimed.value_or(end_); }

private:
    std::deque<std::vector<std::uint8_t>> blocks_;
    std::uint64_t base_ = 0;  // the offset of the first block's first byte
    std::uint64_t end_ = 0;
};

RixPieces::RixPieces(RgbRowSink& sink) : sink_(sink), held_(std::make_unique<Held>()) {}

RixPieces::~RixPieces() = default;

bool RixPieces::refuse(RixRefusal why) {
    refusal_ = why;
    stopped_ = true;
    return false;
}

bool RixPieces::take(const std::uint8_t* bytes, std::size_t count) {
    // A large piece goes in a megabyte at a time, so that a stored
    // picture's bytes are let go as its rows come out.
    constexpr std::size_t kStep = std::size_t{1} << 20;
    try {
        for (std::size_t done = 0; done < count && !stopped_;) {
            if (picture_ && streaming_ && next_ == picture_->height) return true;  // what follows the picture is not kept
            const std::size_t step = std::min(count - done, kStep);
            held_->append(bytes + done, step);
            done += step;
            if (!picture_ && !openWhenStartIsIn()) return false;
            if (picture_ && streaming_) {
                const std::uint64_t complete = rowSpan_ ? (held_->end() - pixelOffset_) / rowSpan_ : picture_->height;
                if (!giveRows(static_cast<std::uint32_t>(std::min<std::uint64_t>(complete, picture_->height)))) return false;
            }
        }
        return !stopped_;
    } catch (const std::bad_alloc&) {
        return refuse(RixRefusal::NoMemory);
    }
}

// Refuses what its first bytes already rule out; opens a stored picture
// once its header and palette are in, the others only at the end.
bool RixPieces::openWhenStartIsIn() {
    std::uint8_t start[kRixHeaderBytes];
    const std::size_t got = held_->readAt(0, start, sizeof start).done;
    if (got >= 4 && std::memcmp(start, "RIX3", 4) != 0) return refuse(RixRefusal::NotRix);
    if (got < sizeof start) return true;
    const auto header = loadRecord<RixHeader>(start);
    RixStorage storage{};
    if (!readStorage(storageType(header), storage)) return refuse(RixRefusal::Unreadable);
    streaming_ = !storage.compressed && (storage.layout == RixLayout::Bytes || storage.layout == RixLayout::PlanarLines);
    pixelOffset_ = rixPixelOffset(header);
    if (!streaming_ || held_->end() < pixelOffset_) return true;
    rowSpan_ = rowSpan(storage.layout, header.width);
    held_->claimed = pixelOffset_ + rowSpan_ * header.height;
    return open();
}

bool RixPieces::open() {
    RixRefusal why{};
    picture_ = openRixRows(*held_, why);
    if (!picture_) return refuse(why);
    if (!sink_.prepared(*picture_, rows_, stride_)) return stopped_ = true, false;
    return true;
}

bool RixPieces::giveRows(std::uint32_t until) {
    while (next_ < until) {
        const std::uint32_t count = std::min(bandRows(picture_->width), until - next_);
        if (!fillRgb(*picture_, rows_ + next_ * stride_, stride_, count)) return refuse(RixRefusal::Unreadable);
        sink_.rowsIn(next_, count);
        next_ += count;
        if (streaming_) held_->letGoBefore(pixelOffset_ + next_ * rowSpan_);
    }
    return true;
}

bool RixPieces::finish() {
    try {
        if (stopped_) return false;
        if (!picture_) {
            // Not yet opened: a picture that needs its whole file, or one cut short in its first bytes.
            streaming_ = false;
            held_->claimed.reset();
            if (!open()) return false;
        }
        const bool whole = giveRows(picture_->height);
        picture_.reset();
        held_ = std::make_unique<Held>();
        stopped_ = true;
        return whole;
    } catch (const std::bad_alloc&) {
        return refuse(RixRefusal::NoMemory);
    }
}

}  // namespace quorvel
