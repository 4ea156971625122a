// The pixels a ColorRIX holds, worked out here apart from the converter's
// code, the plain way: the code tree walked an item at a time, every
// segment decoded whole, every split of the segments into rows counted.
// Slow, and meant for the small inputs a fuzzer makes.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace reference {

using Bytes = std::vector<std::uint8_t>;

// The compressed data from the node table's length word to the end of the
// file, as `rowBytes` x `height` bytes (rows as stored before compression),
// or nothing when the data allows no single such picture.
std::optional<Bytes> decompress(const Bytes& data, std::size_t rowBytes, std::size_t height, bool xorFilter);

// A whole ColorRIX file: its pixels as indices, a byte each, top row
// first, or nothing when it cannot be read.
std::optional<Bytes> pixelsOf(const Bytes& rix);

// A run-length stream (RLE8, or RLE4 when `fourBits`) as `width` x `height`
// indices in stored order (the bottom row first), or nothing when it ends
// before its end of bitmap or its last row's end.
std::optional<Bytes> runLengthRows(const Bytes& stream, std::size_t width, std::size_t height, bool fourBits);

}  // namespace reference
