#include "tests/support/ControllerHarness.h"

#include "runtime/NativeCredentialStore.h"
#include "runtime/RuntimeWireContract.h"
#include "tests/support/TestFiles.h"
#include "tests/support/TestSupport.h"
#include "tests/support/WebPackageBuilder.h"

#include <QBuffer>
#include <QDir>
#include <QDirIterator>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMetaObject>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>

namespace talvorine::test {

namespace W = RuntimeWire;

// --- SceneStandIn --------------------------------------------------------------------------

SceneStandIn::SceneStandIn(PlayerController& controller)
    : controller_(controller)
{
    connect(&controller, &PlayerController::candidateAwaitingReadiness, this,
            [this](int slot, const QStringList& ids) {
                readinessRequests_.append({slot, ids});
                if (answering_)
                    answer(readinessRequests_.last());
            });
    connect(&controller, &PlayerController::videoRestartRequested, this,
            [this](int slot, const QString& id) { videoRestarts_.append({slot, id}); });
}

void SceneStandIn::setFailure(const QString& primitiveId, const QString& code)
{
    if (code.isEmpty())
        failures_.remove(primitiveId);
    else
        failures_.insert(primitiveId, code);
}

void SceneStandIn::setApplication(const QString& primitiveId)
{
    applications_.insert(primitiveId);
}

void SceneStandIn::answerLatest()
{
    if (!readinessRequests_.isEmpty())
        answer(readinessRequests_.last());
}

void SceneStandIn::answer(ReadinessRequest request)
{
    // Never from inside the controller's own emission: a scene answers on its next frame.
    QMetaObject::invokeMethod(
        this,
        [this, request] {
            for (const QString& id : request.primitiveIds) {
                if (failures_.contains(id)) {
                    controller_.primitiveFailed(request.slot, id, failures_.value(id));
                    continue;
                }
                if (applications_.contains(id))
                    controller_.applicationPrepared(request.slot, id);
                controller_.primitiveReady(request.slot, id);
            }
        },
        Qt::QueuedConnection);
}

// --- content fixtures ----------------------------------------------------------------------

ServedObject ServedObject::make(const QByteArray& name, qint64 size, quint32 seed)
{
    QByteArray bytes((size + 3) / 4 * 4, Qt::Uninitialized);
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32*>(bytes.data()), bytes.size() / 4);
    bytes.truncate(size);
    return of(name, bytes);
}

ServedObject ServedObject::of(const QByteArray& name, const QByteArray& bytes)
{
    return {"/content/v1/media/" + name, bytes, FakeRuntimeService::sha256Hex(bytes)};
}

bool ServedObject::cacheIn(ContentCache& cache, QString* error) const
{
    QByteArray copy = bytes;
    QBuffer source(&copy);
    source.open(QIODevice::ReadOnly);
    return cache.commitVerified(source, sha256, copy.size(), error, nullptr).has_value();
}

ServedObject ServedObject::png(const QByteArray& name, const QImage& image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return of(name, bytes);
}

ServedObject ServedObject::picture(const QByteArray& name, Qt::GlobalColor colour)
{
    QImage image(64, 36, QImage::Format_RGB32);
    image.fill(colour);
    return png(name, image);
}

ServedObject ServedObject::canvasPicture(const QByteArray& name, QRgb colour)
{
    QImage image(1920, 1080, QImage::Format_RGB32);
    image.fill(colour);
    // The noise keeps the file from compressing to almost nothing.
    for (int y = 0; y < 24; ++y) {
        for (int x = 0; x < image.width(); ++x)
            image.setPixel(x, y, qRgb((x * 7 + y * 13) % 256, (x * 11) % 256, (y * 5) % 256));
    }
    return png(name, image);
}

QJsonObject mediaPrimitive(const QString& id, const QList<ServedObject>& items,
                           const QString& kind)
{
    const bool video = kind == QLatin1String("video");
    QJsonArray media;
    for (const ServedObject& object : items)
        media.append(QJsonObject{{"mediaId", QString::fromLatin1(object.path.mid(18))},
                                 {"src", QString::fromLatin1(object.path)},
                                 {"sha256", object.sha256},
                                 {"bytes", double(object.bytes.size())},
                                 {"contentType", video ? "video/mp4" : "image/png"},
                                 {"intrinsicSize", QJsonObject{{"width", 640}, {"height", 360}}}});
    QJsonObject primitive{
        {"id", id}, {"primitive", kind}, {"layer", 0}, {"contentFit", "contain"},
        {"rect", QJsonObject{{"x", 0}, {"y", 0}, {"width", 960}, {"height", 540}}},
        {"grantId", "grant-1"}, {"selector", QJsonObject{{"by", "all"}, {"oneAtATime", false}}},
        {"resolvedMedia", media}};
    if (video) {
        primitive.insert("muted", true);
        primitive.insert("loop", true);
    }
    return primitive;
}

