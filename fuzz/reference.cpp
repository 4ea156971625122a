#include "reference.hpp"

#include <algorithm>
#include <map>
#include <utility>

namespace reference {

namespace {

unsigned word(const Bytes& bytes, std::size_t at) { return bytes[at] | bytes[at + 1] << 8; }

// The node table: items from offset 2 on.
struct Items {
    const Bytes& data;
    std::size_t count;
    unsigned at(std::size_t item) const { return word(data, 2 + 2 * item); }
    bool leaf(std::size_t item) const { return at(item) >= 0x1000 && at(item) <= 0x10FF; }
};

// The items the walk from `item` meets are leaves or pointers, within the
// table, with 256 leaves at most in all.
bool sound(const Items& items, std::size_t item, unsigned& leaves) {
    if (item >= items.count) return false;
    const unsigned value = items.at(item);
    if (items.leaf(item)) return ++leaves <= 256;
    if (value % 2 != 0 || value < 2 || value > 0xFFE) return false;
    return sound(items, item + 1, leaves) && sound(items, item + 1 + value / 2, leaves);
}

struct Unit {
    std::uint64_t end, before, after;  // bits consumed at its end; output before and after it
};

// Every unit of a segment and its output (kept up to `keep` bytes), before the XOR filter.
void decodeSegment(const Items& items, const std::uint8_t* codes, std::size_t size, std::size_t keep,
                   std::vector<Unit>& units, Bytes& out) {
    std::uint64_t bit = 0, produced = 0;
    const auto symbol = [&](unsigned& value) {
        std::size_t item = 0;
        while (!items.leaf(item)) {
            if (bit == 8 * std::uint64_t{size}) return false;
            const bool one = codes[bit / 8] >> (7 - bit % 8) & 1;
            ++bit;
            item = one ? item + 1 : item + 1 + items.at(item) / 2;
        }
        value = items.at(item) - 0x1000;
        return true;
    };
    unsigned value = 0, count = 0;
    while (symbol(value)) {
        const std::uint64_t before = produced;
        std::uint64_t length = 1;
        if (value == 0 || value == 255) {
            if (!symbol(count)) break;
            length = count + 1;
        }
        for (std::uint64_t i = 0; i < length && out.size() < keep; ++i) out.push_back(std::uint8_t(value));
        produced += length;
        units.push_back({bit, before, produced});
    }
}

void filter(Bytes& bytes) {
    std::uint8_t last = 0;
    for (std::uint8_t& byte : bytes) byte = last ^= byte;
}

// Splits that complete the picture from segment i on, having `sum` rows, counted up to 2.
struct Splits {
    const std::vector<std::vector<std::size_t>>& counts;
    std::size_t height;
    std::map<std::pair<std::size_t, std::size_t>, int> known;

