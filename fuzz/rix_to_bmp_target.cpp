// libFuzzer entry: arbitrary bytes as a file given to the conversion.
#include <cstddef>
#include <cstdint>

#include "fuzz/conversion_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    quorvel::fuzzing::checkConversion(quorvel::fuzzing::Direction::RixToBmp, data, size);
    return 0;
}
