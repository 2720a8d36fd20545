#include "stage/StageLayoutModel.h"

#include "app/DevFileLog.h"
#include "tests/support/TestSupport.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace talvorine;

namespace {

using Model = StageLayoutModel;

const QString digest = QStringLiteral("00112233445566778899aabbccddeeff"
                                      "ffeeddccbbaa99887766554433221100");
const QString packageHost = QStringLiteral("00112233445566778899aabbccddeeff."
                                           "ffeeddccbbaa99887766554433221100");
const QString screen = QStringLiteral("screen-0001");

Primitive primitive(const QString& id, PrimitiveKind kind, QRectF rect, QJsonObject binding = {})
{
    Primitive p;
    p.id = id;
    p.kind = kind;
    p.rect = rect;
    p.contentFit = kind == PrimitiveKind::application || kind == PrimitiveKind::iframe
        ? QStringLiteral("fill")
        : QStringLiteral("cover");
    p.binding = std::move(binding);
    return p;
}

ResolvedPrimitive placed(const QString& id, QRectF viewportRect, int layer, int sourceIndex)
{
    ResolvedPrimitive r;
    r.id = id;
    r.viewportRect = viewportRect;
    r.clipRect = viewportRect.adjusted(0, 0, -1, -1);
    r.contentRect = viewportRect.adjusted(-2, -2, 2, 2);
    r.contentClipRect = viewportRect.adjusted(1, 1, -1, -1);
    r.readinessGeometry = viewportRect;
    r.layer = layer;
    r.sourceIndex = sourceIndex;
    return r;
}

// A page of five primitives on a 1920x1080 canvas shown at half size; the layout put them in
// paint order: backdrop image, the application, the video, the iframe, then the stream.
struct Scene {
    Page page;
    ResolvedPage resolved;
};

Scene sampleScene(double scale = 0.5, const QString& iframeSrc = "https://news.example.org/board?x=1")
{
    Scene s;
    Page& page = s.page;
    page.id = QStringLiteral("lobby");
    page.canvas.width = 1920;
    page.canvas.height = 1080;
    page.advance = QJsonObject{{"mode", "application"}, {"maxMs", 60000}};
    page.primitives = {
        primitive("video", PrimitiveKind::video, {0, 0, 960, 540}, {{"muted", true}}),
        primitive("app", PrimitiveKind::application, {960, 0, 960, 540},
                  {{"applicationId", "app.menu-board"}, {"releaseId", "rel.2026-12-01"}}),
        primitive("backdrop", PrimitiveKind::image, {0, 0, 1920, 1080}, {{"alt", "Lobby"}}),
        primitive("news", PrimitiveKind::iframe, {0, 540, 960, 540},
                  {{"src", iframeSrc}, {"title", "News"}}),
        primitive("live", PrimitiveKind::stream, {960, 540, 960, 540},
                  {{"muted", false},
                   {"sources", QJsonArray{QJsonObject{{"protocol", "hls"},
                                                      {"url", "https://cdn.example.org/a.m3u8"}}}}}),
    };
    s.resolved.pageId = page.id;
    s.resolved.contractVersion = page.contractVersion;
    s.resolved.viewport = QSizeF(1920 * scale, 1080 * scale);
    s.resolved.canvasViewportRect = QRectF(0, 0, 1920 * scale, 1080 * scale);
    s.resolved.canvasClipRect = s.resolved.canvasViewportRect;
    const auto at = [&](const Primitive& p) {
        return QRectF(p.rect.x() * scale, p.rect.y() * scale, p.rect.width() * scale,
                      p.rect.height() * scale);
    };
    s.resolved.primitives = {
        placed("backdrop", at(page.primitives[2]), 0, 2),
        placed("app", at(page.primitives[1]), 1, 1),
        placed("video", at(page.primitives[0]), 2, 0),
        placed("news", at(page.primitives[3]), 2, 3),
        placed("live", at(page.primitives[4]), 3, 4),
    };
    for (int i = 0; i < s.resolved.primitives.size(); ++i)
        s.resolved.primitives[i].paintOrder = i;
    return s;
}

int rowOf(const Model& model, const QString& id)
{
    for (int i = 0; i < model.rowCount(); ++i)
        if (model.data(model.index(i), Model::PrimitiveIdRole).toString() == id)
            return i;
    return -1;
}

QVariant roleOf(const Model& model, const QString& id, int role)
{
    for (int i = 0; i < model.rowCount(); ++i) {
        const QModelIndex index = model.index(i);
        if (model.data(index, Model::PrimitiveIdRole).toString() == id)
            return model.data(index, role);
    }
    return {};
}

QStringList ids(const Model& model)
{
    QStringList out;
    for (int i = 0; i < model.rowCount(); ++i)
        out.append(model.data(model.index(i), Model::PrimitiveIdRole).toString());
    return out;
}

} // namespace

