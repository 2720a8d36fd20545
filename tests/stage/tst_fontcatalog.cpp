#include "stage/FontCatalog.h"

#include <QFile>
#include <QGuiApplication>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace talvorine;

namespace {

const QByteArray goodFaces = R"([
  {"file": ":/fonts/DejaVuSans.ttf", "role": "body"},
  {"file": ":/fonts/DejaVuSans-Bold.ttf", "role": "display"},
  {"file": ":/fonts/DejaVuSansMono.ttf", "role": "mono"}
])";

QByteArray catalogWith(const QByteArray& version, const QByteArray& faces)
{
    return "{\"contractVersion\": \"" + version + "\", \"faces\": " + faces + "}";
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

class TestFontCatalog : public QObject {
    Q_OBJECT
private slots:
    void shippedCatalogRegisters()
    {
        FontCatalog& catalog = FontCatalog::instance();
        QCOMPARE(&catalog, &FontCatalog::instance());
        QVERIFY(catalog.catalogError().isEmpty());
        QSignalSpy changed(&catalog, &FontCatalog::changed);
        QVERIFY(catalog.registerApplicationFonts());
        QCOMPARE(changed.size(), 1);
        QVERIFY(catalog.loaded());
        QCOMPARE(catalog.bodyFamily(), QStringLiteral("DejaVu Sans"));
        QCOMPARE(catalog.displayFamily(), QStringLiteral("DejaVu Sans"));
        QCOMPARE(catalog.monoFamily(), QStringLiteral("DejaVu Sans Mono"));
        // Every face the catalog lists is in the program.
        for (const FontCatalog::Face& face : catalog.faces())
            QVERIFY2(QFile::exists(face.file), qPrintable(face.file));
        QVERIFY(catalog.registerApplicationFonts());
        QCOMPARE(changed.size(), 1);
    }

    void catalogs_data()
    {
        QTest::addColumn<QByteArray>("catalog");
        QTest::addColumn<QString>("extraFace");
        QTest::addColumn<QByteArray>("extraBytes");
        QTest::addColumn<QString>("error");
        QTest::addColumn<bool>("registers");

        const QByteArray version = "talvorine.fonts/v1";
        QTest::newRow("good") << catalogWith(version, goodFaces) << QString() << QByteArray()
                              << QString() << true;
        QTest::newRow("missing catalog") << QByteArray() << QString() << QByteArray()
                                         << "font_catalog_unreadable" << false;
        QTest::newRow("not json") << QByteArray("{\"contractVersion\": ") << QString()
                                  << QByteArray() << "font_catalog_json_invalid" << false;
        QTest::newRow("other version") << catalogWith("talvorine.fonts/v2", goodFaces) << QString()
                                       << QByteArray() << "font_catalog_version_unsupported"
                                       << false;
        QTest::newRow("version in other case")
            << catalogWith("Talvorine.fonts/v1", goodFaces) << QString() << QByteArray()
            << "font_catalog_version_unsupported" << false;
        QTest::newRow("unknown role")
            << catalogWith(version, R"([{"file": ":/fonts/DejaVuSans.ttf", "role": "body"},
                {"file": ":/fonts/DejaVuSans.ttf", "role": "display"},
                {"file": ":/fonts/DejaVuSansMono.ttf", "role": "mono"},
                {"file": ":/fonts/DejaVuSans.ttf", "role": "serif"}])")
            << QString() << QByteArray() << "font_catalog_face_invalid" << false;
        QTest::newRow("face without file")
            << catalogWith(version, R"([{"role": "body"}])") << QString() << QByteArray()
            << "font_catalog_face_invalid" << false;
        QTest::newRow("role without face")
            << catalogWith(version, R"([{"file": ":/fonts/DejaVuSans.ttf", "role": "body"},
                {"file": ":/fonts/DejaVuSansMono.ttf", "role": "mono"}])")
            << QString() << QByteArray() << "font_catalog_role_missing" << false;
        QTest::newRow("no faces") << catalogWith(version, "[]") << QString() << QByteArray()
                                  << "font_catalog_role_missing" << false;
        QTest::newRow("face file missing")
            << catalogWith(version, R"([{"file": ":/fonts/DejaVuSans.ttf", "role": "body"},
                {"file": "@DIR@/gone.ttf", "role": "display"},
                {"file": ":/fonts/DejaVuSansMono.ttf", "role": "mono"}])")
            << QString() << QByteArray() << QString() << false;
        QTest::newRow("face file is not a font")
            << catalogWith(version, R"([{"file": ":/fonts/DejaVuSans.ttf", "role": "body"},
                {"file": ":/fonts/DejaVuSans.ttf", "role": "display"},
                {"file": "@DIR@/broken.ttf", "role": "mono"}])")
            << QStringLiteral("broken.ttf") << QByteArray(4096, 'x') << QString() << false;
    }
    void catalogs()
    {
        QFETCH(QByteArray, catalog);
        QFETCH(QString, extraFace);
        QFETCH(QByteArray, extraBytes);
        QFETCH(QString, error);
        QFETCH(bool, registers);

        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath(QStringLiteral("catalog.json"));
        if (!catalog.isEmpty())
            QVERIFY(writeFile(path, catalog.replace("@DIR@", dir.path().toUtf8())));
        if (!extraFace.isEmpty())
            QVERIFY(writeFile(dir.filePath(extraFace), extraBytes));

        FontCatalog fonts(path);
        QCOMPARE(fonts.catalogError(), error);
        QCOMPARE(fonts.bodyFamily(), QStringLiteral("sans-serif"));
        QCOMPARE(fonts.displayFamily(), QStringLiteral("sans-serif"));
        QCOMPARE(fonts.monoFamily(), QStringLiteral("monospace"));
        QVERIFY(!fonts.loaded());

        if (!registers)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("\\Afont ")));
        QCOMPARE(fonts.registerApplicationFonts(), registers);
        QCOMPARE(fonts.loaded(), registers);
        if (!registers) {
            // A failed registration leaves the fallbacks, so the scene never names a family
            // that may not exist.
            QCOMPARE(fonts.bodyFamily(), QStringLiteral("sans-serif"));
            QCOMPARE(fonts.monoFamily(), QStringLiteral("monospace"));
        }

        // Mending the files afterwards does not change the answer: it is decided once.
        QFile::remove(dir.filePath(QStringLiteral("gone.ttf")));
        QFile::copy(QStringLiteral(":/fonts/DejaVuSans.ttf"), dir.filePath(QStringLiteral("gone.ttf")));
        QCOMPARE(fonts.registerApplicationFonts(), registers);
    }
};

QTEST_MAIN(TestFontCatalog)
#include "tst_fontcatalog.moc"
