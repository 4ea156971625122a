// The two conversions.
#pragma once

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

}  // namespace quorvel
