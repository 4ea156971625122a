// Both conversions in bands narrower than the tool's: every band split
// (one row wider than the budget, a band count that is not whole, one band)
// must give exactly the files a single pass gives.
#include <gtest/gtest.h>

#include "support/in_process.hpp"

namespace quorvel::testing {
namespace {

struct BandCase {
    std::uint16_t width;
    std::uint16_t height;
    std::size_t budget;
};

class Bands : public ::testing::TestWithParam<BandCase> {};

TEST_P(Bands, GiveTheExactFilesBothWays) {
    const auto [width, height, budget] = GetParam();
    const IndexedImage image = patternImage(width, height);
    const Conversion toBitmap = convertInProcess(Direction::RixToBmp, rixFile(image, rixPalette()), budget);
    EXPECT_EQ(toBitmap.messages, "File created : output\n");
    EXPECT_EQ(toBitmap.output, expectedBitmap(image, rixPalette()));
    for (const bool topDown : {false, true}) {
        const Bytes bitmap = bitmapFile(image, bitmapPalette(), {40, 1, 8, 0, topDown});
        const Conversion toRix = convertInProcess(Direction::BmpToRix, bitmap, budget);
        EXPECT_EQ(toRix.messages, "File created : output\n");
        EXPECT_EQ(toRix.output, expectedRix(image, bitmapPalette())) << (topDown ? "top-down" : "bottom-up");
    }
}

INSTANTIATE_TEST_SUITE_P(Convert, Bands,
                         ::testing::Values(BandCase{7, 5, 1}, BandCase{7, 5, 17}, BandCase{8, 6, 16},
                                           BandCase{3, 9, 8}, BandCase{5, 1, 1024}, BandCase{6, 4, 24},
                                           BandCase{640, 480, kBandBudget}),
                         [](const auto& info) {
                             return std::to_string(info.param.width) + "x" + std::to_string(info.param.height) +
                                    "_budget" + std::to_string(info.param.budget);
                         });

}  // namespace
}  // namespace quorvel::testing