class TestStageLayoutModel : public QObject {
    Q_OBJECT
private slots:
    void rowsFollowPaintOrder()
    {
        Model model(nullptr);
        QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
        QSignalSpy scene(&model, &Model::sceneChanged);
        const Scene s = sampleScene();
        model.setScene(s.page, s.resolved, screen, 7, QSizeF(960, 540));
        QCOMPARE(resets.size(), 1);
        QCOMPARE(scene.size(), 1);
        QCOMPARE(ids(model), (QStringList{"backdrop", "app", "video", "news", "live"}));
        QStringList kinds;
        for (int i = 0; i < model.rowCount(); ++i) {
            const QModelIndex index = model.index(i);
            kinds.append(model.data(index, Model::PrimitiveRole).toString());
            QCOMPARE(model.data(index, Model::PaintOrderRole).toInt(), i);
            QCOMPARE(model.data(index, Model::ViewportRectRole).toRectF(),
                     s.resolved.primitives[i].viewportRect);
            QCOMPARE(model.data(index, Model::ClipRectRole).toRectF(),
                     s.resolved.primitives[i].clipRect);
            QCOMPARE(model.data(index, Model::ContentRectRole).toRectF(),
                     s.resolved.primitives[i].contentRect);
            QCOMPARE(model.data(index, Model::ContentClipRectRole).toRectF(),
                     s.resolved.primitives[i].contentClipRect);
            QCOMPARE(model.data(index, Model::ReadinessRectRole).toRectF(),
                     s.resolved.primitives[i].readinessGeometry);
            QCOMPARE(model.data(index, Model::LayerRole).toInt(), s.resolved.primitives[i].layer);
            QCOMPARE(model.data(index, Model::SourceIndexRole).toInt(),
                     s.resolved.primitives[i].sourceIndex);
        }
        QCOMPARE(kinds, (QStringList{"image", "application", "video", "iframe", "stream"}));
        QCOMPARE(roleOf(model, "live", Model::KindRole).toInt(), 3);
        QCOMPARE(roleOf(model, "video", Model::MutedRole).toBool(), true);
        QCOMPARE(roleOf(model, "live", Model::MutedRole).toBool(), false);
        QCOMPARE(roleOf(model, "live", Model::StreamSourcesRole).toList().size(), 1);
        QCOMPARE(roleOf(model, "backdrop", Model::TitleRole).toString(), QStringLiteral("Lobby"));
        QCOMPARE(roleOf(model, "news", Model::TitleRole).toString(), QStringLiteral("News"));
        QCOMPARE(roleOf(model, "backdrop", Model::ContentFitRole).toString(),
                 QStringLiteral("cover"));
        // Media and application rows show nothing until their content is verified and bound.
        for (const char* id : {"backdrop", "app", "video", "live"}) {
            QVERIFY(roleOf(model, id, Model::ContentSourceRole).toUrl().isEmpty());
            QVERIFY(roleOf(model, id, Model::ExpectedOriginRole).toString().isEmpty());
        }
        QCOMPARE(model.pageId(), QStringLiteral("lobby"));
        QCOMPARE(model.generationValue(), 7.0);
        QCOMPARE(model.screenId(), screen);
        QVERIFY(!model.empty());
    }

