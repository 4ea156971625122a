// The converter's core as a page's script calls it, on files in emscripten's
// file system (the page writes the bytes it is given there, in memory) and
// named relative to its current folder, as a user names them to the
// program: a conversion is the program's own run on that one name, and a
// picture is read for drawing by the readers the conversion uses. Text comes
// back as a C string that lasts until the next call.
#include <emscripten/emscripten.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "convert/convert.hpp"
#include "driver/batch.hpp"
#include "formats/rix.hpp"
#include "platform/platform.hpp"

namespace {

using namespace quorvel;

std::string printed;  // what the converter printed in this call
std::string answer;   // what the call returns

// What the converter prints during `call`: the page shows it, nothing
// reaches the console.
template <typename Call>
std::string capturePrinted(Call call) {
    printed.clear();
    const platform::ConsoleSink previous = platform::setConsoleSink([](std::string_view text) { printed += text; });
    call();
    platform::setConsoleSink(previous);
    return std::move(printed);
}

bool converted(ArgumentClass argumentClass) {
    return argumentClass == ArgumentClass::RixToBmp || argumentClass == ArgumentClass::BmpToRix;
}

// The length the output of `name` will have, from the input's header: the
// bitmap of a ColorRIX, or the ColorRIX (a byte a pixel) of a bitmap; 0
// where the header is not there to tell.
std::uint64_t expectedOutput(const char* name, ArgumentClass argumentClass) {
    std::uint8_t header[26] = {};
    std::FILE* file = std::fopen(name, "rb");
    const std::size_t got = file ? std::fread(header, 1, sizeof header, file) : 0;
    if (file) std::fclose(file);
    const auto word = [&](int at) { return std::uint64_t{header[at]} | std::uint64_t{header[at + 1]} << 8; };
    if (argumentClass == ArgumentClass::RixToBmp) return got >= 8 ? 794 + (word(4) + 3) / 4 * 4 * word(6) : 0;
    const bool core = word(14) == 12;  // a core header's sizes are 16 bits, an info header's 32
    const std::uint64_t width = std::min<std::uint64_t>(word(18), 65535), height = core ? word(20) : word(22);
    const bool topDown = !core && header[25] >= 0x80;  // a negative height
    return got >= 26 && (core || (word(20) == 0 && (word(24) == 0 || topDown))) ? 778 + width * (topDown ? 65536 - height : height) : 0;
}

// emscripten's in-memory files grow an eighth at a time past a megabyte,
// copied whole each time: the output is given its length before it is
// written (the conversion cuts it to what it wrote). Its length, or 0.
std::uint64_t reserveOutput(const char* name, ArgumentClass argumentClass, const std::string& output) {
    const std::uint64_t bytes = expectedOutput(name, argumentClass);
    struct stat status {};
    if (bytes == 0 || bytes > (std::uint64_t{1} << 32) || ::stat(output.c_str(), &status) == 0) return 0;
    if (std::FILE* file = std::fopen(output.c_str(), "wb")) std::fclose(file);
    return ::truncate(output.c_str(), static_cast<off_t>(bytes)) == 0 ? bytes : 0;
}

// The ColorRIX described last, open for its rows until the next description.
struct ShownPicture {
    explicit ShownPicture(const char* name) : file(platform::openForReading(name)) {}
    platform::File file;
    std::unique_ptr<RixRows> rows;
    std::vector<std::uint8_t> indices;
};
std::unique_ptr<ShownPicture> shown;

const char* kindOf(const RixHeader& header) {
    RixStorage storage{};
    return readStorage(storageType(header), storage) && storage.compressed ? "compressed" : "stored";
}

// openRixRows has judged the file; its header only says how it is stored.
std::string describeRix(ShownPicture& picture) {
    RixHeader header{};
    picture.file.readAt(0, &header, sizeof header);
    header = loadRecord<RixHeader>(&header);
    const RixRows& rows = *picture.rows;
    std::string text = "{\"format\":\"ColorRIX\",\"width\":" + std::to_string(rows.width) +
                       ",\"height\":" + std::to_string(rows.height) +
                       ",\"colours\":" + std::to_string(rixPaletteEntries(header)) + ",\"kind\":\"" +
                       kindOf(header) + "\",\"palette\":[";
    for (const RGBTRIPLE& entry : rows.palette) {
        for (const std::uint8_t component : {entry.rgbtRed, entry.rgbtGreen, entry.rgbtBlue}) {
            text += std::to_string(component) + ',';
        }
    }
    text.back() = ']';
    return text + '}';
}

std::string describeBitmap(const BitmapSummary& bitmap) {
    const std::size_t colours = std::min<std::size_t>(bitmap.paletteEntries, std::size_t{1} << bitmap.bitCount);
    return "{\"format\":\"bitmap\",\"width\":" + std::to_string(bitmap.width) +
           ",\"height\":" + std::to_string(bitmap.height) + ",\"bits\":" + std::to_string(bitmap.bitCount) +
           ",\"colours\":" + std::to_string(colours) + ",\"kind\":\"" +
           (bitmap.runLength ? "run-length" : "stored") + "\"}";
}

}  // namespace

