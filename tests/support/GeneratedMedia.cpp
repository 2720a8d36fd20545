#include "tests/support/GeneratedMedia.h"

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QImageWriter>

#include <algorithm>

#include <gst/gst.h>

namespace talvorine::test {

namespace {

bool runToEnd(const QString& description, QString* error)
{
    if (!gst_is_initialized())
        gst_init(nullptr, nullptr);
    GError* parseError = nullptr;
    GstElement* pipeline = gst_parse_launch(description.toUtf8().constData(), &parseError);
    if (!pipeline || parseError) {
        if (error)
            *error = QString::fromUtf8(parseError ? parseError->message : "parse failed");
        g_clear_error(&parseError);
        if (pipeline)
            gst_object_unref(pipeline);
        return false;
    }
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    GstBus* bus = gst_element_get_bus(pipeline);
    GstMessage* message = gst_bus_timed_pop_filtered(
        bus, 300 * GST_SECOND, GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    bool ok = message && GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS;
    if (!ok && error) {
        *error = QStringLiteral("no end of stream");
        if (message && GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
            GError* failure = nullptr;
            gst_message_parse_error(message, &failure, nullptr);
            *error = QString::fromUtf8(failure ? failure->message : "error");
            g_clear_error(&failure);
        }
    }
    if (message)
        gst_message_unref(message);
    gst_object_unref(bus);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
    return ok;
}

// A little-endian number of the given width in bytes.
template <int bytes = 2>
void put(QByteArray& out, quint32 value)
{
    for (int i = 0; i < bytes; ++i)
        out.append(char((value >> (8 * i)) & 0xff));
}

QByteArray riffChunk(const char* tag, const QByteArray& body)
{
    QByteArray out(tag, 4);
    put<4>(out, quint32(body.size()));
    out.append(body);
    if (body.size() % 2)
        out.append('\0');
    return out;
}

QByteArray encoded(const QImage& image, const char* format, int quality)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.setQuality(quality);
    return writer.write(image) ? bytes : QByteArray();
}

QString quoted(const QString& path)
{
    return QLatin1Char('"') + path + QLatin1Char('"');
}

} // namespace

bool makeBarsClip(const QString& path, int width, int height, int frames, int fps, QString* error)
{
    return runToEnd(QStringLiteral("videotestsrc pattern=smpte num-buffers=%1 ! "
                                   "video/x-raw,format=I420,width=%2,height=%3,framerate=%4/1 ! "
                                   "vp8enc deadline=1 cpu-used=8 target-bitrate=4000000 ! "
                                   "webmmux ! filesink location=%5")
                        .arg(frames)
                        .arg(width)
                        .arg(height)
                        .arg(fps)
                        .arg(quoted(path)),
                    error);
}

bool makeMovingClip(const QString& path, int width, int height, int frames, int fps,
                    QString* error)
{
    return runToEnd(QStringLiteral("videotestsrc pattern=ball num-buffers=%1 ! "
                                   "video/x-raw,format=I420,width=%2,height=%3,framerate=%4/1 ! "
                                   "avenc_mpeg4 bitrate=8000000 ! matroskamux ! "
                                   "filesink location=%5")
                        .arg(frames)
                        .arg(width)
                        .arg(height)
                        .arg(fps)
                        .arg(quoted(path)),
                    error);
}

bool makeTenBitHevcClip(const QString& path, int width, int height, int frames, QString* error)
{
    return runToEnd(QStringLiteral("videotestsrc pattern=ball num-buffers=%1 ! "
                                   "video/x-raw,format=I420_10LE,width=%2,height=%3,framerate=30/1 ! "
                                   "x265enc speed-preset=ultrafast ! h265parse ! matroskamux ! "
                                   "filesink location=%4")
                        .arg(frames)
                        .arg(width)
                        .arg(height)
                        .arg(quoted(path)),
                    error);
}

bool makeAdClip(const QString& path, int width, int height, int frames, QString* error)
{
    const uint background = 0xff000000u | uint(adClipBackground.r) << 16
        | uint(adClipBackground.g) << 8 | uint(adClipBackground.b);
    return runToEnd(QStringLiteral("videotestsrc pattern=ball motion=sweep background-color=%1 "
                                   "foreground-color=0xffffffff num-buffers=%2 ! "
                                   "video/x-raw,format=I420,width=%3,height=%4,framerate=30/1 ! "
                                   "vp8enc deadline=1 cpu-used=8 target-bitrate=2000000 ! "
                                   "webmmux ! filesink location=%5")
                        .arg(background)
                        .arg(frames)
                        .arg(width)
                        .arg(height)
                        .arg(quoted(path)),
                    error);
}

bool makeToneWav(const QString& path, int milliseconds, QString* error)
{
    // 1024 samples per buffer at 44.1 kHz.
    const int buffers = qMax(1, int(qint64(milliseconds) * 44100 / 1000 / 1024));
    return runToEnd(QStringLiteral("audiotestsrc wave=sine num-buffers=%1 samplesperbuffer=1024 ! "
                                   "audio/x-raw,format=S16LE,rate=44100,channels=1 ! wavenc ! "
                                   "filesink location=%2")
                        .arg(buffers)
                        .arg(quoted(path)),
                    error);
}

bool makeCorruptFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QByteArray bytes;
    for (int i = 0; i < 65536; ++i)
        bytes.append(char((i * 7919 + 13) & 0xff));
    return file.write(bytes) == bytes.size();
}

