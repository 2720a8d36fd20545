// The built player, in-process under the compositor, restarted on its own state directory:
// played once against the fake service, stopped, and started again with the service down, it
// shows the stored revision's pages from its cache without a single request; with the service
// back it fetches exactly the object its stored pages miss, then takes a new revision announced
// while a page plays in the background and swaps to it without a frame of neither page.

#include "app/PlayerComposition.h"
#include "app/PlayerWindowQuitGuard.h"
#include "controller/PlayerController.h"
#include "runtime/RuntimeWireContract.h"
#include "storage/ContentCache.h"
#include "tests/support/ControllerHarness.h"
#include "tests/support/FrameSampler.h"
#include "tests/support/WindowedPlayer.h"

#include <QFile>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QTest>

using namespace talvorine;
using talvorine::test::ControllerAccess;
using talvorine::test::ControllerHarness;
using talvorine::test::FrameSampler;
using talvorine::test::ServedObject;
using Reply = talvorine::test::FakeRuntimeService::Reply;
namespace W = talvorine::RuntimeWire;

namespace {

constexpr int waitMs = ControllerHarness::waitMs;

// Pages of one full-canvas picture each, held until the operator turns them, faded in.
QJsonObject document(const QList<ServedObject>& pictures, const QString& revision)
{
    QList<QJsonArray> pages;
    for (const ServedObject& picture : pictures)
        pages.append(QJsonArray{test::mediaPrimitive(QString::fromLatin1(picture.path.mid(
                                                         picture.path.lastIndexOf('/') + 1)),
                                                     {picture})});
    QJsonObject body = test::contentDocument(pages, revision);
    QJsonArray list = body["pages"].toArray();
    for (qsizetype i = 0; i < list.size(); ++i) {
        QJsonObject page = list[i].toObject();
        QJsonObject primitive = page["primitives"][0].toObject();
        primitive["rect"] = QJsonObject{{"x", 0}, {"y", 0}, {"width", 1920}, {"height", 1080}};
        page["primitives"] = QJsonArray{primitive};
        page["transition"] = QJsonObject{{"type", "crossfade"}, {"durationMs", 400}};
        page["advance"] = QJsonObject{{"mode", "duration"}, {"afterMs", 600000}};
        list[i] = page;
    }
    body["pages"] = list;
    return body;
}

} // namespace

class TestPlayerRestart : public QObject {
    Q_OBJECT
private:
    QTemporaryDir state_;
    std::unique_ptr<PlayerComposition> player_;
    std::unique_ptr<FrameSampler> sampler_;

    PlayerController& start(const QUrl& origin)
    {
        player_ = std::make_unique<PlayerComposition>(test::windowedPlayer(origin, state_.path()));
        player_->build();
        QQuickWindow* window = player_->windows().value(0);
        if (window)
            sampler_ = std::make_unique<FrameSampler>(window);
        return *player_->controller();
    }
    void stop()
    {
        sampler_.reset();
        player_.reset();
        // Each composition installs its own lifecycle guard on the application.
        qDeleteAll(qApp->findChildren<PlayerWindowQuitGuard*>());
    }
    // The latest frame shows this picture across the stage.
    bool shows(QRgb colour)
    {
        const QList<FrameSampler::Frame> frames = sampler_->frames();
        return !frames.isEmpty() && test::shows(frames.constLast(), colour);
    }
    // The operator's key for the next page.
    void step() { QTest::keyClick(player_->windows().value(0), Qt::Key_N); }
    // Cuts the session retry's back-off short.
    static bool expireSessionRetry(PlayerController& c)
    {
        QTimer* timer = c.timerNamed(QLatin1String("sessionRetryTimer"));
        if (!QTest::qWaitFor([timer] { return timer && timer->isActive(); }, waitMs))
            return false;
        timer->start(0);
        return true;
    }

private slots:
    void initTestCase() { QCOMPARE(QGuiApplication::platformName(), QStringLiteral("wayland")); }
    void cleanup() { stop(); }

