// ColorRIX image -> 8-bit bitmap with a core header.
//
// The header and palette are read first and the file is checked to hold the
// whole image they describe; the palette is widened from 6 to 8 bits; the
// headers and palette are written, then the pixels cross in bands from the
// last to the first, each band's rows reversed (ColorRIX stores the top row
// first, a bitmap the bottom row) and padded to 4 bytes in place.
#include <cstring>

#include "convert/bands.hpp"
#include "convert/convert.hpp"
#include "formats/bmp.hpp"

namespace quorvel {

namespace {

using platform::Buffer;
using platform::print;

void reportAllocationFailure(std::uint64_t bytes) {
    print("Cannot allocate heap, free %lu bytes of memory then try again...",
          static_cast<unsigned long>(bytes));
}

// Fewer than 4 bytes is no signature at all, so it is reported as unreadable.
bool checkSignature(ConversionJob& job) {
    std::uint8_t bytes[4] = {};
    if (!job.input.read(bytes, sizeof bytes).complete(sizeof bytes)) {
        print("Cannot read RIX3 signature! File : %s\n", job.inputName);
        return false;
    }
    std::uint32_t signature = 0;
    std::memcpy(&signature, bytes, sizeof signature);
    if (littleEndian(signature) != kRixSignature) {
        print("Not a ColorRIX Image File format. File : %s\n", job.inputName);
        return false;
    }
    return true;
}

// The first 778 bytes of a ColorRIX file: header and palette.
struct RixStart {
    RixHeader header;
    std::uint8_t palette[kRixPaletteBytes];
};
static_assert(sizeof(RixStart) == kRixPixelOffset);

// Reads header and palette, and refuses a file too short for its image
// before anything is written or requested.
bool readStart(ConversionJob& job, RixStart& start) {
    if (!job.input.seek(0)) {
        print("Cannot seek to palette data. File : %s\n", job.inputName);
        return false;
    }
    // A size that cannot be told is reported as the 32-bit size query's
    // failure value, all bits set, for which no memory can be had.
    const std::uint64_t fileSize = job.input.size();
    if (fileSize == platform::kSizeQueryFailed) {
        reportAllocationFailure(0xFFFFFFFFu);
        return false;
    }
    const bool read = job.input.read(&start, sizeof start).complete(sizeof start);
    convertByteOrder(start.header);
    if (!read || fileSize < rixFileBytes(start.header.width, start.header.height)) {
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

BITMAPFILEHEADER makeFileHeader(std::uint16_t width, std::uint16_t height) {
    BITMAPFILEHEADER header{};
    header.bfType = kBitmapType;
    // At most 794 + 65536 * 65535, which fits in 32 bits.
    header.bfSize = static_cast<std::uint32_t>(kWrittenPixelOffset +
                                               std::uint64_t{bitmapRowBytes(width)} * height);
    header.bfOffBits = kWrittenPixelOffset;
    return header;
}

ImageHeader makeCoreHeader(std::uint16_t width, std::uint16_t height) {
    return ImageHeader{kCoreHeaderSize, width, height, 1, 8};
}

bool writeHeadersAndPalette(ConversionJob& job, const RGBTRIPLE* palette) {
    const std::uint16_t width = job.header.width;
    const std::uint16_t height = job.header.height;
    BITMAPFILEHEADER fileHeader = makeFileHeader(width, height);
    ImageHeader coreHeader = makeCoreHeader(width, height);
    convertByteOrder(fileHeader);
    convertByteOrder(coreHeader);
    if (!job.output.write(&fileHeader, sizeof fileHeader).complete(sizeof fileHeader)) {
        print("Cannot write BMPFILEHEADER to %s\n", job.outputPath);
        return false;
    }
    if (!job.output.write(&coreHeader, sizeof coreHeader).complete(sizeof coreHeader)) {
        print("Cannot write BMPCOREHEADER to %s\n", job.outputPath);
        return false;
    }
    if (!job.output.write(palette, kWrittenPaletteBytes).complete(kWrittenPaletteBytes)) {
        print("Cannot write palette data to %s\n", job.outputPath);
        return false;
    }
    return true;
}

void reportPixelCopy(ConversionJob& job, CopyOutcome outcome) {
    switch (outcome) {
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
            print("Cannot write raw data to %s\n", job.outputPath);
            break;
    }
}

}  // namespace

void convertRixToBmp(ConversionJob& job) {
    if (!checkSignature(job)) return;
    RixStart start;
    if (!readStart(job, start)) return;
    // The run's header takes this file's header once the file is known to
    // hold its whole image, even if the conversion fails later.
    job.header = start.header;
    const std::uint16_t width = start.header.width;
    const RowCopy copy{kRixPixelOffset, width, start.header.height, width, bitmapRowBytes(width), true};
    const Buffer band = Buffer::allocate(copy.bandBytes());
    if (!band) {
        reportAllocationFailure(copy.bandBytes());
        return;
    }
    const Buffer rowBuffer = Buffer::allocate(copy.rowBytes());
    if (!rowBuffer) {
        reportAllocationFailure(copy.rowBytes());
        return;
    }
    RGBTRIPLE palette[kPaletteEntries];
    widenPalette(start.palette, palette);
    if (!writeHeadersAndPalette(job, palette)) return;
    reportPixelCopy(job, copyRows(job.input, job.output, copy, band.data(), rowBuffer.data()));
}

}  // namespace quorvel
