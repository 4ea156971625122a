// Bitmap of 1, 2, 4 or 8 bits per pixel (core, info or larger header),
// uncompressed or run-length encoded (RLE8, RLE4) -> ColorRIX image.
//
// The headers are tested one after another and the palette is read where
// the format puts it; an uncompressed file too short for its pixels is
// refused before anything is written. The rows go out top first, stripped
// of their padding, each index widened to the byte a ColorRIX stores it in;
// the header and narrowed palette take their place last. Run-length rows
// are decoded bottom first and placed where they belong; a stream cut short
// is found as it is read, and what was written goes.
#include <algorithm>
#include <cstring>
#include <optional>

#include "convert/bands.hpp"
#include "convert/convert.hpp"
#include "convert/decoded.hpp"
#include "formats/bmp.hpp"
#include "formats/bmp_rle.hpp"

namespace quorvel {

namespace {

using platform::print;

// What the headers say about the pixels and palette of one input.
struct SourceLayout {
    ImageHeader image{};
    std::uint32_t pixelOffset = 0;
    bool topDown = false;
    std::uint32_t compression = kUncompressed;  // or kRunLength8, kRunLength4
};

// The palette as the input stores it: RGBQUAD or RGBTRIPLE entries.
struct SourcePalette {
    RGBQUAD quads[kPaletteEntries]{};
    RGBTRIPLE triples[kPaletteEntries]{};
    std::size_t entries = 0;
    bool wide = false;
};

void reportInvalid(const char* inputName) { print("File %s is not a valid 256-color bitmap file.\n", inputName); }

// The bytes a bitmap starts with, read at once: the file header and as much
// of the next header as an info header holds.
struct HeaderBytes {
    std::uint8_t bytes[kFileHeaderBytes + kInfoHeaderSize]{};
    std::size_t got = 0;
};

bool readFileHeader(const char* inputName, const HeaderBytes& start, BITMAPFILEHEADER& fileHeader) {
    if (start.got < kFileHeaderBytes) {
        print("Cannot read BMP signature, file : %s\n", inputName);
        return false;
    }
    fileHeader = loadRecord<BITMAPFILEHEADER>(start.bytes);
    if (fileHeader.bfType != kBitmapType) {
        print("Not a Bitmap File format. File : %s\n", inputName);
        return false;
    }
    return true;
}

// Only the bytes the header holds are taken (at most the 40 of an info
// header); the fields of a shorter one (16 bytes from OS/2 2.x, say) stay zero.
bool readInfoHeader(const char* inputName, const HeaderBytes& start, std::uint32_t headerSize,
                    BITMAPINFOHEADER& info) {
    const std::size_t held = std::min<std::size_t>(headerSize, sizeof info);
    if (start.got < kFileHeaderBytes + held) {
        print("Cannot read bitmap info header, file %s\n", inputName);
        return false;
    }
    info = loadRecord<BITMAPINFOHEADER>(start.bytes + kFileHeaderBytes, held);
    if (!readableCompression(info)) {
        print("Compressed bitmap. Can't convert. File : %s", inputName);
        return false;
    }
    return true;
}

// A ColorRIX holds 16-bit sizes; larger ones are refused, not cut.
bool fitsColorRix(const BITMAPINFOHEADER& info) {
    const std::int64_t height = info.biHeight;
    return info.biWidth >= 0 && info.biWidth <= 0xFFFF && height >= -0xFFFF && height <= 0xFFFF;
}

std::optional<SourceLayout> readHeaders(platform::Readable& input, const char* inputName) {
    HeaderBytes start;
    const platform::Transfer read = input.readAt(0, start.bytes, sizeof start.bytes);
    start.got = read.ok ? read.done : 0;
    BITMAPFILEHEADER fileHeader{};
    if (!readFileHeader(inputName, start, fileHeader)) return std::nullopt;
    SourceLayout layout;
    layout.pixelOffset = fileHeader.bfOffBits;
    if (start.got < kFileHeaderBytes + sizeof layout.image) {
        print("Cannot read bitmap core header, file : %s\n", inputName);
        return std::nullopt;
    }
    layout.image = loadRecord<ImageHeader>(start.bytes + kFileHeaderBytes);
    const bool coreHeader = layout.image.size == kCoreHeaderSize;
    BITMAPINFOHEADER info{};
    if (!coreHeader) {
        if (!readInfoHeader(inputName, start, layout.image.size, info)) return std::nullopt;
        layout.image = ImageHeader{info.biSize, static_cast<std::uint16_t>(info.biWidth),
                                   static_cast<std::uint16_t>(info.biHeight),
                                   ImageHeader::kWideEntriesPlanes, info.biBitCount};
    }
    if (!readableDepth(layout.image.bitCount) || (!coreHeader && !fitsColorRix(info))) {
        reportInvalid(inputName);
        return std::nullopt;
    }
    layout.compression = info.biCompression;
    if (!coreHeader && info.biHeight < 0) {
        layout.topDown = true;
        layout.image.height = static_cast<std::uint16_t>(-static_cast<std::int64_t>(info.biHeight));
    }
    return layout;
}

// The palette starts right after the header and ends where the pixels begin;
// at most 256 whole entries are taken from it.
bool readPalette(platform::Readable& input, const char* inputName, const SourceLayout& layout,
                 SourcePalette& palette) {
    palette.wide = layout.image.wideEntries();
    const std::uint64_t start = std::uint64_t{kFileHeaderBytes} + layout.image.size;
    const std::size_t entryBytes = palette.wide ? sizeof(RGBQUAD) : sizeof(RGBTRIPLE);
    if (layout.pixelOffset >= start) {
        const std::uint64_t available = (layout.pixelOffset - start) / entryBytes;
        palette.entries = available < kPaletteEntries ? available : kPaletteEntries;
    }
    void* destination = palette.wide ? static_cast<void*>(palette.quads) : palette.triples;
    const std::size_t bytes = palette.entries * entryBytes;
    if (palette.entries == 0 || !input.readAt(start, destination, bytes).complete(bytes)) {
        print("Can't read palette from a bitmap file : %s\n", inputName);
        return false;
    }
    return true;
}

// 8-bit components become 6-bit ones by a logical shift: 255 -> 63, 4 -> 1.
// Entries the bitmap does not supply stay black, so there are always 256.
void narrowPalette(const SourcePalette& palette, std::uint8_t* rixPalette) {
    std::memset(rixPalette, 0, kRixPaletteBytes);
    for (std::size_t i = 0; i < palette.entries; ++i) {
        std::uint8_t* entry = rixPalette + 3 * i;
        if (palette.wide) {
            entry[0] = palette.quads[i].rgbRed >> 2;
            entry[1] = palette.quads[i].rgbGreen >> 2;
            entry[2] = palette.quads[i].rgbBlue >> 2;
        } else {
            entry[0] = palette.triples[i].rgbtRed >> 2;
            entry[1] = palette.triples[i].rgbtGreen >> 2;
            entry[2] = palette.triples[i].rgbtBlue >> 2;
        }
    }
}

// Run-length rows, as the stream gives them (the bottom one first).
class RunLengthSource : public RowSource {
public:
    RunLengthSource(ByteSource& bytes, std::uint64_t size, const SourceLayout& layout)
        : rows_(bytes, size, layout.image.width, layout.image.height, layout.compression == kRunLength4) {}
    bool fill(std::uint8_t* first, std::ptrdiff_t step, std::size_t rows) override {
        for (std::size_t row = 0; row < rows; ++row) {
            if (!rows_.nextRow(first + static_cast<std::ptrdiff_t>(row) * step)) return false;
        }
        return true;
    }

private:
    rle::RunLengthRows rows_;
};

// The stream runs from bfOffBits to the end of the file, whatever
// biSizeImage says.
CopyResult decodeRunLength(ConversionJob& job, const SourceLayout& layout, std::span<const std::uint8_t> start) {
    InputWindow bytes(job.input, layout.pixelOffset);
    if (!bytes.ready()) return {CopyOutcome::NoMemory, 0, InputWindow::kCapacity};
    const std::uint64_t fileSize = job.input.size();
    const std::uint64_t size = fileSize > layout.pixelOffset ? fileSize - layout.pixelOffset : 0;
    RunLengthSource rows(bytes, size, layout);
    return placeRows(job.output, start, Placement{layout.image.width, layout.image.height, layout.image.width, true},
                     rows);
}

bool convertPixels(ConversionJob& job, const SourceLayout& layout, const SourcePalette& palette) {
    const std::uint16_t width = layout.image.width;
    const std::uint16_t height = layout.image.height;
    const unsigned bits = layout.image.bitCount;
    const auto storedRow = static_cast<std::size_t>(bitmapRowBytes(width, bits));  // at most 65536
    const RowCopy copy{layout.pixelOffset, width, height, bits, storedRow, width, !layout.topDown};
    const bool runLength = layout.compression != kUncompressed;
    if (!runLength && job.input.size() < copy.inputEnd()) {
        print("Can't read raw data from a bitmap file : %s\n", job.inputName);
        return false;
    }
    // The header and the narrowed palette, 778 bytes, as the output starts.
    RixHeader header = job.header;
    header.width = width;
    header.height = height;
    job.header = header;
    const RixHeader stored = storedRecord(header);
    std::uint8_t start[kRixPixelOffset];
    std::memcpy(start, &stored, kRixHeaderBytes);
    narrowPalette(palette, start + kRixHeaderBytes);
    const CopyResult result =
        runLength ? decodeRunLength(job, layout, start) : copyRows(job.input, job.output, start, copy);
    if (result.outcome == CopyOutcome::ReadFailed) {
        // The file changed or failed under us, or its stream was cut short:
        // what was written goes, as it would for any other unreadable input.
        job.output.truncateToEmpty();
        print("Can't read raw data from a bitmap file : %s\n", job.inputName);
    } else if (result.outcome == CopyOutcome::WriteFailed) {
        // Whatever part failed, as it always has.
        print("Cannot write palette data to %s\n", job.outputPath);
    } else if (result.outcome != CopyOutcome::Done) {
        print("Cannot allocate heap, free %lu bytes of memory then try again...\n",
              static_cast<unsigned long>(result.memory));
    }
    return result.outcome == CopyOutcome::Done;
}

}  // namespace

std::optional<BitmapSummary> readBitmapSummary(platform::Readable& input, const char* inputName) {
    const std::optional<SourceLayout> layout = readHeaders(input, inputName);
    SourcePalette palette;
    if (!layout || !readPalette(input, inputName, *layout, palette)) return std::nullopt;
    return BitmapSummary{layout->image.width, layout->image.height, layout->image.bitCount, palette.entries,
                         layout->compression != kUncompressed};
}

void convertBmpToRix(ConversionJob& job) {
    const std::optional<SourceLayout> layout = readHeaders(job.input, job.inputName);
    if (!layout) return;
    SourcePalette palette;
    if (!readPalette(job.input, job.inputName, *layout, palette)) return;
    if (convertPixels(job, *layout, palette)) print("File created : %s\n", job.outputPath);
}

}  // namespace quorvel
