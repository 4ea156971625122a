// The built program as a user runs it: exit statuses, arguments byte for
// byte, output naming, the run stopped by an unknown extension, files that
// must not be opened or destroyed, and limits on memory and file size.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "e2e/harness.hpp"

namespace quorvel::testing {
namespace {

const IndexedImage kImage = patternImage(5, 2);
const Bytes kRix = rixFile(kImage, rixPalette());
const Bytes kBmp = bitmapFile(kImage, bitmapPalette());

std::string named(const std::string& name) { return "File created : " + name + "\n"; }

TEST(Program, WithoutArgumentsPrintsBannerAndUsageWithStatus255) {
    Workspace workspace;
    const RunResult result = workspace.run({});
    const std::string program = programAsSeen();
    EXPECT_EQ(result.out, lines("\nQuorvel\nConverts ColorRIX 640x480x8 *.RIX to Windows *.BMP bitmaps and \n"
                                "Usage: " + program + " (infile.rix|infile.bmp) [infile infile infile]\n"
                                "Example:\n  " + program + " splash0.rix splash6.rix\n  " + program + " bitmap.bmp"));
    EXPECT_EQ(result.status, 255);
    EXPECT_TRUE(fs::is_empty(workspace.path("")));
}

struct RunCase {
    const char* label;
    std::vector<std::string> arguments;
    std::string expected;
    std::vector<std::pair<std::string, Bytes>> outputs;  // files the run must leave, with their bytes
    std::vector<std::string> absent;                     // files it must not create
};

class Runs : public ::testing::TestWithParam<RunCase> {};

// Paths of any length: three folders of 120 bytes each.
const std::string kDeep = std::string(120, 'd') + "/" + std::string(120, 'd') + "/" + std::string(120, 'd');

// Each run finds good.rix (and an old good.bmp), s.rix, PIC.BMP, xbmp,
// junk.bmp (and an old junk.rix), two names in other scripts and a deep
// folder's card.rix.
TEST_P(Runs, PrintExactlyLeaveTheirFilesAndExitZero) {
    const RunCase& c = GetParam();
    Workspace workspace;
    fs::create_directories(workspace.path(kDeep));
    for (const std::string& name : {std::string("good.rix"), std::string("s.rix"), std::string("\xc3\xa9t\xc3\xa9.rix"),
                                    std::string("\xd0\xb6.rix"), kDeep + "/card.rix"})
        workspace.write(name, kRix);
    for (const char* name : {"PIC.BMP", "xbmp"}) workspace.write(name, kBmp);
    workspace.write("junk.bmp", Bytes(40, 'j'));
    workspace.write("good.bmp", Bytes(5000, 'o'));  // an older, longer output: overwritten whole
    workspace.write("junk.rix", Bytes(1, 'o'));     // the smallest older output: emptied all the same
    const RunResult result = workspace.run(c.arguments);
    EXPECT_EQ(result.out, lines(c.expected));
    EXPECT_EQ(result.status, 0);
    for (const auto& [name, bytes] : c.outputs) {
        EXPECT_TRUE(workspace.read(name) == bytes) << name;
        const fs::perms readWrite = fs::perms::owner_read | fs::perms::owner_write;
        EXPECT_EQ(fs::status(workspace.path(name)).permissions() & readWrite, readWrite) << name;
    }
    for (const std::string& name : c.absent) EXPECT_FALSE(fs::exists(fs::symlink_status(workspace.path(name)))) << name;
}

const Bytes kRixAsBmp = expectedBitmap(kImage, rixPalette());
const Bytes kBmpAsRix = expectedRix(kImage, bitmapPalette());

INSTANTIATE_TEST_SUITE_P(
    Program, Runs,
    ::testing::Values(
        RunCase{"names_in_any_case", {"good.rix", "PIC.BMP", "xbmp"}, named("good.bmp") + named("PIC.rix") + named("xrix"),
                {{"good.bmp", kRixAsBmp}, {"PIC.rix", kBmpAsRix}, {"xrix", kBmpAsRix}}, {}},
        RunCase{"long_path", {kDeep + "/card.rix"}, named(kDeep + "/card.bmp"), {{kDeep + "/card.bmp", kRixAsBmp}}, {}},
        RunCase{"names_in_other_scripts", {"\xc3\xa9t\xc3\xa9.rix", "\xd0\xb6.rix"},
                named("\xc3\xa9t\xc3\xa9.bmp") + named("\xd0\xb6.bmp"),
                {{"\xc3\xa9t\xc3\xa9.bmp", kRixAsBmp}, {"\xd0\xb6.bmp", kRixAsBmp}}, {}},
        // s with a circumflex only looks like s.rix: it names no file.
        RunCase{"lookalike_names_no_file", {"\xc5\x9d.rix"}, "Cannot read \xc5\x9d.rix\n", {}, {"s.bmp", "\xc5\x9d.bmp"}},
        RunCase{"too_short_runs_into_next_message", {"abc", "good.rix"},
                "Error command line parameter: abc. Ignored.File created : good.bmp\n", {{"good.bmp", kRixAsBmp}}, {}},
        RunCase{"unknown_extension_stops_the_run", {"good.rix", "a.xmp", "PIC.BMP"},
                named("good.bmp") + "Unknown extention : .xmp\n", {{"good.bmp", kRixAsBmp}}, {"PIC.rix"}},
        RunCase{"four_bytes_three_characters_stop", {"a\xc3\xa9x", "good.rix"}, "Unknown extention : .\xc3\xa9x\n",
                {{"good.bmp", Bytes(5000, 'o')}}, {}},
        RunCase{"missing_input_creates_nothing", {"missing.rix", "good.rix"},
                "Cannot read missing.rix\n" + named("good.bmp"), {{"good.bmp", kRixAsBmp}}, {"missing.bmp"}},
        RunCase{"refused_input_leaves_an_empty_output", {"junk.bmp", "good.rix"},
                "Not a Bitmap File format. File : junk.bmp\n" + named("good.bmp"),
                {{"junk.rix", {}}, {"good.bmp", kRixAsBmp}}, {}}),
    [](const auto& info) { return std::string(info.param.label); });

// Inputs that are no image file, and outputs that would destroy the input:
// refused, and the input keeps its bytes.
enum class Special { HardLink, SymbolicLink, SymbolicLinkBoth, OutputDirectory, FifoInput };

class SpecialFiles : public ::testing::TestWithParam<Special> {};

TEST_P(SpecialFiles, AreRefusedAndTheInputStaysIntact) {
    Workspace workspace;
    workspace.write("shot.rix", kRix);
    std::string expected = "Cannot create shot.bmp\n";
    switch (GetParam()) {
        case Special::HardLink: fs::create_hard_link(workspace.path("shot.rix"), workspace.path("shot.bmp")); break;
        case Special::SymbolicLink: fs::create_symlink("shot.rix", workspace.path("shot.bmp")); break;
        case Special::SymbolicLinkBoth:
            fs::rename(workspace.path("shot.rix"), workspace.path("real.bmp"));
            fs::create_symlink("real.bmp", workspace.path("shot.rix"));
            fs::create_symlink("real.bmp", workspace.path("shot.bmp"));
            break;
        case Special::OutputDirectory: fs::create_directory(workspace.path("shot.bmp")); break;
        case Special::FifoInput:
            fs::remove(workspace.path("shot.rix"));
            ASSERT_EQ(::mkfifo(workspace.path("shot.rix").c_str(), 0644), 0);
            expected = "Cannot read shot.rix\n";
            break;
    }
    const bool regular = fs::is_regular_file(workspace.path("shot.rix"));
    const RunResult result = workspace.run({"shot.rix"});
    EXPECT_EQ(result.out, lines(expected));
    if (regular) EXPECT_TRUE(workspace.read("shot.rix") == kRix);
}

const char* const kSpecialNames[] = {"HardLink", "SymbolicLink", "SymbolicLinkBoth", "OutputDirectory", "Fifo"};

INSTANTIATE_TEST_SUITE_P(Program, SpecialFiles,
                         ::testing::Values(Special::HardLink, Special::SymbolicLink, Special::SymbolicLinkBoth,
                                           Special::OutputDirectory, Special::FifoInput),
                         [](const auto& info) { return kSpecialNames[static_cast<int>(info.param)]; });

struct WriteFailure {
    const char* label;
    bool bitmapInput;
    rlim_t fileSizeLimit;  // bytes the output may hold
    const char* message;
};

class FileSizeLimit : public ::testing::TestWithParam<WriteFailure> {};

// A write that fails at any point is reported, never as success.
TEST_P(FileSizeLimit, FailedWritesAreReported) {
    const WriteFailure& c = GetParam();
    const IndexedImage image = patternImage(7, 40);
    Workspace workspace;
    workspace.write("in.bmp", bitmapFile(image, bitmapPalette()));
    workspace.write("in.rix", rixFile(image, rixPalette()));
    const RunResult result = workspace.run({c.bitmapInput ? "in.bmp" : "in.rix"}, RunOptions{RLIM_INFINITY, c.fileSizeLimit});
    EXPECT_EQ(result.out, lines(std::string(c.message) + (c.bitmapInput ? "in.rix\n" : "in.bmp\n")));
}

INSTANTIATE_TEST_SUITE_P(
    Program, FileSizeLimit,
    ::testing::Values(WriteFailure{"file_header", false, 0, "Cannot write BMPFILEHEADER to "},
                      WriteFailure{"core_header", false, 20, "Cannot write BMPCOREHEADER to "},
                      WriteFailure{"palette", false, 100, "Cannot write palette data to "},
                      WriteFailure{"pixels", false, 800, "Cannot write raw data to "},
                      WriteFailure{"rix_palette", true, 100, "Cannot write palette data to "},
                      WriteFailure{"rix_pixels", true, 800, "Cannot write palette data to "}),
    [](const auto& info) { return std::string(info.param.label); });

// A 16000 x 16000 picture (256 MB) converts both ways within 200 MB of
// address space: memory does not grow with the image. Its top and bottom
// rows differ, so the round trip shows the rows' order kept.
TEST(Program, MemoryLimitLeavesLargeImagesConvertible) {
    constexpr std::size_t kSide = 16000;
    Workspace workspace;
    workspace.write("big.rix", rixFile(IndexedImage{kSide, kSide, {}}, {}));
    fs::resize_file(workspace.path("big.rix"), 778 + kSide * kSide);
    {
        std::fstream file(workspace.path("big.rix"), std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(778);
        file << std::string(kSide, 'T');
        file.seekp(778 + (kSide - 1) * kSide);
        file << std::string(kSide, 'B');
    }
    const RunOptions limit{200000ul * 1024, RLIM_INFINITY};
    EXPECT_EQ(workspace.run({"big.rix"}, limit).out, lines(named("big.bmp")));
    const Bytes bitmap = workspace.read("big.bmp");
    ASSERT_EQ(bitmap.size(), 794 + kSide * kSide);
    EXPECT_EQ(bitmap[794], 'B');
    EXPECT_EQ(bitmap.back(), 'T');
    fs::rename(workspace.path("big.bmp"), workspace.path("back.bmp"));
    EXPECT_EQ(workspace.run({"back.bmp"}, limit).out, lines(named("back.rix")));
    EXPECT_TRUE(workspace.read("back.rix") == workspace.read("big.rix"));
}

}  // namespace
}  // namespace quorvel::testing
