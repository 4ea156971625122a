// The operating-system services the converter needs: files, console output,
// memory and process end. One interface; posix.cpp and win32.cpp implement
// the file operations, runtime.cpp the rest on the C runtime.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace quorvel::platform {

// Outcome of a read or write: `ok` is false only when the system reported an
// error. `done` counts the bytes actually moved, so a caller can tell a read
// that stopped at the end of the file from one that delivered everything.
struct Transfer {
    bool ok = false;
    std::size_t done = 0;

    bool complete(std::size_t wanted) const { return ok && done == wanted; }
};

// How the stored rows of an input become the rows of an output. The
// conversions describe it; how the bytes move is the platform's affair.
struct RowCopy {
    std::uint64_t inputOffset;  // where the input's first stored row starts
    std::size_t width;          // pixels per row
    std::size_t height;         // rows
    std::size_t inputStride;    // bytes per stored input row (width, or padded)
    std::size_t outputStride;   // bytes per written row; padding is written as zeros
    bool reverse;               // the output takes the rows in the opposite order

    std::size_t rowBytes() const { return inputStride > outputStride ? inputStride : outputStride; }
    // The input's stored row that becomes output row `row`.
    std::size_t sourceRow(std::size_t row) const { return reverse ? height - 1 - row : row; }
    std::uint64_t inputEnd() const { return inputOffset + std::uint64_t{inputStride} * height; }
};

enum class CopyOutcome { Done, ReadFailed, WriteFailed, NoMemory, NotGathered };

// How a copy ended, and how many bytes of the output it wrote.
struct CopyResult {
    CopyOutcome outcome;
    std::uint64_t written;
};

// One open file, closed when the object goes away (or earlier by close()).
class File {
public:
    File() = default;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    File(File&& other) noexcept;
    File& operator=(File&&) = delete;
    ~File();

    bool isOpen() const;
    // Reads from `offset` on; where the file position is left afterwards is unspecified.
    Transfer readAt(std::uint64_t offset, void* destination, std::size_t count);
    Transfer write(const void* source, std::size_t count);
    // Writes at `offset`, leaving where write() goes on as it was: the bytes
    // that begin an output go in last, over the zeros that held their place.
    Transfer writeAt(std::uint64_t offset, const void* source, std::size_t count);
    // A regular file, whose bytes writeAt can reach; a FIFO or device is not.
    bool seekable() const { return seekable_; }
    std::uint64_t size() const;       // length in bytes, kSizeQueryFailed if it cannot be told
    bool truncateToEmpty();           // the file's length becomes 0; nothing is written after
    bool cutToWritten();              // the file ends where what was written since it was opened ends
    void close();                     // cuts an output to what was written, then closes
    // The output is whole: an interrupt from now on leaves it as it is.
    void markWhole();

    // Writes `start`, then the rows `copy` describes, straight from the
    // input's pages in gathered writes, where the system allows it and the
    // rows are wide enough to pay. Otherwise writes nothing and returns
    // NotGathered: the caller moves the rows itself.
    CopyResult gatherRows(const File& input, std::span<const std::uint8_t> start, const RowCopy& copy);

private:
    friend File openForReading(const char* name);
    friend File createForWriting(const char* path, const File& input);

    // A file descriptor on POSIX, a HANDLE on Win32.
    explicit File(std::intptr_t handle) : handle_(handle) {}
    static constexpr std::intptr_t kClosed = -1;
    std::intptr_t handle_ = kClosed;
    std::uint64_t written_ = 0;       // bytes written since it was opened
    std::uint64_t lengthAtOpen_ = 0;  // what is left to cut off when it is closed
    bool seekable_ = false;
};

inline constexpr std::uint64_t kSizeQueryFailed = UINT64_MAX;

// An existing file, read-only; others may read it at the same time, but
// no other run of this program may be writing it.
File openForReading(const char* name);

// A new file, or an existing one emptied, write-only and not shared: no
// other run of this program may be reading or writing it. Refused (a closed
// File is returned) when `path` names the same file as `input`: emptying it
// would destroy the input before it is read. On POSIX an existing file is
// written over in place and cut to what was written when it is closed,
// which spares freeing its pages and taking new ones; either way it holds
// exactly what was written once it is closed. Until it is closed or marked
// whole, an interrupt empties it (see emptyOutputOnInterrupt).
File createForWriting(const char* path, const File& input);

// From here on an interrupt (SIGINT, SIGTERM or SIGHUP; on Windows Ctrl-C,
// Ctrl-Break or the console closing) empties the output being written, as
// a failed read would, and then ends the process as the interrupt ends a
// program. Nothing is printed. An interrupt the program was started to
// ignore stays ignored.
void emptyOutputOnInterrupt();

// printf-style output to standard output; nothing goes to the error stream.
void print(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Where printed text goes: standard output unless a test captures it.
using ConsoleSink = void (*)(std::string_view text);
ConsoleSink setConsoleSink(ConsoleSink sink);

// UTF-8 text to standard output, in whatever form the system shows it right.
void writeStandardOutput(std::string_view text);

#if defined(_WIN32)
// The arguments as Windows holds them, UTF-16, each turned into UTF-8, as an
// argv that lasts as long as the process.
char** utf8Arguments(int count, wchar_t** arguments);
#endif

// Ends the process at once with `status`, standard output flushed first.
[[noreturn]] void endProcess(int status);

// A byte buffer obtained from the heap. A request that cannot be met leaves
// it empty (data() is null); a request for 0 bytes yields a usable buffer.
class Buffer {
public:

    Buffer() = default;
    static Buffer allocate(std::size_t bytes);

    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    Buffer(Buffer&&) = delete;
    Buffer& operator=(Buffer&&) = delete;
    ~Buffer();

    explicit operator bool() const { return data_ != nullptr; }
    std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    Buffer(std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace quorvel::platform
