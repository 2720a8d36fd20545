#include "stage/CapabilityReport.h"

#include <QTest>

#include <gst/gst.h>

using namespace talvorine;

namespace {

bool factoryExists(const char* name)
{
    GstElementFactory* factory = gst_element_factory_find(name);
    if (factory)
        gst_object_unref(factory);
    return factory != nullptr;
}

} // namespace

class TestCapabilityReport : public QObject {
    Q_OBJECT
private slots:
    void reportMatchesRegistry()
    {
        CapabilityReport report;
        QVERIFY(gst_is_initialized());
        const QJsonObject json = report.toJson();
        QCOMPARE(json.size(), 8);
        for (const char* element : {"qml6glsink", "v4l2slh265dec", "glimagesink"})
            QCOMPARE(json.value(QLatin1String(element)).toBool(), factoryExists(element));
        QCOMPARE(report.qmlGpuVideoSinkAvailable(), factoryExists("qml6glsink"));
        QVERIFY(json.value("gstreamer").toString().startsWith(QLatin1String("GStreamer 1.")));
        QCOMPARE(json.value("qt_webengine").toBool(), true);
        QCOMPARE(json.value("hardware_decode_validated").toBool(), false);
        const QString summary = json.value("summary").toString();
        QVERIFY(!summary.contains(u'\n'));
        QVERIFY(summary.endsWith(QLatin1String("hardware decode not validated")));
        QVERIFY(summary.contains(factoryExists("qml6glsink") ? QLatin1String("qml6glsink ok")
                                                             : QLatin1String("qml6glsink missing")));
    }

    void transports_data()
    {
        QTest::addColumn<QByteArray>("multicast");
        QTest::addColumn<bool>("udp");
        QTest::newRow("unset") << QByteArray() << false;
        QTest::newRow("one") << QByteArray("1") << true;
        QTest::newRow("true is not one") << QByteArray("true") << false;
        QTest::newRow("one with line feed") << QByteArray("1\n") << false;
    }
    void transports()
    {
        QFETCH(QByteArray, multicast);
        QFETCH(bool, udp);
        if (multicast.isNull())
            qunsetenv("TALVORINE_ENABLE_MULTICAST");
        else
            qputenv("TALVORINE_ENABLE_MULTICAST", multicast);
        CapabilityReport report;
        qunsetenv("TALVORINE_ENABLE_MULTICAST");

        const bool hls = (factoryExists("hlsdemux2") || factoryExists("hlsdemux"))
            && factoryExists("souphttpsrc");
        const bool udpAvailable = udp && factoryExists("udpsrc") && factoryExists("tsdemux");
        QStringList expected;
        if (hls)
            expected << "hls";
        if (udpAvailable)
            expected << "udp-mpegts";
        QCOMPARE(report.toJson().value("stream_transports").toString(), expected.join(u','));

        QStringList capabilities{"webengine"};
        if (report.qmlGpuVideoSinkAvailable())
            capabilities << "gpu_video_sink";
        if (hls)
            capabilities << "hls";
        if (udpAvailable)
            capabilities << "multicast";
        QCOMPARE(report.hostCapabilities(), capabilities);
    }
};

QTEST_GUILESS_MAIN(TestCapabilityReport)
#include "tst_capabilityreport.moc"
