#include "stage/ChromeTokens.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

using namespace talvorine;

namespace {

QJsonObject goodTokens()
{
    const auto level = [](const char* fill, const char* mark) {
        return QJsonObject{{"toastFill", fill}, {"onGround", mark}};
    };
    return QJsonObject{
        {"contractVersion", "talvorine.chrome/v3"},
        {"colors",
         QJsonObject{{"ground", "#010203FF"},
                     {"ink", "#101112FF"},
                     {"inkBright", "#202122FF"},
                     {"inkMuted", "#303132FF"},
                     {"bannerPlate", "#40414280"},
                     {"bannerTextOnPlate", "#505152FF"}}},
        {"levels",
         QJsonObject{{"error", level("#A00000F0", "#FF0000FF")},
                     {"alert", level("#A0A000F0", "#FFFF00FF")},
                     {"info", level("#0000A0F0", "#0000FFFF")}}},
    };
}

// Applies an edit "group.key=value" (value "-" removes the key) to the token document.
QJsonObject edited(const QString& edit)
{
    QJsonObject root = goodTokens();
    if (edit.isEmpty())
        return root;
    const QString path = edit.section(u'=', 0, 0);
    const QString value = edit.section(u'=', 1);
    const QStringList keys = path.split(u'.');
    const auto apply = [&](QJsonObject& object, const QString& key) {
        if (value == QLatin1String("-"))
            object.remove(key);
        else
            object.insert(key, value);
    };
    if (keys.size() == 1) {
        apply(root, keys.at(0));
    } else if (keys.size() == 2) {
        QJsonObject group = root.value(keys.at(0)).toObject();
        apply(group, keys.at(1));
        root.insert(keys.at(0), group);
    } else {
        QJsonObject group = root.value(keys.at(0)).toObject();
        QJsonObject entry = group.value(keys.at(1)).toObject();
        apply(entry, keys.at(2));
        group.insert(keys.at(1), entry);
        root.insert(keys.at(0), group);
    }
    return root;
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

class TestChromeTokens : public QObject {
    Q_OBJECT
private slots:
    void shippedTokensLoad()
    {
        ChromeTokens& tokens = ChromeTokens::instance();
        QCOMPARE(&tokens, &ChromeTokens::instance());
        QString error = QStringLiteral("untouched");
        QVERIFY(tokens.load(&error));
        QVERIFY(error.isEmpty());
        QVERIFY(tokens.loaded());
        for (const QColor& color : {tokens.ground(), tokens.ink(), tokens.inkBright(),
                                    tokens.inkMuted(), tokens.bannerPlate(),
                                    tokens.bannerTextOnPlate()})
            QVERIFY(color.isValid());
        // A dark signage ground under light ink.
        QVERIFY(tokens.ground().lightnessF() < 0.2);
        QVERIFY(tokens.ink().lightnessF() > 0.7);
        for (const char* level : {"error", "alert", "info"}) {
            QVERIFY(tokens.toastFill(QLatin1String(level)).isValid());
            QVERIFY(tokens.levelOnGround(QLatin1String(level)).isValid());
        }
    }

    void documents_data()
    {
        QTest::addColumn<QString>("edit");
        QTest::addColumn<QString>("error");
        QTest::newRow("complete") << "" << "";
        QTest::newRow("extra key is ignored") << "colors.accent=#FFFFFFFF" << "";
        QTest::newRow("no version") << "contractVersion=-" << "chrome_tokens_version_unsupported";
        QTest::newRow("older version") << "contractVersion=talvorine.chrome/v2"
                                       << "chrome_tokens_version_unsupported";
        QTest::newRow("version with line feed") << "contractVersion=talvorine.chrome/v3\n"
                                                << "chrome_tokens_version_unsupported";
        QTest::newRow("no colours") << "colors=-" << "chrome_tokens_color_invalid";
        QTest::newRow("missing colour") << "colors.inkMuted=-" << "chrome_tokens_color_invalid";
        QTest::newRow("last colour missing") << "colors.bannerTextOnPlate=-"
                                             << "chrome_tokens_color_invalid";
        QTest::newRow("lower-case colour") << "colors.ground=#0a0b0cff"
                                           << "chrome_tokens_color_invalid";
        QTest::newRow("colour without alpha") << "colors.ink=#0A0B0C"
                                              << "chrome_tokens_color_invalid";
        QTest::newRow("no levels") << "levels=-" << "chrome_tokens_level_invalid";
        QTest::newRow("missing level") << "levels.alert=-" << "chrome_tokens_level_invalid";
        QTest::newRow("level without fill") << "levels.info.toastFill=-"
                                            << "chrome_tokens_level_invalid";
        QTest::newRow("level without mark") << "levels.error.onGround=-"
                                            << "chrome_tokens_level_invalid";
        QTest::newRow("bad level colour") << "levels.error.onGround=red"
                                          << "chrome_tokens_level_invalid";
    }
    void documents()
    {
        QFETCH(QString, edit);
        QFETCH(QString, error);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath(QStringLiteral("tokens.json"));
        QVERIFY(writeFile(path, QJsonDocument(edited(edit)).toJson()));

        ChromeTokens tokens(path, dir.filePath(QStringLiteral("none.json")));
        QVERIFY(!tokens.ground().isValid());
        QVERIFY(!tokens.toastFill(QStringLiteral("error")).isValid());
        QString got;
        QCOMPARE(tokens.load(&got), error.isEmpty());
        QCOMPARE(got, error);
        QCOMPARE(tokens.loaded(), error.isEmpty());
        if (error.isEmpty()) {
            QCOMPARE(tokens.ground(), QColor(1, 2, 3, 255));
            QCOMPARE(tokens.bannerPlate(), QColor(0x40, 0x41, 0x42, 0x80));
            QCOMPARE(tokens.toastFill(QStringLiteral("alert")), QColor(0xA0, 0xA0, 0, 0xF0));
            QCOMPARE(tokens.levelOnGround(QStringLiteral("info")), QColor(0, 0, 255, 255));
        } else {
            // Nothing of a refused file is half-applied.
            QVERIFY(!tokens.ground().isValid());
            QVERIFY(!tokens.levelOnGround(QStringLiteral("error")).isValid());
        }

        // The first answer stands, whatever happens to the file afterwards.
        QVERIFY(writeFile(path, error.isEmpty() ? QByteArray("{}")
                                                : QJsonDocument(goodTokens()).toJson()));
        QCOMPARE(tokens.load(&got), error.isEmpty());
        QCOMPARE(got, error);
    }

    void levels_data()
    {
        QTest::addColumn<QString>("level");
        QTest::addColumn<bool>("known");
        QTest::newRow("error") << "error" << true;
        QTest::newRow("alert") << "alert" << true;
        QTest::newRow("info") << "info" << true;
        QTest::newRow("upper case") << "Error" << false;
        QTest::newRow("warning is not a level") << "warning" << false;
        QTest::newRow("empty") << "" << false;
    }
    void levels()
    {
        QFETCH(QString, level);
        QFETCH(bool, known);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("tokens.json"));
        QVERIFY(writeFile(path, QJsonDocument(goodTokens()).toJson()));
        ChromeTokens tokens(path, QString());
        QVERIFY(tokens.load());
        QCOMPARE(tokens.toastFill(level).isValid(), known);
        QCOMPARE(tokens.levelOnGround(level).isValid(), known);
    }

    void sources_data()
    {
        QTest::addColumn<bool>("primary");
        QTest::addColumn<bool>("fallback");
        QTest::addColumn<bool>("loads");
        QTest::newRow("primary only") << true << false << true;
        QTest::newRow("fallback when the primary is absent") << false << true << true;
        QTest::newRow("neither") << false << false << false;
    }
    void sources()
    {
        QFETCH(bool, primary);
        QFETCH(bool, fallback);
        QFETCH(bool, loads);
        QTemporaryDir dir;
        const QString primaryPath = dir.filePath(QStringLiteral("primary.json"));
        const QString fallbackPath = dir.filePath(QStringLiteral("fallback.json"));
        if (primary)
            QVERIFY(writeFile(primaryPath, QJsonDocument(goodTokens()).toJson()));
        if (fallback)
            QVERIFY(writeFile(fallbackPath, QJsonDocument(goodTokens()).toJson()));
        ChromeTokens tokens(primaryPath, fallbackPath);
        QString error;
        QCOMPARE(tokens.load(&error), loads);
        QCOMPARE(error, loads ? QString() : QStringLiteral("chrome_tokens_unreadable"));
    }
};

QTEST_GUILESS_MAIN(TestChromeTokens)
#include "tst_chrometokens.moc"
