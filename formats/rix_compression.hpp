// The compressed pixels of a ColorRIX (byte 9 = 0x80, or 0x84 for planar
// lines), decoded from bytes in memory: no file, no platform.
//
// After the palette:
//
//   u16 N, N u16 items  a code tree in pre-order, the 1-branch first: an
//                       item 0x1000 + s is a leaf of symbol s; an even item
//                       v in 2..0xFFE is an internal node whose 1-subtree
//                       follows it and whose 0-subtree starts v / 2 items
//                       later; items the walk does not reach are ignored
//   then segments       u16 S, S bytes of codes, most significant bit first;
//                       a length of 0 ends the list
//
// Each segment codes whole rows (as stored uncompressed, top first) with
// fresh state: symbols 0x00 and 0xFF are escapes whose next symbol n makes
// a run of n + 1 of them; a picture of a byte a pixel then undoes an XOR
// filter (each byte XOR the previous output, 0 at a segment's start). How
// many rows a segment holds is not stored, and the padding bits after its
// last code may decode to more output: `RowSplit` takes the one split into
// whole rows the data allows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "formats/byte_source.hpp"

namespace quorvel::rixcode {

// A code tree, and a table that decodes its short codes at once.
class CodeTree {
public:
    // False when the items make no tree: an item of neither kind, a node
    // leading past the items, more than 256 leaves on the walk.
    bool parse(std::span<const std::uint8_t> items);
    // A tree of one leaf codes its symbol in no bits at all.
    bool singleLeaf() const { return nodes_.size() == 1; }
    std::uint8_t rootSymbol() const { return static_cast<std::uint8_t>(nodes_[0].child[0]); }

    static constexpr unsigned kTableBits = 10;
    // An internal node's children, or a leaf (`leaf` set, its symbol in child[0]).
    struct Node {
        std::uint16_t child[2];
        bool leaf;
    };
    // What the next kTableBits bits lead to: a symbol after `length` bits,
    // or (length 0) the node reached after all of them.
    struct Entry {
        std::uint16_t value;
        std::uint8_t length;
    };
    const Node& node(std::size_t index) const { return nodes_[index]; }
    const Entry* table() const { return table_.data(); }

private:
    void fillTable(std::size_t node, std::uint32_t code, unsigned depth);
    std::vector<Node> nodes_;
    std::vector<Entry> table_;
};

// The units (a literal, or an escape and its count) of a segment that end
// in its last 8 bits, where its real data may end: the output before and
// after each.
struct SegmentEnds {
    std::uint64_t before[8];
    std::uint64_t after[8];
    unsigned count = 0;
};

// Decodes a whole segment, counting its output. The tree has two leaves
// at least, so that every unit takes a bit.
SegmentEnds scanSegment(const CodeTree& tree, std::span<const std::uint8_t> codes);

// The bits of a segment, most significant first, read as codes of a tree.
// Small enough to copy into registers for a loop.
struct BitReader {
    BitReader(const CodeTree& codeTree, std::span<const std::uint8_t> codes)
        : tree(&codeTree), table(codeTree.table()), data(codes.data()), size(codes.size()) {}

    // The next symbol; false when the codes end inside one. Codes of up to
    // kTableBits bits take one look in the table.
    bool next(std::uint8_t& symbol) {
        if (held < 32) refill();
        const CodeTree::Entry entry = table[bits >> (64 - CodeTree::kTableBits)];
        if (entry.length == 0 || entry.length > held) return nextLong(entry, symbol);
        consume(entry.length);
        symbol = static_cast<std::uint8_t>(entry.value);
        return true;
    }
    // Whether less than a byte of the codes is left.
    bool inLastByte() const { return held <= 7 && position == size; }

    // Takes whole bytes while they fit: 8 at once away from the end (their
    // bits past the counted ones are the right ones, so taking them again
    // later changes nothing), one at a time near it.
    void refill() {
        if (size - position < 8) return refillNearEnd();
        std::uint64_t word = 0;
        for (std::size_t i = 0; i < 8; ++i) word = word << 8 | data[position + i];
        bits |= word >> held;
        const unsigned taken = (63 - held) / 8;
        position += taken;
        held += 8 * taken;
    }
    void refillNearEnd() {
        while (held <= 56 && position < size) {
            bits |= std::uint64_t{data[position++]} << (56 - held);
            held += 8;
        }
    }
    // A code longer than the table's bits, or the codes' end. Inline like
    // the rest, so that a loop keeps the reader in registers.
    bool nextLong(const CodeTree::Entry& entry, std::uint8_t& symbol) {
        if (entry.length != 0 || held < CodeTree::kTableBits) return false;
        consume(CodeTree::kTableBits);
        std::size_t at = entry.value;
        while (!tree->node(at).leaf) {
            if (held == 0) refill();
            if (held == 0) return false;
            const auto bit = static_cast<unsigned>(bits >> 63);
            consume(1);
            at = tree->node(at).child[bit];
        }
        symbol = static_cast<std::uint8_t>(tree->node(at).child[0]);
        return true;
    }
    void consume(unsigned count) {
        bits <<= count;
        held -= count;
    }

