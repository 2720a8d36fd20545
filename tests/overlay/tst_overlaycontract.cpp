#include "overlay/OverlayContract.h"
#include "tests/support/TestSupport.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

using namespace talvorine;
using namespace talvorine::overlay;

namespace {

QByteArray shippedBytes()
{
    QFile file(QString::fromLatin1(OverlayContract::resourcePath));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

const QJsonValue removed(QJsonValue::Undefined);

} // namespace

class TestOverlayContract : public QObject {
    Q_OBJECT
private slots:
    void shippedContract()
    {
        OverlayContract& contract = OverlayContract::instance();
        QVERIFY(contract.load());
        QVERIFY(contract.loaded());
        const OverlayContractData& data = *contract.data();
        QCOMPARE(data.contractVersion, QStringLiteral("talvorine.overlay/v1"));
        QCOMPARE(data.quietBoundMs, 10000);
        QCOMPARE(data.offlineChipAfterMs, 60000);
        QCOMPARE(data.localToastDurationMs, 10000);
        QCOMPARE(data.lowThreshold, 1000);
        QCOMPARE(data.enforcementAtMs, Q_INT64_C(1798790400000)); // 2027-01-01T08:00:00Z
        QCOMPARE(data.toastMarks, (QHash<QString, QString>{{"error", "alert-circle"},
                                                           {"alert", "alert-02"},
                                                           {"info", "information-circle"}}));
        QCOMPARE(data.notice.id, QStringLiteral("upgrade_required"));
        QCOMPARE(data.notice.level, QStringLiteral("alert"));
        QCOMPARE(data.notice.icon, QStringLiteral("download-circle-01"));
        QCOMPARE(data.notice.text, QStringLiteral("Player update required"));
        QCOMPARE(data.diagnosticClasses,
                 QStringList({"transport", "session", "verify", "storage", "decode", "hold"}));

        // id, level, toast level, icon, message key, message and report, in rank order
        const QStringList expected = {
            "archived|alert|alert|archive|archived|Screen archived|runtime.screen_archived",
            "repair_needed|error|error|key-01|repair_needed|Needs repair|",
            "payment_required|error|error|credit-card-not-accept|low_balance|Usage has run out|",
            "session_revoked|error|error|shield-01|session_revoked|Project connection ended|",
            "verify_fail|error|error|file-remove|verify_fail|Cannot verify content|",
            "storage_full|error|error|package|storage_full|Storage full|",
            "decode_unplayable|error|error|video-off|decode_unplayable|Nothing will play|",
            "unavailable|error|error|unavailable|unavailable|Cannot show content|",
            "assignment_held|alert|error|assignments|assignment_held|Update on hold|"
            "runtime.assignment_held",
            "decode_miss|alert|alert|video-off|decode_miss|Item will not play|",
            "offline_playing|alert|alert|wifi-disconnected-01|offline|Playing offline|",
            "schedule_timezone|alert|alert|calendar-02|schedule_timezone|Needs a timezone|",
            "credits_low|alert|alert|dollar-01|credits_low|Usage is low|",
            "paused|info|info|pause|paused|Paused|",
            "syncing|info||loading-03|syncing|Updating|",
        };
        QCOMPARE(data.conditions.size(), expected.size());
        QStringList messageKeys{"storage_full_detail"};
        for (int i = 0; i < data.conditions.size(); ++i) {
            const OverlayConditionSpec& spec = data.conditions.at(i);
            QCOMPARE(QStringList({spec.id, spec.level, spec.toastLevel, spec.icon, spec.messageKey,
                                  data.messages.value(spec.messageKey), spec.report})
                         .join('|'),
                     expected.at(i));
            QCOMPARE(spec.rank, i + 1);
            QCOMPARE(spec.detailMessageKey,
                     spec.id == "storage_full" ? QStringLiteral("storage_full_detail") : QString());
            QCOMPARE(data.conditionForId(spec.id), &spec);
            messageKeys.append(spec.messageKey);
        }
        QCOMPARE(data.conditionForId(QStringLiteral("Paused")), nullptr);
        QCOMPARE(data.messages.value("storage_full_detail"),
                 QString::fromUtf8("Needs {needed} \u00b7 {available} free"));
        messageKeys.sort();
        QStringList keys = data.messages.keys();
        keys.sort();
        QCOMPARE(keys, messageKeys);

        // Every message's wording is approved, and nothing else is.
        const QJsonObject approvals =
            QJsonDocument::fromJson(shippedBytes()).object().value("approvals").toObject();
        QCOMPARE(approvals.keys(), messageKeys);
        for (const QJsonValue& approval : approvals)
            QCOMPARE(approval.toString(), QStringLiteral("marketing/copy/player-status-overlay.md"));
    }

