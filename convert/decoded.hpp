// How rows that must be decoded cross from input to output: a decoder
// hands them over in the order the input stores them, which may be the
// output's reverse. On a regular output each band goes straight to its
// place with a positioned write, so memory stays a band whatever the
// picture's size; an output that cannot seek (a FIFO, a device) takes its
// bytes in order, so the whole picture is gathered in memory first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "convert/bands.hpp"
#include "formats/byte_source.hpp"
#include "platform/platform.hpp"

namespace quorvel {

// Rows of indices, a byte each, in the order the input stores them.
class RowSource {
public:
    virtual ~RowSource() = default;
    // The next `rows` rows of `width` bytes: row k at `first + k * step`.
    // False when the input fails or turns out not to hold them.
    virtual bool fill(std::uint8_t* first, std::ptrdiff_t step, std::size_t rows) = 0;
};

struct Placement {
    std::size_t width;         // indices a row
    std::size_t height;        // rows
    std::size_t outputStride;  // bytes a written row; its padding is zeros
    bool reverse;              // the output takes the rows in the opposite order
};

// Writes `start` and every row of `source` into an output written from its
// start, with the same guarantees as copyRows: a regular output holds zeros
// in the place of `start` until the rest is whole. After a failed write
// that place stays zeros, since the rows written are not a prefix.
CopyResult placeRows(platform::File& output, std::span<const std::uint8_t> start, const Placement& placement,
                     RowSource& source);

// Reads a file in large pieces, for decoders that walk it from `start` on
// in small steps. Without memory of its own it takes the program's one
// window, kept from one file to the next; a picture that lives beside
// others (in another program's process) brings its own.
class InputWindow : public ByteSource {
public:
    static constexpr std::size_t kCapacity = std::size_t{1} << 20;
    InputWindow(platform::Readable& file, std::uint64_t start, platform::Buffer* memory = nullptr);
    bool ready() const { return memory_ != nullptr; }
    // `count` bytes (at most kCapacity) from `start + offset` on, or null
    // when the file does not hold them or cannot be read.
    const std::uint8_t* bytes(std::uint64_t offset, std::size_t count) override;

private:
    platform::Readable& file_;
    std::uint64_t base_;
    std::uint8_t* memory_;
    std::uint64_t start_ = 0;
    std::size_t held_ = 0;
};

}  // namespace quorvel
