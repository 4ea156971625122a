// The ColorRIX codec as Windows programs use it: through the imaging
// factory, which finds it by the file's content, and through the thumbnail
// handler Explorer looks up by extension. One line a check, for the suite:
//
//   wic_check decode PICTURE REFERENCE.bmp   every way of reading the picture against the converter's bitmap
//   wic_check refused PICTURE...             the HRESULT each way of opening and reading each ends with,
//                                            and its thumbnail's, each line after the picture's name
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
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

// The ColorRIX container; the direct way asks for its decoder by it, so
// that the codec's own HRESULT shows, not the factory's.
const GUID container_colorrix = {0x04afc6d2, 0x9912, 0x4c8d, {0xaf, 0xca, 0xb6, 0xc0, 0xfc, 0x29, 0xdd, 0xad}};

template <class T> struct Ref {  // released at the end of its scope
    T* p = nullptr;
    ~Ref() { if (p) p->Release(); }
    T** operator&() { return &p; }
    T* operator->() const { return p; }
    operator T*() const { return p; }
};

std::string guid_text(const GUID& guid) {
    wchar_t wide[40];
    StringFromGUID2(guid, wide, 40);
    return std::string(wide, wide + 38);
}

std::wstring wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

Bytes read_file(const char* name) {
    std::ifstream in(name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string named;  // what each line begins with

void line(const char* way, const char* check, const std::string& outcome) {
    std::printf("%s%s %s %s\n", named.c_str(), way, check, outcome.c_str());
}

std::string hresult(HRESULT result) {
    char text[32];
    return std::string(text, std::snprintf(text, sizeof text, "HRESULT 0x%08lX", static_cast<unsigned long>(result)));
}

// The converter's bitmap: a core header, 256 RGB triples, rows bottom first
// padded to 4 bytes; kept top first, as WIC gives them.
struct Reference {
    int width = 0, height = 0;
    UINT colours[256] = {};  // as WICColor: 0xAARRGGBB
    Bytes pixels;
    explicit Reference(const Bytes& file) {
        auto word = [&](size_t at) { return int(file[at] | file[at + 1] << 8); };
        width = word(18), height = word(20);
        for (int i = 0; i < 256; ++i) colours[i] = 0xFF000000u | file[28 + 3 * i] << 16 | file[27 + 3 * i] << 8 | file[26 + 3 * i];
        for (int y = height - 1; y >= 0; --y) {
            auto row = file.begin() + 794 + size_t((width + 3) & ~3) * y;
            pixels.insert(pixels.end(), row, row + width);
        }
    }
};

// Copies `rect` (the whole frame where null) at `stride` into a buffer of
// `size` bytes and a margin: what lands in the rows must be the
// reference's, and nothing between or after them may change.
std::string copy_rect(IWICBitmapFrameDecode* frame, const Reference& reference, const WICRect* rect, UINT stride, UINT size) {
    const WICRect area = rect ? *rect : WICRect{0, 0, reference.width, reference.height};
    Bytes buffer(size + 64, 0xEE);
    const HRESULT result = frame->CopyPixels(rect, stride, size, buffer.data());
    for (size_t at = 0; at < buffer.size(); ++at) {
        const size_t y = at / stride, x = at % stride;
        const bool inside = SUCCEEDED(result) && at < size && y < size_t(area.Height) && x < size_t(area.Width);
        const unsigned char want = inside ? reference.pixels[(area.Y + y) * reference.width + area.X + x] : 0xEE;
        if (buffer[at] != want) return (inside ? "pixel differs at " : "wrote outside at ") + std::to_string(at);
    }
    return SUCCEEDED(result) ? "ok" : hresult(result);
}

// Through the format converter, as most programs draw it: the palette's colours.
std::string check_bgra(IWICImagingFactory* factory, IWICBitmapFrameDecode* frame, const Reference& reference) {
    Ref<IWICFormatConverter> converter;
    std::vector<UINT> pixels(reference.pixels.size());
    HRESULT result = factory->CreateFormatConverter(&converter);
    if (SUCCEEDED(result)) result = converter->Initialize(frame, GUID_WICPixelFormat32bppBGRA, WICBitmapDitherTypeNone, nullptr, 0, WICBitmapPaletteTypeCustom);
    if (SUCCEEDED(result)) result = converter->CopyPixels(nullptr, reference.width * 4, UINT(pixels.size() * 4), reinterpret_cast<BYTE*>(pixels.data()));
    if (FAILED(result)) return hresult(result);
    for (size_t i = 0; i < pixels.size(); ++i)
        if (pixels[i] != reference.colours[reference.pixels[i]]) return "pixel " + std::to_string(i) + " differs";
    return "ok";
}

// Every check of one opened decoder, each line prefixed with `way`.
void check_decoder(const char* way, IWICImagingFactory* factory, IWICBitmapDecoder* decoder, const Reference& reference) {
    GUID container{};
    UINT frames = 0, width = 0, height = 0;
    Ref<IWICBitmapFrameDecode> frame, beyond;
    WICPixelFormatGUID format{};
    decoder->GetContainerFormat(&container);
    if (SUCCEEDED(decoder->GetFrameCount(&frames)) && SUCCEEDED(decoder->GetFrame(0, &frame))) frame->GetSize(&width, &height), frame->GetPixelFormat(&format);
    const int w = int(width), h = int(height);
    const bool one = container == container_colorrix && frames == 1 && FAILED(decoder->GetFrame(1, &beyond)) && w == reference.width &&
                     h == reference.height && format == GUID_WICPixelFormat8bppIndexed;
    line(way, "frame", one ? "ok" : guid_text(container) + " " + std::to_string(frames) + " of " + std::to_string(w) + "x" + std::to_string(h));
    if (!one) return;
    line(way, "bgra", check_bgra(factory, frame, reference));
    // The whole picture (no rectangle), then rectangles with the stride each
    // takes: bands from the top and from the bottom, corners and odd ones at
    // a wider stride.
    std::vector<std::pair<WICRect, UINT>> copies;
    for (int band = 0, rows = 7; band * rows < h; ++band) copies.push_back({{0, band * rows, w, std::min(rows, h - band * rows)}, width});
    for (int band = (h - 1) / 5, rows = 5; band >= 0; --band) copies.push_back({{0, band * rows, w, std::min(rows, h - band * rows)}, width});
    for (WICRect rect : {WICRect{0, 0, 1, 1}, WICRect{w - 1, h - 1, 1, 1}, WICRect{w / 3, h / 3, w - w / 3 - w / 4, h - h / 3 - h / 4},
                         WICRect{w / 2, 0, 1, h}, WICRect{0, h / 2, w, 1}, WICRect{0, 0, w, h}})
        if (rect.Width > 0 && rect.Height > 0) copies.push_back({rect, UINT(rect.Width) + 13});
    std::string outcome = copy_rect(frame, reference, nullptr, width, width * height);
    for (const auto& [rect, stride] : copies)  // the least buffer each takes: its last row without the stride's padding
        if (outcome == "ok") outcome = copy_rect(frame, reference, &rect, stride, stride * (rect.Height - 1) + rect.Width);
    line(way, "copies", outcome);
    const std::string short_outcome = copy_rect(frame, reference, nullptr, width + 13, (width + 13) * (height - 1) + width - 1);
    line(way, "short", short_outcome.starts_with("HRESULT") ? "ok" : "gave " + short_outcome);
}

// The picture opened each way a program may: by name, from a stream found
// by content, and (refused files only) through the container's decoder.
using Opened = std::function<void(const char* way, HRESULT, IWICBitmapDecoder*)>;
void open_each_way(IWICImagingFactory* factory, const char* name, const Bytes& bytes, bool direct, const Opened& then) {
    for (const char* way : {"file", "stream", "direct"}) {
        if (*way == 'd' && !direct) break;
        Ref<IStream> stream;
        Ref<IWICBitmapDecoder> decoder;
        stream.p = SHCreateMemStream(bytes.data(), UINT(bytes.size()));
        HRESULT result = *way == 'f' ? factory->CreateDecoderFromFilename(wide(name).c_str(), nullptr, GENERIC_READ, WICDecodeMetadataCacheOnDemand, &decoder)
                         : *way == 's' ? factory->CreateDecoderFromStream(stream, nullptr, WICDecodeMetadataCacheOnLoad, &decoder)
                                       : factory->CreateDecoder(container_colorrix, nullptr, &decoder);
        if (*way == 'd' && SUCCEEDED(result)) result = decoder->Initialize(stream, WICDecodeMetadataCacheOnDemand);
        then(way, result, decoder);
    }
}

// Opens, takes the frame, reads all of its pixels: where that stops.
void refused(const char* way, HRESULT result, IWICBitmapDecoder* decoder) {
    Ref<IWICBitmapFrameDecode> frame;
    UINT width = 0, height = 0;
    if (SUCCEEDED(result) && SUCCEEDED(result = decoder->GetFrame(0, &frame)) && SUCCEEDED(result = frame->GetSize(&width, &height))) {
        Bytes pixels(size_t(width) * height);
        result = frame->CopyPixels(nullptr, width, UINT(pixels.size()), pixels.data());
    }
    line(way, "ends", FAILED(result) ? hresult(result) : std::to_string(width) + "x" + std::to_string(height));
}

// As Explorer does: the handler's class from the extension's key, started
// in this process and given the file as a stream of its bytes; the
// bitmap's pixels to `out`, where one is named.
void thumbnail(const char* name, const Bytes& bytes, UINT size, const char* out) {
    const char* dot = std::strrchr(name, '.');
    const std::string key = std::string(dot ? dot : "") + "\\ShellEx\\" + guid_text(__uuidof(IThumbnailProvider));
    char value[64];
    LONG length = sizeof value;
    if (!dot || RegQueryValueA(HKEY_CLASSES_ROOT, key.c_str(), value, &length) != ERROR_SUCCESS) return line("thumbnail", "handler", "none");
    line("thumbnail", "handler", value);
    CLSID handler;
    Ref<IInitializeWithStream> initialize;
    Ref<IThumbnailProvider> provider;
    Ref<IStream> stream;
    stream.p = SHCreateMemStream(bytes.data(), UINT(bytes.size()));
    HBITMAP bitmap = nullptr;
    WTS_ALPHATYPE alpha = WTSAT_UNKNOWN;
    HRESULT result = CLSIDFromString(wide(value).c_str(), &handler);
    if (SUCCEEDED(result)) result = CoCreateInstance(handler, nullptr, CLSCTX_INPROC_SERVER, IID_IInitializeWithStream, (void**)&initialize);
    if (SUCCEEDED(result)) result = initialize->Initialize(stream, STGM_READ);
    if (SUCCEEDED(result)) result = initialize->QueryInterface(__uuidof(IThumbnailProvider), (void**)&provider);
    if (SUCCEEDED(result)) result = provider->GetThumbnail(size, &bitmap, &alpha);
    if (FAILED(result)) return line("thumbnail", "made", hresult(result));
    // The section's memory, rows top first as the handler made them.
    DIBSECTION section = {};
    GetObjectA(bitmap, sizeof section, &section);
    const BITMAP& shape = section.dsBm;
    line("thumbnail", "bitmap", std::to_string(shape.bmBitsPixel) + " bits alpha " + std::to_string(alpha));
    const UINT* pixels = static_cast<const UINT*>(shape.bmBits);
    std::ofstream file(out ? out : "NUL", std::ios::binary);
    file.write(reinterpret_cast<const char*>(&shape.bmWidth), 4).write(reinterpret_cast<const char*>(&shape.bmHeight), 4);
    for (LONG at = 0; pixels && shape.bmBitsPixel == 32 && at < shape.bmWidth * shape.bmHeight; ++at)
        file.put(char(pixels[at] >> 16)).put(char(pixels[at] >> 8)).put(char(pixels[at]));
    DeleteObject(bitmap);
}

}  // namespace

int main(int argc, char** argv) {
    _setmode(_fileno(stdout), _O_BINARY);  // lines end in "\n" alone, on every system
    const std::string mode = argc > 2 ? argv[1] : "";
    if (!((mode == "decode" && argc == 4) || mode == "refused" || (mode == "thumbnail" && argc == 5)))
        return std::printf("usage: wic_check decode PICTURE REFERENCE.bmp | refused PICTURE... | thumbnail PICTURE SIZE OUT\n"), 2;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    Ref<IWICImagingFactory> factory;
    const HRESULT result = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory, (void**)&factory);
    if (FAILED(result)) return std::printf("factory %s\n", hresult(result).c_str()), 2;
    if (mode == "decode") {
        const Reference reference(read_file(argv[3]));
        open_each_way(factory, argv[2], read_file(argv[2]), false, [&](const char* way, HRESULT opened, IWICBitmapDecoder* decoder) {
            if (FAILED(opened)) return line(way, "open", hresult(opened));
            check_decoder(way, factory, decoder, reference);
        });
    }
    for (int at = 2; mode == "refused" && at < argc; ++at) {
        named = std::string(argv[at]) + " ";
        const Bytes file = read_file(argv[at]);
        open_each_way(factory, argv[at], file, true, refused);
        thumbnail(argv[at], file, 64, nullptr);
    }
    if (mode == "thumbnail") thumbnail(argv[2], read_file(argv[2]), UINT(std::atoi(argv[3])), argv[4]);
    std::fflush(stdout);
    return 0;  // COM and the process end together
}
