#include "controller/PlayerReadiness.h"
#include "controller/PlayerTransfers.h"
#include "tests/support/ControllerHarness.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>

using namespace talvorine;
using talvorine::test::ControllerAccess;
using talvorine::test::ControllerHarness;
using Service = talvorine::test::FakeRuntimeService;
using Answer = Service::ContentAnswer;
using Answers = QList<Answer>;

Q_DECLARE_METATYPE(TransferHead)
Q_DECLARE_METATYPE(ActivationGate)

namespace {

constexpr int waitMs = ControllerHarness::waitMs;
constexpr qint64 objectBytes = 65536;

struct Object {
    QByteArray path;
    QByteArray bytes;
    QString sha;
};

Object makeObject(const QByteArray& name, qint64 size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    for (char& byte : bytes)
        byte = char(generator.bounded(256));
    return {"/content/v1/media/" + name, bytes, Service::sha256Hex(bytes)};
}

QJsonObject mediaPrimitive(const QString& id, const QList<Object>& items,
                           const QString& kind = QStringLiteral("image"))
{
    QJsonArray media;
    for (const Object& object : items)
        media.append(QJsonObject{{"mediaId", QString::fromLatin1(object.path.mid(18))},
                                 {"src", QString::fromLatin1(object.path)},
                                 {"sha256", object.sha},
                                 {"bytes", double(object.bytes.size())},
                                 {"contentType", kind == QLatin1String("video")
                                                     ? QStringLiteral("video/mp4")
                                                     : QStringLiteral("image/png")},
                                 {"intrinsicSize", QJsonObject{{"width", 640}, {"height", 360}}}});
    QJsonObject primitive{
        {"id", id},
        {"primitive", kind},
        {"rect", QJsonObject{{"x", 0}, {"y", 0}, {"width", 960}, {"height", 540}}},
        {"layer", 0},
        {"contentFit", "contain"},
        {"grantId", "grant-1"},
        {"selector", QJsonObject{{"by", "all"}, {"oneAtATime", false}}},
        {"resolvedMedia", media}};
    if (kind == QLatin1String("video")) {
        primitive.insert("muted", true);
        primitive.insert("loop", true);
    }
    return primitive;
}

QJsonObject iframePrimitive(const QString& id)
{
    return {{"id", id},
            {"primitive", "iframe"},
            {"rect", QJsonObject{{"x", 0}, {"y", 0}, {"width", 960}, {"height", 540}}},
            {"layer", 1},
            {"contentFit", "fill"},
            {"src", "https://example.com/board"},
            {"title", "Board"}};
}

Manifest manifestOf(const QList<QJsonArray>& pages, const QUrl& origin)
{
    QJsonArray pageArray;
    for (qsizetype i = 0; i < pages.size(); ++i)
        pageArray.append(QJsonObject{
            {"contractVersion", "talvorine.canvas/v1"},
            {"id", QStringLiteral("p%1").arg(i)},
            {"canvas", QJsonObject{{"width", 1920}, {"height", 1080}, {"viewportFit", "contain"}}},
            {"transition", QJsonObject{{"type", "crossfade"}, {"durationMs", 500}}},
            {"advance", QJsonObject{{"mode", "duration"}, {"afterMs", 10000}}},
            {"primitives", pages.at(i)}});
    const QJsonObject document{{"schemaVersion", 2},     {"manifestRevision", "rev-1"},
                               {"grantId", "grant-1"},   {"contentGeneration", 1},
                               {"screenId", "screen-1"}, {"screenLabel", "Lobby"},
                               {"playlistRevision", 1},  {"generatedAt", "2026-03-02T10:00:00Z"},
                               {"pages", pageArray}};
    const ManifestParseResult parsed =
        ManifestParser::parse(QJsonDocument(document).toJson(), origin, 0);
    if (const auto* error = std::get_if<ManifestError>(&parsed))
        qFatal("manifest fixture refused: %s %s", qPrintable(error->code),
               qPrintable(error->path));
    const Manifest& manifest = std::get<Manifest>(parsed);
    for (const ManifestDrop& drop : manifest.drops)
        qWarning("drop %s %s", qPrintable(drop.code), qPrintable(drop.path));
    return manifest;
}

MediaItem itemOf(const Manifest& manifest, int page, int primitive, int item = 0)
{
    return mediaItems(manifest.pages.at(page).primitives.at(primitive)).at(item);
}

QUrl boundSource(PlayerController& c, int slot, const QString& primitiveId)
{
    StageLayoutModel* model = c.modelForSlot(slot);
    for (int row = 0; row < model->rowCount(); ++row) {
        const QModelIndex index = model->index(row);
        if (model->data(index, StageLayoutModel::PrimitiveIdRole).toString() == primitiveId)
            return model->data(index, StageLayoutModel::ContentSourceRole).toUrl();
    }
    return {};
}

bool skipped(const ControllerHarness& h, const QString& primitiveId, QString* code = nullptr)
{
    for (const QJsonObject& record : h.devLog(QStringLiteral("primitive_failed"))) {
        if (record.value("primitive_id").toString() == primitiveId
            && record.value("action").toString() == QLatin1String("skip_primitive")) {
            if (code)
                *code = record.value("code").toString();
            return true;
        }
    }
    return false;
}

QString fileDigest(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? Service::sha256Hex(file.readAll()) : QString();
}

// The object as the cache holds it before the test: a verified copy or a partial download.
void seedCache(ContentCache& cache, const Object& object, qint64 partialBytes, bool commit)
{
    QString error;
    if (partialBytes > 0)
        QVERIFY(cache.appendPartial(object.sha, object.bytes.size(),
                                    object.bytes.left(partialBytes), &error));
    if (commit) {
        QFile partial(cache.partialPath(object.sha));
        QVERIFY(partial.open(QIODevice::ReadOnly));
        QVERIFY(cache.commitVerified(partial, object.sha, object.bytes.size(), &error, nullptr));
    }
}

Answer range(const QByteArray& contentRange)
{
    Answer answer;
    answer.contentRange = contentRange;
    return answer;
}

Answer with(Answer answer, void (*change)(Answer&))
{
    change(answer);
    return answer;
}

enum class Outcome { Bound, Skipped, RetryArmed, Deferred, Settled };

} // namespace

