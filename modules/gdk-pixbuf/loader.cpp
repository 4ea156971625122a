// libpixbufloader-colorix.so: ColorRIX for gdk-pixbuf, through which GTK's
// picture viewers and thumbnailers open pictures. It only connects
// gdk-pixbuf's calls to the converter's readers (convert/pieces.hpp) and
// their refusals to GErrors: it runs inside the viewer's process, so every
// entry point catches what the readers throw and nothing is printed.
#define GDK_PIXBUF_ENABLE_BACKEND
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gdk-pixbuf/gdk-pixbuf-io.h>

#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <new>

#include "convert/pieces.hpp"

namespace {

using namespace quorvel;

void setError(GError** error, GdkPixbufError code, const char* message) {
    g_set_error_literal(error, GDK_PIXBUF_ERROR, code, message);
}

// The converter's reason, in words.
void setRefusal(GError** error, RixRefusal why) {
    switch (why) {
        case RixRefusal::NoSignature:
            return setError(error, GDK_PIXBUF_ERROR_CORRUPT_IMAGE, "The file is too short to be a ColorRIX image");
        case RixRefusal::NotRix:
            return setError(error, GDK_PIXBUF_ERROR_UNKNOWN_TYPE, "Not a ColorRIX image");
        case RixRefusal::SizeUnknown:
            return setError(error, GDK_PIXBUF_ERROR_FAILED, "The length of the ColorRIX file cannot be told");
        case RixRefusal::Unreadable:
            return setError(error, GDK_PIXBUF_ERROR_CORRUPT_IMAGE,
                            "The ColorRIX image is damaged, cut short or stored in a way that is not read");
        case RixRefusal::NoMemory:
            return setError(error, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY, "Not enough memory to read the ColorRIX image");
    }
}

// RGB without alpha, as the converted bitmap shows it; null and why when
// it cannot be had (a picture of no pixels is no pixbuf).
GdkPixbuf* newPixbuf(const RixRows& picture, GError** error) {
    if (picture.width == 0 || picture.height == 0) {
        setError(error, GDK_PIXBUF_ERROR_CORRUPT_IMAGE, "The ColorRIX image has no pixels");
        return nullptr;
    }
    GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, picture.width, picture.height);
    if (!pixbuf) setError(error, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY, "Not enough memory for the ColorRIX image's pixels");
    return pixbuf;
}

// The FILE* gdk-pixbuf opened, read at positions.
class FileBytes final : public platform::Readable {
public:
    explicit FileBytes(FILE* file) : file_(file) {}

    platform::Transfer readAt(std::uint64_t offset, void* destination, std::size_t count) override {
        if (fseeko(file_, static_cast<off_t>(offset), SEEK_SET) != 0) return {false, 0};
        const std::size_t done = std::fread(destination, 1, count, file_);
        return {done == count || !std::ferror(file_), done};
    }

    std::uint64_t size() const override {
        struct stat status {};
        if (fstat(fileno(file_), &status) != 0 || !S_ISREG(status.st_mode)) return platform::kSizeQueryFailed;
        return static_cast<std::uint64_t>(status.st_size);
    }

private:
    FILE* file_;
};

GdkPixbuf* loadFile(FILE* file, GError** error) {
    FileBytes bytes(file);
    RixRefusal why{};
    const std::unique_ptr<RixRows> picture = openRixRows(bytes, why);
    if (!picture) return setRefusal(error, why), nullptr;
    GdkPixbuf* pixbuf = newPixbuf(*picture, error);
    if (pixbuf && !fillRgb(*picture, gdk_pixbuf_get_pixels(pixbuf), gdk_pixbuf_get_rowstride(pixbuf), picture->height)) {
        g_object_unref(pixbuf);
        setRefusal(error, RixRefusal::Unreadable);
        return nullptr;
    }
    return pixbuf;
}

GdkPixbuf* load(FILE* file, GError** error) {
    try {
        return loadFile(file, error);
    } catch (...) {  // the readers' memory (std::bad_alloc), or anything else: never past gdk-pixbuf
        setRefusal(error, RixRefusal::NoMemory);
        return nullptr;
    }
}

// One incremental load: the pieces, the pixbuf their rows go into, and
// gdk-pixbuf's callbacks.
class Loading final : public RgbRowSink {
public:
    Loading(GdkPixbufModuleSizeFunc size, GdkPixbufModulePreparedFunc prepared, GdkPixbufModuleUpdatedFunc updated,
            gpointer caller)
        : size_(size), prepared_(prepared), updated_(updated), caller_(caller) {}

