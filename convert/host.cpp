#include "convert/host.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

namespace quorvel {

platform::Transfer SeekingStream::readAt(std::uint64_t offset, void* destination, std::size_t count) {
    platform::Transfer transfer{seekTo(offset), 0};
    auto* into = static_cast<std::uint8_t*>(destination);
    while (transfer.ok && transfer.done < count) {
        const auto asked = static_cast<std::uint32_t>(std::min<std::size_t>(count - transfer.done, std::uint32_t{1} << 30));
        std::uint32_t got = 0;
        transfer.ok = readSome(into + transfer.done, asked, got) && got <= asked;
        if (!transfer.ok || got == 0) break;
        transfer.done += got;
    }
    return transfer;
}

std::uint64_t SeekingStream::size() const { return length(); }

namespace {

bool regionFits(const RixRows& picture, const Region& region) {
    return region.x <= picture.width && region.width <= picture.width - region.x && region.y <= picture.height &&
           region.height <= picture.height - region.y;
}

bool bufferHolds(const Region& region, std::uint32_t stride, std::size_t size) {
    if (region.width == 0 || region.height == 0) return true;
    if (stride < region.width) return false;
    const std::uint64_t needed = std::uint64_t{stride} * (region.height - 1) + region.width;
    return needed <= size;
}

// Whole rows in a band of about a megabyte, each row's part cut out.
bool copyPartsOfRows(RixRows& picture, const Region& region, std::uint32_t stride, std::uint8_t* buffer) {
    const std::size_t width = picture.width;
    const std::size_t bandRows = std::clamp<std::size_t>((std::size_t{1} << 20) / std::max<std::size_t>(1, width), 1, region.height);
    std::vector<std::uint8_t> band(bandRows * width);
    for (std::uint32_t done = 0; done < region.height;) {
        const std::size_t count = std::min<std::size_t>(bandRows, region.height - done);
        if (!picture.fill(band.data(), static_cast<std::ptrdiff_t>(width), count)) return false;
        for (std::size_t row = 0; row < count; ++row, ++done) {
            std::memcpy(buffer + std::size_t{done} * stride, &band[row * width + region.x], region.width);
        }
    }
    return true;
}

}  // namespace

RegionOutcome copyRegion(RixRows& picture, const Region& region, std::uint32_t stride, std::uint8_t* buffer,
                         std::size_t size) {
    if (!regionFits(picture, region)) return RegionOutcome::OutsidePicture;
    if (!bufferHolds(region, stride, size)) return RegionOutcome::ShortBuffer;
    if (region.width == 0 || region.height == 0) return RegionOutcome::Done;
    if (!picture.seek(region.y)) return RegionOutcome::Unreadable;
    // Whole rows go straight to the caller's memory.
    const bool whole = region.width == picture.width;
    const bool read = whole ? picture.fill(buffer, static_cast<std::ptrdiff_t>(stride), region.height)
                            : copyPartsOfRows(picture, region, stride, buffer);
    return read ? RegionOutcome::Done : RegionOutcome::Unreadable;
}

}  // namespace quorvel
