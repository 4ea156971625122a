// The two conversions.
#pragma once

#include <memory>

#include "convert/decoded.hpp"
#include "formats/bmp.hpp"
#include "formats/rix.hpp"
#include "platform/platform.hpp"

namespace quorvel {

// What the batch driver hands a conversion: the open pair, the names used in
// messages (the argument as typed for the input, the derived path for the
// output) and the run's ColorRIX header record.
struct ConversionJob {
    platform::File& input;
    platform::File& output;
    const char* inputName;
    const char* outputPath;
    RixHeader& header;
};

// Each conversion reports its own outcome on standard output.
void convertRixToBmp(ConversionJob& job);
void convertBmpToRix(ConversionJob& job);

// The picture a ColorRIX holds, as the conversion reads it: its rows of
// indices, top first, and its palette as the converted bitmap shows it.
class RixRows : public RowSource {
public:
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    RGBTRIPLE palette[kPaletteEntries]{};
};

// Null, with the conversion's message, for a file the conversion would
// refuse before writing anything; the output of `job` is not used.
std::unique_ptr<RixRows> openRixRows(ConversionJob& job);

}  // namespace quorvel
