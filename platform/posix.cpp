// File operations on POSIX systems.
#include "platform/platform.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <climits>
#include <utility>

namespace quorvel::platform {

namespace {

// One system call moves at most this much; larger requests loop.
constexpr std::size_t kLargestTransfer = 1u << 30;

int descriptor(std::intptr_t handle) { return static_cast<int>(handle); }

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

bool statOf(const File& file, struct stat* info) {
    return file.isOpen() && fstat(descriptor(file.nativeHandle()), info) == 0;
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Blocking on a FIFO nobody writes to would hang the run, so descriptors are
// opened non-blocking and switched back once the file is known.
bool makeBlocking(int fd) {
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
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || !makeBlocking(fd)) return {};
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
    if (fstat(fd, &created) != 0 || !makeBlocking(fd)) return {};
    if (statOf(input, &source) && sameFile(created, source)) return {};
    if (S_ISREG(created.st_mode) && ftruncate(fd, 0) != 0) return {};
    return file;
}

Transfer File::read(void* destination, std::size_t count) {
    auto* bytes = static_cast<unsigned char*>(destination);
    return transferAll(count, [&](std::size_t offset, std::size_t chunk) {
        return ::read(descriptor(handle_), bytes + offset, chunk);
    });
}

Transfer File::write(const void* source, std::size_t count) {
    const auto* bytes = static_cast<const unsigned char*>(source);
    Transfer result = transferAll(count, [&](std::size_t offset, std::size_t chunk) {
        return ::write(descriptor(handle_), bytes + offset, chunk);
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
    if (!statOf(*this, &info) || info.st_size < 0) return kSizeQueryFailed;
    return static_cast<std::uint64_t>(info.st_size);
}

void File::close() {
    if (isOpen()) ::close(descriptor(std::exchange(handle_, kClosed)));
}

namespace detail {

namespace {

// Image-sized buffers come straight from mmap, aligned to 2 MiB and marked
// for huge pages where the system offers them: filling 64 MiB of fresh
// memory then costs a few dozen page faults instead of sixteen thousand.
constexpr std::size_t kLargeBuffer = std::size_t{4} << 20;
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kPage = 4096;

// The tail past the last whole huge page stays in small pages, so no more
// than the bytes asked for (rounded to a page) becomes resident.
std::size_t mappedLength(std::size_t bytes) { return (bytes + kPage - 1) & ~(kPage - 1); }

std::uint8_t* mapLarge(std::size_t bytes) {
    const std::size_t length = mappedLength(bytes);
    if (length < bytes || length + kHugePage < length) return nullptr;
    void* raw = mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    auto* start = static_cast<std::uint8_t*>(raw);
    const std::size_t head = (kHugePage - reinterpret_cast<std::uintptr_t>(start) % kHugePage) % kHugePage;
    if (head != 0) munmap(start, head);
    if (kHugePage - head != 0) munmap(start + head + length, kHugePage - head);
#ifdef MADV_HUGEPAGE
    madvise(start + head, length, MADV_HUGEPAGE);
#endif
    return start + head;
}

}  // namespace

std::uint8_t* obtainBytes(std::size_t bytes, bool zeroed) {
    if (bytes >= kLargeBuffer) return mapLarge(bytes);  // fresh mappings are zero-filled
    return static_cast<std::uint8_t*>(zeroed ? std::calloc(bytes, 1) : std::malloc(bytes));
}

void releaseBytes(std::uint8_t* data, std::size_t bytes) {
    if (bytes >= kLargeBuffer) {
        munmap(data, mappedLength(bytes));
    } else {
        std::free(data);
    }
}

}  // namespace detail

}  // namespace quorvel::platform
