#include "app/LogRedaction.h"

#include <QTest>

using namespace talvorine;

class TestLogRedaction : public QObject {
    Q_OBJECT
private slots:
    void isSecret_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<bool>("secret");

        const QList<std::pair<const char*, bool>> rows{
            {"Authorization", true},     {"X-Session-Token", true},
            {"cookie_jar", true},        {"client_secret", true},
            {"nonce", true},             {"proof_signature", true},
            {"pairing_code", false},     {"PAIRING_CODE", false},
            {"Pairing_Code", false},     {"pairing_code_expires_at", true},
            {"pairing_session", true},   {"source_url", true},
            {"urlPath", true},           {"curl_exit", true},
            {"unsigned_count", true},    {"pixel_ratio", true},
            {"x-api-key", false},        {"sessionKey", false},
            {"objectKey", false},        {"session_key", true},
            {"object_key", true},        {"API_KEY", true},
            {"screen_id", false},        {"status", false},
            {"duration_ms", false},      {"", false},
        };
        for (const auto& [key, secret] : rows)
            QTest::newRow(*key ? key : "empty") << QString::fromLatin1(key) << secret;
    }
    void isSecret()
    {
        QFETCH(QString, key);
        QFETCH(bool, secret);
        QCOMPARE(LogRedaction::isSecret(key), secret);
    }

    void fragmentsInOrder()
    {
        const QStringList& list = LogRedaction::fragments();
        QCOMPARE(list, (QStringList{"token", "authorization", "bearer", "cookie", "session_key",
                                    "secret", "password", "credential", "apikey", "api_key",
                                    "nonce", "pairing", "locator", "signature", "signed", "url",
                                    "object_key", "pixel"}));
        QCOMPARE(&list, &LogRedaction::fragments());
    }

    void clip_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("max");
        QTest::addColumn<int>("expected");
        QTest::newRow("513 with default") << 513 << 0 << 512;
        QTest::newRow("negative max means default") << 600 << -5 << 512;
        QTest::newRow("exactly 8192 kept") << 8192 << 8192 << 8192;
        QTest::newRow("one over 8192 cut") << 8193 << 8192 << 8192;
        QTest::newRow("empty stays empty") << 0 << 1 << 0;
        QTest::newRow("max 1") << 3 << 1 << 1;
    }
    void clip()
    {
        QFETCH(int, length);
        QFETCH(int, max);
        QFETCH(int, expected);
        QString value;
        for (int i = 0; i < length; ++i)
            value.append(QChar(u'a' + i % 26));
        const QString clipped = LogRedaction::clip(value, max);
        QCOMPARE(clipped.size(), expected);
        QVERIFY(value.startsWith(clipped));
    }

    void clipCountsUtf16Units()
    {
        // A character outside the basic plane is two code units; the cut may split it.
        const QString value = QString(511, QLatin1Char('a')) + QString::fromUtf8("\xF0\x9F\x98\x80");
        QCOMPARE(LogRedaction::clip(value, 0).size(), 512);
    }

    void sanitize_data()
    {
        QTest::addColumn<int>("handling");
        QTest::addColumn<QStringList>("keys");
        QTest::newRow("drop secrets") << int(LogRedaction::DropSecrets) << QStringList{"note"};
        QTest::newRow("keep secrets") << int(LogRedaction::KeepSecrets)
                                      << QStringList{"note", "token"};
    }
    void sanitize()
    {
        QFETCH(int, handling);
        QFETCH(QStringList, keys);
        const QHash<QString, QString> fields{{QStringLiteral("token"), QStringLiteral("x")},
                                             {QStringLiteral("note"), QString(600, u'n')}};
        const auto out =
            LogRedaction::sanitize(fields, static_cast<LogRedaction::SecretHandling>(handling));
        QStringList got = out.keys();
        got.sort();
        QCOMPARE(got, keys);
        QCOMPARE(out.value(QStringLiteral("note")), QString(512, u'n'));
        QCOMPARE(fields.value(QStringLiteral("note")).size(), 600);
        QVERIFY(LogRedaction::sanitize({}, LogRedaction::DropSecrets).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestLogRedaction)
#include "tst_logredaction.moc"
