#include "driver/batch.hpp"

#include <algorithm>
#include <cctype>

#include "convert/convert.hpp"
#include "formats/rix.hpp"
#include "platform/platform.hpp"

namespace quorvel {

namespace {

using platform::print;

constexpr std::size_t kExtensionBytes = 3;
constexpr int kUsageStatus = -1;

// The C locale, which the program never leaves, folds ASCII letters only:
// "ŝ" stays apart from "s" whatever its bytes.
bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    });
}

void printUsage(const char* program) {
    print("\nQuorvel\n");
    print("Converts ColorRIX 640x480x8 *.RIX to Windows *.BMP bitmaps and \n");
    print("Usage: %s (infile.rix|infile.bmp) [infile infile infile]\n", program);
    print("Example:\n  %s splash0.rix splash6.rix\n  %s bitmap.bmp", program, program);
}

// Opens the pair and runs the conversion. Leaving, the files close in the
// reverse of their opening: the output, then the input.
void convertOne(const char* argument, ArgumentClass argumentClass, RixHeader& runHeader) {
    const std::string outputPath = deriveOutputPath(argument, argumentClass);
    platform::File input = platform::openForReading(argument);
    if (!input.isOpen()) {
        print("Cannot read %s\n", argument);
        return;
    }
    platform::File output = platform::createForWriting(outputPath.c_str(), input);
    if (!output.isOpen()) {
        print("Cannot create %s\n", outputPath.c_str());
        return;
    }
    ConversionJob job{input, output, argument, outputPath.c_str(), runHeader};
    if (argumentClass == ArgumentClass::BmpToRix) {
        convertBmpToRix(job);
    } else {
        convertRixToBmp(job);
    }
}

}  // namespace

ArgumentClass classifyArgument(std::string_view argument) {
    if (argument.size() < kExtensionBytes + 1) return ArgumentClass::TooShort;
    const std::string_view extension = argument.substr(argument.size() - kExtensionBytes);
    if (equalsIgnoringAsciiCase(extension, "bmp")) return ArgumentClass::BmpToRix;
    if (equalsIgnoringAsciiCase(extension, "rix")) return ArgumentClass::RixToBmp;
    return ArgumentClass::Unrecognised;
}

std::string deriveOutputPath(std::string_view argument, ArgumentClass argumentClass) {
    std::string path(argument.substr(0, argument.size() - kExtensionBytes));
    path += argumentClass == ArgumentClass::BmpToRix ? "rix" : "bmp";
    return path;
}

int runBatch(int argumentCount, char** arguments) {
    RixHeader runHeader = initialRunHeader();
    if (argumentCount < 2) {
        printUsage(arguments[0] ? arguments[0] : "");
        return kUsageStatus;
    }
    platform::emptyOutputOnInterrupt();
    for (int index = 1; index < argumentCount; ++index) {
        const char* argument = arguments[index];
        const std::string_view text(argument);
        const ArgumentClass argumentClass = classifyArgument(text);
        if (argumentClass == ArgumentClass::TooShort) {
            print("Error command line parameter: %s. Ignored.", argument);
        } else if (argumentClass == ArgumentClass::Unrecognised) {
            print("Unknown extention : .%s\n", argument + text.size() - kExtensionBytes);
            platform::endProcess(0);
        } else {
            convertOne(argument, argumentClass, runHeader);
        }
    }
    return 0;
}

}  // namespace quorvel
