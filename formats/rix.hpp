// ColorRIX image file ("RIX3"), all integers little-endian, no gaps:
//
//   offset  size          field
//   0       4             signature "RIX3" (0x33584952 read as a 32-bit value)
//   4       2             width, pixels per row
//   6       2             height, number of rows
//   8       2             paletteInfo, 175 unless a ColorRIX read earlier in the
//                         run said otherwise:
//                         byte 8, the palette type, is never examined;
//                         byte 9 tells how the pixels are stored, and only 0,
//                         one byte a pixel as below, is read. Other values
//                         (0x80 compressed, 0x40 an extension block before the
//                         palette, 0x20 encrypted, 1-4 planar or text layouts)
//                         are refused: their bytes are not pixels.
//   10      768           palette: 256 entries of red, green, blue, each 0..63
//   778     width*height  pixels, one palette index each, top row first,
//                         rows exactly `width` bytes with no alignment
#pragma once

#include <cstddef>
#include <cstdint>

#include "formats/byte_order.hpp"

namespace quorvel {

inline constexpr std::uint32_t kRixSignature = 0x33584952;  // "RIX3"
inline constexpr std::uint16_t kDefaultPaletteInfo = 175;
inline constexpr std::size_t kPaletteEntries = 256;
inline constexpr std::size_t kRixHeaderBytes = 10;
inline constexpr std::size_t kRixPaletteBytes = kPaletteEntries * 3;
inline constexpr std::size_t kRixPixelOffset = kRixHeaderBytes + kRixPaletteBytes;  // 778

#pragma pack(push, 1)
struct RixHeader {
    std::uint32_t signature;
    std::uint16_t width;
    std::uint16_t height;
    std::uint16_t paletteInfo;  // byte 8 the palette type, byte 9 the storage
};
#pragma pack(pop)
static_assert(sizeof(RixHeader) == kRixHeaderBytes);

// Each record's fields between the file's byte order and the host's, either way.
inline void convertByteOrder(RixHeader& header) {
    header.signature = littleEndian(header.signature);
    header.width = littleEndian(header.width);
    header.height = littleEndian(header.height);
    header.paletteInfo = littleEndian(header.paletteInfo);
}

// The run's header record starts as "RIX3" with paletteInfo 175; width and
// height are filled in by each conversion.
inline RixHeader initialRunHeader() {
    RixHeader header{};
    header.signature = kRixSignature;
    header.paletteInfo = kDefaultPaletteInfo;
    return header;
}

// Byte 9, the high byte of paletteInfo, says how the pixels are stored; only
// 0, one byte a pixel in rows, is read. Checked before a file's header
// becomes the run's, so that a ColorRIX the run writes never claims a
// storage it does not have.
inline constexpr bool storedAsLinearBytes(const RixHeader& header) { return (header.paletteInfo >> 8) == 0; }

// Bytes a ColorRIX file of this size needs: 778 + width * height.
inline constexpr std::uint64_t rixFileBytes(std::uint16_t width, std::uint16_t height) {
    return kRixPixelOffset + std::uint64_t{width} * height;
}

}  // namespace quorvel