QByteArray animatedGif(QSize size, const QList<QRgb>& colours, int frames, int delayMs)
{
    // A palette of at least four entries: its index width is the LZW minimum code size.
    int bits = 2;
    while ((1 << bits) < colours.size())
        ++bits;
    QByteArray out("GIF89a");
    put(out, size.width());
    put(out, size.height());
    out.append(char(0xF0 | (bits - 1))); // global colour table of 2^bits entries
    out.append(2, '\0');
    for (int i = 0; i < (1 << bits); ++i) {
        const QRgb colour = colours.value(i, 0);
        out.append(char(qRed(colour))).append(char(qGreen(colour))).append(char(qBlue(colour)));
    }
    out.append("\x21\xFF\x0BNETSCAPE2.0\x03\x01\x00\x00\x00", 19); // loop for ever
    const int clear = 1 << bits;
    const int width = bits + 1;
    for (int f = 0; f < frames; ++f) {
        out.append("\x21\xF9\x04\x04", 4); // graphic control: keep the frame
        put(out, delayMs / 10);
        out.append(2, '\0');
        out.append(char(0x2C));
        out.append(4, '\0'); // at the top left
        put(out, size.width());
        put(out, size.height());
        out.append('\0');
        out.append(char(bits));
        // Literal codes only, with a clear code before every second one: the code table never
        // grows past the first code width, so no compression is needed to stay valid.
        QByteArray codes;
        quint32 pending = 0;
        int pendingBits = 0;
        const auto emitCode = [&](int code) {
            pending |= quint32(code) << pendingBits;
            for (pendingBits += width; pendingBits >= 8; pendingBits -= 8, pending >>= 8)
                codes.append(char(pending & 0xff));
        };
        for (int p = 0; p < size.width() * size.height(); ++p) {
            if (p % 2 == 0)
                emitCode(clear);
            emitCode(f % int(colours.size()));
        }
        emitCode(clear + 1);
        if (pendingBits > 0)
            codes.append(char(pending & 0xff));
        for (qsizetype i = 0; i < codes.size(); i += 255) {
            const QByteArray block = codes.mid(i, 255);
            out.append(char(block.size())).append(block);
        }
        out.append('\0');
    }
    out.append(char(0x3B));
    return out;
}

QByteArray animatedWebp(QSize size, const QList<QRgb>& colours, int frames, int delayMs)
{
    QByteArray header;
    header.append(char(0x02)); // animation
    header.append(3, '\0');
    put<3>(header, size.width() - 1);
    put<3>(header, size.height() - 1);
    QByteArray animation;
    put<4>(animation, 0xff000000);
    put(animation, 0); // loop for ever
    QByteArray body = "WEBP" + riffChunk("VP8X", header) + riffChunk("ANIM", animation);
    for (int f = 0; f < frames; ++f) {
        QImage image(size, QImage::Format_RGB32);
        image.fill(colours.at(f % colours.size()));
        // Qt writes a still WebP: its one image chunk becomes the frame's.
        const QByteArray still = encoded(image, "webp", 100);
        if (still.size() <= 12)
            return {};
        QByteArray frame;
        frame.append(6, '\0'); // at the top left
        put<3>(frame, size.width() - 1);
        put<3>(frame, size.height() - 1);
        put<3>(frame, delayMs);
        frame.append(char(0x02)); // no blending
        body.append(riffChunk("ANMF", frame + still.mid(12)));
    }
    return riffChunk("RIFF", body);
}

QByteArray orientedJpeg(QSize stored, int orientation)
{
    QImage image(stored, QImage::Format_RGB32);
    image.fill(Qt::blue);
    for (int y = 0; y < stored.height() / 3; ++y)
        std::fill_n(reinterpret_cast<QRgb*>(image.scanLine(y)), stored.width(), qRgb(255, 0, 0));
    const QByteArray jpeg = encoded(image, "jpeg", 95);
    // An APP1 segment right after the start of image: a little-endian TIFF header and one IFD
    // holding the orientation tag alone.
    QByteArray exif("Exif\0\0II*\0", 10);
    put<4>(exif, 8);
    put(exif, 1);
    put(exif, 0x0112);
    put(exif, 3);
    put<4>(exif, 1);
    put(exif, orientation);
    put(exif, 0);
    put<4>(exif, 0);
    QByteArray segment("\xFF\xE1", 2);
    segment.append(char((exif.size() + 2) >> 8));
    segment.append(char((exif.size() + 2) & 0xff));
    return jpeg.left(2) + segment + exif + jpeg.mid(2);
}

} // namespace talvorine::test
