// Value semantics of the manifest types and the queries the controller asks of a parsed
// manifest: outcome, rebuild and web checks, one-at-a-time, dwell, media list and descriptor.

#include "manifest/Manifest.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

using namespace talvorine;

namespace {

const QUrl origin(QStringLiteral("https://runtime.talvorine.test"));

QJsonObject mediaItemJson(const QString& id, const QString& type = QStringLiteral("image/png"))
{
    return QJsonObject{{QStringLiteral("mediaId"), id},
                       {QStringLiteral("src"), QStringLiteral("/content/m/") + id},
                       {QStringLiteral("sha256"), QString(64, QLatin1Char('0'))},
                       {QStringLiteral("bytes"), 10},
                       {QStringLiteral("contentType"), type},
                       {QStringLiteral("intrinsicSize"),
                        QJsonObject{{QStringLiteral("width"), 640}, {QStringLiteral("height"), 360}}}};
}

QJsonObject imageJson(const QString& id, const QJsonObject& extra = {})
{
    QJsonObject image{{QStringLiteral("id"), id},
                      {QStringLiteral("primitive"), QStringLiteral("image")},
                      {QStringLiteral("rect"), QJsonObject{{QStringLiteral("x"), 0}, {QStringLiteral("y"), 0},
                                                           {QStringLiteral("width"), 10},
                                                           {QStringLiteral("height"), 10}}},
                      {QStringLiteral("layer"), 3},
                      {QStringLiteral("contentFit"), QStringLiteral("cover")},
                      {QStringLiteral("selector"), QJsonObject{{QStringLiteral("by"), QStringLiteral("all")},
                                                               {QStringLiteral("oneAtATime"), true}}},
                      {QStringLiteral("resolvedMedia"), QJsonArray{mediaItemJson(id + QStringLiteral("-a")),
                                                                   mediaItemJson(id + QStringLiteral("-b"))}},
                      {QStringLiteral("grantId"), QStringLiteral("g")}};
    for (auto it = extra.begin(); it != extra.end(); ++it)
        image.insert(it.key(), it.value());
    return image;
}

QByteArray documentWith(const QJsonArray& pages, const QJsonObject& extra = {})
{
    QJsonObject root{{QStringLiteral("schemaVersion"), 3},
                     {QStringLiteral("manifestRevision"), QStringLiteral("r")},
                     {QStringLiteral("grantId"), QStringLiteral("g")},
                     {QStringLiteral("contentGeneration"), 1},
                     {QStringLiteral("screenId"), QStringLiteral("s")},
                     {QStringLiteral("screenLabel"), QStringLiteral("L")},
                     {QStringLiteral("playlistRevision"), 1},
                     {QStringLiteral("generatedAt"), QStringLiteral("2026-01-01T00:00:00Z")},
                     {QStringLiteral("pages"), pages}};
    for (auto it = extra.begin(); it != extra.end(); ++it)
        root.insert(it.key(), it.value());
    return QJsonDocument(root).toJson(QJsonDocument::Compact);
}

QJsonObject pageJson(const QString& id, const QJsonArray& primitives, const QJsonObject& extra = {})
{
    QJsonObject page{{QStringLiteral("contractVersion"), QStringLiteral("talvorine.canvas/v1")},
                     {QStringLiteral("id"), id},
                     {QStringLiteral("canvas"), QJsonObject{{QStringLiteral("width"), 100},
                                                            {QStringLiteral("height"), 100},
                                                            {QStringLiteral("viewportFit"), QStringLiteral("contain")}}},
                     {QStringLiteral("transition"), QJsonObject{{QStringLiteral("type"), QStringLiteral("crossfade")},
                                                                {QStringLiteral("durationMs"), 0}}},
                     {QStringLiteral("advance"), QJsonObject{{QStringLiteral("mode"), QStringLiteral("duration")},
                                                             {QStringLiteral("afterMs"), 5000}}},
                     {QStringLiteral("primitives"), primitives}};
    for (auto it = extra.begin(); it != extra.end(); ++it)
        page.insert(it.key(), it.value());
    return page;
}

Manifest parsed(const QByteArray& bytes)
{
    ManifestParseResult result = ManifestParser::parse(bytes, origin);
    if (!std::holds_alternative<Manifest>(result))
        qFatal("fixture document refused: %s", qPrintable(std::get<ManifestError>(result).code));
    return std::get<Manifest>(std::move(result));
}

Primitive primitiveOfKind(PrimitiveKind kind)
{
    Primitive primitive;
    primitive.kind = kind;
    return primitive;
}

} // namespace