extern "C" {

// Converts the file as `quorvel name` does, its output beside it under
// quorvel_output_name(name); returns what the program printed. Null for a
// name the program stops at (an extension it does not know), which would
// end the run.
EMSCRIPTEN_KEEPALIVE const char* quorvel_convert(const char* name) {
    const ArgumentClass argumentClass = classifyArgument(name);
    if (argumentClass == ArgumentClass::Unrecognised) return nullptr;
    const std::string output = converted(argumentClass) ? deriveOutputPath(name, argumentClass) : std::string();
    const std::uint64_t reserved = output.empty() ? 0 : reserveOutput(name, argumentClass, output);
    char program[] = "quorvel";
    char* arguments[] = {program, const_cast<char*>(name), nullptr};
    answer = capturePrinted([&] { runBatch(2, arguments); });
    // A file refused before its output was opened leaves no output, as the program's run does.
    struct stat status {};
    if (reserved && ::stat(output.c_str(), &status) == 0 && std::uint64_t(status.st_size) == reserved &&
        answer.rfind("File created", 0) != 0) {
        std::remove(output.c_str());
    }
    return answer.c_str();
}

// The name the program gives the conversion of `name`; null if it makes none.
EMSCRIPTEN_KEEPALIVE const char* quorvel_output_name(const char* name) {
    const ArgumentClass argumentClass = classifyArgument(name);
    if (!converted(argumentClass)) return nullptr;
    answer = deriveOutputPath(name, argumentClass);
    return answer.c_str();
}

// The picture as JSON: format, width, height, colours, kind (stored,
// compressed, run-length), and for a bitmap its bits a pixel, for a
// ColorRIX its palette as the converted bitmap shows it (red, green, blue
// of each of 256 entries), its rows then given by quorvel_rows. Null for
// a file the conversion refuses before writing (its message says why).
EMSCRIPTEN_KEEPALIVE const char* quorvel_describe(const char* name) {
    shown.reset();
    const ArgumentClass argumentClass = classifyArgument(name);
    if (!converted(argumentClass)) return nullptr;
    auto picture = std::make_unique<ShownPicture>(name);
    if (!picture->file.isOpen()) return nullptr;
    bool readable = false;
    capturePrinted([&] {  // the conversion's message is the one shown
        if (argumentClass == ArgumentClass::BmpToRix) {
            const std::optional<BitmapSummary> bitmap = readBitmapSummary(picture->file, name);
            if ((readable = bitmap.has_value())) answer = describeBitmap(*bitmap);
            return;
        }
        RixRefusal refusal{};
        picture->rows = openRixRows(picture->file, refusal);
        if ((readable = picture->rows != nullptr)) {
            answer = describeRix(*picture);
            shown = std::move(picture);
        }
    });
    return readable ? answer.c_str() : nullptr;
}

// Rows first to first + count - 1 of the ColorRIX described last, an index
// a pixel, top first; null when it holds no such rows or they cannot be
// read. Lasts until the next call.
EMSCRIPTEN_KEEPALIVE const std::uint8_t* quorvel_rows(std::uint32_t first, std::uint32_t count) {
    if (!shown || count > shown->rows->height || first > shown->rows->height - count) return nullptr;
    const std::size_t width = shown->rows->width;
    shown->indices.resize(std::max<std::size_t>(1, width * count));
    RixRows& rows = *shown->rows;
    try {
        if (!rows.seek(first) || !rows.fill(shown->indices.data(), static_cast<std::ptrdiff_t>(width), count)) {
            return nullptr;
        }
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    return shown->indices.data();
}

// Lets the described picture's file go.
EMSCRIPTEN_KEEPALIVE void quorvel_close() { shown.reset(); }

}  // extern "C"
