// The valid images every check starts from: both directions, sizes that
// cross row padding, row reversal and the 16-bit limits, every header kind
// and both row orders. They drive the exact-output tests; the fuzzers'
// seeds are written from the small ones among them.
#pragma once

#include <string>

#include "support/in_process.hpp"

namespace quorvel::testing {

struct ValidImage {
    std::string name;  // size, header kind and format, as a test name
    Direction direction;
    Bytes input;       // what the converter is given
    Bytes expected;    // the file it must make of it
};

inline std::vector<ValidImage> validImages() {
    const std::pair<const char*, BitmapLayout> kinds[] = {
        {"info", {40}}, {"core", {12}}, {"core_quads", {12, false, 2}}, {"v5", {124}}, {"os2_16", {16}}, {"topdown", {40, true}}};
    const std::pair<int, int> sizes[] = {{0, 0}, {0, 3}, {5, 0}, {1, 1}, {1, 5}, {2, 3},    {3, 2},
                                         {4, 1}, {7, 5}, {16, 3}, {641, 3}, {640, 480}, {65535, 1}};
    std::vector<ValidImage> images;
    const auto add = [&](const std::string& name, const IndexedImage& image, const BitmapLayout& layout, std::size_t entries) {
        const std::vector<Rgb> palette = bitmapPalette(entries);
        images.push_back({name + "_bmp", Direction::BmpToRix, bitmapFile(image, palette, layout), expectedRix(image, palette)});
    };
    for (const auto& [width, height] : sizes) {
        const IndexedImage image = patternImage(std::uint16_t(width), std::uint16_t(height));
        const std::string size = std::to_string(width) + "x" + std::to_string(height);
        images.push_back({size + "_rix", Direction::RixToBmp, rixFile(image, rixPalette()), expectedBitmap(image, rixPalette())});
        for (const auto& [kind, layout] : kinds) add(size + "_" + kind, image, layout, 256);
        add(size + "_16_entries", image, {40}, 16);
        add(size + "_core_1_entry", image, {12}, 1);
    }
    // The tallest bitmaps a ColorRIX can hold, both row orders.
    add("1x65535_info", patternImage(1, 65535), {40}, 256);
    add("1x65535_topdown", patternImage(1, 65535), {40, true}, 256);
    return images;
}

}  // namespace quorvel::testing