    const CodeTree* tree;
    const CodeTree::Entry* table;
    const std::uint8_t* data;
    std::size_t size;
    std::size_t position = 0;
    std::uint64_t bits = 0;  // the next bits, the first in the highest
    unsigned held = 0;       // how many of them are counted
};

// A segment's output, a piece at a time.
class SegmentExpander {
public:
    // With `ends`, the units that end in the codes' last byte are recorded there.
    SegmentExpander(const CodeTree& tree, std::span<const std::uint8_t> codes, bool xorFilter,
                    SegmentEnds* ends = nullptr);
    // Writes `count` bytes, or fewer when the codes end first; returns how many.
    std::size_t expand(std::uint8_t* out, std::size_t count);

private:
    BitReader reader_;
    bool single_;
    bool xorFilter_;
    bool escaped_ = false;
    std::uint8_t run_ = 0;    // the escape byte a run repeats
    std::size_t runLeft_ = 0;
    std::uint8_t last_ = 0;   // the XOR filter's previous output
    SegmentEnds* ends_;
    std::uint64_t unitsEnd_ = 0;  // the output of the units decoded, runs whole
};

// How many rows each segment holds: every choice of one possible count per
// segment is weighed, and only a single choice that adds up to the
// picture's height is taken.
class RowSplit {
public:
    RowSplit(std::uint64_t rowBytes, std::uint32_t height) : rowBytes_(rowBytes), height_(height) {}
    // The next segment's ends. False once there are more segments than rows.
    bool add(const SegmentEnds& ends);
    // The counts of rows a segment followed by another may hold.
    static unsigned countsBefore(const SegmentEnds& ends, std::uint64_t rowBytes, std::uint32_t height,
                                 std::uint16_t counts[8]);
    // Closes the list: true when exactly one split exists, and rows() gives it.
    bool choose();
    const std::vector<std::uint32_t>& rows() const { return rows_; }

    // The most partial sums kept while weighing (a megabyte): more is
    // refused, which bounds memory and time on hostile input (real files
    // keep one a segment).
    static constexpr std::size_t kMostStates = std::size_t{1} << 18;

private:
    void settlePending();
    std::uint64_t rowBytes_;
    std::uint32_t height_;
    std::vector<std::uint16_t> candidates_;   // counts each segment but the last may hold
    std::vector<std::uint32_t> firstOf_{0};   // where each segment's counts start
    SegmentEnds pending_{};                   // the latest segment's ends, the last one's so far
    bool hasPending_ = false;
    std::vector<std::uint32_t> rows_;
};

// A whole compressed picture: its tree and every segment's length checked
// first, then its rows, top first, each as stored before compression.
//
// Each segment is decoded once as its rows are wanted, into memory where
// its output fits. Its rows are known then if another segment follows and
// its data can end after one count of rows only: any split of the
// segments must take that count. Otherwise (the last segment, or one whose
// padding may decode into whole rows) the segments after it are decoded
// for the counts they may hold, and only a single split of them all is
// taken; the segments after it are then decoded again for their output.
class CompressedPixels {
public:
    CompressedPixels(std::uint64_t rowBytes, std::uint32_t height, bool xorFilter)
        : rowBytes_(rowBytes), height_(height), xorFilter_(xorFilter), split_(rowBytes, height) {}
    // Reads the tree and every segment's length within `size` bytes.
    // False when the data is cut short, makes no tree, or holds anything
    // after its last segment but a length of 0 or one stray byte.
    bool readLayout(ByteSource& source, std::uint64_t size);
    // Then, row by row: rowBytes of output. False when the data holds no
    // single picture, or no longer holds the one it held when walked.
    bool nextRow(ByteSource& source, std::uint8_t* out);

    // The most output of one segment kept in memory; a segment that makes
    // more (long runs, quick to decode) is decoded again for its rows.
    static constexpr std::size_t kKeptOutput = std::size_t{1} << 20;

private:
    // A segment's codes and where the next segment starts; none at the end.
    bool segmentAt(ByteSource& source, std::uint64_t at, std::span<const std::uint8_t>& codes, std::uint64_t& next);
    bool startSegment(ByteSource& source);
    bool planFrom(ByteSource& source, std::uint64_t at);
    bool expandAgain(ByteSource& source, std::uint64_t at);

    std::uint64_t rowBytes_;
    std::uint32_t height_;
    bool xorFilter_;
    CodeTree tree_;
    std::uint64_t size_ = 0;
    std::uint64_t firstSegment_ = 0;
    std::size_t segments_ = 0;
    RowSplit split_;
    bool planned_ = false;
    std::vector<std::uint32_t> rows_;  // of each segment, once planned
    // The segment whose rows are being given.
    std::size_t segment_ = 0;          // the segments started
    std::uint64_t next_ = 0;           // where the one after it starts
    std::uint64_t rowsGiven_ = 0;      // by the segments before it
    std::uint32_t rowsLeft_ = 0;
    std::unique_ptr<std::uint8_t[]> kept_;  // its output, when it fits
    std::size_t keptSize_ = 0;
    std::size_t keptAt_ = 0;                // how much of it was given
    std::optional<SegmentExpander> expander_;  // else its expansion
};

// Indices from four plane lines: plane k gives bit k, the leftmost pixel in
// each byte's highest bit.
void indicesFromPlanes(const std::uint8_t* const planes[4], std::uint8_t* out, std::size_t width);

}  // namespace quorvel::rixcode
