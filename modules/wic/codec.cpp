// The ColorRIX codec for the Windows Imaging Component, and the thumbnail
// handler Explorer asks for the same pictures. Both live in other programs'
// processes (Explorer's, Paint's, a viewer's): every entry point catches
// what the readers throw and answers with an HRESULT, nothing is printed,
// and a picture is read only through the IStream the caller hands over.
// What lies between these calls and the readers (a stream read at
// positions, a rectangle of rows, the box-filtered thumbnail) is in
// convert/, compiled and fuzzed on every platform.
#include <windows.h>
#include <propsys.h>
#include <shlobj.h>
#include <thumbcache.h>
#include <wincodec.h>

#include <atomic>
#include <memory>
#include <new>

#include "convert/host.hpp"
#include "convert/thumbnail.hpp"
#include "modules/wic/module.hpp"

namespace quorvel::wic {

namespace {

HMODULE module = nullptr;
std::atomic<long> liveObjects{0};
std::atomic<long> serverLocks{0};

// An IStream read at positions; its own failure is kept to be returned.
class ComStream final : public SeekingStream {
public:
    explicit ComStream(IStream* stream) : stream_(stream) { stream_->AddRef(); }
    ~ComStream() override { stream_->Release(); }
    ComStream(const ComStream&) = delete;
    ComStream& operator=(const ComStream&) = delete;

