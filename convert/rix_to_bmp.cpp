// ColorRIX image -> 8-bit bitmap with a core header.
//
// The whole input is read into one buffer, the palette is widened from 6 to
// 8 bits, the rows are reversed in place (ColorRIX stores the top row first,
// a bitmap the bottom row), and the bitmap is written in four pieces. Memory
// is the file buffer plus one padded row.
#include <cstring>

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
    if (signature != kRixSignature) {
        print("Not a ColorRIX Image File format. File : %s\n", job.inputName);
        return false;
    }
    return true;
}

// The pixels are only touched when the bytes read cover the whole image the
// header describes; extra bytes after it are ignored.
bool holdsWholeImage(const std::uint8_t* data, std::size_t count) {
    if (count < kRixHeaderBytes) return false;
    RixHeader header;
    std::memcpy(&header, data, sizeof header);
    return count >= rixFileBytes(header.width, header.height);
}

// Returns the whole file, or an empty buffer once the failure is reported.
Buffer readWholeFile(ConversionJob& job) {
    if (!job.input.seek(0)) {
        print("Cannot seek to palette data. File : %s\n", job.inputName);
        return {};
    }
    // ColorRIX sizes are 32-bit: a failed size query keeps all bits set, and
    // the request for 4294967295 bytes is refused and reported with that count.
    const auto fileSize = static_cast<std::uint32_t>(job.input.size());
    Buffer file = Buffer::allocate(fileSize);
    if (!file) {
        reportAllocationFailure(fileSize);
        return {};
    }
    const platform::Transfer got = job.input.read(file.data(), fileSize);
    if (!got.ok || !holdsWholeImage(file.data(), got.done)) {
        print("Cannot read RIX into buffer! File : %s\n", job.inputName);
        return {};
    }
    return file;
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

// Rows whose width is a multiple of 4 need no padding and go out in one
// write; others go out one by one through the zero-padded row buffer.
bool writePixels(platform::File& output, const std::uint8_t* pixels, std::uint16_t width,
                 std::uint16_t height, std::uint8_t* paddedRow) {
    const std::uint32_t rowBytes = bitmapRowBytes(width);
    if (rowBytes == width) {
        const std::size_t total = std::size_t{width} * height;
        return output.write(pixels, total).complete(total);
    }
    for (std::size_t row = 0; row < height; ++row) {
        std::memcpy(paddedRow, pixels + row * width, width);
        if (!output.write(paddedRow, rowBytes).complete(rowBytes)) return false;
    }
    return true;
}

bool writeBitmap(ConversionJob& job, const RGBTRIPLE* palette, const std::uint8_t* pixels,
                 std::uint8_t* paddedRow) {
    const std::uint16_t width = job.header.width;
    const std::uint16_t height = job.header.height;
    const BITMAPFILEHEADER fileHeader = makeFileHeader(width, height);
    const ImageHeader coreHeader = makeCoreHeader(width, height);
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
    if (!writePixels(job.output, pixels, width, height, paddedRow)) {
        print("Cannot write raw data to %s\n", job.outputPath);
        return false;
    }
    return true;
}

}  // namespace

void convertRixToBmp(ConversionJob& job) {
    if (!checkSignature(job)) return;
    const Buffer file = readWholeFile(job);
    if (!file) return;
    // The run's header takes this file's header as soon as it is read whole,
    // even if the conversion fails later.
    std::memcpy(&job.header, file.data(), kRixHeaderBytes);
    const std::uint16_t width = job.header.width;
    const std::uint16_t height = job.header.height;

    const std::uint32_t rowBytes = bitmapRowBytes(width);
    const Buffer rowBuffer = Buffer::allocateZeroed(rowBytes);
    if (!rowBuffer) {
        reportAllocationFailure(rowBytes);
        return;
    }
    RGBTRIPLE palette[kPaletteEntries];
    widenPalette(file.data() + kRixHeaderBytes, palette);
    std::uint8_t* pixels = file.data() + kRixPixelOffset;
    flipRows(pixels, width, height, rowBuffer.data());
    if (writeBitmap(job, palette, pixels, rowBuffer.data())) {
        print("File created : %s\n", job.outputPath);
    }
}

}  // namespace quorvel
