// The ColorRIX image format plugin for Qt's QImageReader, one source for
// Qt 5 and Qt 6. It lives in other programs' processes (Gwenview's,
// Dolphin's previews through KDE's thumbnailer): every entry point catches
// what the readers throw and answers as QImageIOHandler does, with a false
// read(), nothing is printed, and a picture is read only through the
// QIODevice the reader hands over. The decoding is the converter's own.
#include <QBuffer>
#include <QImage>
#include <QImageIOHandler>
#include <QImageIOPlugin>
#include <QVector>

#include <algorithm>
#include <memory>
#include <optional>
#include <string_view>

#include "convert/host.hpp"

namespace quorvel::qt {

namespace {

// A device read at positions counted from where the handler found it, as
// a picture embedded in a larger device begins there.
class DeviceStream final : public SeekingStream {
public:
    explicit DeviceStream(QIODevice& device) : device_(device), start_(device.pos()) {}
    qint64 start() const { return start_; }

protected:
    bool seekTo(std::uint64_t offset) override {
        // Past the end a read comes back short, as a file's does; QBuffer
        // would refuse such a seek and print a warning.
        const qint64 size = device_.size();
        if (size < start_) return false;
        return device_.seek(start_ + static_cast<qint64>(std::min<std::uint64_t>(offset, size - start_)));
    }
    bool readSome(void* destination, std::uint32_t count, std::uint32_t& got) override {
        const qint64 read = device_.read(static_cast<char*>(destination), count);
        got = read > 0 ? static_cast<std::uint32_t>(read) : 0;
        return read >= 0;
    }
    std::uint64_t length() const override {
        const qint64 size = device_.size();
        return size >= start_ ? static_cast<std::uint64_t>(size - start_) : platform::kSizeQueryFailed;
    }

private:
    QIODevice& device_;
    qint64 start_;
};

// A picture opened on a device: where its bytes are read from, and its rows.
struct Opened {
    QBuffer held;  // a sequential device's bytes, which cannot be found there again
    std::optional<DeviceStream> stream;
    std::unique_ptr<RixRows> rows;
};

QImage allocated(QSize size) {
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    // Qt 6 holds every plugin to the program's allocation limit.
    QImage image;
    return QImageIOHandler::allocateImage(size, QImage::Format_Indexed8, &image) ? image : QImage();
#else
    return QImage(size, QImage::Format_Indexed8);
#endif
}

QVector<QRgb> colourTable(const RixRows& rows) {
    QVector<QRgb> colours(kPaletteEntries);
    for (std::size_t i = 0; i < kPaletteEntries; ++i) {
        const RGBTRIPLE& entry = rows.palette[i];
        colours[static_cast<int>(i)] = qRgb(entry.rgbtRed, entry.rgbtGreen, entry.rgbtBlue);
    }
    return colours;
}

class Handler final : public QImageIOHandler {
public:
    // The signature, peeked at: the bytes stay for whoever reads next.
    static bool canRead(QIODevice* device) {
        return device && device->isReadable() && device->peek(4) == QByteArrayLiteral("RIX3");
    }

    bool canRead() const override {
        // Once opened, a sequential device's bytes are held here, not there.
        if (opened_ ? !opened_->rows : !canRead(device())) return false;
        setFormat("colorix");
        return true;
    }

    bool read(QImage* image) override {
        try {
            RixRows* rows = picture();
            // Read once: what was held for it goes with this call, whatever its outcome.
            const std::unique_ptr<Opened> finished = std::move(opened_);
            return rows && image && readRows(*rows, *image);
        } catch (...) {
            opened_.reset();
            return false;
        }
    }

    bool supportsOption(ImageOption option) const override { return option == Size || option == ImageFormat; }

    QVariant option(ImageOption option) const override {
        if (option == ImageFormat) return QImage::Format_Indexed8;
        if (option != Size) return {};
        try {
            // The header and the palette, and a compressed picture's code
            // tree and lengths; the rows are left for read(), which takes
            // the picture as opened here (a sequential device's bytes too).
            if (const RixRows* rows = picture()) return QSize(rows->width, rows->height);
        } catch (...) {
        }
        return {};
    }

private:
    // The picture from the device's position on, opened once; null when
    // refused. A random-access device is left where it was found; a
    // sequential one gives what it holds (a network reply's bytes once
    // they are in), since the rows are read at positions.
    RixRows* picture() const {
        if (opened_) return opened_->rows.get();
        QIODevice* source = device();
        if (!source || !source->isReadable()) return nullptr;
        opened_ = std::make_unique<Opened>();
        const bool sequential = source->isSequential();
        if (sequential) {
            opened_->held.setData(source->readAll());
            opened_->held.open(QIODevice::ReadOnly);
        }
        DeviceStream& stream = opened_->stream.emplace(sequential ? opened_->held : *source);
        RixRefusal refusal{};
        opened_->rows = openRixRows(stream, refusal);
        if (!sequential) source->seek(stream.start());
        return opened_->rows.get();
    }

    // Into `image` only whole: a picture that fails on its way stays out.
    static bool readRows(RixRows& rows, QImage& image) {
        QImage picture = allocated(QSize(rows.width, rows.height));
        if (picture.isNull()) return false;  // no pixels, or more than can be had
        if (!rows.fill(picture.bits(), static_cast<std::ptrdiff_t>(picture.bytesPerLine()), rows.height)) return false;
        picture.setColorTable(colourTable(rows));
        image = std::move(picture);
        return true;
    }

    mutable std::unique_ptr<Opened> opened_;
};

bool isOwnFormat(const QByteArray& format) {
    constexpr std::string_view kLetters = "abcdefghijklopqstuvwxyz";  // .scm, .scn and .scr are others'
    return format == "colorix" || format == "rix" || format == "vmg" ||
           (format.size() == 3 && format.startsWith("sc") && kLetters.find(format[2]) != kLetters.npos);
}

}  // namespace

class Plugin final : public QImageIOPlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QImageIOHandlerFactoryInterface_iid FILE "colorix.json")

public:
    Capabilities capabilities(QIODevice* device, const QByteArray& format) const override {
        if (isOwnFormat(format)) return CanRead;
        if (!format.isEmpty()) return {};
        return Handler::canRead(device) ? CanRead : Capabilities();
    }

    QImageIOHandler* create(QIODevice* device, const QByteArray&) const override {
        auto* handler = new Handler;
        handler->setDevice(device);
        handler->setFormat("colorix");
        return handler;
    }
};

}  // namespace quorvel::qt

#include "plugin.moc"
