#include "overlay/OverlayPolicy.h"

#include <QTest>

#include <cmath>

using namespace talvorine;
using namespace talvorine::overlay;

Q_DECLARE_METATYPE(std::optional<double>)

namespace {

const OverlayContractData& contract()
{
    static const OverlayContractData data = [] {
        OverlayContract::instance().load();
        const OverlayContractData* loaded = OverlayContract::instance().data();
        return loaded ? *loaded : OverlayContractData();
    }();
    return data;
}

// An input from settings such as "phase=degraded playing=0 faults=verify,hold". What is not set
// is a page playing on a development screen just before credits are enforced.
OverlayInput input(const QString& settings)
{
    OverlayInput in;
    in.phase = QStringLiteral("active");
    in.playing = in.showingContent = true;
    in.environment = QStringLiteral("non_production");
    in.nowMs = contract().enforcementAtMs - 1;
    for (const QString& setting : settings.split(' ', Qt::SkipEmptyParts)) {
        const QString key = setting.section('=', 0, 0);
        const QString value = setting.section('=', 1);
        const qint64 number = value.toLongLong();
        if (key == "phase")
            in.phase = value;
        else if (key == "env")
            in.environment = value;
        else if (key == "playing")
            in.playing = in.showingContent = number != 0;
        else if (key == "faults")
            in.faults = value.split(',');
        else if (key == "pending" || key == "held")
            in.updateProgress = OverlayInput::UpdateProgress{number, key == "held"};
        else if (key == "progress") // known, though no update is pending
            in.updateProgress = OverlayInput::UpdateProgress{number, true};
        else if (key == "offline")
            in.offlineForMs = number;
        else if (key == "credits")
            in.creditBalance = number;
        else if (key == "enforced")
            in.nowMs = contract().enforcementAtMs;
        else if (key == "needed")
            in.neededBytes = value.toDouble();
        else if (key == "available")
            in.availableBytes = value.toDouble();
        else if (key == "message") // "key:text", the whole replacement table
            in.messages = QHash<QString, QString>{{value.section(':', 0, 0), value.section(':', 1)}};
        else if (key == "paused")
            in.operatorPaused = true;
        else if (key == "repair")
            in.repairNeeded = true;
        else if (key == "timezone")
            in.scheduleNeedsTimezone = true;
        else if (key == "upgrade")
            in.upgradeNoticeShown = true;
        else if (key != "update")
            qFatal("unknown setting %s", qPrintable(key));
        in.updatePending |= key == "pending" || key == "held" || key == "update";
    }
    return in;
}

QStringList reportsOf(const EvaluateResult& result)
{
    QStringList names;
    for (const OverlayReport& report : result.output.reports)
        names.append(report.level + ' ' + report.name + ' ' + report.details.value("code"));
    return names;
}

} // namespace

