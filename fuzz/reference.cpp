#include "reference.hpp"

#include <algorithm>
#include <functional>
#include <map>

namespace reference {

namespace {

unsigned word(const Bytes& bytes, std::size_t at) { return bytes[at] | bytes[at + 1] << 8; }

// The node table: items from offset 2 on.
struct Items {
    const Bytes& data;
    std::size_t count;
    unsigned at(std::size_t item) const { return word(data, 2 + 2 * item); }
    bool leaf(std::size_t item) const { return at(item) >= 0x1000 && at(item) <= 0x10FF; }

    // The items the walk from `item` meets are leaves or pointers, within
    // the table, with 256 leaves at most in all.
    bool sound(std::size_t item, unsigned& leaves) const {
        if (item >= count) return false;
        if (leaf(item)) return ++leaves <= 256;
        const unsigned value = at(item);
        return value % 2 == 0 && value >= 2 && value <= 0xFFE && sound(item + 1, leaves) && sound(item + 1 + value / 2, leaves);
    }
};

// A segment decoded whole: its output (up to `keep` bytes, the XOR filter
// undone where asked) and the counts of rows that may end it: rows that end
// with a unit whose last bit is in the last byte, or for the last segment
// rows that end within such a unit (what passes the picture is dropped).
struct Segment {
    Bytes out;
    std::vector<std::size_t> counts;
};

Segment decodeSegment(const Items& items, const std::uint8_t* codes, std::size_t size, std::size_t rowBytes,
                      std::size_t height, bool last, bool xorFilter) {
    Segment segment;
    std::uint64_t bit = 0, produced = 0;
    const auto symbol = [&](unsigned& value) {
        std::size_t item = 0;
        for (; !items.leaf(item); ++bit) {
            if (bit == 8 * std::uint64_t{size}) return false;
            item = codes[bit / 8] >> (7 - bit % 8) & 1 ? item + 1 : item + 1 + items.at(item) / 2;
        }
        value = items.at(item) - 0x1000;
        return true;
    };
    std::uint8_t previous = 0;
    for (unsigned value = 0, count = 0; symbol(value);) {
        const std::uint64_t before = produced;
        if ((value == 0 || value == 255) && !symbol(count)) break;
        produced += value == 0 || value == 255 ? count + 1 : 1;
        for (std::uint64_t i = before; i < produced && segment.out.size() < rowBytes * height + 256; ++i)
            segment.out.push_back(previous = std::uint8_t(xorFilter ? previous ^ value : value));
        if (8 * std::uint64_t{size} - bit > 7) continue;
        for (std::uint64_t rows = last ? before / rowBytes + 1 : produced / rowBytes; rows <= height && rows * rowBytes <= produced; ++rows)
            if (rows > 0 && (last || produced == rows * rowBytes) &&
                std::find(segment.counts.begin(), segment.counts.end(), rows) == segment.counts.end())
                segment.counts.push_back(rows);
    }
    return segment;
}

}  // namespace

std::optional<Bytes> decompress(const Bytes& data, std::size_t rowBytes, std::size_t height, bool xorFilter) {
    if (data.size() < 2 || data.size() - 2 < 2 * std::size_t{word(data, 0)}) return std::nullopt;
    const Items items{data, word(data, 0)};
    unsigned leaves = 0;
    if (!items.sound(0, leaves)) return std::nullopt;
    std::vector<std::pair<std::size_t, std::size_t>> places;  // where each segment's codes start, their length
    for (std::size_t at = 2 + 2 * items.count; data.size() - at > 1;) {
        const std::size_t left = data.size() - at, length = word(data, at);
        if ((length == 0 && left != 2) || left - 2 < length) return std::nullopt;
        if (length == 0) break;
        places.emplace_back(at + 2, length);
        at += 2 + length;
    }
    Bytes picture;
    if (items.leaf(0)) {  // one symbol, in no bits, repeated until the picture is full
        const std::uint8_t symbol = std::uint8_t(items.at(0));
        for (std::uint8_t previous = 0; places.size() == 1 && picture.size() < rowBytes * height;)
            picture.push_back(previous = xorFilter ? previous ^ symbol : symbol);
        return places.size() == 1 ? std::optional(picture) : std::nullopt;
    }
    std::vector<Segment> segments;
    for (const auto& [at, length] : places)
        segments.push_back(decodeSegment(items, &data[at], length, rowBytes, height, segments.size() + 1 == places.size(), xorFilter));
    // The splits that complete the picture from segment i on, after `sum` rows, counted up to 2.
    std::map<std::pair<std::size_t, std::size_t>, int> known;
    const std::function<int(std::size_t, std::size_t)> splits = [&](std::size_t i, std::size_t sum) {
        if (sum > height || i == segments.size()) return int(sum == height);
        if (const auto found = known.find({i, sum}); found != known.end()) return found->second;
        int ways = 0;
        for (const std::size_t rows : segments[i].counts) ways = std::min(2, ways + splits(i + 1, sum + rows));
        return known[{i, sum}] = ways;
    };
    if (segments.empty() || splits(0, 0) != 1) return std::nullopt;
    for (std::size_t i = 0; i < segments.size(); ++i) {
        const auto rows = *std::find_if(segments[i].counts.begin(), segments[i].counts.end(),
                                        [&](std::size_t rows) { return splits(i + 1, picture.size() / rowBytes + rows) == 1; });
        picture.insert(picture.end(), segments[i].out.begin(), segments[i].out.begin() + std::ptrdiff_t(rows * rowBytes));
    }
    return picture;
}

std::optional<Bytes> pixelsOf(const Bytes& rix) {
    if (rix.size() < 10) return std::nullopt;
    const std::size_t width = word(rix, 4), height = word(rix, 6), start = 10 + 3 * (rix[8] == 0xAB ? 16 : 256);
    const unsigned layout = rix[9] & 0x7F;
    const bool compressed = rix[9] & 0x80;
    if (rix.size() < start || !(layout == 0 || layout == 4 || (!compressed && (layout == 1 || layout == 2)))) return std::nullopt;
    const std::size_t line = (width + 7) / 8, rowBytes = layout == 0 ? width : 4 * line;
    std::optional<Bytes> stored;
    if (compressed && width != 0 && height != 0) {
        stored = decompress(Bytes(rix.begin() + std::ptrdiff_t(start), rix.end()), rowBytes, height, layout == 0);
    } else if (!compressed && (rowBytes == 0 || (rix.size() - start) / rowBytes >= height)) {
        stored = Bytes(rix.begin() + std::ptrdiff_t(start), rix.begin() + std::ptrdiff_t(start + rowBytes * height));
    }
    if (!stored || layout == 0) return stored;
    Bytes pixels;
    for (std::size_t y = 0; y < height; ++y) {
        for (std::size_t x = 0; x < width; ++x) {
            unsigned index = 0;
            for (unsigned bit = 0; bit < 4; ++bit) {
                const unsigned slot = layout == 1 && (bit == 1 || bit == 2) ? 3 - bit : bit;  // planes 1 and 2 swapped
                const std::size_t at = layout == 4 ? y * rowBytes + bit * line : (slot * height + y) * line;
                index |= ((*stored)[at + x / 8] >> (7 - x % 8) & 1) << bit;
            }
            pixels.push_back(std::uint8_t(index));
        }
    }
    return pixels;
}

std::optional<Bytes> runLengthRows(const Bytes& stream, std::size_t width, std::size_t height, bool fourBits) {
    Bytes rows(width * height);
    std::uint64_t x = 0, y = 0;
    const auto put = [&](unsigned index) {
        if (x < width && y < height) rows[y * width + x] = std::uint8_t(index);
        ++x;
    };
    for (std::size_t at = 0; y < height;) {
        if (stream.size() - at < 2) return std::nullopt;
        const unsigned count = stream[at], value = stream[at + 1];
        at += 2;
        if (count != 0) {
            for (unsigned i = 0; i < count; ++i) put(!fourBits ? value : i % 2 ? value & 15 : value >> 4);
        } else if (value == 0) {
            x = 0, ++y;
        } else if (value == 1) {
            break;
        } else if (value == 2) {
            if (stream.size() - at < 2) return std::nullopt;
            x += stream[at], y += stream[at + 1];
            at += 2;
        } else {
            const std::size_t bytes = fourBits ? (value + 1) / 2 : value;
            if (stream.size() - at < bytes + bytes % 2) return std::nullopt;
            for (unsigned i = 0; i < value; ++i) put(!fourBits ? stream[at + i] : stream[at + i / 2] >> (i % 2 ? 0 : 4) & 15);
            at += bytes + bytes % 2;
        }
    }
    return rows;
}

}  // namespace reference
