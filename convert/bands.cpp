#include "convert/bands.hpp"

#include <algorithm>
#include <array>
#include <cstring>

namespace quorvel {

namespace {

// Bytes of rows a band holds at most (a wider row still makes a band). Both
// buffers then stay in the processor's cache, which keeps the copy between
// them cheap, and together fit one 2 MiB page.
constexpr std::size_t kBandBudget = (std::size_t{1} << 20) - (std::size_t{16} << 10);

// The processor tells whether a load depends on a store still in flight by
// the low 12 bits of their addresses. A copy whose destination lies a
// little ahead of its source, counted modulo 4096, has each load taken for
// one that waits on a store just made ("4K aliasing") and runs at half
// speed. A band takes three copies: the kernel's into the read buffer, this
// program's from the read buffer into the write buffer, and the kernel's out
// of the write buffer. Each buffer is placed against the file offset it is
// read from or written to:
// - the read buffer a quarter period past: the kernel's copy in runs with
//   its destination 1024 bytes ahead;
// - the write buffer half a period past: the kernel's copy out runs 2048
//   bytes ahead (2048 behind);
// - this program's copy then runs 1024 bytes ahead plus the distance from a
//   row's input offset to its output offset. A ColorRIX row lies 16 bytes
//   before its bitmap row when the width is a multiple of 4096 (778 and 794
//   bytes of headers), a bitmap row 16 or 300 bytes after its ColorRIX row,
//   so every one of those copies runs about 1024 bytes ahead. (Both buffers
//   half a period past would put it 16 bytes ahead, at half speed.) Other
//   widths move the distance from row to row, and few rows come near 0.
constexpr std::size_t kAliasPeriod = 4096;
constexpr std::size_t kReadPlacement = kAliasPeriod / 4;
constexpr std::size_t kWritePlacement = kAliasPeriod / 2;

// Rows narrower than this are copied in pieces of kPiece bytes, which
// costs less than a call of memcpy a row (measured: 3, 101 and 384 bytes
// wide, 20, 12 and 5 % less time; wider rows gain nothing, and memcpy's
// wider moves win at 8192). The last piece reaches up to
// kPiece - 1 bytes past the row, at both ends of the copy. The buffers keep
// that much room after their bytes, and the rows are written in order, so
// whatever lands past a row is written over by the next one.
constexpr std::size_t kNarrowRow = 512;
constexpr std::size_t kPiece = 32;

constexpr std::size_t roundUp(std::size_t bytes) { return (bytes + kAliasPeriod - 1) / kAliasPeriod * kAliasPeriod; }

// A buffer's area: its bytes from any placement in the period on, and the
// room a row copied in pieces may spill into.
constexpr std::size_t area(std::size_t bytes) { return roundUp(bytes + kPiece) + kAliasPeriod; }
static_assert(kAliasPeriod + area(kBandBudget) + area(kLongestStart + kBandBudget) <= std::size_t{2} << 20,
              "a band's memory fits one 2 MiB page");

std::size_t bandRows(const RowCopy& copy) {
    const std::size_t row = std::max(copy.inputStride, copy.outputStride);
    if (row == 0) return copy.height;
    return std::min(copy.height, std::max<std::size_t>(1, kBandBudget / row));
}

// Kept from one file to the next, so that a run of many small files takes
// its pages from the system once, not once a file. It never holds more than
// the largest band asked for, at most 2 MiB.
std::uint8_t* bandBuffers(std::size_t bytes) {
    static platform::Buffer memory;
    return memory.reserve(bytes) ? memory.data() : nullptr;
}

// The pixels of each packed byte, a byte each, the leftmost (in the highest
// bits) first.
template <unsigned Bits>
constexpr std::array<std::array<std::uint8_t, 8 / Bits>, 256> unpackedPixels() {
    std::array<std::array<std::uint8_t, 8 / Bits>, 256> table{};
    for (unsigned byte = 0; byte < 256; ++byte) {
        for (unsigned pixel = 0; pixel < 8 / Bits; ++pixel) {
            table[byte][pixel] = static_cast<std::uint8_t>((byte >> (8 - Bits * (pixel + 1))) & ((1u << Bits) - 1));
        }
    }
    return table;
}

template <unsigned Bits>
void unpackRow(std::uint8_t* out, const std::uint8_t* in, std::size_t width) {
    static constexpr auto kTable = unpackedPixels<Bits>();
    constexpr std::size_t kPerByte = 8 / Bits;
    std::size_t x = 0;
    for (; x + kPerByte <= width; x += kPerByte) std::memcpy(out + x, kTable[*in++].data(), kPerByte);
    if (x < width) std::memcpy(out + x, kTable[*in].data(), width - x);
}

void copyRow(std::uint8_t* out, const std::uint8_t* in, std::size_t width) {
    if (width >= kNarrowRow) {
        std::memcpy(out, in, width);
        return;
    }
    for (std::size_t x = 0; x < width; x += kPiece) std::memcpy(out + x, in + x, kPiece);
}

// One row of `width` indices, a byte each, from a stored row.
void widenRow(std::uint8_t* out, const std::uint8_t* in, std::size_t width, unsigned bits) {
    switch (bits) {
        case 1: return unpackRow<1>(out, in, width);
        case 2: return unpackRow<2>(out, in, width);
        case 4: return unpackRow<4>(out, in, width);
        default: copyRow(out, in, width);
    }
}

// The rows of one band, from the stored rows in `band`, in the output's
// order, each followed by its padding (at most 3 bytes, stored as 4 zeros).
void reshapeBand(std::uint8_t* out, const std::uint8_t* band, std::size_t rows, const RowCopy& copy) {
    static constexpr std::uint8_t kZeros[4] = {};
    const bool padded = copy.outputStride > copy.width;
    for (std::size_t row = 0; row < rows; ++row, out += copy.outputStride) {
        const std::size_t stored = copy.reverse ? rows - 1 - row : row;
        widenRow(out, band + stored * copy.inputStride, copy.width, copy.inputBits);
        if (padded) std::memcpy(out + copy.width, kZeros, sizeof kZeros);
    }
}

// Writes `first`, then every row, band by band (one band at least, so that
// an image of no rows still gets its `first`), into an output that holds
// `written` bytes already.
CopyResult crossBands(platform::File& input, platform::File& output, std::span<const std::uint8_t> first,
                      const RowCopy& copy, std::uint8_t* memory, std::uint64_t written) {
    const std::size_t perBand = bandRows(copy);
    std::uint8_t* readArea = memory + roundUp(reinterpret_cast<std::uintptr_t>(memory)) -
                             reinterpret_cast<std::uintptr_t>(memory);
    std::uint8_t* writeArea = readArea + area(perBand * copy.inputStride);
    std::size_t done = 0;
    do {
        const std::size_t rows = std::min(perBand, copy.height - done);
        // Reversed, the output starts with the input's last band.
        const std::size_t firstStored = copy.reverse ? copy.height - done - rows : done;
        const std::uint64_t from = copy.inputOffset + std::uint64_t{firstStored} * copy.inputStride;
        std::uint8_t* band = readArea + (from + kReadPlacement) % kAliasPeriod;
        const std::size_t readBytes = rows * copy.inputStride;
        if (!input.readAt(from, band, readBytes).complete(readBytes)) return {CopyOutcome::ReadFailed, written};
        std::uint8_t* out = writeArea + (written + kWritePlacement) % kAliasPeriod;
        const std::size_t lead = done == 0 ? first.size() : 0;
        if (lead != 0) std::memcpy(out, first.data(), lead);
        reshapeBand(out + lead, band, rows, copy);
        const std::size_t writeBytes = lead + rows * copy.outputStride;
        const platform::Transfer moved = output.write(out, writeBytes);
        written += moved.done;
        if (!moved.complete(writeBytes)) return {CopyOutcome::WriteFailed, written};
        done += rows;
    } while (done < copy.height);
    return {CopyOutcome::Done, written};
}

// Puts the bytes that begin the output in the place held for them, as far
// as the output reaches: all of them after a whole copy, the first
// `written` after a failed write.
CopyResult putStart(platform::File& output, std::span<const std::uint8_t> start, CopyResult result) {
    const std::size_t reached = static_cast<std::size_t>(std::min<std::uint64_t>(result.written, start.size()));
    if (output.writeAt(0, start.data(), reached).complete(reached)) return result;
    return {CopyOutcome::WriteFailed, result.outcome == CopyOutcome::Done ? 0 : result.written};
}

}  // namespace

platform::Transfer holdPlaceOfStart(platform::File& output, std::size_t bytes) {
    static constexpr std::uint8_t kZeros[kLongestStart] = {};
    return output.write(kZeros, bytes);
}

std::size_t bandMemory(const RowCopy& copy) {
    const std::size_t rows = bandRows(copy);
    return kAliasPeriod + area(rows * copy.inputStride) + area(kLongestStart + rows * copy.outputStride);
}

CopyResult copyRows(platform::File& input, platform::File& output, std::span<const std::uint8_t> start,
                    const RowCopy& copy) {
    std::uint8_t* memory = bandBuffers(bandMemory(copy));
    if (!memory) return {CopyOutcome::NoMemory, 0, bandMemory(copy)};
    // An output that cannot seek takes its start first.
    const bool startLast = output.seekable();
    CopyResult result{CopyOutcome::Done, 0};
    if (startLast) {
        const platform::Transfer zeros = holdPlaceOfStart(output, start.size());
        if (!zeros.complete(start.size())) result = {CopyOutcome::WriteFailed, zeros.done};
    }
    if (result.outcome == CopyOutcome::Done) {
        result = crossBands(input, output, startLast ? std::span<const std::uint8_t>() : start, copy, memory,
                            startLast ? start.size() : 0);
    }
    // A reversed copy reads the end of the input first: a file cut short
    // after that is caught here, before it is taken for whole.
    if (result.outcome == CopyOutcome::Done && input.size() < copy.inputEnd()) result.outcome = CopyOutcome::ReadFailed;
    if (startLast && (result.outcome == CopyOutcome::Done || result.outcome == CopyOutcome::WriteFailed)) {
        result = putStart(output, start, result);
    }
    if (result.outcome == CopyOutcome::Done && !output.cutToWritten()) result.outcome = CopyOutcome::WriteFailed;
    if (result.outcome == CopyOutcome::Done) output.markWhole();
    return result;
}

}  // namespace quorvel