QJsonObject contentDocument(const QList<QJsonArray>& pages, const QString& revision)
{
    QJsonArray pageArray;
    for (qsizetype i = 0; i < pages.size(); ++i)
        pageArray.append(QJsonObject{
            {"contractVersion", "talvorine.canvas/v1"}, {"id", QStringLiteral("p%1").arg(i)},
            {"canvas", QJsonObject{{"width", 1920}, {"height", 1080}, {"viewportFit", "contain"}}},
            {"transition", QJsonObject{{"type", "crossfade"}, {"durationMs", 500}}},
            {"advance", QJsonObject{{"mode", "duration"}, {"afterMs", 10000}}},
            {"primitives", pages.at(i)}});
    return QJsonObject{{"schemaVersion", 2}, {"manifestRevision", revision},
                       {"grantId", "grant-1"}, {"contentGeneration", 1},
                       {"screenId", "screen-1"}, {"screenLabel", "Lobby"},
                       {"playlistRevision", 1}, {"generatedAt", "2026-03-02T10:00:00Z"},
                       {"pages", pageArray}};
}

QJsonObject adslotDocument(const QString& revision,
                           const QList<std::pair<ServedObject, int>>& pictures,
                           const QList<std::tuple<int, QString, QString>>& adslots)
{
    QList<QJsonArray> primitives;
    for (const auto& [picture, dwellMs] : pictures) {
        QJsonObject primitive = mediaPrimitive(QStringLiteral("picture"), {picture});
        primitive["rect"] = QJsonObject{{"x", 0}, {"y", 0}, {"width", 1920}, {"height", 1080}};
        primitives.append(QJsonArray{primitive});
    }
    QJsonObject document = contentDocument(primitives, revision);
    QJsonArray pages = document["pages"].toArray();
    for (qsizetype i = 0; i < pages.size(); ++i) {
        QJsonObject page = pages[i].toObject();
        page["transition"] = QJsonObject{{"type", "crossfade"}, {"durationMs", 0}};
        page["advance"] = QJsonObject{{"mode", "duration"}, {"afterMs", pictures.at(i).second}};
        pages[i] = page;
    }
    for (const auto& [index, id, slot] : adslots)
        pages.insert(index, QJsonObject{{"id", id}, {"type", "adslot"}, {"adslot_id", slot}});
    document["pages"] = pages;
    document["schemaVersion"] = 3;
    document["timezone"] = "UTC";
    return document;
}

QByteArray contentManifestBody(const QList<QJsonArray>& pages, const QString& revision)
{
    return QJsonDocument(contentDocument(pages, revision)).toJson();
}

