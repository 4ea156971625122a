// Runs arbitrary bytes through one conversion exactly as the program reads
// them from a file, and checks the outcome: either exactly one of the
// program's messages and an empty output, or "File created" and a
// well-formed file of exactly the size its headers state (for a bitmap,
// converting the result back keeps every pixel index). Any other outcome
// aborts, so fuzzers and replays report it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvel::fuzzing {

enum class Direction { RixToBmp, BmpToRix };

void checkConversion(Direction direction, const std::uint8_t* data, std::size_t size);

}  // namespace quorvel::fuzzing