class tst_manifest_values : public QObject {
    Q_OBJECT

private slots:
    void copiesAreIndependent();
    void optionalMembersCopyDisengaged();
    void adslotPageCopies();
    void outcome_data();
    void outcome();
    void outcomeNames();
    void pageQueries_data();
    void pageQueries();
    void dwell_data();
    void dwell();
    void mediaListFollowsBinding();
    void renderDescriptor();
    void expectedVersionOverloads();
};

void tst_manifest_values::copiesAreIndependent()
{
    const Manifest source = parsed(documentWith({pageJson(QStringLiteral("p1"), {imageJson(QStringLiteral("i"))})}));
    Manifest copy = source;
    copy.pages[0].primitives[0].mediaPrimitiveId = QStringLiteral("changed");
    copy.pages[0].primitives[0].binding.insert(QStringLiteral("items"), QJsonArray{});
    copy.pages[0].id = QStringLiteral("other");
    QCOMPARE(source.pages[0].id, QStringLiteral("p1"));
    QCOMPARE(source.pages[0].primitives[0].mediaPrimitiveId, QStringLiteral("i"));
    QCOMPARE(mediaItems(source.pages[0].primitives[0]).size(), 2);
    QCOMPARE(mediaItems(copy.pages[0].primitives[0]).size(), 0);
}

void tst_manifest_values::optionalMembersCopyDisengaged()
{
    Page page;
    page.visibility = PageVisibility{true, std::nullopt, std::nullopt, std::nullopt};
    const Page copy = page;
    QVERIFY(copy.visibility);
    QVERIFY(!copy.visibility->windows.has_value());
    const Page plain;
    const Page plainCopy = plain;
    QVERIFY(!plainCopy.visibility);
    QVERIFY(!plainCopy.audioCue);
    const Primitive primitive;
    const Primitive primitiveCopy = primitive;
    QVERIFY(!primitiveCopy.motion);
    QVERIFY(!primitiveCopy.enterType);
    QVERIFY(!primitiveCopy.intrinsicSize);
}

void tst_manifest_values::adslotPageCopies()
{
    const Manifest manifest = parsed(documentWith(
        {QJsonObject{{QStringLiteral("id"), QStringLiteral("ad")}, {QStringLiteral("type"), QStringLiteral("adslot")},
                     {QStringLiteral("adslot_id"), QStringLiteral("slot")}}}));
    const Page copy = manifest.pages.at(0);
    QCOMPARE(copy.type, PageType::adslot);
    QCOMPARE(copy.adslotId, QStringLiteral("slot"));
    QVERIFY(copy.transition.isEmpty());
    QVERIFY(copy.advance.isEmpty());
    QVERIFY(copy.primitives.isEmpty());
    QCOMPARE(copy.canvas.background.color, QStringLiteral("#000000FF"));
}

void tst_manifest_values::outcome_data()
{
    QTest::addColumn<int>("sourcePages");
    QTest::addColumn<int>("keptPages");
    QTest::addColumn<QStringList>("codes");
    QTest::addColumn<ManifestOutcome>("outcome");
    QTest::newRow("declared, all dropped") << 3 << 0 << QStringList() << ManifestOutcome::keep_lkg;
    QTest::newRow("declared, one kept") << 150 << 1 << QStringList() << ManifestOutcome::render;
    QTest::newRow("kept beats diagnostics") << 2 << 2 << QStringList{QStringLiteral("x")} << ManifestOutcome::render;
    QTest::newRow("none declared") << 0 << 0 << QStringList() << ManifestOutcome::no_content;
    QTest::newRow("none declared, diagnostic") << 0 << 0 << QStringList{QStringLiteral("x")}
                                               << ManifestOutcome::keep_lkg;
}

