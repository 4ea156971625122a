// File operations on POSIX systems.
#include "platform/platform.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <utility>

namespace quorvel::platform {

namespace {

// One system call moves at most this much; larger requests loop.
constexpr std::size_t kLargestTransfer = 1u << 30;

int descriptor(std::intptr_t handle) { return static_cast<int>(handle); }

// Calls `call(done, chunk)` until `count` bytes have moved, the file ends
// (a call moves nothing) or the system reports an error.
template <typename Call>
Transfer transferAll(std::size_t count, Call call) {
    Transfer result{true, 0};
    while (result.done < count) {
        const std::size_t chunk = std::min(count - result.done, kLargestTransfer);
        const ssize_t moved = call(result.done, chunk);
        if (moved < 0) {
            if (errno == EINTR) continue;
            result.ok = false;
            break;
        }
        if (moved == 0) break;  // end of file on reads; caller sees the short count
        result.done += static_cast<std::size_t>(moved);
    }
    return result;
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Blocking on a FIFO nobody reads or writes would hang the run, so files
// are opened non-blocking; a device or FIFO taken as output is switched
// back once it is open (regular files never block either way).
bool makeBlocking(int fd, const struct stat& info) {
    if (S_ISREG(info.st_mode)) return true;
    const int flags = fcntl(fd, F_GETFL);
    return flags != -1 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != -1;
}

}  // namespace

File openForReading(const char* name) {
    const int fd = ::open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd == -1) return {};
    File file(fd);
    struct stat info {};
    // Only regular files hold images; a directory or device is not readable as one.
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return {};
    return file;
}

File createForWriting(const char* path, const File& input) {
    // Opened without truncation first, so that a path leading to the input
    // itself (a link, another spelling) is found before anything is lost.
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd == -1) return {};
    File file(fd);
    struct stat created {};
    struct stat source {};
    if (fstat(fd, &created) != 0 || !makeBlocking(fd, created)) return {};
    if (input.isOpen() && fstat(descriptor(input.handle_), &source) == 0 && sameFile(created, source)) {
        return {};
    }
    if (S_ISREG(created.st_mode) && created.st_size != 0 && ftruncate(fd, 0) != 0) return {};
    return file;
}

Transfer File::read(void* destination, std::size_t count) {
    auto* bytes = static_cast<unsigned char*>(destination);
    return transferAll(count, [&](std::size_t done, std::size_t chunk) {
        return ::read(descriptor(handle_), bytes + done, chunk);
    });
}

Transfer File::readAt(std::uint64_t offset, void* destination, std::size_t count) {
    if (offset > static_cast<std::uint64_t>(LLONG_MAX) - count) return {};
    auto* bytes = static_cast<unsigned char*>(destination);
    return transferAll(count, [&](std::size_t done, std::size_t chunk) {
        return ::pread(descriptor(handle_), bytes + done, chunk, static_cast<off_t>(offset + done));
    });
}

Transfer File::write(const void* source, std::size_t count) {
    const auto* bytes = static_cast<const unsigned char*>(source);
    Transfer result = transferAll(count, [&](std::size_t done, std::size_t chunk) {
        return ::write(descriptor(handle_), bytes + done, chunk);
    });
    result.ok = result.ok && result.done == count;  // a write that stalls has failed
    return result;
}

bool File::seek(std::uint64_t offset) {
    if (offset > static_cast<std::uint64_t>(LLONG_MAX)) return false;
    return ::lseek(descriptor(handle_), static_cast<off_t>(offset), SEEK_SET) != -1;
}

std::uint64_t File::size() const {
    struct stat info {};
    if (!isOpen() || fstat(descriptor(handle_), &info) != 0 || info.st_size < 0) return kSizeQueryFailed;
    return static_cast<std::uint64_t>(info.st_size);
}

bool File::truncateToEmpty() {
    return ftruncate(descriptor(handle_), 0) == 0 && seek(0);
}

void File::close() {
    if (isOpen()) ::close(descriptor(std::exchange(handle_, kClosed)));
}

void writeStandardOutput(std::string_view text) { std::fwrite(text.data(), 1, text.size(), stdout); }

}  // namespace quorvel::platform
