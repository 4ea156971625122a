// Builders for the test images: ColorRIX files and 8-bit bitmaps laid out
// by hand, byte by byte, independently of the converter's own records.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quorvel::testing {

using Bytes = std::vector<std::uint8_t>;

// Palette indices, top row first, `width` bytes per row.
struct IndexedImage {
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    Bytes pixels;

    std::uint8_t at(std::size_t x, std::size_t y) const { return pixels[y * width + x]; }
};

// Every row differs from every other, so a misplaced row shows.
inline IndexedImage patternImage(std::uint16_t width, std::uint16_t height) {
    IndexedImage image{width, height, Bytes(std::size_t{width} * height)};
    for (std::size_t y = 0; y < height; ++y)
        for (std::size_t x = 0; x < width; ++x)
            image.pixels[y * width + x] = static_cast<std::uint8_t>(x * 7 + y * 31 + (y >> 3));
    return image;
}

using Rgb = std::array<std::uint8_t, 3>;  // red, green, blue

// 6-bit palette for ColorRIX files; every entry distinct, entries 252..255 unusual.
inline std::vector<Rgb> rixPalette() {
    std::vector<Rgb> palette(256);
    for (std::size_t i = 0; i < 256; ++i)
        palette[i] = {static_cast<std::uint8_t>(i & 63), static_cast<std::uint8_t>((i >> 2) & 63),
                      static_cast<std::uint8_t>(63 - (i & 63))};
    palette[252] = {63, 0, 1};
    palette[253] = {1, 63, 0};
    palette[254] = {0, 1, 63};
    palette[255] = {63, 63, 63};
    return palette;
}

// 8-bit palette for bitmaps; entries 252..255 unusual.
inline std::vector<Rgb> bitmapPalette(std::size_t entries = 256) {
    std::vector<Rgb> palette(entries);
    for (std::size_t i = 0; i < entries; ++i)
        palette[i] = {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(255 - i),
                      static_cast<std::uint8_t>(i * 3)};
    if (entries == 256) {
        palette[252] = {255, 4, 3};
        palette[253] = {7, 255, 8};
        palette[254] = {1, 2, 255};
        palette[255] = {255, 255, 255};
    }
    return palette;
}

inline void put16(Bytes& out, std::uint32_t value) {
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

inline void put32(Bytes& out, std::uint32_t value) {
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}

inline std::uint32_t get16(const Bytes& in, std::size_t at) { return in.at(at) | in.at(at + 1) << 8; }

inline std::uint32_t get32(const Bytes& in, std::size_t at) {
    return get16(in, at) | get16(in, at + 2) << 16;
}

inline Bytes rixFile(const IndexedImage& image, const std::vector<Rgb>& palette,
                     std::uint16_t paletteInfo = 175) {
    Bytes out{'R', 'I', 'X', '3'};
    put16(out, image.width);
    put16(out, image.height);
    put16(out, paletteInfo);
    for (std::size_t i = 0; i < 256; ++i) {
        const Rgb entry = i < palette.size() ? palette[i] : Rgb{0, 0, 0};
        out.insert(out.end(), entry.begin(), entry.end());
    }
    out.insert(out.end(), image.pixels.begin(), image.pixels.end());
    return out;
}

struct BitmapLayout {
    std::uint32_t headerSize = 40;  // 12 for a core header; 40, 108, 124 ...
    std::uint16_t planes = 1;       // core header only
    std::uint16_t bitCount = 8;
    std::uint32_t compression = 0;
    bool topDown = false;           // info header only: negative height
    bool quadEntries = false;       // core header only: 4-byte entries anyway
};

inline std::size_t paddedRow(std::size_t width) { return (width + 3) & ~std::size_t{3}; }

// A bitmap as the format lays it out: padded rows, bottom row first unless top-down.
inline Bytes bitmapFile(const IndexedImage& image, const std::vector<Rgb>& palette,
                        const BitmapLayout& layout = {}) {
    const bool core = layout.headerSize == 12;
    const std::size_t entryBytes = core && !layout.quadEntries ? 3 : 4;
    const std::uint32_t offBits =
        static_cast<std::uint32_t>(14 + layout.headerSize + palette.size() * entryBytes);
    const std::size_t rowBytes = paddedRow(image.width);
    Bytes out{'B', 'M'};
    put32(out, static_cast<std::uint32_t>(offBits + rowBytes * image.height));
    put32(out, 0);
    put32(out, offBits);
    put32(out, layout.headerSize);
    if (core) {
        put16(out, image.width);
        put16(out, image.height);
        put16(out, layout.planes);
        put16(out, layout.bitCount);
    } else {
        put32(out, image.width);
        put32(out, layout.topDown ? static_cast<std::uint32_t>(-std::int32_t{image.height})
                                  : image.height);
        put16(out, 1);
        put16(out, layout.bitCount);
        put32(out, layout.compression);
        put32(out, static_cast<std::uint32_t>(rowBytes * image.height));
        put32(out, 2835);
        put32(out, 2835);
        put32(out, static_cast<std::uint32_t>(palette.size()));
        put32(out, 0);
        out.resize(14 + layout.headerSize, 0);  // V4/V5 fields: masks, colour space...
    }
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

// The bitmap the converter must write for a ColorRIX image: core header,
// 256 widened entries, padded rows bottom first.
inline Bytes expectedBitmap(const IndexedImage& image, const std::vector<Rgb>& rixPalette) {
    std::vector<Rgb> widened;
    for (const Rgb& entry : rixPalette)
        widened.push_back({static_cast<std::uint8_t>(entry[0] << 2),
                           static_cast<std::uint8_t>(entry[1] << 2),
                           static_cast<std::uint8_t>(entry[2] << 2)});
    return bitmapFile(image, widened, BitmapLayout{12});
}

// The ColorRIX the converter must write for a bitmap palette: narrowed, 256 entries.
inline Bytes expectedRix(const IndexedImage& image, const std::vector<Rgb>& bitmapPalette,
                         std::uint16_t paletteInfo = 175) {
    std::vector<Rgb> narrowed;
    for (const Rgb& entry : bitmapPalette)
        narrowed.push_back({static_cast<std::uint8_t>(entry[0] >> 2),
                            static_cast<std::uint8_t>(entry[1] >> 2),
                            static_cast<std::uint8_t>(entry[2] >> 2)});
    return rixFile(image, narrowed, paletteInfo);
}

}  // namespace quorvel::testing
