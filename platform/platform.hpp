// The operating-system services the converter needs: files, console output,
// memory and process end. One interface; posix.cpp and win32.cpp implement
// the file operations, runtime.cpp the rest on the C runtime.
#pragma once

#include <cstddef>
#include <cstdint>
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

inline constexpr std::uint64_t kSizeQueryFailed = UINT64_MAX;

// Bytes read at positions: a file, or a stream another program hands over.
class Readable {
public:
    virtual ~Readable() = default;
    // Reads from `offset` on; where the file position is left afterwards is unspecified.
    virtual Transfer readAt(std::uint64_t offset, void* destination, std::size_t count) = 0;
    virtual std::uint64_t size() const = 0;  // length in bytes, kSizeQueryFailed if it cannot be told
};

// One open file, closed when the object goes away (or earlier by close()).
class File final : public Readable {
public:
    File() = default;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    File(File&& other) noexcept;
    File& operator=(File&&) = delete;
    ~File() override;

    bool isOpen() const;
    Transfer readAt(std::uint64_t offset, void* destination, std::size_t count) override;
    Transfer write(const void* source, std::size_t count);
    // Writes at `offset`, leaving where write() goes on as it was: the bytes
    // that begin an output go in last, over the zeros that held their place.
    Transfer writeAt(std::uint64_t offset, const void* source, std::size_t count);
    // A regular file, whose bytes writeAt can reach; a FIFO or device is not.
    bool seekable() const { return seekable_; }
    std::uint64_t size() const override;
    void truncateToEmpty();           // the file's length becomes 0 where it can; nothing is written after
    bool cutToWritten();              // the file ends where the furthest byte written since it was opened ends
    void close();                     // cuts an output to what was written, then closes
    // The output is whole: an interrupt from now on leaves it as it is.
    void markWhole();

private:
    friend File openForReading(const char* name);
    friend File createForWriting(const char* path, const File& input);

    // A file descriptor on POSIX, a HANDLE on Win32.
    explicit File(std::intptr_t handle) : handle_(handle) {}
    static constexpr std::intptr_t kClosed = -1;
    std::intptr_t handle_ = kClosed;
    std::uint64_t position_ = 0;      // where write() goes on
    std::uint64_t written_ = 0;       // where the furthest byte written since it was opened ends
    std::uint64_t lengthAtOpen_ = 0;  // what is left to cut off when it is closed
    bool seekable_ = false;
};

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

// Before the program ends: on Windows, a console window of the program's
// own, opened by Explorer, says "Press Enter to close this window." and
// waits for Enter, so that its messages can be read. Anywhere else nothing.
void holdConsoleForReader();

// Ends the process at once with `status`, standard output flushed first
// (and the console held for its reader).
[[noreturn]] void endProcess(int status);

// A byte buffer obtained from the heap. A request that cannot be met leaves
// it empty (data() is null); a request for 0 bytes yields a usable buffer.
class Buffer {
public:
    Buffer() = default;
    // Holds at least `bytes` from now on (what it held is lost if it grows),
    // or nothing, and false, when that much cannot be had.
    bool reserve(std::size_t bytes);

    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    Buffer(Buffer&&) = delete;
    Buffer& operator=(Buffer&&) = delete;
    ~Buffer();

    std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

// Memory for a large buffer in pages the system backs with huge ones, which
// free() releases; `bytes` grows to the whole pages taken. Null where the
// system grants none or the request is small: the heap serves instead.
std::uint8_t* largePages(std::size_t& bytes);

}  // namespace quorvel::platform
