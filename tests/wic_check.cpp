// The ColorRIX codec as Windows programs use it: through the imaging
// factory, which finds it by the file's content, and through the thumbnail
// handler Explorer looks up by extension. One line a check, for the suite:
//
//   wic_check decode PICTURE REFERENCE.bmp   every way of reading the picture against the converter's bitmap
//   wic_check refused PICTURE                the HRESULT each way of opening and reading it ends with
//   wic_check thumbnail PICTURE SIZE OUT     the handler's bitmap, written to OUT as width, height (32 bits
//                                            each, little-endian) and RGB rows top first
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <propsys.h>
#include <shlwapi.h>
#include <thumbcache.h>
#include <wincodec.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

// What a ColorRIX is known as to the factory; the direct way asks for its
// decoder by it, so that the codec's own HRESULT shows, not the factory's.
const GUID container_colorrix = {0x04afc6d2, 0x9912, 0x4c8d, {0xaf, 0xca, 0xb6, 0xc0, 0xfc, 0x29, 0xdd, 0xad}};
// Explorer's key of an extension's thumbnail handler is the interface's own IID.
const IID iid_thumbnail_provider = {0xe357fccd, 0xa995, 0x4576, {0xb0, 0x1f, 0x23, 0x46, 0x30, 0x15, 0x4e, 0x96}};

template <class T> struct Ref {
    T* p = nullptr;
    Ref() = default;
    Ref(const Ref&) = delete;
    ~Ref() { if (p) p->Release(); }
    T** operator&() { return &p; }
    T* operator->() const { return p; }
    operator T*() const { return p; }
};

std::string guid_text(const GUID& guid) {
    wchar_t wide[40];
    StringFromGUID2(guid, wide, 40);
    char text[40];
    WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof text, nullptr, nullptr);
    return text;
}

std::wstring wide(const char* text) {
    std::wstring out(MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, out.data(), int(out.size()));
    out.pop_back();
    return out;
}

bool read_file(const char* name, Bytes& out) {
    FILE* file = std::fopen(name, "rb");
    if (!file) return false;
    unsigned char chunk[65536];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) out.insert(out.end(), chunk, chunk + n);
    std::fclose(file);
    return true;
}

void line(const char* way, const char* check, const std::string& outcome) { std::printf("%s %s %s\n", way, check, outcome.c_str()); }

std::string hresult(HRESULT result) {
    char text[32];
    std::snprintf(text, sizeof text, "HRESULT 0x%08lX", static_cast<unsigned long>(result));
    return text;
}

// The converter's bitmap: a core header, 256 RGB triples, rows bottom first
// padded to 4 bytes. Rows are kept top first, as WIC gives them.
struct Reference {
    UINT width = 0, height = 0;
    UINT colours[256] = {};  // as WICColor: 0xAARRGGBB
    Bytes pixels;
    bool read(const char* name) {
        Bytes file;
        if (!read_file(name, file) || file.size() < 26 + 768 || file[0] != 'B' || file[1] != 'M' || file[14] != 12 || file[24] != 8)
            return false;
        auto word = [&](size_t at) { return UINT(file[at] | file[at + 1] << 8); };
        UINT offset = word(10) | word(12) << 16, stride = (word(18) + 3) & ~3u;
        width = word(18), height = word(20);
        for (int i = 0; i < 256; ++i)
            colours[i] = 0xFF000000u | file[26 + 3 * i + 2] << 16 | file[26 + 3 * i + 1] << 8 | file[26 + 3 * i];
        if (file.size() < offset + size_t(stride) * height) return false;
        for (UINT y = 0; y < height; ++y) {
            auto row = file.begin() + offset + size_t(stride) * (height - 1 - y);
            pixels.insert(pixels.end(), row, row + width);
        }
        return true;
    }
};

// Rows and columns where a copy differs from the reference, the first of them.
std::string compare(const Reference& reference, const WICRect& rect, const unsigned char* copy, UINT stride) {
    for (int y = 0; y < rect.Height; ++y)
        for (int x = 0; x < rect.Width; ++x)
            if (copy[size_t(y) * stride + x] != reference.pixels[size_t(rect.Y + y) * reference.width + rect.X + x]) {
                char text[96];
                std::snprintf(text, sizeof text, "pixel %d,%d differs (rect %d,%d %dx%d)", rect.X + x, rect.Y + y,
                              rect.X, rect.Y, rect.Width, rect.Height);
                return text;
            }
    return "ok";
}

