// Runs one conversion inside the test process as the driver would: the
// input written to a file of its own, opened for reading, the output
// created, the conversion run with its messages captured, the output closed
// before the input.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <unistd.h>

#include "convert/convert.hpp"
#include "support/images.hpp"

namespace quorvel::testing {

enum class Direction { RixToBmp, BmpToRix };

struct Conversion {
    std::string messages;  // everything printed, in order
    Bytes output;          // the output file as it was left
    RixHeader header;      // the run's header afterwards
};

inline std::string captured;

inline Conversion convertInProcess(Direction direction, const Bytes& input, std::size_t bandBudget = kBandBudget,
                                   RixHeader header = initialRunHeader()) {
    namespace fs = std::filesystem;
    static const fs::path folder = fs::temp_directory_path() / ("quorvel-" + std::to_string(::getpid()));
    static const struct Removal { ~Removal() { std::error_code ignored; fs::remove_all(folder, ignored); } } removal;
    fs::create_directories(folder);
    const std::string in = (folder / "input").string(), out = (folder / "output").string();
    std::ofstream(in, std::ios::binary).write(reinterpret_cast<const char*>(input.data()), std::streamsize(input.size()));
    captured.clear();
    const platform::ConsoleSink previous = platform::setConsoleSink([](std::string_view text) { captured += text; });
    {
        platform::File source = platform::openForReading(in.c_str());
        platform::File target = platform::createForWriting(out.c_str(), source);
        if (!source.isOpen() || !target.isOpen()) throw std::runtime_error("could not open " + in);
        ConversionJob job{source, target, "input", "output", header, bandBudget};
        direction == Direction::RixToBmp ? convertRixToBmp(job) : convertBmpToRix(job);
    }
    platform::setConsoleSink(previous);
    std::ifstream file(out, std::ios::binary);
    return {captured, Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()), header};
}

}  // namespace quorvel::testing
