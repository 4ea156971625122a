// The run-length decoder alone, on bytes in memory: the first four bytes
// choose the width (1 to 256), the height (1 to 256) and RLE4 or RLE8; the
// rest is the stream. It must give the reference's rows, and fail where the
// reference finds the stream cut short.
#include <cstdio>
#include <cstdlib>

#include "formats/bmp_rle.hpp"
#include "reference.hpp"

namespace {

class Memory : public quorvel::ByteSource {
public:
    explicit Memory(const reference::Bytes& bytes) : bytes_(bytes) {}
    const std::uint8_t* bytes(std::uint64_t offset, std::size_t count) override {
        return offset <= bytes_.size() && bytes_.size() - offset >= count ? bytes_.data() + offset : nullptr;
    }

private:
    const reference::Bytes& bytes_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    const std::size_t width = data[0] + 1u, height = data[1] + 1u;
    const bool fourBits = data[2] & 1;
    const reference::Bytes stream(data + 4, data + size);
    Memory memory(stream);
    quorvel::rle::RunLengthRows decoder(memory, stream.size(), width, height, fourBits);
    reference::Bytes rows(width * height);
    bool whole = true;
    for (std::size_t row = 0; row < height && whole; ++row) whole = decoder.nextRow(&rows[row * width]);
    const std::optional<reference::Bytes> expected = reference::runLengthRows(stream, width, height, fourBits);
    if (whole != expected.has_value() || (whole && rows != *expected)) {
        std::fprintf(stderr, "run-length check failed: %s\n", whole ? "rows differ or a cut stream was taken" : "a whole stream was refused");
        std::abort();
    }
    return 0;
}
