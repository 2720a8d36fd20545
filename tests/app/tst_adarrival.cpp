// One ad arrival whole, on glass: a bound player with ad slots, its real scene under the
// compositor and the machine's clock, against the fake service whose own clock runs an hour
// ahead. Between a red and a blue content page stands an adslot page; the player forecasts it,
// resolves it, downloads and commits the creative, stages it while red shows, puts it on glass
// at its run and goes on to blue, and the service hears of it on its own clock.

#include "ads/AdContracts.h"
#include "ads/AdOutbox.h"
#include "controller/PlayerController.h"
#include "runtime/RuntimeWireContract.h"
#include "tests/support/ControllerHarness.h"
#include "tests/support/FakeAdSlots.h"
#include "tests/support/GeneratedMedia.h"
#include "tests/support/SceneWindow.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QJsonArray>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <memory>

using namespace talvorine;
using talvorine::test::ControllerAccess;
using talvorine::test::ControllerHarness;
using talvorine::test::FakeAdSlots;
using talvorine::test::ServedObject;
using Reply = talvorine::test::FakeRuntimeService::Reply;
namespace W = talvorine::RuntimeWire;

namespace {

constexpr int waitMs = ControllerHarness::waitMs;
constexpr qint64 serviceAheadMs = 3600000;
constexpr int adMs = 4000;

qint64 stampMs(const QJsonObject& event, const char* member)
{
    return parseAdStamp(event.value(QLatin1String(member)).toString()).toMSecsSinceEpoch();
}

} // namespace

