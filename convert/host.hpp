// What a module inside another program needs between that program's calls
// and the readers: its stream read at positions as a file is, and any
// region of a picture's rows copied into the caller's memory. Compiled on
// every platform, so that it is fuzzed and tested natively; the module
// itself only translates calls and results.
#pragma once

#include <cstddef>
#include <cstdint>

#include "convert/convert.hpp"
#include "platform/platform.hpp"

namespace quorvel {

// A stream that seeks and reads some bytes at a time, as a host program's
// streams do, read at positions. Reads past its end come back short; a
// stream that claims more than was asked of it has failed.
class SeekingStream : public platform::Readable {
public:
    platform::Transfer readAt(std::uint64_t offset, void* destination, std::size_t count) override;
    std::uint64_t size() const override;

protected:
    virtual bool seekTo(std::uint64_t offset) = 0;
    // Up to `count` bytes; `got` 0 at the end. False on the stream's failure.
    virtual bool readSome(void* destination, std::uint32_t count, std::uint32_t& got) = 0;
    // kSizeQueryFailed when it cannot be told.
    virtual std::uint64_t length() const = 0;
};

struct Region {
    std::uint32_t x, y, width, height;
};

enum class RegionOutcome {
    Done,
    OutsidePicture,  // the region does not lie within the picture
    ShortBuffer,     // the stride is narrower than the region, or the buffer holds less
    Unreadable,      // the picture failed while its rows were read
};

// The indices of `region`, row k at `buffer + k * stride`, into a buffer
// of `size` bytes; nothing outside the region's bytes is touched. Rows are
// found wherever the last call left the picture: in order, a compressed
// picture is decoded once. May throw std::bad_alloc.
RegionOutcome copyRegion(RixRows& picture, const Region& region, std::uint32_t stride, std::uint8_t* buffer,
                         std::size_t size);

}  // namespace quorvel
