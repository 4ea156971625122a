// ColorRIX image -> 8-bit bitmap with a core header.
//
// The header and palette are read first and the file is checked to hold the
// whole image they describe (for compressed pixels: a sound code tree, and
// segments that split into rows one way only); the palette is widened from
// 6 to 8 bits; the headers and palette go out, then the rows from the last
// to the first (ColorRIX stores the top row first, a bitmap the bottom
// row), each padded to 4 bytes. Pixels stored a byte each are copied in
// bands read from the end; planar and compressed ones are decoded from the
// top, each band placed where its rows belong.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "convert/bands.hpp"
#include "convert/convert.hpp"
#include "convert/decoded.hpp"
#include "formats/bmp.hpp"
#include "formats/rix_compression.hpp"

namespace quorvel {

namespace {

using platform::print;

void reportAllocationFailure(std::uint64_t bytes) {
    print("Cannot allocate heap, free %lu bytes of memory then try again...",
          static_cast<unsigned long>(bytes));
}

// The first bytes of a ColorRIX file: header and palette (48 or 768 bytes).
struct RixStart {
    RixHeader header;
    std::uint8_t palette[kRixPaletteBytes];
};
static_assert(sizeof(RixStart) == kRixPixelOffset);

// What the header says of the pixels.
struct RixPicture {
    RixHeader header;
    RixStorage storage;
    std::uint64_t pixelOffset;  // after the palette
    std::uint64_t rowSpan;      // bytes a row takes before any compression
};

void reportUnreadable(const ConversionJob& job) { print("Cannot read RIX into buffer! File : %s\n", job.inputName); }

// Each refusal's message, as the conversion prints it.
void report(const ConversionJob& job, RixRefusal refusal) {
    switch (refusal) {
        case RixRefusal::NoSignature:
            print("Cannot read RIX3 signature! File : %s\n", job.inputName);
            break;
        case RixRefusal::NotRix:
            print("Not a ColorRIX Image File format. File : %s\n", job.inputName);
            break;
        case RixRefusal::SizeUnknown:
            // Reported as the 32-bit size query's failure value, all bits
            // set, for which no memory can be had.
            reportAllocationFailure(0xFFFFFFFFu);
            break;
        case RixRefusal::Unreadable:
            reportUnreadable(job);
            break;
        case RixRefusal::NoMemory:
            reportAllocationFailure(InputWindow::kCapacity);
            break;
    }
}

// Reads header and palette at once, and refuses a file whose pixels are
// stored in a way not read, or that ends inside its palette, before
// anything is written or requested and before the run's header takes it.
// Fewer than 4 bytes is no signature at all, so it is reported as
// unreadable.
std::optional<RixPicture> readStart(platform::Readable& input, RixStart& start, RixRefusal& refusal) {
    const platform::Transfer read = input.readAt(0, &start, sizeof start);
    const std::size_t got = read.ok ? std::min(read.done, sizeof start) : 0;
    refusal = RixRefusal::NoSignature;
    if (got < sizeof start.header.signature) return std::nullopt;
    start.header = loadRecord<RixHeader>(&start.header);
    refusal = RixRefusal::NotRix;
    if (start.header.signature != kRixSignature) return std::nullopt;
    refusal = RixRefusal::SizeUnknown;
    if (input.size() == platform::kSizeQueryFailed) return std::nullopt;
    RixPicture picture{start.header, {}, rixPixelOffset(start.header), 0};
    const bool empty = start.header.width == 0 || start.header.height == 0;
    refusal = RixRefusal::Unreadable;
    if (got < picture.pixelOffset || !readStorage(storageType(start.header), picture.storage) ||
        (picture.storage.compressed && empty)) {
        return std::nullopt;
    }
    picture.rowSpan = rowSpan(picture.storage.layout, start.header.width);
    return picture;
}

std::optional<RixPicture> readStart(ConversionJob& job, RixStart& start) {
    RixRefusal refusal{};
    std::optional<RixPicture> picture = readStart(job.input, start, refusal);
    if (!picture) report(job, refusal);
    return picture;
}

// 6-bit components become 8-bit ones by a shift in 8 bits: 63 -> 252, and a
// stray byte of 64 or more loses its top bits (65 -> 4). Entries a short
// palette lacks are black.
void widenPalette(const std::uint8_t* rixPalette, std::size_t entries, RGBTRIPLE* palette) {
    for (std::size_t i = 0; i < kPaletteEntries; ++i) {
        const std::uint8_t* entry = rixPalette + 3 * i;
        const bool given = i < entries;
        palette[i].rgbtRed = given ? static_cast<std::uint8_t>(entry[0] << 2) : 0;
        palette[i].rgbtGreen = given ? static_cast<std::uint8_t>(entry[1] << 2) : 0;
        palette[i].rgbtBlue = given ? static_cast<std::uint8_t>(entry[2] << 2) : 0;
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

void makeBitmapStart(const RixHeader& header, const std::uint8_t* rixPalette, BitmapStart& start) {
    const std::uint16_t width = header.width, height = header.height;
    BITMAPFILEHEADER fileHeader{};
    fileHeader.bfType = kBitmapType;
    // At most 794 + 65536 * 65535, which fits in 32 bits.
    fileHeader.bfSize = static_cast<std::uint32_t>(kWrittenPixelOffset + bitmapRowBytes(width, 8) * height);
    fileHeader.bfOffBits = kWrittenPixelOffset;
    start.fileHeader = storedRecord(fileHeader);
    start.coreHeader = storedRecord(ImageHeader{kCoreHeaderSize, width, height, 1, 8});
    widenPalette(rixPalette, rixPaletteEntries(header), start.palette);
}

// A write that failed is named by the part of the file it was in.
const char* partAt(std::uint64_t offset) {
    if (offset < kFileHeaderBytes) return "BMPFILEHEADER";
    if (offset < kFileHeaderBytes + kCoreHeaderSize) return "BMPCOREHEADER";
    if (offset < kWrittenPixelOffset) return "palette data";
    return "raw data";
}

void reportPixelCopy(ConversionJob& job, CopyResult result) {
    switch (result.outcome) {
        case CopyOutcome::Done:
            print("File created : %s\n", job.outputPath);
            break;
        case CopyOutcome::ReadFailed:
            // The file changed or failed under us: what was written goes,
            // as it would for any other unreadable input.
            job.output.truncateToEmpty();
            reportUnreadable(job);
            break;
        case CopyOutcome::WriteFailed:
            print("Cannot write %s to %s\n", partAt(result.written), job.outputPath);
            break;
        case CopyOutcome::NoMemory:
            reportAllocationFailure(result.memory);
            break;
    }
}

// Planar rows stored as they are: four plane lines a row, or four whole
// planes one after the other. Read a few rows at a time.
class StoredPlanes : public RowSource {
public:
    explicit StoredPlanes(platform::Readable& input, const RixPicture& picture)
        : input_(input), picture_(picture), line_(static_cast<std::size_t>(planeLineBytes(picture.header.width))) {}

    void restartAt(std::uint32_t row) { next_ = row; }

    bool fill(std::uint8_t* first, std::ptrdiff_t step, std::size_t rows) override {
        const std::size_t perRead = std::max<std::size_t>(1, kReadBudget / std::max<std::size_t>(1, 4 * line_));
        for (std::size_t done = 0; done < rows;) {
            const std::size_t count = std::min(perRead, rows - done);
            if (!read(count)) return false;
            for (std::size_t row = 0; row < count; ++row, ++done) {
                const std::uint8_t* planes[4];
                for (unsigned plane = 0; plane < 4; ++plane) planes[plane] = lineOf(plane, row, count);
                rixcode::indicesFromPlanes(planes, first + static_cast<std::ptrdiff_t>(done) * step,
                                           picture_.header.width);
            }
        }
        return true;
    }

private:
    static constexpr std::size_t kReadBudget = std::size_t{1} << 19;

    // Where the plane giving bit k stands among the four whole planes.
    unsigned planeSlot(unsigned bit) const {
        static constexpr unsigned k0213[4] = {0, 2, 1, 3};
        return picture_.storage.layout == RixLayout::Planes0213 ? k0213[bit] : bit;
    }

    bool read(std::size_t count) {
        lines_.resize(4 * count * line_);
        const std::uint64_t height = picture_.header.height;
        bool whole = true;
        if (picture_.storage.layout == RixLayout::PlanarLines) {
            whole = input_.readAt(picture_.pixelOffset + next_ * 4 * line_, lines_.data(), lines_.size())
                        .complete(lines_.size());
        } else {
            for (unsigned slot = 0; slot < 4 && whole; ++slot) {
                const std::uint64_t at = picture_.pixelOffset + (slot * height + next_) * line_;
                whole = input_.readAt(at, lines_.data() + slot * count * line_, count * line_).complete(count * line_);
            }
        }
        next_ += count;
        return whole;
    }

    const std::uint8_t* lineOf(unsigned bit, std::size_t row, std::size_t count) const {
        if (picture_.storage.layout == RixLayout::PlanarLines) return lines_.data() + (row * 4 + bit) * line_;
        return lines_.data() + (planeSlot(bit) * count + row) * line_;
    }

    platform::Readable& input_;
    const RixPicture& picture_;
    std::size_t line_;
    std::uint64_t next_ = 0;  // the next row to read
    std::vector<std::uint8_t> lines_;
};

// Rows stored a byte a pixel, read top first a few at a time (the
// conversion itself copies them in bands from the end).
class StoredBytes : public RowSource {
public:
    StoredBytes(platform::Readable& input, const RixPicture& picture) : input_(input), picture_(picture) {}

    void restartAt(std::uint32_t row) { next_ = row; }

    bool fill(std::uint8_t* first, std::ptrdiff_t step, std::size_t rows) override {
        const std::size_t width = picture_.header.width;
        if (step == static_cast<std::ptrdiff_t>(width)) {  // rows side by side take one read
            const std::size_t bytes = rows * width;
            const std::uint64_t at = picture_.pixelOffset + next_ * width;
            next_ += rows;
            return input_.readAt(at, first, bytes).complete(bytes);
        }
        for (std::size_t row = 0; row < rows; ++row, ++next_) {
            const std::uint64_t at = picture_.pixelOffset + next_ * width;
            if (!input_.readAt(at, first + static_cast<std::ptrdiff_t>(row) * step, width).complete(width)) return false;
        }
        return true;
    }

private:
    platform::Readable& input_;
    const RixPicture& picture_;
    std::uint64_t next_ = 0;
};

// The decoded rows of compressed pixels, planar lines made indices.
class CompressedRows : public RowSource {
public:
    CompressedRows(InputWindow& bytes, rixcode::CompressedPixels& pixels, const RixPicture& picture)
        : bytes_(bytes), pixels_(pixels), width_(picture.header.width) {
        if (picture.storage.layout != RixLayout::Bytes) lines_.resize(static_cast<std::size_t>(picture.rowSpan));
    }

    bool fill(std::uint8_t* first, std::ptrdiff_t step, std::size_t rows) override {
        for (std::size_t row = 0; row < rows; ++row) {
            std::uint8_t* out = first + static_cast<std::ptrdiff_t>(row) * step;
            if (!pixels_.nextRow(bytes_, lines_.empty() ? out : lines_.data())) return false;
            if (lines_.empty()) continue;
            const std::size_t line = lines_.size() / 4;
            const std::uint8_t* planes[4] = {&lines_[0], &lines_[line], &lines_[2 * line], &lines_[3 * line]};
            rixcode::indicesFromPlanes(planes, out, width_);
        }
        return true;
    }

private:
    InputWindow& bytes_;
    rixcode::CompressedPixels& pixels_;
    std::size_t width_;
    std::vector<std::uint8_t> lines_;  // a row of planar lines
};

// Takes the header as the run's once the file is known to be readable,
// even if the conversion fails later.
void carry(ConversionJob& job, const RixPicture& picture) { job.header = carriedHeader(picture.header); }

// The window over compressed pixels and their tree and lengths, read and
// checked: why not, when they cannot be.
std::optional<RixRefusal> refusedLayout(platform::Readable& input, const RixPicture& picture, InputWindow& bytes,
                                        rixcode::CompressedPixels& pixels) {
    if (!bytes.ready()) return RixRefusal::NoMemory;
    const std::uint64_t fileSize = input.size();
    if (fileSize < picture.pixelOffset || !pixels.readLayout(bytes, fileSize - picture.pixelOffset)) {
        return RixRefusal::Unreadable;
    }
    return std::nullopt;
}

rixcode::CompressedPixels compressedPixels(const RixPicture& picture) {
    return {picture.rowSpan, picture.header.height, picture.storage.layout == RixLayout::Bytes};
}

void convertCompressed(ConversionJob& job, const RixPicture& picture, std::span<const std::uint8_t> start) {
    InputWindow bytes(job.input, picture.pixelOffset);
    rixcode::CompressedPixels pixels = compressedPixels(picture);
    if (const auto refusal = refusedLayout(job.input, picture, bytes, pixels)) return report(job, *refusal);
    carry(job, picture);  // the tree and every length are sound, whatever rows the codes make
    CompressedRows rows(bytes, pixels, picture);
    const Placement placement{picture.header.width, picture.header.height,
                              static_cast<std::size_t>(bitmapRowBytes(picture.header.width, 8)), true};
    try {
        reportPixelCopy(job, placeRows(job.output, start, placement, rows));
    } catch (const std::bad_alloc&) {
        // The decoder's own memory (a segment's output, the split's sums)
        // could not be had: what was written goes.
        job.output.truncateToEmpty();
        reportAllocationFailure(rixcode::CompressedPixels::kKeptOutput);
    }
}

bool holdsStoredRows(platform::Readable& input, const RixPicture& picture) {
    return input.size() >= picture.pixelOffset + picture.rowSpan * picture.header.height;
}

void convertStored(ConversionJob& job, const RixPicture& picture, std::span<const std::uint8_t> start) {
    const std::uint16_t width = picture.header.width, height = picture.header.height;
    if (!holdsStoredRows(job.input, picture)) return reportUnreadable(job);
    carry(job, picture);
    const auto padded = static_cast<std::size_t>(bitmapRowBytes(width, 8));  // at most 65536
    if (picture.storage.layout == RixLayout::Bytes) {
        const RowCopy copy{picture.pixelOffset, width, height, 8, width, padded, true};
        reportPixelCopy(job, copyRows(job.input, job.output, start, copy));
        return;
    }
    StoredPlanes rows(job.input, picture);
    reportPixelCopy(job, placeRows(job.output, start, Placement{width, height, padded, true}, rows));
}

// A readable ColorRIX's rows, whichever way they are stored, with a window
// of its own, so that pictures may be read side by side. Compressed rows
// are found again by decoding from the start: only the segment being read
// is kept, whatever the picture's size.
class AnyRixRows : public RixRows {
public:
    AnyRixRows(platform::Readable& input, const RixPicture& picture, const std::uint8_t* palette)
        : input_(input), picture_(picture), window_(input, picture.pixelOffset, &memory_) {
        width = picture.header.width;
        height = picture.header.height;
        widenPalette(palette, rixPaletteEntries(picture.header), this->palette);
    }

    // Why the picture is not there to be read, as the conversion judges it before it writes.
    std::optional<RixRefusal> refusal() {
        if (!picture_.storage.compressed) {
            if (!holdsStoredRows(input_, picture_)) return RixRefusal::Unreadable;
            if (picture_.storage.layout == RixLayout::Bytes) {
                bytes_.emplace(input_, picture_);
            } else {
                planes_.emplace(input_, picture_);
            }
            return std::nullopt;
        }
        pixels_.emplace(compressedPixels(picture_));
        if (auto refused = refusedLayout(input_, picture_, window_, *pixels_)) return refused;
        compressed_.emplace(window_, *pixels_, picture_);
        return std::nullopt;
    }

    bool fill(std::uint8_t* first, std::ptrdiff_t step, std::size_t rows) override {
        if (rows > height - std::min<std::uint64_t>(next_, height)) return false;
        next_ += rows;
        if (bytes_) return bytes_->fill(first, step, rows);
        if (planes_) return planes_->fill(first, step, rows);
        return compressed_ && compressed_->fill(first, step, rows);
    }

    bool seek(std::uint32_t row) override {
        if (row > height) return false;
        if (bytes_) bytes_->restartAt(row);
        if (planes_) planes_->restartAt(row);
        if (bytes_ || planes_) {
            next_ = row;
            return true;
        }
        if (row < next_) {
            next_ = 0;
            compressed_.reset();
            if (refusal()) return false;
        }
        for (std::vector<std::uint8_t> skipped(width); next_ < row;) {
            if (!fill(skipped.data(), 0, 1)) return false;
        }
        return true;
    }

private:
    platform::Readable& input_;
    RixPicture picture_;
    platform::Buffer memory_;
    InputWindow window_;
    std::uint64_t next_ = 0;  // the row fill() gives next
    std::optional<StoredBytes> bytes_;
    std::optional<StoredPlanes> planes_;
    std::optional<rixcode::CompressedPixels> pixels_;
    std::optional<CompressedRows> compressed_;
};

}  // namespace

std::unique_ptr<RixRows> openRixRows(platform::Readable& input, RixRefusal& refusal) {
    RixStart start{};
    const std::optional<RixPicture> picture = readStart(input, start, refusal);
    if (!picture) return nullptr;
    auto rows = std::make_unique<AnyRixRows>(input, *picture, start.palette);
    if (const auto refused = rows->refusal()) {
        refusal = *refused;
        return nullptr;
    }
    return rows;
}

void convertRixToBmp(ConversionJob& job) {
    RixStart start{};
    const std::optional<RixPicture> picture = readStart(job, start);
    if (!picture) return;
    BitmapStart bitmapStart;
    makeBitmapStart(picture->header, start.palette, bitmapStart);
    const std::span bytes(reinterpret_cast<const std::uint8_t*>(&bitmapStart), sizeof bitmapStart);
    if (picture->storage.compressed) {
        convertCompressed(job, *picture, bytes);
    } else {
        convertStored(job, *picture, bytes);
    }
}

}  // namespace quorvel