Q_DECLARE_METATYPE(Outcome)

class TestMediaTransfers : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<ControllerHarness> harness_;

    ControllerHarness& make(ControllerHarness::Options options = {})
    {
        harness_ = std::make_unique<ControllerHarness>(options);
        if (!harness_->ready() || !harness_->mintSession())
            qFatal("controller harness not ready");
        return *harness_;
    }

private Q_SLOTS:
    void cleanup()
    {
        if (harness_)
            QVERIFY2(harness_->surprises().isEmpty(), qPrintable(harness_->surprises().join('\n')));
        harness_.reset();
    }

    void transferHead_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<qint64>("offset");
        QTest::addColumn<QByteArray>("contentRange");
        QTest::addColumn<qint64>("contentLength");
        QTest::addColumn<QByteArray>("encoding");
        QTest::addColumn<TransferHead>("verdict");
        const auto A = TransferHead::Accept;
        const auto R = TransferHead::Reject;
        QTest::newRow("200 fresh") << 200 << 0LL << QByteArray() << -2LL << QByteArray() << A;
        QTest::newRow("200 to a range") << 200 << 10LL << QByteArray() << -2LL << QByteArray()
                                        << TransferHead::RestartWhole;
        QTest::newRow("206 exact") << 206 << 10LL << QByteArray(" bytes 10-99/100 ") << 90LL
                                   << QByteArray("identity") << A;
        QTest::newRow("206 without length") << 206 << 10LL << QByteArray("bytes 10-99/100") << -2LL
                                            << QByteArray() << A;
        QTest::newRow("206 unasked") << 206 << 0LL << QByteArray("bytes 0-99/100") << 100LL
                                     << QByteArray() << R;
        QTest::newRow("206 other start") << 206 << 10LL << QByteArray("bytes 9-99/100") << 91LL
                                         << QByteArray() << R;
        QTest::newRow("206 other total") << 206 << 10LL << QByteArray("bytes 10-99/101") << 90LL
                                         << QByteArray() << R;
        QTest::newRow("206 short end") << 206 << 10LL << QByteArray("bytes 10-98/100") << 89LL
                                       << QByteArray() << R;
        QTest::newRow("206 star") << 206 << 10LL << QByteArray("bytes */100") << 90LL
                                  << QByteArray() << R;
        QTest::newRow("206 other length") << 206 << 10LL << QByteArray("bytes 10-99/100") << 91LL
                                          << QByteArray() << R;
        QTest::newRow("206 unreadable length") << 206 << 10LL << QByteArray("bytes 10-99/100")
                                               << -1LL << QByteArray() << R;
        QTest::newRow("416") << 416 << 10LL << QByteArray("bytes */100") << 0LL << QByteArray()
                             << TransferHead::RejectDropPartial;
        QTest::newRow("304") << 304 << 0LL << QByteArray() << -2LL << QByteArray() << R;
        QTest::newRow("gzip") << 200 << 0LL << QByteArray() << 50LL << QByteArray("gzip") << R;
    }
    void transferHead()
    {
        QFETCH(int, status);
        QFETCH(qint64, offset);
        QFETCH(QByteArray, contentRange);
        QFETCH(qint64, contentLength);
        QFETCH(QByteArray, encoding);
        QFETCH(TransferHead, verdict);
        const TransferHeadFacts facts{status, offset, 100, contentRange,
                                      contentLength == -2 ? std::nullopt
                                                          : std::optional<qint64>(contentLength),
                                      encoding};
        QCOMPARE(judgeTransferHead(facts), verdict);
    }

    void transient_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QNetworkReply::NetworkError>("error");
        QTest::addColumn<bool>("rejected");
        QTest::addColumn<bool>("transient");
        QTest::newRow("refused") << 0 << QNetworkReply::ConnectionRefusedError << false << true;
        QTest::newRow("dropped body") << 200 << QNetworkReply::RemoteHostClosedError << false << true;
        QTest::newRow("silent body") << 200 << QNetworkReply::OperationCanceledError << false << true;
        QTest::newRow("our abort") << 206 << QNetworkReply::OperationCanceledError << true << false;
        QTest::newRow("503") << 503 << QNetworkReply::ServiceUnavailableError << true << false;
        QTest::newRow("404") << 404 << QNetworkReply::ContentNotFoundError << true << false;
    }
    void transient()
    {
        QFETCH(int, status);
        QFETCH(QNetworkReply::NetworkError, error);
        QFETCH(bool, rejected);
        QFETCH(bool, transient);
        QCOMPARE(transferTransient(status, error, rejected), transient);
    }

    void gateRules_data()
    {
        QTest::addColumn<bool>("adPresentation");
        QTest::addColumn<bool>("admitted");
        QTest::addColumn<int>("pending");
        QTest::addColumn<bool>("allReady");
        QTest::addColumn<bool>("splash");
        QTest::addColumn<ActivationGate>("gate");
        QTest::newRow("ad first") << true << false << 1 << true << true << ActivationGate::AwaitAdVisit;
        QTest::newRow("ad admitted") << true << true << 0 << true << false << ActivationGate::Activate;
        QTest::newRow("downloads before splash") << false << false << 1 << true << true
                                                 << ActivationGate::DownloadsPending;
        QTest::newRow("splash before renderer") << false << false << 0 << false << true
                                                << ActivationGate::Splash;
        QTest::newRow("renderer") << false << false << 0 << false << false
                                  << ActivationGate::AwaitRenderer;
        QTest::newRow("ready") << false << false << 0 << true << false << ActivationGate::Activate;
    }
    void gateRules()
    {
        QFETCH(bool, adPresentation);
        QFETCH(bool, admitted);
        QFETCH(int, pending);
        QFETCH(bool, allReady);
        QFETCH(bool, splash);
        QFETCH(ActivationGate, gate);
        QCOMPARE(activationGate({adPresentation, admitted, pending, allReady, splash}), gate);
    }

    // One media object through the content route, as the origin behaves per row: bytes on
    // disk, the ledger, the requests and the binding.
    void transfers_data()
    {
        QTest::addColumn<qint64>("partial");
        QTest::addColumn<Answers>("answers");
        QTest::addColumn<int>("transferTimeoutMs");
        QTest::addColumn<bool>("refusing");
        QTest::addColumn<bool>("pageOnGlass");
        QTest::addColumn<Outcome>("outcome");
        QTest::addColumn<int>("requests");
        QTest::addColumn<QByteArrayList>("ranges");
        QTest::addColumn<qint64>("ledgerNew");
        QTest::addColumn<qint64>("ledgerFailed");
        QTest::addColumn<QString>("code");

        const qint64 n = objectBytes;
        const Answer serve;
        const auto status = [](int code, Service::Headers headers = {}) {
            return Answer::withStatus(code, std::move(headers));
        };
        const QByteArray resume = "bytes=1000-";
        using B = QByteArrayList;
        const auto row = [&](const char* name, qint64 partial, Answers answers, Outcome outcome,
                             int requests, B ranges, qint64 ledgerNew, qint64 ledgerFailed,
                             QString code = QString()) {
            QTest::newRow(name) << partial << answers << 0 << false << false << outcome
                                << requests << ranges << ledgerNew << ledgerFailed << code;
        };
        row("fresh", 0, {}, Outcome::Bound, 1, {""}, n, 0);
        row("resumed", 1000, {}, Outcome::Bound, 1, {resume}, n - 1000, 0);
        row("200 to a range", 1000, {with(serve, [](Answer& a) { a.kind = Answer::Kind::IgnoreRange; })},
            Outcome::Bound, 1, {resume}, n, 0);
        row("416 once", 1000, {with(serve, [](Answer& a) { a.kind = Answer::Kind::RangeNotSatisfiable; })},
            Outcome::Bound, 2, {resume, ""}, n, 0);
        const Answer unsatisfiable =
            with(serve, [](Answer& a) { a.kind = Answer::Kind::RangeNotSatisfiable; });
        row("416 twice", 1000, {unsatisfiable, unsatisfiable}, Outcome::Bound, 3,
            {resume, "", ""}, n, 0);
        row("206 other start", 1000, {range("bytes 999-65535/65536")}, Outcome::Bound, 2,
            {resume, resume}, n - 1000, 0);
        row("206 other total", 1000, {range("bytes 1000-65535/65537")}, Outcome::Bound, 2,
            {resume, resume}, n - 1000, 0);
        row("206 without unit", 1000, {range("1000-65535/65536")}, Outcome::Bound, 2,
            {resume, resume}, n - 1000, 0);
        row("206 length short", 1000, {with(serve, [](Answer& a) { a.lengthDelta = -1; })},
            Outcome::Bound, 2, {resume, resume}, n - 1000, 0);
        row("206 unasked", 0, {with(serve, [](Answer& a) { a.kind = Answer::Kind::PartialWithoutRange; })},
            Outcome::Bound, 2, {"", ""}, n, 0);
        row("body a byte long", 0, {with(serve, [](Answer& a) { a.lengthDelta = 1; })},
            Outcome::Bound, 2, {"", ""}, n, n + 1);
        // The short body is kept and resumed for its last byte.
        row("body a byte short", 0, {with(serve, [](Answer& a) { a.lengthDelta = -1; })},
            Outcome::Bound, 2, {"", "bytes=65535-"}, n, 0);
        row("corrupted", 0, {with(serve, [](Answer& a) { a.corrupt = true; })}, Outcome::Skipped,
            1, {""}, 0, n, QStringLiteral("cache_integrity_mismatch"));
        const Answer gzipped = with(serve, [](Answer& a) { a.gzip = true; });
        row("gzip twice", 0, {gzipped, gzipped}, Outcome::Skipped, 2, {"", ""}, 0, 0,
            QStringLiteral("content_download_failed"));
        row("401", 1000, {status(401)}, Outcome::Settled, 1, {resume}, 0, 0);
        row("404 once", 0, {status(404)}, Outcome::Bound, 2, {"", ""}, n, 0);
        row("503 then 429", 0,
            {status(503, {{"Retry-After", "1"}}),
             status(429, {{"Retry-After", "Mon, 02 Mar 2026 10:00:05 GMT"},
                          {"Date", "Mon, 02 Mar 2026 10:00:00 GMT"}})},
            Outcome::Skipped, 2, {"", ""}, 0, 0, QStringLiteral("content_download_failed"));
        row("dropped mid-body", 0, {with(serve, [](Answer& a) { a.fault = Service::Fault::DropMidBody; })},
            Outcome::RetryArmed, 2, {"", "bytes=32768-"}, n, 0);
        row("trickled", 0, {with(serve, [](Answer& a) {
                                a.trickleBytes = 8192;
                                a.trickleIntervalMs = 5;
                            })},
            Outcome::Bound, 1, {""}, n, 0);
        // Qt ends a body that went silent with OperationCanceledError: still the origin's fault.
        QTest::newRow("stalled body") << 0LL
                                      << Answers{with(serve, [](Answer& a) {
                                             a.fault = Service::Fault::Stall;
                                         })}
                                      << 1000 << false << false << Outcome::RetryArmed << 2
                                      << B{"", "bytes=32768-"} << n << 0LL << QString();
        QTest::newRow("refused") << 0LL << Answers{} << 0 << true << false << Outcome::RetryArmed
                                 << 1 << B{""} << n << 0LL << QString();
        QTest::newRow("deferred while playing") << 0LL << Answers{} << 0 << true << true
                                                << Outcome::Deferred << 0 << B{} << 0LL << 0LL
                                                << QString();
    }
    void transfers()
    {
        QFETCH(qint64, partial);
        QFETCH(Answers, answers);
        QFETCH(int, transferTimeoutMs);
        QFETCH(bool, refusing);
        QFETCH(bool, pageOnGlass);
        QFETCH(Outcome, outcome);
        QFETCH(int, requests);
        QFETCH(QByteArrayList, ranges);
        QFETCH(qint64, ledgerNew);
        QFETCH(qint64, ledgerFailed);
        QFETCH(QString, code);

        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        const Object object = makeObject("a.png", objectBytes, 7);
        h.service().putContent(object.path, object.bytes);
        h.service().scriptContent(object.path, answers);
        h.service().requireCredential(object.path, "Talvorine-Session ");
        const std::shared_ptr<ContentCache> cache = ControllerAccess::contentCache(c);
        seedCache(*cache, object, partial, false);
        if (transferTimeoutMs > 0)
            h.transport().networkAccessManager()->setTransferTimeout(transferTimeoutMs);

        const Manifest manifest =
            manifestOf({QJsonArray{mediaPrimitive("a", {object})}}, h.service().url());
        if (pageOnGlass)
            ControllerAccess::putPageOnGlass(c, manifest, 0, 0);
        ControllerAccess::installCandidate(c, manifest, 0, false);
        const int slot = pageOnGlass ? 1 : 0;
        h.service().setRefusing(refusing);
        ControllerAccess::prepareMedia(c, itemOf(manifest, 0, 0));

        switch (outcome) {
        case Outcome::RetryArmed:
            QTRY_VERIFY_WITH_TIMEOUT(h.timer("candidateDownloadRetryTimer")->isActive(), waitMs);
            QVERIFY(h.timer("candidateDeadlineTimer")->isActive());
            QVERIFY(boundSource(c, slot, "a").isEmpty());
            h.service().setRefusing(false);
            h.transport().networkAccessManager()->setTransferTimeout(RuntimeTransport::transferTimeoutMs);
            QVERIFY(h.expireSoon("candidateDownloadRetryTimer"));
            [[fallthrough]];
        case Outcome::Bound:
            QTRY_VERIFY_WITH_TIMEOUT(!boundSource(c, slot, "a").isEmpty(), waitMs);
            QCOMPARE(boundSource(c, slot, "a"), QUrl::fromLocalFile(cache->objectPath(object.sha)));
            QCOMPARE(fileDigest(cache->objectPath(object.sha)), object.sha);
            QCOMPARE(QFileInfo(cache->objectPath(object.sha)).permissions() & QFile::WriteOwner,
                     QFileDevice::Permissions());
            QCOMPARE(ControllerAccess::candidate(c)->pendingAssets, 0);
            break;
        case Outcome::Skipped: {
            QTRY_VERIFY_WITH_TIMEOUT(skipped(h, "a"), waitMs);
            QString skipCode;
            skipped(h, "a", &skipCode);
            QCOMPARE(skipCode, code);
            QVERIFY(!QFileInfo::exists(cache->objectPath(object.sha)));
            QCOMPARE(ControllerAccess::candidate(c)->pendingAssets, 0);
            break;
        }
        case Outcome::Deferred: {
            QTRY_VERIFY_WITH_TIMEOUT(!ControllerAccess::candidate(c), waitMs);
            QVERIFY(ControllerAccess::unreachableUntil(c).value(object.sha)
                    > h.clock().nowMs());
            QCOMPARE(c.modelForSlot(slot)->rowCount(), 0);
            // Within the back-off window the next candidate goes without asking the origin,
            // reachable or not.
            h.service().setRefusing(false);
            ControllerAccess::installCandidate(c, manifest, 0, false);
            ControllerAccess::prepareMedia(c, itemOf(manifest, 0, 0));
            QTRY_VERIFY_WITH_TIMEOUT(!ControllerAccess::candidate(c), waitMs);
            break;
        }
        case Outcome::Settled:
            QTRY_VERIFY_WITH_TIMEOUT(h.service().contentAttempts(object.path) == requests
                                         && ControllerAccess::transfersIdle(c),
                                     waitMs);
            QVERIFY(boundSource(c, slot, "a").isEmpty());
            break;
        }
        QTRY_VERIFY_WITH_TIMEOUT(ControllerAccess::transfersIdle(c), waitMs);
        QVERIFY(!QFileInfo::exists(cache->partialPath(object.sha)) || outcome == Outcome::Settled);

        const QList<Service::Request> sent = h.service().requestsTo(object.path);
        QCOMPARE(sent.size(), requests);
        QCOMPARE(sent.size(), ranges.size());
        for (qsizetype i = 0; i < sent.size(); ++i) {
            QCOMPARE(sent.at(i).header("Range"), ranges.at(i));
            QCOMPARE(sent.at(i).header("If-Range"),
                     ranges.at(i).isEmpty() ? QByteArray()
                                            : '"' + object.sha.toLatin1() + '"');
            QCOMPARE(sent.at(i).header("Accept-Encoding"), QByteArray("identity"));
        }
        const QJsonObject ledger = ControllerAccess::transfer24h(c, h.clock().nowMs());
        QCOMPARE(ledger.value("new").toInteger(), ledgerNew);
        QCOMPARE(ledger.value("failed").toInteger(), ledgerFailed);
    }

    // Objects already verified are bound without a request, only where they are visible; room
    // is made for a download without touching what is kept.
    void binding()
    {
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        const std::shared_ptr<ContentCache> cache = ControllerAccess::contentCache(c);
        const Object x = makeObject("x", 4096, 1), y = makeObject("y", 4096, 2),
                     z = makeObject("z", 4096, 3), onGlass = makeObject("g", 4096, 4),
                     outgoing = makeObject("o", 4096, 5), stray = makeObject("s", 4096, 6);
        for (const Object& object : {x, z, onGlass, outgoing, stray})
            seedCache(*cache, object, object.bytes.size(), true);
        Object huge = makeObject("w", 16, 7);
        const Manifest manifest = manifestOf(
            {QJsonArray{mediaPrimitive("a", {x}), mediaPrimitive("b", {x}, "video"),
                        mediaPrimitive("c", {y, x}), mediaPrimitive("d", {huge})},
             QJsonArray{mediaPrimitive("e", {z})}},
            h.service().url());
        ControllerAccess::setActiveContentKeys(c, {onGlass.sha}, {outgoing.sha});
        ControllerAccess::installCandidate(c, manifest, 0, true);
        const int pending = ControllerAccess::candidate(c)->pendingAssets;

        ControllerAccess::prepareMedia(c, itemOf(manifest, 0, 0));
        QTRY_VERIFY_WITH_TIMEOUT(!boundSource(c, 0, "a").isEmpty(), waitMs);
        const QUrl file = QUrl::fromLocalFile(cache->objectPath(x.sha));
        QCOMPARE(boundSource(c, 0, "a"), file);
        QCOMPARE(boundSource(c, 0, "b"), file);
        QVERIFY(boundSource(c, 0, "c").isEmpty());
        QCOMPARE(ControllerAccess::candidate(c)->pendingAssets, pending - 1);
        QCOMPARE(ControllerAccess::candidate(c)->mediaUrls.value("b"), file);

        // A declared size no volume holds: everything not kept goes, the rest stays, nothing
        // is asked of the origin.
        MediaItem item = itemOf(manifest, 0, 3);
        item.bytes = qint64(1) << 60;
        ControllerAccess::prepareMedia(c, item);
        QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(cache->objectPath(stray.sha)), waitMs);
        QTRY_VERIFY_WITH_TIMEOUT(ControllerAccess::transfersIdle(c), waitMs);
        for (const Object& kept : {x, z, onGlass, outgoing})
            QVERIFY(QFileInfo::exists(cache->objectPath(kept.sha)));
        QVERIFY(h.service().requestsTo(x.path).isEmpty());
        QVERIFY(h.service().requestsTo(huge.path).isEmpty());
    }

    // The gate: readiness per slot and generation, the sorted ids asked for, the three paths of
    // a failure report, and activation only once everything is settled.
    void readinessGate()
    {
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        const Object x = makeObject("x", 1024, 1);
        const Manifest manifest = manifestOf(
            {QJsonArray{mediaPrimitive("zeta", {x}), iframePrimitive("frame"),
                        mediaPrimitive("Alpha", {x}), mediaPrimitive("beta", {x})},
             QJsonArray{mediaPrimitive("other", {x})}},
            h.service().url());

        ControllerAccess::installCandidate(c, manifest, 0, false);
        QSignalSpy awaiting(&c, &PlayerController::candidateAwaitingReadiness);
        for (const QString id : {"zeta", "frame", "Alpha", "beta"}) {
            c.primitiveReady(1, id);      // the other slot
            c.primitiveReady(0, id + "x"); // not on the page
        }
        QVERIFY(h.devLog(QStringLiteral("primitive_ready")).isEmpty());
        for (const QString id : {"zeta", "frame", "Alpha", "beta"})
            c.primitiveReady(0, id);
        const QList<QJsonObject> held = h.devLog(QStringLiteral("activation_held"));
        QCOMPARE(held.size(), 1);
        QCOMPARE(held.at(0).value("reason").toString(), QStringLiteral("downloads_pending"));
        QCOMPARE(held.at(0).value("downloads_pending").toString(), QStringLiteral("1"));
        QCOMPARE(awaiting.size(), 0);

        // A failing iframe of a rotation candidate counts as ready; an image is skipped.
        ControllerAccess::installCandidate(c, manifest, 0, false);
        ControllerAccess::setPendingAssets(c, 0);
        ControllerAccess::candidateMediaPrepared(c);
        QCOMPARE(awaiting.size(), 1);
        QCOMPARE(awaiting.at(0).at(0).toInt(), 0);
        QCOMPARE(awaiting.at(0).at(1).toStringList(),
                 QStringList({"Alpha", "beta", "frame", "zeta"}));
        QCOMPARE(c.status(), QStringLiteral("awaiting_renderer_readiness"));
        QVERIFY(h.timer("candidateDeadlineTimer")->isActive());
        c.primitiveFailed(0, "frame", "frame_blocked");
        c.primitiveFailed(0, "zeta", "decode_failed");
        const QList<QJsonObject> failed = h.devLog(QStringLiteral("primitive_failed"));
        QCOMPARE(failed.size(), 2);
        QCOMPARE(failed.at(0).value("action").toString(), QStringLiteral("external_frame_ready"));
        QCOMPARE(failed.at(1).value("action").toString(), QStringLiteral("skip_primitive"));
        QCOMPARE(ControllerAccess::candidate(c)->requiredPrimitives,
                 QSet<QString>({"frame", "Alpha", "beta"}));
        c.primitiveReady(0, "Alpha");
        QCOMPARE(ControllerAccess::statePhase(c), 2);
        c.primitiveReady(0, "beta");
        QCOMPARE(ControllerAccess::statePhase(c), 3); // handed to activation
        QCOMPARE(h.devLog(QStringLiteral("activation_held")).size(), 1);

        // A new revision skips even an iframe that cannot report itself.
        ControllerAccess::installCandidate(c, manifest, 0, true);
        c.primitiveFailed(0, "frame", "frame_blocked");
        QCOMPARE(h.devLog(QStringLiteral("primitive_failed")).last().value("action").toString(),
                 QStringLiteral("skip_primitive"));

        // A media object that could not be had skips every primitive of the page using it.
        ControllerAccess::skipCandidateMedia(c, x.sha, QStringLiteral("content_download_failed"));
        QCOMPARE(ControllerAccess::candidate(c)->requiredPrimitives, QSet<QString>());

        // A failure on glass: reported, excluded for the revision, recovery armed once.
        ControllerAccess::putPageOnGlass(c, manifest, 0, 0);
        ControllerAccess::installCandidate(c, manifest, 1, false);
        c.primitiveFailed(0, "not-there", "decode_failed");
        QVERIFY(!h.timer("rendererRecoveryTimer")->isActive());
        c.primitiveFailed(0, "zeta", "decode_failed");
        QCOMPARE(c.status(), QStringLiteral("degraded_lkg_active"));
        QCOMPARE(ControllerAccess::failedPages(c), QSet<int>({0}));
        QVERIFY(h.timer("rendererRecoveryTimer")->isActive());
        QVERIFY(!h.timer("pageTimer")->isActive());
        // The candidate on the other slot is untouched by reports for the slot on glass.
        QCOMPARE(ControllerAccess::candidate(c)->requiredPrimitives, QSet<QString>({"other"}));
    }

    void splashHoldsActivation()
    {
        ControllerHarness& h = make({QSizeF(1920, 1080), false, true});
        PlayerController& c = h.controller();
        const Manifest manifest =
            manifestOf({QJsonArray{iframePrimitive("frame")}}, h.service().url());
        ControllerAccess::installCandidate(c, manifest, 0, true);
        ControllerAccess::candidateMediaPrepared(c);
        c.primitiveReady(0, "frame");
        QVERIFY(c.splashVisible());
        QCOMPARE(ControllerAccess::statePhase(c), 2);
        c.finishStartupAnimation();
        h.clock().advance(3000);
        ControllerAccess::evaluateSplash(c);
        QTRY_VERIFY_WITH_TIMEOUT(ControllerAccess::statePhase(c) == 3, waitMs);
    }

    // Random misbehaviour of the origin over many objects, with a fixed seed: each object ends
    // verified in the cache or skipped with a documented code, never more requests than the
    // deviations allow, never a wrong object or a stale partial.
    void hostileOrigin()
    {
        ControllerHarness& h = make();
        PlayerController& c = h.controller();
        const std::shared_ptr<ContentCache> cache = ControllerAccess::contentCache(c);
        QRandomGenerator random(20260302);
        const auto pick = [&](int n) { return int(random.bounded(n)); };
        const QList<std::function<void(Answer&)>> deviations{
            [](Answer& a) { a = Answer::withStatus(500); },
            [](Answer& a) { a = Answer::withStatus(503, {{"Retry-After", "3"}}); },
            [](Answer& a) { a.kind = Answer::Kind::PartialWithoutRange; },
            [](Answer& a) { a.kind = Answer::Kind::IgnoreRange; },
            [](Answer& a) { a.kind = Answer::Kind::RangeNotSatisfiable; },
            [](Answer& a) { a.contentRange = "bytes 0-1/2"; },
            [](Answer& a) { a.lengthDelta = 1; },
            [](Answer& a) { a.lengthDelta = -7; },
            [](Answer& a) { a.corrupt = true; },
            [](Answer& a) { a.gzip = true; },
            [](Answer& a) { a.fault = Service::Fault::DropMidBody; },
            [](Answer& a) { a.fault = Service::Fault::Close; },
            [](Answer& a) {
                a.trickleBytes = 4096;
                a.trickleIntervalMs = 2;
            },
        };

        QList<Object> objects;
        QList<int> deviationCounts;
        QJsonArray primitives;
        for (int i = 0; i < 24; ++i) {
            const Object object =
                makeObject("h" + QByteArray::number(i), 1 + pick(96 * 1024), quint32(100 + i));
            Answers answers;
            for (int d = pick(4); d > 0; --d) {
                Answer answer;
                deviations.at(pick(int(deviations.size())))(answer);
                answers.append(answer);
            }
            h.service().putContent(object.path, object.bytes);
            h.service().scriptContent(object.path, answers);
            if (pick(3) == 0 && object.bytes.size() > 1)
                seedCache(*cache, object, 1 + pick(int(object.bytes.size()) - 1), false);
            objects.append(object);
            deviationCounts.append(int(answers.size()));
            primitives.append(mediaPrimitive(QStringLiteral("m%1").arg(i), {object}));
        }
        const Manifest manifest = manifestOf({primitives}, h.service().url());
        ControllerAccess::installCandidate(c, manifest, 0, true);

        for (int i = 0; i < objects.size(); ++i) {
            const QString id = QStringLiteral("m%1").arg(i);
            const Object& object = objects.at(i);
            ControllerAccess::prepareMedia(c, itemOf(manifest, 0, i));
            QTRY_VERIFY_WITH_TIMEOUT(
                [&] {
                    h.expireSoon("candidateDownloadRetryTimer");
                    return (!boundSource(c, 0, id).isEmpty() || skipped(h, id))
                           && ControllerAccess::transfersIdle(c);
                }(),
                waitMs);
            const QString stored = cache->objectPath(object.sha);
            QString code;
            if (skipped(h, id, &code)) {
                QVERIFY2(code == QLatin1String("content_download_failed")
                             || code == QLatin1String("cache_integrity_mismatch"),
                         qPrintable(code));
                QVERIFY(!QFileInfo::exists(stored));
            } else {
                QCOMPARE(fileDigest(stored), object.sha);
                QVERIFY(!QFileInfo::exists(cache->partialPath(object.sha)));
            }
            QVERIFY2(h.service().contentAttempts(object.path) <= deviationCounts.at(i) + 1,
                     qPrintable(id));
        }
    }
};

QTEST_MAIN(TestMediaTransfers)
#include "tst_mediatransfers.moc"
