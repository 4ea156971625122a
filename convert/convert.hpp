// The two conversions and the row reversal they share.
#pragma once

#include <cstddef>
#include <cstdint>

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

// Reverses the order of `height` rows of `width` bytes each, stored one after
// another from `rows`, in place. `rowBuffer` holds at least one row. Only the
// band path needs it: every conversion on Windows, and on POSIX the images
// whose rows are too narrow to gather (gathered writes take the rows in
// output order straight from the input).
void flipRows(std::uint8_t* rows, std::size_t width, std::size_t height, std::uint8_t* rowBuffer);

}  // namespace quorvel
