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
    std::fflush(stdout);
    std::exit(status);
}

Buffer Buffer::allocate(std::uint64_t bytes) {
    // Sizes come from file headers; anything beyond the 32-bit limit, or
    // beyond what this process can address, is refused rather than wrapped.
    if (bytes > kLargestRequest || bytes > SIZE_MAX) return {};
    const auto size = static_cast<std::size_t>(bytes);
    auto* memory = static_cast<std::uint8_t*>(std::malloc(size ? size : 1));
    return Buffer(memory, memory ? size : 0);
}

Buffer::Buffer(Buffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

Buffer& Buffer::operator=(Buffer&& other) noexcept {
    if (this != &other) {
        std::free(data_);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

Buffer::~Buffer() { std::free(data_); }

File::File(File&& other) noexcept
    : handle_(std::exchange(other.handle_, kClosed)),
      written_(std::exchange(other.written_, 0)),
      lengthAtOpen_(std::exchange(other.lengthAtOpen_, 0)) {}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, kClosed);
        written_ = std::exchange(other.written_, 0);
        lengthAtOpen_ = std::exchange(other.lengthAtOpen_, 0);
    }
    return *this;
}

File::~File() { close(); }

bool File::isOpen() const { return handle_ != kClosed; }

}  // namespace quorvel::platform
