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
#include <optional>
#include <span>
#include <vector>

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
    const Entry& entry(std::size_t bits) const { return table_[bits]; }

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

// The bits of a segment, most significant first.
struct BitReader {
    explicit BitReader(std::span<const std::uint8_t> codes) : data(codes.data()), size(codes.size()) {}
    // The next symbol; false when the codes end inside one.
    bool next(const CodeTree& tree, std::uint8_t& symbol);
    std::uint64_t consumed() const { return std::uint64_t{position} * 8 - held; }

    void refill();
    void consume(unsigned count) {
        bits <<= count;
        held -= count;
    }
    const std::uint8_t* data;
    std::size_t size;
    std::size_t position = 0;
    std::uint64_t bits = 0;  // the next bits, the first in the highest
    unsigned held = 0;       // how many of them are counted
};

// A segment's output, a piece at a time.
class SegmentExpander {
public:
    SegmentExpander(const CodeTree& tree, std::span<const std::uint8_t> codes, bool xorFilter);
    // Writes `count` bytes, or fewer when the codes end first; returns how many.
    std::size_t expand(std::uint8_t* out, std::size_t count);

private:
    const CodeTree& tree_;
    BitReader reader_;
    bool xorFilter_;
    bool escaped_ = false;
    std::uint8_t run_ = 0;    // the escape byte a run repeats
    std::size_t runLeft_ = 0;
    std::uint8_t last_ = 0;   // the XOR filter's previous output
};

// How many rows each segment holds: every choice of one possible count per
// segment is weighed, and only a single choice that adds up to the
// picture's height is taken.
class RowSplit {
public:
    RowSplit(std::uint64_t rowBytes, std::uint32_t height) : rowBytes_(rowBytes), height_(height) {}
    // The next segment's ends. False once there are more segments than rows.
    bool add(const SegmentEnds& ends);
    // Closes the list: true when exactly one split exists, and rows() gives it.
    bool choose();
    const std::vector<std::uint32_t>& rows() const { return rows_; }

    // The most partial sums kept while weighing: more is refused, which
    // bounds memory and time on hostile input (real files keep one a segment).
    static constexpr std::size_t kMostStates = std::size_t{1} << 19;

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

// Where compressed bytes come from: `count` of them from `offset` on
// (counted from the node table's length word), or null when there are
// not that many. What one call gives stays valid until the next.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual const std::uint8_t* bytes(std::uint64_t offset, std::size_t count) = 0;
};

// A whole compressed picture: its tree and segments checked through first,
// then its rows, top first, each as stored before compression.
class CompressedPixels {
public:
    CompressedPixels(std::uint64_t rowBytes, std::uint32_t height, bool xorFilter)
        : rowBytes_(rowBytes), height_(height), xorFilter_(xorFilter), split_(rowBytes, height) {}
    // Reads the tree and walks the segments within `size` bytes, decoding
    // each for the rows it may hold. False when the data is cut short,
    // makes no tree, or holds anything after its last segment but a
    // length of 0 or one stray byte.
    bool readLayout(ByteSource& source, std::uint64_t size);
    // Then: true when the segments split into whole rows one way only.
    bool splitIntoRows();
    // Then, row by row: rowBytes of output, or false when the data no
    // longer holds them (it changed since it was walked).
    bool nextRow(ByteSource& source, std::uint8_t* out);

private:
    // A segment's codes and where the next segment starts; none at the end.
    bool segmentAt(ByteSource& source, std::uint64_t at, std::span<const std::uint8_t>& codes, std::uint64_t& next);

    std::uint64_t rowBytes_;
    std::uint32_t height_;
    bool xorFilter_;
    CodeTree tree_;
    std::uint64_t size_ = 0;
    std::uint64_t firstSegment_ = 0;
    std::size_t segments_ = 0;
    bool sound_ = true;
    RowSplit split_;
    std::vector<std::uint32_t> rows_;  // of each segment
    // The segment being expanded.
    std::size_t segment_ = 0;
    std::uint64_t next_ = 0;
    std::uint32_t rowsLeft_ = 0;
    std::optional<SegmentExpander> expander_;
};

// Indices from four plane lines: plane k gives bit k, the leftmost pixel in
// each byte's highest bit.
void indicesFromPlanes(const std::uint8_t* const planes[4], std::uint8_t* out, std::size_t width);

}  // namespace quorvel::rixcode
