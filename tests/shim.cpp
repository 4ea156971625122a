// Loaded into the program under test (LD_PRELOAD; under qemu-user and wine
// too, into the emulator's own process), this holds a run exactly where a
// case wants it, whatever the machine's speed, on the file whose path ends
// in "/" QUORVEL_SHIM_FILE (the input being converted: QUORVEL_SHIM_INPUT):
// - QUORVEL_STOP_AT=N stops the process (SIGSTOP) just before its Nth
//   write (QUORVEL_PAUSE: see letHandlerGoFirst);
// - QUORVEL_FAIL_READ=N makes its Nth read fail (EIO);
// - QUORVEL_SHORT_READ=N gives half of the Nth read and from then on
//   nothing, as if the file ended there.
#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

long setting(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::atol(value) : 0;
}

// Whether `fd` is the file whose path ends in "/" and the setting `file`.
bool watched(int fd, const char* file) {
    const char* name = std::getenv(file);
    char link[64], path[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = name ? readlink(link, path, sizeof path) : -1;
    const std::size_t size = std::strlen(name ? name : "");
    return length > static_cast<ssize_t>(size) && path[length - size - 1] == '/' &&
           std::memcmp(path + length - size, name, size) == 0;
}

bool stopped = false;

void beforeWrite(int fd) {
    static long writes = 0;
    static const long stopAt = setting("QUORVEL_STOP_AT");
    if (stopAt <= 0 || !watched(fd, "QUORVEL_SHIM_FILE") || ++writes != stopAt) return;
    stopped = true;
    raise(SIGSTOP);
}

// A Windows program's Ctrl-C handler runs on a thread started once the
// interrupted write has returned, and waits for any write in flight: the
// next read, outside any write, waits QUORVEL_PAUSE milliseconds for it to
// empty the output and end the process.
void letHandlerGoFirst() {
    static const long pause = setting("QUORVEL_PAUSE");
    if (pause <= 0 || !stopped) return;
    stopped = false;
    timespec left{pause / 1000, pause % 1000 * 1000000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// What a read of `count` bytes is to become: -1 to fail, 0 to end, `count` to go ahead.
ssize_t readAllowed(int fd, size_t count) {
    static long reads = 0;
    static const long failAt = setting("QUORVEL_FAIL_READ"), shortAt = setting("QUORVEL_SHORT_READ");
    if (stopped && watched(fd, "QUORVEL_SHIM_INPUT")) letHandlerGoFirst();
    if ((failAt == 0 && shortAt == 0) || !watched(fd, "QUORVEL_SHIM_FILE")) return static_cast<ssize_t>(count);
    ++reads;
    if (reads == failAt) {
        errno = EIO;
        return -1;
    }
    if (shortAt == 0 || reads < shortAt) return static_cast<ssize_t>(count);
    return reads == shortAt ? static_cast<ssize_t>(count / 2) : 0;
}

}  // namespace

// Each call goes on to the C library's own, looked up once.
#define QUORVEL_REAL(self) static const auto real = reinterpret_cast<decltype(&self)>(dlsym(RTLD_NEXT, #self))

extern "C" {

ssize_t write(int fd, const void* bytes, size_t count) {
    QUORVEL_REAL(write);
    beforeWrite(fd);
    return real(fd, bytes, count);
}
ssize_t pwrite(int fd, const void* bytes, size_t count, off_t at) {
    QUORVEL_REAL(pwrite);
    beforeWrite(fd);
    return real(fd, bytes, count, at);
}
ssize_t pwrite64(int fd, const void* bytes, size_t count, off64_t at) {
    QUORVEL_REAL(pwrite64);
    beforeWrite(fd);
    return real(fd, bytes, count, at);
}
ssize_t pread(int fd, void* bytes, size_t count, off_t at) {
    QUORVEL_REAL(pread);
    const ssize_t allowed = readAllowed(fd, count);
    return allowed <= 0 ? allowed : real(fd, bytes, static_cast<size_t>(allowed), at);
}
ssize_t pread64(int fd, void* bytes, size_t count, off64_t at) {
    QUORVEL_REAL(pread64);
    const ssize_t allowed = readAllowed(fd, count);
    return allowed <= 0 ? allowed : real(fd, bytes, static_cast<size_t>(allowed), at);
}

}  // extern "C"
