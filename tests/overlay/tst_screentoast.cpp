#include "overlay/OverlayContract.h"
#include "overlay/ScreenToast.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTest>

using namespace talvorine::overlay;

namespace {

constexpr qint64 nowMs = Q_INT64_C(1893452400000); // 2029-12-31T23:00:00Z
const QString laterStamp = QStringLiteral("2030-01-01T00:00:00Z");

QJsonObject valid(const QJsonObject& changes = {}, const QString& without = {})
{
    QJsonObject details{{"text", "Doors close at six"}, {"duration_ms", 5000},
                        {"expires_at", laterStamp}};
    for (auto it = changes.begin(); it != changes.end(); ++it)
        details.insert(it.key(), it.value());
    details.remove(without);
    return details;
}

QString repeated(const QString& unit, int times)
{
    QString text;
    for (int i = 0; i < times; ++i)
        text += unit;
    return text;
}

const QString emoji = QString::fromUtf8("\xF0\x9F\x93\xBA"); // U+1F4FA, two UTF-16 units

const QStringList reasonNames{"details_not_object", "text_missing",        "text_empty",
                              "text_too_long",      "text_control",        "text_too_many_lines",
                              "duration_invalid",   "expires_at_invalid",  "expires_at_past"};

// Every outcome is an accepted toast within the rules or a refusal with a name and nothing else.
void checkOutcome(const QJsonValue& details, const ScreenToastResult& result)
{
    if (result.accepted) {
        QCOMPARE(result.text, details.toObject().value("text").toString());
        QVERIFY(result.durationMs >= 2000 && result.durationMs <= 60000);
        QVERIFY(result.expiresAtMs > nowMs);
        QVERIFY(kLevels.contains(result.level));
    } else {
        QVERIFY(reasonNames.contains(screenToastRejectName(result.reason)));
        QVERIFY(result.text.isEmpty() && result.level.isEmpty());
        QCOMPARE(result.durationMs, 0);
        QCOMPARE(result.expiresAtMs, 0);
    }
}

} // namespace

class TestScreenToast : public QObject {
    Q_OBJECT
private slots:
    void rules_data()
    {
        QTest::addColumn<QJsonValue>("details");
        QTest::addColumn<QString>("outcome"); // the reason's name, or the accepted level
        const auto row = [](const char* tag, const QJsonValue& details, const char* outcome) {
            QTest::newRow(tag) << details << QString::fromLatin1(outcome);
        };
        row("valid", valid(), "info");
        row("details an array", QJsonArray{valid()}, "details_not_object");
        row("text absent", valid({}, "text"), "text_missing");
        row("text empty", valid({{"text", ""}, {"duration_ms", 1}}), "text_empty");
        row("text a tab", valid({{"text", "\t"}}), "text_control");
        row("carriage return", valid({{"text", "a\r\nb"}}), "text_control");
        row("delete", valid({{"text", "a\x7f"}}), "text_control");
        row("C1 control allowed", valid({{"text", QString(QChar(0x85)) + "a"}}), "info");
        row("lone high surrogate", valid({{"text", "a" + QString(QChar(0xD83D))}}), "text_control");
        row("reversed pair", valid({{"text", QString(QChar(0xDCFA)) + QChar(0xD83D)}}),
            "text_control");
        row("three lines", valid({{"text", "a\nb\nc"}}), "info");
        row("four lines", valid({{"text", "a\nb\nc\nd"}}), "text_too_many_lines");
        row("line feeds only", valid({{"text", "\n\n\n"}}), "text_too_many_lines");
        row("120 code points", valid({{"text", repeated("x", 120)}}), "info");
        row("121 code points", valid({{"text", repeated("x", 121)}}), "text_too_long");
        row("120 astral code points", valid({{"text", repeated(emoji, 120)}}), "info");
        row("121 astral code points", valid({{"text", repeated(emoji, 121)}}), "text_too_long");
        row("control beats length", valid({{"text", repeated("x", 200) + "\t"}}), "text_control");
        row("lines beat length", valid({{"text", repeated("x\n", 80)}}), "text_too_many_lines");
        row("text beats duration", valid({{"text", ""}}, "duration_ms"), "text_empty");
        row("duration 1999", valid({{"duration_ms", 1999}}), "duration_invalid");
        row("duration 2000.0", valid({{"duration_ms", 2000.0}}), "info");
        row("duration 60001", valid({{"duration_ms", 60001}}), "duration_invalid");
        row("duration fractional", valid({{"duration_ms", 5000.5}}), "duration_invalid");
        row("duration as text", valid({{"duration_ms", "5000"}}), "duration_invalid");
        row("duration 1e300", valid({{"duration_ms", 1e300}}), "duration_invalid");
        row("duration beats expiry", valid({{"duration_ms", 0}, {"expires_at", 1}}),
            "duration_invalid");
        row("expiry absent", valid({}, "expires_at"), "expires_at_invalid");
        row("expiry a number", valid({{"expires_at", 1893456000000.0}}), "expires_at_invalid");
        row("expiry 30 February", valid({{"expires_at", "2030-02-30T00:00:00Z"}}),
            "expires_at_invalid");
        row("expiry now", valid({{"expires_at", "2029-12-31T23:00:00Z"}}), "expires_at_past");
        row("expiry 1 ms ahead", valid({{"expires_at", "2029-12-31T23:00:00.001Z"}}), "info");
        row("expiry ahead by offset", valid({{"expires_at", "2029-12-31T22:59:59-00:01"}}), "info");
        row("expiry behind by offset", valid({{"expires_at", "2030-01-01T00:30:00+01:31"}}),
            "expires_at_past");
        row("level error", valid({{"level", "error"}}), "error");
        row("level in capitals", valid({{"level", "ERROR"}}), "info");
    }
    void rules()
    {
        QFETCH(QJsonValue, details);
        QFETCH(QString, outcome);
        const ScreenToastResult result = parseScreenToast(details, nowMs);
        QCOMPARE(result.accepted ? result.level : screenToastRejectName(result.reason), outcome);
        checkOutcome(details, result);
        if (QTest::currentDataTag() == QByteArray("valid")) {
            QCOMPARE(result.text, QStringLiteral("Doors close at six"));
            QCOMPARE(result.durationMs, 5000);
            QCOMPARE(result.expiresAtMs, nowMs + 3600000);
        }
    }

