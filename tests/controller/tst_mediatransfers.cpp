#include "runtime/RuntimeWireContract.h"
#include "tests/support/ControllerHarness.h"
#include "tests/support/TestFiles.h"
#include "tests/support/WebPackageBuilder.h"
#include "web/WebPackageScheme.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QNetworkAccessManager>
#include <QRandomGenerator>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTest>

#include <cerrno>

using namespace talvorine;
using namespace talvorine::test;
using Service = FakeRuntimeService;
using Answer = Service::ContentAnswer;
using Answers = QList<Answer>;

namespace {

constexpr int waitMs = ControllerHarness::waitMs;
constexpr qint64 objectBytes = 65536;

const QJsonObject frame{{"id", "frame"}, {"primitive", "iframe"}, {"layer", 1}, {"contentFit", "fill"},
                        {"rect", QJsonObject{{"x", 0}, {"y", 0}, {"width", 960}, {"height", 540}}},
                        {"src", "https://example.com/board"}, {"title", "Board"}};

// The code a primitive was skipped with; empty while it was not.
QString skipCode(const ControllerHarness& h, const QString& primitiveId)
{
    for (const QJsonObject& record : h.devLog(QStringLiteral("primitive_failed")))
        if (record["primitive_id"] == primitiveId && record["action"] == "skip_primitive")
            return record["code"].toString();
    return {};
}

QString fileDigest(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? Service::sha256Hex(file.readAll()) : QString();
}

// The object as the cache holds it before the test: a partial download, committed or not.
void seedCache(ContentCache& cache, const ServedObject& object, qint64 partialBytes, bool commit)
{
    QString error;
    if (partialBytes > 0)
        QVERIFY(QDir().mkpath(QFileInfo(cache.partialPath(object.sha256)).absolutePath())
                && testfiles::write(cache.partialPath(object.sha256), object.bytes.left(partialBytes)));
    QFile partial(cache.partialPath(object.sha256));
    if (commit)
        QVERIFY(partial.open(QIODevice::ReadOnly)
                && cache.commitVerified(partial, object.sha256, object.bytes.size(), &error,
                                        nullptr));
}

const QByteArray packageType = "application/vnd.talvorine.webapp-package+tar+gzip";

// A package whose digest is right but whose archive no player may unpack: a link out of its tree.
ServedObject hostilePackage()
{
    TarEntry link;
    link.name = "escape";
    link.type = '2';
    link.linkName = "/etc/passwd";
    const QByteArray bytes =
        WebPackageBuilder().file(QStringLiteral("index.html"), "<title>x</title>").entry(link).package();
    return {"/content/v1/packages/hostile.tgz", bytes, Service::sha256Hex(bytes)};
}

// Runs until the download settles, expiring every back-off the controller arms on the retry
// timer at once; the delays it armed, in order.
QList<int> expireBackoffs(ControllerHarness& h, const char* timer,
                          const std::function<bool()>& settled,
                          const std::function<void()>& beforeRetry = [] {})
{
    QList<int> delays;
    QTimer* retry = h.timer(timer);
    QSignalSpy fired(retry, &QTimer::timeout);
    while (QTest::qWaitFor([&] { return settled() || retry->isActive(); }, waitMs) && !settled()) {
        delays.append(retry->interval());
        beforeRetry();
        if (!h.expireSoon(timer) || !fired.wait(waitMs))
            break;
    }
    return delays;
}

// The watchdog of each request for the path still running, made to run out at once.
void expireWatchdogs(QNetworkAccessManager* manager, const QByteArray& path)
{
    for (QNetworkReply* reply : manager->findChildren<QNetworkReply*>()) {
        if (reply->isRunning() && reply->url().path().toUtf8() == path) {
            if (auto* watchdog = reply->findChild<QTimer*>(QStringLiteral("talvorineWatchdog")))
                watchdog->start(0);
        }
    }
}

// Origin::UnderV2: the object lives under "/content/v2/" and trickles, and the watchdog of its
// request, if it has one, runs out the moment the service sees it. Origin::OtherPartialBytes:
// the origin is right, but the partial left on disk begins with a byte the object does not;
// Origin::OverwrittenAfterResume: that byte is written there once the partial has been resumed.
enum class Origin {
    Normal,
    SilentAfterHalf,
    Refusing,
    RefusingWhilePlaying,
    WhilePlaying,
    UnderV2,
    OtherPartialBytes,
    OverwrittenAfterResume,
};
enum class Outcome { Bound, Skipped, RetryArmed, Deferred, Settled };

} // namespace

Q_DECLARE_METATYPE(Origin)
Q_DECLARE_METATYPE(Outcome)

class TestMediaTransfers : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<ControllerHarness> harness_;

    ControllerHarness& make(ControllerHarness::Options options = {})
    {
        harness_ = std::make_unique<ControllerHarness>(options);
        // Pages skipped for their content are reported.
        harness_->service().script("POST", RuntimeWire::reportsRoute,
                                   QList<Service::Reply>(8, Service::Reply::json(200, QJsonObject())));
        if (!harness_->ready() || !harness_->mintSession())
            qFatal("controller harness not ready");
        return *harness_;
    }

