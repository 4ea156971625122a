// Writes the valid test images into the fuzzers' seed folders, one folder
// per direction, leaving out those past the fuzzers' 8 KiB input limit.
//
//     make_seeds RIX_TO_BMP_FOLDER BMP_TO_RIX_FOLDER
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "support/valid_images.hpp"

int main(int argc, char** argv) {
    if (argc != 3) return std::puts("usage: make_seeds RIX_TO_BMP_FOLDER BMP_TO_RIX_FOLDER"), 2;
    for (const auto& image : quorvel::testing::validImages()) {
        if (image.input.size() > 8192) continue;
        const std::filesystem::path folder = argv[image.direction == quorvel::testing::Direction::RixToBmp ? 1 : 2];
        std::filesystem::create_directories(folder);
        std::ofstream(folder / image.name, std::ios::binary)
            .write(reinterpret_cast<const char*>(image.input.data()), static_cast<std::streamsize>(image.input.size()));
    }
    return 0;
}