class TestOverlayPolicy : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QCOMPARE(contract().conditions.size(), 15); }

    void activation_data()
    {
        QTest::addColumn<QString>("settings");
        QTest::addColumn<QStringList>("active");
        const auto row = [](const char* tag, const char* settings, QStringList active) {
            QTest::newRow(tag) << QString::fromLatin1(settings) << active;
        };
        row("nothing", "", {});
        row("decode while playing", "faults=decode", {"decode_miss"});
        row("decode with nothing playing", "playing=0 faults=decode", {"decode_unplayable"});
        row("update under quiet bound", "pending=9999", {"syncing"});
        row("update at quiet bound", "pending=10000", {"assignment_held"});
        row("update held early", "held=5", {"assignment_held"});
        row("progress without a pending update", "progress=20000", {});
        row("offline at bound", "offline=60000", {"offline_playing"});
        row("offline under bound", "offline=59999", {});
        row("offline with nothing playing", "playing=0 offline=90000", {});
        row("no credits before enforcement", "credits=0", {});
        row("no credits at enforcement", "credits=0 enforced", {"payment_required"});
        row("debt at enforcement", "credits=-3 enforced", {"payment_required"});
        row("balance at low threshold", "credits=1000", {});
        row("balance under low threshold", "credits=999", {"credits_low"});
        row("low balance while first content comes", "phase=candidate credits=5", {});
        row("low balance with an update", "phase=candidate credits=5 update", {"credits_low"});
        row("low balance while pairing", "phase=pairing credits=5", {});
        row("degraded, nothing on screen", "phase=degraded playing=0", {"unavailable"});
        row("degraded, nothing on screen, verify", "phase=degraded playing=0 faults=verify",
            {"verify_fail"});
        row("degraded, nothing on screen, repair", "phase=degraded playing=0 repair",
            {"repair_needed"});
        row("degraded on screen, hold", "phase=degraded faults=hold", {"assignment_held"});
        row("hold outside degraded", "faults=hold", {});
        row("session with content", "faults=session", {"session_revoked"});
        row("session without content", "playing=0 faults=session", {});
        row("paused", "paused", {"paused"});
        row("paused with nothing playing", "paused playing=0", {});
        row("timezone", "timezone", {"schedule_timezone"});
        row("several in rank order", "faults=decode,storage,screen_archived paused",
            {"archived", "storage_full", "decode_miss", "paused"});
        row("fatal keeps the active list", "phase=fatal faults=verify,payment_required",
            {"payment_required", "verify_fail"});
    }
    void activation()
    {
        QFETCH(QString, settings);
        QFETCH(QStringList, active);
        const OverlayInput in = input(settings);
        const auto result = evaluate(in, nullptr, contract());
        QVERIFY(result);
        QCOMPARE(result->output.activeConditions, active);
        const bool suppressed = QStringList({"starting", "pairing", "fatal"}).contains(in.phase);
        QCOMPARE(result->output.chip ? result->output.chip->conditionId : QString(),
                 suppressed ? QString() : active.value(0));
        QCOMPARE(result->notArchived, !active.contains("archived"));
    }

    void outsideTheVocabulary()
    {
        for (const char* settings : {"phase=Active", "phase=", "faults=verify,network",
                                     "faults=Decode"})
            QVERIFY2(!evaluate(input(settings), nullptr, contract()), settings);
        QVERIFY(!evaluate(input(""), nullptr, OverlayContractData()));
    }

    void toastByEnvironment_data()
    {
        QTest::addColumn<QString>("settings");
        QTest::addColumn<QString>("level");
        QTest::addColumn<QString>("text");
        QTest::newRow("error, production") << "env=production faults=verify" << "error"
                                           << "Cannot verify content";
        QTest::newRow("alert, production") << "env=production offline=60000" << "" << "";
        QTest::newRow("alert, non-production") << "offline=60000" << "alert" << "Playing offline";
        QTest::newRow("info, non-production") << "paused" << "info" << "Paused";
        QTest::newRow("alert chip, error toast, production") << "env=production held=0" << "error"
                                                             << "Update on hold";
        QTest::newRow("syncing never toasts") << "pending=0" << "" << "";
        QTest::newRow("message missing") << "faults=verify message=verify_fail:" << "" << "";
        QTest::newRow("messages replaced") << "env=production faults=verify message=verify_fail:Ungeprüft"
                                           << "error" << "Ungeprüft";
    }
    void toastByEnvironment()
    {
        QFETCH(QString, settings);
        QFETCH(QString, level);
        QFETCH(QString, text);
        const auto result = evaluate(input(settings), nullptr, contract());
        QVERIFY(result);
        const std::optional<OverlayToast>& toast = result->output.toast;
        QCOMPARE(toast ? toast->level + ' ' + toast->text : QStringLiteral(" "), level + ' ' + text);
        QCOMPARE(toast ? toast->durationMs : 10000, 10000);
        QCOMPARE(result->memory.toastConditionId.isEmpty(), level.isEmpty());
    }

    // One screen's story through the memory: toasts follow the chip, suppressed phases freeze
    // it, and every report goes out once per activation of its condition.
    void memoryAcrossEvaluations()
    {
        struct Step {
            const char* settings;
            const char* toast; // the condition toasted, or ""
            bool dismiss;
            QStringList reports;
        };
        const QString archived = QStringLiteral("warning runtime.screen_archived ");
        const QString held = QStringLiteral("warning runtime.assignment_held ");
        const Step steps[] = {
            {"faults=verify", "verify_fail", false, {}},
            {"faults=verify", "", false, {}},
            {"faults=decode", "decode_miss", true, {}},
            {"faults=decode,screen_archived", "archived", true, {archived}},
            {"phase=fatal faults=screen_archived", "", true, {}},
            {"faults=screen_archived", "", false, {}},
            {"phase=pairing", "", false, {}},
            {"faults=screen_archived", "", false, {}},
            {"", "", false, {}},
            {"faults=screen_archived", "archived", false, {archived}},
            {"phase=degraded faults=hold", "assignment_held", true, {held + "hold"}},
            {"phase=degraded faults=hold", "", false, {}},
            {"", "", true, {}},
            {"pending=10000", "assignment_held", false, {held + "remint"}},
        };
        OverlayMemory memory;
        for (const Step& step : steps) {
            const auto result = evaluate(input(step.settings), &memory, contract());
            QVERIFY(result);
            const QString toasted = result->output.toast ? result->memory.toastConditionId : "";
            QCOMPARE(toasted + ' ' + step.settings, QLatin1String(step.toast) + ' ' + step.settings);
            QCOMPARE(result->output.dismissToast, step.dismiss);
            QCOMPARE(reportsOf(*result), step.reports);
            memory = result->memory;
        }
    }

    void storageDetailAndNotice_data()
    {
        QTest::addColumn<QString>("settings");
        QTest::addColumn<QString>("detail");
        QTest::newRow("nothing playing") << "playing=0 needed=1536 available=1048576"
                                         << QString::fromUtf8("Needs 1.5 KiB \u00b7 1 MiB free");
        QTest::newRow("playing") << "needed=1536 available=1048576" << "";
        QTest::newRow("needed unknown") << "playing=0 available=1048576" << "";
        QTest::newRow("available not a count") << "playing=0 needed=1536 available=-1" << "";
    }
    void storageDetailAndNotice()
    {
        QFETCH(QString, settings);
        auto result = evaluate(input(settings + " faults=storage upgrade"), nullptr, contract());
        QVERIFY(result && result->output.chip && result->output.notice);
        const OverlayChip& chip = *result->output.chip;
        QCOMPARE(QStringList({chip.conditionId, chip.level, chip.icon}),
                 QStringList({"storage_full", "error", "package"}));
        QTEST(chip.detail, "detail");
        const OverlayNotice& notice = *result->output.notice;
        QCOMPARE(QStringList({notice.id, notice.text, notice.icon}),
                 QStringList({"upgrade_required", "Player update required", "download-circle-01"}));
        result = evaluate(input(settings + " faults=storage upgrade phase=starting"), nullptr,
                          contract());
        QVERIFY(result && !result->output.notice && !result->output.chip);
    }

    void formatBytes_data()
    {
        QTest::addColumn<std::optional<double>>("bytes");
        QTest::addColumn<QString>("text"); // empty: no result
        const auto row = [](const char* tag, std::optional<double> bytes, const char* text) {
            QTest::newRow(tag) << bytes << QString::fromLatin1(text);
        };
        row("absent", std::nullopt, "");
        row("NaN", std::nan(""), "");
        row("negative", -1, "");
        row("fraction", 1.5, "");
        row("zero", 0, "0 B");
        row("1023", 1023, "1023 B");
        row("1024", 1024, "1 KiB");
        row("1075 rounds down", 1075, "1 KiB");
        row("1076 rounds up", 1076, "1.1 KiB");
        row("1.5 GiB", 1610612736, "1.5 GiB");
        row("just under 2 PiB", 2251799813685247.0, "2 PiB");
        row("2^63", 9223372036854775808.0, "8192 PiB");
        row("2^64", 18446744073709551616.0, "16384 PiB");
        row("largest below 2^128", std::ldexp(1.0, 128) - std::ldexp(1.0, 75),
            "302231454903657260122112 PiB");
        row("2^128", std::ldexp(1.0, 128), "");
    }
    void formatBytes()
    {
        QFETCH(std::optional<double>, bytes);
        QFETCH(QString, text);
        QCOMPARE(overlay::formatBytes(bytes).value_or(QString()), text);
    }

    void classifyDiagnostic()
    {
        const std::pair<int, QStringList> classes[] = {
            {OverlayPolicy::Decode, {"qml_gpu_sink_unavailable", "web_child_failed"}},
            {OverlayPolicy::Verify,
             {"cache_integrity_mismatch", "package_gzip_invalid_or_concatenated"}},
            {OverlayPolicy::Storage, {"content_storage_insufficient"}},
            {OverlayPolicy::Session, {"session_revoked"}},
            {OverlayPolicy::Transport,
             {"offline_lkg_active", "manifest_http_503", "device_session_http_",
              "identity_challenge_http_429", "identity_session_http_500"}},
            {OverlayPolicy::Hold,
             {"", "Session_revoked", "manifest_http", "http_manifest_503", "cache_write_failed",
              "session_revoked\n"}},
        };
        for (const auto& [kind, codes] : classes) {
            for (const QString& code : codes)
                QVERIFY2(OverlayPolicy::classifyDiagnostic(code) == kind, qPrintable(code));
        }
    }
};

QTEST_GUILESS_MAIN(TestOverlayPolicy)
#include "tst_overlaypolicy.moc"
