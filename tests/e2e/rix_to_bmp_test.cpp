// ColorRIX -> bitmap through the built program: exact bytes of the bitmap,
// every refusal with its message and an empty output.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "e2e/harness.hpp"

namespace quorvel::testing {
namespace {

namespace fs = std::filesystem;

struct SizeCase {
    std::uint16_t width;
    std::uint16_t height;
};

class RixToBmpSizes : public ::testing::TestWithParam<SizeCase> {};

// Covers row reversal (heights 0-3), padding of odd widths and empty images.
TEST_P(RixToBmpSizes, WritesTheExactBitmap) {
    const IndexedImage image = patternImage(GetParam().width, GetParam().height);
    Workspace workspace;
    workspace.write("in.rix", rixFile(image, rixPalette()));
    const RunResult result = workspace.run({"in.rix"});
    EXPECT_EQ(result.out, lines("File created : in.bmp\n"));
    const Bytes bitmap = workspace.read("in.bmp");
    EXPECT_EQ(bitmap, expectedBitmap(image, rixPalette()));
    EXPECT_EQ(get32(bitmap, 2), bitmap.size());
}

INSTANTIATE_TEST_SUITE_P(RixToBmp, RixToBmpSizes,
                         ::testing::Values(SizeCase{0, 0}, SizeCase{0, 3}, SizeCase{5, 0},
                                           SizeCase{4, 1}, SizeCase{4, 2}, SizeCase{8, 3},
                                           SizeCase{1, 1}, SizeCase{1, 4}, SizeCase{2, 3},
                                           SizeCase{3, 2}, SizeCase{5, 3}, SizeCase{7, 5},
                                           SizeCase{641, 3}),
                         [](const auto& info) {
                             return std::to_string(info.param.width) + "x" +
                                    std::to_string(info.param.height);
                         });

TEST(RixToBmp, TestCard640x480HasTheDocumentedLayout) {
    const IndexedImage image = patternImage(640, 480);
    Workspace workspace;
    workspace.write("card.rix", rixFile(image, rixPalette()));
    ASSERT_EQ(workspace.run({"card.rix"}).out, lines("File created : card.bmp\n"));
    const Bytes bitmap = workspace.read("card.bmp");
    ASSERT_EQ(bitmap.size(), 307994u);
    EXPECT_EQ(get16(bitmap, 0), 0x4D42u);
    EXPECT_EQ(get32(bitmap, 2), 307994u);
    EXPECT_EQ(get32(bitmap, 10), 794u);
    EXPECT_EQ(get32(bitmap, 14), 12u);
    EXPECT_EQ(get16(bitmap, 18), 640u);
    EXPECT_EQ(get16(bitmap, 20), 480u);
    EXPECT_EQ(get16(bitmap, 22), 1u);
    EXPECT_EQ(get16(bitmap, 24), 8u);
    // Entries 252..255: blue, green, red of 6-bit (63,0,1) (1,63,0) (0,1,63) (63,63,63).
    const Bytes lastEntries(bitmap.begin() + 26 + 252 * 3, bitmap.begin() + 794);
    EXPECT_EQ(lastEntries, (Bytes{4, 0, 252, 0, 252, 4, 252, 4, 0, 252, 252, 252}));
    // The bitmap's first stored row is the picture's bottom row.
    EXPECT_EQ(bitmap[794], image.at(0, 479));
    EXPECT_EQ(bitmap[794 + 479 * 640 + 639], image.at(639, 0));
}

TEST(RixToBmp, PaletteComponentsAreWidenedInEightBits) {
    std::vector<Rgb> palette = rixPalette();
    palette[0] = {0, 63, 65};
    palette[1] = {64, 255, 128};
    Workspace workspace;
    workspace.write("p.rix", rixFile(patternImage(4, 1), palette));
    workspace.run({"p.rix"});
    const Bytes bitmap = workspace.read("p.bmp");
    EXPECT_EQ(Bytes(bitmap.begin() + 26, bitmap.begin() + 32), (Bytes{4, 252, 0, 0, 252, 0}));
}

TEST(RixToBmp, BytesAfterThePixelsAreIgnoredAndAnyPaletteInfoAccepted) {
    const IndexedImage image = patternImage(6, 4);
    Bytes rix = rixFile(image, rixPalette(), 0xBEEF);
    rix.insert(rix.end(), {1, 2, 3, 4, 5});
    Workspace workspace;
    workspace.write("long.rix", rix);
    EXPECT_EQ(workspace.run({"long.rix"}).out, lines("File created : long.bmp\n"));
    EXPECT_EQ(workspace.read("long.bmp"), expectedBitmap(image, rixPalette()));
}

struct RefusalCase {
    const char* label;
    Bytes content;
    const char* message;
};

Bytes truncated(const Bytes& bytes, std::size_t drop) {
    return Bytes(bytes.begin(), bytes.end() - static_cast<std::ptrdiff_t>(drop));
}

class RixRefusals : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(RixRefusals, PrintOneMessageAndLeaveAnEmptyOutput) {
    Workspace workspace;
    workspace.write("bad.rix", GetParam().content);
    const RunResult result = workspace.run({"bad.rix"});
    EXPECT_EQ(result.out, lines(std::string(GetParam().message) + "bad.rix\n"));
    EXPECT_EQ(result.status, 0);
    ASSERT_TRUE(workspace.exists("bad.bmp"));
    EXPECT_TRUE(workspace.read("bad.bmp").empty());
    EXPECT_EQ(workspace.read("bad.rix"), GetParam().content);
}

const char* const kNoSignature = "Cannot read RIX3 signature! File : ";
const char* const kNotRix = "Not a ColorRIX Image File format. File : ";
const char* const kShort = "Cannot read RIX into buffer! File : ";

INSTANTIATE_TEST_SUITE_P(
    RixToBmp, RixRefusals,
    ::testing::Values(
        RefusalCase{"empty", {}, kNoSignature},
        RefusalCase{"three_bytes", {'R', 'I', 'X'}, kNoSignature},
        RefusalCase{"lowercase_signature", {'r', 'i', 'x', '3', 0, 0, 0, 0}, kNotRix},
        RefusalCase{"bitmap_given_rix_name", bitmapFile(patternImage(4, 4), bitmapPalette()), kNotRix},
        RefusalCase{"signature_only", {'R', 'I', 'X', '3'}, kShort},
        RefusalCase{"header_without_palette", truncated(rixFile(patternImage(0, 0), rixPalette()), 1), kShort},
        RefusalCase{"last_pixel_missing", truncated(rixFile(patternImage(9, 7), rixPalette()), 1), kShort},
        RefusalCase{"huge_size_claimed", [] {
                        Bytes rix = rixFile(patternImage(2, 2), rixPalette());
                        rix[4] = rix[5] = rix[6] = rix[7] = 0xFF;
                        return rix;
                    }(), kShort}),
    [](const auto& info) { return std::string(info.param.label); });

// Writing to /dev/full fails at the first write.
TEST(RixToBmp, FailedWriteOnDevFullIsReportedWithoutFileCreated) {
    Workspace workspace;
    workspace.write("full.rix", rixFile(patternImage(4, 4), rixPalette()));
    fs::create_symlink("/dev/full", workspace.path("full.bmp"));
    const RunResult result = workspace.run({"full.rix"});
    EXPECT_EQ(result.out, lines("Cannot write BMPFILEHEADER to full.bmp\n"));
}

// A 16000 x 16000 picture (256 MB) converts both ways within 200 MB of
// address space: memory does not grow with the image. Its top and bottom
// rows differ, so the round trip shows the rows' order kept.
TEST(Bands, MemoryLimitLeavesLargeImagesConvertible) {
    constexpr std::size_t kSide = 16000;
    Workspace workspace;
    workspace.write("big.rix", rixFile(IndexedImage{kSide, kSide, {}}, rixPalette()));
    fs::resize_file(workspace.path("big.rix"), 778 + kSide * kSide);
    {
        std::fstream file(workspace.path("big.rix"), std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(778);
        file << std::string(kSide, 'T');
        file.seekp(778 + (kSide - 1) * kSide);
        file << std::string(kSide, 'B');
    }
    const RunOptions limit{200000ul * 1024};
    EXPECT_EQ(workspace.run({"big.rix"}, limit).out, lines("File created : big.bmp\n"));
    const Bytes bitmap = workspace.read("big.bmp");
    ASSERT_EQ(bitmap.size(), 794 + kSide * kSide);
    EXPECT_EQ(bitmap[794], 'B');
    EXPECT_EQ(bitmap.back(), 'T');
    fs::rename(workspace.path("big.bmp"), workspace.path("back.bmp"));
    EXPECT_EQ(workspace.run({"back.bmp"}, limit).out, lines("File created : back.rix\n"));
    EXPECT_TRUE(workspace.read("back.rix") == workspace.read("big.rix"));
}

}  // namespace
}  // namespace quorvel::testing
