// A decoder alone, on bytes in memory: the compressed ColorRIX pixels
// (QUORVEL_FUZZ_RLE 0) or run-length bitmap rows (1). The first four bytes
// choose the row's length and the height (each 1 to 256) and the filter or
// RLE4; the rest is the coded data. The decoder must accept exactly what
// the reference accepts, and give the same rows.
#include <cstdio>
#include <cstdlib>

#include "formats/bmp_rle.hpp"
#include "formats/rix_compression.hpp"
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
    const std::size_t rowBytes = data[0] + 1u, height = data[1] + 1u;
    const bool option = data[2] & 1;
    const reference::Bytes coded(data + 4, data + size);
    Memory memory(coded);
    reference::Bytes rows(rowBytes * height);
    bool whole = true;
#if QUORVEL_FUZZ_RLE
    quorvel::rle::RunLengthRows decoder(memory, coded.size(), rowBytes, height, option);
    for (std::size_t row = 0; row < height && whole; ++row) whole = decoder.nextRow(&rows[row * rowBytes]);
    const std::optional<reference::Bytes> expected = reference::runLengthRows(coded, rowBytes, height, option);
#else
    quorvel::rixcode::CompressedPixels pixels(rowBytes, static_cast<std::uint32_t>(height), option);
    whole = pixels.readLayout(memory, coded.size());
    for (std::size_t row = 0; row < height && whole; ++row) whole = pixels.nextRow(memory, &rows[row * rowBytes]);
    const std::optional<reference::Bytes> expected = reference::decompress(coded, rowBytes, height, option);
#endif
    if (whole != expected.has_value() || (whole && rows != *expected)) {
        std::fprintf(stderr, "decoder check failed: %s\n", whole ? "rows differ, or data the reference refuses was taken"
                                                                  : "data the reference reads was refused");
        std::abort();
    }
    return 0;
}
