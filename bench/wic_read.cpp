// Reads a picture whole through the Windows Imaging Component, as a
// program that opens pictures does: the decoder found by the file's
// content, its frame's indices copied into one buffer. With --memory, the
// picture is opened twice, and the memory the second read took beside the
// buffer (the growth of the process's peak private bytes) is printed in KiB.
//
//     wic_read [--memory] PICTURE
#include <windows.h>
#include <psapi.h>
#include <wincodec.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string_view>

namespace {

SIZE_T peakPrivate() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return counters.PeakPagefileUsage;
}

int fail(const char* what, HRESULT result) {
    std::printf("%s failed: 0x%08lx\n", what, static_cast<unsigned long>(result));
    return 1;
}

}  // namespace

// The picture's first frame, through a decoder found by content.
HRESULT openFrame(IWICImagingFactory* factory, const wchar_t* name, IWICBitmapDecoder*& decoder, IWICBitmapFrameDecode*& frame) {
    HRESULT result = factory->CreateDecoderFromFilename(name, nullptr, GENERIC_READ, WICDecodeMetadataCacheOnDemand, &decoder);
    return SUCCEEDED(result) ? decoder->GetFrame(0, &frame) : result;
}

int wmain(int argc, wchar_t** argv) {
    const bool memory = argc == 3 && std::wstring_view(argv[1]) == L"--memory";
    if (argc != 2 && !memory) return 2;
    const wchar_t* name = argv[argc - 1];
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    IWICImagingFactory* factory = nullptr;
    HRESULT result = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                      reinterpret_cast<void**>(&factory));
    if (FAILED(result)) return fail("the factory", result);
    IWICBitmapDecoder* decoder = nullptr;
    IWICBitmapFrameDecode* frame = nullptr;
    UINT width = 0, height = 0;
    if (FAILED(result = openFrame(factory, name, decoder, frame)) || FAILED(result = frame->GetSize(&width, &height))) {
        return fail("the frame", result);
    }
    const std::size_t size = std::size_t{width} * height;
    std::unique_ptr<BYTE[]> pixels(new BYTE[size]);
    SIZE_T before = 0;
    if (memory) {
        frame->Release();
        decoder->Release();
        std::fill_n(pixels.get(), size, 1);  // touched, so that it counts before the read
        before = peakPrivate();
        if (FAILED(result = openFrame(factory, name, decoder, frame))) return fail("the frame", result);
    }
    result = frame->CopyPixels(nullptr, width, static_cast<UINT>(size), pixels.get());
    if (FAILED(result)) return fail("CopyPixels", result);
    if (memory) std::printf("%lu\n", static_cast<unsigned long>((peakPrivate() - before) / 1024));
    frame->Release();
    decoder->Release();
    factory->Release();
    return 0;
}