class TestAdArrival : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("wayland"));
        test::SceneWindow::collectWarnings();
        QVERIFY(test::SceneWindow::loadResources());
    }

    void cleanupTestCase() { test::SceneWindow::stopCollectingWarnings(); }

    // arrival: "image" and "video" are filled, "empty" is left empty by the service, "closed"
    // is filled with a start window that closes before the red page's turn.
    void arrival_data()
    {
        QTest::addColumn<QString>("arrival");
        QTest::addColumn<QStringList>("events");
        QTest::newRow("image creative") << "image" << QStringList{"started", "completed"};
        QTest::newRow("video creative") << "video" << QStringList{"started", "completed"};
        QTest::newRow("empty arrival") << "empty" << QStringList{};
        QTest::newRow("window closed before the run") << "closed" << QStringList{"skipped"};
    }

    void arrival()
    {
        QFETCH(QString, arrival);
        QFETCH(QStringList, events);
        const bool video = arrival == "video";
        QTemporaryDir files;
        QString error;
        const QString clip = files.filePath("bars.webm");
        if (video)
            QVERIFY2(test::makeBarsClip(clip, 320, 180, adMs * 30 / 1000, 30, &error), qPrintable(error));
        QFile clipFile(clip);
        const QByteArray creative = video && clipFile.open(QIODevice::ReadOnly)
            ? clipFile.readAll()
            : ServedObject::picture("green", Qt::green).bytes;
        const ServedObject red = ServedObject::picture("red", Qt::red),
                           blue = ServedObject::picture("blue", Qt::blue);

        ControllerHarness h({.clock = PlayerClock::system()});
        QVERIFY2(h.ready(), qPrintable(h.setupError()));
        PlayerController& c = h.controller();
        test::FakeRuntimeService& s = h.service();
        s.setServerClockOffsetMs(serviceAheadMs);
        for (const ServedObject& object : {red, blue})
            s.putContent(object.path, object.bytes);
        if (arrival == "empty") {
            s.adSlots().empty("ad");
        } else {
            // A window that closes before the run stays closed: its renewals go unanswered.
            s.adSlots().fill("ad", {.startBeforeMs = arrival == "closed" ? 1500 : 50000,
                                    .kind = video ? "video" : "image",
                                    .durationMs = adMs,
                                    .contentType = video ? "video/webm" : "image/png",
                                    .creative = creative,
                                    .renewable = arrival != "closed"});
        }

        // Red stays 9 s unless the test turns it sooner, blue for good; the adslot page between
        // them is all the ad the manifest says. Its arrival, under 10 s away, is resolved at once
        // although the player has not heard the service's clock yet.
        const QJsonObject document = test::adslotDocument(
            QStringLiteral("man_ads-1"), {{red, 9000}, {blue, 600000}}, {{1, "ad", "lobby-slot"}});
        s.script("POST", W::sessionMintRoute, {ControllerHarness::sessionGranted(true)});
        s.script("GET", W::manifestV2Route,
                 {Reply::json(200, document).withHeader("ETag", "\"rev-ads\""), Reply::notModified()});
        s.script("POST", W::reportsRoute, {Reply::json(200, QJsonObject())});
        s.script("PUT", W::storageRoute, {Reply::json(200, QJsonObject())});

        test::SceneWindow scene(c);
        QVERIFY(scene.window() && QTest::qWaitForWindowExposed(scene.window()));
        QList<int> shown;
        connect(&c, &PlayerController::activeChanged, this, [&] {
            const int page = ControllerAccess::activePageIndex(c);
            if (shown.isEmpty() || shown.last() != page)
                shown.append(page);
        });
        QElapsedTimer onGlass;
        qint64 onGlassMs = -1;
        connect(&c, &PlayerController::adActiveChanged, this, [&] {
            if (c.property("adActive").toBool())
                onGlass.start();
            else if (onGlass.isValid() && onGlassMs < 0)
                onGlassMs = onGlass.elapsed();
        });

        QVERIFY(h.startBound());
        QTRY_VERIFY_WITH_TIMEOUT(test::SceneWindow::filledWith(scene.grab(), {255, 0, 0}), waitMs);
        // The other pages are fetched behind it, each turned to once it is whole.
        QTRY_VERIFY_WITH_TIMEOUT(ControllerAccess::unlandedPages(c).isEmpty(), waitMs);

        // Red on glass: the arrival is resolved and, when filled, its creative staged on the
        // idle stage and reported ready by the scene.
        const auto& occurrences = ControllerAccess::adOccurrences(c);
        const auto staged = [&c] {
            const PlayerController::PreparedPage* candidate = ControllerAccess::candidate(c);
            return candidate && candidate->adPresentation
                && candidate->readyPrimitives.contains(candidate->adPrimitiveId);
        };
        if (arrival == "empty") {
            QTRY_VERIFY_WITH_TIMEOUT(!s.requestsTo(W::adResolveRoute).isEmpty(), waitMs);
            QTRY_VERIFY_WITH_TIMEOUT(!occurrences.isEmpty()
                                         && occurrences.first().state == AdOccurrence::State::Empty,
                                     waitMs);
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(staged(), waitMs);
        }
        const AdOccurrence occurrence = occurrences.first();
        const AdOccurrence::Resolved decision = occurrence.resolved.value_or(AdOccurrence::Resolved());
        if (arrival == "closed") {
            const qint64 closes = decision.startBefore.toMSecsSinceEpoch();
            QTRY_VERIFY_WITH_TIMEOUT(h.transport().serverNowLoMs() > closes, waitMs);
        }

        // Red's turn ends: a filled arrival shows its creative in place of the adslot page, then
        // blue follows; an empty or expired one leaves blue to follow red at once.
        if (ControllerAccess::activePageIndex(c) == 0)
            QVERIFY(h.expireSoon("pageTimer"));
        if (arrival == "image")
            QTRY_VERIFY_WITH_TIMEOUT(test::SceneWindow::filledWith(scene.grab(), {0, 255, 0}), waitMs);
        else if (video)
            QTRY_VERIFY_WITH_TIMEOUT(test::SceneWindow::barsShown(scene.grab()), waitMs);
        const auto onGlassNow = [&] {
            return QStringLiteral("page %1 on slot %2, the middle shows #%3")
                .arg(ControllerAccess::activePageIndex(c))
                .arg(c.activeSlot())
                .arg(scene.grab().pixel(320, 180), 0, 16);
        };
        QTRY_VERIFY2_WITH_TIMEOUT(test::SceneWindow::filledWith(scene.grab(), {0, 0, 255}),
                                  qPrintable(onGlassNow()), waitMs);
        const QList<int> order = events.contains("started") ? QList<int>{0, 1, 2} : QList<int>{0, 2};
        QCOMPARE(shown, order);
        QVERIFY(!c.property("adActive").toBool());

        // The service hears of it once, with the decision's ids, on its own clock.
        QTRY_COMPARE_WITH_TIMEOUT(s.adSlots().receivedEvents().size(), events.size(), waitMs);
        const QList<QJsonObject> received = s.adSlots().receivedEvents();
        QStringList kinds;
        for (const QJsonObject& event : received) {
            kinds.append(event["kind"].toString());
            QCOMPARE(event["decision_id"].toString(), decision.decisionId);
            QCOMPARE(event["occurrence_id"].toString(), occurrence.id);
        }
        QCOMPARE(kinds, events);
        if (arrival == "closed") {
            QVERIFY(stampMs(received.first(), "ended_at") >= decision.startBefore.toMSecsSinceEpoch());
            QVERIFY(stampMs(received.first(), "ended_at") <= s.serverNowMs());
        }
        if (events.contains("started")) {
            const qint64 started = stampMs(received.first(), "started_at");
            const qint64 ended = stampMs(received.last(), "ended_at");
            QVERIFY2(started >= decision.startNotBefore.toMSecsSinceEpoch()
                         && started <= decision.startBefore.toMSecsSinceEpoch(),
                     qPrintable(received.first()["started_at"].toString()));
            QCOMPARE(stampMs(received.last(), "started_at"), started);
            QVERIFY(ended <= decision.playbackDeadline.toMSecsSinceEpoch());
            // Counted from the first frame, never longer than the test saw the ad on glass: an
            // image leaves when its timer ends, its duration after that frame; a video at its end
            // of stream, the clip played whole (within two frames) from its activation, and its
            // first frame judged while the clip had most of its way still to go (how soon after
            // the start depends on the machine's load).
            const qint64 lasted = ended - started;
            const QString figures = QStringLiteral("%1 ms, %2 ms on glass").arg(lasted).arg(onGlassMs);
            QCOMPARE(received.last()["duration_ms"].toInteger(), lasted);
            QVERIFY2(lasted <= onGlassMs, qPrintable(figures));
            if (video)
                QVERIFY2(onGlassMs >= adMs - 67 && lasted >= adMs / 2, qPrintable(figures));
            else
                QVERIFY2(lasted >= adMs, qPrintable(figures));
        }

        // Nothing is left to send.
        QTRY_VERIFY_WITH_TIMEOUT(!ControllerAccess::adRequestsOutstanding(c), waitMs);
        QTRY_VERIFY_WITH_TIMEOUT(ControllerAccess::adOutboxSettled(c), waitMs);
        AdOutbox onDisk(ControllerAccess::adOutbox(c).path());
        onDisk.load();
        QVERIFY(onDisk.pending().isEmpty() && onDisk.inflight().isEmpty());
        QVERIFY2(test::SceneWindow::warnings().isEmpty(),
                 qPrintable(test::SceneWindow::warnings().join('\n')));
        QVERIFY2(s.surprises().isEmpty(), qPrintable(s.surprises().join('\n')));
    }

    // The frame hooks on a real window: the render thread syncs and presents while the GUI thread
    // publishes a new page serial at every turn of its loop. Each presented frame names the
    // serial its own synchronisation saw (or the one before, for a frame without one), never
    // one the GUI published later. Run under the sanitizers, it also shows that nothing but the
    // atomics cross.
    void frameHooksUnderLoad()
    {
        ControllerHarness h;
        QVERIFY2(h.ready(), qPrintable(h.setupError()));
        PlayerController& c = h.controller();
        test::SceneWindow scene(c);
        QQuickWindow* window = scene.window();
        QVERIFY(window && QTest::qWaitForWindowExposed(window));
        struct Seen {
            std::atomic<quint64> published{0};
            std::atomic<int> frames{0};
            std::atomic<bool> offGuiThread{true};
            std::atomic<bool> faithful{true};
            // The render thread's own.
            quint64 synced = 0;
            quint64 presented = 0;
            bool syncedSinceFrame = false;
        };
        const auto seen = std::make_shared<Seen>();
        QThread* gui = QThread::currentThread();
        // After the controller's own hooks, which the scene window connected first. The GUI
        // thread waits while the scene synchronises, so what it published last is what the
        // controller just read.
        const QMetaObject::Connection synced = connect(
            window, &QQuickWindow::beforeSynchronizing, window,
            [seen] {
                seen->synced = seen->published.load();
                seen->syncedSinceFrame = true;
            },
            Qt::DirectConnection);
        const QMetaObject::Connection swapped = connect(
            window, &QQuickWindow::frameSwapped, window,
            [seen, gui, &c] {
                const quint64 expected = seen->syncedSinceFrame ? seen->synced : seen->presented;
                seen->presented = c.presentedSceneSerial();
                seen->syncedSinceFrame = false;
                if (seen->presented != expected || seen->presented > seen->published.load())
                    seen->faithful = false;
                if (QThread::currentThread() == gui)
                    seen->offGuiThread = false;
                ++seen->frames;
            },
            Qt::DirectConnection);
        QTimer publisher;
        connect(&publisher, &QTimer::timeout, this, [&] {
            const quint64 serial = seen->published.load() + 1;
            ControllerAccess::publishSceneSerial(c, serial);
            seen->published.store(serial);
            window->update();
        });
        publisher.start(0);
        QTRY_VERIFY_WITH_TIMEOUT(seen->frames.load() >= 240 || !seen->faithful.load(), 120000);
        publisher.stop();
        disconnect(synced);
        disconnect(swapped);
        QVERIFY(seen->faithful.load());
        QVERIFY(seen->offGuiThread.load());
        QVERIFY(c.presentedSceneSerial() > 0);
    }
};

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    TestAdArrival test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_adarrival.moc"
