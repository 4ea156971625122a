// Runs one conversion inside the test process as the driver would: the
// input written to a file of its own, opened for reading, the output
// created, the conversion run with the messages captured, the output closed
// before the input.
#pragma once

#include <cstddef>
#include <string>

#include "convert/convert.hpp"
#include "support/images.hpp"

namespace quorvel::testing {

enum class Direction { RixToBmp, BmpToRix };

struct Conversion {
    std::string messages;  // everything printed, in order
    Bytes output;          // the output file as it was left
    RixHeader header;      // the run's header afterwards
};

Conversion convertInProcess(Direction direction, const Bytes& input, std::size_t bandBudget = kBandBudget,
                            RixHeader header = initialRunHeader());

}  // namespace quorvel::testing
