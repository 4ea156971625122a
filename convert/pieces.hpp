// A ColorRIX that arrives in pieces of any size, as a program that loads
// pictures incrementally hands it over, turned into RGB rows as soon as the
// bytes they come from are in. Pixels stored a byte each or in planar lines
// come out row by row while the rest of the file is still on its way, and
// the bytes of rows already out are let go; whole planes and compressed
// pixels need the whole file, and come out at its end, a band at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "convert/convert.hpp"

namespace quorvel {

// Rows `first` on of `picture` as red, green, blue bytes, row k at
// `destination + k * stride` (at least 3 x width bytes apart): the indices
// are read into each row's start and widened there, from its end, so no
// memory but the rows' own is needed. False when the picture fails.
bool fillRgb(RixRows& picture, std::uint8_t* destination, std::ptrdiff_t stride, std::size_t rows);

// Where the rows go, and who is told as they arrive.
class RgbRowSink {
public:
    virtual ~RgbRowSink() = default;
    // The picture's size and palette are known: where row 0 goes and the
    // distance between rows. False stops the picture (the sink says why).
    virtual bool prepared(const RixRows& picture, std::uint8_t*& rows, std::ptrdiff_t& stride) = 0;
    // Rows [first, first + count) are in place.
    virtual void rowsIn(std::uint32_t first, std::uint32_t count) = 0;
};

class RixPieces {
public:
    explicit RixPieces(RgbRowSink& sink);
    ~RixPieces();
    // The next piece of the file. False once the picture is refused or stopped.
    bool take(const std::uint8_t* bytes, std::size_t count);
    // The file has ended: rows still due come out. True when every row came out.
    bool finish();
    // Why the file was refused; none when the sink stopped it or it is not refused.
    std::optional<RixRefusal> refusal() const { return refusal_; }

private:
    static constexpr std::size_t kBlock = std::size_t{1} << 16;  // the file's bytes are held in blocks of this size
    class Held;
    bool append(const std::uint8_t* bytes, std::size_t count);
    bool openWhenStartIsIn();
    bool open();
    bool giveRows(std::uint32_t until);
    bool refuse(RixRefusal why);

    RgbRowSink& sink_;
    std::unique_ptr<Held> held_;
    std::unique_ptr<RixRows> picture_;
    std::uint8_t* rows_ = nullptr;
    std::ptrdiff_t stride_ = 0;
    std::uint64_t pixelOffset_ = 0;
    std::uint64_t rowSpan_ = 0;
    std::uint32_t next_ = 0;    // the row that comes out next
    bool streaming_ = false;    // rows come out as their bytes arrive
    bool stopped_ = false;      // refused, or stopped by the sink
    std::optional<RixRefusal> refusal_;
};

}  // namespace quorvel
