// How the pixels cross from input to output, the same way on every
// platform: in bands of whole rows. Each band is read with one positioned
// read into a read buffer; one pass writes each output row once, in the
// output's order, into a write buffer, reversing the rows, adding or
// dropping their padding and widening packed indices to bytes; one write
// sends the band on. Memory is the two buffers, about 2 MiB at most,
// whatever the picture's size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/platform.hpp"

namespace quorvel {

// How the stored rows of an input become the rows of an output.
struct RowCopy {
    std::uint64_t inputOffset;  // where the input's first stored row starts
    std::size_t width;          // pixels per row
    std::size_t height;         // rows
    unsigned inputBits;         // bits per input pixel: 1, 2, 4 or 8; the output has 8
    std::size_t inputStride;    // bytes per stored input row, its padding included
    std::size_t outputStride;   // bytes per written row; padding is written as zeros
    bool reverse;               // the output takes the rows in the opposite order

    std::uint64_t inputEnd() const { return inputOffset + std::uint64_t{inputStride} * height; }
};

enum class CopyOutcome { Done, ReadFailed, WriteFailed, NoMemory };

// How a copy ended, how many bytes of the output it wrote, and with
// NoMemory the bytes it asked for.
struct CopyResult {
    CopyOutcome outcome;
    std::uint64_t written;
    std::uint64_t memory = 0;
};

// The longest `start` an output begins with: a bitmap's headers and palette.
inline constexpr std::size_t kLongestStart = 794;

// Until its last row is written, a regular output begins with zeros where
// its signature, header and palette go, over an older output's too: cut
// off at any instant, even by a power cut, it is then no picture to any
// reader. Writes them, `bytes` at most kLongestStart, from its start.
platform::Transfer holdPlaceOfStart(platform::File& output, std::size_t bytes);

// The memory a copy asks for: both buffers of a band.
std::size_t bandMemory(const RowCopy& copy);

// Writes `start` (headers and palette, at most kLongestStart bytes), then
// every row, into an output written from its start. A regular output
// begins with zeros in the place of `start`, which goes in once the rest is
// written; an output that cannot seek takes it first. Nothing is written
// when the memory for a band cannot be had (NoMemory).
CopyResult copyRows(platform::File& input, platform::File& output, std::span<const std::uint8_t> start,
                    const RowCopy& copy);

}  // namespace quorvel
