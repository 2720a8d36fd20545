// The layout contract against reference resolutions, its failure details, the per-primitive
// rules, snapping and clipping at the edges, paint order, and a randomized sweep over
// generated pages and viewports.

#include "manifest/LayoutContract.h"
#include "manifest/Manifest.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTest>

#include <cmath>
#include <limits>

namespace talvorine {

// Reaches the contract's private geometry helpers.
class LayoutContractProbe {
public:
    static QRectF snappedRect(double x0, double y0, double x1, double y1)
    {
        return LayoutContract::snappedRect(x0, y0, x1, y1);
    }
    static QRectF intersect(const QRectF& a, const QRectF& b) { return LayoutContract::intersect(a, b); }
};

} // namespace talvorine

using namespace talvorine;

namespace {

const double inf = std::numeric_limits<double>::infinity();
const double notANumber = std::numeric_limits<double>::quiet_NaN();

QJsonObject readJson(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

std::optional<Page> parsePage(const QJsonObject& pageJson)
{
    const QJsonObject root{{QStringLiteral("schemaVersion"), 2}, {QStringLiteral("manifestRevision"), QStringLiteral("r")},
                           {QStringLiteral("grantId"), QStringLiteral("g")}, {QStringLiteral("contentGeneration"), 1},
                           {QStringLiteral("screenId"), QStringLiteral("s")}, {QStringLiteral("screenLabel"), QStringLiteral("l")},
                           {QStringLiteral("playlistRevision"), 1}, {QStringLiteral("generatedAt"), QStringLiteral("t")},
                           {QStringLiteral("pages"), QJsonArray{pageJson}}};
    const ManifestParseResult result =
        ManifestParser::parse(QJsonDocument(root).toJson(), QUrl(QStringLiteral("https://runtime.talvorine.test")));
    const auto* manifest = std::get_if<Manifest>(&result);
    if (!manifest || manifest->pages.size() != 1 || !manifest->drops.isEmpty())
        return std::nullopt;
    return manifest->pages.first();
}

Primitive primitive(const QString& id, const QRectF& rect, const QString& fit = QStringLiteral("fill"),
                    PrimitiveKind kind = PrimitiveKind::image, qint32 layer = 0, qint32 sourceIndex = 0)
{
    Primitive p;
    p.id = id;
    p.kind = kind;
    p.rect = rect;
    p.contentFit = fit;
    p.layer = layer;
    p.sourceIndex = sourceIndex;
    return p;
}

// A 1280x1024 canvas shown with "fill" on a 1280x1024 viewport maps canvas units 1:1.
Page oneToOnePage(const QList<Primitive>& primitives)
{
    Page page;
    page.id = QStringLiteral("page");
    page.canvas.width = 1280;
    page.canvas.height = 1024;
    page.canvas.viewportFit = QStringLiteral("fill");
    page.transition = QJsonObject{{QStringLiteral("type"), QStringLiteral("crossfade")},
                                  {QStringLiteral("durationMs"), 400}};
    page.primitives = primitives;
    for (qsizetype i = 0; i < page.primitives.size(); ++i)
        page.primitives[i].sourceIndex = qint32(i);
    return page;
}

const QSizeF oneToOne(1280, 1024);

ResolvedPage resolved(const Page& page, const QSizeF& viewport = oneToOne)
{
    LayoutResult result = LayoutContract::resolveLayout(page, viewport);
    if (const auto* failure = std::get_if<LayoutFailure>(&result))
        qFatal("unexpected layout failure %s", qPrintable(failure->detail));
    return std::get<ResolvedPage>(std::move(result));
}

bool whole(double value)
{
    return std::isfinite(value) && std::floor(value) == value;
}

bool wholeRect(const QRectF& rect)
{
    return whole(rect.x()) && whole(rect.y()) && whole(rect.width()) && whole(rect.height())
        && rect.width() >= 0 && rect.height() >= 0;
}

bool inside(const QRectF& inner, const QRectF& outer)
{
    if (inner.width() == 0 || inner.height() == 0)
        return true;
    return inner.x() >= outer.x() && inner.y() >= outer.y()
        && inner.x() + inner.width() <= outer.x() + outer.width()
        && inner.y() + inner.height() <= outer.y() + outer.height();
}

} // namespace

Q_DECLARE_METATYPE(Page)

class tst_layout_contract : public QObject {
    Q_OBJECT

private slots:
    void referenceResolutions_data();
    void referenceResolutions();
    void fixtureComparisonIsStrict();
    void parsedPageResolvesLikeHandBuilt();
    void failures_data();
    void failures();
    void primitiveRules_data();
    void primitiveRules();
    void snapping_data();
    void snapping();
    void intersection();
    void outsideTheCanvas_data();
    void outsideTheCanvas();
    void coverContentBeyondTheRectangle();
    void paintOrder();
    void effectsAreRechecked();
    void overflowingGeometryIsLeftOut();
    void randomizedPages();
};

void tst_layout_contract::referenceResolutions_data()
{
    QTest::addColumn<QString>("path");
    const QDir dir(LayoutContract::sharedFixtureDirectory());
    QVERIFY(QDir::isAbsolutePath(dir.path()));
    const QStringList files = dir.entryList({QStringLiteral("*.json")}, QDir::Files, QDir::Name);
    QVERIFY(files.size() >= 3);
    for (const QString& file : files)
        QTest::newRow(qPrintable(file)) << dir.filePath(file);
}

void tst_layout_contract::referenceResolutions()
{
    QFETCH(QString, path);
    const QJsonObject fixture = readJson(path);
    const std::optional<Page> page = parsePage(fixture.value(QLatin1String("page")).toObject());
    QVERIFY(page);
    const QJsonArray viewport = fixture.value(QLatin1String("viewport")).toArray();
    const ResolvedPage result = resolved(*page, QSizeF(viewport.at(0).toDouble(), viewport.at(1).toDouble()));
    const QJsonObject expected = fixture.value(QLatin1String("expected")).toObject();
    QVERIFY2(LayoutContract::exactlyMatchesFixture(result, expected),
             QJsonDocument(LayoutContract::describe(result)).toJson(QJsonDocument::Compact).constData());
}

void tst_layout_contract::fixtureComparisonIsStrict()
{
    const QJsonObject fixture = readJson(LayoutContract::sharedFixtureDirectory() + QStringLiteral("/worked_contain.json"));
    const ResolvedPage result = resolved(*parsePage(fixture.value(QLatin1String("page")).toObject()), QSizeF(1280, 1024));
    const QJsonObject expected = fixture.value(QLatin1String("expected")).toObject();
    QVERIFY(LayoutContract::exactlyMatchesFixture(result, expected));

    const auto changed = [&expected](const QString& path, const QJsonValue& value) {
        // path: "a/b/0/c" within the description
        const QStringList steps = path.split(QLatin1Char('/'));
        std::function<QJsonValue(const QJsonValue&, int)> set = [&](const QJsonValue& node, int i) -> QJsonValue {
            if (i == steps.size())
                return value;
            if (node.isArray()) {
                QJsonArray array = node.toArray();
                array.replace(steps[i].toInt(), set(array.at(steps[i].toInt()), i + 1));
                return array;
            }
            QJsonObject object = node.toObject();
            object.insert(steps[i], set(object.value(steps[i]), i + 1));
            return object;
        };
        return set(expected, 0).toObject();
    };
    QVERIFY(!LayoutContract::exactlyMatchesFixture(result, changed("pageId", QStringLiteral("other"))));
    QVERIFY(!LayoutContract::exactlyMatchesFixture(result, changed("background", QStringLiteral("#102030FE"))));
    QVERIFY(!LayoutContract::exactlyMatchesFixture(result, changed("canvasClipRect/y", 153)));
    QVERIFY(!LayoutContract::exactlyMatchesFixture(result, changed("primitives/0/clipRect/width", 81)));
    QVERIFY(!LayoutContract::exactlyMatchesFixture(result, changed("primitives/1/contentRect/x", 134)));
    QVERIFY(!LayoutContract::exactlyMatchesFixture(result, changed("primitives/1/paintOrder", 0)));
    QVERIFY(!LayoutContract::exactlyMatchesFixture(result, changed("primitives/1/enter/stagger", 12)));
    QVERIFY(!LayoutContract::exactlyMatchesFixture(result, changed("primitives/0/motion", QJsonObject{})));
    QVERIFY(!LayoutContract::exactlyMatchesFixture(result, changed("transition/outgoingOpacityPermille", 1)));
    QJsonObject fewer = expected;
    QJsonArray primitives = fewer.value(QLatin1String("primitives")).toArray();
    primitives.removeLast();
    fewer.insert(QStringLiteral("primitives"), primitives);
    QVERIFY(!LayoutContract::exactlyMatchesFixture(result, fewer));
    // The description the contract writes is itself a matching fixture.
    QVERIFY(LayoutContract::exactlyMatchesFixture(result, LayoutContract::describe(result)));
}

void tst_layout_contract::parsedPageResolvesLikeHandBuilt()
{
    const QJsonObject fixture = readJson(LayoutContract::sharedFixtureDirectory() + QStringLiteral("/worked_contain.json"));
    const std::optional<Page> parsed = parsePage(fixture.value(QLatin1String("page")).toObject());
    QVERIFY(parsed);

    Page hand;
    hand.id = QStringLiteral("worked");
    hand.canvas.width = 1920;
    hand.canvas.height = 1080;
    hand.canvas.viewportFit = QStringLiteral("contain");
    hand.canvas.background.color = QStringLiteral("#102030FF");
    hand.transition = QJsonObject{{QStringLiteral("type"), QStringLiteral("crossfade")}, {QStringLiteral("durationMs"), 500}};
    Primitive box = primitive(QStringLiteral("box"), QRectF(100, 100, 800, 600), QStringLiteral("contain"),
                              PrimitiveKind::image, 2, 0);
    box.intrinsicSize = QSizeF(1000, 1000);
    box.enterType = QStringLiteral("fade-in");
    box.enterStagger = 12;
    Primitive corner = primitive(QStringLiteral("corner"), QRectF(1800, 1000, 400, 200), QStringLiteral("fill"),
                                 PrimitiveKind::image, 1, 1);
    corner.intrinsicSize = QSizeF(10, 10);
    hand.primitives = {box, corner};

    const QSizeF viewport(1280, 1024);
    QCOMPARE(LayoutContract::describe(resolved(*parsed, viewport)), LayoutContract::describe(resolved(hand, viewport)));
    QVERIFY(LayoutContract::exactlyMatchesFixture(resolved(hand, viewport),
                                                  fixture.value(QLatin1String("expected")).toObject()));
}

void tst_layout_contract::failures_data()
{
    QTest::addColumn<Page>("page");
    QTest::addColumn<QSizeF>("viewport");
    QTest::addColumn<QString>("detail");
    const Page base = oneToOnePage({primitive(QStringLiteral("a"), QRectF(0, 0, 10, 10))});
    const QString size = QStringLiteral("canvas_viewport_or_primitive_count");
    const QString transition = QStringLiteral("transition_invalid");

    QTest::newRow("viewport width 0") << base << QSizeF(0, 1080) << size;
    QTest::newRow("viewport NaN") << base << QSizeF(notANumber, 1080) << size;
    Page page = base;
    page.canvas.width = inf;
    QTest::newRow("canvas width infinite") << page << oneToOne << size;
    page = base;
    page.canvas.height = -5;
    QTest::newRow("canvas height negative") << page << oneToOne << size;
    page = base;
    for (int i = 0; i < 24; ++i)
        page.primitives.append(primitive(QStringLiteral("p%1").arg(i), QRectF(0, 0, 1, 1)));
    QTest::newRow("25 primitives") << page << oneToOne << size;
    page.primitives.removeLast();
    QTest::newRow("24 primitives") << page << oneToOne << QString();
    page = base;
    page.primitives.clear();
    QTest::newRow("no primitives") << page << oneToOne << size;
    Page adslot;
    adslot.id = QStringLiteral("ad");
    adslot.type = PageType::adslot;
    adslot.canvas.width = 0;
    adslot.canvas.height = 0;
    QTest::newRow("ad-slot page as parsed") << adslot << oneToOne << size;
    for (const char* version : {"talvorine.canvas/v2", "Talvorine.canvas/v1", ""}) {
        page = base;
        page.contractVersion = QString::fromLatin1(version);
        QTest::addRow("contract version '%s'", version) << page << oneToOne << size;
    }
    for (const char* id : {"9page", "page.one", "page\n", ""}) {
        page = base;
        page.id = QString::fromLatin1(id);
        QTest::addRow("page id %d", int(qstrlen(id))) << page << oneToOne << size;
    }
    page = base;
    page.id = QString(65, QLatin1Char('p'));
    QTest::newRow("page id 65 chars") << page << oneToOne << size;
    page = base;
    page.canvas.viewportFit = QStringLiteral("stretch");
    QTest::newRow("unknown viewport fit") << page << oneToOne << size;
    page = base;
    page.canvas.background.color = QStringLiteral("#000000ff");
    QTest::newRow("invalid background") << page << oneToOne << size;
    page = base;
    page.canvas.width = 1e-320;
    QTest::newRow("scale overflows") << page << oneToOne << size;

    page = base;
    Primitive badId = primitive(QStringLiteral("bad id"), QRectF(0, 0, 5, 5), QStringLiteral("fill"), PrimitiveKind::iframe);
    page.primitives = {primitive(QStringLiteral("w1"), QRectF(0, 0, 5, 5), QStringLiteral("fill"), PrimitiveKind::iframe),
                       primitive(QStringLiteral("w2"), QRectF(0, 0, 5, 5), QStringLiteral("fill"), PrimitiveKind::application),
                       badId};
    QTest::newRow("three web primitives") << page << oneToOne << QStringLiteral("web_primitive_count_invalid");

    const auto withTransition = [&base](const QJsonObject& transitionObject) {
        Page p = base;
        p.transition = transitionObject;
        return p;
    };
    const auto t = [](const QJsonValue& type, const QJsonValue& duration, const QJsonValue& elapsed = QJsonValue::Undefined) {
        QJsonObject object;
        if (!type.isUndefined())
            object.insert(QStringLiteral("type"), type);
        if (!duration.isUndefined())
            object.insert(QStringLiteral("durationMs"), duration);
        if (!elapsed.isUndefined())
            object.insert(QStringLiteral("elapsedMs"), elapsed);
        return object;
    };
    const QJsonValue fade(QStringLiteral("crossfade"));
    QTest::newRow("duration 60001") << withTransition(t(fade, 60001)) << oneToOne << transition;
    QTest::newRow("duration 60000") << withTransition(t(fade, 60000)) << oneToOne << QString();
    QTest::newRow("duration fraction") << withTransition(t(fade, 1.5)) << oneToOne << transition;
    QTest::newRow("duration string") << withTransition(t(fade, QStringLiteral("500"))) << oneToOne << transition;
    QTest::newRow("duration null") << withTransition(t(fade, QJsonValue::Null)) << oneToOne << transition;
    QTest::newRow("no duration") << withTransition(t(fade, QJsonValue::Undefined)) << oneToOne << transition;
    QTest::newRow("elapsed -1") << withTransition(t(fade, 500, -1)) << oneToOne << transition;
    QTest::newRow("elapsed beyond duration") << withTransition(t(fade, 500, 501)) << oneToOne << transition;
    QTest::newRow("elapsed fraction") << withTransition(t(fade, 500, 1.5)) << oneToOne << transition;
    QTest::newRow("no type") << withTransition(t(QJsonValue::Undefined, 500)) << oneToOne << transition;
    QTest::newRow("type case") << withTransition(t(QStringLiteral("Crossfade"), 500)) << oneToOne << transition;
    QTest::newRow("type number") << withTransition(t(3, 500)) << oneToOne << transition;
    QTest::newRow("empty transition") << withTransition({}) << oneToOne << transition;

    page = base;
    page.primitives = {primitive(QStringLiteral("a"), QRectF(0, 0, 5, 5), QStringLiteral("fill"), PrimitiveKind::image, 1025)};
    QTest::newRow("only primitive layer 1025") << page << oneToOne << QStringLiteral("primitive_invalid");
}

void tst_layout_contract::failures()
{
    QFETCH(Page, page);
    QFETCH(QSizeF, viewport);
    QFETCH(QString, detail);
    const LayoutResult result = LayoutContract::resolveLayout(page, viewport);
    if (detail.isEmpty()) {
        QVERIFY(std::holds_alternative<ResolvedPage>(result));
        return;
    }
    const auto* failure = std::get_if<LayoutFailure>(&result);
    QVERIFY(failure);
    QCOMPARE(failure->code, QStringLiteral("layout_contract_invalid"));
    QCOMPARE(failure->detail, detail);
}

void tst_layout_contract::primitiveRules_data()
{
    QTest::addColumn<Primitive>("candidate");
    QTest::addColumn<bool>("resolves");
    const QRectF r(10, 10, 100, 100);
    QTest::newRow("valid") << primitive(QStringLiteral("c"), r) << true;
    QTest::newRow("id with dot") << primitive(QStringLiteral("c.1"), r) << false;
    QTest::newRow("id digit first") << primitive(QStringLiteral("1c"), r) << false;
    QTest::newRow("id line feed") << primitive(QStringLiteral("c\n"), r) << false;
    QTest::newRow("id 64") << primitive(QString(64, QLatin1Char('c')), r) << true;
    QTest::newRow("rect NaN") << primitive(QStringLiteral("c"), QRectF(notANumber, 0, 5, 5)) << false;
    QTest::newRow("rect width 0") << primitive(QStringLiteral("c"), QRectF(0, 0, 0, 5)) << false;
    QTest::newRow("layer -1") << primitive(QStringLiteral("c"), r, QStringLiteral("fill"), PrimitiveKind::image, -1) << false;
    QTest::newRow("layer 1024") << primitive(QStringLiteral("c"), r, QStringLiteral("fill"), PrimitiveKind::image, 1024) << true;
    Primitive p = primitive(QStringLiteral("c"), r, QStringLiteral("cover"));
    QTest::newRow("cover without intrinsic size") << p << false;
    p.intrinsicSize = QSizeF(4, 3);
    QTest::newRow("cover with intrinsic size") << p << true;
    p.intrinsicSize = QSizeF(0, 3);
    QTest::newRow("intrinsic width 0") << p << false;
    p.intrinsicSize = QSizeF(inf, 3);
    QTest::newRow("intrinsic width infinite") << p << false;
    QTest::newRow("fit unknown") << primitive(QStringLiteral("c"), r, QStringLiteral("Fill")) << false;
    QTest::newRow("iframe contain") << primitive(QStringLiteral("c"), r, QStringLiteral("contain"), PrimitiveKind::iframe) << false;
    QTest::newRow("application fill") << primitive(QStringLiteral("c"), r, QStringLiteral("fill"), PrimitiveKind::application) << true;
    QTest::newRow("stream contain no size") << primitive(QStringLiteral("c"), r, QStringLiteral("contain"), PrimitiveKind::stream) << false;
    for (PrimitiveKind kind : {PrimitiveKind::text, PrimitiveKind::box, PrimitiveKind::line})
        QTest::addRow("kind %d", int(kind)) << primitive(QStringLiteral("c"), r, QStringLiteral("fill"), kind) << false;
}

void tst_layout_contract::primitiveRules()
{
    QFETCH(Primitive, candidate);
    QFETCH(bool, resolves);
    const ResolvedPage page = resolved(oneToOnePage({primitive(QStringLiteral("anchor"), QRectF(0, 0, 1, 1)), candidate}));
    QCOMPARE(page.primitives.size(), resolves ? 2 : 1);
}

void tst_layout_contract::snapping_data()
{
    QTest::addColumn<QList<double>>("edges");
    QTest::addColumn<QRectF>("expected");
    QTest::newRow("halves up") << QList<double>{10.5, 0, 20.49, 1} << QRectF(11, 0, 9, 1);
    QTest::newRow("negative halves") << QList<double>{0, -0.5, 1, -2.5} << QRectF(0, 0, 1, 0);
    QTest::newRow("minus 2.5") << QList<double>{-2.5, 0, 3, 1} << QRectF(-2, 0, 5, 1);
    QTest::newRow("NaN becomes 0") << QList<double>{notANumber, notANumber, 4, 4} << QRectF(0, 0, 4, 4);
    QTest::newRow("saturates") << QList<double>{-1e300, 0, 1e300, 1}
                               << QRectF(-2147483648.0, 0, 4294967295.0, 1);
    QTest::newRow("infinite saturates") << QList<double>{0, 0, inf, inf} << QRectF(0, 0, 2147483647.0, 2147483647.0);
}

void tst_layout_contract::snapping()
{
    QFETCH(QList<double>, edges);
    QFETCH(QRectF, expected);
    const QRectF rect = LayoutContractProbe::snappedRect(edges[0], edges[1], edges[2], edges[3]);
    QCOMPARE(rect, expected);
}

void tst_layout_contract::intersection()
{
    QCOMPARE(LayoutContractProbe::intersect(QRectF(0, 0, 10, 10), QRectF(5, 5, 10, 10)), QRectF(5, 5, 5, 5));
    QCOMPARE(LayoutContractProbe::intersect(QRectF(0, 0, 10, 10), QRectF(20, 30, 5, 5)), QRectF(20, 30, 0, 0));
    QCOMPARE(LayoutContractProbe::intersect(QRectF(0, 0, 10, 10), QRectF(10, 0, 5, 5)), QRectF(10, 0, 0, 0));
}

void tst_layout_contract::outsideTheCanvas_data()
{
    QTest::addColumn<QRectF>("rect");
    QTest::addColumn<QRectF>("clip");
    QTest::newRow("beyond the right") << QRectF(1300, 300, 100, 100) << QRectF(1300, 300, 0, 0);
    QTest::newRow("beyond the left") << QRectF(-200, 300, 100, 100) << QRectF(0, 300, 0, 0);
    QTest::newRow("partly out") << QRectF(1200, 1000, 200, 100) << QRectF(1200, 1000, 80, 24);
}

void tst_layout_contract::outsideTheCanvas()
{
    QFETCH(QRectF, rect);
    QFETCH(QRectF, clip);
    const ResolvedPage page = resolved(oneToOnePage({primitive(QStringLiteral("a"), rect)}));
    const ResolvedPrimitive& p = page.primitives.at(0);
    QCOMPARE(p.viewportRect, rect);
    QCOMPARE(p.clipRect, clip);
    QCOMPARE(p.contentClipRect.width() * p.contentClipRect.height(), clip.width() * clip.height());
    QCOMPARE(p.readinessGeometry, p.viewportRect);
}

void tst_layout_contract::coverContentBeyondTheRectangle()
{
    Primitive p = primitive(QStringLiteral("a"), QRectF(100, 100, 400, 100), QStringLiteral("cover"));
    p.intrinsicSize = QSizeF(100, 100);
    Primitive c = primitive(QStringLiteral("b"), QRectF(100, 300, 400, 100), QStringLiteral("contain"));
    c.intrinsicSize = QSizeF(100, 100);
    const ResolvedPage page = resolved(oneToOnePage({p, c}));
    QCOMPARE(page.primitives[0].contentRect, QRectF(100, -50, 400, 400));
    QCOMPARE(page.primitives[0].contentClipRect, page.primitives[0].clipRect);
    QCOMPARE(page.primitives[1].contentRect, QRectF(250, 300, 100, 100));
    QCOMPARE(page.primitives[1].contentClipRect, QRectF(250, 300, 100, 100));
}

void tst_layout_contract::paintOrder()
{
    const ResolvedPage page = resolved(oneToOnePage({
        primitive(QStringLiteral("a"), QRectF(0, 0, 5, 5), QStringLiteral("fill"), PrimitiveKind::image, 5),
        primitive(QStringLiteral("b"), QRectF(0, 0, 5, 5), QStringLiteral("fill"), PrimitiveKind::image, 0),
        primitive(QStringLiteral("c"), QRectF(0, 0, 5, 5), QStringLiteral("fill"), PrimitiveKind::image, 5),
        primitive(QStringLiteral("b"), QRectF(0, 0, 9, 9), QStringLiteral("fill"), PrimitiveKind::image, 0),
    }));
    QStringList order;
    for (const ResolvedPrimitive& p : page.primitives)
        order << QStringLiteral("%1:%2:%3").arg(p.id).arg(p.sourceIndex).arg(p.paintOrder);
    QCOMPARE(order, (QStringList{QStringLiteral("b:1:0"), QStringLiteral("a:0:1"), QStringLiteral("c:2:2")}));

    // A primitive left out for another rule does not reserve its id.
    const ResolvedPage second = resolved(oneToOnePage({
        primitive(QStringLiteral("a"), QRectF(0, 0, 0, 5)),
        primitive(QStringLiteral("a"), QRectF(0, 0, 7, 5)),
    }));
    QCOMPARE(second.primitives.size(), 1);
    QCOMPARE(second.primitives[0].viewportRect.width(), 7.0);
}

void tst_layout_contract::effectsAreRechecked()
{
    QList<Primitive> primitives;
    const auto add = [&primitives](const QString& id) -> Primitive& {
        primitives.append(primitive(id, QRectF(0, 0, 5, 5)));
        return primitives.last();
    };
    Primitive& unknownEnter = add(QStringLiteral("e0"));
    unknownEnter.enterType = QStringLiteral("slide");
    unknownEnter.enterStagger = 3;
    Primitive& high = add(QStringLiteral("e1"));
    high.enterType = QStringLiteral("zoom-in");
    high.enterStagger = 12;
    Primitive& low = add(QStringLiteral("e2"));
    low.enterType = QStringLiteral("zoom-in");
    low.enterStagger = -3;
    Primitive& staggerOnly = add(QStringLiteral("e3"));
    staggerOnly.enterStagger = 2;

    Primitive::Motion path;
    path.type = Primitive::Motion::path;
    path.rate = 10000;
    path.points.assign(64, ObjectMotionPoint{1, 2});
    add(QStringLiteral("m0")).motion = path;
    Primitive::Motion tooMany = path;
    tooMany.points.assign(65, ObjectMotionPoint{1, 2});
    add(QStringLiteral("m1")).motion = tooMany;
    Primitive::Motion fast = path;
    fast.rate = 10000.5;
    add(QStringLiteral("m2")).motion = fast;
    Primitive::Motion spin;
    spin.type = Primitive::Motion::spin;
    spin.spinDirection = QStringLiteral("cw");
    spin.spinSpeed = QStringLiteral("slow");
    add(QStringLiteral("m3")).motion = spin;
    Primitive& webSpin = add(QStringLiteral("m4"));
    webSpin.kind = PrimitiveKind::iframe;
    webSpin.motion = spin;
    Primitive::Motion drift;
    drift.type = Primitive::Motion::drift;
    drift.driftZoom = QStringLiteral("in");
    drift.driftDirection = QStringLiteral("north");
    drift.driftSpeed = QStringLiteral("slow");
    add(QStringLiteral("m5")).motion = drift;
    Primitive& webPath = add(QStringLiteral("m6"));
    webPath.kind = PrimitiveKind::application;
    webPath.motion = path;

    const ResolvedPage page = resolved(oneToOnePage(primitives));
    QCOMPARE(page.primitives.size(), primitives.size());
    QVERIFY(!page.primitives[0].enterType && !page.primitives[0].enterStagger);
    QCOMPARE(page.primitives[1].enterStagger, std::optional<qint32>(8));
    QCOMPARE(page.primitives[2].enterStagger, std::optional<qint32>(0));
    QVERIFY(!page.primitives[3].enterStagger);
    QVERIFY(page.primitives[4].motion);
    QVERIFY(!page.primitives[5].motion);
    QVERIFY(!page.primitives[6].motion);
    QVERIFY(page.primitives[7].motion);
    QVERIFY(!page.primitives[8].motion);
    QVERIFY(!page.primitives[9].motion);
    QVERIFY(page.primitives[10].motion);
}

void tst_layout_contract::overflowingGeometryIsLeftOut()
{
    // Finite values whose mapped edges overflow, or whose cover placement would compute
    // inf - inf, are left out instead of reaching an integer conversion.
    Primitive huge = primitive(QStringLiteral("huge"), QRectF(1e308, 0, 1e308, 10));
    Primitive cover = primitive(QStringLiteral("cover"), QRectF(0, 0, 1e308, 10), QStringLiteral("cover"));
    cover.intrinsicSize = QSizeF(1e-308, 1);
    Page page = oneToOnePage({huge, cover, primitive(QStringLiteral("ok"), QRectF(0, 0, 10, 10))});
    page.canvas.width = 640; // scale 2 doubles 1e308 beyond the double range
    const ResolvedPage result = resolved(page);
    QCOMPARE(result.primitives.size(), 1);
    QCOMPARE(result.primitives[0].id, QStringLiteral("ok"));

    Page wide = oneToOnePage({primitive(QStringLiteral("wide"), QRectF(-1e12, 0, 2e12, 10))});
    const ResolvedPage saturated = resolved(wide);
    QCOMPARE(saturated.primitives[0].viewportRect, QRectF(-2147483648.0, 0, 4294967295.0, 10));
    QCOMPARE(saturated.primitives[0].clipRect, QRectF(0, 0, 1280, 10));
}

void tst_layout_contract::randomizedPages()
{
    QRandomGenerator random(20261207);
    const QStringList fits{QStringLiteral("contain"), QStringLiteral("cover"), QStringLiteral("fill")};
    const QStringList transitions{QStringLiteral("crossfade"), QStringLiteral("swipe-left"), QStringLiteral("swipe-right"),
                                  QStringLiteral("swipe-up"), QStringLiteral("swipe-down")};
    const auto number = [&random](double low, double high) { return low + random.generateDouble() * (high - low); };
    const auto extreme = [&random, &number]() {
        switch (random.bounded(8)) {
        case 0:
            return number(-1e300, 1e300);
        case 1:
            return number(-1e9, 1e9);
        case 2:
            return double(random.bounded(5000)) - 1000.0 + 0.5;
        default:
            return number(-500, 4000);
        }
    };
    int resolvedPages = 0;
    for (int round = 0; round < 3000; ++round) {
        Page page;
        page.id = QStringLiteral("p%1").arg(round);
        page.canvas.width = random.bounded(10) == 0 ? number(1e-300, 1e300) : number(1, 8000);
        page.canvas.height = random.bounded(10) == 0 ? number(1e-300, 1e300) : number(1, 8000);
        page.canvas.viewportFit = fits.at(random.bounded(3));
        const int duration = int(random.bounded(60001));
        const QString type = transitions.at(random.bounded(5));
        page.transition = QJsonObject{{QStringLiteral("type"), type}, {QStringLiteral("durationMs"), duration}};
        const int count = 1 + int(random.bounded(24));
        for (int i = 0; i < count; ++i) {
            Primitive p = primitive(QStringLiteral("x%1").arg(int(random.bounded(30))),
                                    QRectF(extreme(), extreme(), std::abs(extreme()) + 0.25, std::abs(extreme()) + 0.25),
                                    fits.at(random.bounded(3)), PrimitiveKind(random.bounded(4)),
                                    qint32(random.bounded(6)), qint32(i));
            if (p.kind == PrimitiveKind::application)
                p.contentFit = QStringLiteral("fill");
            if (random.bounded(4) != 0)
                p.intrinsicSize = QSizeF(number(1e-6, 1e6), number(1e-6, 1e6));
            page.primitives.append(p);
        }
        const QSizeF viewport(number(1, 8000), number(1, 8000));
        const LayoutResult result = LayoutContract::resolveLayout(page, viewport);
        if (!std::holds_alternative<ResolvedPage>(result))
            continue;
        ++resolvedPages;
        const ResolvedPage& out = std::get<ResolvedPage>(result);
        const QRectF view(0, 0, std::floor(viewport.width() + 0.5), std::floor(viewport.height() + 0.5));
        QVERIFY(wholeRect(out.canvasViewportRect));
        QVERIFY(inside(out.canvasClipRect, view));
        for (qsizetype i = 0; i < out.primitives.size(); ++i) {
            const ResolvedPrimitive& p = out.primitives.at(i);
            QVERIFY(wholeRect(p.viewportRect) && wholeRect(p.clipRect) && wholeRect(p.contentRect)
                    && wholeRect(p.contentClipRect));
            QVERIFY2(inside(p.clipRect, view), qPrintable(QStringLiteral("round %1").arg(round)));
            QVERIFY(inside(p.contentClipRect, p.clipRect));
            QCOMPARE(p.paintOrder, qint32(i));
            if (i > 0) {
                const ResolvedPrimitive& before = out.primitives.at(i - 1);
                QVERIFY(before.layer < p.layer || (before.layer == p.layer && before.sourceIndex <= p.sourceIndex));
            }
        }
        const QByteArray typeBytes = type.toUtf8();
        const std::string_view typeView(typeBytes.constData(), std::size_t(typeBytes.size()));
        QCOMPARE(out.transition.pose, PageTransitionRules::pose(typeView, duration, duration));
        const TransitionPose start = PageTransitionRules::pose(typeView, duration, 0);
        const TransitionPose end = PageTransitionRules::pose(typeView, duration, duration);
        if (duration > 0) {
            QCOMPARE(start.incomingOpacityPermille, type == QLatin1String("crossfade") ? 0 : 1000);
            QCOMPARE(start.incomingTranslateXPermille + start.incomingTranslateYPermille,
                     type == QLatin1String("swipe-left") || type == QLatin1String("swipe-up") ? 1000
                         : type == QLatin1String("crossfade")                                 ? 0
                                                                                              : -1000);
        }
        QCOMPARE(end.incomingOpacityPermille, 1000);
        QCOMPARE(end.incomingTranslateXPermille, 0);
        QCOMPARE(end.incomingTranslateYPermille, 0);
    }
    QVERIFY(resolvedPages > 1000);
}

QTEST_GUILESS_MAIN(tst_layout_contract)
#include "tst_layout_contract.moc"
