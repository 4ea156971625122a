// A ColorRIX picture made small for a file manager: each thumbnail pixel
// the rounded average of the picture's pixels it covers, in the colours the
// converted bitmap shows. Every place that draws thumbnails draws them here.
#pragma once

#include <cstdint>
#include <functional>

#include "convert/convert.hpp"

namespace quorvel {

struct ThumbnailShape {
    std::uint32_t width;
    std::uint32_t height;
};

// Fits `width` x `height` into `size` x `size`, aspect kept, never enlarged:
// each side scaled by the larger side's ratio, rounded, one pixel at least.
ThumbnailShape thumbnailShape(std::uint32_t width, std::uint32_t height, std::uint32_t size);

// Reads `picture` from its first row, a band at a time, and hands `row`
// each thumbnail row, top first, as RGB triples, once its last source row
// is in: the sums of one thumbnail row are all that is kept. False when the
// picture cannot be read to its end or `row` returns false. May throw
// std::bad_alloc.
bool drawThumbnail(RixRows& picture, std::uint32_t size, const std::function<bool(const std::uint8_t* rgb)>& row);

}  // namespace quorvel
