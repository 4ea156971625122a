// The batch driver seen from outside: banner, argument handling, output
// naming, open and create failures, and the input never being destroyed.
#include <gtest/gtest.h>

#include <filesystem>

#include "e2e/harness.hpp"

namespace quorvel::testing {
namespace {

namespace fs = std::filesystem;

const Bytes kSmallRix = rixFile(patternImage(4, 2), rixPalette());
const Bytes kSmallBmp = bitmapFile(patternImage(4, 2), bitmapPalette());
const Bytes kSmallRixAsBmp = expectedBitmap(patternImage(4, 2), rixPalette());
const Bytes kSmallBmpAsRix = expectedRix(patternImage(4, 2), bitmapPalette());

TEST(Driver, NoArgumentsPrintsBannerAndUsageWithStatus255) {
    Workspace workspace;
    const RunResult result = workspace.run({});
    const std::string program = programAsSeen();
    EXPECT_EQ(result.out,
              lines("\nQuorvel\nConverts ColorRIX 640x480x8 *.RIX to Windows *.BMP bitmaps and \n"
                    "Usage: " + program + " (infile.rix|infile.bmp) [infile infile infile]\n"
                    "Example:\n  " + program + " splash0.rix splash6.rix\n  " + program +
                    " bitmap.bmp"));
    EXPECT_EQ(result.status, 255);
    EXPECT_TRUE(fs::is_empty(workspace.dir()));
}

struct NamingCase {
    const char* label;
    std::string input;
    bool bitmapInput;
    std::string output;
};

class OutputNaming : public ::testing::TestWithParam<NamingCase> {};

TEST_P(OutputNaming, LastThreeBytesChooseDirectionAndAreReplaced) {
    const NamingCase& c = GetParam();
    Workspace workspace;
    workspace.write(c.input, c.bitmapInput ? kSmallBmp : kSmallRix);
    const RunResult result = workspace.run({c.input});
    EXPECT_EQ(result.out, lines("File created : " + c.output + "\n"));
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(workspace.exists(c.output));
    EXPECT_EQ(workspace.read(c.output), c.bitmapInput ? kSmallBmpAsRix : kSmallRixAsBmp);
}

INSTANTIATE_TEST_SUITE_P(
    Driver, OutputNaming,
    ::testing::Values(NamingCase{"lowercase_rix", "splash0.rix", false, "splash0.bmp"},
                      NamingCase{"uppercase_bmp", "PIC.BMP", true, "PIC.rix"},
                      NamingCase{"mixed_case_rix", "Card.RiX", false, "Card.bmp"},
                      NamingCase{"no_dot", "xbmp", true, "xrix"},
                      NamingCase{"non_ascii_name", "\xc3\xa9t\xc3\xa9.rix", false,
                                 "\xc3\xa9t\xc3\xa9.bmp"},
                      NamingCase{"cyrillic_name", "\xd0\xb6.rix", false, "\xd0\xb6.bmp"}),
    [](const auto& info) { return std::string(info.param.label); });

struct RunCase {
    const char* label;
    std::vector<std::string> arguments;
    std::string expected;
    std::vector<std::string> created;
    std::vector<std::string> notCreated;
};

class ArgumentRuns : public ::testing::TestWithParam<RunCase> {};

// Every run has good.rix, s.rix, other.bmp and junk.bmp available beside it.
TEST_P(ArgumentRuns, PrintExactlyAndExitZero) {
    const RunCase& c = GetParam();
    Workspace workspace;
    workspace.write("good.rix", kSmallRix);
    workspace.write("s.rix", kSmallRix);
    workspace.write("other.bmp", kSmallBmp);
    workspace.write("junk.bmp", Bytes(40, 'j'));
    const RunResult result = workspace.run(c.arguments);
    EXPECT_EQ(result.out, lines(c.expected));
    EXPECT_EQ(result.status, 0);
    for (const std::string& name : c.created) EXPECT_TRUE(workspace.exists(name)) << name;
    for (const std::string& name : c.notCreated) EXPECT_FALSE(workspace.exists(name)) << name;
}

INSTANTIATE_TEST_SUITE_P(
    Driver, ArgumentRuns,
    ::testing::Values(
        RunCase{"too_short_runs_into_next_message", {"abc", "good.rix"},
                "Error command line parameter: abc. Ignored.File created : good.bmp\n", {"good.bmp"}, {}},
        RunCase{"unknown_extension_stops_the_run", {"good.rix", "photo.jpeg", "other.bmp"},
                "File created : good.bmp\nUnknown extention : .peg\n", {"good.bmp"}, {"other.rix"}},
        RunCase{"four_bytes_three_characters_stop", {"a\xc3\xa9x", "good.rix"},
                "Unknown extention : .\xc3\xa9x\n", {}, {"good.bmp"}},
        RunCase{"missing_input_creates_nothing", {"missing.rix", "good.rix"},
                "Cannot read missing.rix\nFile created : good.bmp\n", {"good.bmp"}, {"missing.bmp"}},
        // A name that only looks like an existing one (s with a circumflex) names no file.
        RunCase{"lookalike_names_no_file", {"\xc5\x9d.rix"}, "Cannot read \xc5\x9d.rix\n", {},
                {"s.bmp", "\xc5\x9d.bmp"}},
        RunCase{"rejected_input_leaves_empty_output", {"junk.bmp"},
                "Not a Bitmap File format. File : junk.bmp\n", {"junk.rix"}, {}},
        RunCase{"several_in_order", {"other.bmp", "junk.bmp", "good.rix", "ab"},
                "File created : other.rix\nNot a Bitmap File format. File : junk.bmp\n"
                "File created : good.bmp\nError command line parameter: ab. Ignored.",
                {"other.rix", "junk.rix", "good.bmp"}, {}}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(Driver, OutputThatIsADirectoryCannotBeCreated) {
    Workspace workspace;
    workspace.write("card.rix", kSmallRix);
    fs::create_directory(workspace.path("card.bmp"));
    const RunResult result = workspace.run({"card.rix", "card.rix"});
    EXPECT_EQ(result.out, lines("Cannot create card.bmp\nCannot create card.bmp\n"));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(workspace.read("card.rix"), kSmallRix);
}

// Paths of any length: here three folders of 120 bytes each.
TEST(Driver, LongArgumentsAreAccepted) {
    Workspace workspace;
    const std::string folder(120, 'd');
    const std::string stem = folder + "/" + folder + "/" + folder + "/card";
    fs::create_directories(workspace.path(folder + "/" + folder + "/" + folder));
    workspace.write(stem + ".rix", kSmallRix);
    const RunResult result = workspace.run({stem + ".rix"});
    EXPECT_EQ(result.out, lines("File created : " + stem + ".bmp\n"));
    EXPECT_EQ(workspace.read(stem + ".bmp"), kSmallRixAsBmp);
}

// The output path leads to the input file itself: creating it would empty
// the input, so it is refused and the input keeps its bytes.
enum class Link { Hard, Symbolic, SymbolicInput };

class SameFile : public ::testing::TestWithParam<Link> {};

TEST_P(SameFile, IsNotCreatedAndInputStaysIntact) {
    Workspace workspace;
    workspace.write("shot.rix", kSmallRix);
    switch (GetParam()) {
        case Link::Hard: fs::create_hard_link(workspace.path("shot.rix"), workspace.path("shot.bmp")); break;
        case Link::Symbolic: fs::create_symlink("shot.rix", workspace.path("shot.bmp")); break;
        case Link::SymbolicInput:
            fs::rename(workspace.path("shot.rix"), workspace.path("real.bmp"));
            workspace.write("real.bmp", kSmallBmp);
            fs::create_symlink("real.bmp", workspace.path("shot.rix"));
            fs::create_symlink("real.bmp", workspace.path("shot.bmp"));
            break;
    }
    const Bytes before = workspace.read("shot.rix");
    const RunResult result = workspace.run({"shot.rix"});
    EXPECT_EQ(result.out, lines("Cannot create shot.bmp\n"));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(workspace.read("shot.rix"), before);
}

INSTANTIATE_TEST_SUITE_P(Driver, SameFile,
                         ::testing::Values(Link::Hard, Link::Symbolic, Link::SymbolicInput),
                         [](const auto& info) {
                             switch (info.param) {
                                 case Link::Hard: return "HardLink";
                                 case Link::Symbolic: return "SymbolicLink";
                                 default: return "SymbolicLinkBoth";
                             }
                         });

}  // namespace
}  // namespace quorvel::testing
