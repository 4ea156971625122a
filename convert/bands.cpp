#include "convert/bands.hpp"

#include <algorithm>
#include <cstring>

#include "convert/convert.hpp"

namespace quorvel {

namespace {

// Moves `rows` rows of `width` bytes from `from` bytes apart to `to` bytes
// apart inside the band, zeroing the padding a wider stride adds. Rows move
// towards the end when the stride grows, so the last row goes first.
void restride(std::uint8_t* band, std::size_t rows, std::size_t width, std::size_t from, std::size_t to) {
    if (to > from) {
        for (std::size_t row = rows; row-- > 0;) {
            std::memmove(band + row * to, band + row * from, width);
            std::memset(band + row * to + width, 0, to - width);
        }
    } else if (to < from) {
        for (std::size_t row = 0; row < rows; ++row) std::memmove(band + row * to, band + row * from, width);
    }
}

CopyResult throughBands(platform::File& input, platform::File& output, std::span<const std::uint8_t> start,
                        const RowCopy& copy) {
    const platform::Buffer memory = platform::Buffer::allocate(bandMemory(copy));
    if (!memory) return {CopyOutcome::NoMemory, 0};
    const platform::Transfer head = output.write(start.data(), start.size());
    if (!head.complete(start.size())) return {CopyOutcome::WriteFailed, head.done};
    std::uint64_t written = start.size();
    const std::size_t perBand = bandRows(copy);
    std::uint8_t* band = memory.data();
    std::uint8_t* rowBuffer = band + perBand * copy.rowBytes();
    const bool widens = copy.outputStride > copy.inputStride;
    for (std::size_t done = 0; done < copy.height && copy.rowBytes() != 0;) {
        const std::size_t rows = std::min(perBand, copy.height - done);
        // Reversed, the output starts with the input's last band.
        const std::size_t first = copy.reverse ? copy.height - done - rows : done;
        const std::size_t readBytes = rows * copy.inputStride;
        const std::uint64_t at = copy.inputOffset + std::uint64_t{first} * copy.inputStride;
        if (!input.readAt(at, band, readBytes).complete(readBytes)) return {CopyOutcome::ReadFailed, written};
        if (widens) restride(band, rows, copy.width, copy.inputStride, copy.outputStride);
        if (copy.reverse) flipRows(band, copy.rowBytes(), rows, rowBuffer);
        if (!widens) restride(band, rows, copy.width, copy.inputStride, copy.outputStride);
        const std::size_t writeBytes = rows * copy.outputStride;
        const platform::Transfer moved = output.write(band, writeBytes);
        written += moved.done;
        if (!moved.complete(writeBytes)) return {CopyOutcome::WriteFailed, written};
        done += rows;
    }
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

std::size_t bandRows(const RowCopy& copy) {
    const std::size_t row = copy.rowBytes();
    if (row == 0) return copy.height;
    return std::min(copy.height, std::max<std::size_t>(1, kBandBudget / row));
}

std::size_t bandMemory(const RowCopy& copy) { return (bandRows(copy) + 1) * copy.rowBytes(); }

CopyResult copyRows(platform::File& input, platform::File& output, std::span<const std::uint8_t> start,
                    const RowCopy& copy) {
    // Until its last row is written, a regular output begins with zeros
    // where its signature, header and palette go, over an older output's
    // too: cut off at any instant, even by a power cut, it is then no
    // picture to any reader. An output that cannot seek takes them first.
    static constexpr std::uint8_t kZeros[kLongestStart] = {};
    const bool startLast = output.seekable();
    const std::span<const std::uint8_t> first = startLast ? std::span(kZeros, start.size()) : start;
    CopyResult result = output.gatherRows(input, first, copy);
    if (result.outcome == CopyOutcome::NotGathered) result = throughBands(input, output, first, copy);
    // A file cut short while it was read may not show it otherwise: mapped,
    // its last page reads as zeros past the new end, without a fault.
    if (result.outcome == CopyOutcome::Done && input.size() < copy.inputEnd()) result.outcome = CopyOutcome::ReadFailed;
    if (startLast && (result.outcome == CopyOutcome::Done || result.outcome == CopyOutcome::WriteFailed)) {
        result = putStart(output, start, result);
    }
    if (result.outcome == CopyOutcome::Done && !output.cutToWritten()) result.outcome = CopyOutcome::WriteFailed;
    if (result.outcome == CopyOutcome::Done) output.markWhole();
    return result;
}

}  // namespace quorvel
