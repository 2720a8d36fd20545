// A bound player against the fake service, drawn by its real scene under the compositor: the
// manifest's three pages (two images and a video, made at test time and downloaded from the
// service) go on glass one after the other through the readiness gate, with a cross-fade and a
// swipe, and the video's end turns its page. Grabs of the window show each page in turn.

#include "controller/PlayerController.h"
#include "runtime/RuntimeWireContract.h"
#include "storage/PersistentState.h"
#include "tests/support/ControllerHarness.h"
#include "tests/support/GeneratedMedia.h"
#include "tests/support/SceneWindow.h"

#include <QGuiApplication>
#include <QJsonArray>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QTest>

using namespace talvorine;
using talvorine::test::ControllerAccess;
using talvorine::test::ControllerHarness;
using talvorine::test::ServedObject;
using Reply = talvorine::test::FakeRuntimeService::Reply;
namespace W = talvorine::RuntimeWire;

namespace {

constexpr int waitMs = ControllerHarness::waitMs;

// How an activation posed the incoming slot: the transition's duration, the incoming slot's
// opacity and its horizontal offset in thousandths of the width.
struct Entry {
    int slot;
    int durationMs;
    double opacity;
    int offsetX;
    bool operator==(const Entry&) const = default;
};

} // namespace

class TestPlayerOnGlass : public test::SceneTestCase {
    Q_OBJECT
private slots:
    void threePagesInTurn()
    {
        QTemporaryDir files;
        QString error;
        const QString clip = files.filePath("bars.webm");
        QVERIFY2(test::makeBarsClip(clip, 320, 180, 60, 30, &error), qPrintable(error));
        QFile clipFile(clip);
        QVERIFY(clipFile.open(QIODevice::ReadOnly));
        const ServedObject red = ServedObject::picture("red", Qt::red),
                           blue = ServedObject::picture("blue", Qt::blue),
                           bars = ServedObject::of("bars", clipFile.readAll());

        ControllerHarness h;
        QVERIFY2(h.ready(), qPrintable(h.setupError()));
        PlayerController& c = h.controller();
        test::FakeRuntimeService& s = h.service();
        for (const ServedObject& object : {red, blue, bars})
            s.putContent(object.path, object.bytes);
        // Each page fills the canvas and waits for the test to turn it; the video page comes
        // in with a swipe and ends on its media end; the others fade in.
        QJsonObject document = test::contentDocument(
            {{test::mediaPrimitive("red", {red})}, {test::mediaPrimitive("blue", {blue})},
             {test::mediaPrimitive("bars", {bars}, "video")}});
        QJsonArray pages = document["pages"].toArray();
        for (qsizetype i = 0; i < pages.size(); ++i) {
            QJsonObject page = pages[i].toObject();
            QJsonObject primitive = page["primitives"][0].toObject();
            primitive["rect"] = QJsonObject{{"x", 0}, {"y", 0}, {"width", 1920}, {"height", 1080}};
            primitive["loop"] = false;
            page["primitives"] = QJsonArray{primitive};
            const bool video = i == 2;
            page["transition"] = QJsonObject{{"type", video ? "swipe-left" : "crossfade"},
                                             {"durationMs", 400}};
            page["advance"] = video ? QJsonObject{{"mode", "media_end"}, {"maxMs", 600000}}
                                    : QJsonObject{{"mode", "duration"}, {"afterMs", 600000}};
            pages[i] = page;
        }
        document["pages"] = pages;
        const QByteArray etag = "\"rev-1.a\"";
        s.script("GET", W::manifestRoute,
                 {Reply::json(200, document).withHeader("ETag", etag), Reply::notModified()});
        s.script("POST", W::reportsRoute, {Reply::json(200, QJsonObject())});
        s.script("PUT", W::storageRoute, {Reply::json(200, QJsonObject())});

        test::SceneWindow scene(c);
        QVERIFY(scene.window() && QTest::qWaitForWindowExposed(scene.window()));
        QList<Entry> activations;
        connect(&c, &PlayerController::activeChanged, this, [&c, &activations] {
            const int slot = c.activeSlot();
            if (slot >= 0 && (activations.isEmpty() || activations.last().slot != slot))
                activations.append({slot, c.transitionDurationMs(),
                                    slot == 0 ? c.opacityA() : c.opacityB(),
                                    slot == 0 ? c.translateXPermilleA() : c.translateXPermilleB()});
        });

        // Bound and given its manifest, the player downloads the first page's picture, and the
        // scene's report that it is ready puts it on glass; the revision is kept with the
        // manifest's entity tag for the next start.
        QVERIFY(h.startBound());
        QTRY_VERIFY_WITH_TIMEOUT(test::SceneWindow::filledWith(scene.grab(), {255, 0, 0}), waitMs);
        QString route;
        QByteArray kept;
        QVERIFY(PersistentState(h.statePath("playback-state")).loadLastKnownGood(&route, &kept));
        QCOMPARE(route, W::manifestRoute);
        QCOMPARE(kept, etag);
        // The other pages are fetched behind it, each turned to once it is whole.
        QTRY_VERIFY_WITH_TIMEOUT(ControllerAccess::unlandedPages(c).isEmpty(), waitMs);

        // Its dwell over, the blue page fades in over the red one.
        const auto endDwell = [&h] {
            h.clock().advance(h.timer("pageTimer")->interval());
            return h.expireSoon("pageTimer");
        };
        QVERIFY(endDwell());
        QTRY_VERIFY_WITH_TIMEOUT(test::SceneWindow::filledWith(scene.grab(), {0, 0, 255}), waitMs);
        QTRY_VERIFY_WITH_TIMEOUT(c.objectEnterArmed(), waitMs);

        // The video page slides in and plays; its end turns to the red page again.
        QVERIFY(endDwell());
        QTRY_VERIFY_WITH_TIMEOUT(test::SceneWindow::barsShown(scene.grab()), waitMs);
        QTRY_VERIFY_WITH_TIMEOUT(test::SceneWindow::filledWith(scene.grab(), {255, 0, 0}), waitMs);
        QCOMPARE(ControllerAccess::advanceReason(c), QStringLiteral("media_end"));

        QCOMPARE(activations, (QList<Entry>{{0, 0, 1, 0}, {1, 400, 1, 0}, {0, 0, 1, 1000},
                                            {1, 400, 1, 0}}));
        QCOMPARE(s.contentAttempts(red.path), 1);
        h.verifyNoSurprises();
    }
};

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    TestPlayerOnGlass test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_playeronglass.moc"
