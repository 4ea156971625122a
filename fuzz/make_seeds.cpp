// Writes the fuzzers' seed inputs into two folders: valid ColorRIX files of
// several sizes, and bitmaps with core, info and 124-byte headers, odd
// widths, top-down rows, short palettes and 4-byte core entries.
//
//     make_seeds RIX_FOLDER BMP_FOLDER
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/images.hpp"

namespace fs = std::filesystem;
using namespace quorvel::testing;

static void save(const fs::path& folder, const std::string& name, const Bytes& bytes) {
    std::ofstream out(folder / name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

int main(int argc, char** argv) {
    if (argc != 3) {
        std::puts("usage: make_seeds RIX_FOLDER BMP_FOLDER");
        return 2;
    }
    const fs::path rix = argv[1], bmp = argv[2];
    fs::create_directories(rix);
    fs::create_directories(bmp);
    const std::pair<int, int> sizes[] = {{0, 0}, {1, 1}, {1, 5}, {2, 3}, {3, 2}, {4, 4}, {7, 5}, {16, 3}};
    for (const auto& [w, h] : sizes) {
        const IndexedImage image = patternImage(static_cast<std::uint16_t>(w), static_cast<std::uint16_t>(h));
        const std::string size = std::to_string(w) + "x" + std::to_string(h);
        save(rix, size + ".rix", rixFile(image, rixPalette()));
        save(bmp, size + "-info.bmp", bitmapFile(image, bitmapPalette()));
        save(bmp, size + "-core.bmp", bitmapFile(image, bitmapPalette(), {12}));
        save(bmp, size + "-v5.bmp", bitmapFile(image, bitmapPalette(), {124}));
        save(bmp, size + "-topdown.bmp", bitmapFile(image, bitmapPalette(), {40, 1, 8, 0, true}));
        save(bmp, size + "-16.bmp", bitmapFile(image, bitmapPalette(16)));
        save(bmp, size + "-core-quads.bmp", bitmapFile(image, bitmapPalette(2), {12, 2, 8, 0, false, true}));
    }
    return 0;
}
