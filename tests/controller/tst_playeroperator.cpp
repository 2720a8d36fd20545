// The operator's keys, sent as key events to a window as the platform sends them, and the
// service's screenshot requests answered through the fake runtime service.

#include "app/PlayerOpLog.h"
#include "runtime/RuntimeWireContract.h"
#include "tests/support/ControllerHarness.h"
#include "tests/support/OpLogListener.h"
#include "tests/support/TestFiles.h"

#include <QBuffer>
#include <QJsonDocument>
#include <QKeyEvent>
#include <QSignalSpy>
#include <QTest>
#include <QWindow>

using namespace talvorine;
using talvorine::test::ControllerAccess;
using talvorine::test::ControllerHarness;
using talvorine::test::OpLogListener;
using Reply = talvorine::test::FakeRuntimeService::Reply;
namespace W = talvorine::RuntimeWire;

namespace {

constexpr int waitMs = ControllerHarness::waitMs;
constexpr auto chord = Qt::ControlModifier | Qt::AltModifier;

// The player's window: it counts the key events that reach it, so a key the controller took
// never arrives.
class KeyWindow : public QWindow {
public:
    // True when the controller consumed the event.
    bool send(int key, Qt::KeyboardModifiers modifiers = {}, bool autoRepeat = false,
              QEvent::Type type = QEvent::KeyPress)
    {
        QKeyEvent event(type, key, modifiers, QString(), autoRepeat);
        const int before = arrived_;
        QCoreApplication::sendEvent(this, &event);
        return arrived_ == before;
    }

protected:
    bool event(QEvent* event) override
    {
        if (dynamic_cast<QKeyEvent*>(event))
            ++arrived_;
        return QWindow::event(event);
    }

private:
    int arrived_ = 0;
};

// Pages "p0", "p1", ... of one image each, their objects already in the controller's cache, with
// a dwell that does not end while the test runs.
Manifest cachedPages(PlayerController& c, const QList<QByteArray>& pages)
{
    ContentCache& cache = *ControllerAccess::contentCache(c);
    Manifest manifest = test::imagePagesManifest("man_1", pages, [&cache](char letter) {
        QByteArray bytes(64 + letter, letter);
        const QString sha = testfiles::sha(bytes);
        QBuffer source(&bytes);
        QString error;
        if (!source.open(QIODevice::ReadOnly)
            || !cache.commitVerified(source, sha, bytes.size(), &error, nullptr))
            qFatal("commit failed: %s", qPrintable(error));
        return std::pair<QString, qint64>(sha, bytes.size());
    });
    for (Page& page : manifest.pages)
        page.advance.insert("afterMs", 600000);
    return manifest;
}

int candidatePage(const PlayerController& c)
{
    const auto* candidate = ControllerAccess::candidate(c);
    return candidate ? candidate->pageIndex : -1;
}

QStringList fieldOf(const QList<QJsonObject>& records, const char* field)
{
    QStringList values;
    for (const QJsonObject& record : records)
        values.append(record.value(field).toString());
    return values;
}

QByteArray screenshotEvent(const QString& captureId, const QDateTime& expiresAt,
                           const QString& format = QStringLiteral("image/webp"))
{
    const QJsonObject details{{"capture_id", captureId},
                              {"expires_at", expiresAt.toString(Qt::ISODateWithMs)},
                              {"format", format},
                              {"max_width_divisor", 2},
                              {"max_height_divisor", 2},
                              {"quality", 80},
                              {"max_bytes", 2097152}};
    return "data: "
        + QJsonDocument(QJsonObject{{"type", W::screenshotRequestedEvent}, {"details", details}})
              .toJson(QJsonDocument::Compact)
        + "\n\n";
}

QString shot(char letter)
{
    return QStringLiteral("shot_") + QString(16, QLatin1Char(letter));
}

} // namespace

