// Bitmap -> ColorRIX through the built program, and runs mixing both
// directions, where the header's bytes 8-9 travel from one file to the next.
#include <gtest/gtest.h>

#include <filesystem>

#include "e2e/harness.hpp"

namespace quorvel::testing {
namespace {

namespace fs = std::filesystem;

struct BitmapCase {
    const char* label;
    std::uint16_t width;
    std::uint16_t height;
    std::size_t entries;
    BitmapLayout layout;
};

class BmpToRixLayouts : public ::testing::TestWithParam<BitmapCase> {};

TEST_P(BmpToRixLayouts, WriteTheExactColorRix) {
    const BitmapCase& c = GetParam();
    const IndexedImage image = patternImage(c.width, c.height);
    const std::vector<Rgb> palette = bitmapPalette(c.entries);
    Workspace workspace;
    workspace.write("in.bmp", bitmapFile(image, palette, c.layout));
    const RunResult result = workspace.run({"in.bmp"});
    EXPECT_EQ(result.out, lines("File created : in.rix\n"));
    const Bytes rix = workspace.read("in.rix");
    EXPECT_EQ(rix, expectedRix(image, palette));
    EXPECT_EQ(rix.size(), 778u + std::size_t{c.width} * c.height);
}

INSTANTIATE_TEST_SUITE_P(
    BmpToRix, BmpToRixLayouts,
    ::testing::Values(BitmapCase{"info_640x480", 640, 480, 256, {40}},
                      BitmapCase{"core_640x480", 640, 480, 256, {12}},
                      BitmapCase{"core_planes2_quads", 8, 3, 256, {12, 2, 8, 0, false, true}},
                      BitmapCase{"v4_header", 8, 4, 256, {108}},
                      BitmapCase{"os2_16_byte_header", 6, 3, 256, {16}},
                      BitmapCase{"header20_holds_compression", 5, 2, 256, {20}},
                      BitmapCase{"v5_header", 16, 5, 256, {124}},
                      BitmapCase{"sixteen_entries", 12, 6, 16, {40}},
                      BitmapCase{"one_entry_core", 4, 2, 1, {12}},
                      BitmapCase{"width1", 1, 5, 256, {40}},
                      BitmapCase{"width3_core", 3, 4, 256, {12}},
                      BitmapCase{"width5", 5, 3, 256, {40}},
                      BitmapCase{"width6", 6, 2, 256, {40}},
                      BitmapCase{"width7_v5", 7, 7, 256, {124}},
                      BitmapCase{"top_down", 7, 5, 256, {40, 1, 8, 0, true}},
                      BitmapCase{"top_down_640x480", 640, 480, 256, {40, 1, 8, 0, true}},
                      BitmapCase{"height1", 9, 1, 256, {40}},
                      BitmapCase{"height0", 9, 0, 256, {40}},
                      BitmapCase{"width0", 0, 4, 256, {40}}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(BmpToRix, PaletteComponentsAreNarrowedByShifting) {
    std::vector<Rgb> palette = bitmapPalette();
    palette[0] = {255, 3, 4};
    Workspace workspace;
    workspace.write("p.bmp", bitmapFile(patternImage(4, 1), palette));
    workspace.run({"p.bmp"});
    const Bytes rix = workspace.read("p.rix");
    EXPECT_EQ(Bytes(rix.begin() + 10, rix.begin() + 13), (Bytes{63, 0, 1}));
}

Bytes withByte(Bytes bytes, std::size_t at, std::uint8_t value) {
    bytes.at(at) = value;
    return bytes;
}

Bytes with32(Bytes bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes.at(at + i) = static_cast<std::uint8_t>(value >> (8 * i));
    return bytes;
}

Bytes firstBytes(const Bytes& bytes, std::size_t count) { return Bytes(bytes.begin(), bytes.begin() + count); }

const Bytes kInfo = bitmapFile(patternImage(6, 3), bitmapPalette());         // pixels at 1078
const Bytes kCore = bitmapFile(patternImage(6, 3), bitmapPalette(), {12});  // pixels at 794

struct RefusalCase {
    const char* label;
    Bytes content;
    std::string message;  // %s is the input's name
};

class BmpRefusals : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(BmpRefusals, PrintOneMessageAndLeaveAnEmptyOutput) {
    Workspace workspace;
    workspace.write("bad.bmp", GetParam().content);
    const RunResult result = workspace.run({"bad.bmp"});
    std::string expected = GetParam().message;
    expected.replace(expected.find("%s"), 2, "bad.bmp");
    EXPECT_EQ(result.out, lines(expected));
    EXPECT_EQ(result.status, 0);
    ASSERT_TRUE(workspace.exists("bad.rix"));
    EXPECT_TRUE(workspace.read("bad.rix").empty());
}

const std::string kNoSignature = "Cannot read BMP signature, file : %s\n";
const std::string kNoCore = "Cannot read bitmap core header, file : %s\n";
const std::string kNoInfo = "Cannot read bitmap info header, file %s\n";
const std::string kCompressed = "Compressed bitmap. Can't convert. File : %s";
const std::string kInvalid = "File %s is not a valid 256-color bitmap file.\n";
const std::string kNoPalette = "Can't read palette from a bitmap file : %s\n";
const std::string kNoPixels = "Can't read raw data from a bitmap file : %s\n";

INSTANTIATE_TEST_SUITE_P(
    BmpToRix, BmpRefusals,
    ::testing::Values(
        RefusalCase{"empty", {}, kNoSignature},
        RefusalCase{"thirteen_bytes", firstBytes(kInfo, 13), kNoSignature},
        RefusalCase{"not_bm", withByte(kInfo, 1, 'A'), "Not a Bitmap File format. File : %s\n"},
        RefusalCase{"twentyfive_bytes", firstBytes(kInfo, 25), kNoCore},
        RefusalCase{"info_header_cut", firstBytes(kInfo, 53), kNoInfo},
        RefusalCase{"header16_cut", firstBytes(bitmapFile(patternImage(6, 3), bitmapPalette(), {16}), 29), kNoInfo},
        RefusalCase{"header14_without_bit_count", bitmapFile(patternImage(6, 3), bitmapPalette(), {14}), kInvalid},
        RefusalCase{"compressed", withByte(kInfo, 30, 1), kCompressed},
        RefusalCase{"compressed_24bit", withByte(withByte(kInfo, 30, 1), 28, 24), kCompressed},
        RefusalCase{"info_24bit", withByte(kInfo, 28, 24), kInvalid},
        RefusalCase{"core_4bit", withByte(kCore, 24, 4), kInvalid},
        RefusalCase{"width_70000", with32(kInfo, 18, 70000), kInvalid},
        RefusalCase{"width_negative", with32(kInfo, 18, 0xFFFFFFFF), kInvalid},
        RefusalCase{"height_minus_70000", with32(kInfo, 22, static_cast<std::uint32_t>(-70000)), kInvalid},
        RefusalCase{"height_int_min", with32(kInfo, 22, 0x80000000u), kInvalid},
        RefusalCase{"offbits_below_header", with32(kInfo, 10, 40), kNoPalette},
        RefusalCase{"no_whole_entry", with32(kInfo, 10, 57), kNoPalette},
        RefusalCase{"header_size_huge", with32(kInfo, 14, 0xFFFFFFF0u), kNoPalette},
        RefusalCase{"palette_cut", firstBytes(kInfo, 54 + 1000), kNoPalette},
        RefusalCase{"core_palette_cut", firstBytes(kCore, 26 + 767), kNoPalette},
        RefusalCase{"pixels_cut", firstBytes(kInfo, kInfo.size() - 9), kNoPixels},
        RefusalCase{"last_row_padding_missing", firstBytes(kInfo, kInfo.size() - 1), kNoPixels},
        RefusalCase{"offbits_past_end", with32(kCore, 10, 0x7FFFFFFF), kNoPixels},
        RefusalCase{"huge_size_claimed", with32(with32(kInfo, 18, 65535), 22, 65535), kNoPixels}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(BmpToRix, FailedWriteOnDevFullIsReportedWithoutFileCreated) {
    Workspace workspace;
    workspace.write("full.bmp", kInfo);
    fs::create_symlink("/dev/full", workspace.path("full.rix"));
    EXPECT_EQ(workspace.run({"full.bmp"}).out, lines("Cannot write palette data to full.rix\n"));
}

struct CarryCase {
    const char* label;
    std::vector<std::pair<std::string, Bytes>> files;  // in argument order; the last is "last.bmp"
    std::uint16_t expectedPaletteInfo;
};

class HeaderCarry : public ::testing::TestWithParam<CarryCase> {};

// Bytes 8-9 of the last ColorRIX read whole reach the ColorRIX written from a bitmap.
TEST_P(HeaderCarry, PaletteInfoComesFromTheLastColorRixReadWhole) {
    Workspace workspace;
    std::vector<std::string> arguments;
    for (const auto& [name, content] : GetParam().files) {
        workspace.write(name, content);
        arguments.push_back(name);
    }
    const IndexedImage image = patternImage(6, 3);
    workspace.write("last.bmp", bitmapFile(image, bitmapPalette()));
    arguments.push_back("last.bmp");
    workspace.run(arguments);
    EXPECT_EQ(workspace.read("last.rix"),
              expectedRix(image, bitmapPalette(), GetParam().expectedPaletteInfo));
}

const Bytes kRix1 = rixFile(patternImage(3, 3), rixPalette(), 0x0001);
const Bytes kRixAF = rixFile(patternImage(3, 3), rixPalette(), 0x00AF);

INSTANTIATE_TEST_SUITE_P(
    BmpToRix, HeaderCarry,
    ::testing::Values(
        CarryCase{"none_before", {}, 175},
        CarryCase{"rix_before", {{"a.rix", kRix1}}, 1},
        CarryCase{"latest_rix_wins", {{"a.rix", kRix1}, {"b.rix", kRixAF}}, 175},
        CarryCase{"bitmap_between", {{"a.rix", kRix1}, {"m.bmp", bitmapFile(patternImage(2, 2), bitmapPalette())}}, 1},
        CarryCase{"truncated_rix_passes_nothing", {{"t.rix", firstBytes(kRix1, kRix1.size() - 1)}}, 175},
        CarryCase{"wrong_signature_passes_nothing", {{"w.rix", withByte(kRix1, 3, '4')}}, 175}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(BmpToRix, EmptyBitmapAfterAColorRixGetsNothingOfIt) {
    Workspace workspace;
    workspace.write("a.rix", kRix1);
    workspace.write("x.bmp", {});
    const RunResult result = workspace.run({"a.rix", "x.bmp"});
    EXPECT_EQ(result.out, lines("File created : a.bmp\nCannot read BMP signature, file : x.bmp\n"));
    EXPECT_TRUE(workspace.read("x.rix").empty());
}

}  // namespace
}  // namespace quorvel::testing
