// File operations on Windows, through the Win32 file API. <windows.h> stays
// in this file: it defines bitmap record names of its own.
#include "platform/platform.hpp"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace quorvel::platform {

namespace {

// ReadFile and WriteFile take a 32-bit count; larger requests loop.
constexpr std::size_t kLargestTransfer = 1u << 30;

HANDLE nativeOf(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

File adopt(HANDLE handle) {
    if (handle == INVALID_HANDLE_VALUE) return {};
    return File(reinterpret_cast<std::intptr_t>(handle));
}

}  // namespace

File openForReading(const char* name) {
    return adopt(CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
}

// No sharing: while the input is open for reading, creating the same file
// for writing fails with a sharing violation, so the input is never emptied.
File createForWriting(const char* path, const File& /*input*/) {
    return adopt(CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
}

Transfer File::read(void* destination, std::size_t count) {
    auto* bytes = static_cast<unsigned char*>(destination);
    Transfer result{true, 0};
    while (result.done < count) {
        const auto chunk = static_cast<DWORD>(std::min(count - result.done, kLargestTransfer));
        DWORD moved = 0;
        if (!ReadFile(nativeOf(handle_), bytes + result.done, chunk, &moved, nullptr)) {
            result.ok = false;
            break;
        }
        if (moved == 0) break;  // end of file; caller sees the short count
        result.done += moved;
    }
    return result;
}

Transfer File::write(const void* source, std::size_t count) {
    const auto* bytes = static_cast<const unsigned char*>(source);
    Transfer result{true, 0};
    while (result.done < count) {
        const auto chunk = static_cast<DWORD>(std::min(count - result.done, kLargestTransfer));
        DWORD moved = 0;
        if (!WriteFile(nativeOf(handle_), bytes + result.done, chunk, &moved, nullptr) ||
            moved == 0) {
            result.ok = false;
            break;
        }
        result.done += moved;
    }
    return result;
}

bool File::seek(std::uint64_t offset) {
    // The high part is passed so that offsets past 2 GiB are not taken as negative.
    LONG high = static_cast<LONG>(offset >> 32);
    SetLastError(NO_ERROR);
    const DWORD low = SetFilePointer(nativeOf(handle_), static_cast<LONG>(offset & 0xFFFFFFFFu),
                                     &high, FILE_BEGIN);
    return !(low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR);
}

std::uint64_t File::size() const {
    DWORD high = 0;
    SetLastError(NO_ERROR);
    const DWORD low = GetFileSize(nativeOf(handle_), &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return kSizeQueryFailed;
    return (std::uint64_t{high} << 32) | low;
}

void File::close() {
    if (isOpen()) CloseHandle(nativeOf(std::exchange(handle_, kClosed)));
}

namespace detail {

std::uint8_t* obtainBytes(std::size_t bytes, bool zeroed) {
    return static_cast<std::uint8_t*>(zeroed ? std::calloc(bytes, 1) : std::malloc(bytes));
}

void releaseBytes(std::uint8_t* data, std::size_t /*bytes*/) { std::free(data); }

}  // namespace detail

}  // namespace quorvel::platform
