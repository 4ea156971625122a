// Loaded into the program under test (LD_PRELOAD), this stops the process
// with SIGSTOP just before its Nth write to a file other than the standard
// ones, N from QUORVEL_STOP_AT: a test finds the run held exactly where it
// wants it, whatever the machine's speed, and small pictures suffice.
#include <dlfcn.h>
#include <signal.h>
#include <sys/types.h>

#include <cstdlib>

namespace {

long writesLeft = -1;  // before the stop; 0 once stopped, or with no stop asked for

void beforeWrite(int fd) {
    if (fd <= 2) return;
    if (writesLeft < 0) {
        const char* at = std::getenv("QUORVEL_STOP_AT");
        writesLeft = at ? std::atol(at) : 0;
    }
    if (writesLeft > 0 && --writesLeft == 0) raise(SIGSTOP);
}

template <typename Function>
Function next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

ssize_t write(int fd, const void* bytes, size_t count) {
    static const auto real = next<ssize_t (*)(int, const void*, size_t)>("write");
    beforeWrite(fd);
    return real(fd, bytes, count);
}

ssize_t pwrite(int fd, const void* bytes, size_t count, off_t offset) {
    static const auto real = next<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
    beforeWrite(fd);
    return real(fd, bytes, count, offset);
}

ssize_t pwrite64(int fd, const void* bytes, size_t count, off64_t offset) {
    static const auto real = next<ssize_t (*)(int, const void*, size_t, off64_t)>("pwrite64");
    beforeWrite(fd);
    return real(fd, bytes, count, offset);
}

}  // extern "C"
