// Windows bitmap files, 1, 2, 4 or 8 bits per pixel, uncompressed, or run-
// length encoded (formats/bmp_rle.hpp) at 8 and 4 bits. Integers
// are little-endian and the records are packed, as in the file:
//
//   BITMAPFILEHEADER  14 bytes at offset 0   ("BM", file size, offset of pixels)
//   header            12 bytes (BITMAPCOREHEADER) or 40 and more
//                     (BITMAPINFOHEADER and its larger successors) at offset 14
//   palette           RGBTRIPLE entries (3 bytes) after a core header,
//                     RGBQUAD entries (4 bytes) after any other, from 14 + header size
//   pixels            from bfOffBits, bottom row first (top row first when an
//                     info header's biHeight is negative), each row padded with
//                     zero bytes to a multiple of 4 bytes; below 8 bits a byte
//                     holds several pixels, the leftmost in its highest bits
//
// The bitmaps this tool writes have a core header, 256 RGBTRIPLE entries and
// pixels at offset 794 = 14 + 12 + 768.
#pragma once

#include <cstddef>
#include <cstdint>

#include "formats/rix.hpp"

namespace quorvel {

inline constexpr std::uint16_t kBitmapType = 0x4D42;  // "BM"
inline constexpr std::uint32_t kCoreHeaderSize = 12;
inline constexpr std::uint32_t kInfoHeaderSize = 40;
inline constexpr std::size_t kFileHeaderBytes = 14;
inline constexpr std::size_t kWrittenPaletteBytes = kPaletteEntries * 3;
inline constexpr std::uint32_t kWrittenPixelOffset =
    kFileHeaderBytes + kCoreHeaderSize + kWrittenPaletteBytes;  // 794

#pragma pack(push, 1)
struct BITMAPFILEHEADER {
    std::uint16_t bfType;
    std::uint32_t bfSize;
    std::uint16_t bfReserved1;
    std::uint16_t bfReserved2;
    std::uint32_t bfOffBits;
};

struct BITMAPCOREHEADER {
    std::uint32_t bcSize;
    std::uint16_t bcWidth;
    std::uint16_t bcHeight;
    std::uint16_t bcPlanes;
    std::uint16_t bcBitCount;
};

struct BITMAPINFOHEADER {
    std::uint32_t biSize;
    std::int32_t biWidth;
    std::int32_t biHeight;
    std::uint16_t biPlanes;
    std::uint16_t biBitCount;
    std::uint32_t biCompression;
    std::uint32_t biSizeImage;
    std::int32_t biXPelsPerMeter;
    std::int32_t biYPelsPerMeter;
    std::uint32_t biClrUsed;
    std::uint32_t biClrImportant;
};

struct RGBTRIPLE {
    std::uint8_t rgbtBlue;
    std::uint8_t rgbtGreen;
    std::uint8_t rgbtRed;
};

struct RGBQUAD {
    std::uint8_t rgbBlue;
    std::uint8_t rgbGreen;
    std::uint8_t rgbRed;
    std::uint8_t rgbReserved;
};

// Either header as both conversions see it, laid out as a BITMAPCOREHEADER.
// `planes` doubles as the palette-entry marker: 2 means 4-byte RGBQUAD entries.
struct ImageHeader {
    std::uint32_t size;
    std::uint16_t width;
    std::uint16_t height;
    std::uint16_t planes;
    std::uint16_t bitCount;

    bool wideEntries() const { return planes == kWideEntriesPlanes; }
    static constexpr std::uint16_t kWideEntriesPlanes = 2;
};
#pragma pack(pop)

static_assert(sizeof(BITMAPFILEHEADER) == kFileHeaderBytes);
static_assert(sizeof(BITMAPCOREHEADER) == kCoreHeaderSize);
static_assert(sizeof(BITMAPINFOHEADER) == kInfoHeaderSize);
static_assert(sizeof(RGBTRIPLE) == 3);
static_assert(sizeof(RGBQUAD) == 4);
static_assert(sizeof(ImageHeader) == sizeof(BITMAPCOREHEADER));

inline void convertByteOrder(BITMAPFILEHEADER& header) {
    header.bfType = littleEndian(header.bfType);
    header.bfSize = littleEndian(header.bfSize);
    header.bfReserved1 = littleEndian(header.bfReserved1);
    header.bfReserved2 = littleEndian(header.bfReserved2);
    header.bfOffBits = littleEndian(header.bfOffBits);
}

inline void convertByteOrder(BITMAPINFOHEADER& header) {
    header.biSize = littleEndian(header.biSize);
    header.biWidth = littleEndian(header.biWidth);
    header.biHeight = littleEndian(header.biHeight);
    header.biPlanes = littleEndian(header.biPlanes);
    header.biBitCount = littleEndian(header.biBitCount);
    header.biCompression = littleEndian(header.biCompression);
    header.biSizeImage = littleEndian(header.biSizeImage);
    header.biXPelsPerMeter = littleEndian(header.biXPelsPerMeter);
    header.biYPelsPerMeter = littleEndian(header.biYPelsPerMeter);
    header.biClrUsed = littleEndian(header.biClrUsed);
    header.biClrImportant = littleEndian(header.biClrImportant);
}

inline void convertByteOrder(ImageHeader& header) {
    header.size = littleEndian(header.size);
    header.width = littleEndian(header.width);
    header.height = littleEndian(header.height);
    header.planes = littleEndian(header.planes);
    header.bitCount = littleEndian(header.bitCount);
}

// The depths read: one palette index a pixel in 1, 2, 4 or 8 bits, the
// leftmost pixel of a byte in its highest bits.
inline constexpr bool readableDepth(std::uint16_t bitCount) {
    return bitCount == 1 || bitCount == 2 || bitCount == 4 || bitCount == 8;
}

// biCompression: none, or run-length coding of 8- and 4-bit pixels.
inline constexpr std::uint32_t kUncompressed = 0;
inline constexpr std::uint32_t kRunLength8 = 1;
inline constexpr std::uint32_t kRunLength4 = 2;

// Run-length coding is read at its own depth, stored bottom-up (a
// top-down run-length bitmap is not allowed); every other compression is
// refused.
inline constexpr bool readableCompression(const BITMAPINFOHEADER& info) {
    if (info.biCompression == kUncompressed) return true;
    const std::uint16_t depth = info.biCompression == kRunLength8 ? 8 : info.biCompression == kRunLength4 ? 4 : 0;
    return depth != 0 && info.biBitCount == depth && info.biHeight >= 0;
}

// A bitmap row is stored padded to a multiple of 4 bytes.
inline constexpr std::uint64_t bitmapRowBytes(std::uint32_t width, unsigned bitCount) {
    return (std::uint64_t{width} * bitCount + 31) / 32 * 4;
}

}  // namespace quorvel
