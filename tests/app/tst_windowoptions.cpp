#include "app/DebugWindowSizer.h"
#include "app/PlatformEnvironment.h"
#include "app/PlayerWindowOptions.h"

#include <QCommandLineParser>
#include <QProcessEnvironment>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <latch>
#include <limits>
#include <thread>

#include <malloc.h>

using namespace talvorine;

class TestWindowOptions : public QObject {
    Q_OBJECT
private slots:
    void from_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<bool>("windowed");
        QTest::addColumn<QSize>("size");

        QTest::newRow("nothing") << QStringList{} << true << false << QSize(1280, 720);
        QTest::newRow("windowed") << QStringList{"--windowed"} << true << true << QSize(1920, 1080);
        QTest::newRow("size implies windowed") << QStringList{"--window-size=800x600"} << true
                                               << true << QSize(800, 600);
        QTest::newRow("largest") << QStringList{"--window-size", "8192x8192"} << true << true
                                 << QSize(8192, 8192);
        QTest::newRow("smallest") << QStringList{"--window-size=1x1"} << true << true << QSize(1, 1);
        QTest::newRow("with windowed") << QStringList{"--windowed", "--window-size=640x480"}
                                       << true << true << QSize(640, 480);
        QTest::newRow("width over") << QStringList{"--window-size=8193x600"} << false << true
                                    << QSize();
        QTest::newRow("height 9999") << QStringList{"--window-size=600x9999"} << false << true
                                     << QSize();
        QTest::newRow("five digits") << QStringList{"--window-size=10000x600"} << false << true
                                     << QSize();
        QTest::newRow("leading zero") << QStringList{"--window-size=0800x600"} << false << true
                                      << QSize();
        QTest::newRow("zero edge") << QStringList{"--window-size=0x600"} << false << true
                                   << QSize();
        QTest::newRow("capital X") << QStringList{"--window-size=800X600"} << false << true
                                   << QSize();
        QTest::newRow("trailing blank") << QStringList{"--window-size=800x600 "} << false << true
                                        << QSize();
        QTest::newRow("trailing line feed") << QStringList{"--window-size=800x600\n"} << false
                                            << true << QSize();
        QTest::newRow("sign") << QStringList{"--window-size=+800x600"} << false << true << QSize();
        QTest::newRow("empty") << QStringList{"--window-size="} << false << true << QSize();
        QTest::newRow("twice, equal") << QStringList{"--window-size=800x600", "--window-size=800x600"}
                                      << false << true << QSize();
    }
    void from()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, valid);
        QFETCH(bool, windowed);
        QFETCH(QSize, size);
        QCommandLineParser parser;
        PlayerWindowOptions::addTo(parser);
        QVERIFY(parser.parse(QStringList{"player"} + arguments));
        const PlayerWindowOptions options = PlayerWindowOptions::from(parser);
        QCOMPARE(options.valid, valid);
        QCOMPARE(options.windowed, windowed);
        if (valid)
            QCOMPARE(QSize(options.width, options.height), size);
    }

    void waylandPlatform_data()
    {
        QTest::addColumn<QByteArray>("value"); // "<unset>" unsets the variable
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QByteArray>("after");
        QTest::newRow("unset") << QByteArray("<unset>") << true << QByteArray("wayland");
        QTest::newRow("empty") << QByteArray("") << true << QByteArray("wayland");
        QTest::newRow("wayland") << QByteArray("wayland") << true << QByteArray("wayland");
        QTest::newRow("wayland first") << QByteArray("wayland;xcb") << true << QByteArray("wayland");
        QTest::newRow("xcb") << QByteArray("xcb") << false << QByteArray("xcb");
        QTest::newRow("capital W") << QByteArray("Wayland") << false << QByteArray("Wayland");
        QTest::newRow("wayland-egl") << QByteArray("wayland-egl") << false
                                     << QByteArray("wayland-egl");
        QTest::newRow("xcb first") << QByteArray("xcb;wayland") << false
                                   << QByteArray("xcb;wayland");
        QTest::newRow("offscreen") << QByteArray("offscreen") << false << QByteArray("offscreen");
    }
    void waylandPlatform()
    {
        QFETCH(QByteArray, value);
        QFETCH(bool, accepted);
        QFETCH(QByteArray, after);
        const QByteArray saved = qgetenv("QT_QPA_PLATFORM");
        if (value == "<unset>")
            qunsetenv("QT_QPA_PLATFORM");
        else
            qputenv("QT_QPA_PLATFORM", value);
        const bool result = configureWaylandPlatformEnvironment();
        const QByteArray now = qgetenv("QT_QPA_PLATFORM");
        qputenv("QT_QPA_PLATFORM", saved);
        QCOMPARE(result, accepted);
        QCOMPARE(now, after);
    }

    void graphicsEnvironment_data()
    {
        QTest::addColumn<QByteArray>("platform"); // "<unset>" unsets the variable
        QTest::addColumn<QByteArray>("window");
        QTest::addColumn<QByteArray>("inputMethod");
        QTest::addColumn<QByteArray>("platformAfter");
        QTest::addColumn<QByteArray>("windowAfter");
        QTest::addColumn<QByteArray>("inputMethodAfter");
        QTest::newRow("unset") << QByteArray("<unset>") << QByteArray("<unset>")
                               << QByteArray("<unset>") << QByteArray("egl")
                               << QByteArray("wayland") << QByteArray("none");
        QTest::newRow("empty") << QByteArray("") << QByteArray("") << QByteArray("")
                               << QByteArray("egl") << QByteArray("wayland") << QByteArray("none");
        QTest::newRow("operator's choice kept")
            << QByteArray("glx") << QByteArray("x11") << QByteArray("ibus") << QByteArray("glx")
            << QByteArray("x11") << QByteArray("ibus");
    }
    void graphicsEnvironment()
    {
        QFETCH(QByteArray, platform);
        QFETCH(QByteArray, window);
        QFETCH(QByteArray, inputMethod);
        QFETCH(QByteArray, platformAfter);
        QFETCH(QByteArray, windowAfter);
        QFETCH(QByteArray, inputMethodAfter);
        const auto set = [](const char* name, const QByteArray& value) {
            if (value == "<unset>")
                qunsetenv(name);
            else
                qputenv(name, value);
        };
        set("GST_GL_PLATFORM", platform);
        set("GST_GL_WINDOW", window);
        set("QT_IM_MODULE", inputMethod);
        configureGstGlEnvironment();
        configureInputMethodEnvironment();
        QCOMPARE(qgetenv("GST_GL_PLATFORM"), platformAfter);
        QCOMPARE(qgetenv("GST_GL_WINDOW"), windowAfter);
        QCOMPARE(qgetenv("QT_IM_MODULE"), inputMethodAfter);
    }

    // Only the operator turns the web engine's sandbox off; as root with it on, the engine
    // would end the process at the first web page.
    void webEngineSandbox_data()
    {
        QTest::addColumn<uint>("user");
        QTest::addColumn<QStringList>("environment"); // NAME=value
        QTest::addColumn<bool>("refused");
        QTest::newRow("another user") << 1000u << QStringList{} << false;
        // The engine takes the variable being set at all, whatever its value.
        QTest::newRow("root, sandbox disabled by 0")
            << 0u << QStringList{"QTWEBENGINE_DISABLE_SANDBOX=0"} << false;
        QTest::newRow("root, no-sandbox flag")
            << 0u << QStringList{"QTWEBENGINE_CHROMIUM_FLAGS=--dns-prefetch-disable --no-sandbox"}
            << false;
        QTest::newRow("root, a flag that only starts alike")
            << 0u << QStringList{"QTWEBENGINE_CHROMIUM_FLAGS=--no-sandboxing"} << true;
        QTest::newRow("root, the flag's name inside another's value")
            << 0u << QStringList{"QTWEBENGINE_CHROMIUM_FLAGS=--js-flags=--no-sandbox"} << true;
    }
    void webEngineSandbox()
    {
        QFETCH(uint, user);
        QFETCH(QStringList, environment);
        QFETCH(bool, refused);
        QProcessEnvironment given;
        for (const QString& assignment : environment)
            given.insert(assignment.section('=', 0, 0), assignment.section('=', 1));
        QCOMPARE(!webEngineSandboxRefusal(user, given).isEmpty(), refused);
    }

    // A line for the operator carries the journal's priority "err" only where standard error is
    // the stream the journal took, by device and inode.
    void journalStream_data()
    {
        QTest::addColumn<QByteArray>("journalStream");
        QTest::addColumn<bool>("named");
        QTest::newRow("this stream") << QByteArray("2049:131") << true;
        QTest::newRow("another inode of the device") << QByteArray("2049:1310") << false;
    }
    void journalStream()
    {
        QFETCH(QByteArray, journalStream);
        QFETCH(bool, named);
        QCOMPARE(namesJournalStream(journalStream, 2049, 131), named);
    }

    // Threads living at once share the bounded arenas, as malloc's own report lists them.
    void allocatorArenasBounded()
    {
        const auto arenas = [] {
            char* text = nullptr;
            size_t size = 0;
            FILE* report = open_memstream(&text, &size);
            malloc_info(0, report);
            std::fclose(report);
            const qsizetype count = QByteArray(text, qsizetype(size)).count("<heap nr=");
            free(text);
            return count;
        };
        boundAllocatorArenas();
        const qsizetype before = arenas();
        std::latch allocated(9);
        {
            std::jthread threads[8];
            for (std::jthread& thread : threads) {
                thread = std::jthread([&] {
                    const QByteArray block(4096, 'x'); // from malloc, in a library call
                    allocated.arrive_and_wait();
                });
            }
            allocated.arrive_and_wait();
        }
        QCOMPARE_LE(arenas(), std::max<qsizetype>(before, allocatorArenas));
    }

    // A block of a frame's size is mapped on its own even after one like it was freed, so that
    // freeing it gives it back to the system instead of leaving it in an arena.
    void largeBlocksMapped_data()
    {
        QTest::addColumn<size_t>("bytes");
        QTest::newRow("at the bound") << size_t(largeBlockBytes);
        QTest::newRow("1080p RGBA frame") << size_t(1920 * 1080 * 4);
        QTest::newRow("4K 10-bit 4:2:0 frame") << size_t(3840 * 2160 * 3);
    }
    void largeBlocksMapped()
    {
#if defined(__SANITIZE_ADDRESS__)
        QSKIP("AddressSanitizer's own allocator serves malloc; the C library's bound is unused");
#endif
        QFETCH(size_t, bytes);
        boundAllocatorArenas();
        for (int round = 0; round < 2; ++round) {
            const size_t mappedBefore = mallinfo2().hblkhd;
            void* block = malloc(bytes);
            QVERIFY(block);
            const size_t mapped = mallinfo2().hblkhd - mappedBefore;
            free(block);
            QVERIFY2(mapped >= bytes, qPrintable(QStringLiteral("round %1").arg(round)));
        }
    }

    void debugLogicalSize_data()
    {
        QTest::addColumn<QSize>("pixels");
        QTest::addColumn<qreal>("ratio");
        QTest::addColumn<QSize>("logical");
        QTest::newRow("ratio 2") << QSize(1920, 1080) << 2.0 << QSize(960, 540);
        QTest::newRow("ratio 1.5 floors") << QSize(1001, 1001) << 1.5 << QSize(667, 667);
        QTest::newRow("never zero") << QSize(1, 1) << 2.0 << QSize(1, 1);
        QTest::newRow("ratio 0") << QSize(800, 600) << 0.0 << QSize(800, 600);
        QTest::newRow("negative") << QSize(800, 600) << -2.0 << QSize(800, 600);
        QTest::newRow("nan") << QSize(800, 600) << std::numeric_limits<qreal>::quiet_NaN()
                             << QSize(800, 600);
        QTest::newRow("infinite") << QSize(800, 600) << std::numeric_limits<qreal>::infinity()
                                  << QSize(800, 600);
    }
    void debugLogicalSize()
    {
        QFETCH(QSize, pixels);
        QFETCH(qreal, ratio);
        QFETCH(QSize, logical);
        QCOMPARE(DebugWindowSizer::logicalSize(pixels, ratio), logical);
    }
};

QTEST_GUILESS_MAIN(TestWindowOptions)
#include "tst_windowoptions.moc"
