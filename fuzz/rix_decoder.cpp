// The compressed-pixel decoder alone, on bytes in memory: the first four
// bytes choose the row's length (1 to 256), the height (1 to 256) and
// whether the XOR filter applies; the rest is compressed data from the node
// table on. The decoder must accept exactly what the reference accepts,
// and give the same rows.
#include <cstdio>
#include <cstdlib>

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

void expect(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "decoder check failed: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    const std::size_t rowBytes = data[0] + 1u, height = data[1] + 1u;
    const bool xorFilter = data[2] & 1;
    const reference::Bytes codes(data + 4, data + size);
    Memory memory(codes);
    quorvel::rixcode::CompressedPixels pixels(rowBytes, static_cast<std::uint32_t>(height), xorFilter);
    const std::optional<reference::Bytes> expected = reference::decompress(codes, rowBytes, height, xorFilter);
    reference::Bytes rows(rowBytes * height);
    bool accepted = pixels.readLayout(memory, codes.size());
    for (std::size_t row = 0; row < height && accepted; ++row) accepted = pixels.nextRow(memory, &rows[row * rowBytes]);
    expect(accepted == expected.has_value(), accepted ? "data the reference refuses was accepted" : "readable data was refused");
    expect(!accepted || rows == *expected, "the rows differ from the reference's");
    return 0;
}