    void rfc3339_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint64>("ms"); // -1: refused (no row uses the instant itself)
        const auto row = [](const char* text, qint64 ms) {
            QTest::newRow(text) << QString::fromUtf8(text) << ms;
        };
        row("1970-01-01T00:00:00Z", 0);
        row("1969-12-31T23:59:59.998Z", -2);
        row("2024-01-01T08:00:00Z", 1704096000000);
        row("2024-01-01T10:00:00+02:00", 1704096000000);
        row("2024-01-01T02:30:00-05:30", 1704096000000);
        row("2024-01-01T08:00:00+23:59", 1704096000000 - 86340000);
        row("2024-01-01T08:00:00.5Z", 1704096000500);
        row("2024-01-01T08:00:00.1239Z", 1704096000123);
        row("2024-01-01T08:00:00.999999999999Z", 1704096000999);
        row("2024-02-29T00:00:00Z", 1709164800000);
        row("2000-02-29T00:00:00Z", 951782400000);
        row("9999-12-31T23:59:59.999Z", 253402300799999);
        row("2023-02-29T00:00:00Z", -1);
        row("1900-02-29T00:00:00Z", -1);
        row("2024-04-31T00:00:00Z", -1);
        row("2024-01-00T00:00:00Z", -1);
        row("2024-01-01T24:00:00Z", -1);
        row("2024-12-31T23:59:60Z", -1);
        row("2024-01-01T08:00:00+24:00", -1);
        row("2024-01-01T08:00:00+23:60", -1);
        row("2024-01-01t08:00:00Z", -1);
        row("2024-01-01T08:00Z", -1);
        row("2024-01-01T08:00:00", -1);
        row("2024-01-01T08:00:00.Z", -1);
        row("2024-01-01T08:00:00+0200", -1);
        row("2024-01-01T08:00:00Z\n", -1);
        row(" 2024-01-01T08:00:00Z", -1);
        row("\xEF\xBC\x92" "024-01-01T08:00:00Z", -1); // a full-width digit
    }
    void rfc3339()
    {
        QFETCH(QString, text);
        QFETCH(qint64, ms);
        const std::optional<qint64> parsed = parseRfc3339Ms(text);
        QCOMPARE(parsed.value_or(-1), ms);
    }

    void hostileDetails()
    {
        const QString longDigits(1 << 20, QLatin1Char('9'));
        const QJsonValue corpus[] = {
            QJsonValue(), QJsonValue(true), QJsonValue(-0.0), QJsonValue(""), QJsonObject(),
            valid({{"text", QString(1 << 20, QLatin1Char('x'))}}),
            valid({{"text", QString(1 << 20, QLatin1Char('\n'))}}),
            valid({{"text", QString(1 << 20, QChar(0xD800))}}),
            valid({{"text", QJsonObject{{"text", "nested"}}}}),
            valid({{"duration_ms", -0.0}}),
            valid({{"duration_ms", -9223372036854775808.0}}),
            valid({{"duration_ms", 9223372036854775807.0}}),
            valid({{"duration_ms", 1.7976931348623157e308}}),
            valid({{"duration_ms", 4.9e-324}}),
            valid({{"expires_at", "2030-01-01T00:00:00." + longDigits + "Z"}}),
            valid({{"expires_at", longDigits}}),
            valid({{"expires_at", "9999-12-31T23:59:59-23:59"}}),
            valid({{"expires_at", "0001-01-01T00:00:00+23:59"}}),
            valid({{"expires_at", QJsonArray{laterStamp}}}),
            valid({{"level", QString(1 << 16, QLatin1Char('e'))}}),
            valid({{"level", QJsonObject{{"error", true}}}}),
        };
        for (const QJsonValue& details : corpus)
            checkOutcome(details, parseScreenToast(details, nowMs));
    }

    // Valid details with a few random changes each: every outcome stays one of the two kinds.
    void mutationRun()
    {
        QRandomGenerator random(0x70a57);
        const QString benign[] = {"a", "\n", emoji, QString(QChar(0x85)), QString(QChar(0x20AC))};
        const QChar hostile[] = {QChar('\t'), QChar('\r'), QChar(0), QChar(0x7f), QChar(0xD83D),
                                 QChar(0xDCFA)};
        const QJsonValue values[] = {QJsonValue(), QJsonValue(false), QJsonValue(""),
                                     QJsonValue(1999), QJsonValue(2000), QJsonValue(60000.5),
                                     QJsonValue(-1), QJsonValue(1e19), QJsonValue("5000"),
                                     QJsonValue("error"), QJsonValue("alert"),
                                     QJsonValue("2000-01-01T00:00:00Z"), QJsonArray(),
                                     QJsonObject()};
        const QString keys[] = {"text", "duration_ms", "expires_at", "level"};
        const auto pick = [&](const auto& array) {
            return array[random.bounded(int(std::size(array)))];
        };
        int accepted = 0;
        QHash<QString, int> refused;
        for (int round = 0; round < 4000; ++round) {
            QJsonObject object = valid();
            for (int change = 1 + random.bounded(3); change > 0; --change) {
                const QString key = pick(keys);
                QString text = object.value(key).toString();
                const int at = random.bounded(int(text.size()) + 1);
                switch (random.bounded(5)) {
                case 0:
                    object.insert(key, pick(values));
                    continue;
                case 1:
                    object.remove(key);
                    continue;
                case 2: // a run of one harmless piece
                    text.insert(at, pick(benign).repeated(random.bounded(1, 130)));
                    break;
                case 3:
                    text.insert(at, pick(hostile));
                    break;
                default:
                    if (!text.isEmpty())
                        text[at % text.size()] = QChar(random.bounded(0x20, 0x7f));
                    break;
                }
                object.insert(key, text);
            }
            const QJsonValue details = random.bounded(50) == 0 ? QJsonValue(QJsonArray{object})
                                                               : QJsonValue(object);
            const ScreenToastResult result = parseScreenToast(details, nowMs);
            checkOutcome(details, result);
            if (QTest::currentTestFailed())
                QFAIL(QJsonDocument(object).toJson(QJsonDocument::Compact).constData());
            if (result.accepted)
                ++accepted;
            else
                ++refused[screenToastRejectName(result.reason)];
        }
        // The run reaches both kinds of outcome and every rule.
        QVERIFY(accepted > 100);
        QCOMPARE(refused.size(), reasonNames.size());
    }
};

QTEST_GUILESS_MAIN(TestScreenToast)
#include "tst_screentoast.moc"