    void rules_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<bool>("messagesKept");

        const auto row = [](const char* tag, const char* path, const QJsonValue& value,
                            bool accepted, bool messagesKept = true) {
            QTest::newRow(tag) << QString::fromLatin1(path) << value << accepted
                               << (accepted && messagesKept);
        };
        row("version in other case", "contractVersion", "Talvorine.overlay/v1", false);
        row("version with trailing space", "contractVersion", "talvorine.overlay/v1 ", false);
        row("timing not an object", "timing", QJsonArray{10000, 60000, 10000}, false);
        row("quiet bound negative", "timing.quietBoundMs", -1, false);
        row("quiet bound zero", "timing.quietBoundMs", 0, true);
        row("quiet bound fractional", "timing.quietBoundMs", 1.5, false);
        row("offline bound at 2^63", "timing.offlineChipAfterMs", 9223372036854775808.0, false);
        row("offline bound at 2^64", "timing.offlineChipAfterMs", 18446744073709551616.0, false);
        row("toast duration zero", "timing.localToastDurationMs", 0, false);
        row("toast duration negative", "timing.localToastDurationMs", -10000, false);
        row("toast duration one", "timing.localToastDurationMs", 1, true);
        row("toast duration beyond 32 bits", "timing.localToastDurationMs", 4294977296.0, false);
        row("low threshold negative", "credits.lowThreshold", -1, false);
        row("enforcement impossible date", "credits.enforcementAt", "2027-02-30T08:00:00Z", false);
        row("enforcement with offset", "credits.enforcementAt", "2027-01-01T09:00:00+01:00", true);
        row("enforcement with line feed", "credits.enforcementAt", "2027-01-01T08:00:00Z\n", false);
        row("toast mark empty", "levels.alert.toastMark", "", false);
        row("level missing", "levels.info", removed, false);
        row("rank 2.0", "conditions.1.rank", 2.0, true);
        row("rank 2.5", "conditions.1.rank", 2.5, false);
        row("rank as text", "conditions.1.rank", "2", false);
        row("rank zero", "conditions.0.rank", 0, false);
        row("rank duplicate", "conditions.0.rank", 2, false);
        row("rank gap", "conditions.14.rank", 16, false);
        row("rank 2^32 + 1", "conditions.0.rank", 4294967297.0, false);
        row("id duplicate", "conditions.0.id", "repair_needed", false);
        row("id missing", "conditions.3.id", removed, false);
        row("icon empty", "conditions.0.icon", "", false);
        row("message key missing", "conditions.0.messageKey", removed, false);
        row("level warning", "conditions.0.level", "warning", false);
        row("toast level warning", "conditions.0.toastLevel", "warning", true);
        row("detail key empty", "conditions.5.detailMessageKey", "", false);
        row("detail key absent", "conditions.5.detailMessageKey", removed, true);
        row("report number", "conditions.0.report", 7, true);
        row("condition not an object", "conditions.4", "verify_fail", false);
        row("conditions empty", "conditions", QJsonArray(), false);
        row("second notice unchecked", "notices.1", QJsonObject{{"id", "x"}}, true);
        row("notice id upgrade", "notices.0.id", "upgrade", false);
        row("notice level warning", "notices.0.level", "warning", false);
        row("notice text empty", "notices.0.text", "", false);
        row("notices empty", "notices", QJsonArray(), false);
        row("classes absent", "diagnosticClasses", removed, true);
        row("class not a string", "diagnosticClasses.6", 1, false);
        row("classes a string", "diagnosticClasses", "transport", false);
        row("messages an array", "messages", QJsonArray{"x"}, true, false);
        row("message not a string", "messages.paused", 5, true, false);
        row("approvals absent", "approvals", removed, false);
        row("approvals an array", "approvals", QJsonArray(), false);
        row("unknown member", "colour", "blue", true);
    }
    void rules()
    {
        QFETCH(QString, path);
        QFETCH(QJsonValue, value);
        QFETCH(bool, accepted);
        QFETCH(bool, messagesKept);
        const QJsonValue shipped = QJsonDocument::fromJson(shippedBytes()).object();
        const QJsonObject changed = test::withMember(shipped, path, value).toObject();
        const auto data = parseOverlayContract(QJsonDocument(changed).toJson());
        QCOMPARE(data.has_value(), accepted);
        if (accepted)
            QCOMPARE(data->messages.isEmpty(), !messagesKept);
    }

