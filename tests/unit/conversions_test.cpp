// Both conversions inside the test process: every valid image gives exactly
// the expected file in bands of any width, every malformed input exactly
// one message and an empty output, and the run's header travels from a
// ColorRIX read whole to the next ColorRIX written.
#include <gtest/gtest.h>

#include "support/valid_images.hpp"

namespace quorvel::testing {
namespace {

class ValidImages : public ::testing::TestWithParam<ValidImage> {};

// One band, one row a band, and a band count that is not whole.
TEST_P(ValidImages, ConvertExactlyInBandsOfAnyWidth) {
    for (const std::size_t budget : {kBandBudget, std::size_t{1}, std::size_t{13}}) {
        const Conversion outcome = convertInProcess(GetParam().direction, GetParam().input, budget);
        EXPECT_EQ(outcome.messages, "File created : output\n") << "budget " << budget;
        EXPECT_TRUE(outcome.output == GetParam().expected) << "budget " << budget;
    }
}

INSTANTIATE_TEST_SUITE_P(Convert, ValidImages, ::testing::ValuesIn(validImages()),
                         [](const auto& info) { return info.param.name; });

Bytes with32(Bytes bytes, std::size_t at, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) bytes.at(at + i) = static_cast<std::uint8_t>(value >> (8 * i));
    return bytes;
}
Bytes withByte(Bytes bytes, std::size_t at, std::uint8_t value) { return bytes.at(at) = value, bytes; }
Bytes cut(const Bytes& bytes, std::size_t size) { return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size)); }

const Bytes kRix = rixFile(patternImage(9, 7), rixPalette());
const Bytes kInfo = bitmapFile(patternImage(6, 3), bitmapPalette());          // pixels at 1078
const Bytes kCore = bitmapFile(patternImage(6, 3), bitmapPalette(), {12});   // pixels at 794
const Bytes kShort16 = bitmapFile(patternImage(6, 3), bitmapPalette(), {16});

struct Malformed {
    const char* name;
    Direction direction;
    Bytes input;
    const char* message;  // naming the input
};

class MalformedInputs : public ::testing::TestWithParam<Malformed> {};

TEST_P(MalformedInputs, GiveOneMessageAndAnEmptyOutput) {
    const Conversion outcome = convertInProcess(GetParam().direction, GetParam().input);
    EXPECT_EQ(outcome.messages, GetParam().message);
    EXPECT_TRUE(outcome.output.empty());
}

constexpr auto R = Direction::RixToBmp;
constexpr auto B = Direction::BmpToRix;
const char kNoRix[] = "Cannot read RIX into buffer! File : input\n";
const char kInvalid[] = "File input is not a valid 256-color bitmap file.\n";
const char kNoPalette[] = "Can't read palette from a bitmap file : input\n";
const char kNoPixels[] = "Can't read raw data from a bitmap file : input\n";

