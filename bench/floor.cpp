// The floor any conversion is held against: the same bytes copied once,
// without reordering. The input is mapped whole and written with one write
// over whatever the output held, then the output is cut to its length.
//
//     copy_floor in out
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    const int in = open(argv[1], O_RDONLY);
    struct stat info {};
    if (in < 0 || fstat(in, &info) != 0) return 1;
    const auto size = static_cast<size_t>(info.st_size);
    void* mapped = size ? mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, in, 0) : nullptr;
    if (mapped == MAP_FAILED) return 1;
    const int out = open(argv[2], O_WRONLY | O_CREAT, 0666);
    if (out < 0) return 1;
    for (size_t done = 0; done < size;) {
        const ssize_t moved = write(out, static_cast<const char*>(mapped) + done, size - done);
        if (moved <= 0) return 1;
        done += static_cast<size_t>(moved);
    }
    return ftruncate(out, info.st_size) == 0 ? 0 : 1;
}
