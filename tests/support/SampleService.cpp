#include "tests/support/SampleService.h"

#include "operator/OperatorPinStore.h"
#include "runtime/RuntimeWireContract.h"
#include "tests/support/FakeAdSlots.h"
#include "tests/support/FakeKvStore.h"
#include "tests/support/GeneratedMedia.h"
#include "tests/support/WebPackageBuilder.h"

#include <QBuffer>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QFont>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalSocket>
#include <QPainter>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QUrlQuery>

#include <functional>

namespace talvorine::test {

namespace W = RuntimeWire;
using Reply = FakeRuntimeService::Reply;
using Request = FakeRuntimeService::Request;

namespace {

constexpr int canvasWidth = 1920;
constexpr int canvasHeight = 1080;
constexpr int toneMs = 20000;
constexpr int transitionMs = 800;
constexpr char mediaPrefix[] = "/content/v1/media/";
constexpr char credentialFile[] = "device-credential";
// Where the player looks for the operator PIN record in its state directory.
constexpr char pinRecordFile[] = "operator-pin";
constexpr char packagesPrefix[] = "/content/v1/packages/";
constexpr char webPackageType[] = "application/vnd.talvorine.webapp-package+tar+gzip";
constexpr char kvPrefix[] = "/runtime/v1/apps/";
constexpr char applicationId[] = "lobby-clock";
// The handle the manifest hands the application; the key-value store answers only to it.
constexpr char applicationCapability[] = "cap_sample_lobby_clock_0123456789abcdef";
// A scenario's application that never says it is ready: the tests' stub application told so.
constexpr char neverReadyId[] = "never-ready";
constexpr char neverReadyCapability[] = "cap_sample_never_ready_0123456789abcdef";
// Where a scenario's portal sends every request in its redirecting form.
constexpr char portalLoginPath[] = "/portal/login";
// Bodies above this go out in slices as the connection takes them, not in one write.
constexpr qint64 sliceBodiesAbove = 8 * 1024 * 1024;
// A network's login page, as a hotel's or an office's guest network answers in the service's place.
constexpr char portalPage[] =
    "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Guest network</title></head><body>"
    "<h1>Welcome to the guest network</h1><p>Sign in to continue.</p><form method=\"post\" "
    "action=\"/portal/login\"><input name=\"user\"><input name=\"password\" type=\"password\">"
    "<button>Sign in</button></form></body></html>";

QString isoNow(qint64 offsetMs = 0)
{
    return QDateTime::currentDateTimeUtc().addMSecs(offsetMs).toString(Qt::ISODateWithMs);
}

QString randomText(int length, QStringView alphabet)
{
    QString text;
    for (int i = 0; i < length; ++i)
        text += alphabet.at(QRandomGenerator::global()->bounded(int(alphabet.size())));
    return text;
}

QString randomToken(int length)
{
    return randomText(length, u"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789");
}

// A full-canvas colour field with the page's title in large letters.
QByteArray drawPage(const QString& title, QRgb colour)
{
    QImage image(canvasWidth, canvasHeight, QImage::Format_RGB32);
    image.fill(colour);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.setPen(qGray(colour) > 150 ? Qt::black : Qt::white);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(150);
    font.setBold(true);
    painter.setFont(font);
    painter.drawText(image.rect(), Qt::AlignCenter | Qt::TextWordWrap, title);
    painter.end();
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return png;
}

QJsonObject fullCanvas()
{
    return {{"x", 0}, {"y", 0}, {"width", canvasWidth}, {"height", canvasHeight}};
}

QJsonObject mediaPrimitive(const QString& id, const QString& kind, const QJsonArray& items,
                           bool oneAtATime)
{
    return {{"id", id},
            {"primitive", kind},
            {"layer", 0},
            {"rect", fullCanvas()},
            {"contentFit", "cover"},
            {"grantId", "grant-sample"},
            {"selector", QJsonObject{{"by", "all"}, {"oneAtATime", oneAtATime}}},
            {"resolvedMedia", items}};
}

QJsonObject page(const QString& id, const QString& transition, const QJsonObject& advance,
                 const QJsonObject& primitive)
{
    return {{"contractVersion", "talvorine.canvas/v1"},
            {"id", id},
            {"canvas", QJsonObject{{"width", canvasWidth},
                                   {"height", canvasHeight},
                                   {"viewportFit", "cover"}}},
            {"transition", QJsonObject{{"type", transition}, {"durationMs", transitionMs}}},
            {"advance", advance},
            {"primitives", QJsonArray{primitive}}};
}

QJsonObject shownFor(int ms)
{
    return {{"mode", "duration"}, {"afterMs", ms}};
}

// The page turns when the application asks; maxMs bounds an application that never does.
QJsonObject untilApplicationAdvances(int showMs)
{
    return {{"mode", "application"}, {"maxMs", 2 * showMs + 10000}};
}

// The page turns when its media has played; maxMs bounds a medium that never ends.
QJsonObject untilMediaEnd(qint64 maxMs)
{
    return {{"mode", "media_end"}, {"maxMs", double(std::max<qint64>(maxMs, 1000))}};
}

// An uploaded web application filling the canvas, its package given by its manifest entry.
QJsonObject applicationPrimitive(const QString& id, const QString& application, const QString& capability,
                                 const QJsonObject& package)
{
    return {{"id", id}, {"primitive", "application"}, {"layer", 0},
            {"rect", fullCanvas()}, {"contentFit", "fill"},
            {"capabilityHandle", capability},
            {"capabilityExpiresAt", QDateTime::currentDateTimeUtc().addDays(365).toString(Qt::ISODate)},
            {"applicationId", application}, {"releaseId", "release-1"},
            {"launchUrl", QStringLiteral("/runtime/v1/apps/%1/launch").arg(application)},
            {"origin", QStringLiteral("https://%1.apps.talvorine.net").arg(application)}, {"protocol", "1"},
            {"grantId", "grant-sample"}, {"package", package}};
}

// "HH:MM" of a minute of the day.
QString clockText(int minute)
{
    minute %= 24 * 60;
    return QStringLiteral("%1:%2").arg(minute / 60, 2, 10, QLatin1Char('0')).arg(minute % 60, 2, 10,
                                                                                  QLatin1Char('0'));
}

// Visible in every even minute of the next half hour (the schedule holds sixteen windows).
QJsonObject alternateMinutes(qint64 nowMs)
{
    const QDateTime now = QDateTime::fromMSecsSinceEpoch(nowMs, Qt::UTC);
    int minute = now.time().hour() * 60 + now.time().minute();
    minute += minute % 2;
    const QJsonArray everyDay{"mon", "tue", "wed", "thu", "fri", "sat", "sun"};
    QJsonArray windows;
    for (int i = 0; i < 16; ++i, minute += 2)
        windows.append(QJsonObject{
            {"days", everyDay}, {"start", clockText(minute)}, {"end", clockText(minute + 1)}});
    return {{"enabled", true}, {"windows", windows}};
}

QJsonObject jsonOf(const QByteArray& body)
{
    return QJsonDocument::fromJson(body).object();
}

} // namespace

QList<SamplePage> SampleService::pages(int revision)
{
    const SamplePage welcome{"welcome", {{"welcome-1", "Welcome", qRgb(0x1e, 0x60, 0xc8)}}};
    const SamplePage welcomeBack{"welcome", {{"welcome-2", "Welcome back", qRgb(0xf0, 0x82, 0x14)}}};
    const SamplePage news{"news", {{"news", "News", qRgb(0x14, 0x8c, 0x82)}}};
    const SamplePage gallery{"gallery",
                             {{"gallery-1", "Gallery 1", qRgb(0xc8, 0x28, 0x28)},
                              {"gallery-2", "Gallery 2", qRgb(0x28, 0x96, 0x3c)},
                              {"gallery-3", "Gallery 3", qRgb(0xe6, 0xb4, 0x1e)}}};
    const SamplePage clip{"clip", {}};
    const SamplePage minutes{"minutes", {{"minutes", "Even minutes", qRgb(0x82, 0x32, 0xa0)}}};
    const SamplePage lobby{"lobby", {}};
    const SamplePage ad{"ad", {}};
    if (revision == 2)
        return {welcomeBack, ad, news, lobby, gallery, clip, minutes};
    return {welcome, ad, lobby, gallery, clip, minutes};
}

bool SampleService::provisionPin(const QString& stateDirectory, const QString& pin, QString* error)
{
    if (pin.size() != OperatorPinStore::panelPinLength || !OperatorPinStore::validPinFormat(pin)) {
        *error = QStringLiteral("the PIN must be exactly %1 digits (0-9), as the panel enters them")
                     .arg(OperatorPinStore::panelPinLength);
        return false;
    }
    const QString path = QDir(stateDirectory).filePath(QLatin1String(pinRecordFile));
    // A state directory made here is the player's to use: owner-only, as it keeps credentials.
    const bool made = !QFileInfo::exists(stateDirectory);
    if (!QDir().mkpath(stateDirectory)
        || (made && !QFile::setPermissions(stateDirectory, QFile::ReadOwner | QFile::WriteOwner
                                                               | QFile::ExeOwner))
        || !OperatorPinStore(path).setPin(pin)) {
        *error = QStringLiteral("cannot write the PIN record %1").arg(path);
        return false;
    }
    return true;
}

SampleService::SampleService(SampleServiceOptions options, QObject* parent)
    : QObject(parent)
    , options_(std::move(options))
{
    claimTimer_.setSingleShot(true);
    revisionTimer_.setSingleShot(true);
    connect(&claimTimer_, &QTimer::timeout, this, &SampleService::claimWhenListening);
    connect(&screenshotTimer_, &QTimer::timeout, this, &SampleService::requestScreenshot);
    connect(&revisionTimer_, &QTimer::timeout, this, [this] { publish(2); });
    connect(&service_, &FakeRuntimeService::requestReceived, this, &SampleService::onRequest);
    connect(&opLogServer_, &QLocalServer::newConnection, this, &SampleService::collectOpLog);
}

SampleService::~SampleService() = default;

bool SampleService::openOutput(QString* error)
{
    const QDir output(options_.outputDirectory);
    if (!output.mkpath(QStringLiteral("screenshots"))
        || !output.mkpath(QStringLiteral("service-state/media"))) {
        *error = QStringLiteral("cannot create the output folder %1").arg(output.path());
        return false;
    }
    journal_.setFileName(output.filePath(QStringLiteral("service.jsonl")));
    adEvents_.setFileName(output.filePath(QStringLiteral("ad-events.jsonl")));
    for (QFile* file : {&journal_, &adEvents_}) {
        if (!file->open(QIODevice::WriteOnly | QIODevice::Append)) {
            *error = file->errorString();
            return false;
        }
    }
    if (!options_.opLogSocket.isEmpty()) {
        opLog_.setFileName(output.filePath(QStringLiteral("player-oplog.jsonl")));
        QLocalServer::removeServer(options_.opLogSocket);
        if (!opLog_.open(QIODevice::WriteOnly | QIODevice::Append)
            || !opLogServer_.listen(options_.opLogSocket)) {
            *error = QStringLiteral("cannot collect the operation log at %1")
                         .arg(options_.opLogSocket);
            return false;
        }
    }
    return true;
}

bool SampleService::startOpLogOnly(QString* error)
{
    service_.setRefusing(true);
    return openOutput(error);
}

bool SampleService::start(QString* error)
{
    if (!options_.scenarioFile.isEmpty()) {
        scenario_ = SampleScenario::load(options_.scenarioFile, error);
        if (!scenario_)
            return false;
        options_.pageDwellMs = scenario_->dwellMs;
    }
    if (!openOutput(error))
        return false;
    const QDir output(options_.outputDirectory);
    if (!service_.listening()) {
        *error = service_.setupError();
        return false;
    }
    if (!makeContent(error))
        return false;

    // A run of hours must not grow: only recent requests are kept.
    service_.setRecordLimit(200);
    service_.setServerClockOffsetMs(options_.clockOffsetMs);
    service_.requireProof(W::pairingStartRoute, QStringLiteral("pairing.start"));
    service_.requireProof(W::pairingCompleteRoute, QStringLiteral("pairing.complete"));
    service_.requireProof(W::sessionMintRoute, QStringLiteral("session.mint"));

    QFile known(output.filePath(QStringLiteral("service-state/") + credentialFile));
    paired_ = known.open(QIODevice::ReadOnly) && !known.readAll().trimmed().isEmpty();

    const auto empty = [](int status) {
        Reply reply;
        reply.status = status;
        return reply;
    };
    service_.respond("POST", W::pairingStartRoute, [](const Request&) {
        return Reply::json(
            200, QJsonObject{{"code", randomText(6, u"23456789ABCDEFGHJKMNPQRSTUVWXYZ")},
                             {"pairing_credential", QStringLiteral("tvp_") + randomToken(43)},
                             {"expires_at", isoNow(10 * 60 * 1000)}});
    });
    service_.respond("GET", W::pairingEventsRoute, [](const Request&) { return Reply::eventStream(); });
    service_.respond("POST", W::pairingCompleteRoute, [output](const Request&) {
        const QString credential = QStringLiteral("tvd_%1_%2").arg(randomToken(22), randomToken(43));
        QSaveFile file(output.filePath(QStringLiteral("service-state/") + credentialFile));
        if (file.open(QIODevice::WriteOnly)) {
            file.write(credential.toLatin1());
            file.commit();
        }
        return Reply::json(200, QJsonObject{{"screen_label", "Sample screen"},
                                            {"device_credential", credential}});
    });
    service_.kvStore().grant(applicationCapability);
    service_.respond("POST", W::sessionMintRoute, [this](const Request&) {
        if (!paired_)
            return Reply::json(404, QJsonObject{{"code", "device_unknown"}});
        return Reply::json(200, QJsonObject{{"session", QStringLiteral("tvs_sample_") + randomToken(24)},
                                            {"expires_at", isoNow(60 * 60 * 1000)},
                                            {"capabilities", QJsonArray{"kv.read", "kv.write", "adslot-v1"}},
                                            {"manifest_versions", QJsonArray{2, 3}},
                                            {"event_cursor", QStringLiteral("cur_%1").arg(eventId_)}});
    });
    service_.respond("GET", W::manifestRoute, [this](const Request& r) { return manifestReply(r); });
    service_.respond("GET", W::manifestV2Route, [this](const Request& r) { return manifestReply(r); });
    fillNextArrival();
    service_.respond("GET", W::eventsRoute, [this](const Request& r) {
        Reply reply = Reply::eventStream();
        if (announcementMissed(r))
            reply.body = announcement_;
        return reply;
    });
    service_.respond("POST", W::reportsRoute, [](const Request&) { return Reply::json(200, QJsonObject()); });
    service_.respond("PUT", W::storageRoute, [](const Request&) { return Reply::json(200, QJsonObject()); });
    service_.respond("PUT", W::observationRoute, [empty](const Request&) { return empty(204); });
    service_.respond("PUT", W::screenshotRoute, [empty](const Request&) { return empty(204); });

    publish(1);
    if (scenario_)
        startScenario();
    QSaveFile originFile(output.filePath(QStringLiteral("service-origin")));
    if (!originFile.open(QIODevice::WriteOnly)
        || originFile.write(origin().toString().toLatin1() + '\n') < 0
        || !originFile.commit()) {
        *error = originFile.errorString();
        return false;
    }
    journal(QStringLiteral("listening"), {{"origin", origin().toString()}, {"paired", paired_}});
    return true;
}

bool SampleService::makeContent(QString* error)
{
    // Encoded media differs from one encoding to the next, so what was made once is kept with
    // the service's state: a player on a kept state directory then finds it in its cache.
    const QDir content(QDir(options_.outputDirectory).filePath(QStringLiteral("service-state/media")));
    const auto add = [this](const QString& name, QByteArray bytes, const QString& type,
                            const QJsonObject& extra) {
        const QByteArray path = QByteArray(mediaPrefix) + name.toLatin1();
        QJsonObject entry{{"mediaId", name},
                          {"src", QString::fromLatin1(path)},
                          {"sha256", FakeRuntimeService::sha256Hex(bytes)},
                          {"bytes", double(bytes.size())},
                          {"contentType", type}};
        for (auto it = extra.begin(); it != extra.end(); ++it)
            entry.insert(it.key(), it.value());
        media_.insert(name, entry);
        service_.putContent(path, std::move(bytes));
    };
    if (scenario_)
        return makeScenarioContent(add, error);
    const QJsonObject canvasSize{
        {"intrinsicSize", QJsonObject{{"width", canvasWidth}, {"height", canvasHeight}}}};
    for (const int revision : {1, 2}) {
        for (const SamplePage& sample : pages(revision)) {
            for (const SampleImage& image : sample.images) {
                if (!media_.contains(image.name))
                    add(image.name, drawPage(image.title, image.colour),
                        QStringLiteral("image/png"), canvasSize);
            }
        }
    }

    QString why;
    const auto made = [error, &why](const QString& path, const std::function<bool()>& make) {
        QFile file(path);
        if ((file.size() == 0 && !make()) || !file.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("cannot make %1: %2").arg(path, why);
            return QByteArray();
        }
        return file.readAll();
    };
    const QString clipPath = content.filePath(QStringLiteral("bars.webm"));
    const QByteArray clip =
        made(clipPath, [&] { return makeBarsClip(clipPath, 640, 360, options_.clipFrames, 30, &why); });
    if (clip.isEmpty())
        return false;
    clipMs_ = options_.clipFrames * 1000 / 30;
    const QString adClipPath = content.filePath(QStringLiteral("ad.webm"));
    adClip_ = made(adClipPath, [&] {
        return makeAdClip(adClipPath, 640, 360, options_.adClipFrames, &why);
    });
    if (adClip_.isEmpty())
        return false;
    adClipMs_ = options_.adClipFrames * 1000 / 30;
    adImage_ = drawPage(QStringLiteral("Your advertisement here"), qRgb(0xf5, 0xf0, 0xe1));
    add(QStringLiteral("bars.webm"), clip, QStringLiteral("video/webm"),
        {{"intrinsicSize", QJsonObject{{"width", 640}, {"height", 360}}}});

    const QString tonePath = content.filePath(QStringLiteral("tone.wav"));
    const QByteArray tone = made(tonePath, [&] { return makeToneWav(tonePath, toneMs, &why); });
    if (tone.isEmpty())
        return false;
    add(QStringLiteral("tone.wav"), tone, QStringLiteral("audio/wav"), {});
    return makeApplicationPackage(error);
}

// The web application is packaged here from the files built into this program, with the same
// builder the tests use, its showing time set from the options.
bool SampleService::makeApplicationPackage(QString* error)
{
    WebPackageBuilder builder;
    for (const char* name : {"index.html", "style.css", "app.js"}) {
        QFile file(QStringLiteral(":/sample-application/") + QLatin1String(name));
        if (!file.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("cannot read the sample application's %1").arg(name);
            return false;
        }
        QByteArray bytes = file.readAll();
        if (qstrcmp(name, "app.js") == 0) {
            const QByteArray shownFor = "const SHOW_FOR_MS = 20000;";
            if (!bytes.contains(shownFor)) {
                *error = QStringLiteral("the sample application's showing time is not where expected");
                return false;
            }
            bytes.replace(shownFor, "const SHOW_FOR_MS = "
                                        + QByteArray::number(options_.applicationShowMs) + ';');
        }
        builder.file(QLatin1String(name), bytes);
    }
    package_ = servePackage(QLatin1String(applicationId), builder.package());
    return true;
}

// The tests' stub application, told never to send "ready": it answers the handshake and takes its
// context, as an application waiting on data that never comes.
bool SampleService::makeNeverReadyPackage(QString* error)
{
    WebPackageBuilder builder;
    builder.file(QStringLiteral("scenario.js"), "window.stubScenario = {ready: false};\n");
    for (const char* name : {"index.html", "stub.js"}) {
        QFile file(QStringLiteral(":/stub-application/") + QLatin1String(name));
        if (!file.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("cannot read the stub application's %1").arg(name);
            return false;
        }
        builder.file(QLatin1String(name), file.readAll());
    }
    neverReadyPackage_ = servePackage(QLatin1String(neverReadyId), builder.package());
    return true;
}

// Serves a web package under the application's name and gives its manifest entry.
QJsonObject SampleService::servePackage(const QString& application, const QByteArray& bytes)
{
    const QByteArray path = packagesPrefix + application.toLatin1();
    service_.putContent(path, bytes, webPackageType);
    return {{"version", "talvorine.webapp-package/v1"},
            {"url", QString::fromLatin1(path)},
            {"bytes", double(bytes.size())},
            {"sha256", FakeRuntimeService::sha256Hex(bytes)},
            {"entrypoint", "index.html"},
            {"contentType", QLatin1String(webPackageType)}};
}

QByteArray SampleService::manifest(int revision, bool withAds) const
{
    const int dwell = options_.pageDwellMs;
    const int imageDwell = std::max(1000, dwell / 2);
    QJsonArray pageList = scenario_ ? scenarioPages(revision, withAds) : QJsonArray();
    for (const SamplePage& sample : scenario_ ? QList<SamplePage>() : pages(revision)) {
        QJsonArray items;
        for (const SampleImage& image : sample.images)
            items.append(media_.value(image.name));
        if (sample.id == QLatin1String("ad")) {
            if (withAds)
                pageList.append(QJsonObject{{"id", sample.id}, {"type", "adslot"}, {"adslot_id", "lobby-slot"}});
        } else if (sample.id == QLatin1String("lobby")) {
            pageList.append(page(sample.id, "crossfade", untilApplicationAdvances(options_.applicationShowMs),
                                 applicationPrimitive("lobby-clock", applicationId, applicationCapability, package_)));
        } else if (sample.id == QLatin1String("clip")) {
            QJsonObject clip = mediaPrimitive("clip-video", "video", {media_.value("bars.webm")}, true);
            clip.insert("muted", true);
            clip.insert("loop", false);
            pageList.append(page(sample.id, "crossfade", untilMediaEnd(3 * clipMs_), clip));
        } else if (sample.id == QLatin1String("gallery")) {
            // One image after the other in place, each on its own dwell, then the next page.
            QJsonObject gallery = mediaPrimitive("gallery-images", "image", items, false);
            gallery.insert("dwellMs", imageDwell);
            pageList.append(page(sample.id, "swipe-left",
                                 untilMediaEnd(2 * items.size() * imageDwell), gallery));
        } else {
            const bool swipe = sample.id == QLatin1String("news") || sample.id == QLatin1String("minutes");
            QJsonObject shown = page(sample.id, swipe ? "swipe-left" : "crossfade", shownFor(dwell),
                                     mediaPrimitive(sample.id + "-image", "image", items, false));
            if (sample.id == QLatin1String("minutes"))
                shown.insert("visibility", alternateMinutes(QDateTime::currentMSecsSinceEpoch()));
            pageList.append(shown);
        }
    }

    QJsonObject track = media_.value("tone.wav");
    track.insert("id", "tone");
    track.insert("durationMs", double(toneMs));
    QJsonObject document{
        {"schemaVersion", withAds ? 3 : 2},
        {"manifestRevision", QStringLiteral("man_sample-rev-%1").arg(revision)},
        {"grantId", "grant-sample"},
        {"contentGeneration", revision},
        {"screenId", "screen-sample"},
        {"screenLabel", "Sample screen"},
        {"playlistRevision", revision},
        {"playlistId", "sample"},
        {"playlistName", "Sample content"},
        {"generatedAt", isoNow()},
        {"timezone", "UTC"},
        {"pages", pageList},
        {"audio", QJsonObject{{"loop", true}, {"volume", 0.6}, {"tracks", QJsonArray{track}}}}};
    if (scenario_)
        document.remove(QStringLiteral("audio"));
    return QJsonDocument(document).toJson(QJsonDocument::Compact);
}

void SampleService::publish(int revision)
{
    for (const bool withAds : {true, false}) {
        Document& document = withAds ? current_.withAds : current_.withoutAds;
        document.body = manifest(revision, withAds);
        document.etag = '"' + FakeRuntimeService::sha256Hex(document.body).toLatin1() + '"';
    }
    current_.name = QStringLiteral("man_sample-rev-%1").arg(revision);
    journal(QStringLiteral("revision_published"), {{"revision", current_.name}});
    if (revision == 1)
        return;
    const QJsonObject event{
        {"type", W::manifestChangedEvent},
        {"details", QJsonObject{{W::manifestRevisionMember, current_.name}}}};
    announcementId_ = ++eventId_;
    announcement_ = "id: " + QByteArray::number(announcementId_) + "\ndata: "
                    + QJsonDocument(event).toJson(QJsonDocument::Compact) + "\n\n";
    const int streams = service_.sendEvents(W::eventsRoute, announcement_);
    journal(QStringLiteral("revision_announced"), {{"revision", current_.name}, {"streams", streams}});
}

// A stream resumes after the event it names: Last-Event-ID on a reconnect, else the cursor its
// session was given. A revision announced while it was away is announced again on it, as the
// service replays what a screen missed, unless the scenario says it does not.
bool SampleService::announcementMissed(const Request& request) const
{
    if (scenario_ && !scenario_->replay)
        return false;
    QByteArray after = request.header(W::lastEventIdHeader);
    if (after.isEmpty())
        after = QUrlQuery(QString::fromLatin1(request.query)).queryItemValue(W::eventsCursorQuery).toLatin1();
    if (after.startsWith("cur_"))
        after = after.mid(4);
    return announcementId_ > after.toInt();
}

Reply SampleService::manifestReply(const Request& request) const
{
    const Document& document = request.path == W::manifestV2Route ? current_.withAds : current_.withoutAds;
    if (request.header(W::ifNoneMatchHeader) == document.etag) {
        Reply reply;
        reply.status = 304;
        return reply.withHeader(W::entityTagHeader, document.etag);
    }
    return Reply::json(200, document.body).withHeader(W::entityTagHeader, document.etag);
}

void SampleService::onRequest(int index)
{
    const Request& request = service_.requests().at(index);
    const QByteArray& path = request.path;
    if (scenario_ && scenario_->portalAt(request.atMs)) {
        journal(QStringLiteral("portal_answered"), {{"method", QString::fromLatin1(request.method)},
                                                    {"path", QString::fromLatin1(path)}});
    } else if (path.startsWith(mediaPrefix) || path.startsWith(packagesPrefix)) {
        QJsonObject fields{{"path", QString::fromLatin1(path)},
                           {"range", QString::fromLatin1(request.header("Range"))}};
        // A scenario's faults are on its pictures only.
        if (scenario_ && path.startsWith(mediaPrefix)) {
            const QString name = QString::fromLatin1(path.mid(qsizetype(sizeof(mediaPrefix)) - 1));
            const auto answer = scenario_->answerFor(name, request.atMs).value_or(
                FakeRuntimeService::ContentAnswer{});
            using Fault = FakeRuntimeService::Fault;
            fields.insert("answer", answer.fault == Fault::Close    ? QStringLiteral("close")
                                    : answer.fault == Fault::Silent ? QStringLiteral("silent")
                                    : answer.fault != Fault::None   ? QStringLiteral("cut")
                                    : answer.corrupt                ? QStringLiteral("corrupt")
                                    : answer.status != 0            ? QString::number(answer.status)
                                                                    : QStringLiteral("served"));
            if (answer.trickleBytes > 0)
                fields.insert("rate", double(answer.trickleBytes) * 1000 / answer.trickleIntervalMs);
        }
        journal(QStringLiteral("content_requested"), fields);
    } else if (path == W::pairingStartRoute && request.proofVerdict == QLatin1String("ok")) {
        journal(QStringLiteral("pairing_started"));
        claimTimer_.start(options_.claimDelayMs);
    } else if (path == W::pairingCompleteRoute && request.proofVerdict == QLatin1String("ok")) {
        paired_ = true;
        journal(QStringLiteral("pairing_completed"), {{"screen_label", "Sample screen"}});
    } else if (path == W::sessionMintRoute) {
        journal(QStringLiteral("session_requested"),
                {{"granted", paired_ && request.proofVerdict == QLatin1String("ok")}});
    } else if (path == W::manifestRoute || path == W::manifestV2Route) {
        const Document& document = path == W::manifestV2Route ? current_.withAds : current_.withoutAds;
        const bool fresh = request.header(W::ifNoneMatchHeader) != document.etag;
        journal(QStringLiteral("manifest_requested"),
                {{"revision", current_.name}, {"status", fresh ? 200 : 304}});
        if (scenario_ && fresh && !std::exchange(manifestServed_, true)) {
            for (qsizetype r = 1; r < scenario_->revisions.size(); ++r) {
                if (scenario_->revisions.at(r).afterManifest)
                    QTimer::singleShot(scenario_->revisions.at(r).atMs, this, [this, r] { publish(int(r) + 1); });
            }
        }
        if (!scenario_ && fresh && current_.name.endsWith(QLatin1String("-1")) && !revisionTimer_.isActive())
            revisionTimer_.start(options_.revisionDelayMs);
    } else if (path == W::eventsRoute) {
        QJsonObject fields;
        if (announcementMissed(request))
            fields.insert("announced_again", current_.name);
        journal(QStringLiteral("events_opened"), fields);
        if (!screenshotTimer_.isActive())
            screenshotTimer_.start(options_.screenshotIntervalMs);
    } else if (path == W::reportsRoute || path == W::storageRoute || path == W::observationRoute) {
        journal(QStringLiteral("report"),
                {{"route", QString::fromLatin1(path)}, {"body", jsonOf(request.body)}});
    } else if (path == W::screenshotRoute) {
        saveScreenshot(request);
    } else if (path.startsWith(kvPrefix)) {
        journalKeyValue(request);
    } else if (path == W::adResolveRoute) {
        // Which occurrences this answer filled, so that a reader can match every filled arrival
        // with the evidence the player sends for it.
        const QJsonArray candidates =
            request.jsonBody().value(QLatin1String(W::candidatesMember)).toArray();
        QJsonArray occurrences;
        for (const QJsonValue& candidate : candidates)
            occurrences.append(candidate.toObject().value(QLatin1String(W::occurrenceIdMember)));
        journal(QStringLiteral("ad_resolve"), {{"arrival", adArrivals_},
                                               {"creative", fillingWith_},
                                               {"occurrences", occurrences}});
        ++adArrivals_;
        fillNextArrival();
    } else if (path == W::adEventsRoute) {
        saveAdEvents(request);
    } else if (path.startsWith(W::adContentPrefix)) {
        journal(QStringLiteral("ad_creative_requested"), {{"path", QString::fromLatin1(path)}});
    } else if (path != W::identityChallengeRoute && path != W::pairingEventsRoute) {
        journal(QStringLiteral("request_unanswered"),
                {{"method", QString::fromLatin1(request.method)}, {"path", QString::fromLatin1(path)}});
    }
}

// The operator claims the code shown on the screen, once the player listens for the claim.
void SampleService::claimWhenListening()
{
    if (service_.openStreams(W::pairingEventsRoute) == 0) {
        claimTimer_.start(250);
        return;
    }
    const QJsonObject event{{"type", W::pairingClaimedEvent},
                            {"details", QJsonObject{{"nonce", randomToken(22)}}}};
    service_.sendEvents(W::pairingEventsRoute,
                        "data: " + QJsonDocument(event).toJson(QJsonDocument::Compact) + "\n\n");
    journal(QStringLiteral("pairing_claimed"));
}

void SampleService::requestScreenshot()
{
    if (service_.openStreams(W::eventsRoute) == 0)
        return;
    const QString captureId = QStringLiteral("shot_") + randomToken(20);
    const QJsonObject event{
        {"type", W::screenshotRequestedEvent},
        {"details", QJsonObject{{"capture_id", captureId},
                                {"expires_at", isoNow(60000)},
                                {"format", "image/webp"},
                                {"max_width_divisor", 2},
                                {"max_height_divisor", 2},
                                {"quality", 80},
                                {"max_bytes", 2097152}}}};
    service_.sendEvents(W::eventsRoute, "id: " + QByteArray::number(++eventId_) + "\ndata: "
                                            + QJsonDocument(event).toJson(QJsonDocument::Compact)
                                            + "\n\n");
    journal(QStringLiteral("screenshot_requested"), {{"capture_id", captureId}});
}

void SampleService::saveScreenshot(const Request& request)
{
    const QString captureId = QString::fromLatin1(request.header(W::captureIdHeader));
    const QByteArray failure = request.header(W::captureFailureHeader);
    if (!failure.isEmpty() || request.body.isEmpty()) {
        journal(QStringLiteral("screenshot_failed"),
                {{"capture_id", captureId}, {"failure", QString::fromLatin1(failure)}});
        return;
    }
    // The capture id is the player's word: the file is named by the service's own count.
    const QDir shots(QDir(options_.outputDirectory).filePath(QStringLiteral("screenshots")));
    const QString stem = QStringLiteral("%1").arg(++screenshots_, 4, 10, QLatin1Char('0'));
    QFile webp(shots.filePath(stem + QStringLiteral(".webp")));
    const bool saved = webp.open(QIODevice::WriteOnly) && webp.write(request.body) == request.body.size();
    webp.close();
    const QImage image = QImage::fromData(request.body, "WEBP");
    const QString png = shots.filePath(stem + QStringLiteral(".png"));
    const bool converted = !image.isNull() && image.save(png, "PNG");
    journal(QStringLiteral("screenshot_saved"),
            {{"capture_id", captureId},
             {"webp", saved ? webp.fileName() : QString()},
             {"png", converted ? png : QString()}});
}

void SampleService::collectOpLog()
{
    while (QLocalSocket* socket = opLogServer_.nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        // Lines go out whole, so two connections never interleave within a record.
        auto pending = std::make_shared<QByteArray>();
        connect(socket, &QLocalSocket::readyRead, this, [this, socket, pending] {
            *pending += socket->readAll();
            const qsizetype end = pending->lastIndexOf('\n');
            if (end < 0)
                return;
            opLog_.write(pending->left(end + 1));
            opLog_.flush();
            pending->remove(0, end + 1);
        });
    }
}

// What the web application asked of its key-value store, with the value it wrote, so that a
// reader of the journal sees the count rise from one showing to the next.
void SampleService::journalKeyValue(const Request& request)
{
    QJsonObject fields{{"method", QString::fromLatin1(request.method)},
                       {"path", QString::fromLatin1(request.path)}};
    if (request.method == "PUT") {
        fields.insert("value", QString::fromUtf8(QByteArray::fromBase64(
                                   request.jsonBody().value("value_base64").toString().toLatin1())));
    }
    journal(QStringLiteral("kv_request"), fields);
}

// The answer to the next resolve: an image, then nothing, then the ad clip, then nothing.
void SampleService::fillNextArrival()
{
    FakeAdSlots& ads = service_.adSlots();
    QStringList slotPages{QStringLiteral("ad")};
    for (const ScenarioRevision& revision : scenario_ ? scenario_->revisions : QList<ScenarioRevision>()) {
        for (const ScenarioPage& page : revision.pages) {
            if (page.adslot)
                slotPages.append(page.id);
        }
    }
    if (adArrivals_ % 2 == 1) {
        for (const QString& slotPage : slotPages)
            ads.empty(slotPage);
        fillingWith_.clear();
        return;
    }
    FakeAdSlots::Fill fill;
    if (adArrivals_ % 4 == 0 || scenario_) {
        fill.creative = adImage_;
        fill.durationMs = std::max(3000, options_.pageDwellMs);
    } else {
        fill.kind = QStringLiteral("video");
        fill.contentType = QStringLiteral("video/webm");
        fill.creative = adClip_;
        fill.durationMs = adClipMs_;
    }
    for (const QString& slotPage : slotPages)
        ads.fill(slotPage, fill);
    fillingWith_ = fill.kind;
}

// Every ad event the player delivers, one line each, as received.
void SampleService::saveAdEvents(const Request& request)
{
    const QJsonArray events = request.jsonBody().value(QLatin1String(W::adEventsMember)).toArray();
    for (const QJsonValue& event : events) {
        QJsonObject line = event.toObject();
        line.insert(QStringLiteral("received_at"), isoNow());
        adEvents_.write(QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n');
    }
    adEvents_.flush();
    journal(QStringLiteral("ad_events"), {{"count", int(events.size())}});
}

void SampleService::journal(const QString& event, QJsonObject fields)
{
    fields.insert(QStringLiteral("ts"), isoNow());
    if (scenario_)
        fields.insert(QStringLiteral("t"), double(service_.elapsedMs()) / 1000);
    fields.insert(QStringLiteral("event"), event);
    journal_.write(QJsonDocument(fields).toJson(QJsonDocument::Compact) + '\n');
    journal_.flush();
}

// --- Scenarios -----------------------------------------------------------------------------

bool SampleService::makeScenarioContent(
    const std::function<void(const QString&, QByteArray, const QString&, const QJsonObject&)>& add,
    QString* error)
{
    adImage_ = drawPage(QStringLiteral("Your advertisement here"), qRgb(0xf5, 0xf0, 0xe1));
    for (const ScenarioRevision& revision : std::as_const(scenario_->revisions)) {
        for (const ScenarioPage& page : revision.pages) {
            if (!page.application.isEmpty() && neverReadyPackage_.isEmpty() && !makeNeverReadyPackage(error))
                return false;
            for (const ScenarioPicture& picture : page.pictures) {
                if (media_.contains(picture.name))
                    continue;
                if (!picture.decodes) {
                    // Text where a picture is promised, its size and digest right, so that only
                    // decoding it finds the fault out.
                    const QByteArray line = "Not a picture: " + picture.name.toUtf8() + '\n';
                    add(picture.name, line.repeated(int(picture.bytes / line.size()) + 1).left(picture.bytes),
                        QStringLiteral("image/png"),
                        {{"intrinsicSize", QJsonObject{{"width", canvasWidth}, {"height", canvasHeight}}}});
                    continue;
                }
                const QRgb colour = 0xff000000u
                    | FakeRuntimeService::sha256Hex(picture.name.toUtf8()).left(6).toUInt(nullptr, 16);
                // Titled where the size allows, so that a screenshot names the picture.
                QSize size(canvasWidth, canvasHeight);
                QByteArray png = picture.bytes >= 256 * 1024 ? drawPage(picture.name, colour) : QByteArray();
                if (png.isEmpty() || png.size() > picture.bytes) {
                    size = QSize(16, 9);
                    QImage field(size, QImage::Format_RGB32);
                    field.fill(colour);
                    QBuffer buffer(&png);
                    buffer.open(QIODevice::WriteOnly);
                    field.save(&buffer, "PNG");
                }
                QByteArray bytes = paddedPicture(png, picture.bytes);
                if (bytes.isEmpty()) {
                    *error = QStringLiteral("picture \"%1\": %2 bytes, or at least %3, are needed")
                                 .arg(picture.name).arg(png.size()).arg(png.size() + 12);
                    return false;
                }
                add(picture.name, std::move(bytes), QStringLiteral("image/png"),
                    {{"intrinsicSize", QJsonObject{{"width", size.width()}, {"height", size.height()}}}});
            }
        }
    }
    return true;
}

QJsonArray SampleService::scenarioPages(int revision, bool withAds) const
{
    const int dwell = options_.pageDwellMs;
    QJsonArray list;
    for (const ScenarioPage& sample : scenario_->revisions.at(revision - 1).pages) {
        if (sample.adslot) {
            if (withAds)
                list.append(QJsonObject{{"id", sample.id}, {"type", "adslot"}, {"adslot_id", "lobby-slot"}});
            continue;
        }
        if (!sample.application.isEmpty()) {
            list.append(page(sample.id, "crossfade", shownFor(dwell),
                             applicationPrimitive(sample.id + "-application", neverReadyId,
                                                  neverReadyCapability, neverReadyPackage_)));
            continue;
        }
        QJsonArray items;
        for (const ScenarioPicture& picture : sample.pictures)
            items.append(media_.value(picture.name));
        if (items.size() == 1) {
            list.append(page(sample.id, "crossfade", shownFor(dwell),
                             mediaPrimitive(sample.id + "-image", "image", items, false)));
            continue;
        }
        // Several pictures: one after the other in place, each for the dwell, then the next page.
        QJsonObject pictures = mediaPrimitive(sample.id + "-images", "image", items, false);
        pictures.insert("dwellMs", dwell);
        list.append(page(sample.id, "crossfade", untilMediaEnd(2 * items.size() * dwell), pictures));
    }
    return list;
}

void SampleService::startScenario()
{
    service_.judgeContent([this](const Request& request) { return scenarioAnswer(request); });
    service_.intercept([this](const Request& request) { return portalReply(request); });
    // Timers fire when the file says, not up to a twentieth later as a coarse timer may.
    const auto at = [this](qint64 atMs, const std::function<void()>& act) {
        QTimer::singleShot(std::chrono::milliseconds(std::max<qint64>(0, atMs - service_.elapsedMs())),
                           Qt::PreciseTimer, this, act);
    };
    for (qsizetype r = 1; r < scenario_->revisions.size(); ++r) {
        if (!scenario_->revisions.at(r).afterManifest)
            at(scenario_->revisions.at(r).atMs, [this, r] { publish(int(r) + 1); });
    }
    for (const ScenarioPortal& portal : std::as_const(scenario_->portals)) {
        at(portal.fromMs, [this, portal] {
            // What was under way when the network's page took over is cut, as such a switch does.
            service_.cutConnections();
            journal(QStringLiteral("portal_started"), {{"redirect", portal.redirect}});
        });
        at(portal.untilMs, [this] { journal(QStringLiteral("portal_ended")); });
    }
    for (const ScenarioReload& reload : std::as_const(scenario_->reloads))
        at(reload.atMs, [this, reload] { requestReload(reload); });
    journal(QStringLiteral("scenario_started"), {{"file", options_.scenarioFile}});
}

std::optional<FakeRuntimeService::ContentAnswer> SampleService::scenarioAnswer(const Request& request) const
{
    if (!request.path.startsWith(mediaPrefix))
        return std::nullopt;
    const QString name = QString::fromLatin1(request.path.mid(qsizetype(sizeof(mediaPrefix)) - 1));
    std::optional<FakeRuntimeService::ContentAnswer> answer = scenario_->answerFor(name, request.atMs);
    const bool whole = !answer
        || (answer->trickleBytes == 0 && answer->status == 0 && answer->fault == FakeRuntimeService::Fault::None);
    if (whole && media_.value(name).value("bytes").toDouble() > double(sliceBodiesAbove)) {
        answer = answer.value_or(FakeRuntimeService::ContentAnswer{});
        answer->trickleBytes = 1024 * 1024;
        answer->trickleIntervalMs = 1;
    }
    return answer;
}

std::optional<Reply> SampleService::portalReply(const Request& request) const
{
    const ScenarioPortal* portal = scenario_->portalAt(request.atMs);
    if (!portal)
        return std::nullopt;
    Reply reply;
    if (portal->redirect && request.path != portalLoginPath) {
        reply.status = 302;
        return reply.withHeader("Location", service_.url(QLatin1String(portalLoginPath)).toString().toLatin1());
    }
    reply.body = portalPage;
    return reply.withHeader("Content-Type", "text/html");
}

// A reload request stamped on the service's clock, as the service sends one.
void SampleService::requestReload(const ScenarioReload& reload)
{
    const QString id = QStringLiteral("reload-%1-%2").arg(++reloads_).arg(randomToken(8));
    const QString expiresAt = QDateTime::fromMSecsSinceEpoch(service_.serverNowMs() + reload.ttlMs, Qt::UTC)
                                  .toString(Qt::ISODateWithMs);
    const QJsonObject event{{"type", W::reloadEvent},
                            {"details", QJsonObject{{"reload_id", id},
                                                    {"expires_at", expiresAt},
                                                    {"spread_s", reload.spreadS}}}};
    const int streams = service_.sendEvents(
        W::eventsRoute, "id: " + QByteArray::number(++eventId_) + "\ndata: "
                            + QJsonDocument(event).toJson(QJsonDocument::Compact) + "\n\n");
    journal(QStringLiteral("reload_requested"),
            {{"reload_id", id}, {"expires_at", expiresAt}, {"streams", streams}});
}

} // namespace talvorine::test