    HRESULT failure() const { return failure_; }

protected:
    bool seekTo(std::uint64_t offset) override {
        if (offset > static_cast<std::uint64_t>(INT64_MAX)) return false;
        LARGE_INTEGER to;
        to.QuadPart = static_cast<LONGLONG>(offset);
        return kept(stream_->Seek(to, STREAM_SEEK_SET, nullptr));
    }
    bool readSome(void* destination, std::uint32_t count, std::uint32_t& got) override {
        ULONG read = 0;
        const bool ok = kept(stream_->Read(destination, count, &read));
        got = read;
        return ok;
    }
    std::uint64_t length() const override {
        STATSTG status{};
        if (SUCCEEDED(stream_->Stat(&status, STATFLAG_NONAME))) return status.cbSize.QuadPart;
        // A stream without Stat tells its length by a seek to its end.
        ULARGE_INTEGER end{};
        if (SUCCEEDED(stream_->Seek(LARGE_INTEGER{}, STREAM_SEEK_END, &end))) return end.QuadPart;
        return platform::kSizeQueryFailed;
    }

private:
    bool kept(HRESULT result) {
        if (FAILED(result)) failure_ = result;
        return SUCCEEDED(result);
    }
    IStream* stream_;
    HRESULT failure_ = S_OK;
};

// A slim reader/writer lock held for a scope.
class Hold {
public:
    explicit Hold(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~Hold() { ReleaseSRWLockExclusive(&lock_); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

private:
    SRWLOCK& lock_;
};

// One opened picture, shared by a decoder and its frames; one caller at a
// time reads its rows.
struct Picture {
    explicit Picture(IStream* stream) : stream(stream) {}
    ComStream stream;
    std::unique_ptr<RixRows> rows;
    SRWLOCK lock = SRWLOCK_INIT;

    // What a failed read of the rows answers: the stream's own failure, or a damaged picture.
    HRESULT readFailure() const { return FAILED(stream.failure()) ? stream.failure() : WINCODEC_ERR_BADIMAGE; }
};

HRESULT openPicture(IStream* stream, std::shared_ptr<Picture>& picture) {
    if (!stream) return E_INVALIDARG;
    auto opened = std::make_shared<Picture>(stream);
    RixRefusal refusal{};
    opened->rows = openRixRows(opened->stream, refusal);
    if (opened->rows) {
        picture = std::move(opened);
        return S_OK;
    }
    if (FAILED(opened->stream.failure())) return opened->stream.failure();
    switch (refusal) {
        case RixRefusal::NoSignature:
        case RixRefusal::NotRix:
        case RixRefusal::SizeUnknown:
            return WINCODEC_ERR_BADHEADER;
        case RixRefusal::NoMemory:
            return E_OUTOFMEMORY;
        case RixRefusal::Unreadable:
            break;
    }
    return WINCODEC_ERR_BADIMAGE;
}

// Whatever a reader throws (only std::bad_alloc is expected) stays here.
template <typename Call>
HRESULT guarded(Call call) noexcept {
    try {
        return call();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

// Reference counting and the module's count of live objects.
template <typename Derived>
class Counted {
public:
    Counted() { ++liveObjects; }
    virtual ~Counted() { --liveObjects; }
    Counted(const Counted&) = delete;
    Counted& operator=(const Counted&) = delete;

protected:
    ULONG addReference() { return static_cast<ULONG>(++references_); }
    ULONG release() {
        const long left = --references_;
        if (left == 0) delete this;
        return static_cast<ULONG>(left);
    }

private:
    std::atomic<long> references_{1};
};

// QueryInterface's answer: `self`, one reference more, where the object has
// the interface asked for; none otherwise.
HRESULT handOut(IUnknown* self, bool has, void** object) {
    if (!object) return E_POINTER;
    *object = has ? self : nullptr;
    if (!has) return E_NOINTERFACE;
    self->AddRef();
    return S_OK;
}

#define QUORVEL_IUNKNOWN                                             \
    ULONG STDMETHODCALLTYPE AddRef() override { return addReference(); } \
    ULONG STDMETHODCALLTYPE Release() override { return release(); }

HRESULT fillPalette(const Picture& picture, IWICPalette* palette) {
    if (!palette) return E_INVALIDARG;
    WICColor colours[kPaletteEntries];
    for (std::size_t i = 0; i < kPaletteEntries; ++i) {
        const quorvel::RGBTRIPLE& entry = picture.rows->palette[i];
        colours[i] = 0xFF000000u | std::uint32_t{entry.rgbtRed} << 16 | std::uint32_t{entry.rgbtGreen} << 8 | entry.rgbtBlue;
    }
    return palette->InitializeCustom(colours, kPaletteEntries);
}

// What neither a ColorRIX nor its one frame holds: metadata, colour
// contexts, a thumbnail of its own.
HRESULT noMetadata(IWICMetadataQueryReader** reader) {
    if (reader) *reader = nullptr;
    return WINCODEC_ERR_UNSUPPORTEDOPERATION;
}

HRESULT noColorContexts(UINT* count) {
    if (!count) return E_INVALIDARG;
    *count = 0;
    return S_OK;
}

HRESULT noThumbnail(IWICBitmapSource** thumbnail) {
    if (thumbnail) *thumbnail = nullptr;
    return WINCODEC_ERR_CODECNOTHUMBNAIL;
}

class Frame final : public IWICBitmapFrameDecode, Counted<Frame> {
public:
    explicit Frame(std::shared_ptr<Picture> picture) : picture_(std::move(picture)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** object) override {
        const bool has = id == IID_IUnknown || id == IID_IWICBitmapSource || id == IID_IWICBitmapFrameDecode;
        return handOut(static_cast<IWICBitmapFrameDecode*>(this), has, object);
    }
    QUORVEL_IUNKNOWN

    HRESULT STDMETHODCALLTYPE GetSize(UINT* width, UINT* height) override {
        if (!width || !height) return E_INVALIDARG;
        *width = picture_->rows->width;
        *height = picture_->rows->height;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetPixelFormat(WICPixelFormatGUID* format) override {
        if (!format) return E_INVALIDARG;
        *format = GUID_WICPixelFormat8bppIndexed;
        return S_OK;
    }
    // A ColorRIX tells no resolution: the screen's customary one.
    HRESULT STDMETHODCALLTYPE GetResolution(double* x, double* y) override {
        if (!x || !y) return E_INVALIDARG;
        *x = *y = 96.0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE CopyPalette(IWICPalette* palette) override { return fillPalette(*picture_, palette); }
    HRESULT STDMETHODCALLTYPE CopyPixels(const WICRect* rectangle, UINT stride, UINT size, BYTE* buffer) override {
        return guarded([&] { return copyPixels(rectangle, stride, size, buffer); });
    }
    HRESULT STDMETHODCALLTYPE GetMetadataQueryReader(IWICMetadataQueryReader** reader) override { return noMetadata(reader); }
    HRESULT STDMETHODCALLTYPE GetColorContexts(UINT, IWICColorContext**, UINT* count) override { return noColorContexts(count); }
    HRESULT STDMETHODCALLTYPE GetThumbnail(IWICBitmapSource** thumbnail) override { return noThumbnail(thumbnail); }

private:
    HRESULT copyPixels(const WICRect* rectangle, UINT stride, UINT size, BYTE* buffer) {
        const RixRows& rows = *picture_->rows;
        WICRect whole{0, 0, rows.width, rows.height};
        const WICRect& wanted = rectangle ? *rectangle : whole;
        if (!buffer || wanted.X < 0 || wanted.Y < 0 || wanted.Width < 0 || wanted.Height < 0) return E_INVALIDARG;
        const Region region{static_cast<std::uint32_t>(wanted.X), static_cast<std::uint32_t>(wanted.Y),
                            static_cast<std::uint32_t>(wanted.Width), static_cast<std::uint32_t>(wanted.Height)};
        Hold hold(picture_->lock);
        switch (copyRegion(*picture_->rows, region, stride, buffer, size)) {
            case RegionOutcome::Done:
                return S_OK;
            case RegionOutcome::OutsidePicture:
                return E_INVALIDARG;
            case RegionOutcome::ShortBuffer:
                return WINCODEC_ERR_INSUFFICIENTBUFFER;
            case RegionOutcome::Unreadable:
                break;
        }
        return picture_->readFailure();
    }

    std::shared_ptr<Picture> picture_;
};

class Decoder final : public IWICBitmapDecoder, Counted<Decoder> {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** object) override {
        return handOut(static_cast<IWICBitmapDecoder*>(this), id == IID_IUnknown || id == IID_IWICBitmapDecoder, object);
    }
    QUORVEL_IUNKNOWN

    // Whether this decoder reads the stream, which is left where it was.
    HRESULT STDMETHODCALLTYPE QueryCapability(IStream* stream, DWORD* capability) override {
        if (!stream || !capability) return E_INVALIDARG;
        return guarded([&] {
            ULARGE_INTEGER position{};
            HRESULT result = stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_CUR, &position);
            if (FAILED(result)) return result;
            std::shared_ptr<Picture> picture;
            const HRESULT opened = openPicture(stream, picture);
            LARGE_INTEGER back;
            back.QuadPart = static_cast<LONGLONG>(position.QuadPart);
            result = stream->Seek(back, STREAM_SEEK_SET, nullptr);
            *capability = SUCCEEDED(opened) ? WICBitmapDecoderCapabilityCanDecodeAllImages |
                                                  WICBitmapDecoderCapabilityCanDecodeSomeImages
                                            : 0;
            return result;
        });
    }
    HRESULT STDMETHODCALLTYPE Initialize(IStream* stream, WICDecodeOptions) override {
        return guarded([&] {
            Hold hold(lock_);
            if (picture_) return WINCODEC_ERR_WRONGSTATE;
            return openPicture(stream, picture_);
        });
    }
    HRESULT STDMETHODCALLTYPE GetContainerFormat(GUID* format) override {
        if (!format) return E_INVALIDARG;
        *format = kContainerFormat;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetDecoderInfo(IWICBitmapDecoderInfo** information) override {
        if (!information) return E_INVALIDARG;
        *information = nullptr;
        IWICImagingFactory* factory = nullptr;
        HRESULT result = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                          reinterpret_cast<void**>(&factory));
        if (FAILED(result)) return result;
        IWICComponentInfo* component = nullptr;
        result = factory->CreateComponentInfo(kDecoderClass, &component);
        factory->Release();
        if (FAILED(result)) return result;
        result = component->QueryInterface(IID_IWICBitmapDecoderInfo, reinterpret_cast<void**>(information));
        component->Release();
        return result;
    }
    HRESULT STDMETHODCALLTYPE CopyPalette(IWICPalette* palette) override {
        const std::shared_ptr<Picture> picture = opened();
        return picture ? fillPalette(*picture, palette) : WINCODEC_ERR_NOTINITIALIZED;
    }
    HRESULT STDMETHODCALLTYPE GetMetadataQueryReader(IWICMetadataQueryReader** reader) override { return noMetadata(reader); }
    HRESULT STDMETHODCALLTYPE GetPreview(IWICBitmapSource** preview) override {
        if (preview) *preview = nullptr;
        return WINCODEC_ERR_UNSUPPORTEDOPERATION;
    }
    HRESULT STDMETHODCALLTYPE GetColorContexts(UINT, IWICColorContext**, UINT* count) override { return noColorContexts(count); }
    HRESULT STDMETHODCALLTYPE GetThumbnail(IWICBitmapSource** thumbnail) override { return noThumbnail(thumbnail); }
    HRESULT STDMETHODCALLTYPE GetFrameCount(UINT* count) override {
        if (!count) return E_INVALIDARG;
        if (!opened()) return WINCODEC_ERR_NOTINITIALIZED;
        *count = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetFrame(UINT index, IWICBitmapFrameDecode** frame) override {
        if (!frame) return E_INVALIDARG;
        *frame = nullptr;
        return guarded([&] {
            std::shared_ptr<Picture> picture = opened();
            if (!picture) return WINCODEC_ERR_NOTINITIALIZED;
            if (index != 0) return WINCODEC_ERR_FRAMEMISSING;
            *frame = new Frame(std::move(picture));
            return S_OK;
        });
    }

private:
    std::shared_ptr<Picture> opened() {
        Hold hold(lock_);
        return picture_;
    }

    SRWLOCK lock_ = SRWLOCK_INIT;
    std::shared_ptr<Picture> picture_;
};

// The thumbnail Explorer shows: the picture box-filtered into a 32-bit
// top-down bitmap no larger than asked, as quorvel-thumbnailer draws it.
class ThumbnailHandler final : public IThumbnailProvider, public IInitializeWithStream, Counted<ThumbnailHandler> {
public:
    ~ThumbnailHandler() override {
        if (stream_) stream_->Release();
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** object) override {
        if (id == IID_IInitializeWithStream) return handOut(static_cast<IInitializeWithStream*>(this), true, object);
        return handOut(static_cast<IThumbnailProvider*>(this), id == IID_IUnknown || id == __uuidof(IThumbnailProvider), object);
    }
    QUORVEL_IUNKNOWN

    HRESULT STDMETHODCALLTYPE Initialize(IStream* stream, DWORD) override {
        if (!stream) return E_INVALIDARG;
        if (stream_) return HRESULT_FROM_WIN32(ERROR_ALREADY_INITIALIZED);
        stream_ = stream;
        stream_->AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetThumbnail(UINT size, HBITMAP* bitmap, WTS_ALPHATYPE* alpha) override {
        if (!bitmap) return E_INVALIDARG;
        *bitmap = nullptr;
        if (!stream_) return E_UNEXPECTED;
        if (size == 0) return E_INVALIDARG;
        if (alpha) *alpha = WTSAT_RGB;
        return guarded([&] { return draw(size, *bitmap); });
    }

private:
    HRESULT draw(UINT size, HBITMAP& result) {
        std::shared_ptr<Picture> picture;
        HRESULT opened = openPicture(stream_, picture);
        if (FAILED(opened)) return opened;
        RixRows& rows = *picture->rows;
        if (rows.width == 0 || rows.height == 0) return WINCODEC_ERR_BADIMAGE;
        const ThumbnailShape shape = thumbnailShape(rows.width, rows.height, size);
        BITMAPINFO information{};
        information.bmiHeader.biSize = sizeof information.bmiHeader;
        information.bmiHeader.biWidth = static_cast<LONG>(shape.width);
        information.bmiHeader.biHeight = -static_cast<LONG>(shape.height);  // top-down
        information.bmiHeader.biPlanes = 1;
        information.bmiHeader.biBitCount = 32;
        information.bmiHeader.biCompression = BI_RGB;
        void* bits = nullptr;
        HBITMAP made = CreateDIBSection(nullptr, &information, DIB_RGB_COLORS, &bits, nullptr, 0);
        if (!made || !bits) return E_OUTOFMEMORY;
        auto* pixel = static_cast<std::uint8_t*>(bits);
        bool drawn = false;
        try {
            drawn = drawThumbnail(rows, size, [&pixel, &shape](const std::uint8_t* rgb) {
                for (std::uint32_t x = 0; x < shape.width; ++x, pixel += 4, rgb += 3) {
                    pixel[0] = rgb[2];
                    pixel[1] = rgb[1];
                    pixel[2] = rgb[0];
                    pixel[3] = 0xFF;
                }
                return true;
            });
        } catch (...) {
            DeleteObject(made);
            throw;
        }
        if (!drawn) {
            DeleteObject(made);
            return picture->readFailure();
        }
        result = made;
        return S_OK;
    }

    IStream* stream_ = nullptr;
};

template <typename Made>
class Factory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** object) override {
        return handOut(static_cast<IClassFactory*>(this), id == IID_IUnknown || id == IID_IClassFactory, object);
    }
    // One factory a class, for the module's life.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID id, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        Made* made = new (std::nothrow) Made();
        if (!made) return E_OUTOFMEMORY;
        const HRESULT result = made->QueryInterface(id, object);
        made->Release();
        return result;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        serverLocks += lock ? 1 : -1;
        return S_OK;
    }
};

Factory<Decoder> decoderFactory;
Factory<ThumbnailHandler> thumbnailFactory;

// The Classes key of the machine, or of the user.
HRESULT withClasses(HKEY root, HRESULT (*work)(HKEY)) {
    HKEY classes = nullptr;
    const LSTATUS opened = RegCreateKeyExW(root, L"Software\\Classes", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &classes, nullptr);
    if (opened != ERROR_SUCCESS) return HRESULT_FROM_WIN32(opened);
    const HRESULT result = work(classes);
    RegCloseKey(classes);
    // Explorer reads the extensions' handlers again.
    if (SUCCEEDED(result)) SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
    return result;
}

}  // namespace

HMODULE thisModule() { return module; }

}  // namespace quorvel::wic

using namespace quorvel::wic;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        module = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID id, REFIID wanted, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (id == kDecoderClass) return decoderFactory.QueryInterface(wanted, object);
    if (id == kThumbnailClass) return thumbnailFactory.QueryInterface(wanted, object);
    return CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() { return liveObjects == 0 && serverLocks == 0 ? S_OK : S_FALSE; }

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() { return withClasses(HKEY_LOCAL_MACHINE, registerCodec); }

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() { return withClasses(HKEY_LOCAL_MACHINE, unregisterCodec); }

// regsvr32 /n /i:user registers for the user alone, without an
// administrator, under the user's classes; /u /n /i:user removes that.
extern "C" HRESULT STDAPICALLTYPE DllInstall(BOOL install, LPCWSTR command) {
    const bool user = command && CompareStringOrdinal(command, -1, L"user", -1, TRUE) == CSTR_EQUAL;
    const bool machine = !command || !*command || CompareStringOrdinal(command, -1, L"machine", -1, TRUE) == CSTR_EQUAL;
    if (!user && !machine) return E_INVALIDARG;
    return withClasses(user ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE, install ? registerCodec : unregisterCodec);
}
