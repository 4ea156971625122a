// Services both platforms take from the C runtime: console output, heap
// buffers, the process end, and the parts of File that need no system call.
#include "platform/platform.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

namespace quorvel::platform {

namespace {

ConsoleSink currentSink = writeStandardOutput;

}  // namespace

void print(const char* format, ...) {
    std::va_list arguments;
    va_start(arguments, format);
    std::va_list measuring;
    va_copy(measuring, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, measuring);
    va_end(measuring);
    if (length > 0) {
        std::string text(static_cast<std::size_t>(length), '\0');
        std::vsnprintf(text.data(), text.size() + 1, format, arguments);
        currentSink(text);
    }
    va_end(arguments);
}

ConsoleSink setConsoleSink(ConsoleSink sink) {
    return std::exchange(currentSink, sink ? sink : writeStandardOutput);
}

void endProcess(int status) {
    holdConsoleForReader();
    std::fflush(stdout);
    std::exit(status);
}

bool Buffer::reserve(std::size_t bytes) {
    if (data_ && size_ >= bytes) return true;
    std::free(std::exchange(data_, nullptr));
    data_ = largePages(bytes);
    if (!data_) data_ = static_cast<std::uint8_t*>(std::malloc(bytes ? bytes : 1));
    size_ = data_ ? bytes : 0;
    return data_ != nullptr;
}

Buffer::~Buffer() { std::free(data_); }

File::File(File&& other) noexcept
    : handle_(std::exchange(other.handle_, kClosed)),
      position_(other.position_),
      written_(other.written_),
      lengthAtOpen_(other.lengthAtOpen_),
      seekable_(other.seekable_) {}  // the moved-from file is closed: its counts no longer matter

File::~File() { close(); }

bool File::isOpen() const { return handle_ != kClosed; }

}  // namespace quorvel::platform
