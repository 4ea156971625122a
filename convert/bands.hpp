// Pixels cross from input to output in bands: as many whole rows as fit a
// budget that stays in the processor's cache (at least one row), each band
// read with one positioned read, reshaped in its own buffer and written with
// one write. Memory is one band and one row, whatever the image's size.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.hpp"

namespace quorvel {

// Bytes of rows a band holds at most (a wider row still makes a band).
inline constexpr std::size_t kBandBudget = std::size_t{512} << 10;

// How the stored rows of an input become the rows of an output.
struct RowCopy {
    std::uint64_t inputOffset;  // where the input's first stored row starts
    std::size_t width;          // pixels per row
    std::size_t height;         // rows
    std::size_t inputStride;    // bytes per stored input row (width, or padded)
    std::size_t outputStride;   // bytes per written row; padding is written as zeros
    bool reverse;               // the output takes the rows in the opposite order

    std::size_t rowBytes() const { return inputStride > outputStride ? inputStride : outputStride; }
    std::size_t bandRows() const;
    std::size_t bandBytes() const { return bandRows() * rowBytes(); }
};

enum class CopyOutcome { Done, ReadFailed, WriteFailed };

// Copies every row, the output being written from its current position on.
// `band` holds bandBytes() and `rowBuffer` rowBytes().
CopyOutcome copyRows(platform::File& input, platform::File& output, const RowCopy& copy,
                     std::uint8_t* band, std::uint8_t* rowBuffer);

}  // namespace quorvel
