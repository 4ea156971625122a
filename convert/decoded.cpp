#include "convert/decoded.hpp"

#include <algorithm>
#include <cstring>

namespace quorvel {

namespace {

// Bytes of output rows a band holds at most (a wider row still makes one).
constexpr std::size_t kBandBudget = std::size_t{1} << 20;

std::uint8_t* bandMemory(std::size_t bytes) {
    static platform::Buffer memory;
    return memory.reserve(bytes) ? memory.data() : nullptr;
}

// Fills `rows` output rows at `band` in the output's order, their padding zero.
bool fillBand(RowSource& source, std::uint8_t* band, std::size_t rows, const Placement& placement) {
    const auto stride = static_cast<std::ptrdiff_t>(placement.outputStride);
    const std::size_t padding = placement.outputStride - placement.width;  // at most 3 bytes a row
    for (std::size_t row = 0; padding != 0 && row < rows; ++row) {
        std::memset(band + row * placement.outputStride + placement.width, 0, padding);
    }
    if (placement.reverse) return source.fill(band + (static_cast<std::ptrdiff_t>(rows) - 1) * stride, -stride, rows);
    return source.fill(band, stride, rows);
}

CopyResult placeInPlace(platform::File& output, std::span<const std::uint8_t> start, const Placement& placement,
                        RowSource& source) {
    const std::size_t stride = placement.outputStride;
    const std::size_t perBand =
        stride == 0 ? std::max<std::size_t>(1, placement.height)
                    : std::clamp<std::size_t>(kBandBudget / stride, 1, std::max<std::size_t>(1, placement.height));
    std::uint8_t* band = bandMemory(perBand * stride);
    if (!band) return {CopyOutcome::NoMemory, 0, perBand * stride};
    const platform::Transfer zeros = holdPlaceOfStart(output, start.size());
    if (!zeros.complete(start.size())) return {CopyOutcome::WriteFailed, zeros.done};
    for (std::size_t done = 0; done < placement.height;) {
        const std::size_t rows = std::min(perBand, placement.height - done);
        if (!fillBand(source, band, rows, placement)) return {CopyOutcome::ReadFailed, 0};
        const std::size_t first = placement.reverse ? placement.height - done - rows : done;
        const std::uint64_t at = start.size() + std::uint64_t{first} * stride;
        const platform::Transfer moved = output.writeAt(at, band, rows * stride);
        if (!moved.complete(rows * stride)) return {CopyOutcome::WriteFailed, at + moved.done};
        done += rows;
    }
    if (!output.writeAt(0, start.data(), start.size()).complete(start.size())) return {CopyOutcome::WriteFailed, 0};
    return {CopyOutcome::Done, start.size() + std::uint64_t{placement.height} * stride};
}

// An output that cannot seek takes its bytes in order: the whole picture
// is decoded first.
CopyResult placeInOrder(platform::File& output, std::span<const std::uint8_t> start, const Placement& placement,
                        RowSource& source) {
    const std::uint64_t bytes = std::uint64_t{placement.height} * placement.outputStride;
    platform::Buffer picture;
    if (bytes > SIZE_MAX || !picture.reserve(static_cast<std::size_t>(bytes))) {
        return {CopyOutcome::NoMemory, 0, bytes};
    }
    if (!fillBand(source, picture.data(), placement.height, placement)) return {CopyOutcome::ReadFailed, 0};
    const platform::Transfer head = output.write(start.data(), start.size());
    if (!head.complete(start.size())) return {CopyOutcome::WriteFailed, head.done};
    const platform::Transfer rows = output.write(picture.data(), static_cast<std::size_t>(bytes));
    if (!rows.complete(static_cast<std::size_t>(bytes))) return {CopyOutcome::WriteFailed, start.size() + rows.done};
    return {CopyOutcome::Done, start.size() + bytes};
}

}  // namespace

CopyResult placeRows(platform::File& output, std::span<const std::uint8_t> start, const Placement& placement,
                     RowSource& source) {
    CopyResult result = output.seekable() ? placeInPlace(output, start, placement, source)
                                          : placeInOrder(output, start, placement, source);
    if (result.outcome == CopyOutcome::Done && !output.cutToWritten()) result.outcome = CopyOutcome::WriteFailed;
    if (result.outcome == CopyOutcome::Done) output.markWhole();
    return result;
}

InputWindow::InputWindow(platform::Readable& file, std::uint64_t start, platform::Buffer* memory)
    : file_(file), base_(start) {
    static platform::Buffer shared;
    if (!memory) memory = &shared;
    memory_ = memory->reserve(kCapacity) ? memory->data() : nullptr;
}

const std::uint8_t* InputWindow::bytes(std::uint64_t at, std::size_t count) {
    if (at > UINT64_MAX - base_) return nullptr;
    const std::uint64_t offset = base_ + at;
    if (offset >= start_ && offset - start_ <= held_ && held_ - (offset - start_) >= count) {
        return memory_ + (offset - start_);
    }
    const platform::Transfer read = file_.readAt(offset, memory_, kCapacity);
    start_ = offset;
    held_ = read.ok ? read.done : 0;
    return held_ >= count ? memory_ : nullptr;
}

}  // namespace quorvel