// Copies `rect` (or the whole frame) into a buffer of its rows at `stride`
// bytes, of `size` bytes, followed by a canary; compares what lands there.
std::string copy_rect(IWICBitmapFrameDecode* frame, const Reference& reference, const WICRect& rect, UINT stride, UINT size,
                      bool whole = false) {
    const unsigned char fill = 0xEE;
    Bytes buffer(size + 64, fill);
    HRESULT result = frame->CopyPixels(whole ? nullptr : &rect, stride, size, buffer.data());
    for (size_t i = size; i < buffer.size(); ++i)
        if (buffer[i] != fill) return "wrote past its buffer";
    if (FAILED(result)) return hresult(result);
    for (int y = 0; y < rect.Height; ++y)  // what lies between rows is the caller's
        for (size_t i = size_t(y) * stride + rect.Width; i < std::min<size_t>(size_t(y + 1) * stride, size); ++i)
            if (buffer[i] != fill) return "wrote between rows";
    return compare(reference, rect, buffer.data(), stride);
}

std::string copy_bands(IWICBitmapFrameDecode* frame, const Reference& reference, int rows, bool reversed) {
    int count = (int(reference.height) + rows - 1) / rows;
    for (int k = 0; k < count; ++k) {
        int band = reversed ? count - 1 - k : k;
        WICRect rect = {0, band * rows, int(reference.width), std::min(rows, int(reference.height) - band * rows)};
        std::string outcome = copy_rect(frame, reference, rect, reference.width, reference.width * rect.Height);
        if (outcome != "ok") return outcome;
    }
    return "ok";
}

std::string check_palette(IWICImagingFactory* factory, IWICBitmapFrameDecode* frame, const Reference& reference) {
    Ref<IWICPalette> palette;
    UINT count = 0;
    WICColor colours[256];
    HRESULT result = factory->CreatePalette(&palette);
    if (SUCCEEDED(result)) result = frame->CopyPalette(palette);
    if (SUCCEEDED(result)) result = palette->GetColorCount(&count);
    if (FAILED(result)) return hresult(result);
    if (count != 256) return "has " + std::to_string(count) + " entries";
    palette->GetColors(256, colours, &count);
    for (int i = 0; i < 256; ++i)
        if (colours[i] != reference.colours[i]) {
            char text[64];
            std::snprintf(text, sizeof text, "entry %d is %08X", i, colours[i]);
            return text;
        }
    return "ok";
}

std::string check_bgra(IWICImagingFactory* factory, IWICBitmapFrameDecode* frame, const Reference& reference) {
    Ref<IWICFormatConverter> converter;
    HRESULT result = factory->CreateFormatConverter(&converter);
    if (SUCCEEDED(result))
        result = converter->Initialize(frame, GUID_WICPixelFormat32bppBGRA, WICBitmapDitherTypeNone, nullptr, 0,
                                       WICBitmapPaletteTypeCustom);
    std::vector<UINT> pixels(size_t(reference.width) * reference.height);
    if (SUCCEEDED(result))
        result = converter->CopyPixels(nullptr, reference.width * 4, UINT(pixels.size() * 4),
                                       reinterpret_cast<BYTE*>(pixels.data()));
    if (FAILED(result)) return hresult(result);
    for (size_t i = 0; i < pixels.size(); ++i)
        if (pixels[i] != reference.colours[reference.pixels[i]]) {
            char text[64];
            std::snprintf(text, sizeof text, "pixel %u,%u is %08X", UINT(i % reference.width), UINT(i / reference.width), pixels[i]);
            return text;
        }
    return "ok";
}

