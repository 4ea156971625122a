#include <gtest/gtest.h>

#include "driver/batch.hpp"

namespace quorvel {
namespace {

struct ArgumentCase {
    std::string argument;
    ArgumentClass expectedClass;
    std::string expectedOutput;  // for the two convertible classes
};

void PrintTo(const ArgumentCase& c, std::ostream* os) { *os << '"' << c.argument << '"'; }

class Arguments : public ::testing::TestWithParam<ArgumentCase> {};

TEST_P(Arguments, AreClassifiedByTheirLastThreeBytes) {
    const ArgumentCase& c = GetParam();
    const ArgumentClass actual = classifyArgument(c.argument);
    EXPECT_EQ(actual, c.expectedClass);
    if (actual == ArgumentClass::BmpToRix || actual == ArgumentClass::RixToBmp) {
        EXPECT_EQ(deriveOutputPath(c.argument, actual), c.expectedOutput);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Driver, Arguments,
    ::testing::Values(ArgumentCase{"", ArgumentClass::TooShort, ""},
                      ArgumentCase{"bmp", ArgumentClass::TooShort, ""},
                      ArgumentCase{"xbmp", ArgumentClass::BmpToRix, "xrix"},
                      ArgumentCase{"splash0.rix", ArgumentClass::RixToBmp, "splash0.bmp"},
                      ArgumentCase{"PIC.BMP", ArgumentClass::BmpToRix, "PIC.rix"},
                      ArgumentCase{"Dir.RIX/a.rIx", ArgumentClass::RixToBmp, "Dir.RIX/a.bmp"},
                      ArgumentCase{"*.rix", ArgumentClass::RixToBmp, "*.bmp"},
                      ArgumentCase{"photo.jpeg", ArgumentClass::Unrecognised, ""},
                      ArgumentCase{"a.bm", ArgumentClass::Unrecognised, ""},
                      // Only ASCII letters fold: 0xC2 0xAA is not "a".
                      ArgumentCase{"x.rb\xc2\xaa", ArgumentClass::Unrecognised, ""},
                      ArgumentCase{"x.bmq", ArgumentClass::Unrecognised, ""},
                      ArgumentCase{std::string(400, 'n') + ".bmp", ArgumentClass::BmpToRix,
                                   std::string(400, 'n') + ".rix"}));

}  // namespace
}  // namespace quorvel
