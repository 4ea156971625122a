#include "formats/rix_compression.hpp"

#include <algorithm>
#include <array>
#include <cstring>

namespace quorvel::rixcode {

namespace {

constexpr std::uint16_t kFirstLeaf = 0x1000;
constexpr std::uint16_t kLastLeaf = 0x10FF;
constexpr std::uint16_t kLongestJump = 0x0FFE;
constexpr unsigned kMostLeaves = 256;

bool isEscape(std::uint8_t symbol) { return symbol == 0x00 || symbol == 0xFF; }

}  // namespace

bool CodeTree::parse(std::span<const std::uint8_t> items) {
    nodes_.clear();
    table_.clear();
    const std::size_t count = items.size() / 2;
    // An item still to place, and where its node hangs.
    struct Pending {
        std::size_t item;
        std::size_t parent;
        unsigned branch;
    };
    constexpr std::size_t kNoParent = SIZE_MAX;
    std::vector<Pending> pending{{0, kNoParent, 0}};
    unsigned leaves = 0;
    while (!pending.empty()) {
        const Pending next = pending.back();
        pending.pop_back();
        if (next.item >= count) return false;
        const auto value = static_cast<std::uint16_t>(items[2 * next.item] | items[2 * next.item + 1] << 8);
        const std::size_t index = nodes_.size();
        if (value >= kFirstLeaf && value <= kLastLeaf) {
            // Counting every leaf the walk meets, also one reached twice
            // through jumps that overlap, bounds the walk on any input.
            if (++leaves > kMostLeaves) return false;
            nodes_.push_back({{static_cast<std::uint16_t>(value - kFirstLeaf), 0}, true});
        } else if (value % 2 == 0 && value >= 2 && value <= kLongestJump) {
            nodes_.push_back({{0, 0}, false});
            pending.push_back({next.item + 1 + value / 2, index, 0});
            pending.push_back({next.item + 1, index, 1});
        } else {
            return false;
        }
        if (next.parent != kNoParent) nodes_[next.parent].child[next.branch] = static_cast<std::uint16_t>(index);
    }
    if (!singleLeaf()) {
        table_.assign(std::size_t{1} << kTableBits, Entry{0, 0});
        fillTable(0, 0, 0);
    }
    return true;
}

// Every internal node has both children, so the leaves and the nodes at
// depth kTableBits cover the whole table.
void CodeTree::fillTable(std::size_t index, std::uint32_t code, unsigned depth) {
    const Node& at = nodes_[index];
    if (at.leaf) {
        const unsigned spare = kTableBits - depth;
        std::fill_n(table_.begin() + (std::size_t{code} << spare), std::size_t{1} << spare,
                    Entry{at.child[0], static_cast<std::uint8_t>(depth)});
    } else if (depth == kTableBits) {
        table_[code] = Entry{static_cast<std::uint16_t>(index), 0};
    } else {
        fillTable(at.child[1], code << 1 | 1, depth + 1);
        fillTable(at.child[0], code << 1, depth + 1);
    }
}

SegmentEnds scanSegment(const CodeTree& tree, std::span<const std::uint8_t> codes) {
    SegmentEnds ends;
    BitReader reader(tree, codes);
    std::uint64_t produced = 0;
    std::uint8_t symbol = 0;
    while (reader.next(symbol)) {
        const std::uint64_t before = produced;
        if (isEscape(symbol)) {
            std::uint8_t count = 0;
            if (!reader.next(count)) break;  // a lone escape at the end is padding
            produced += std::uint64_t{count} + 1;
        } else {
            ++produced;
        }
        // A unit ending in the last byte may end the data. Every unit takes
        // a bit at least, so at most 8 end there.
        if (reader.inLastByte() && ends.count < 8) {
            ends.before[ends.count] = before;
            ends.after[ends.count++] = produced;
        }
    }
    return ends;
}

SegmentExpander::SegmentExpander(const CodeTree& tree, std::span<const std::uint8_t> codes, bool xorFilter,
                                 SegmentEnds* ends)
    : reader_(tree, codes), single_(tree.singleLeaf()), xorFilter_(xorFilter), ends_(ends) {}

namespace {

void recordEnd(SegmentEnds* ends, const BitReader& reader, std::uint64_t before, std::uint64_t after) {
    if (ends && reader.inLastByte() && ends->count < 8) {
        ends->before[ends->count] = before;
        ends->after[ends->count++] = after;
    }
}

}  // namespace

// The state is copied into locals for the loop: the bytes it writes could
// otherwise be any of the members', which would then be read again after
// every byte.
std::size_t SegmentExpander::expand(std::uint8_t* out, std::size_t count) {
    BitReader reader = reader_;
    std::uint8_t last = last_, run = run_;
    std::size_t runLeft = runLeft_;
    bool escaped = escaped_;
    const bool filtered = xorFilter_;
    const std::uint8_t mask = filtered ? 0xFF : 0x00;  // the filter, or none
    const std::uint8_t only = reader.tree->rootSymbol();  // a single leaf takes no bits: it repeats for ever
    std::size_t done = 0;
    while (done < count) {
        if (runLeft != 0) {
            const std::size_t take = std::min(runLeft, count - done);
            if (run == 0x00 || !filtered) {
                // A run of zeros under the filter repeats the colour before it.
                std::memset(out + done, filtered ? last : run, take);
            } else {
                for (std::size_t i = 0; i < take; ++i) out[done + i] = last ^= 0xFF;
            }
            done += take;
            runLeft -= take;
            continue;
        }
        std::uint8_t symbol = only;
        if (!single_ && !reader.next(symbol)) break;
        if (escaped) {
            escaped = false;
            runLeft = std::size_t{symbol} + 1;
            recordEnd(ends_, reader, unitsEnd_, unitsEnd_ + runLeft);
            unitsEnd_ += runLeft;
        } else if (isEscape(symbol)) {
            escaped = true;
            run = symbol;
        } else {
            last = static_cast<std::uint8_t>((last & mask) ^ symbol);
            out[done++] = last;
            recordEnd(ends_, reader, unitsEnd_, unitsEnd_ + 1);
            ++unitsEnd_;
        }
    }
    reader_ = reader;
    last_ = last;
    run_ = run;
    runLeft_ = runLeft;
    escaped_ = escaped;
    return done;
}

bool RowSplit::add(const SegmentEnds& ends) {
    if (hasPending_) settlePending();
    if (firstOf_.size() > height_) return false;  // each segment holds a row at least
    pending_ = ends;
    hasPending_ = true;
    return true;
}

// A segment followed by another ends on a row's end: its data ends with a
// unit in its last 8 bits after which the output is whole rows.
unsigned RowSplit::countsBefore(const SegmentEnds& ends, std::uint64_t rowBytes, std::uint32_t height,
                                std::uint16_t counts[8]) {
    unsigned found = 0;
    for (unsigned k = 0; k < ends.count; ++k) {
        const std::uint64_t after = ends.after[k];
        if (after % rowBytes != 0 || after / rowBytes == 0 || after / rowBytes > height) continue;
        const auto rows = static_cast<std::uint16_t>(after / rowBytes);
        if (std::find(counts, counts + found, rows) == counts + found) counts[found++] = rows;
    }
    return found;
}

void RowSplit::settlePending() {
    std::uint16_t counts[8];
    const unsigned found = countsBefore(pending_, rowBytes_, height_, counts);
    candidates_.insert(candidates_.end(), counts, counts + found);
    firstOf_.push_back(static_cast<std::uint32_t>(candidates_.size()));
}

bool RowSplit::choose() {
    if (!hasPending_) return false;
    const std::size_t segments = firstOf_.size();  // those settled, and the last
    const auto counts = [&](std::size_t segment) {
        return std::span(candidates_).subspan(firstOf_[segment], firstOf_[segment + 1] - firstOf_[segment]);
    };
    // The sums of rows before each segment, each as sum << 2 | ways, where
    // ways (1, or 2 for two and more) counts the choices that reach it;
    // sorted, so that a sum is found by halving.
    constexpr unsigned kWayBits = 2;
    std::vector<std::uint32_t> sums{1};
    std::vector<std::size_t> stepAt{0, 1};
    std::vector<std::uint32_t> next;
    for (std::size_t segment = 0; segment + 1 < segments; ++segment) {
        // Each later segment needs a row at least.
        const std::uint32_t most = height_ - static_cast<std::uint32_t>(segments - 1 - segment);
        next.clear();
        for (const std::uint16_t rows : counts(segment)) {
            for (std::size_t at = stepAt[segment]; at < stepAt[segment + 1]; ++at) {
                const std::uint32_t sum = (sums[at] >> kWayBits) + rows;
                if (sum <= most) next.push_back(sum << kWayBits | (sums[at] & 3));
            }
        }
        if (next.empty() || sums.size() + next.size() > kMostStates) return false;
        std::sort(next.begin(), next.end());
        for (const std::uint32_t state : next) {
            if (sums.size() > stepAt.back() && sums.back() >> kWayBits == state >> kWayBits) {
                sums.back() = sums.back() >> kWayBits << kWayBits | 2;
            } else {
                sums.push_back(state);
            }
        }
        stepAt.push_back(sums.size());
    }
    // The last segment may end inside its last run, whose bytes past the
    // picture are dropped: any count whose rows end within a unit that ends
    // in its last 8 bits.
    const auto lastMayHold = [&](std::uint64_t rows) {
        for (unsigned k = 0; k < pending_.count; ++k) {
            if (pending_.before[k] < rows * rowBytes_ && rows * rowBytes_ <= pending_.after[k]) return true;
        }
        return false;
    };
    unsigned ways = 0;
    std::uint32_t before = 0;
    for (std::size_t at = stepAt[segments - 1]; at < stepAt[segments]; ++at) {
        const std::uint32_t sum = sums[at] >> kWayBits;
        if (sum < height_ && lastMayHold(height_ - sum)) {
            ways += sums[at] & 3;
            before = sum;
        }
    }
    if (ways != 1) return false;
    // Back from the end: with a single split, one count of each segment
    // leads from a sum reached before it.
    rows_.assign(segments, 0);
    rows_.back() = height_ - before;
    for (std::size_t segment = segments - 1; segment-- > 0;) {
        const auto from = sums.begin() + static_cast<std::ptrdiff_t>(stepAt[segment]);
        const auto to = sums.begin() + static_cast<std::ptrdiff_t>(stepAt[segment + 1]);
        for (const std::uint16_t rows : counts(segment)) {
            if (rows > before) continue;
            const std::uint32_t key = (before - rows) << kWayBits;
            const auto found = std::lower_bound(from, to, key);
            if (found != to && *found >> kWayBits == before - rows) {
                rows_[segment] = rows;
                before -= rows;
                break;
            }
        }
    }
    return true;
}

bool CompressedPixels::segmentAt(ByteSource& source, std::uint64_t at, std::span<const std::uint8_t>& codes,
                                 std::uint64_t& next) {
    codes = {};
    next = at;
    if (size_ - at <= 1) return true;  // the end, or one stray byte
    const std::uint8_t* word = source.bytes(at, 2);
    if (!word) return false;
    const std::size_t length = word[0] | word[1] << 8;
    if (length == 0) return size_ - at == 2;
    if (size_ - at - 2 < length) return false;
    const std::uint8_t* data = source.bytes(at + 2, length);
    if (!data) return false;
    codes = {data, length};
    next = at + 2 + length;
    return true;
}

bool CompressedPixels::readLayout(ByteSource& source, std::uint64_t size) {
    size_ = size;
    const std::uint8_t* count = size >= 2 ? source.bytes(0, 2) : nullptr;
    if (!count) return false;
    const std::size_t itemBytes = 2 * std::size_t(count[0] | count[1] << 8);
    const std::uint8_t* items = size - 2 >= itemBytes ? source.bytes(2, itemBytes) : nullptr;
    if (!items || !tree_.parse({items, itemBytes})) return false;
    firstSegment_ = next_ = 2 + itemBytes;
    std::span<const std::uint8_t> codes;
    for (std::uint64_t at = firstSegment_;;) {
        if (!segmentAt(source, at, codes, at)) return false;
        if (codes.empty()) break;
        ++segments_;
    }
    // A tree of one leaf says nothing of where rows end: only a single
    // segment, the whole picture, can be read.
    if (tree_.singleLeaf()) {
        planned_ = true;
        if (segments_ == 1) rows_.assign(1, height_);
    }
    return true;
}

bool CompressedPixels::expandAgain(ByteSource& source, std::uint64_t at) {
    std::span<const std::uint8_t> codes;
    std::uint64_t next = 0;
    if (!segmentAt(source, at, codes, next) || codes.empty()) return false;
    expander_.emplace(tree_, codes, xorFilter_);
    return true;
}

// The ends of every segment from `at` on, and the one split of them all.
bool CompressedPixels::planFrom(ByteSource& source, std::uint64_t at) {
    std::span<const std::uint8_t> codes;
    for (;;) {
        if (!segmentAt(source, at, codes, at)) return false;
        if (codes.empty()) break;
        if (!split_.add(scanSegment(tree_, codes))) return false;
    }
    if (!split_.choose()) return false;
    rows_ = split_.rows();
    planned_ = true;
    return true;
}

bool CompressedPixels::startSegment(ByteSource& source) {
    const std::uint64_t here = next_;
    std::span<const std::uint8_t> codes;
    if (segment_ == segments_ || !segmentAt(source, here, codes, next_) || codes.empty()) return false;
    if (planned_) {
        if (segment_ == rows_.size()) return false;
        keptSize_ = 0;
        expander_.emplace(tree_, codes, xorFilter_);
        rowsLeft_ = rows_[segment_++];
        return true;
    }
    // Decoded once, its output kept where it fits.
    // Enough for the picture, and a run past its end.
    const std::size_t room = static_cast<std::size_t>(std::min<std::uint64_t>(kKeptOutput, rowBytes_ * height_ + 257));
    // Left uninitialised, as make_unique_for_overwrite would (which older libc++ lacks).
    if (!kept_) kept_.reset(new std::uint8_t[room]);
    SegmentEnds ends;
    SegmentExpander first(tree_, codes, xorFilter_, &ends);
    const std::size_t made = first.expand(kept_.get(), room);
    keptSize_ = made < room ? made : 0;
    keptAt_ = 0;
    if (keptSize_ == 0) ends = scanSegment(tree_, codes);
    if (!split_.add(ends)) return false;
    std::uint16_t counts[8];
    const unsigned found = RowSplit::countsBefore(ends, rowBytes_, height_, counts);
    const bool last = segment_ + 1 == segments_;
    ++segment_;
    if (!last && found == 1 && rowsGiven_ + counts[0] < height_) {
        rowsLeft_ = counts[0];
    } else {
        if (!planFrom(source, next_)) return false;
        rowsLeft_ = rows_[segment_ - 1];
    }
    rowsGiven_ += rowsLeft_;
    return keptSize_ != 0 || expandAgain(source, here);
}

bool CompressedPixels::nextRow(ByteSource& source, std::uint8_t* out) {
    while (rowsLeft_ == 0) {
        if (!startSegment(source)) return false;
    }
    --rowsLeft_;
    const auto bytes = static_cast<std::size_t>(rowBytes_);
    if (keptSize_ == 0) return expander_->expand(out, bytes) == bytes;
    if (keptSize_ - keptAt_ < bytes) return false;
    std::memcpy(out, kept_.get() + keptAt_, bytes);
    keptAt_ += bytes;
    return true;
}

namespace {

// The 8 pixels of a plane byte, each its bit as a byte of 0 or 1, leftmost
// first in memory. Shifting the word by up to 3 moves no bit across bytes.
std::array<std::uint64_t, 256> spreadBits() {
    std::array<std::uint64_t, 256> table{};
    for (unsigned byte = 0; byte < 256; ++byte) {
        std::uint8_t pixels[8];
        for (unsigned x = 0; x < 8; ++x) pixels[x] = (byte >> (7 - x)) & 1;
        std::memcpy(&table[byte], pixels, 8);
    }
    return table;
}

}  // namespace

void indicesFromPlanes(const std::uint8_t* const planes[4], std::uint8_t* out, std::size_t width) {
    static const std::array<std::uint64_t, 256> kSpread = spreadBits();
    for (std::size_t x = 0, byte = 0; x < width; x += 8, ++byte) {
        const std::uint64_t pixels = kSpread[planes[0][byte]] | kSpread[planes[1][byte]] << 1 |
                                     kSpread[planes[2][byte]] << 2 | kSpread[planes[3][byte]] << 3;
        std::memcpy(out + x, &pixels, std::min<std::size_t>(8, width - x));
    }
}

}  // namespace quorvel::rixcode