    // The rows are joined with the page by id, whatever order the layout sorted them into.
    void rowsFromTheLayoutContract()
    {
        Page page;
        page.id = QStringLiteral("hall");
        page.canvas.width = 1920;
        page.canvas.height = 1080;
        page.transition = QJsonObject{{"type", "crossfade"}, {"durationMs", 800}};
        page.primitives = {
            primitive("top", PrimitiveKind::video, {0, 0, 960, 540}),
            primitive("bottom", PrimitiveKind::image, {0, 0, 1920, 1080}),
            primitive("board", PrimitiveKind::iframe, {960, 540, 960, 540},
                      {{"src", "https://board.example.org/"}, {"title", "Board"}}),
        };
        page.primitives[0].layer = 5;
        page.primitives[0].contentFit = QStringLiteral("fill");
        page.primitives[1].contentFit = QStringLiteral("fill");
        page.primitives[2].layer = 5;
        const LayoutResult result = LayoutContract::resolveLayout(page, QSizeF(1280, 720));
        QVERIFY(std::holds_alternative<ResolvedPage>(result));
        const ResolvedPage& resolved = std::get<ResolvedPage>(result);
        Model model(nullptr);
        model.setScene(page, resolved, screen, 2, QSizeF(1280, 720));
        QCOMPARE(ids(model), (QStringList{"bottom", "top", "board"}));
        QCOMPARE(roleOf(model, "bottom", Model::PrimitiveRole).toString(), QStringLiteral("image"));
        QCOMPARE(roleOf(model, "top", Model::ViewportRectRole).toRectF(), QRectF(0, 0, 640, 360));
        QCOMPARE(roleOf(model, "board", Model::ClipRectRole).toRectF(),
                 QRectF(640, 360, 640, 360));
        QCOMPARE(roleOf(model, "board", Model::ContentSourceRole).toUrl(),
                 QUrl("https://board.example.org/"));
        QCOMPARE(model.canvasRect(), QRectF(0, 0, 1280, 720));
    }

    void iframeRowsAreComplete_data()
    {
        QTest::addColumn<QString>("src");
        QTest::addColumn<QString>("origin");
        QTest::newRow("path and query") << "https://news.example.org/board?x=1"
                                        << "https://news.example.org";
        QTest::newRow("own port") << "https://news.example.org:8443/a" << "https://news.example.org:8443";
        QTest::newRow("default port") << "https://news.example.org:443/" << "https://news.example.org";
        QTest::newRow("host letter case") << "https://News.Example.org/" << "https://news.example.org";
        QTest::newRow("no host") << "https:///board" << "";
        QTest::newRow("IPv6 host with port") << "https://[::1]:8443/x" << "https://[::1]:8443";
        QTest::newRow("IPv6 host, default port") << "https://[2001:db8::7]:443/x?y"
                                                 << "https://[2001:db8::7]";
        QTest::newRow("user info left out") << "https://user:pw@news.example.org/a"
                                            << "https://news.example.org";
        QTest::newRow("plain http port") << "http://news.example.org:8080/#top"
                                         << "http://news.example.org:8080";
    }
    void iframeRowsAreComplete()
    {
        QFETCH(QString, src);
        QFETCH(QString, origin);
        Model model(nullptr);
        const Scene s = sampleScene(0.5, src);
        model.setScene(s.page, s.resolved, screen, 1, QSizeF(960, 540));
        QCOMPARE(roleOf(model, "news", Model::ExpectedOriginRole).toString(), origin);
        const QUrl source = roleOf(model, "news", Model::ContentSourceRole).toUrl();
        if (origin.isEmpty())
            QVERIFY(source.isEmpty());
        else
            QCOMPARE(source, QUrl(src));
    }

    void rowsNeedTheirPagePrimitive()
    {
        Scene s = sampleScene();
        s.resolved.primitives.append(placed("ghost", {0, 0, 10, 10}, 9, 9));
        s.page.primitives.append(primitive("label", PrimitiveKind::text, {0, 0, 10, 10}));
        s.resolved.primitives.append(placed("label", {0, 0, 10, 10}, 9, 5));
        Model model(nullptr);
        model.setScene(s.page, s.resolved, screen, 1, QSizeF(960, 540));
        QCOMPARE(ids(model), (QStringList{"backdrop", "app", "video", "news", "live"}));
        QCOMPARE(Model::kindName(PrimitiveKind::line), QStringLiteral("line"));
        QCOMPARE(Model::kindName(PrimitiveKind::box), QStringLiteral("box"));
    }