private Q_SLOTS:
    void cleanup()
    {
        ControllerHarness::release(harness_);
    }

    // The whole way: a page whose media the service serves is prepared, each missing object
    // fetched once, a verified one bound without a request, each only where it is the visible
    // item; readiness is asked of the scene, held while the splash shows, then activated.
    void servedPageReachesActivation()
    {
        ControllerHarness& h = make({QSizeF(1920, 1080), false, true});
        PlayerController& c = h.controller();
        const ServedObject x = ServedObject::make("x", 300000, 1), y = ServedObject::make("y", 300, 2);
        h.service().putContent(x.path, x.bytes);
        const std::shared_ptr<ContentCache> cache = ControllerAccess::contentCache(c);
        seedCache(*cache, y, y.bytes.size(), true);
        h.scene().setAnswering(true);
        const QJsonArray page{mediaPrimitive("b", {y, x}, "video"), mediaPrimitive("a", {x}),
                              mediaPrimitive("c", {x}, "video")};
        ControllerAccess::preparePage(c, contentManifest({page}, h.service().url()), 0, true);
        QTRY_COMPARE_WITH_TIMEOUT(h.devLog(QStringLiteral("primitive_ready")).size(), 3, waitMs);
        QCOMPARE(ControllerAccess::statePhase(c), 2);
        c.finishStartupAnimation();
        h.clock().advance(3000);
        ControllerAccess::evaluateSplash(c);
        QTRY_COMPARE_WITH_TIMEOUT(ControllerAccess::statePhase(c), 3, waitMs);
        QCOMPARE(h.scene().readinessRequests().size(), 1);
        QCOMPARE(h.service().contentAttempts(x.path), 1);
        QCOMPARE(boundSource(c, 0, "b"), QUrl::fromLocalFile(cache->objectPath(y.sha256)));
        QCOMPARE(boundSource(c, 0, "a"), QUrl::fromLocalFile(cache->objectPath(x.sha256)));
        QCOMPARE(boundSource(c, 0, "c"), boundSource(c, 0, "a"));
    }

    // Every kind of content from a service over TLS that offers HTTP/2, as real services do:
    // no request takes the offer up (the strict service would count a surprise), and each body
    // is written on the content I/O queue, not on the GUI thread: with the queue held, nothing
    // of it has reached the partial file when its append waits there.
    void contentOverTls()
    {
        ControllerHarness& h = make({.transport = Service::Transport::Https});
        PlayerController& c = h.controller();
        const std::shared_ptr<ContentCache> cache = ControllerAccess::contentCache(c);
        const ServedObject picture = ServedObject::make("tls.png", objectBytes, 3);
        const ServedObject package = servedPackage("tls.tgz", "tls");
        const ServedObject audio = ServedObject::make("tls.wav", objectBytes, 4);
        h.service().putContent(picture.path, picture.bytes);
        h.service().putContent(package.path, package.bytes, packageType);
        h.service().putContent(audio.path, audio.bytes);
        Manifest manifest = contentManifest(
            {QJsonArray{mediaPrimitive("a", {picture}), applicationPrimitive("app", package)}},
            h.service().url());
        manifest.soundtrack = Soundtrack{true, 0.5,
                                         {{"t", "m-t", QString::fromLatin1(audio.path),
                                           audio.sha256, audio.bytes.size(), "audio/wav", 0}}};

        CacheIoQueue& io = ControllerAccess::contentIo(c);
        QSemaphore release;
        connect(&h.service(), &Service::requestReceived, this, [&](int index) {
            if (h.service().requests().at(index).path.startsWith("/content/"))
                io.submit(std::make_shared<std::atomic<bool>>(false),
                          [&release] { return release.acquire(), std::function<void()>(); });
        });
        // Once the object was asked for, the one job waiting behind the hold is its first append.
        const auto held = [&](const ServedObject& object, const QString& partial) {
            const bool waiting = QTest::qWaitFor(
                [&] {
                    return h.service().contentAttempts(object.path) == 1 && io.waitingCount() == 1;
                },
                waitMs);
            const bool empty = QFileInfo(partial).size() == 0;
            release.release();
            return waiting && empty;
        };
        ControllerAccess::preparePage(c, manifest, 0, true);
        QVERIFY(held(picture, cache->partialPath(picture.sha256)));
        QVERIFY(held(package, ControllerAccess::applicationCache(c)->partialPath(package.sha256)));
        QTRY_VERIFY_WITH_TIMEOUT(!boundSource(c, 0, "app").isEmpty(), waitMs);
        QCOMPARE(boundSource(c, 0, "a"), QUrl::fromLocalFile(cache->objectPath(picture.sha256)));
        ControllerAccess::activateCandidate(c);
        QVERIFY(held(audio, cache->partialPath(audio.sha256)));
        QTRY_VERIFY_WITH_TIMEOUT(ControllerAccess::soundtrackTrackReady(c, audio.sha256), waitMs);
        QCOMPARE(fileDigest(cache->objectPath(audio.sha256)), audio.sha256);
    }

    // One media object through the content route as the origin behaves per row: the requests
    // (their Range and If-Range), the binding, the bytes on disk and the ledger.
    void transfers_data()
    {
        QTest::addColumn<qint64>("partial");
        QTest::addColumn<Answers>("answers");
        QTest::addColumn<Origin>("origin");
        QTest::addColumn<Outcome>("outcome");
        QTest::addColumn<QByteArrayList>("ranges");
        QTest::addColumn<qint64>("ledgerNew");
        QTest::addColumn<qint64>("ledgerFailed");
        QTest::addColumn<QString>("code");
        QTest::addColumn<QList<int>>("delays"); // the back-offs armed, where they are not drawn

        const qint64 n = objectBytes;
        const QByteArray resume = "bytes=1000-";
        const auto row = [](const char* name, qint64 partial, Answers answers, Outcome outcome,
                            QByteArrayList ranges, qint64 ledgerNew, qint64 ledgerFailed = 0,
                            Origin origin = Origin::Normal, QString code = QString(),
                            QList<int> delays = {}) {
            QTest::newRow(name) << partial << answers << origin << outcome << ranges << ledgerNew
                                << ledgerFailed << code << delays;
        };
        const QString failed = QStringLiteral("content_download_failed");
        row("resumed", 1000, {}, Outcome::Bound, {resume}, n - 1000);
        row("200 to a range", 1000, {{.status = 200}}, Outcome::Bound, {resume}, n);
        row("416 once", 1000, {{.status = 416}}, Outcome::Bound, {resume, ""}, n);
        row("416 twice", 1000, {{.status = 416}, {.status = 416}}, Outcome::Bound, {resume, "", ""}, n);
        row("206 other start", 1000, {{.contentRange = "bytes 999-65535/65536"}}, Outcome::Bound,
            {resume, resume}, n - 1000);
        row("206 other total", 1000, {{.contentRange = "bytes 1000-65535/65537"}}, Outcome::Bound,
            {resume, resume}, n - 1000);
        row("206 length short", 1000, {{.lengthDelta = -1}}, Outcome::Bound, {resume, resume}, n - 1000);
        row("206 unasked", 0, {{.status = 206}}, Outcome::Bound, {"", ""}, n);
        row("body a byte long", 0, {{.lengthDelta = 1}}, Outcome::Bound, {"", ""}, n, n + 1);
        // The short body is kept and resumed for its last byte.
        row("body a byte short", 0, {{.lengthDelta = -1}}, Outcome::Bound, {"", "bytes=65535-"}, n);
        // Bytes other than the entry declares, twice: the object's failure, not the device's.
        const QString mismatch = QStringLiteral("cache_integrity_mismatch");
        row("body a byte long twice", 0, {{.lengthDelta = 1}, {.lengthDelta = 1}}, Outcome::Skipped,
            {"", ""}, 0, 2 * n + 2, Origin::Normal, mismatch);
        row("body a KiB short twice", 0, {{.lengthDelta = -1024}, {.lengthDelta = -1024}},
            Outcome::Skipped, {"", "bytes=64512-"}, n - 1024, 0, Origin::Normal, mismatch);
        row("corrupted", 0, {{.corrupt = true}}, Outcome::Skipped, {""}, 0, n, Origin::Normal,
            QStringLiteral("cache_integrity_mismatch"));
        // The bytes found on disk count in the digest as much as those received.
        row("resumed over other bytes", 1000, {}, Outcome::Skipped, {resume}, 0, n - 1000,
            Origin::OtherPartialBytes, mismatch);
        // So do bytes written by anyone else once they were hashed; the next download starts over.
        row("overwritten after its resume", 1000, {}, Outcome::Skipped, {resume}, 0, n - 1000,
            Origin::OverwrittenAfterResume, mismatch);
        row("gzip twice", 0, {{.gzip = true}, {.gzip = true}}, Outcome::Skipped, {"", ""}, 0, 0,
            Origin::Normal, failed);
        row("401", 1000, {{.status = 401}}, Outcome::Settled, {resume}, 0);
        row("404 once", 0, {{.status = 404}}, Outcome::Bound, {"", ""}, n);
        // "Try later" waits as long as the origin asked, five times at most; then it is hard.
        row("503 then 429", 0,
            {{.status = 503, .headers = {{"Retry-After", "1"}}},
             {.status = 429, .headers = {{"Retry-After", "Mon, 02 Mar 2026 10:00:05 GMT"},
                                         {"Date", "Mon, 02 Mar 2026 10:00:00 GMT"}}}},
            Outcome::RetryArmed, {"", "", ""}, n, 0, Origin::Normal, QString(), {1000, 5000});
        row("503 past five retries", 0,
            Answers(7, {.status = 503, .headers = {{"Retry-After", "2"}}}), Outcome::RetryArmed,
            QByteArrayList(7, ""), 0, 0, Origin::Normal, failed, QList<int>(5, 2000));
        row("dropped mid-body", 0, {{.fault = Service::Fault::DropMidBody}}, Outcome::RetryArmed,
            {"", "bytes=32768-"}, n);
        // Qt ends a body that went silent with OperationCanceledError: still the origin's fault.
        row("silent mid-body", 0, {{.fault = Service::Fault::Stall}}, Outcome::RetryArmed,
            {"", "bytes=32768-"}, n, 0, Origin::SilentAfterHalf);
        row("refused", 0, {}, Outcome::RetryArmed, {""}, n, 0, Origin::Refusing);
        row("refused while playing", 0, {}, Outcome::Deferred, {}, 0, 0, Origin::RefusingWhilePlaying);
        // Past the API's watchdog: a content download is one wherever under "/content/" it lives.
        row("under /content/v2/", 0, {{.trickleBytes = 4096, .trickleIntervalMs = 20}},
            Outcome::Bound, {""}, n, 0, Origin::UnderV2);
        // A login page in the object's place is no answer of the origin's: waited for like one
        // refused, never wrong bytes, and the partial is resumed once the origin answers.
        row("login page twice", 0, Answers(2, {.page = true}), Outcome::RetryArmed, {"", "", ""}, n);
        row("login page to a range", 1000, {{.page = true}}, Outcome::RetryArmed, {resume, resume},
            n - 1000);
        row("login page while playing", 0, Answers(2, {.page = true}), Outcome::Deferred, {""}, 0, 0,
            Origin::WhilePlaying);
        // A whole body of another length where a range was asked is refused before the partial
        // goes: wrong bytes, tried once more.
        row("200 of another length to a range", 1000, {{.status = 200, .lengthDelta = -1}},
            Outcome::Bound, {resume, resume}, n - 1000);
    }
    void transfers()
    {
        QFETCH(qint64, partial);
        QFETCH(Answers, answers);
        QFETCH(Origin, origin);
        QFETCH(Outcome, outcome);
        QFETCH(QByteArrayList, ranges);
        QFETCH(qint64, ledgerNew);
        QFETCH(qint64, ledgerFailed);
        QFETCH(QString, code);
        QFETCH(QList<int>, delays);

        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        ServedObject object = ServedObject::make("a.png", objectBytes, 7);
        if (origin == Origin::UnderV2) {
            object.path.replace("/content/v1/", "/content/v2/");
            connect(&h.service(), &Service::requestReceived, &h.service(),
                    [&h, path = object.path] {
                        expireWatchdogs(h.transport().networkAccessManager(), path);
                    });
        }
        h.service().putContent(object.path, object.bytes);
        h.service().scriptContent(object.path, answers);
        h.service().requireCredential(object.path, "Talvorine-Session ");
        const std::shared_ptr<ContentCache> cache = ControllerAccess::contentCache(c);
        seedCache(*cache, object, partial, false);
        const ino_t seeded = testfiles::inodeOf(cache->partialPath(object.sha256));
        if (origin == Origin::OtherPartialBytes) {
            QByteArray other = object.bytes.left(partial);
            other[0] = char(~other[0]);
            QVERIFY(testfiles::write(cache->partialPath(object.sha256), other));
        }
        if (origin == Origin::OverwrittenAfterResume) // resumed before its request goes out
            connect(&h.service(), &Service::requestReceived, &h.service(), [&](int index) {
                if (h.service().requests().at(index).path == object.path)
                    QVERIFY(testfiles::overwriteLater(cache->partialPath(object.sha256), 0,
                                                      QByteArray(1, char(~object.bytes[0]))));
            });
        if (origin == Origin::SilentAfterHalf)
            h.transport().networkAccessManager()->setTransferTimeout(3000);

        const Manifest manifest =
            contentManifest({QJsonArray{mediaPrimitive("a", {object})}}, h.service().url());
        const bool playing = origin == Origin::RefusingWhilePlaying || origin == Origin::WhilePlaying;
        if (playing)
            QVERIFY(h.showCachedPage());
        const int slot = playing ? 1 : 0;
        h.service().setRefusing(origin == Origin::Refusing || origin == Origin::RefusingWhilePlaying);
        ControllerAccess::preparePage(c, manifest, 0, false);

        switch (outcome) {
        case Outcome::RetryArmed: {
            // Nothing on glass: the candidate waits for each back-off under its deadline.
            QTRY_VERIFY_WITH_TIMEOUT(h.timer("candidateDownloadRetryTimer")->isActive(), waitMs);
            QVERIFY(h.timer("candidateDeadlineTimer")->isActive());
            QVERIFY(boundSource(c, slot, "a").isEmpty());
            h.service().setRefusing(false);
            h.transport().networkAccessManager()->setTransferTimeout(RuntimeTransport::transferTimeoutMs);
            const QList<int> armed = expireBackoffs(h, "candidateDownloadRetryTimer", [&] {
                return !boundSource(c, slot, "a").isEmpty() || !skipCode(h, "a").isEmpty();
            });
            if (!delays.isEmpty())
                QCOMPARE(armed, delays);
            if (!code.isEmpty()) {
                QCOMPARE(skipCode(h, "a"), code);
                break;
            }
            [[fallthrough]];
        }
        case Outcome::Bound:
            QTRY_COMPARE_WITH_TIMEOUT(boundSource(c, slot, "a"),
                                      QUrl::fromLocalFile(cache->objectPath(object.sha256)), waitMs);
            QCOMPARE(fileDigest(cache->objectPath(object.sha256)), object.sha256);
            break;
        case Outcome::Skipped:
            QTRY_COMPARE_WITH_TIMEOUT(skipCode(h, "a"), code, waitMs);
            QVERIFY(!QFileInfo::exists(cache->objectPath(object.sha256)));
            break;
        case Outcome::Deferred:
            QTRY_VERIFY_WITH_TIMEOUT(!ControllerAccess::candidate(c), waitMs);
            QVERIFY(ControllerAccess::unreachableUntil(c).value(object.sha256) > h.clock().monotonicMs());
            QCOMPARE(c.modelForSlot(slot)->rowCount(), 0);
            // Within the back-off window the next candidate goes without asking the origin.
            h.service().setRefusing(false);
            ControllerAccess::preparePage(c, manifest, 0, false);
            QTRY_VERIFY_WITH_TIMEOUT(!ControllerAccess::candidate(c), waitMs);
            break;
        case Outcome::Settled:
            QTRY_COMPARE_WITH_TIMEOUT(h.service().contentAttempts(object.path), ranges.size(), waitMs);
            QVERIFY(boundSource(c, slot, "a").isEmpty());
            break;
        }
        QTRY_VERIFY_WITH_TIMEOUT(ControllerAccess::transfersIdle(c), waitMs);
        QCOMPARE(QFileInfo::exists(cache->partialPath(object.sha256)), outcome == Outcome::Settled);
        // The partial file resumed to its end is the object itself, renamed and never copied,
        // and no copy of it is left behind.
        const bool resumedOnly = std::all_of(answers.cbegin(), answers.cend(), [](const Answer& a) {
            return a.status == 0;
        }) && !ranges.contains(QByteArray());
        if (!boundSource(c, slot, "a").isEmpty() && partial > 0 && resumedOnly)
            QCOMPARE(testfiles::inodeOf(cache->objectPath(object.sha256)), seeded);
        QCOMPARE(QDir(cache->root() + "/objects").entryList({".*"}, QDir::Files | QDir::Hidden),
                 QStringList());

        const QList<Service::Request> sent = h.service().requestsTo(object.path);
        QCOMPARE(sent.size(), ranges.size());
        for (qsizetype i = 0; i < sent.size(); ++i) {
            QCOMPARE(sent.at(i).header("Range"), ranges.at(i));
            QCOMPARE(sent.at(i).header("If-Range"),
                     ranges.at(i).isEmpty() ? QByteArray() : '"' + object.sha256.toLatin1() + '"');
            QCOMPARE(sent.at(i).header("Accept-Encoding"), QByteArray("identity"));
        }
        const QJsonObject ledger = ControllerAccess::transfer24h(c, h.clock().nowMs());
        QCOMPARE(ledger.value("new").toInteger(), ledgerNew);
        QCOMPARE(ledger.value("failed").toInteger(), ledgerFailed);
        if (code.isEmpty())
            QCOMPARE(h.devLog(QStringLiteral("page_failed_reported")).size(), 0);
    }

    // An object whose bytes run past or stop short of its entry fails its page, not the device:
    // after one more try the page is reported and skipped, and the rotation turns to the next
    // page without waiting for another dwell.
    void mismatchedObjectSkipsItsPage_data()
    {
        QTest::addColumn<int>("lengthDelta");
        QTest::newRow("4 MiB longer") << 4 * 1024 * 1024;
        QTest::newRow("1 KiB shorter") << -1024;
    }
    void mismatchedObjectSkipsItsPage()
    {
        QFETCH(int, lengthDelta);
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        ContentCache& cache = *ControllerAccess::contentCache(c);
        const ServedObject a = ServedObject::make("a", 4096, 1), x = ServedObject::make("x", objectBytes, 2),
                           b = ServedObject::make("b", 4096, 3);
        QVERIFY(a.cacheIn(cache));
        for (const ServedObject& served : {x, b})
            h.service().putContent(served.path, served.bytes);
        h.service().scriptContent(x.path, Answers(4, {.lengthDelta = lengthDelta}));
        const Manifest manifest = contentManifest(
            {{mediaPrimitive("a", {a})}, {mediaPrimitive("x", {x})}, {mediaPrimitive("b", {b})}},
            h.service().url());
        // A page on glass first: a's candidate fetches what the other pages need.
        QVERIFY(h.showCachedPage());
        QVERIFY(h.activate(manifest, 0, false));

        h.scene().setAnswering(true);
        h.clock().advance(h.timer("pageTimer")->interval());
        QVERIFY(h.expireSoon("pageTimer"));
        QTRY_COMPARE_WITH_TIMEOUT(boundSource(c, c.activeSlot(), "b"),
                                  QUrl::fromLocalFile(cache.objectPath(b.sha256)), waitMs);
        QCOMPARE(h.devLog(QStringLiteral("prepare_page")).size(), 4);
        // Twice while the first page fetched what the revision needs, never for its own page.
        QCOMPARE(h.service().contentAttempts(x.path), 2);
        QCOMPARE(h.devLog(QStringLiteral("candidate_failed")).last()["code"], "cache_integrity_mismatch");
        QCOMPARE(h.devLog(QStringLiteral("page_failed_reported")).size(), 1);
        QVERIFY(!QFileInfo::exists(cache.partialPath(x.sha256)));
    }

    // An append still waiting on the I/O queue when the candidate is replaced is dropped before
    // the next transfer measures or resets the partial; an append the disk fails ends its
    // transfer, and the object waits as for an origin out of reach, then resumes.
    void writePending_data()
    {
        QTest::addColumn<bool>("replace");
        QTest::addColumn<Answers>("next");
        QTest::addColumn<QStringList>("writeErrors"); // the developer log's, one per request
        QTest::newRow("replaced, resumed") << true << Answers{} << QStringList();
        QTest::newRow("replaced, whole") << true << Answers{{.status = 200}} << QStringList();
        QTest::newRow("write fails")
            << false << Answers{} << QStringList{qt_error_string(EIO)};
    }
    void writePending()
    {
        QFETCH(bool, replace);
        QFETCH(Answers, next);
        QFETCH(QStringList, writeErrors);
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        const ServedObject object = ServedObject::make("w.png", 600000, 9);
        h.service().putContent(object.path, object.bytes);
        h.service().scriptContent(object.path, Answers{{}} + next);
        const std::shared_ptr<ContentCache> cache = ControllerAccess::contentCache(c);
        seedCache(*cache, object, 1000, false);
        const Manifest manifest =
            contentManifest({QJsonArray{mediaPrimitive("a", {object})}}, h.service().url());

        // The queue is held from the first request on, so the first append waits.
        CacheIoQueue& io = ControllerAccess::contentIo(c);
        QSemaphore release;
        const auto held = connect(&h.service(), &Service::requestReceived, this, [&] {
            io.submit(std::make_shared<std::atomic<bool>>(false),
                      [&release] { return release.acquire(), std::function<void()>(); });
        });
        ControllerAccess::preparePage(c, manifest, 0, false);
        QTRY_COMPARE_WITH_TIMEOUT(io.waitingCount(), 1, waitMs);
        disconnect(held);
        if (replace)
            ControllerAccess::preparePage(c, manifest, 0, false);
        else
            cache->failNextPartialWrite(EIO);
        release.release();

        if (!replace) {
            QTRY_COMPARE_WITH_TIMEOUT(h.devLog("content.write_failed").size(), 1, waitMs);
            QTRY_VERIFY_WITH_TIMEOUT(h.timer("candidateDownloadRetryTimer")->isActive(), waitMs);
            QCOMPARE(h.service().requestsTo(object.path).size(), 1);
            QVERIFY(h.expireSoon("candidateDownloadRetryTimer"));
        }
        QTRY_COMPARE_WITH_TIMEOUT(fileDigest(cache->objectPath(object.sha256)), object.sha256,
                                  waitMs);
        QTRY_VERIFY_WITH_TIMEOUT(ControllerAccess::transfersIdle(c), waitMs);
        QVERIFY(!QFileInfo::exists(cache->partialPath(object.sha256)));
        const QList<Service::Request> sent = h.service().requestsTo(object.path);
        QCOMPARE(sent.size(), 2);
        for (const Service::Request& request : sent)
            QCOMPARE(request.header("Range"), QByteArray("bytes=1000-"));
        QStringList written;
        for (const QJsonObject& record : h.devLog("content.write_failed")) {
            QCOMPARE(record.value("sha256").toString(), object.sha256);
            written.append(record.value("error").toString());
        }
        QCOMPARE(written, writeErrors);
    }

    // Room for a download no volume holds: everything goes but what is on glass, outgoing or
    // planned; nothing is asked of the origin (the strict fake would say so).
    void pruneKeepsWhatIsShown()
    {
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        const std::shared_ptr<ContentCache> cache = ControllerAccess::contentCache(c);
        QList<ServedObject> o;
        for (const char* name : {"planned", "glass", "outgoing", "stray", "huge"})
            o.append(ServedObject::make(name, 4096, quint32(o.size())));
        for (int i = 0; i < 4; ++i)
            seedCache(*cache, o[i], o[i].bytes.size(), true);
        Manifest manifest = contentManifest(
            {QJsonArray{mediaPrimitive("d", {o[4]})}, QJsonArray{mediaPrimitive("e", {o[0]})}},
            h.service().url());
        // Beyond what a manifest may declare, as only a corrupted one could.
        QJsonObject& binding = manifest.pages[0].primitives[0].binding;
        QJsonObject item = binding["items"][0].toObject();
        item["bytes"] = double(qint64(1) << 60);
        binding["items"] = QJsonArray{item};
        ControllerAccess::setActiveContentKeys(c, {o[1].sha256}, {o[2].sha256});
        ControllerAccess::preparePage(c, manifest, 0, true);
        QTRY_VERIFY_WITH_TIMEOUT(!ControllerAccess::candidate(c), waitMs);
        QCOMPARE(c.status(), QStringLiteral("content_storage_insufficient"));
        QVERIFY(!QFileInfo::exists(cache->objectPath(o[3].sha256)));
        for (int i = 0; i < 3; ++i)
            QVERIFY(QFileInfo::exists(cache->objectPath(o[i].sha256)));
    }

    // One package against the content route as the origin behaves per row: the back-offs armed,
    // the ranges asked for, and how the application ends: bound, or skipped with its code and
    // nothing of the package left on disk.
    void packageDownloads_data()
    {
        // "installed", "partial", "other partial" (its first byte is not the package's),
        // "hostile", "hostile behind", "stalled" (a transfer timeout of 1 s), "refused" (until the
        // first back-off), "read-only" (the volume refuses the first two requests' bytes)
        QTest::addColumn<QByteArray>("held");
        QTest::addColumn<Answers>("answers");
        QTest::addColumn<QList<int>>("delays");
        QTest::addColumn<QByteArrayList>("ranges");
        QTest::addColumn<QString>("code");

        const QString failed = QStringLiteral("application_package_download_failed");
        const auto after = [](int status, const QByteArray& retryAfter) {
            return Answer{.status = status, .headers = {{"Retry-After", retryAfter}}};
        };
        // Retry-After of 120 s, 0 s and an hour, then the doubling of the fourth and fifth try;
        // the sixth transient answer is hard, retried once at once, then skipped.
        QTest::newRow("installed") << QByteArray("installed") << Answers{} << QList<int>{}
                                   << QByteArrayList{} << QString();
        QTest::newRow("transient schedule")
            << QByteArray() << Answers{after(503, "120"), after(503, "0"), after(429, "3600"),
                                       {.status = 503}, {.status = 503}, {.status = 503}, {.status = 404}}
            << QList<int>{120000, 1000, 900000, 8000, 16000} << QByteArrayList(7, "") << failed;
        // A body gone silent, a connection refused: the origin is away, not wrong.
        QTest::newRow("stalled twice") << QByteArray("stalled")
                                       << Answers{{.fault = Service::Fault::Stall},
                                                  {.fault = Service::Fault::Stall}}
                                       << QList<int>{1000, 2000} << QByteArrayList{} << QString();
        QTest::newRow("refused") << QByteArray("refused") << Answers{} << QList<int>{1000}
                                 << QByteArrayList{""} << QString();
        QTest::newRow("read-only volume") << QByteArray("read-only") << Answers{}
                                          << QList<int>{1000, 2000} << QByteArrayList(3, "")
                                          << QString();
        QTest::newRow("500 and 408 are hard") << QByteArray() << Answers{{.status = 500}, {.status = 408}}
                                              << QList<int>{} << QByteArrayList(2, "") << failed;
        QTest::newRow("resumed") << QByteArray("partial") << Answers{} << QList<int>{}
                                 << QByteArrayList{"bytes=100-"} << QString();
        // The bytes found on disk count in the digest as much as those received.
        QTest::newRow("resumed over other bytes")
            << QByteArray("other partial") << Answers{} << QList<int>{}
            << QByteArrayList{"bytes=100-"} << QStringLiteral("package_archive_integrity_mismatch");
        QTest::newRow("416 restarts whole") << QByteArray("partial") << Answers{{.status = 416}}
                                            << QList<int>{} << QByteArrayList{"bytes=100-", ""}
                                            << QString();
        QTest::newRow("corrupted") << QByteArray() << Answers{{.corrupt = true}} << QList<int>{}
                                   << QByteArrayList{""}
                                   << QStringLiteral("package_archive_integrity_mismatch");
        QTest::newRow("a byte long twice") << QByteArray() << Answers{{.lengthDelta = 1}, {.lengthDelta = 1}}
                                           << QList<int>{} << QByteArrayList(2, "")
                                           << QStringLiteral("package_archive_size_mismatch");
        // A tree that lost a file, as a removal killed halfway left it, gives way to a new one.
        QTest::newRow("damaged tree") << QByteArray("damaged") << Answers{} << QList<int>{}
                                      << QByteArrayList{""} << QString();
        QTest::newRow("hostile archive") << QByteArray("hostile") << Answers{} << QList<int>{}
                                         << QByteArrayList{""}
                                         << QStringLiteral("package_entry_type_rejected");
        // The background fetch drops it; the new revision's candidate skips it without a fetch.
        QTest::newRow("hostile, in the background")
            << QByteArray("hostile behind") << Answers{} << QList<int>{} << QByteArrayList{""}
            << QStringLiteral("package_entry_type_rejected");
    }
    void packageDownloads()
    {
        QFETCH(QByteArray, held);
        QFETCH(Answers, answers);
        QFETCH(QList<int>, delays);
        QFETCH(QByteArrayList, ranges);
        QFETCH(QString, code);

        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        const std::shared_ptr<ApplicationPackageCache> cache = ControllerAccess::applicationCache(c);
        const ServedObject package = held.startsWith("hostile") ? hostilePackage() : servedPackage("app.tgz", "app");
        const ApplicationPackageDescriptor descriptor = descriptorOf(package.bytes);
        if (held == "installed" || held == "damaged")
            QVERIFY(installPackage(*cache, package.bytes, descriptor));
        if (held == "damaged") {
            const QString tree = cache->objectDirectory(package.sha256);
            QVERIFY(QFile::setPermissions(tree, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
            QVERIFY(QFile::remove(tree + "/index.html"));
        }
        h.service().putContent(package.path, package.bytes, packageType);
        h.service().scriptContent(package.path, answers);
        if (held.endsWith("partial")) {
            QByteArray start = package.bytes.left(100);
            if (held == "other partial")
                start[0] = char(~start[0]);
            QVERIFY(cache->openPartial(descriptor)->append(start));
        }
        QNetworkAccessManager* network = h.transport().networkAccessManager();
        if (held == "stalled") {
            network->setTransferTimeout(3000);
            // Each stall leaves half of what it was sent in the partial file, for the next try.
            const qint64 first = package.bytes.size() / 2;
            const qint64 second = first + (package.bytes.size() - first) / 2;
            ranges = {"", "bytes=" + QByteArray::number(first) + '-',
                      "bytes=" + QByteArray::number(second) + '-'};
        }
        h.service().setRefusing(held == "refused");
        if (held == "read-only")
            connect(&h.service(), &Service::requestReceived, this, [&] {
                if (h.service().requestsTo(package.path).size() <= 2)
                    cache->failNextPartialWrite(EROFS);
            });
        const Manifest manifest = contentManifest(
            {QJsonArray{applicationPrimitive("app", package), frame}}, h.service().url());
        if (held == "hostile behind") {
            ControllerAccess::putOnGlass(
                c, contentManifest({QJsonArray{frame}}, h.service().url(), "man_0"), 0, 1);
            ControllerAccess::beginReplacement(c, manifest);
        } else {
            ControllerAccess::preparePage(c, manifest, 0, false);
        }

        const auto settled = [&] {
            return !boundSource(c, 0, "app").isEmpty() || !skipCode(h, "app").isEmpty();
        };
        // After the stalls, the last try has all the time a busy machine needs.
        int retries = 0;
        QCOMPARE(expireBackoffs(h, "packageRetryTimer", settled,
                                [&] {
                                    h.service().setRefusing(false);
                                    if (++retries == 2)
                                        network->setTransferTimeout(60000);
                                }),
                 delays);
        QTRY_VERIFY_WITH_TIMEOUT(ControllerAccess::transfersIdle(c), waitMs);
        if (code.isEmpty()) {
            QCOMPARE(boundSource(c, 0, "app"),
                     WebPackageScheme::entryUrl(package.sha256, QStringLiteral("index.html")));
            QCOMPARE(ControllerAccess::candidate(c)->packageDescriptors.value("app").sha256,
                     package.sha256);
            QVERIFY(cache->readyEntrypoint(descriptor, false));
        } else {
            QCOMPARE(skipCode(h, "app"), code);
            QVERIFY(!QFileInfo::exists(cache->objectDirectory(package.sha256)));
            QVERIFY(ControllerAccess::candidate(c)); // the frame still goes on
        }
        // Bytes the installer refused are no base for a later resume of the same digest.
        QCOMPARE(QFileInfo::exists(cache->partialPath(package.sha256)), false);
        const QList<Service::Request> sent = h.service().requestsTo(package.path);
        QCOMPARE(sent.size(), ranges.size());
        for (qsizetype i = 0; i < sent.size(); ++i)
            QCOMPARE(sent.at(i).header("Range"), ranges.at(i));
    }

    // Room for a package no volume holds: everything goes but what is on glass, outgoing,
    // planned by the candidate, or already landed by a background replacement.
    void pruneKeepsShownAndLanded()
    {
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        const std::shared_ptr<ApplicationPackageCache> cache = ControllerAccess::applicationCache(c);
        QList<ServedObject> p;
        for (const char* name : {"planned", "glass", "outgoing", "landed", "stray", "huge"})
            p.append(servedPackage(name, name));
        for (int i = 0; i < 5; ++i)
            QVERIFY(installPackage(*cache, p[i].bytes, descriptorOf(p[i].bytes)));
        Manifest manifest = contentManifest({QJsonArray{applicationPrimitive("huge", p[5])},
                                             QJsonArray{applicationPrimitive("planned", p[0])}},
                                            h.service().url());
        // Beyond what a manifest may declare, as only a corrupted one could.
        QJsonObject& binding = manifest.pages[0].primitives[0].binding;
        QJsonObject declared = binding["package"].toObject();
        declared["bytes"] = double(qint64(1) << 60);
        binding["package"] = declared;
        ControllerAccess::setActivePackageKeys(c, {p[1].sha256}, {p[2].sha256});
        ControllerAccess::setReplacementPackages(c, {p[3].sha256});
        ControllerAccess::preparePage(c, manifest, 0, true);
        QTRY_VERIFY_WITH_TIMEOUT(!ControllerAccess::candidate(c), waitMs);
        QCOMPARE(c.status(), QStringLiteral("content_storage_insufficient"));
        QVERIFY(!QFileInfo::exists(cache->objectDirectory(p[4].sha256)));
        for (int i = 0; i < 4; ++i)
            QVERIFY2(QFileInfo::exists(cache->objectDirectory(p[i].sha256)), p[i].path);
        QCOMPARE(h.service().contentAttempts(p[5].path), 0);
    }
    // The gate: readiness per slot and id, the sorted ids asked for, the three paths of a
    // failure report, the order of maybeActivate's checks ending in activation.
    void readinessGate()
    {
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        const ServedObject x = ServedObject::make("x", 1024, 1);
        const Manifest manifest = contentManifest(
            {QJsonArray{mediaPrimitive("zeta", {x}), frame,
                        mediaPrimitive("Alpha", {x}), mediaPrimitive("beta", {x})},
             QJsonArray{mediaPrimitive("other", {x})}},
            h.service().url());
        const QStringList ids{"zeta", "frame", "Alpha", "beta"};

        // The origin is out of reach: the object stays pending behind its back-off.
        h.service().setRefusing(true);
        ControllerAccess::preparePage(c, manifest, 0, false);
        QSignalSpy awaiting(&c, &PlayerController::candidateAwaitingReadiness);
        for (const QString& id : ids) {
            c.primitiveReady(1, id);      // the other slot
            c.primitiveReady(0, id + "x"); // not on the page
        }
        QVERIFY(h.devLog(QStringLiteral("primitive_ready")).isEmpty());
        for (const QString& id : ids)
            c.primitiveReady(0, id);
        const QList<QJsonObject> held = h.devLog(QStringLiteral("activation_held"));
        QCOMPARE(held.size(), 1);
        QCOMPARE(held.at(0).value("reason").toString(), QStringLiteral("downloads_pending"));
        QCOMPARE(held.at(0).value("downloads_pending").toString(), QStringLiteral("1"));

        // A failing iframe of a rotation candidate counts as ready; an image is skipped.
        QTRY_VERIFY_WITH_TIMEOUT(h.timer("candidateDownloadRetryTimer")->isActive(), waitMs);
        seedCache(*ControllerAccess::contentCache(c), x, x.bytes.size(), true);
        ControllerAccess::preparePage(c, manifest, 0, false);
        QTRY_COMPARE_WITH_TIMEOUT(awaiting.size(), 1, waitMs);
        QCOMPARE(awaiting.at(0).at(1).toStringList(), QStringList({"Alpha", "beta", "frame", "zeta"}));
        QCOMPARE(c.status(), QStringLiteral("awaiting_renderer_readiness"));
        c.primitiveFailed(0, "frame", "frame_blocked");
        c.primitiveFailed(0, "zeta", "decode_failed");
        const QList<QJsonObject> failed = h.devLog(QStringLiteral("primitive_failed"));
        QCOMPARE(failed.size(), 2);
        QCOMPARE(failed.at(0).value("action").toString(), QStringLiteral("external_frame_ready"));
        QCOMPARE(failed.at(1).value("action").toString(), QStringLiteral("skip_primitive"));
        c.primitiveReady(0, "Alpha");
        QCOMPARE(ControllerAccess::statePhase(c), 2);
        c.primitiveReady(0, "beta");
        QCOMPARE(ControllerAccess::statePhase(c), 3); // activated: the page is on glass

        // A new revision skips even an iframe; a media object that could not be had skips every
        // primitive using it, and the last skip fails the candidate without touching the next.
        ControllerAccess::preparePage(c, manifest, 0, true);
        QVERIFY(ControllerAccess::candidate(c));
        c.primitiveFailed(ControllerAccess::candidate(c)->slot, "frame", "frame_blocked");
        QCOMPARE(skipCode(h, "frame"), QStringLiteral("frame_blocked"));
        ControllerAccess::skipCandidateMedia(c, x.sha256, QStringLiteral("content_download_failed"));
        QVERIFY(!ControllerAccess::candidate(c)
                || ControllerAccess::candidate(c)->requiredPrimitives.isEmpty());

        // A failure on glass (the page the gate activated above plays on): reported, excluded
        // for the revision, recovery armed once; the candidate on the other slot is untouched.
        QCOMPARE(c.activeSlot(), 0);
        ControllerAccess::preparePage(c, manifest, 1, false);
        c.primitiveFailed(0, "not-there", "decode_failed");
        QVERIFY(!h.timer("rendererRecoveryTimer")->isActive());
        c.primitiveFailed(0, "zeta", "decode_failed");
        QCOMPARE(c.status(), QStringLiteral("degraded_lkg_active"));
        QCOMPARE(ControllerAccess::failedPages(c), QSet<int>({0}));
        QVERIFY(h.timer("rendererRecoveryTimer")->isActive());
        QCOMPARE(ControllerAccess::candidate(c)->requiredPrimitives, QSet<QString>({"other"}));
    }

    // Random misbehaviour of the origin over many objects, with a fixed seed: each object ends
    // verified in the cache or skipped with a documented code, never with more requests than
    // the deviations allow, a wrong object or a stale partial.
    void hostileOrigin()
    {
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        const std::shared_ptr<ContentCache> cache = ControllerAccess::contentCache(c);
        QRandomGenerator random(20260302);
        const auto pick = [&](int n) { return int(random.bounded(n)); };
        const QList<Answer> deviations{
            {.status = 500}, {.status = 503, .headers = {{"Retry-After", "3"}}}, {.status = 206},
            {.status = 200}, {.status = 416}, {.contentRange = "bytes 0-1/2"}, {.lengthDelta = 1},
            {.lengthDelta = -7}, {.corrupt = true}, {.gzip = true},
            {.fault = Service::Fault::DropMidBody}, {.fault = Service::Fault::Close},
            {.trickleBytes = 4096, .trickleIntervalMs = 2},
        };
        QList<ServedObject> objects;
        QList<int> deviationCounts;
        QJsonArray primitives;
        for (int i = 0; i < 24; ++i) {
            const ServedObject object = ServedObject::make("h" + QByteArray::number(i),
                                                           1 + pick(96 * 1024), quint32(100 + i));
            Answers answers;
            for (int d = pick(4); d > 0; --d)
                answers.append(deviations.at(pick(int(deviations.size()))));
            h.service().putContent(object.path, object.bytes);
            h.service().scriptContent(object.path, answers);
            if (pick(3) == 0 && object.bytes.size() > 1)
                seedCache(*cache, object, 1 + pick(int(object.bytes.size()) - 1), false);
            objects.append(object);
            deviationCounts.append(int(answers.size()));
            primitives.append(mediaPrimitive(QStringLiteral("m%1").arg(i), {object}));
        }
        ControllerAccess::preparePage(c, contentManifest({primitives}, h.service().url()), 0, true);
        QTRY_VERIFY_WITH_TIMEOUT((h.expireSoon("candidateDownloadRetryTimer"), true)
                                     && (!ControllerAccess::candidate(c)
                                         || ControllerAccess::candidate(c)->pendingAssets == 0)
                                     && ControllerAccess::transfersIdle(c),
                                 waitMs);
        for (int i = 0; i < objects.size(); ++i) {
            const QString id = QStringLiteral("m%1").arg(i);
            const ServedObject& object = objects.at(i);
            if (const QString code = skipCode(h, id); !code.isEmpty()) {
                QVERIFY2(QStringList({"content_download_failed", "cache_integrity_mismatch"}).contains(code),
                         qPrintable(code));
                QVERIFY(!QFileInfo::exists(cache->objectPath(object.sha256)));
            } else {
                QCOMPARE(fileDigest(cache->objectPath(object.sha256)), object.sha256);
                QVERIFY(!QFileInfo::exists(cache->partialPath(object.sha256)));
            }
            QVERIFY2(h.service().contentAttempts(object.path) <= deviationCounts.at(i) + 1,
                     qPrintable(id));
        }
    }
};

QTEST_MAIN(TestMediaTransfers)
#include "tst_mediatransfers.moc"