    int from(std::size_t segment, std::size_t sum) {
        if (sum > height) return 0;
        if (segment == counts.size()) return sum == height;
        const auto key = std::make_pair(segment, sum);
        if (const auto found = known.find(key); found != known.end()) return found->second;
        int ways = 0;
        for (const std::size_t rows : counts[segment]) ways = std::min(2, ways + from(segment + 1, sum + rows));
        return known[key] = ways;
    }
};

}  // namespace

std::optional<Bytes> decompress(const Bytes& data, std::size_t rowBytes, std::size_t height, bool xorFilter) {
    if (data.size() < 2 || data.size() - 2 < 2 * std::size_t{word(data, 0)}) return std::nullopt;
    const Items items{data, word(data, 0)};
    unsigned leaves = 0;
    if (!sound(items, 0, leaves)) return std::nullopt;
    std::vector<std::pair<std::size_t, std::size_t>> segments;  // where each one's codes start, their length
    for (std::size_t at = 2 + 2 * items.count;;) {
        const std::size_t left = data.size() - at;
        if (left <= 1) break;
        const std::size_t length = word(data, at);
        if (length == 0 && left != 2) return std::nullopt;
        if (length == 0) break;
        if (left - 2 < length) return std::nullopt;
        segments.emplace_back(at + 2, length);
        at += 2 + length;
    }
    const std::size_t total = rowBytes * height;
    Bytes picture;
    if (items.leaf(0)) {  // one symbol, in no bits, repeated until the picture is full
        if (segments.size() != 1) return std::nullopt;
        const unsigned symbol = items.at(0) - 0x1000;
        while (picture.size() < total) {
            const std::size_t length = symbol == 0 || symbol == 255 ? symbol + 1 : 1;
            picture.insert(picture.end(), std::min(length, total - picture.size()), std::uint8_t(symbol));
        }
        if (xorFilter) filter(picture);
        return picture;
    }
    std::vector<Bytes> outputs(segments.size());
    std::vector<std::vector<std::size_t>> counts(segments.size());
    for (std::size_t i = 0; i < segments.size(); ++i) {
        std::vector<Unit> units;
        decodeSegment(items, &data[segments[i].first], segments[i].second, total + 256, units, outputs[i]);
        if (xorFilter) filter(outputs[i]);
        const std::uint64_t bits = 8 * std::uint64_t{segments[i].second};
        const bool last = i + 1 == segments.size();
        for (const Unit& unit : units) {
            if (bits - unit.end > 7) continue;  // data ends in the last byte: less than a byte of padding
            // Rows that end with this unit, or for the last segment within it (what passes the picture is dropped).
            const std::uint64_t fewest = last ? unit.before / rowBytes + 1 : unit.after / rowBytes;
            for (std::uint64_t rows = std::max<std::uint64_t>(fewest, 1); rows <= height && rows * rowBytes <= unit.after; ++rows) {
                if ((last || unit.after == rows * rowBytes) &&
                    std::find(counts[i].begin(), counts[i].end(), rows) == counts[i].end()) {
                    counts[i].push_back(rows);
                }
            }
        }
    }
    Splits splits{counts, height, {}};
    if (segments.empty() || splits.from(0, 0) != 1) return std::nullopt;
    std::size_t sum = 0;
    for (std::size_t i = 0; i < segments.size(); ++i) {
        for (const std::size_t rows : counts[i]) {
            if (splits.from(i + 1, sum + rows) != 1) continue;
            picture.insert(picture.end(), outputs[i].begin(), outputs[i].begin() + std::ptrdiff_t(rows * rowBytes));
            sum += rows;
            break;
        }
    }
    return picture;
}

std::optional<Bytes> pixelsOf(const Bytes& rix) {
    if (rix.size() < 10) return std::nullopt;
    const std::size_t width = word(rix, 4), height = word(rix, 6);
    const std::size_t start = 10 + 3 * (rix[8] == 0xAB ? 16 : 256);
    const unsigned layout = rix[9] & 0x7F;
    const bool compressed = rix[9] & 0x80;
    const bool known = layout == 0 || layout == 4 || (!compressed && (layout == 1 || layout == 2));
    if (rix.size() < start || !known) return std::nullopt;
    const std::size_t line = (width + 7) / 8, rowBytes = layout == 0 ? width : 4 * line;
    std::optional<Bytes> stored;
    if (compressed) {
        if (width == 0 || height == 0) return std::nullopt;
        stored = decompress(Bytes(rix.begin() + std::ptrdiff_t(start), rix.end()), rowBytes, height, layout == 0);
    } else if ((rix.size() - start) / (rowBytes ? rowBytes : 1) >= height || rowBytes == 0) {
        stored = Bytes(rix.begin() + std::ptrdiff_t(start), rix.begin() + std::ptrdiff_t(start + rowBytes * height));
    }
    if (!stored || layout == 0) return stored;
    Bytes pixels;
    for (std::size_t y = 0; y < height; ++y) {
        for (std::size_t x = 0; x < width; ++x) {
            unsigned index = 0;
            for (unsigned bit = 0; bit < 4; ++bit) {
                const unsigned slot = layout == 1 ? (bit == 1 ? 2 : bit == 2 ? 1 : bit) : bit;
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