Manifest contentManifest(const QList<QJsonArray>& pages, const QUrl& origin,
                         const QString& revision)
{
    const ManifestParseResult parsed =
        ManifestParser::parse(contentManifestBody(pages, revision), origin, 0);
    if (const auto* error = std::get_if<ManifestError>(&parsed))
        qFatal("content manifest refused: %s %s", qPrintable(error->code), qPrintable(error->path));
    return std::get<Manifest>(parsed);
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

ServedObject servedPackage(const QByteArray& name, const QByteArray& title)
{
    const QByteArray bytes =
        WebPackageBuilder()
            .file(QStringLiteral("index.html"), "<!doctype html><title>" + title + "</title>")
            .directory(QStringLiteral("assets"))
            .file(QStringLiteral("assets/app.js"), "document.body.dataset.app = '" + title + "';")
            .package();
    return {"/content/v1/packages/" + name, bytes, FakeRuntimeService::sha256Hex(bytes)};
}

QJsonObject applicationPrimitive(const QString& id, const ServedObject& package)
{
    const QJsonObject declared{
        {"version", "talvorine.webapp-package/v1"}, {"url", QString::fromLatin1(package.path)},
        {"bytes", double(package.bytes.size())}, {"sha256", package.sha256},
        {"entrypoint", "index.html"},
        {"contentType", "application/vnd.talvorine.webapp-package+tar+gzip"}};
    return {{"id", id}, {"primitive", "application"}, {"layer", 0}, {"contentFit", "fill"},
            {"rect", QJsonObject{{"x", 960}, {"y", 0}, {"width", 960}, {"height", 540}}},
            {"capabilityHandle", QString(32, 'c')}, {"capabilityExpiresAt", "2026-12-31T23:59:00Z"},
            {"applicationId", "app.menu"}, {"releaseId", "release-1"},
            {"launchUrl", "/runtime/v1/apps/menu/launch"},
            {"origin", "https://menu.apps.talvorine.net"}, {"protocol", "1"},
            {"grantId", "grant-1"}, {"package", declared}};
}

bool prepareBoundState(const QString& stateDirectory)
{
    const QDir directory(stateDirectory);
    return NativePlayerIdentityStore(directory.filePath(QStringLiteral("player-identity"))).open(true)
        && PersistentState(directory.filePath(QStringLiteral("playback-state"))).markEnrolled();
}

// --- ControllerHarness ---------------------------------------------------------------------

ControllerHarness::ControllerHarness(Options options)
    : service_(std::make_unique<FakeRuntimeService>(options.transport))
    , clock_(std::make_shared<ManualClock>())
{
    if (!directory_.isValid()) {
        setupError_ = QStringLiteral("temporary state directory: ") + directory_.errorString();
        return;
    }
    if (!service_->listening()) {
        setupError_ = QStringLiteral("fake runtime service: ") + service_->setupError();
        return;
    }
    if (options.transport != FakeRuntimeService::Transport::Http) {
        untrustedTls_ = QSslConfiguration::defaultConfiguration();
        service_->trustInProcess();
    }
    if (!options.clock)
        service_->setClock([clock = clock_] { return clock->serviceNowMs(); });
    service_->setStrict(true);
    service_->requireProof(W::pairingStartRoute, QStringLiteral("pairing.start"));
    service_->requireProof(W::pairingCompleteRoute, QStringLiteral("pairing.complete"));
    service_->requireProof(W::sessionMintRoute, QStringLiteral("session.mint"));
    service_->requireProof(W::identityResetRoute, QStringLiteral("identity.reset"));
    for (const char* route : {W::eventsRoute, W::manifestRoute, W::manifestV2Route, W::reportsRoute,
                              W::storageRoute, W::observationRoute, W::screenLabelRoute,
                              W::screenshotRoute})
        service_->requireCredential(route, W::sessionScheme);
    for (const char* route : {W::pairingEventsRoute, W::pairingCompleteRoute})
        service_->requireCredential(route, W::pairingScheme);
    buildController(options, directory_.path());
}

ControllerHarness::~ControllerHarness()
{
    destroyController();
    service_.reset();
    if (untrustedTls_)
        QSslConfiguration::setDefaultConfiguration(*untrustedTls_);
}

void ControllerHarness::buildController(const Options& options, const QString& stateDirectory)
{
    const std::shared_ptr<const PlayerClock> clock = options.clock ? options.clock : clock_;
    QUrl origin = service_->url();
    origin.setUserInfo(options.userInfo);
    controller_ = std::make_unique<PlayerController>(origin, stateDirectory,
                                                     options.frame, options.gpuVideo, nullptr,
                                                     options.splash, clock);
    transport().setLocalClock([clock] { return clock->nowMs(); });
    transport().setMonotonicClock([clock] { return clock->monotonicMs(); });
    scene_ = std::make_unique<SceneStandIn>(*controller_);
}

void ControllerHarness::verifyNoSurprises() const
{
    const QStringList found = surprises();
    QVERIFY2(found.isEmpty(), qPrintable(found.join(QLatin1Char('\n'))));
}

void ControllerHarness::release(std::unique_ptr<ControllerHarness>& harness)
{
    if (!harness)
        return;
    const QStringList found = harness->surprises();
    harness.reset();
    QVERIFY2(found.isEmpty(), qPrintable(found.join(QLatin1Char('\n'))));
}

void ControllerHarness::destroyController()
{
    scene_.reset();
    controller_.reset();
}

void ControllerHarness::rebuildController(Options options)
{
    rebuildControllerOn(directory_.path(), options);
}

void ControllerHarness::rebuildControllerOn(const QString& stateDirectory, Options options)
{
    destroyController();
    buildController(options, stateDirectory);
}

void ControllerHarness::rebuildAfterKill(Options options)
{
    const QDir root(directory_.path());
    const auto files = [&root] {
        QHash<QString, std::pair<QByteArray, int>> found;
        for (QDirIterator it(root.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
             it.hasNext();) {
            const QString path = it.next();
            found.insert(root.relativeFilePath(path), {testfiles::read(path), testfiles::modeOf(path)});
        }
        return found;
    };
    const auto atKill = files();
    ControllerAccess::setOnline(*controller_, false);
    destroyController();
    const auto after = files();
    for (const QString& path : after.keys()) {
        if (!atKill.contains(path))
            QFile::remove(root.filePath(path));
    }
    for (const auto& [path, kept] : atKill.asKeyValueRange()) {
        if (!after.contains(path) || after.value(path).first != kept.first)
            testfiles::write(root.filePath(path), kept.first, mode_t(kept.second));
    }
    buildController(options, directory_.path());
}

RuntimeTransport& ControllerHarness::transport()
{
    return *controller_->findChild<RuntimeTransport*>(QString(), Qt::FindDirectChildrenOnly);
}

QTimer* ControllerHarness::timer(QAnyStringView name) const
{
    return controller_ ? controller_->timerNamed(name) : nullptr;
}

bool ControllerHarness::expireSoon(QAnyStringView name, int ms)
{
    QTimer* found = timer(name);
    if (!found || !found->isActive())
        return false;
    found->start(ms);
    return true;
}

QList<QJsonObject> ControllerHarness::devLog() const
{
    return readJsonLines(statePath(QStringLiteral("dev-log.jsonl")));
}

QList<QJsonObject> ControllerHarness::devLog(const QString& event) const
{
    return recordsOf(devLog(), event);
}

FakeRuntimeService::Reply ControllerHarness::sessionGranted(bool adSlots, QJsonArray capabilities)
{
    if (adSlots)
        capabilities.append("adslot-v1");
    return FakeRuntimeService::Reply::json(
        200, QJsonObject{
                 {"session", "tvs_harness-session_1"},
                 {"expires_at", "2099-01-01T00:00:00.000Z"},
                 {"capabilities", capabilities},
                 {"manifest_versions", adSlots ? QJsonArray{2, 3} : QJsonArray{3}},
                 {"event_cursor", "cur_1"}});
}

void ControllerHarness::answerSessionRoutes(bool adSlots)
{
    const auto empty = [](int status) {
        FakeRuntimeService::Reply reply;
        reply.status = status;
        return reply;
    };
    const QList<std::tuple<QByteArray, QByteArray, FakeRuntimeService::Reply>> routes{
        {"POST", W::sessionMintRoute, sessionGranted(adSlots)},
        {"GET", W::manifestRoute, empty(304)},
        {"GET", W::manifestV2Route, empty(304)},
        {"GET", W::eventsRoute, FakeRuntimeService::Reply::eventStream()},
        {"PUT", W::observationRoute, empty(204)},
    };
    for (const auto& [method, path, reply] : routes) {
        if (!service_->scripted(method, path))
            service_->script(method, path, {reply});
    }
}

bool ControllerHarness::sessionSettled(const std::function<void()>& begin)
{
    RuntimeTransport& t = transport();
    QSignalSpy connected(&t, &RuntimeTransport::eventConnectionChanged);
    QSignalSpy modified(&t, &RuntimeTransport::manifestModified);
    QSignalSpy notModified(&t, &RuntimeTransport::manifestNotModified);
    QSignalSpy failed(&t, &RuntimeTransport::manifestFailed);
    begin();
    return QTest::qWaitFor(
        [&] {
            return t.hasRuntimeSession() && connected.contains(QVariantList{true})
                && modified.size() + notModified.size() + failed.size() > 0;
        },
        waitMs);
}

bool ControllerHarness::mintSession(bool adSlots)
{
    if (!NativePlayerIdentityStore(statePath(QStringLiteral("player-identity"))).open(true))
        return false;
    answerSessionRoutes(adSlots);
    return sessionSettled(
        [this] { transport().createDeviceSession(QStringLiteral("harness-mint-0001")); });
}

bool ControllerHarness::startBound()
{
    if (!prepareBoundState(directory_.path()))
        return false;
    answerSessionRoutes();
    return sessionSettled([this] {
        controller_->start();
        expireSoon(u"sessionRetryTimer");
    });
}

bool ControllerHarness::untilActivated(const std::function<void()>& begin)
{
    QSignalSpy activated(controller_.get(), &PlayerController::activeChanged);
    scene_->setAnswering(true);
    begin();
    const bool onGlass = QTest::qWaitFor([&] { return !activated.isEmpty(); }, waitMs);
    scene_->setAnswering(false);
    return onGlass;
}

bool ControllerHarness::activate(const Manifest& manifest, int page, bool revisionChange)
{
    if (!untilActivated([&] {
            ControllerAccess::preparePage(*controller_, manifest, page, revisionChange);
        }))
        return false;
    // A first page on glass has the other pages looked for in the caches behind it; until that
    // look ends none of them is turned to, however soon a test ends the dwell.
    const CacheIoQueue& io = ControllerAccess::contentIo(*controller_);
    return QTest::qWaitFor([&io] { return !io.isRunning() && io.waitingCount() == 0; }, waitMs);
}

bool ControllerHarness::showCachedPage()
{
    const ServedObject picture = ServedObject::make("on-glass.png", 256, 77);
    if (!picture.cacheIn(*ControllerAccess::contentCache(*controller_)))
        return false;
    // With a session, the picture's start is reported; the service takes it.
    if (!service_->scripted("POST", W::reportsRoute))
        service_->script("POST", W::reportsRoute, {FakeRuntimeService::Reply::json(200, QJsonObject())});
    return activate(contentManifest({QJsonArray{mediaPrimitive("on-glass", {picture})}},
                                    service_->url()),
                    0, false);
}

Manifest imagePagesManifest(const QString& revision, const QList<QByteArray>& pages,
                            const std::function<std::pair<QString, qint64>(char)>& object)
{
    QJsonArray pageArray;
    for (qsizetype i = 0; i < pages.size(); ++i) {
        QJsonArray items;
        for (const char c : pages.at(i)) {
            const auto [sha256, bytes] = object(c);
            items.append(QJsonObject{{"mediaId", QStringLiteral("m") + QLatin1Char(c)},
                                     {"src", "/content/media/m"}, {"sha256", sha256},
                                     {"bytes", double(bytes)}, {"contentType", "image/png"},
                                     {"intrinsicSize", QJsonObject{{"width", 16}, {"height", 9}}}});
        }
        const QJsonObject image{{"id", "img"}, {"primitive", "image"}, {"layer", 0},
                                {"rect", QJsonObject{{"x", 0}, {"y", 0}, {"width", 960}, {"height", 540}}},
                                {"contentFit", "contain"}, {"grantId", "grant-1"},
                                {"selector", QJsonObject{{"by", "all"}, {"oneAtATime", false}}},
                                {"resolvedMedia", items}};
        pageArray.append(QJsonObject{
            {"contractVersion", "talvorine.canvas/v1"}, {"id", QStringLiteral("p%1").arg(i)},
            {"canvas", QJsonObject{{"width", 1920}, {"height", 1080}, {"viewportFit", "contain"}}},
            {"transition", QJsonObject{{"type", "crossfade"}, {"durationMs", 800}}},
            {"advance", QJsonObject{{"mode", "duration"}, {"afterMs", 10000}}},
            {"primitives", QJsonArray{image}}});
    }
    const QJsonObject document{{"schemaVersion", 2}, {"manifestRevision", revision},
                               {"grantId", "grant-1"}, {"contentGeneration", 7},
                               {"screenId", "screen-1"}, {"screenLabel", "Lobby"}, {"playlistRevision", 3},
                               {"generatedAt", "2026-03-02T08:00:00Z"}, {"pages", pageArray}};
    const ManifestParseResult parsed =
        ManifestParser::parse(QJsonDocument(document).toJson(), QUrl("http://127.0.0.1/"), 0);
    if (!std::holds_alternative<Manifest>(parsed))
        qFatal("test manifest refused: %s", qPrintable(std::get<ManifestError>(parsed).code));
    return std::get<Manifest>(parsed);
}

} // namespace talvorine::test
