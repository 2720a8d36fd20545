#include "ads/AdPresentation.h"
#include "manifest/LayoutContract.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

using namespace talvorine;

Q_DECLARE_METATYPE(std::optional<QSize>)

class TestAdPresentation : public QObject {
    Q_OBJECT
private slots:
    // The ad page over creatives, fits and image headers; whether it can be laid out. Its ids
    // are the occurrence's, whatever the service's decision id holds.
    void page_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("fit");
        QTest::addColumn<std::optional<QSize>>("header");
        QTest::addColumn<QString>("expected"); // fit, primitive size, layout | advance | item
        const QString image = R"(|{"afterMs":5000,"mode":"duration"}|{"bytes":9,"codecs":"c1","contentType":"t",)"
                              R"("intrinsicSize":{"height":%2,"width":%1},"mediaId":"ad_occ_7","sha256":"s","src":"%3"})";
        const QString video = R"(fill none laid out|{"maxMs":35000,"mode":"media_end"}|{"bytes":9,"codecs":"c1",)"
                              R"("contentType":"t","mediaId":"ad_occ_7","sha256":"s","src":"%3"})";
        const std::optional<QSize> none;
        QTest::newRow("image, contain") << "image" << "contain" << std::optional(QSize(64, 36))
            << "contain 64x36 laid out" + image.arg("64", "36");
        QTest::newRow("image, unreadable header") << "image" << "contain" << none
            << "contain -1x-1 refused" + image.arg("-1", "-1");
        QTest::newRow("image, fill") << "image" << "fill" << none << "fill none laid out" + image.arg("-1", "-1");
        QTest::newRow("video, contain shown as fill") << "video" << "contain" << std::optional(QSize(9, 9)) << video;
    }

    void page()
    {
        QFETCH(QString, kind);
        QFETCH(QString, fit);
        QFETCH(std::optional<QSize>, header);
        QFETCH(QString, expected);
        AdOccurrence::Resolved decision;
        std::tie(decision.decisionId, decision.kind, decision.fit, decision.codecs, decision.sha256,
                 decision.contentType, decision.bytes, decision.durationMs) =
            std::tuple(QString("dec.2026.01.") + QString(52, 'x'), kind, fit, "c1", "s", "t", 9, 5000);
        const QUrl file = QUrl::fromLocalFile("/ad-cache/objects/s");
        const Page page = AdPresentation::page("occ_7", decision, file, QSizeF(1280, 720), header);
        const auto json = [](const QJsonObject& o) { return QJsonDocument(o).toJson(QJsonDocument::Compact); };
        QCOMPARE(page.id + page.canvas.viewportFit + page.canvas.background.color + json(page.transition),
                 R"(ad_occ_7contain#000000FF{"durationMs":0,"type":"crossfade"})");
        QCOMPARE(page.primitives.size(), 1);
        const Primitive& p = page.primitives.first();
        QCOMPARE(QSizeF(page.canvas.width, page.canvas.height), p.rect.size());
        QCOMPARE(p.id + p.binding.value("type").toString() + json({{"o", p.binding.value("oneAtATime")}}),
                 "adfill_occ_7" + kind + R"({"o":false})");
        QCOMPARE(p.kind, kind == "video" ? PrimitiveKind::video : PrimitiveKind::image);
        const QString size = p.intrinsicSize ? QString("%1x%2").arg(p.intrinsicSize->width()).arg(p.intrinsicSize->height()) : "none";
        const bool laidOut = std::holds_alternative<ResolvedPage>(LayoutContract::resolveLayout(page, QSizeF(1280, 720)));
        QCOMPARE(QStringList({p.contentFit + ' ' + size + (laidOut ? " laid out" : " refused"), json(page.advance),
                              json(p.binding.value("items").toArray().first().toObject())}).join('|'),
                 QString(expected).replace("%3", file.toString()));
    }
};

QTEST_MAIN(TestAdPresentation)
#include "tst_adpresentation.moc"
