#include "support/in_process.hpp"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include "platform/platform.hpp"

namespace quorvel::testing {

namespace {

namespace fs = std::filesystem;

std::string captured;

void capture(std::string_view text) { captured += text; }

// A folder of this process's own for the input and output, removed at exit.
class Folder {
public:
    Folder() : path_(fs::temp_directory_path() / ("quorvel-" + std::to_string(std::random_device{}()))) {
        fs::create_directories(path_);
    }
    ~Folder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

const fs::path& folder() {
    static const Folder instance;
    return instance.path();
}

}  // namespace

Conversion convertInProcess(Direction direction, const Bytes& input, std::size_t bandBudget, RixHeader header) {
    const std::string in = (folder() / "input").string();
    const std::string out = (folder() / "output").string();
    {
        std::ofstream file(in, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(input.data()), static_cast<std::streamsize>(input.size()));
        if (!file) throw std::runtime_error("could not write " + in);
    }
    captured.clear();
    const platform::ConsoleSink previous = platform::setConsoleSink(capture);
    {
        platform::File source = platform::openForReading(in.c_str());
        platform::File target = platform::createForWriting(out.c_str(), source);
        if (!source.isOpen() || !target.isOpen()) throw std::runtime_error("could not open the pair");
        ConversionJob job{source, target, "input", "output", header, bandBudget};
        direction == Direction::RixToBmp ? convertRixToBmp(job) : convertBmpToRix(job);
        target.close();
        source.close();
    }
    platform::setConsoleSink(previous);
    std::ifstream file(out, std::ios::binary);
    return {captured, Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()), header};
}

}  // namespace quorvel::testing