    ~Loading() override {
        if (pixbuf_) g_object_unref(pixbuf_);
        if (failure_) g_error_free(failure_);
    }

    RixPieces pieces{*this};

    // Why the picture stopped: the sink's own reason, or the converter's.
    gboolean failed(GError** error) const {
        if (failure_) {
            g_propagate_error(error, g_error_copy(failure_));
        } else {
            setRefusal(error, pieces.refusal().value_or(RixRefusal::Unreadable));
        }
        return FALSE;
    }

    bool prepared(const RixRows& picture, std::uint8_t*& rows, std::ptrdiff_t& stride) override {
        int width = picture.width, height = picture.height;
        if (size_ && width && height) {
            size_(&width, &height, caller_);
            if (width == 0 || height == 0) {  // gdk_pixbuf_get_file_info() wants the size alone: no pixels are made
                failure_ = g_error_new_literal(GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_FAILED, "Only the ColorRIX image's size was asked for");
            }
        }
        if (failure_ || !(pixbuf_ = newPixbuf(picture, &failure_))) return false;
        rows = gdk_pixbuf_get_pixels(pixbuf_);
        stride = gdk_pixbuf_get_rowstride(pixbuf_);
        if (prepared_) prepared_(pixbuf_, nullptr, caller_);
        return true;
    }

    void rowsIn(std::uint32_t first, std::uint32_t count) override {
        if (updated_) updated_(pixbuf_, 0, static_cast<int>(first), gdk_pixbuf_get_width(pixbuf_), static_cast<int>(count), caller_);
    }

private:
    GdkPixbufModuleSizeFunc size_;
    GdkPixbufModulePreparedFunc prepared_;
    GdkPixbufModuleUpdatedFunc updated_;
    gpointer caller_;
    GdkPixbuf* pixbuf_ = nullptr;
    GError* failure_ = nullptr;
};

gpointer beginLoad(GdkPixbufModuleSizeFunc size, GdkPixbufModulePreparedFunc prepared, GdkPixbufModuleUpdatedFunc updated,
                   gpointer caller, GError** error) {
    try {
        return new Loading(size, prepared, updated, caller);
    } catch (...) {
        setRefusal(error, RixRefusal::NoMemory);
        return nullptr;
    }
}

gboolean loadIncrement(gpointer context, const guchar* bytes, guint count, GError** error) {
    auto& loading = *static_cast<Loading*>(context);
    try {
        return loading.pieces.take(bytes, count) ? TRUE : loading.failed(error);
    } catch (...) {
        return setRefusal(error, RixRefusal::NoMemory), FALSE;
    }
}

gboolean stopLoad(gpointer context, GError** error) {
    const std::unique_ptr<Loading> loading(static_cast<Loading*>(context));
    try {
        return loading->pieces.finish() ? TRUE : loading->failed(error);
    } catch (...) {
        return setRefusal(error, RixRefusal::NoMemory), FALSE;
    }
}

}  // namespace

extern "C" G_MODULE_EXPORT void fill_vtable(GdkPixbufModule* module) {
    module->load = load;
    module->begin_load = beginLoad;
    module->stop_load = stopLoad;
    module->load_increment = loadIncrement;
}

extern "C" G_MODULE_EXPORT void fill_info(GdkPixbufFormat* info) {
    static GdkPixbufModulePattern signature[] = {{const_cast<char*>("RIX3"), nullptr, 100}, {nullptr, nullptr, 0}};
    static const char* types[] = {"image/x-colorix", nullptr};
    // The names of the desktop's ColorRIX type (packaging/quorvel.xml): .sc? but .scm, .scn and .scr, which other types hold.
    static const char* extensions[] = {"rix", "vmg", "sca", "scb", "scc", "scd", "sce", "scf", "scg", "sch", "sci", "scj", "sck",
                                       "scl", "sco", "scp", "scq", "scs", "sct", "scu", "scv", "scw", "scx", "scy", "scz", nullptr};
    info->name = const_cast<char*>("colorix");
    info->signature = signature;
    info->description = const_cast<char*>("ColorRIX image");
    info->mime_types = const_cast<char**>(types);
    info->extensions = const_cast<char**>(extensions);
    info->flags = GDK_PIXBUF_FORMAT_THREADSAFE;
    info->license = const_cast<char*>("MIT");
}
