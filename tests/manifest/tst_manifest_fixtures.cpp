// Every fixture document through the parser: the outcome or fatal error, the surviving page
// ids, the exact drop list in order, and the fields each fixture names.

#include "manifest/Manifest.h"
#include "tests/manifest/ManifestDump.h"
#include "tests/support/TestFiles.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

using namespace talvorine;

namespace {

QString compact(const QJsonValue& value)
{
    if (value.isUndefined())
        return QStringLiteral("<missing>");
    return QString::fromUtf8(QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact));
}

} // namespace

class tst_manifest_fixtures : public QObject {
    Q_OBJECT

private slots:
    void corpus_data();
    void corpus();
};

void tst_manifest_fixtures::corpus_data()
{
    QTest::addColumn<QString>("documentPath");
    QTest::addColumn<QString>("expectedPath");
    const QDir dir(QStringLiteral(TALVORINE_MANIFEST_FIXTURES));
    const QStringList expected =
        dir.entryList({QStringLiteral("*.expected.json")}, QDir::Files, QDir::Name);
    QVERIFY2(expected.size() >= 60, "the fixture corpus is missing");
    for (const QString& name : expected) {
        const QString base = name.chopped(int(qstrlen(".expected.json")));
        QTest::newRow(qPrintable(base)) << dir.filePath(base + QStringLiteral(".json"))
                                        << dir.filePath(name);
    }
}

void tst_manifest_fixtures::corpus()
{
    QFETCH(QString, documentPath);
    QFETCH(QString, expectedPath);
    QVERIFY(QFile::exists(documentPath));
    const QJsonObject expect = QJsonDocument::fromJson(testfiles::read(expectedPath)).object();
    QVERIFY(!expect.isEmpty());

    const ManifestParseResult result =
        ManifestParser::parse(testfiles::read(documentPath), QUrl(QStringLiteral("https://runtime.talvorine.test")),
                              expect.value(QLatin1String("expectedSchemaVersion")).toInt());

    if (expect.contains(QLatin1String("error"))) {
        const QJsonArray error = expect.value(QLatin1String("error")).toArray();
        const auto* failure = std::get_if<ManifestError>(&result);
        QVERIFY2(failure, "the document was accepted");
        QCOMPARE(failure->code, error.at(0).toString());
        QCOMPARE(failure->path, error.at(1).toString());
        return;
    }
    const auto* manifest = std::get_if<Manifest>(&result);
    if (!manifest) {
        const auto& failure = std::get<ManifestError>(result);
        QFAIL(qPrintable(QStringLiteral("refused: %1 at %2").arg(failure.code, failure.path)));
    }

    QCOMPARE(manifestOutcomeName(manifestOutcome(*manifest)),
             expect.value(QLatin1String("outcome")).toString());

    QStringList pageIds;
    for (const Page& page : manifest->pages)
        pageIds.append(page.id);
    QStringList expectedIds;
    for (const QJsonValue& id : expect.value(QLatin1String("pages")).toArray())
        expectedIds.append(id.toString());
    QCOMPARE(pageIds, expectedIds);

    QStringList drops;
    for (const ManifestDrop& drop : manifest->drops)
        drops.append(QStringList{drop.pageId, drop.primitiveId, drop.code, drop.path}.join(QLatin1Char('|')));
    QStringList expectedDrops;
    for (const QJsonValue& drop : expect.value(QLatin1String("drops")).toArray()) {
        QStringList parts;
        for (const QJsonValue& part : drop.toArray())
            parts.append(part.toString());
        expectedDrops.append(parts.join(QLatin1Char('|')));
    }
    QCOMPARE(drops, expectedDrops);

    const QJsonObject dump = testing::dumpManifest(*manifest);
    const QJsonObject fields = expect.value(QLatin1String("fields")).toObject();
    for (auto it = fields.begin(); it != fields.end(); ++it) {
        const QJsonValue actual = testing::lookup(dump, it.key());
        QVERIFY2(actual == it.value(),
                 qPrintable(QStringLiteral("%1: got %2, expected %3")
                                .arg(it.key(), compact(actual), compact(it.value()))));
    }
}

QTEST_GUILESS_MAIN(tst_manifest_fixtures)
#include "tst_manifest_fixtures.moc"
