#include "convert/thumbnail.hpp"

#include <algorithm>
#include <vector>

namespace quorvel {

namespace {

// Source pixels [first[k], first[k + 1]) make thumbnail pixel k: every
// source pixel counts once, and a size not scaled maps one to one.
std::vector<std::uint32_t> boxes(std::uint32_t from, std::uint32_t to) {
    std::vector<std::uint32_t> first(to + 1);
    for (std::uint32_t k = 0; k <= to; ++k) first[k] = static_cast<std::uint32_t>(std::uint64_t{k} * from / to);
    return first;
}

std::uint32_t scaled(std::uint32_t side, std::uint32_t largest, std::uint32_t size) {
    if (largest <= size) return side;
    return std::max<std::uint32_t>(1, static_cast<std::uint32_t>((std::uint64_t{side} * size + largest / 2) / largest));
}

}  // namespace

ThumbnailShape thumbnailShape(std::uint32_t width, std::uint32_t height, std::uint32_t size) {
    const std::uint32_t largest = std::max(width, height);
    return {scaled(width, largest, size), scaled(height, largest, size)};
}

bool drawThumbnail(RixRows& picture, std::uint32_t size, const std::function<bool(const std::uint8_t* rgb)>& row) {
    const std::uint32_t width = picture.width, height = picture.height;
    const ThumbnailShape shape = thumbnailShape(width, height, size);
    const std::vector<std::uint32_t> columns = boxes(width, shape.width), rows = boxes(height, shape.height);
    // Each colour packed in one word, a component every 21 bits: a run of
    // up to 8192 pixels adds up in it with one addition a pixel.
    constexpr std::uint32_t kPackedRun = 8192;
    std::uint64_t packed[kPaletteEntries];
    for (std::size_t i = 0; i < kPaletteEntries; ++i) {
        const RGBTRIPLE& colour = picture.palette[i];
        packed[i] = colour.rgbtRed | std::uint64_t{colour.rgbtGreen} << 21 | std::uint64_t{colour.rgbtBlue} << 42;
    }
    const std::size_t bandRows = std::max<std::size_t>(1, (std::size_t{1} << 20) / std::max<std::size_t>(1, width));
    std::vector<std::uint8_t> band(bandRows * width), out(3 * std::size_t{shape.width});
    std::vector<std::uint64_t> sums(3 * std::size_t{shape.width});
    std::uint32_t y = 0, thumbRow = 0;
    while (y < height) {
        const std::size_t count = std::min<std::size_t>(bandRows, height - y);
        if (!picture.fill(band.data(), static_cast<std::ptrdiff_t>(width), count)) return false;
        for (std::size_t r = 0; r < count; ++r, ++y) {
            const std::uint8_t* indices = &band[r * width];
            for (std::uint32_t k = 0; k < shape.width; ++k) {
                for (std::uint32_t x = columns[k]; x < columns[k + 1];) {
                    const std::uint32_t end = std::min(columns[k + 1], x + kPackedRun);
                    std::uint64_t run = 0;
                    for (; x < end; ++x) run += packed[indices[x]];
                    for (unsigned c = 0; c < 3; ++c) sums[3 * k + c] += run >> (21 * c) & ((1u << 21) - 1);
                }
            }
            if (y + 1 != rows[thumbRow + 1]) continue;
            const std::uint64_t tall = rows[thumbRow + 1] - rows[thumbRow];
            for (std::uint32_t k = 0; k < shape.width; ++k) {
                const std::uint64_t covered = tall * (columns[k + 1] - columns[k]);
                for (unsigned c = 0; c < 3; ++c) out[3 * k + c] = static_cast<std::uint8_t>((sums[3 * k + c] + covered / 2) / covered);
            }
            std::fill(sums.begin(), sums.end(), 0);
            if (!row(out.data())) return false;
            ++thumbRow;
        }
    }
    return true;
}

}  // namespace quorvel
