// Run-length encoded bitmap pixels (compression 1, RLE8, with 8 bits a
// pixel; 2, RLE4, with 4), decoded from bytes: no file, no platform.
//
// From bfOffBits, in stored order (the bottom row first, from x = 0), pairs
// of bytes:
//
//   n, v (n >= 1)   n pixels: v each (RLE8), or v's high and low nibble in
//                   turn, the high first (RLE4)
//   0, 0            end of the line: on to x = 0 of the next stored row
//   0, 1            end of the bitmap
//   0, 2, dx, dy    move dx pixels right and dy stored rows on
//   0, n (n >= 3)   n pixels as they are (RLE8: n bytes; RLE4: (n + 1) / 2
//                   bytes, high nibble first), then a byte of padding when
//                   those bytes are odd in number
//
// Pixels at or past a row's end, or past the last row, are dropped; pixels
// no code sets are index 0. The stream ends at its end of bitmap, or once
// every row has been ended; a stream that ends before that was cut short.
#pragma once

#include <cstddef>
#include <cstdint>

#include "formats/byte_source.hpp"

namespace quorvel::rle {

class RunLengthRows {
public:
    // `size` bytes of stream from the source's offset 0; RLE4 when `fourBits`.
    RunLengthRows(ByteSource& source, std::uint64_t size, std::size_t width, std::size_t height, bool fourBits)
        : source_(source), size_(size), width_(width), height_(height), fourBits_(fourBits) {}
    // The next stored row (the bottom one first): `width` indices. False
    // when the stream ends before the row is ended.
    bool nextRow(std::uint8_t* out);

private:
    // At least `count` bytes of the stream from the current position in
    // view, or false when the stream holds fewer.
    bool have(std::size_t count);

    ByteSource& source_;
    std::uint64_t size_;
    std::size_t width_;
    std::size_t height_;
    bool fourBits_;
    // A view of the stream, from `viewAt` on.
    const std::uint8_t* view_ = nullptr;
    std::size_t viewSize_ = 0;
    std::uint64_t viewAt_ = 0;
    std::size_t used_ = 0;         // of the view
    std::uint64_t x_ = 0;          // where the next pixel goes
    std::uint64_t y_ = 0;          // in which stored row
    std::uint64_t given_ = 0;      // rows handed out
    bool ended_ = false;           // nothing more is read
};

}  // namespace quorvel::rle
