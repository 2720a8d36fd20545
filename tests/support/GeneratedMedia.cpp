#include "tests/support/GeneratedMedia.h"

#include <QFile>

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

} // namespace talvorine::test
