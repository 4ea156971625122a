#include <cstring>

#include "convert/convert.hpp"

namespace quorvel {

void flipRows(std::uint8_t* rows, std::size_t width, std::size_t height, std::uint8_t* rowBuffer) {
    if (width == 0) return;
    for (std::size_t top = 0; top < height / 2; ++top) {
        std::uint8_t* upper = rows + top * width;
        std::uint8_t* lower = rows + (height - 1 - top) * width;
        std::memcpy(rowBuffer, upper, width);
        std::memcpy(upper, lower, width);
        std::memcpy(lower, rowBuffer, width);
    }
}

}  // namespace quorvel
