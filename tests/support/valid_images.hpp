// The valid images every check starts from: both directions, sizes that
// cross row padding, row reversal and the 16-bit limits, every header kind
// and both row orders. They drive the exact-output tests, and the fuzz
// seeds and replays are made of them.
#pragma once

#include <string>

#include "support/in_process.hpp"

namespace quorvel::testing {

struct ValidImage {
    std::string name;  // a file name: size, header kind, extension
    Direction direction;
    Bytes input;       // what the converter is given
    Bytes expected;    // the file it must make of it
};

inline std::vector<ValidImage> validImages() {
    struct Kind {
        const char* name;
        BitmapLayout layout;
        std::size_t entries;
    };
    const Kind kinds[] = {{"info", {40}, 256},          {"core", {12}, 256},       {"core-quads", {12, false, 2}, 256},
                          {"v5", {124}, 256},           {"os2-16", {16}, 256},     {"topdown", {40, true}, 256},
                          {"info-16-entries", {40}, 16}, {"core-1-entry", {12}, 1}};
    const std::pair<int, int> sizes[] = {{0, 0}, {0, 3}, {5, 0}, {1, 1}, {1, 5}, {2, 3},   {3, 2},
                                         {4, 1}, {7, 5}, {16, 3}, {641, 3}, {640, 480}, {65535, 1}};
    std::vector<ValidImage> images;
    for (const auto& [width, height] : sizes) {
        const IndexedImage image = patternImage(std::uint16_t(width), std::uint16_t(height));
        const std::string size = std::to_string(width) + "x" + std::to_string(height);
        images.push_back({size + ".rix", Direction::RixToBmp, rixFile(image, rixPalette()),
                          expectedBitmap(image, rixPalette())});
        for (const Kind& kind : kinds) {
            const std::vector<Rgb> palette = bitmapPalette(kind.entries);
            images.push_back({size + "-" + kind.name + ".bmp", Direction::BmpToRix,
                              bitmapFile(image, palette, kind.layout), expectedRix(image, palette)});
        }
    }
    // The tallest bitmaps a ColorRIX can hold, both row orders.
    const IndexedImage tall = patternImage(1, 65535);
    for (const bool topDown : {false, true})
        images.push_back({std::string("1x65535-") + (topDown ? "topdown" : "info") + ".bmp", Direction::BmpToRix,
                          bitmapFile(tall, bitmapPalette(), {40, topDown}), expectedRix(tall, bitmapPalette())});
    return images;
}

}  // namespace quorvel::testing
