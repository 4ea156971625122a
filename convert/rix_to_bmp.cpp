// ColorRIX image -> 8-bit bitmap with a core header.
//
// The header and palette are read first and the file is checked to hold the
// whole image they describe; the palette is widened from 6 to 8 bits; the
// headers and palette go out, then the rows from the last to the first
// (ColorRIX stores the top row first, a bitmap the bottom row), each padded
// to 4 bytes.
#include <cstring>

#include "convert/bands.hpp"
#include "convert/convert.hpp"
#include "formats/bmp.hpp"

namespace quorvel {

namespace {

using platform::print;

void reportAllocationFailure(std::uint64_t bytes) {
    print("Cannot allocate heap, free %lu bytes of memory then try again...",
          static_cast<unsigned long>(bytes));
}

// The first 778 bytes of a ColorRIX file: header and palette.
struct RixStart {
    RixHeader header;
    std::uint8_t palette[kRixPaletteBytes];
};
static_assert(sizeof(RixStart) == kRixPixelOffset);

// Reads header and palette at once, and refuses a file too short for its
// image, or whose pixels are not stored as plain bytes, before anything is
// written or requested and before the run's header takes it. Fewer than 4
// bytes is no signature at all, so it is reported as unreadable.
bool readStart(ConversionJob& job, RixStart& start) {
    const platform::Transfer read = job.input.readAt(0, &start, sizeof start);
    const std::size_t got = read.ok ? read.done : 0;
    if (got < sizeof start.header.signature) {
        print("Cannot read RIX3 signature! File : %s\n", job.inputName);
        return false;
    }
    start.header = loadRecord<RixHeader>(&start.header);
    if (start.header.signature != kRixSignature) {
        print("Not a ColorRIX Image File format. File : %s\n", job.inputName);
        return false;
    }
    // A size that cannot be told is reported as the 32-bit size query's
    // failure value, all bits set, for which no memory can be had.
    const std::uint64_t fileSize = job.input.size();
    if (fileSize == platform::kSizeQueryFailed) {
        reportAllocationFailure(0xFFFFFFFFu);
        return false;
    }
    if (got < sizeof start || !storedAsLinearBytes(start.header) ||
        fileSize < rixFileBytes(start.header.width, start.header.height)) {
        print("Cannot read RIX into buffer! File : %s\n", job.inputName);
        return false;
    }
    return true;
}

// 6-bit components become 8-bit ones by a shift in 8 bits: 63 -> 252, and a
// stray byte of 64 or more loses its top bits (65 -> 4).
void widenPalette(const std::uint8_t* rixPalette, RGBTRIPLE* palette) {
    for (std::size_t i = 0; i < kPaletteEntries; ++i) {
        const std::uint8_t* entry = rixPalette + 3 * i;
        palette[i].rgbtRed = static_cast<std::uint8_t>(entry[0] << 2);
        palette[i].rgbtGreen = static_cast<std::uint8_t>(entry[1] << 2);
        palette[i].rgbtBlue = static_cast<std::uint8_t>(entry[2] << 2);
    }
}

// What a bitmap holds before its pixels: 794 bytes, written as one.
#pragma pack(push, 1)
struct BitmapStart {
    BITMAPFILEHEADER fileHeader;
    ImageHeader coreHeader;
    RGBTRIPLE palette[kPaletteEntries];
};
#pragma pack(pop)
static_assert(sizeof(BitmapStart) == kWrittenPixelOffset);

void makeBitmapStart(std::uint16_t width, std::uint16_t height, const std::uint8_t* rixPalette, BitmapStart& start) {
    BITMAPFILEHEADER fileHeader{};
    fileHeader.bfType = kBitmapType;
    // At most 794 + 65536 * 65535, which fits in 32 bits.
    fileHeader.bfSize = static_cast<std::uint32_t>(kWrittenPixelOffset + bitmapRowBytes(width, 8) * height);
    fileHeader.bfOffBits = kWrittenPixelOffset;
    start.fileHeader = storedRecord(fileHeader);
    start.coreHeader = storedRecord(ImageHeader{kCoreHeaderSize, width, height, 1, 8});
    widenPalette(rixPalette, start.palette);
}

// A write that failed is named by the part of the file it was in.
const char* partAt(std::uint64_t offset) {
    if (offset < kFileHeaderBytes) return "BMPFILEHEADER";
    if (offset < kFileHeaderBytes + kCoreHeaderSize) return "BMPCOREHEADER";
    if (offset < kWrittenPixelOffset) return "palette data";
    return "raw data";
}

void reportPixelCopy(ConversionJob& job, const RowCopy& copy, CopyResult result) {
    switch (result.outcome) {
        case CopyOutcome::Done:
            print("File created : %s\n", job.outputPath);
            break;
        case CopyOutcome::ReadFailed:
            // The file changed or failed under us: what was written goes,
            // as it would for any other unreadable input.
            job.output.truncateToEmpty();
            print("Cannot read RIX into buffer! File : %s\n", job.inputName);
            break;
        case CopyOutcome::WriteFailed:
            print("Cannot write %s to %s\n", partAt(result.written), job.outputPath);
            break;
        case CopyOutcome::NoMemory:
            reportAllocationFailure(bandMemory(copy));
            break;
    }
}

}  // namespace

void convertRixToBmp(ConversionJob& job) {
    RixStart start{};
    if (!readStart(job, start)) return;
    // The run's header takes this file's header once the file is known to
    // hold its whole image, even if the conversion fails later.
    job.header = start.header;
    const std::uint16_t width = start.header.width;
    const auto padded = static_cast<std::size_t>(bitmapRowBytes(width, 8));  // at most 65536
    const RowCopy copy{kRixPixelOffset, width, start.header.height, 8, width, padded, true};
    BitmapStart bitmapStart;
    makeBitmapStart(width, start.header.height, start.palette, bitmapStart);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&bitmapStart);
    reportPixelCopy(job, copy, copyRows(job.input, job.output, {bytes, sizeof bitmapStart}, copy));
}

}  // namespace quorvel
