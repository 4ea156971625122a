// Both formats store their integers little-endian. Records are read and
// written as the file's raw bytes; `littleEndian` turns a field so read into
// the host's value, and a host value into the file's order (the same swap
// serves both ways), so the records mean the same on any host. On a
// little-endian host it is the identity and compiles to nothing.
#pragma once

#include <array>
#include <bit>
#include <concepts>
#include <cstddef>
#include <cstring>
#include <type_traits>

namespace quorvel {

template <std::integral T>
constexpr T littleEndian(T value) {
#if defined(__cpp_lib_bit_cast)
    const auto bytes = std::bit_cast<std::array<unsigned char, sizeof(T)>>(value);
#else
    // Older libc++ (emscripten's) lacks std::bit_cast; its compiler has the builtin.
    const auto bytes = __builtin_bit_cast(std::array<unsigned char, sizeof(T)>, value);
#endif
    std::make_unsigned_t<T> host = 0;
    for (std::size_t i = sizeof(T); i-- > 0;) host = static_cast<std::make_unsigned_t<T>>(host << 8 | bytes[i]);
    return static_cast<T>(host);
}

// A record in the host's order from the first `held` bytes of it a file
// holds at `bytes` (the rest zero), and a record as a file holds it. Each
// record type has its convertByteOrder beside it.
template <typename Record>
Record loadRecord(const void* bytes, std::size_t held = sizeof(Record)) {
    Record record{};
    std::memcpy(&record, bytes, held);
    convertByteOrder(record);
    return record;
}

template <typename Record>
Record storedRecord(Record record) {
    convertByteOrder(record);
    return record;
}

}  // namespace quorvel
