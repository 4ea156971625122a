// ColorRIX image file ("RIX3"), all integers little-endian, no gaps:
//
//   offset  size          field
//   0       4             signature "RIX3" (0x33584952 read as a 32-bit value)
//   4       2             width, pixels per row
//   6       2             height, number of rows
//   8       1             palette type: 0xAB 16 entries (48 bytes), anything
//                         else 256 entries (768 bytes)
//   9       1             storage: flags in the high nibble (0x80 compressed;
//                         0x40 an extension block, 0x20 encrypted and 0x10
//                         are refused), the layout in the low nibble:
//                         0 one byte a pixel, 4 planar lines, 2 whole planes
//                         in the order 0 1 2 3, 1 whole planes 0 2 1 3
//                         (3 text and 5-15 are refused; compressed, only 0
//                         and 4)
//   10      48 or 768     palette: red, green, blue, each 0..63
//   58/778  ...           pixels, top row first. Stored: `rowSpan` bytes a
//                         row, no alignment; a planar line is (width + 7) / 8
//                         bytes, the leftmost pixel in its highest bit, and
//                         plane k gives bit k of the index. Compressed: a
//                         code tree, then segments of coded rows
//                         (formats/rix_compression.hpp).
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
inline constexpr std::uint8_t kSixteenColours = 0xAB;  // palette type of 16 entries
inline constexpr std::uint8_t kTwoFiftySixColours = 0xAF;
inline constexpr std::size_t kRixShortPaletteEntries = 16;

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

inline constexpr std::uint8_t paletteType(const RixHeader& header) { return header.paletteInfo & 0xFF; }
inline constexpr std::uint8_t storageType(const RixHeader& header) { return header.paletteInfo >> 8; }

inline constexpr std::size_t rixPaletteEntries(const RixHeader& header) {
    return paletteType(header) == kSixteenColours ? kRixShortPaletteEntries : kPaletteEntries;
}
inline constexpr std::size_t rixPixelOffset(const RixHeader& header) {
    return kRixHeaderBytes + 3 * rixPaletteEntries(header);
}

// How the pixels of a ColorRIX are laid out, from byte 9.
enum class RixLayout { Bytes, PlanarLines, Planes0123, Planes0213 };

struct RixStorage {
    RixLayout layout;
    bool compressed;
};

// The storages read. Any flag but compression (an extension block of
// unknown meaning, encryption, 0x10), text (3), layouts 5 to 15 and
// compressed whole planes are refused.
inline constexpr bool readStorage(std::uint8_t storage, RixStorage& out) {
    const bool compressed = (storage & 0x80) != 0;
    switch (storage & 0x7F) {
        case 0: out = {RixLayout::Bytes, compressed}; return true;
        case 4: out = {RixLayout::PlanarLines, compressed}; return true;
        case 2: out = {RixLayout::Planes0123, false}; return !compressed;
        case 1: out = {RixLayout::Planes0213, false}; return !compressed;
        default: return false;
    }
}

// Bytes of one plane line: 8 pixels a byte.
inline constexpr std::uint64_t planeLineBytes(std::uint16_t width) { return (std::uint64_t{width} + 7) / 8; }

// Bytes one row takes as stored (before any compression): a byte a pixel,
// or four plane lines.
inline constexpr std::uint64_t rowSpan(RixLayout layout, std::uint16_t width) {
    return layout == RixLayout::Bytes ? width : 4 * planeLineBytes(width);
}

// What a ColorRIX written later in the run says of itself: its pixels are
// plain bytes after 256 entries, whatever the file read held.
inline constexpr RixHeader carriedHeader(RixHeader header) {
    std::uint8_t type = paletteType(header);
    if (type == kSixteenColours) type = kTwoFiftySixColours;
    header.paletteInfo = type;
    return header;
}

}  // namespace quorvel
