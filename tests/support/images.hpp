// Test images laid out by hand, byte by byte, independently of the
// converter's own records: ColorRIX files, 8-bit bitmaps of every header
// kind, and the files the converter must make of them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvel::testing {

using Bytes = std::vector<std::uint8_t>;
using Rgb = std::array<std::uint8_t, 3>;  // red, green, blue

// Palette indices, top row first, `width` bytes per row.
struct IndexedImage {
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    Bytes pixels;
};

// Every row differs from every other, so a misplaced row shows.
inline IndexedImage patternImage(std::uint16_t width, std::uint16_t height) {
    IndexedImage image{width, height, Bytes(std::size_t{width} * height)};
    for (std::size_t i = 0; i < image.pixels.size(); ++i) {
        const std::size_t x = i % width, y = i / width;
        image.pixels[i] = static_cast<std::uint8_t>(x * 7 + y * 31 + (y >> 3));
    }
    return image;
}

// 6-bit entries, all distinct; entry 255 holds stray bytes of 64 and more,
// which lose their top bits on the way to a bitmap (65 becomes 4).
inline std::vector<Rgb> rixPalette() {
    std::vector<Rgb> palette(256);
    for (std::size_t i = 0; i < 256; ++i) palette[i] = {std::uint8_t(i & 63), std::uint8_t((i >> 2) & 63), std::uint8_t(63 - (i & 63))};
    palette[255] = {65, 255, 128};
    return palette;
}

// 8-bit entries: every component value from 0 to 255 occurs in each channel.
inline std::vector<Rgb> bitmapPalette(std::size_t entries = 256) {
    std::vector<Rgb> palette(entries);
    for (std::size_t i = 0; i < entries; ++i) palette[i] = {std::uint8_t(i), std::uint8_t(255 - i), std::uint8_t(i * 3)};
    return palette;
}

// Little-endian fields of `bytes` bytes each.
inline void put(Bytes& out, std::size_t bytes, std::uint32_t value) {
    for (std::size_t i = 0; i < bytes; ++i) out.push_back(std::uint8_t(value >> (8 * i)));
}
inline std::uint32_t get16(const Bytes& in, std::size_t at) { return in.at(at) | in.at(at + 1) << 8; }
inline std::uint32_t get32(const Bytes& in, std::size_t at) { return get16(in, at) | get16(in, at + 2) << 16; }

inline Bytes rixFile(const IndexedImage& image, const std::vector<Rgb>& palette, std::uint16_t paletteInfo = 175) {
    Bytes out{'R', 'I', 'X', '3'};
    for (const std::uint32_t field : {std::uint32_t{image.width}, std::uint32_t{image.height}, std::uint32_t{paletteInfo}})
        put(out, 2, field);
    for (const Rgb& entry : palette) out.insert(out.end(), entry.begin(), entry.end());
    out.resize(10 + 768, 0);  // entries the palette lacks are black
    out.insert(out.end(), image.pixels.begin(), image.pixels.end());
    return out;
}

struct BitmapLayout {
    std::uint32_t headerSize = 40;  // 12 for a core header; 14, 16, 40, 108, 124 ...
    bool topDown = false;           // info header only: negative height
    std::uint16_t planes = 1;       // a core header's planes; 2 means 4-byte entries
};

inline std::size_t paddedRow(std::size_t width) { return (width + 3) & ~std::size_t{3}; }

// A bitmap as the format lays it out: the header cut to its size, padded
// rows, bottom row first unless top-down.
inline Bytes bitmapFile(const IndexedImage& image, const std::vector<Rgb>& palette, const BitmapLayout& layout = {}) {
    const bool core = layout.headerSize == 12;
    const std::size_t entryBytes = core && layout.planes != 2 ? 3 : 4;
    const auto offBits = static_cast<std::uint32_t>(14 + layout.headerSize + palette.size() * entryBytes);
    const std::size_t rowBytes = paddedRow(image.width);
    const auto height = static_cast<std::uint32_t>(layout.topDown ? -std::int32_t{image.height} : image.height);
    Bytes out{'B', 'M'};
    for (const std::uint32_t field : {std::uint32_t(offBits + rowBytes * image.height), 0u, offBits, layout.headerSize})
        put(out, 4, field);
    const std::size_t w = core ? 2 : 4;  // bytes of the size fields
    const std::pair<std::size_t, std::uint32_t> fields[] = {
        {w, image.width}, {w, height}, {2, core ? layout.planes : 1u}, {2, 8}, {4, 0},
        {4, std::uint32_t(rowBytes * image.height)}, {4, 2835}, {4, 2835}, {4, std::uint32_t(palette.size())}};
    for (const auto& [bytes, value] : fields) put(out, bytes, value);
    out.resize(14 + layout.headerSize, 0);  // cut to the header's size; V4/V5 fields zero
    for (const Rgb& entry : palette) {
        out.insert(out.end(), {entry[2], entry[1], entry[0]});
        if (entryBytes == 4) out.push_back(0);
    }
    for (std::size_t row = 0; row < image.height; ++row) {
        const std::size_t y = layout.topDown ? row : image.height - 1 - row;
        const auto begin = image.pixels.begin() + static_cast<std::ptrdiff_t>(y * image.width);
        out.insert(out.end(), begin, begin + image.width);
        out.insert(out.end(), rowBytes - image.width, 0);
    }
    return out;
}

// Each component shifted by `left` bits (negative: to the right).
inline std::vector<Rgb> shifted(std::vector<Rgb> palette, int left) {
    for (Rgb& entry : palette)
        for (std::uint8_t& c : entry) c = std::uint8_t(left > 0 ? c << left : c >> -left);
    return palette;
}

// The bitmap the converter must write for a ColorRIX: core header, 256
// entries widened in 8 bits, padded rows bottom first.
inline Bytes expectedBitmap(const IndexedImage& image, const std::vector<Rgb>& rixPalette) {
    return bitmapFile(image, shifted(rixPalette, 2), BitmapLayout{12});
}

// The ColorRIX the converter must write for a bitmap: 256 entries narrowed,
// those the bitmap lacks black.
inline Bytes expectedRix(const IndexedImage& image, const std::vector<Rgb>& bitmapPalette, std::uint16_t paletteInfo = 175) {
    return rixFile(image, shifted(bitmapPalette, -2), paletteInfo);
}

}  // namespace quorvel::testing