// Every check of one opened decoder, each line prefixed with `way`.
void check_decoder(const char* way, IWICImagingFactory* factory, IWICBitmapDecoder* decoder, const Reference& reference) {
    GUID container;
    HRESULT result = decoder->GetContainerFormat(&container);
    line(way, "container", SUCCEEDED(result) ? guid_text(container) : hresult(result));
    UINT frames = 0;
    Ref<IWICBitmapFrameDecode> frame, beyond;
    result = decoder->GetFrameCount(&frames);
    if (SUCCEEDED(result)) result = decoder->GetFrame(0, &frame);
    line(way, "frames", FAILED(result) ? hresult(result) : frames != 1 ? std::to_string(frames)
                        : SUCCEEDED(decoder->GetFrame(1, &beyond)) ? "gives a second" : "ok");
    if (!frame) return;
    UINT width = 0, height = 0;
    frame->GetSize(&width, &height);
    line(way, "size", width == reference.width && height == reference.height ? "ok"
                      : std::to_string(width) + "x" + std::to_string(height));
    WICPixelFormatGUID format;
    result = frame->GetPixelFormat(&format);
    line(way, "format", FAILED(result) ? hresult(result) : format == GUID_WICPixelFormat8bppIndexed ? "ok" : guid_text(format));
    if (width != reference.width || height != reference.height) return;
    line(way, "palette", check_palette(factory, frame, reference));
    line(way, "bgra", check_bgra(factory, frame, reference));
    int w = int(width), h = int(height);
    WICRect all = {0, 0, w, h};
    line(way, "whole", copy_rect(frame, reference, all, width, width * height, true));
    line(way, "bands", copy_bands(frame, reference, 7, false));
    line(way, "reversed", copy_bands(frame, reference, 5, true));
    std::string outcome = "ok";
    for (WICRect rect : {WICRect{0, 0, 1, 1}, WICRect{w - 1, 0, 1, 1}, WICRect{0, h - 1, 1, 1}, WICRect{w - 1, h - 1, 1, 1},
                         WICRect{w / 3, h / 3, w - w / 3 - w / 4, h - h / 3 - h / 4}, WICRect{w / 2, 0, 1, h}, WICRect{0, h / 2, w, 1}})
        if (outcome == "ok" && rect.Width > 0 && rect.Height > 0)
            outcome = copy_rect(frame, reference, rect, rect.Width + 3, (rect.Width + 3) * (rect.Height - 1) + rect.Width);
    // Rectangles reaching outside the picture are refused, and nothing is written.
    for (WICRect rect : {WICRect{1, 0, w, 1}, WICRect{0, 1, 1, h}, WICRect{-1, 0, 1, 1}, WICRect{0, h, 1, 1}}) {
        Bytes buffer(size_t(w + 1) * (h + 1), 0xEE);
        result = frame->CopyPixels(&rect, w + 1, UINT(buffer.size()), buffer.data());
        if (outcome == "ok" && (SUCCEEDED(result) || buffer != Bytes(buffer.size(), 0xEE)))
            outcome = "an outside rectangle " + std::string(SUCCEEDED(result) ? "copied" : "wrote");
    }
    line(way, "rectangles", outcome);
    // The least buffer a stride of more than the row takes: the last row
    // without its padding.
    UINT stride = width + 13;
    line(way, "stride", copy_rect(frame, reference, all, stride, stride * (height - 1) + width, true));
    std::string short_outcome = copy_rect(frame, reference, all, stride, stride * (height - 1) + width - 1, true);
    line(way, "short", short_outcome.starts_with("HRESULT") ? "ok" : "gave " + short_outcome);
}

IStream* memory_stream(const Bytes& bytes) { return SHCreateMemStream(bytes.data(), UINT(bytes.size())); }

// The picture opened each way a program may: by name, from a stream
// found by content, and (refused only) through the container's own decoder.
using Opened = std::function<void(const char* way, HRESULT, IWICBitmapDecoder*)>;
void open_each_way(IWICImagingFactory* factory, const char* name, const Bytes& bytes, bool direct, const Opened& then) {
    {
        Ref<IWICBitmapDecoder> decoder;
        HRESULT result = factory->CreateDecoderFromFilename(wide(name).c_str(), nullptr, GENERIC_READ,
                                                            WICDecodeMetadataCacheOnDemand, &decoder);
        then("file", result, decoder);
    }
    {
        Ref<IStream> stream;
        stream.p = memory_stream(bytes);
        Ref<IWICBitmapDecoder> decoder;
        HRESULT result = factory->CreateDecoderFromStream(stream, nullptr, WICDecodeMetadataCacheOnLoad, &decoder);
        then("stream", result, decoder);
    }
    if (direct) {
        Ref<IStream> stream;
        stream.p = memory_stream(bytes);
        Ref<IWICBitmapDecoder> decoder;
        HRESULT result = factory->CreateDecoder(container_colorrix, nullptr, &decoder);
        if (SUCCEEDED(result)) result = decoder->Initialize(stream, WICDecodeMetadataCacheOnDemand);
        then("direct", result, decoder);
    }
}

// Opens, takes the frame, reads all of its pixels: where that stops.
void refused(const char* way, HRESULT result, IWICBitmapDecoder* decoder) {
    if (FAILED(result)) return line(way, "open", hresult(result));
    Ref<IWICBitmapFrameDecode> frame;
    if (FAILED(result = decoder->GetFrame(0, &frame))) return line(way, "frame", hresult(result));
    UINT width = 0, height = 0;
    frame->GetSize(&width, &height);
    Bytes pixels(size_t(width) * height);
    result = frame->CopyPixels(nullptr, width, UINT(pixels.size()), pixels.data());
    line(way, FAILED(result) ? "pixels" : "decoded", FAILED(result) ? hresult(result) : std::to_string(width) + "x" + std::to_string(height));
}