    void restartOfflineRepairAndSwap()
    {
        QVERIFY(state_.isValid());
        test::FakeRuntimeService s;
        QVERIFY2(s.listening(), qPrintable(s.setupError()));
        const ServedObject red = ServedObject::picture("red", Qt::red),
                           blue = ServedObject::picture("blue", Qt::blue),
                           yellow = ServedObject::picture("yellow", Qt::yellow),
                           green = ServedObject::picture("green", Qt::green);
        for (const ServedObject& object : {red, blue, yellow, green})
            s.putContent(object.path, object.bytes);
        const QRgb redRgb = qRgb(255, 0, 0), blueRgb = qRgb(0, 0, 255),
                   greenRgb = qRgb(0, 255, 0);

        // The service sends the current revision, or 304 to a player that holds it already.
        QJsonObject current = document({red, blue, yellow}, QStringLiteral("man_1"));
        s.respond("GET", W::manifestRoute, [&current](const test::FakeRuntimeService::Request& r) {
            const QByteArray etag = '"' + current["manifestRevision"].toString().toLatin1() + '"';
            if (r.header(W::ifNoneMatchHeader) == etag) {
                return Reply::notModified();
            }
            return Reply::json(200, current).withHeader("ETag", etag);
        });
        s.script("POST", W::sessionMintRoute, {ControllerHarness::sessionGranted()});
        s.script("GET", W::eventsRoute, {Reply::eventStream()});
        Reply taken;
        taken.status = 204;
        s.script("PUT", W::observationRoute, {taken});
        s.script("POST", W::reportsRoute, {Reply::json(200, QJsonObject())});
        s.script("PUT", W::storageRoute, {Reply::json(200, QJsonObject())});
        QVERIFY(test::prepareBoundState(state_.path()));

        // First run: bound and online, the player downloads and shows each page in turn as the
        // operator steps through them; the pages after the first are fetched behind it.
        {
            PlayerController& first = start(s.url());
            QTRY_VERIFY_WITH_TIMEOUT(shows(redRgb), waitMs);
            QTRY_VERIFY_WITH_TIMEOUT(ControllerAccess::unlandedPages(first).isEmpty(), waitMs);
            step();
            QTRY_VERIFY_WITH_TIMEOUT(shows(blueRgb), waitMs);
            step();
            QTRY_VERIFY_WITH_TIMEOUT(shows(qRgb(255, 255, 0)), waitMs);
            stop();
        }
        // One stored object is lost while the player is off.
        QVERIFY(QFile::remove(
            ContentCache(state_.filePath(QStringLiteral("content-cache"))).objectPath(yellow.sha256)));

        // Second run, the service down: the stored pages play from the cache, the page whose
        // object is gone is left out, and nothing reaches the service.
        s.setRefusing(true);
        s.clearRequests();
        const int blueFetches = s.contentAttempts(blue.path);
        PlayerController& c = start(s.url());
        QTRY_VERIFY_WITH_TIMEOUT(shows(redRgb), waitMs);
        QTRY_COMPARE_WITH_TIMEOUT(ControllerAccess::unlandedPages(c), QSet<int>{2}, waitMs);
        step();
        QTRY_VERIFY_WITH_TIMEOUT(shows(blueRgb), waitMs);
        step();
        QTRY_VERIFY_WITH_TIMEOUT(shows(redRgb), waitMs);
        QCOMPARE(c.status(), QStringLiteral("offline_lkg_active"));
        QVERIFY(s.requests().isEmpty());

        // The service is back: with a session, the player fetches the lost object alone and
        // takes its page in again.
        s.setRefusing(false);
        QVERIFY(expireSessionRetry(c));
        QTRY_VERIFY_WITH_TIMEOUT(ControllerAccess::unlandedPages(c).isEmpty(), waitMs);
        QTRY_VERIFY_WITH_TIMEOUT(!ControllerAccess::fetchRunning(c), waitMs);
        QByteArrayList fetched;
        for (const auto& request : s.requests()) {
            if (request.path.startsWith("/content/"))
                fetched.append(request.path);
        }
        QCOMPARE(fetched, QByteArrayList{yellow.path});

        // A new revision announced while the red page plays is fetched behind it and replaces
        // it with a fade; every frame of the swap shows one page or a blend of the two.
        QVERIFY(shows(redRgb));
        current = document({green, blue}, QStringLiteral("man_2"));
        test::SwapWatch swap(redRgb, greenRgb, test::monotonicNs());
        const QJsonObject event{{"type", W::manifestChangedEvent},
                                {"details", QJsonObject{{W::manifestRevisionMember, "man_2"}}}};
        QCOMPARE(s.sendEvents(W::eventsRoute,
                              "data: " + QJsonDocument(event).toJson(QJsonDocument::Compact) + "\n\n"),
                 1);
        QTRY_VERIFY_WITH_TIMEOUT(swap.update(sampler_->frames()) && c.objectEnterArmed(), waitMs);
        QCOMPARE(ControllerAccess::activeRevision(c), QStringLiteral("man_2"));
        QCOMPARE(swap.neitherFrames(), 0);
        QVERIFY(swap.frames() > 1);
        QCOMPARE(s.contentAttempts(green.path), 1);
        QCOMPARE(s.contentAttempts(blue.path), blueFetches);
    }
};

int main(int argc, char** argv)
{
    PlayerComposition::applyGraphicsDefaults();
    QGuiApplication app(argc, argv);
    TestPlayerRestart test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_playerrestart.moc"