void tst_manifest_values::outcome()
{
    QFETCH(int, sourcePages);
    QFETCH(int, keptPages);
    QFETCH(QStringList, codes);
    QFETCH(ManifestOutcome, outcome);
    Manifest manifest;
    manifest.sourcePageCount = sourcePages;
    for (int i = 0; i < keptPages; ++i)
        manifest.pages.append(Page{});
    manifest.diagnosticCodes = codes;
    QCOMPARE(manifestOutcome(manifest), outcome);
}

void tst_manifest_values::outcomeNames()
{
    QCOMPARE(manifestOutcomeName(ManifestOutcome::render), QStringLiteral("render"));
    QCOMPARE(manifestOutcomeName(ManifestOutcome::keep_lkg), QStringLiteral("keep_lkg"));
    QCOMPARE(manifestOutcomeName(ManifestOutcome::no_content), QStringLiteral("no_content"));
    QCOMPARE(manifestOutcomeName(ManifestOutcome(7)), QStringLiteral("keep_lkg"));
}

void tst_manifest_values::pageQueries_data()
{
    QTest::addColumn<QList<int>>("kinds");
    QTest::addColumn<bool>("rebuilds");
    QTest::addColumn<bool>("web");
    QTest::newRow("empty") << QList<int>{} << false << false;
    QTest::newRow("stream and image") << QList<int>{3, 1} << false << false;
    QTest::newRow("video") << QList<int>{1, 2} << true << false;
    QTest::newRow("iframe") << QList<int>{3, 1, 4} << true << true;
    QTest::newRow("application") << QList<int>{0} << true << true;
    QTest::newRow("kinds the parser never makes") << QList<int>{5, 6, 7} << false << false;
}

void tst_manifest_values::pageQueries()
{
    QFETCH(QList<int>, kinds);
    QFETCH(bool, rebuilds);
    QFETCH(bool, web);
    Page page;
    for (int kind : kinds)
        page.primitives.append(primitiveOfKind(PrimitiveKind(kind)));
    QCOMPARE(pageRebuildsOnAdvance(page), rebuilds);
    QCOMPARE(pageHasWebPrimitive(page), web);
}

void tst_manifest_values::dwell_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QJsonValue>("dwellMs");
    QTest::addColumn<int>("expected"); // -1: none
    QTest::newRow("image 1000") << 1 << QJsonValue(1000) << 1000;
    QTest::newRow("image 999") << 1 << QJsonValue(999) << -1;
    QTest::newRow("image absent") << 1 << QJsonValue(QJsonValue::Undefined) << -1;
    QTest::newRow("image fraction") << 1 << QJsonValue(1500.5) << -1;
    QTest::newRow("image beyond 32 bits") << 1 << QJsonValue(5e9) << -1;
    QTest::newRow("image string") << 1 << QJsonValue(QStringLiteral("2000")) << -1;
    QTest::newRow("video") << 2 << QJsonValue(5000) << -1;
    QTest::newRow("stream") << 3 << QJsonValue(5000) << -1;
}

void tst_manifest_values::dwell()
{
    QFETCH(int, kind);
    QFETCH(QJsonValue, dwellMs);
    QFETCH(int, expected);
    Primitive primitive = primitiveOfKind(PrimitiveKind(kind));
    if (!dwellMs.isUndefined())
        primitive.binding.insert(QStringLiteral("dwellMs"), dwellMs);
    const std::optional<qint32> dwell = mediaDwellMs(primitive);
    QCOMPARE(dwell.has_value(), expected >= 0);
    if (dwell)
        QCOMPARE(*dwell, expected);
}