// As Explorer does: the handler's class from the extension's key, started
// in this process and given the file as a stream of its bytes.
int thumbnail(const char* name, const Bytes& bytes, UINT size, const char* out) {
    const char* dot = std::strrchr(name, '.');
    std::string key = std::string(dot ? dot : "") + "\\ShellEx\\" + guid_text(iid_thumbnail_provider);
    char value[64];
    LONG length = sizeof value;
    if (!dot || RegQueryValueA(HKEY_CLASSES_ROOT, key.c_str(), value, &length) != ERROR_SUCCESS)
        return line("thumbnail", "handler", "none"), 0;
    line("thumbnail", "handler", value);
    CLSID handler;
    HRESULT result = CLSIDFromString(wide(value).c_str(), &handler);
    Ref<IInitializeWithStream> initialize;
    Ref<IThumbnailProvider> provider;
    Ref<IStream> stream;
    stream.p = memory_stream(bytes);
    if (SUCCEEDED(result)) result = CoCreateInstance(handler, nullptr, CLSCTX_INPROC_SERVER, IID_IInitializeWithStream, (void**)&initialize);
    if (SUCCEEDED(result)) result = initialize->Initialize(stream, STGM_READ);
    if (SUCCEEDED(result)) result = initialize->QueryInterface(iid_thumbnail_provider, (void**)&provider);
    HBITMAP bitmap = nullptr;
    WTS_ALPHATYPE alpha = WTSAT_UNKNOWN;
    if (SUCCEEDED(result)) result = provider->GetThumbnail(size, &bitmap, &alpha);
    if (FAILED(result)) return line("thumbnail", "made", hresult(result)), 0;
    DIBSECTION section = {};
    int described = GetObjectA(bitmap, sizeof section, &section);
    LONG width = section.dsBm.bmWidth, height = section.dsBm.bmHeight;
    BITMAPINFO info = {};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    std::vector<UINT> pixels(size_t(width) * height);
    HDC screen = GetDC(nullptr);
    int rows = GetDIBits(screen, bitmap, 0, UINT(height), pixels.data(), &info, DIB_RGB_COLORS);
    ReleaseDC(nullptr, screen);
    // GetObject gives a DIB section's height without its sign (wine, as
    // Windows): the order shows in its memory, whose first row is the top.
    bool top_down = described == sizeof section && section.dsBm.bmBits && rows == height &&
                    std::memcmp(section.dsBm.bmBits, pixels.data(), size_t(width) * 4) == 0;
    line("thumbnail", "bitmap", std::to_string(section.dsBm.bmBitsPixel) + " bits " + (top_down ? "top-down" : "not a top-down DIB") +
                                    " alpha " + std::to_string(alpha));
    DeleteObject(bitmap);
    if (rows != height) return line("thumbnail", "rows", "GetDIBits gave " + std::to_string(rows)), 0;
    Bytes file(8);
    std::memcpy(file.data(), &width, 4);
    std::memcpy(file.data() + 4, &height, 4);
    for (UINT pixel : pixels)
        file.insert(file.end(), {static_cast<unsigned char>(pixel >> 16), static_cast<unsigned char>(pixel >> 8), static_cast<unsigned char>(pixel)});
    FILE* output = std::fopen(out, "wb");
    if (!output || std::fwrite(file.data(), 1, file.size(), output) != file.size() || std::fclose(output) != 0)
        return std::printf("cannot write %s\n", out), 2;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    _setmode(_fileno(stdout), _O_BINARY);  // lines end in "\n" alone, on every system
    std::string mode = argc > 1 ? argv[1] : "";
    Bytes bytes;
    if (!((mode == "decode" && argc == 4) || (mode == "refused" && argc == 3) || (mode == "thumbnail" && argc == 5))) {
        std::printf("usage: wic_check decode PICTURE REFERENCE.bmp | refused PICTURE | thumbnail PICTURE SIZE OUT\n");
        return 2;
    }
    if (!read_file(argv[2], bytes)) return std::printf("cannot read %s\n", argv[2]), 2;
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return std::printf("no COM\n"), 2;
    int status = 0;
    {
        Ref<IWICImagingFactory> factory;
        HRESULT result = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory, (void**)&factory);
        if (FAILED(result)) {
            std::printf("factory %s\n", hresult(result).c_str());
            status = 2;
        } else if (mode == "decode") {
            Reference reference;
            if (!reference.read(argv[3])) {
                std::printf("cannot read the reference %s\n", argv[3]);
                status = 2;
            } else {
                open_each_way(factory, argv[2], bytes, false, [&](const char* way, HRESULT result, IWICBitmapDecoder* decoder) {
                    if (FAILED(result)) return line(way, "open", hresult(result));
                    check_decoder(way, factory, decoder, reference);
                });
            }
        } else if (mode == "refused") {
            open_each_way(factory, argv[2], bytes, true, refused);
        } else {
            status = thumbnail(argv[2], bytes, UINT(std::atoi(argv[3])), argv[4]);
        }
    }
    CoUninitialize();
    std::fflush(stdout);
    return status;
}