INSTANTIATE_TEST_SUITE_P(
    Convert, MalformedInputs,
    ::testing::Values(
        Malformed{"rix_empty", R, {}, "Cannot read RIX3 signature! File : input\n"},
        Malformed{"rix_three_bytes", R, cut(kRix, 3), "Cannot read RIX3 signature! File : input\n"},
        Malformed{"rix_lowercase_signature", R, withByte(kRix, 0, 'r'), "Not a ColorRIX Image File format. File : input\n"},
        Malformed{"rix_signature_only", R, cut(kRix, 4), kNoRix},
        Malformed{"rix_palette_cut", R, cut(kRix, 777), kNoRix},
        Malformed{"rix_last_pixel_missing", R, cut(kRix, kRix.size() - 1), kNoRix},
        Malformed{"rix_huge_size_claimed", R, with32(kRix, 4, 0xFFFFFFFF), kNoRix},
        Malformed{"bmp_empty", B, {}, "Cannot read BMP signature, file : input\n"},
        Malformed{"bmp_thirteen_bytes", B, cut(kInfo, 13), "Cannot read BMP signature, file : input\n"},
        Malformed{"bmp_not_bm", B, withByte(kInfo, 1, 'A'), "Not a Bitmap File format. File : input\n"},
        Malformed{"bmp_core_header_cut", B, cut(kInfo, 25), "Cannot read bitmap core header, file : input\n"},
        Malformed{"bmp_info_header_cut", B, cut(kInfo, 53), "Cannot read bitmap info header, file input\n"},
        Malformed{"bmp_16_byte_header_cut", B, cut(kShort16, 29), "Cannot read bitmap info header, file input\n"},
        Malformed{"bmp_compressed", B, withByte(kInfo, 30, 1), "Compressed bitmap. Can't convert. File : input"},
        Malformed{"bmp_compressed_24_bits", B, withByte(withByte(kInfo, 30, 1), 28, 24), "Compressed bitmap. Can't convert. File : input"},
        Malformed{"bmp_24_bits", B, withByte(kInfo, 28, 24), kInvalid},
        Malformed{"bmp_core_4_bits", B, withByte(kCore, 24, 4), kInvalid},
        Malformed{"bmp_14_byte_header", B, bitmapFile(patternImage(6, 3), bitmapPalette(), {14}), kInvalid},
        Malformed{"bmp_width_65536", B, with32(kInfo, 18, 65536), kInvalid},
        Malformed{"bmp_width_negative", B, with32(kInfo, 18, 0xFFFFFFFF), kInvalid},
        Malformed{"bmp_height_65536", B, with32(kInfo, 22, 65536), kInvalid},
        Malformed{"bmp_height_minus_65536", B, with32(kInfo, 22, static_cast<std::uint32_t>(-65536)), kInvalid},
        Malformed{"bmp_offbits_below_header", B, with32(kInfo, 10, 40), kNoPalette},
        Malformed{"bmp_no_whole_entry", B, with32(kInfo, 10, 57), kNoPalette},
        Malformed{"bmp_header_size_huge", B, with32(kInfo, 14, 0xFFFFFFF0u), kNoPalette},
        Malformed{"bmp_palette_cut", B, cut(kInfo, 54 + 1000), kNoPalette},
        Malformed{"bmp_core_palette_cut", B, cut(kCore, 26 + 767), kNoPalette},
        Malformed{"bmp_pixels_cut", B, cut(kInfo, kInfo.size() - 9), kNoPixels},
        Malformed{"bmp_last_padding_missing", B, cut(kInfo, kInfo.size() - 1), kNoPixels},
        Malformed{"bmp_offbits_past_end", B, with32(kCore, 10, 0x7FFFFFFF), kNoPixels},
        Malformed{"bmp_huge_size_claimed", B, with32(with32(kInfo, 18, 65535), 22, 65535), kNoPixels}),
    [](const auto& info) { return std::string(info.param.name); });

struct CarryCase {
    const char* name;
    std::vector<Bytes> before;  // converted in this order before the bitmap
    std::uint16_t paletteInfo;  // bytes 8-9 of the ColorRIX made of the bitmap
};

class RunHeader : public ::testing::TestWithParam<CarryCase> {};

TEST_P(RunHeader, BytesEightAndNineComeFromTheLastColorRixReadWhole) {
    RixHeader header = initialRunHeader();
    for (const Bytes& input : GetParam().before) {
        const Direction direction = input.at(0) == 'B' ? Direction::BmpToRix : Direction::RixToBmp;
        header = convertInProcess(direction, input, kBandBudget, header).header;
    }
    const IndexedImage image = patternImage(6, 3);
    const Conversion outcome =
        convertInProcess(Direction::BmpToRix, bitmapFile(image, bitmapPalette()), kBandBudget, header);
    EXPECT_TRUE(outcome.output == expectedRix(image, bitmapPalette(), GetParam().paletteInfo));
}

const Bytes kRix1 = rixFile(patternImage(3, 3), rixPalette(), 1);
const Bytes kRix175 = rixFile(patternImage(3, 3), rixPalette(), 175);

INSTANTIATE_TEST_SUITE_P(
    Convert, RunHeader,
    ::testing::Values(CarryCase{"none_before", {}, 175}, CarryCase{"rix_before", {kRix1}, 1},
                      CarryCase{"latest_rix_wins", {kRix1, kRix175}, 175},
                      CarryCase{"bitmap_between", {kRix1, kInfo}, 1},
                      CarryCase{"cut_rix_passes_nothing", {cut(kRix1, kRix1.size() - 1)}, 175},
                      CarryCase{"wrong_signature_passes_nothing", {withByte(kRix1, 3, '4')}, 175}),
    [](const auto& info) { return std::string(info.param.name); });

#ifdef __linux__
// A batch of thousands of files must not run out of descriptors.
TEST(Files, AreAllClosedAfterEachConversion) {
    const auto open = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); };
    const auto before = open();
    for (const ValidImage& image : validImages()) convertInProcess(image.direction, image.input);
    convertInProcess(Direction::BmpToRix, {});
    EXPECT_EQ(open(), before);
}
#endif

}  // namespace
}  // namespace quorvel::testing
