#include "ads/AdPresentation.h"
#include "manifest/LayoutContract.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

using namespace talvorine;

Q_DECLARE_METATYPE(std::optional<QSize>)
Q_DECLARE_METATYPE(talvorine::AdPresentation::VideoProgress)

class TestAdPresentation : public QObject {
    Q_OBJECT
private slots:
    // The ad page over creatives and fits: the parts every ad page shares, then what the kind,
    // the fit and the image header decide, and whether the page can be laid out at all.
    void page_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("fit");
        QTest::addColumn<QString>("codecs");
        QTest::addColumn<std::optional<QSize>>("header");
        QTest::addColumn<QString>("expected"); // advance | fit | primitive size | item size
        QTest::addColumn<bool>("laidOut");
        const std::optional<QSize> none;
        QTest::newRow("image, contain") << "image" << "contain" << "" << std::optional(QSize(640, 360))
            << R"({"afterMs":5000,"mode":"duration"}|contain|640x360|640x360)" << true;
        QTest::newRow("image, cover, codecs kept") << "image" << "cover" << "avif" << std::optional(QSize(3, 7))
            << R"({"afterMs":5000,"mode":"duration"}|cover|3x7|3x7)" << true;
        QTest::newRow("image, unreadable header") << "image" << "contain" << "" << none
            << R"({"afterMs":5000,"mode":"duration"}|contain|-1x-1|-1x-1)" << false;
        QTest::newRow("image, fill: no size needed") << "image" << "fill" << "" << none
            << R"({"afterMs":5000,"mode":"duration"}|fill|none|-1x-1)" << true;
        QTest::newRow("video, contain shown as fill") << "video" << "contain" << "avc1" << none
            << R"({"maxMs":35000,"mode":"media_end"}|fill|none|none)" << true;
        QTest::newRow("video, header ignored") << "video" << "cover" << "" << std::optional(QSize(9, 9))
            << R"({"maxMs":35000,"mode":"media_end"}|fill|none|none)" << true;
    }

    void page()
    {
        QFETCH(QString, kind);
        QFETCH(QString, fit);
        QFETCH(QString, codecs);
        QFETCH(std::optional<QSize>, header);
        QFETCH(QString, expected);
        QFETCH(bool, laidOut);
        AdOccurrence::Resolved decision;
        decision.decisionId = "dec_7";
        decision.kind = kind;
        decision.fit = fit;
        decision.codecs = codecs;
        decision.durationMs = 5000;
        decision.sha256 = QString(64, 'a');
        decision.bytes = 1234;
        decision.contentType = kind + "/x";
        const QUrl file = QUrl::fromLocalFile("/state/ad-cache/objects/aa");
        const QSizeF viewport(1280, 720);
        const Page page = AdPresentation::page(decision, file, viewport, header);

        QCOMPARE(page.id, QStringLiteral("ad_dec_7"));
        QCOMPARE(page.contractVersion, QStringLiteral("talvorine.canvas/v1"));
        QCOMPARE(QSizeF(page.canvas.width, page.canvas.height), viewport);
        QCOMPARE(page.canvas.viewportFit, QStringLiteral("contain"));
        QCOMPARE(page.canvas.background.kind, 0);
        QCOMPARE(page.canvas.background.color, QStringLiteral("#000000FF"));
        QVERIFY(page.canvas.background.stops.isEmpty());
        QCOMPARE(page.transition, (QJsonObject{{"type", "crossfade"}, {"durationMs", 0}}));
        QCOMPARE(page.type, PageType::content);
        QVERIFY(!page.visibility && !page.audioCue);
        QCOMPARE(page.primitives.size(), 1);
        const Primitive& primitive = page.primitives.first();
        QCOMPARE(primitive.id, QStringLiteral("adfill_dec_7"));
        QCOMPARE(primitive.kind, kind == "video" ? PrimitiveKind::video : PrimitiveKind::image);
        QCOMPARE(primitive.rect, QRectF(0, 0, 1280, 720));
        QCOMPARE(primitive.layer, 0);
        QVERIFY(!primitive.enterType && !primitive.motion);
        QCOMPARE(primitive.binding.value("type").toString(), kind);
        QCOMPARE(primitive.binding.value("oneAtATime"), QJsonValue(false));
        const QJsonArray items = primitive.binding.value("items").toArray();
        QCOMPARE(items.size(), 1);
        QJsonObject item = items.first().toObject();
        const auto size = [](std::optional<QSizeF> s) {
            return s ? QStringLiteral("%1x%2").arg(s->width()).arg(s->height()) : QStringLiteral("none");
        };
        const QJsonObject itemSize = item.take("intrinsicSize").toObject();
        const QStringList actual{
            QString::fromUtf8(QJsonDocument(page.advance).toJson(QJsonDocument::Compact)),
            primitive.contentFit, size(primitive.intrinsicSize),
            itemSize.isEmpty() ? "none"
                               : size(QSizeF(itemSize["width"].toDouble(), itemSize["height"].toDouble()))};
        QCOMPARE(actual.join('|'), expected);
        QJsonObject expectedItem{{"mediaId", "ad_dec_7"}, {"src", file.toString()},
                                 {"sha256", decision.sha256}, {"bytes", 1234},
                                 {"contentType", kind + "/x"}};
        if (!codecs.isEmpty())
            expectedItem.insert("codecs", codecs);
        QCOMPARE(item, expectedItem);
        QCOMPARE(mediaItems(primitive).first().src, file.toString());
        QCOMPARE(std::holds_alternative<ResolvedPage>(LayoutContract::resolveLayout(page, viewport)),
                 laidOut);
    }

    // A video ad that stops proving it plays, at each limit and one millisecond before it.
    void videoStalled_data()
    {
        QTest::addColumn<AdPresentation::VideoProgress>("progress");
        QTest::addColumn<bool>("stalled");
        using P = AdPresentation::VideoProgress;
        QTest::newRow("no first frame, 9999 ms") << P{.visitMs = 9999} << false;
        QTest::newRow("no first frame, 10 s") << P{.visitMs = 10000} << true;
        QTest::newRow("still for 9999 ms") << P{true, 60000, 20000, 9999, 30000} << false;
        QTest::newRow("still for 10 s") << P{true, 60000, 20000, 10000, 30000} << true;
        QTest::newRow("29999 ms past the duration") << P{true, 70000, 59999, 0, 30000} << false;
        QTest::newRow("30 s past the duration") << P{true, 70000, 60000, 0, 30000} << true;
    }

    void videoStalled()
    {
        QFETCH(AdPresentation::VideoProgress, progress);
        QFETCH(bool, stalled);
        QCOMPARE(AdPresentation::videoStalled(progress), stalled);
    }
};

QTEST_MAIN(TestAdPresentation)
#include "tst_adpresentation.moc"