    void mediaBinding_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<QUrl>("url");
        QTest::addColumn<bool>("bound");
        const QUrl file = QUrl::fromLocalFile("/var/cache/talvorine/objects/ab/cd");
        QTest::newRow("image") << "backdrop" << file << true;
        QTest::newRow("video") << "video" << file << true;
        QTest::newRow("stream") << "live" << file << true;
        QTest::newRow("application") << "app" << file << false;
        QTest::newRow("iframe") << "news" << file << false;
        QTest::newRow("unknown id") << "nobody" << file << false;
        QTest::newRow("remote url") << "backdrop" << QUrl("https://cdn.example.org/a.png") << false;
        QTest::newRow("empty url") << "backdrop" << QUrl() << false;
    }
    void mediaBinding()
    {
        QFETCH(QString, id);
        QFETCH(QUrl, url);
        QFETCH(bool, bound);
        Model model(nullptr);
        const Scene s = sampleScene();
        model.setScene(s.page, s.resolved, screen, 3, QSizeF(960, 540));
        const QVariant before = roleOf(model, id, Model::ContentSourceRole);
        QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
        QCOMPARE(model.bindVerifiedMediaFile(id, url), bound);
        if (!bound) {
            QCOMPARE(changed.size(), 0);
            QCOMPARE(roleOf(model, id, Model::ContentSourceRole), before);
            return;
        }
        QCOMPARE(changed.size(), 1);
        QCOMPARE(changed.at(0).at(2).value<QList<int>>(), QList<int>{Model::ContentSourceRole});
        QCOMPARE(roleOf(model, id, Model::ContentSourceRole).toUrl(), url);
        // The same file again changes nothing and says so to nobody.
        QVERIFY(model.bindVerifiedMediaFile(id, url));
        QCOMPARE(changed.size(), 1);
    }

    void applicationBinding_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("sha256");
        QTest::addColumn<bool>("bound");
        QTest::newRow("application") << "app" << digest << true;
        QTest::newRow("upper-case digest") << "app" << digest.toUpper() << false;
        QTest::newRow("short digest") << "app" << digest.left(63) << false;
        QTest::newRow("iframe row") << "news" << digest << false;
        QTest::newRow("image row") << "backdrop" << digest << false;
        QTest::newRow("unknown id") << "nobody" << digest << false;
    }
    void applicationBinding()
    {
        QFETCH(QString, id);
        QFETCH(QString, sha256);
        QFETCH(bool, bound);
        QTemporaryDir state;
        DevFileLog::configure(QUrl("http://localhost:8080"), state.path(), DevFileLog::defaultMaxBytes);
        Model model(nullptr);
        const Scene s = sampleScene();
        model.setScene(s.page, s.resolved, screen, 3, QSizeF(960, 540));
        QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
        QCOMPARE(model.bindVerifiedApplicationPackage(id, sha256, "index.html"), bound);
        const QList<QJsonObject> records =
            test::recordsOf(test::readJsonLines(DevFileLog::path()), "web.binding");
        if (!bound) {
            QCOMPARE(changed.size(), 0);
            QVERIFY(records.isEmpty());
            if (id == QLatin1String("app"))
                QVERIFY(roleOf(model, id, Model::ContentSourceRole).toUrl().isEmpty());
            return;
        }
        QCOMPARE(roleOf(model, id, Model::ContentSourceRole).toUrl().toString(),
                 "talvorine-app://" + packageHost + "/index.html");
        QCOMPARE(roleOf(model, id, Model::ExpectedOriginRole).toString(),
                 "talvorine-app://" + packageHost);
        QCOMPARE(roleOf(model, id, Model::PackageSha256Role).toString(), sha256);
        QCOMPARE(changed.size(), 1);
        QList<int> roles = changed.at(0).at(2).value<QList<int>>();
        std::sort(roles.begin(), roles.end());
        QCOMPARE(roles, (QList<int>{Model::ContentSourceRole, Model::ExpectedOriginRole,
                                    Model::PackageSha256Role}));
        QCOMPARE(records.size(), 1);
        QCOMPARE(records[0].value("origin_present").toBool(), true);
        QCOMPARE(records[0].value("source_valid").toBool(), true);
        QCOMPARE(records[0].value("sha_length").toInt(), 64);
        QVERIFY(model.bindVerifiedApplicationPackage(id, sha256, "index.html"));
        QCOMPARE(changed.size(), 1);
    }

    void rebuild_data()
    {
        QTest::addColumn<double>("scale");
        QTest::addColumn<quint64>("generation");
        QTest::addColumn<QString>("pageId");
        QTest::addColumn<bool>("swapOrder");
        QTest::addColumn<bool>("dropLast");
        QTest::addColumn<QString>("screenId");
        QTest::addColumn<bool>("inPlace");
        QTest::addColumn<bool>("rowsChange");
        QTest::newRow("viewport change") << 0.25 << quint64(5) << "lobby" << false << false << screen << true << true;
        QTest::newRow("rematch with nothing new") << 0.5 << quint64(5) << "lobby" << false << false << screen << true << false;
        QTest::newRow("only the screen id") << 0.5 << quint64(5) << "lobby" << false << false << "screen-0002" << true << true;
        QTest::newRow("new generation") << 0.5 << quint64(6) << "lobby" << false << false << screen << false << true;
        QTest::newRow("other page") << 0.5 << quint64(5) << "foyer" << false << false << screen << false << true;
        QTest::newRow("other order") << 0.5 << quint64(5) << "lobby" << true << false << screen << false << true;
        QTest::newRow("primitive gone") << 0.5 << quint64(5) << "lobby" << false << true << screen << false << true;
    }
    void rebuild()
    {
        QFETCH(double, scale);
        QFETCH(quint64, generation);
        QFETCH(QString, pageId);
        QFETCH(bool, swapOrder);
        QFETCH(bool, dropLast);
        QFETCH(QString, screenId);
        QFETCH(bool, inPlace);
        QFETCH(bool, rowsChange);

        Model model(nullptr);
        const Scene first = sampleScene(0.5);
        model.setScene(first.page, first.resolved, screen, 5, QSizeF(960, 540));
        const QUrl file = QUrl::fromLocalFile("/cache/video");
        QVERIFY(model.bindVerifiedMediaFile("video", file));
        QVERIFY(model.bindVerifiedApplicationPackage("app", digest, "index.html"));

        Scene next = sampleScene(scale);
        next.page.id = pageId;
        next.resolved.pageId = pageId;
        if (swapOrder)
            next.resolved.primitives.swapItemsAt(0, 1);
        if (dropLast)
            next.resolved.primitives.removeLast();
        QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
        QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
        QSignalSpy scene(&model, &Model::sceneChanged);
        const QSizeF viewport(1920 * scale, 1080 * scale);
        model.setScene(next.page, next.resolved, screenId, generation, viewport);

        QCOMPARE(scene.size(), 1);
        QCOMPARE(resets.size(), inPlace ? 0 : 1);
        QCOMPARE(changed.size(), inPlace && rowsChange ? 1 : 0);
        if (inPlace && rowsChange) {
            // The application row is among the changed ones, with its context.
            const int appRow = rowOf(model, "app");
            QVERIFY(changed.at(0).at(0).toModelIndex().row() <= appRow);
            QVERIFY(changed.at(0).at(1).toModelIndex().row() >= appRow);
            QVERIFY(changed.at(0).at(2).value<QList<int>>().contains(
                Model::ApplicationContextRole));
        }
        QCOMPARE(roleOf(model, "video", Model::ContentSourceRole).toUrl(),
                 inPlace ? file : QUrl());
        QCOMPARE(roleOf(model, "app", Model::PackageSha256Role).toString(),
                 inPlace ? digest : QString());
        QCOMPARE(roleOf(model, "video", Model::ViewportRectRole).toRectF(),
                 QRectF(0, 0, 960 * scale, 540 * scale));
        const QVariantMap context = roleOf(model, "app", Model::ApplicationContextRole).toMap();
        QCOMPARE(context.value("viewport").toMap().value("width").toDouble(), 1920 * scale);
        QCOMPARE(context.value("primitive").toMap().value("height").toDouble(), 540 * scale);
        QCOMPARE(context.value("generation").toDouble(), double(generation));
        QCOMPARE(context.value("screen_id").toString(), screenId);
        QCOMPARE(model.screenId(), screenId);
        // The iframe's address comes with the scene and survives either way.
        QCOMPARE(roleOf(model, "news", Model::ExpectedOriginRole).toString(),
                 QStringLiteral("https://news.example.org"));
    }

    void applicationContext_data()
    {
        QTest::addColumn<QString>("advanceMode");
        QTest::addColumn<bool>("read");
        QTest::addColumn<bool>("write");
        QTest::addColumn<int>("contextSignals");
        QTest::newRow("advance by the application, no store") << "application" << false << false << 0;
        QTest::newRow("timed page, read only") << "duration" << true << false << 1;
        QTest::newRow("read and write") << "media_end" << true << true << 1;
        QTest::newRow("write only") << "application" << false << true << 1;
    }
    void applicationContext()
    {
        QFETCH(QString, advanceMode);
        QFETCH(bool, read);
        QFETCH(bool, write);
        QFETCH(int, contextSignals);
        Scene s = sampleScene();
        s.page.advance = QJsonObject{{"mode", advanceMode}};
        Model model(nullptr);
        model.setScene(s.page, s.resolved, screen, 42, QSizeF(960, 540));
        QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
        model.setApplicationKvCapabilities(read, write);
        // Only the application row carries a context, so only it is told.
        QCOMPARE(changed.size(), contextSignals);
        if (contextSignals) {
            QCOMPARE(changed.at(0).at(0).toModelIndex().row(), 1);
            QCOMPARE(changed.at(0).at(2).value<QList<int>>(),
                     QList<int>{Model::ApplicationContextRole});
        }
        model.setApplicationKvCapabilities(read, write);
        QCOMPARE(changed.size(), contextSignals);

        const QVariantMap context = roleOf(model, "app", Model::ApplicationContextRole).toMap();
        QCOMPARE(context.keys(), (QStringList{"application_id", "capabilities", "generation",
                                              "primitive", "primitive_id", "release_id",
                                              "screen_id", "viewport"}));
        QCOMPARE(context.value("application_id").toString(), QStringLiteral("app.menu-board"));
        QCOMPARE(context.value("release_id").toString(), QStringLiteral("rel.2026-12-01"));
        QCOMPARE(context.value("primitive_id").toString(), QStringLiteral("app"));
        QCOMPARE(context.value("generation").toDouble(), 42.0);
        QCOMPARE(context.value("screen_id").toString(), screen);
        const QVariantMap capabilities = context.value("capabilities").toMap();
        QCOMPARE(capabilities.keys(), (QStringList{"kv.read", "kv.write", "page.advance"}));
        QCOMPARE(capabilities.value("page.advance").toBool(), advanceMode == "application");
        QCOMPARE(capabilities.value("kv.read").toBool(), read);
        QCOMPARE(capabilities.value("kv.write").toBool(), write);
        QCOMPARE(context.value("viewport").toMap(),
                 (QVariantMap{{"width", 960.0}, {"height", 540.0}}));
        QCOMPARE(context.value("primitive").toMap(),
                 (QVariantMap{{"width", 480.0}, {"height", 270.0}}));
        QVERIFY(roleOf(model, "news", Model::ApplicationContextRole).toMap().isEmpty());
    }

    void clearEmptiesTheStage()
    {
        Scene s = sampleScene();
        s.resolved.background.kind = 1;
        s.resolved.background.stops = {{0.0, "#FF000080"}, {1.0, "#0000FFFF"}};
        Model model(nullptr);
        model.setScene(s.page, s.resolved, screen, 9, QSizeF(960, 540));
        QCOMPARE(model.backgroundKind(), 1);
        QCOMPARE(model.backgroundStops().size(), 2);
        QCOMPARE(model.backgroundStops().at(0).toMap().value("color").value<QColor>(),
                 QColor(255, 0, 0, 128));
        QCOMPARE(model.canvasRect(), QRectF(0, 0, 960, 540));
        QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
        model.clear();
        QCOMPARE(resets.size(), 1);
        QCOMPARE(model.rowCount(), 0);
        QVERIFY(model.empty());
        QVERIFY(model.pageId().isEmpty());
        QCOMPARE(model.backgroundKind(), 0);
        QCOMPARE(model.backgroundColor(), QColor(0, 0, 0, 255));
        QVERIFY(model.backgroundStops().isEmpty());
        // After a clear the same scene is a new one, not an in-place update.
        QVERIFY(!model.bindVerifiedMediaFile("video", QUrl::fromLocalFile("/cache/v")));
        model.setScene(s.page, s.resolved, screen, 9, QSizeF(960, 540));
        QCOMPARE(resets.size(), 2);
    }

    void effects_data()
    {
        QTest::addColumn<QByteArray>("reducedMotion");
        QTest::addColumn<bool>("animated");
        QTest::newRow("normal") << QByteArray() << true;
        QTest::newRow("reduced motion") << QByteArray("1") << false;
    }
    void effects()
    {
        QFETCH(QByteArray, reducedMotion);
        QFETCH(bool, animated);
        if (reducedMotion.isEmpty())
            qunsetenv("TALVORINE_REDUCED_MOTION");
        else
            qputenv("TALVORINE_REDUCED_MOTION", reducedMotion);
        Scene s = sampleScene();
        s.resolved.primitives[0].enterType = QStringLiteral("fade-up");
        s.resolved.primitives[0].enterStagger = 2;
        Primitive::Motion spin;
        spin.type = Primitive::Motion::spin;
        spin.spinDirection = QStringLiteral("ccw");
        spin.spinSpeed = QStringLiteral("fast");
        s.resolved.primitives[2].motion = spin;
        Model model(nullptr);
        model.setScene(s.page, s.resolved, screen, 1, QSizeF(960, 540));
        qunsetenv("TALVORINE_REDUCED_MOTION");

        QCOMPARE(roleOf(model, "backdrop", Model::EnterTypeRole).toString(),
                 animated ? QStringLiteral("fade-up") : QString());
        QCOMPARE(roleOf(model, "backdrop", Model::EnterStaggerRole).toInt(), animated ? 2 : 0);
        const QVariantMap enter = roleOf(model, "backdrop", Model::EnterRole).toMap();
        const QVariantMap motion = roleOf(model, "video", Model::MotionRole).toMap();
        QCOMPARE(enter.isEmpty(), !animated);
        QCOMPARE(motion.isEmpty(), !animated);
        if (animated) {
            QCOMPARE(enter.value("delayMs").toInt(), 740);
            QCOMPARE(enter.value("fromY").toDouble(), 12.0); // 24 px at half scale
            QCOMPARE(motion.value("periodMs").toInt(), 12000);
            QCOMPARE(motion.value("toDegrees").toDouble(), -360.0);
        }
        QVERIFY(roleOf(model, "app", Model::MotionRole).toMap().isEmpty());
        QVERIFY(roleOf(model, "app", Model::EnterTypeRole).toString().isEmpty());
    }

    void publishedToTheScene()
    {
        Model model(nullptr);
        QCOMPARE(model.sdkHostFeatures(),
                 (QStringList{"ready", "log", "event.emit", "page.advance", "kv.get", "kv.list",
                              "kv.set", "kv.delete"}));
        const QHash<int, QByteArray> names = model.roleNames();
        for (const char* name : {"primitiveId", "primitive", "contentSource", "expectedOrigin",
                                 "packageSha256", "applicationContext", "kind", "layer",
                                 "paintOrder", "sourceIndex", "viewportRect", "clipRect",
                                 "contentRect", "contentClipRect", "readinessRect", "contentFit",
                                 "muted", "streamSources", "title", "enterType", "enterStagger",
                                 "motion"})
            QVERIFY2(names.values().contains(name), name);
        QVERIFY(model.empty());
        QCOMPARE(model.backgroundColor(), QColor(0, 0, 0, 255));
    }
};

QTEST_GUILESS_MAIN(TestStageLayoutModel)
#include "tst_stagelayoutmodel.moc"
