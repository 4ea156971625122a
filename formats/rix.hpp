// ColorRIX image file ("RIX3"), all integers little-endian, no gaps:
//
//   offset  size          field
//   0       4             signature "RIX3" (0x33584952 read as a 32-bit value)
//   4       2             width, pixels per row
//   6       2             height, number of rows
//   8       2             paletteInfo, 175 unless a ColorRIX read earlier in the
//                         run said otherwise; never examined when reading
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
    std::uint16_t paletteInfo;
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

// Bytes a ColorRIX file of this size needs: 778 + width * height.
inline constexpr std::uint64_t rixFileBytes(std::uint16_t width, std::uint16_t height) {
    return kRixPixelOffset + std::uint64_t{width} * height;
}

}  // namespace quorvel
