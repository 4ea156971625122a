// Where a decoder's bytes come from: a file read through a window, or
// memory. Decoders see bytes, never files.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvel {

// `count` bytes from `offset` on (counted from where the coded data
// starts), or null when there are not that many. What one call gives
// stays valid until the next.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual const std::uint8_t* bytes(std::uint64_t offset, std::size_t count) = 0;
};

}  // namespace quorvel
