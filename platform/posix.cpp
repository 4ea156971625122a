// File operations on POSIX systems: positioned reads, plain and positioned
// writes, advisory locks between runs, and the output emptied on interrupt.
#include "platform/platform.hpp"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
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

// Runs of this program share files as Windows' share modes make them: a
// reader holds a shared lock while it reads, a writer an exclusive one while
// it writes, each taken without waiting. Only another holder refuses the
// file; where the file system keeps no locks (ENOLCK, EOPNOTSUPP) the run
// goes ahead without them.
bool lockedFor(int fd, int operation) { return flock(fd, operation | LOCK_NB) == 0 || errno != EWOULDBLOCK; }

// The output being written, emptied if the run is interrupted; -1 for none.
std::atomic<int> outputInProgress{-1};
static_assert(std::atomic<int>::is_always_lock_free, "read in a signal handler");

// Emptying is one system call, safe in a handler (with no output in
// progress it fails on descriptor -1, harmlessly). The handler was reset to
// the default action as it was entered (SA_RESETHAND) and the signal left
// unblocked (SA_NODEFER), so raising it again ends the process as the
// signal would have: a shell sees 128 + its number.
extern "C" void emptyOutputAndEnd(int signal) {
    if (ftruncate(outputInProgress.load(), 0) != 0) {
        // Nothing more can be done for it: the process ends either way.
    }
    raise(signal);
}

}  // namespace

void emptyOutputOnInterrupt() {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction action {};
        if (sigaction(signal, nullptr, &action) != 0 || action.sa_handler == SIG_IGN) continue;
        action.sa_handler = emptyOutputAndEnd;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESETHAND | SA_NODEFER;
        sigaction(signal, &action, nullptr);
    }
}

File openForReading(const char* name) {
    const int fd = ::open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    File file(fd);  // closed if the open failed, and then fstat fails too
    struct stat info {};
    // Only regular files hold images; a directory or device is not readable as one.
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || !lockedFor(fd, LOCK_SH)) return {};
    return file;
}

File createForWriting(const char* path, const File& input) {
    // Opened without truncation first, so that a path leading to the input
    // itself (a link, another spelling) is found before anything is lost.
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
    File file(fd);  // closed if the open failed, and then fstat fails too
    struct stat created {};
    struct stat source {};
    if (fstat(fd, &created) != 0 || !makeBlocking(fd, created)) return {};
    if (input.isOpen() && fstat(descriptor(input.handle_), &source) == 0 && sameFile(created, source)) {
        return {};
    }
    // Devices and FIFOs are not locked: two runs may well write to /dev/null.
    file.seekable_ = S_ISREG(created.st_mode);
    if (file.seekable_ && !lockedFor(fd, LOCK_EX)) return {};
    // Nothing is written or cut before the lock is held.
    if (file.seekable_) file.lengthAtOpen_ = static_cast<std::uint64_t>(created.st_size);
    outputInProgress.store(fd);
    return file;
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
    position_ += result.done;
    written_ = std::max(written_, position_);
    return result;
}

Transfer File::writeAt(std::uint64_t offset, const void* source, std::size_t count) {
    if (offset > static_cast<std::uint64_t>(LLONG_MAX) - count) return {};
    const auto* bytes = static_cast<const unsigned char*>(source);
    Transfer result = transferAll(count, [&](std::size_t done, std::size_t chunk) {
        return ::pwrite(descriptor(handle_), bytes + done, chunk, static_cast<off_t>(offset + done));
    });
    result.ok = result.ok && result.done == count;
    written_ = std::max(written_, offset + result.done);
    return result;
}

std::uint64_t File::size() const {
    struct stat info {};
    if (fstat(descriptor(handle_), &info) != 0) return kSizeQueryFailed;
    return static_cast<std::uint64_t>(info.st_size);
}

void File::truncateToEmpty() {
    written_ = lengthAtOpen_ = position_ = 0;
    if (ftruncate(descriptor(handle_), 0) != 0) {
        // A file that cannot be cut keeps what was written: its message is out either way.
    }
}

// An output written over in place loses what is left of its old content.
bool File::cutToWritten() {
    if (lengthAtOpen_ <= written_) return true;
    if (ftruncate(descriptor(handle_), static_cast<off_t>(written_)) != 0) return false;
    lengthAtOpen_ = written_;
    return true;
}

void File::markWhole() {
    int self = descriptor(handle_);
    outputInProgress.compare_exchange_strong(self, -1);
}

void File::close() {
    if (!isOpen()) return;
    cutToWritten();  // a refused input's output: its message is out already
    markWhole();     // before the descriptor can be taken by another file
    ::close(descriptor(std::exchange(handle_, kClosed)));
}

// A buffer of a megabyte or more is taken in whole 2 MiB pages where the
// system grants them for the asking (Linux's transparent huge pages): one
// fault instead of 512, and fewer misses of the address cache in every copy
// through it. Measured on bands of 64 MiB pictures: 4 % less time.
std::uint8_t* largePages([[maybe_unused]] std::size_t& bytes) {
#if defined(MADV_HUGEPAGE) && !defined(__EMSCRIPTEN__)  // WebAssembly's memory has no huge pages: aligning only wastes it
    constexpr std::size_t kHugePage = std::size_t{2} << 20;
    const std::size_t whole = (bytes + kHugePage - 1) / kHugePage * kHugePage;  // only whole pages are granted
    void* pages = nullptr;
    if (bytes >= kHugePage / 2 && posix_memalign(&pages, kHugePage, whole) == 0) {
        madvise(pages, whole, MADV_HUGEPAGE);  // only advice: without it the pages are small
        bytes = whole;
        return static_cast<std::uint8_t*>(pages);
    }
#endif
    return nullptr;
}

void holdConsoleForReader() {}

void writeStandardOutput(std::string_view text) { std::fwrite(text.data(), 1, text.size(), stdout); }

}  // namespace quorvel::platform
