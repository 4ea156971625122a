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

}  // namespace

std::size_t RowCopy::bandRows() const {
    const std::size_t row = rowBytes();
    if (row == 0) return height;
    return std::min(height, std::max<std::size_t>(1, kBandBudget / row));
}

CopyOutcome copyRows(platform::File& input, platform::File& output, const RowCopy& copy,
                     std::uint8_t* band, std::uint8_t* rowBuffer) {
    if (copy.rowBytes() == 0) return CopyOutcome::Done;
    const std::size_t perBand = copy.bandRows();
    const bool widens = copy.outputStride > copy.inputStride;
    for (std::size_t done = 0; done < copy.height;) {
        const std::size_t rows = std::min(perBand, copy.height - done);
        // Reversed, the output starts with the input's last band.
        const std::size_t first = copy.reverse ? copy.height - done - rows : done;
        const std::size_t readBytes = rows * copy.inputStride;
        const std::uint64_t at = copy.inputOffset + std::uint64_t{first} * copy.inputStride;
        if (!input.readAt(at, band, readBytes).complete(readBytes)) return CopyOutcome::ReadFailed;
        if (widens) restride(band, rows, copy.width, copy.inputStride, copy.outputStride);
        if (copy.reverse) flipRows(band, copy.rowBytes(), rows, rowBuffer);
        if (!widens) restride(band, rows, copy.width, copy.inputStride, copy.outputStride);
        const std::size_t writeBytes = rows * copy.outputStride;
        if (!output.write(band, writeBytes).complete(writeBytes)) return CopyOutcome::WriteFailed;
        done += rows;
    }
    return CopyOutcome::Done;
}

}  // namespace quorvel
