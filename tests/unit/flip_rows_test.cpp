#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "convert/convert.hpp"

namespace quorvel {
namespace {

struct FlipCase {
    std::size_t width;
    std::size_t height;
};

class FlipRows : public ::testing::TestWithParam<FlipCase> {};

TEST_P(FlipRows, ReversesRowOrderAndKeepsEachRow) {
    const auto [width, height] = GetParam();
    std::vector<std::uint8_t> rows(width * height);
    std::iota(rows.begin(), rows.end(), std::uint8_t{1});
    const std::vector<std::uint8_t> original = rows;
    std::vector<std::uint8_t> rowBuffer(width + 1, 0xEE);
    flipRows(rows.data(), width, height, rowBuffer.data());
    for (std::size_t y = 0; y < height; ++y)
        for (std::size_t x = 0; x < width; ++x)
            ASSERT_EQ(rows[y * width + x], original[(height - 1 - y) * width + x]) << x << "," << y;
    EXPECT_EQ(rowBuffer[width], 0xEE) << "row buffer written past one row";
}

INSTANTIATE_TEST_SUITE_P(Convert, FlipRows,
                         ::testing::Values(FlipCase{0, 0}, FlipCase{0, 5}, FlipCase{3, 0},
                                           FlipCase{3, 1}, FlipCase{3, 2}, FlipCase{1, 3},
                                           FlipCase{5, 4}, FlipCase{7, 5}));

}  // namespace
}  // namespace quorvel
