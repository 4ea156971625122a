// Runs arbitrary bytes through one conversion exactly as the program reads
// them from a file, in narrow bands, and checks the outcome: either one line
// naming the input and an empty output, or "File created" and, byte for
// byte, the file the test images' builder makes of the picture the input
// holds (for a bitmap, converting the result back gives the builder's
// bitmap too). Any other outcome aborts, so fuzzers and replays report it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "support/in_process.hpp"

namespace quorvel::fuzzing {

using Direction = testing::Direction;

void checkConversion(Direction direction, const std::uint8_t* data, std::size_t size);

}  // namespace quorvel::fuzzing
