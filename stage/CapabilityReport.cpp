#include "stage/CapabilityReport.h"

#include "stage/GstPipelineSupport.h"

#include <gst/gst.h>

namespace talvorine {

namespace {

using gstsupport::hasFactory;

QStringList probeStreamTransports()
{
    QStringList transports;
    const bool hlsDemuxer = hasFactory("hlsdemux2") || hasFactory("hlsdemux");
    const bool httpsSource = hasFactory("souphttpsrc");
    if (hlsDemuxer && httpsSource)
        transports.append(QStringLiteral("hls"));
    // Multicast is opt-in: a signage network rarely routes it, and joining a group by accident
    // can flood a site's switches.
    if (qgetenv("TALVORINE_ENABLE_MULTICAST") == "1" && hasFactory("udpsrc")
        && hasFactory("tsdemux"))
        transports.append(QStringLiteral("udp-mpegts"));
    return transports;
}

} // namespace

CapabilityReport::CapabilityReport(QObject* parent)
    : QObject(parent)
{
    if (!gst_is_initialized())
        gst_init(nullptr, nullptr);
    qml6glsink_ = hasFactory("qml6glsink");
    v4l2slh265dec_ = hasFactory("v4l2slh265dec");
    glimagesink_ = hasFactory("glimagesink");
    streamTransports_ = probeStreamTransports();
    gchar* version = gst_version_string();
    gstreamerVersion_ = QString::fromUtf8(version);
    g_free(version);
}

QJsonObject CapabilityReport::toJson() const
{
    return {
        {QStringLiteral("gstreamer"), gstreamerVersion_},
        {QStringLiteral("stream_transports"), streamTransports_.join(QLatin1Char(','))},
        {QStringLiteral("qt_webengine"), webEngine_},
        {QStringLiteral("qml6glsink"), qml6glsink_},
        {QStringLiteral("v4l2slh265dec"), v4l2slh265dec_},
        {QStringLiteral("glimagesink"), glimagesink_},
        {QStringLiteral("hardware_decode_validated"), false},
        {QStringLiteral("summary"), summary()},
    };
}

QStringList CapabilityReport::hostCapabilities() const
{
    QStringList capabilities{QStringLiteral("webengine")};
    if (qml6glsink_)
        capabilities.append(QStringLiteral("gpu_video_sink"));
    if (streamTransports_.contains(QLatin1String("hls")))
        capabilities.append(QStringLiteral("hls"));
    if (streamTransports_.contains(QLatin1String("udp-mpegts")))
        capabilities.append(QStringLiteral("multicast"));
    return capabilities;
}

QString CapabilityReport::summary() const
{
    const auto state = [](bool present) {
        return present ? QStringLiteral("ok") : QStringLiteral("missing");
    };
    return QStringLiteral("qml6glsink %1; v4l2slh265dec %2; hardware decode not validated")
        .arg(state(qml6glsink_), state(v4l2slh265dec_));
}

} // namespace talvorine
