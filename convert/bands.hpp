// Pixels cross from input to output as the platform gathers them (straight
// from the input's pages, on POSIX) or else in bands: as many whole rows as
// fit a budget that stays in the processor's cache (at least one row), each
// band read with one positioned read, reshaped in its own buffer and written
// with one write. Memory is at most one band and one row, whatever the
// image's size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/platform.hpp"

namespace quorvel {

using platform::CopyOutcome;
using platform::CopyResult;
using platform::RowCopy;

// The longest `start` an output begins with: a bitmap's headers and palette.
inline constexpr std::size_t kLongestStart = 794;

// Bytes of rows a band holds at most (a wider row still makes a band).
inline constexpr std::size_t kBandBudget = std::size_t{512} << 10;

// Rows in one band, and the memory the band path asks for: a band and a row.
std::size_t bandRows(const RowCopy& copy);
std::size_t bandMemory(const RowCopy& copy);

// Writes `start` (headers and palette, at most kLongestStart bytes), then
// every row, the output being written from its current position on; a
// regular output takes `start` last. Nothing is written when the memory for
// a band cannot be had (NoMemory).
CopyResult copyRows(platform::File& input, platform::File& output, std::span<const std::uint8_t> start,
                    const RowCopy& copy);

}  // namespace quorvel
