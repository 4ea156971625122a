// File operations on POSIX systems. Rows of pixels cross without passing
// through the program's memory: windows of the input are mapped, and the
// output is written from them with gathered writes, one piece per row in
// the output's order and one per row's padding from a block of zeros.
#include "platform/platform.hpp"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <utility>

namespace quorvel::platform {

namespace {

// One system call moves at most this much; larger requests loop.
constexpr std::size_t kLargestTransfer = 1u << 30;

int descriptor(std::intptr_t handle) { return static_cast<int>(handle); }

// Input mapped at a time: whole rows, about this many bytes.
constexpr std::size_t kWindowBytes = std::size_t{1} << 20;
// Narrower rows go through a band: below this, a piece per row costs the
// kernel more than the program spends copying the row once more (measured
// on 65535-row images: the two meet between 384 and 448 bytes a row).
constexpr std::size_t kNarrowestGatheredRow = 384;
// Row padding is written from here; a bitmap row is padded by at most 3 bytes.
constexpr std::uint8_t kZeros[4] = {};
#if defined(IOV_MAX)
constexpr int kMostPieces = IOV_MAX;
#else
constexpr int kMostPieces = 1024;
#endif

// Pieces of the output waiting to be written, at most kMostPieces at a time.
class GatheredWriter {
public:
    explicit GatheredWriter(int fd) : fd_(fd) {}

    CopyOutcome add(const void* data, std::size_t size) {
        if (size == 0) return CopyOutcome::Done;
        if (count_ == kMostPieces) {
            const CopyOutcome flushed = flush();
            if (flushed != CopyOutcome::Done) return flushed;
        }
        pieces_[count_++] = {const_cast<void*>(data), size};
        return CopyOutcome::Done;
    }

    // A short write is followed by another for the rest, whose error says
    // why the first stopped. A fault in the input's pages (the file was cut
    // short under its mapping) is a failed read; the kernel reports it as
    // EFAULT, and no signal is raised since only the kernel touches them.
    CopyOutcome flush() {
        iovec* next = pieces_;
        int left = count_;
        count_ = 0;
        while (left > 0) {
            const ssize_t moved = ::writev(fd_, next, left);
            if (moved < 0 && errno == EINTR) continue;
            if (moved < 0 && errno == EFAULT) return CopyOutcome::ReadFailed;
            if (moved <= 0) return CopyOutcome::WriteFailed;
            written_ += static_cast<std::size_t>(moved);
            for (auto rest = static_cast<std::size_t>(moved); rest > 0;) {
                const std::size_t taken = std::min(rest, next->iov_len);
                next->iov_base = static_cast<std::uint8_t*>(next->iov_base) + taken;
                next->iov_len -= taken;
                rest -= taken;
                if (next->iov_len == 0) ++next, --left;
            }
        }
        return CopyOutcome::Done;
    }

    std::uint64_t written() const { return written_; }

private:
    int fd_;
    iovec pieces_[kMostPieces];
    int count_ = 0;
    std::uint64_t written_ = 0;
};

// `bytes` of a file from `offset` on, mapped read-only for as long as the
// object lives. The pages are read in at once rather than fault by fault.
class MappedWindow {
public:
    MappedWindow(int fd, std::uint64_t offset, std::size_t bytes)
        : lead_(static_cast<std::size_t>(offset % static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE)))),
          length_(lead_ + bytes),
          base_(::mmap(nullptr, length_, PROT_READ, kFlags, fd, static_cast<off_t>(offset - lead_))) {}
    MappedWindow(const MappedWindow&) = delete;
    MappedWindow& operator=(const MappedWindow&) = delete;
    ~MappedWindow() {
        if (base_ != MAP_FAILED) ::munmap(base_, length_);
    }

    explicit operator bool() const { return base_ != MAP_FAILED; }
    const std::uint8_t* data() const { return static_cast<const std::uint8_t*>(base_) + lead_; }

private:
#if defined(MAP_POPULATE)
    static constexpr int kFlags = MAP_PRIVATE | MAP_POPULATE;
#else
    static constexpr int kFlags = MAP_PRIVATE;
#endif
    std::size_t lead_;    // from the page boundary the mapping starts at
    std::size_t length_;
    void* base_;
};

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

// Emptying is one system call, safe in a handler. The handler was reset to
// the default action as it was entered (SA_RESETHAND) and the signal left
// unblocked (SA_NODEFER), so raising it again ends the process as the
// signal would have: a shell sees 128 + its number.
extern "C" void emptyOutputAndEnd(int signal) {
    const int fd = outputInProgress.load();
    if (fd != -1 && ftruncate(fd, 0) != 0) {
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
    written_ += result.done;
    return result;
}

Transfer File::writeAt(std::uint64_t offset, const void* source, std::size_t count) {
    if (offset > static_cast<std::uint64_t>(LLONG_MAX) - count) return {};
    const auto* bytes = static_cast<const unsigned char*>(source);
    Transfer result = transferAll(count, [&](std::size_t done, std::size_t chunk) {
        return ::pwrite(descriptor(handle_), bytes + done, chunk, static_cast<off_t>(offset + done));
    });
    result.ok = result.ok && result.done == count;
    return result;
}

std::uint64_t File::size() const {
    struct stat info {};
    if (fstat(descriptor(handle_), &info) != 0) return kSizeQueryFailed;
    return static_cast<std::uint64_t>(info.st_size);
}

bool File::truncateToEmpty() {
    written_ = lengthAtOpen_ = 0;
    return ftruncate(descriptor(handle_), 0) == 0;
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

CopyResult File::gatherRows(const File& input, std::span<const std::uint8_t> start, const RowCopy& copy) {
    const std::size_t padding = copy.outputStride - copy.width;
    if (copy.rowBytes() < kNarrowestGatheredRow || padding > sizeof kZeros) return {CopyOutcome::NotGathered, 0};
    GatheredWriter output(descriptor(handle_));
    CopyOutcome outcome = output.add(start.data(), start.size());
    const std::size_t perWindow = std::max<std::size_t>(1, kWindowBytes / copy.inputStride);
    for (std::size_t done = 0; done < copy.height && outcome == CopyOutcome::Done;) {
        const std::size_t rows = std::min(perWindow, copy.height - done);
        const std::size_t first = copy.reverse ? copy.height - done - rows : done;
        const MappedWindow window(descriptor(input.handle_), copy.inputOffset + std::uint64_t{first} * copy.inputStride,
                                  rows * copy.inputStride);
        if (!window) {
            // The first window not mapped, nothing is written yet and a band can take over.
            outcome = done == 0 ? CopyOutcome::NotGathered : CopyOutcome::ReadFailed;
            break;
        }
        for (std::size_t row = done; row < done + rows && outcome == CopyOutcome::Done; ++row) {
            outcome = output.add(window.data() + (copy.sourceRow(row) - first) * copy.inputStride, copy.width);
            if (outcome == CopyOutcome::Done) outcome = output.add(kZeros, padding);
        }
        if (outcome == CopyOutcome::Done) outcome = output.flush();  // while the window is mapped
        done += rows;
    }
    if (outcome == CopyOutcome::Done) outcome = output.flush();
    written_ += output.written();
    return {outcome, output.written()};
}

void writeStandardOutput(std::string_view text) { std::fwrite(text.data(), 1, text.size(), stdout); }

}  // namespace quorvel::platform
