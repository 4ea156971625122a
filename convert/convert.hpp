// The two conversions.
#pragma once

#include <memory>
#include <optional>

#include "convert/decoded.hpp"
#include "formats/bmp.hpp"
#include "formats/rix.hpp"
#include "platform/platform.hpp"

namespace quorvel {

// What the batch driver hands a conversion: the open pair, the names used in
// messages (the argument as typed for the input, the derived path for the
// output) and the run's ColorRIX header record.
struct ConversionJob {
    platform::File& input;
    platform::File& output;
    const char* inputName;
    const char* outputPath;
    RixHeader& header;
};

// Each conversion reports its own outcome on standard output.
void convertRixToBmp(ConversionJob& job);
void convertBmpToRix(ConversionJob& job);

// What a bitmap's headers and palette say of it, read as the conversion
// reads them; null, after the conversion's message, for one it refuses
// there. Its pixels are not looked at.
struct BitmapSummary {
    std::uint16_t width, height, bitCount;
    std::size_t paletteEntries;
    bool runLength;
};
std::optional<BitmapSummary> readBitmapSummary(platform::Readable& input, const char* inputName);

// The picture a ColorRIX holds, as the conversion reads it: its rows of
// indices, top first, and its palette as the converted bitmap shows it.
class RixRows : public RowSource {
public:
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    RGBTRIPLE palette[kPaletteEntries]{};
    // fill() goes on from `row` (at most the height). Rows before those
    // already given cost a compressed picture a decoding from its start.
    // False when the input no longer holds them.
    virtual bool seek(std::uint32_t row) = 0;
};

// Why a ColorRIX is refused before anything is written; each has its
// message in the conversion.
enum class RixRefusal {
    NoSignature,  // shorter than 4 bytes, or unreadable
    NotRix,       // no "RIX3"
    SizeUnknown,  // its length cannot be told
    Unreadable,   // shorter than its picture, stored in a way not read, or damaged
    NoMemory,     // no window to read compressed pixels through
};

// Null, and why, for a file the conversion would refuse before writing
// anything. Pictures opened from several threads at once keep apart.
std::unique_ptr<RixRows> openRixRows(platform::Readable& input, RixRefusal& refusal);

}  // namespace quorvel