void tst_manifest_values::mediaListFollowsBinding()
{
    const Manifest manifest = parsed(documentWith({pageJson(
        QStringLiteral("p1"), {imageJson(QStringLiteral("i"), {{QStringLiteral("dwellMs"), 4000}})})}));
    const Primitive& image = manifest.pages[0].primitives[0];
    const QList<MediaItem> items = mediaItems(image);
    QCOMPARE(items.size(), 2);
    QCOMPARE(items[1].mediaId, QStringLiteral("i-b"));
    QCOMPARE(items[1].src, QStringLiteral("/content/m/i-b"));
    QCOMPARE(items[1].intrinsicSize, QSizeF(640, 360));
    QCOMPARE(items[1].bytes, 10);
    QVERIFY(mediaOneAtATime(image));
    QCOMPARE(mediaDwellMs(image), std::optional<qint32>(4000));

    Primitive application = image;
    application.kind = PrimitiveKind::application;
    QVERIFY(mediaItems(application).isEmpty());
    Primitive noFlag = image;
    noFlag.binding.insert(QStringLiteral("oneAtATime"), QStringLiteral("yes"));
    QVERIFY(!mediaOneAtATime(noFlag));
}

void tst_manifest_values::renderDescriptor()
{
    const Manifest manifest = parsed(documentWith({pageJson(
        QStringLiteral("p1"),
        {imageJson(QStringLiteral("i")),
         QJsonObject{{QStringLiteral("id"), QStringLiteral("f")}, {QStringLiteral("primitive"), QStringLiteral("iframe")},
                     {QStringLiteral("rect"), QJsonObject{{QStringLiteral("x"), 0}, {QStringLiteral("y"), 0},
                                                          {QStringLiteral("width"), 5}, {QStringLiteral("height"), 5}}},
                     {QStringLiteral("layer"), 9}, {QStringLiteral("contentFit"), QStringLiteral("fill")},
                     {QStringLiteral("src"), QStringLiteral("https://example.com/")},
                     {QStringLiteral("title"), QStringLiteral("T")}}})}));
    const QJsonObject image = ManifestParser::renderDescriptor(manifest.pages[0].primitives[0]);
    QCOMPARE(image, (QJsonObject{{QStringLiteral("id"), QStringLiteral("i")}, {QStringLiteral("layer"), 3},
                                 {QStringLiteral("source_index"), 0}, {QStringLiteral("contentFit"), QStringLiteral("cover")},
                                 {QStringLiteral("primitive"), QStringLiteral("image")},
                                 {QStringLiteral("source"), QStringLiteral("/content/m/i-a")}}));
    const QJsonObject frame = ManifestParser::renderDescriptor(manifest.pages[0].primitives[1]);
    QCOMPARE(frame.value(QLatin1String("source")).toString(), QStringLiteral("https://example.com/"));
    QCOMPARE(frame.value(QLatin1String("title")).toString(), QStringLiteral("T"));
    QCOMPARE(frame.value(QLatin1String("source_index")).toInt(), 1);
}

void tst_manifest_values::expectedVersionOverloads()
{
    const QByteArray bytes = documentWith({pageJson(QStringLiteral("p1"), {imageJson(QStringLiteral("i"))})});
    QVERIFY(std::holds_alternative<Manifest>(ManifestParser::parse(bytes, origin)));
    QVERIFY(std::holds_alternative<Manifest>(ManifestParser::parse(bytes, origin, -1)));
    QVERIFY(std::holds_alternative<Manifest>(ManifestParser::parse(bytes, origin, 3)));
    const auto refused = ManifestParser::parse(bytes, origin, 2);
    QVERIFY(std::holds_alternative<ManifestError>(refused));
    QCOMPARE(std::get<ManifestError>(refused).code, QStringLiteral("manifest_version_unexpected"));
    // The document is kept whole, including keys the model has no field for.
    const Manifest manifest = parsed(documentWith({}, {{QStringLiteral("etag"), QStringLiteral("\"e1\"")}}));
    QCOMPARE(manifest.document.value(QLatin1String("etag")).toString(), QStringLiteral("\"e1\""));
    QCOMPARE(manifest.document.value(QLatin1String("schemaVersion")).toInt(), 3);
}

QTEST_GUILESS_MAIN(tst_manifest_values)
#include "tst_manifest_values.moc"