class TestPlayerOperator : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<ControllerHarness> harness;

    ControllerHarness& make()
    {
        harness = std::make_unique<ControllerHarness>();
        if (!harness->ready())
            qFatal("%s", qPrintable(harness->setupError()));
        harness->service().script("POST", W::reportsRoute,
                                  QList<Reply>(40, Reply::json(200, QJsonObject())));
        if (!harness->mintSession())
            qFatal("no runtime session");
        return *harness;
    }

private slots:
    void cleanup()
    {
        if (harness) {
            const QStringList surprises = harness->surprises();
            harness.reset();
            QVERIFY2(surprises.isEmpty(), qPrintable(surprises.join(QLatin1Char('\n'))));
        }
    }

    // Steps, queued and coalesced steps, the pause and its hold, web pages, the pairing screen,
    // the panel's PIN, the identify card and a fatal surface, all by key events.
    void keys()
    {
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        KeyWindow window;
        const Manifest manifest = cachedPages(c, {"a", "b", "c"});
        ControllerAccess::preparePage(c, manifest, 0, false);
        ControllerAccess::activateCandidate(c);

        // A step prepares the next page; while it is prepared, steps queue and the last wins.
        QVERIFY(window.send(Qt::Key_Right));
        QCOMPARE(candidatePage(c), 1);
        QVERIFY(!window.send(Qt::Key_Right, {}, true)); // held down: not a step
        QVERIFY(window.send(Qt::Key_P));
        QVERIFY(window.send(Qt::Key_N));
        QCOMPARE(candidatePage(c), 1);
        QCOMPARE(fieldOf(h.devLog("manual_navigation"), "disposition"),
                 (QStringList{"accepted", "queued", "coalesced"}));
        QCOMPARE(fieldOf(h.devLog("manual_navigation"), "direction"),
                 (QStringList{"next", "previous", "next"}));
        ControllerAccess::activateCandidate(c);
        QTRY_COMPARE_WITH_TIMEOUT(candidatePage(c), 2, waitMs); // the queued step, replayed
        QCOMPARE(ControllerAccess::advanceReason(c), QStringLiteral("keyboard"));
        ControllerAccess::activateCandidate(c);
        // Return, Space and Escape come as plain presses: no shortcut takes them first.
        QVERIFY(window.send(Qt::Key_Escape, {}, false, QEvent::ShortcutOverride));
        QVERIFY(window.send(Qt::Key_Return, {}, false, QEvent::KeyRelease));

        // The pause stops the dwell for an hour by the wall clock, even when the timer fires
        // early because the clock was set back.
        QVERIFY(window.send(Qt::Key_Space, chord));
        QVERIFY(c.playbackPaused() && !h.timer("pageTimer")->isActive());
        QVERIFY(h.expireSoon("pauseHoldTimer"));
        QTRY_VERIFY_WITH_TIMEOUT(h.timer("pauseHoldTimer")->interval() == 3600000
                                     && h.timer("pauseHoldTimer")->isActive(),
                                 waitMs);
        QVERIFY(c.playbackPaused());
        h.clock().advance(3600000);
        QVERIFY(h.expireSoon("pauseHoldTimer"));
        QTRY_VERIFY_WITH_TIMEOUT(!c.playbackPaused(), waitMs);
        QVERIFY(h.timer("pageTimer")->isActive() && !h.timer("pauseHoldTimer")->isActive());

        // A web page keeps its keys; the operator's chord still steps and pauses it.
        Manifest web = manifest;
        web.pages[2].primitives[0].kind = PrimitiveKind::iframe;
        ControllerAccess::putOnGlass(c, web, 2, c.activeSlot());
        QVERIFY(!window.send(Qt::Key_Right) && !window.send(Qt::Key_N));
        QVERIFY(!c.togglePause());
        QVERIFY(window.send(Qt::Key_Space, chord) && c.playbackPaused());
        QVERIFY(window.send(Qt::Key_Space, chord) && !c.playbackPaused());
        QVERIFY(window.send(Qt::Key_Right, chord));
        QCOMPARE(candidatePage(c), 0); // around the end
        QCOMPARE(h.devLog("manual_navigation").last()["origin"].toString(), QStringLiteral("operator"));
        ControllerAccess::activateCandidate(c);

        // While the pairing code shows, keys step nothing; Escape still opens the panel.
        ControllerAccess::setPairingCode(c, QStringLiteral("ABC234"));
        QVERIFY(!window.send(Qt::Key_Right) && !window.send(Qt::Key_Right, chord));
        QCOMPARE(candidatePage(c), -1);
        ControllerAccess::setPairingCode(c, QString());

        // Escape opens the panel, locked by its PIN, which the arrows and the centre key enter.
        OperatorPanel& panel = *c.operatorPanel();
        QVERIFY(panel.setPin(QStringLiteral("010000")));
        QVERIFY(window.send(Qt::Key_Escape));
        QCOMPARE(panel.stageName(), QStringLiteral("locked"));
        QVERIFY(window.send(Qt::Key_Right) && window.send(Qt::Key_Up) && window.send(Qt::Key_Select));
        QCOMPARE(panel.stageName(), QStringLiteral("menu"));
        QCOMPARE(candidatePage(c), -1); // the panel took the arrow
        panel.close();

        c.summonIdentify();
        QVERIFY(c.identifyVisible() && h.timer("identifyTimer")->interval() == 10000);
        QVERIFY(h.expireSoon("identifyTimer"));
        QTRY_VERIFY_WITH_TIMEOUT(!c.identifyVisible(), waitMs);

        // Under a fatal surface no key is the player's, not even Escape.
        c.enterFatal(FatalSurface::TypefacesMissing);
        QVERIFY(!window.send(Qt::Key_Escape) && !window.send(Qt::Key_Right, chord));
        QVERIFY(!window.send(Qt::Key_Escape, {}, false, QEvent::ShortcutOverride));
        QVERIFY(!panel.isOpen());
    }

    // Screenshot requests as the service sends them: one WebP upload per capture, refusals on
    // the pairing screen and at a locked panel, shapes the player does not make, a request that
    // lapses while it is captured, and a late answer for a capture that a newer one replaced.
    void screenshots()
    {
        OpLogListener listener;
        QVERIFY(listener.listening());
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        test::FakeRuntimeService& s = h.service();
        // The operation log keeps its connection: one record is spent until the new collector
        // hears it.
        QTRY_VERIFY_WITH_TIMEOUT(
            (PlayerOpLog::finishLocal(PlayerOpLog::newId(), QStringLiteral("test.warm_up"), 0),
             !listener.lines().isEmpty()),
            waitMs);
        QImage picture(128, 72, QImage::Format_RGB32);
        picture.fill(QColor(200, 40, 40));
        ControllerAccess::setScreenshotGrab(c, [&picture] { return picture; });
        // The first upload is held until the test ends it; the rest are answered at once.
        s.script("PUT", W::screenshotRoute,
                 {Reply::eventStream(200, "application/json"), Reply::json(200, QJsonObject())});
        RuntimeTransport& t = h.transport();
        QSignalSpy requested(&t, &RuntimeTransport::screenshotRequested);
        QSignalSpy uploaded(&t, &RuntimeTransport::screenshotUploaded);
        QSignalSpy reported(&t, &RuntimeTransport::screenshotFailureReported);
        const QDateTime later(QDate(2030, 1, 1), QTime(0, 0), Qt::UTC);
        const auto puts = [&s] { return s.requestsTo(W::screenshotRoute); };

        // The same request twice is one capture: a lossy WebP at half size, under the limit.
        QCOMPARE(s.sendEvents(W::eventsRoute, screenshotEvent(shot('A'), later).repeated(2)), 1);
        QTRY_COMPARE_WITH_TIMEOUT(s.openStreams(W::screenshotRoute), 1, waitMs);
        QTRY_COMPARE_WITH_TIMEOUT(requested.size(), 2, waitMs);
        QCOMPARE(puts().size(), 1);
        const QByteArray webp = puts().first().body;
        QVERIFY(webp.startsWith("RIFF") && webp.mid(8, 4) == "WEBP" && webp.size() <= 2097152);
        QCOMPARE(puts().first().header(W::captureIdHeader), shot('A').toLatin1());
        QCOMPARE(QImage::fromData(webp, "webp").size(), QSize(64, 36));

        // A newer request while the first upload is out: each answer closes its own capture.
        s.sendEvents(W::eventsRoute, screenshotEvent(shot('B'), later));
        QTRY_COMPARE_WITH_TIMEOUT(uploaded.size(), 1, waitMs);
        s.closeStreams(W::screenshotRoute);
        QTRY_COMPARE_WITH_TIMEOUT(uploaded.size(), 2, waitMs);
        QCOMPARE(uploaded.at(1).at(0).toString(), shot('A'));

        // Refused on the pairing screen and at a locked panel, an unknown shape unsupported,
        // nothing grabbed a failed capture: each told to the service without a picture.
        const auto refuse = [&](char letter, const QString& format = QStringLiteral("image/webp")) {
            const qsizetype before = reported.size();
            s.sendEvents(W::eventsRoute, screenshotEvent(shot(letter), later, format));
            return QTest::qWaitFor([&] { return reported.size() > before; }, waitMs)
                ? QString::fromLatin1(puts().last().header(W::captureFailureHeader))
                : QString();
        };
        ControllerAccess::setPairingCode(c, QStringLiteral("ABC234"));
        QCOMPARE(refuse('C'), QStringLiteral("unsupported_surface"));
        ControllerAccess::setPairingCode(c, QString());
        QVERIFY(c.operatorPanel()->setPin(QStringLiteral("010000")));
        QVERIFY(c.handleKey(Qt::Key_Escape));
        QCOMPARE(refuse('D'), QStringLiteral("unsupported_surface"));
        c.operatorPanel()->close();
        QCOMPARE(refuse('E', QStringLiteral("image/png")), QStringLiteral("unsupported_surface"));
        picture = QImage();
        QCOMPARE(refuse('F'), QStringLiteral("capture_failed"));
        QTRY_COMPARE_WITH_TIMEOUT(s.requestsTo(W::reportsRoute).size(), 3, waitMs);
        QStringList conditions;
        for (const auto& report : s.requestsTo(W::reportsRoute))
            conditions.append(report.jsonBody()["code"].toString() + ' '
                              + report.jsonBody()["severity"].toString());
        QCOMPARE(conditions, (QStringList{"runtime.screenshot_surface_refused warning",
                                          "runtime.screenshot_surface_refused warning",
                                          "runtime.screenshot_encode_failed warning"}));

        // A request that lapses while its picture is taken sends nothing.
        const QDateTime soon = QDateTime::currentDateTimeUtc().addSecs(3600);
        ControllerAccess::setScreenshotGrab(c, [&h, &picture, soon] {
            h.clock().setNowMs(soon.toMSecsSinceEpoch());
            return picture;
        });
        picture = QImage(128, 72, QImage::Format_RGB32);
        const qsizetype sent = puts().size();
        s.sendEvents(W::eventsRoute, screenshotEvent(shot('G'), soon));
        QTRY_COMPARE_WITH_TIMEOUT(requested.size(), 8, waitMs);
        QCOMPARE(puts().size(), sent);

        // One operation per capture that was looked at, each closed once with its own answer.
        QStringList closed;
        QTRY_VERIFY_WITH_TIMEOUT(
            (closed.clear(),
             [&] {
                 for (const QJsonObject& record : listener.records())
                     if (record["op"] == "screenshot.capture" && record["phase"] != "start")
                         closed.append(record["phase"].toString() + ' '
                                       + record["id"].toString(
                                           record["problem"]["code"].toString()));
             }(),
             closed.size() == 6),
            waitMs);
        QCOMPARE(closed, (QStringList{"finish " + shot('B'), "finish " + shot('A'),
                                      "error " + shot('C'), "error " + shot('D'),
                                      "error " + shot('F'), "error screenshot_expired"}));
    }
};

QTEST_MAIN(TestPlayerOperator)
#include "tst_playeroperator.moc"