    void documentsAndOrder()
    {
        for (const QByteArray& bytes : {QByteArray(), QByteArray("[]"), QByteArray("{"),
                                       QByteArray("\"talvorine.overlay/v1\"")})
            QVERIFY(!parseOverlayContract(bytes));
        // Conditions in any order are held in rank order.
        QJsonObject root = QJsonDocument::fromJson(shippedBytes()).object();
        QJsonArray reversed;
        for (const QJsonValue& condition : root.value("conditions").toArray())
            reversed.prepend(condition);
        root.insert("conditions", reversed);
        const auto data = parseOverlayContract(QJsonDocument(root).toJson());
        QVERIFY(data);
        QCOMPARE(data->conditions.first().id, QStringLiteral("archived"));
        QCOMPARE(data->conditions.last().id, QStringLiteral("syncing"));
    }

    void loadReadsOnce()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString primary = dir.filePath("primary.json");
        const QString fallback = dir.filePath("fallback.json");
        OverlayContract failed(primary, fallback);
        QVERIFY(!failed.load());

        QFile file(fallback);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.write(shippedBytes()) > 0);
        file.close();
        QVERIFY(!failed.load()); // the first outcome stands
        QVERIFY(!failed.loaded());
        QCOMPARE(failed.data(), nullptr);

        OverlayContract fromFallback(primary, fallback);
        QVERIFY(fromFallback.load());
        QCOMPARE(fromFallback.data()->conditions.size(), 15);

        // A primary that opens is the one read, even when it is invalid.
        QVERIFY(QFile::copy(fallback, primary));
        QVERIFY(QFile::resize(primary, 100));
        OverlayContract brokenPrimary(primary, fallback);
        QVERIFY(!brokenPrimary.load());
    }

    void upgradeNoticeFold()
    {
        struct Row {
            UpgradeNoticeState before;
            UpgradeEvent event;
            UpgradeNoticeState after;
        };
        const Row rows[] = {
            {{false, 0, false}, {0, 5}, {true, 5, true}},  // raised
            {{true, 9, true}, {0, 3}, {true, 3, true}},    // raised again: the new stamp counts
            {{true, 5, true}, {2, 6}, {false, 5, true}},   // cleared later
            {{true, 5, true}, {2, 5}, {true, 5, true}},    // cleared at the same stamp
            {{true, 5, true}, {2, 4}, {true, 5, true}},    // a stale clearance
            {{true, 0, false}, {2, 9}, {true, 0, false}},  // nothing to compare with
            {{false, 5, true}, {2, 9}, {false, 5, true}},  // nothing shown
            {{true, -5, true}, {2, -4}, {false, -5, true}}, // signed stamps
            {{true, 5, true}, {1, 9}, {true, 5, true}},    // another kind
        };
        for (const Row& row : rows) {
            const UpgradeNoticeState after = upgradeNotice(row.before, row.event);
            QCOMPARE(QList<qint64>({after.shown, after.stamp, after.hasStamp}),
                     QList<qint64>({row.after.shown, row.after.stamp, row.after.hasStamp}));
        }
    }
};

QTEST_GUILESS_MAIN(TestOverlayContract)
#include "tst_overlaycontract.moc"
