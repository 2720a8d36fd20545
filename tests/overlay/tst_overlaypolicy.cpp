#include "overlay/OverlayPolicy.h"

#include <QTest>

#include <cmath>
#include <functional>
#include <limits>

using namespace talvorine;
using namespace talvorine::overlay;

using Patch = std::function<void(OverlayInput&)>;
Q_DECLARE_METATYPE(Patch)
Q_DECLARE_METATYPE(std::optional<double>)

namespace {

const OverlayContractData& contract()
{
    static const OverlayContractData data = [] {
        OverlayContract& holder = OverlayContract::instance();
        holder.load();
        return holder.data() ? *holder.data() : OverlayContractData();
    }();
    return data;
}

// A page playing normally on a development screen, before credits are enforced.
OverlayInput playing(const Patch& patch = {})
{
    OverlayInput input;
    input.phase = QStringLiteral("active");
    input.playing = true;
    input.showingContent = true;
    input.environment = QStringLiteral("non_production");
    input.nowMs = contract().enforcementAtMs - 1;
    if (patch)
        patch(input);
    return input;
}

void nothingOnScreen(OverlayInput& input)
{
    input.playing = false;
    input.showingContent = false;
}

QStringList reportsOf(const EvaluateResult& result)
{
    QStringList names;
    for (const OverlayReport& report : result.output.reports)
        names.append(report.name + QLatin1Char(':') + report.details.value("code"));
    return names;
}

} // namespace

class TestOverlayPolicy : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QCOMPARE(contract().conditions.size(), 15); }

    void activation_data()
    {
        QTest::addColumn<Patch>("patch");
        QTest::addColumn<QStringList>("active");
        const auto row = [](const char* tag, Patch patch, QStringList active) {
            QTest::newRow(tag) << patch << active;
        };
        const auto faults = [](QStringList list) {
            return [list](OverlayInput& in) { in.faults = list; };
        };
        const auto update = [](qint64 elapsedMs, bool held) {
            return [=](OverlayInput& in) {
                in.updatePending = true;
                in.updateProgress = OverlayInput::UpdateProgress{elapsedMs, held};
            };
        };
        const auto balance = [](qint64 credits, qint64 nowShift) {
            return [=](OverlayInput& in) {
                in.creditBalance = credits;
                in.nowMs = contract().enforcementAtMs + nowShift;
            };
        };
        row("nothing", {}, {});
        row("decode while playing", faults({"decode"}), {"decode_miss"});
        row("decode with nothing playing", [](OverlayInput& in) {
            nothingOnScreen(in);
            in.faults = {"decode"};
        }, {"decode_unplayable"});
        row("update under quiet bound", update(9999, false), {"syncing"});
        row("update at quiet bound", update(10000, false), {"assignment_held"});
        row("update held early", update(5, true), {"assignment_held"});
        row("progress without pending update", [](OverlayInput& in) {
            in.updateProgress = OverlayInput::UpdateProgress{20000, true};
        }, {});
        row("offline at bound", [](OverlayInput& in) { in.offlineForMs = 60000; },
            {"offline_playing"});
        row("offline under bound", [](OverlayInput& in) { in.offlineForMs = 59999; }, {});
        row("offline with nothing playing", [](OverlayInput& in) {
            nothingOnScreen(in);
            in.offlineForMs = 90000;
        }, {});
        row("no credits before enforcement", balance(0, -1), {});
        row("no credits at enforcement", balance(0, 0), {"payment_required"});
        row("debt at enforcement", balance(-3, 0), {"payment_required"});
        row("balance at low threshold", balance(1000, -1), {});
        row("balance under low threshold", balance(999, -1), {"credits_low"});
        row("low balance while first content comes", [=](OverlayInput& in) {
            balance(5, -1)(in);
            in.phase = QStringLiteral("candidate");
        }, {});
        row("low balance with an update pending", [=](OverlayInput& in) {
            balance(5, -1)(in);
            in.phase = QStringLiteral("candidate");
            in.updatePending = true;
        }, {"credits_low"});
        row("low balance while pairing", [=](OverlayInput& in) {
            balance(5, -1)(in);
            in.phase = QStringLiteral("pairing");
        }, {});
        row("degraded with nothing on screen", [](OverlayInput& in) {
            nothingOnScreen(in);
            in.phase = QStringLiteral("degraded");
        }, {"unavailable"});
        row("degraded with nothing on screen, verify", [](OverlayInput& in) {
            nothingOnScreen(in);
            in.phase = QStringLiteral("degraded");
            in.faults = {"verify"};
        }, {"verify_fail"});
        row("degraded on screen, hold", [](OverlayInput& in) {
            in.phase = QStringLiteral("degraded");
            in.faults = {"hold"};
        }, {"assignment_held"});
        row("hold outside degraded", faults({"hold"}), {});
        row("session with content", faults({"session"}), {"session_revoked"});
        row("session without content", [](OverlayInput& in) {
            nothingOnScreen(in);
            in.faults = {"session"};
        }, {});
        row("repair flag", [](OverlayInput& in) { in.repairNeeded = true; }, {"repair_needed"});
        row("paused", [](OverlayInput& in) { in.operatorPaused = true; }, {"paused"});
        row("paused with nothing playing", [](OverlayInput& in) {
            nothingOnScreen(in);
            in.operatorPaused = true;
        }, {});
        row("timezone", [](OverlayInput& in) { in.scheduleNeedsTimezone = true; },
            {"schedule_timezone"});
        row("several in rank order", [](OverlayInput& in) {
            in.faults = {"decode", "storage", "screen_archived"};
            in.operatorPaused = true;
        }, {"archived", "storage_full", "decode_miss", "paused"});
        row("fatal keeps the active list", [](OverlayInput& in) {
            in.phase = QStringLiteral("fatal");
            in.faults = {"verify", "payment_required"};
        }, {"payment_required", "verify_fail"});
    }
    void activation()
    {
        QFETCH(Patch, patch);
        QFETCH(QStringList, active);
        const auto result = evaluate(playing(patch), nullptr, contract());
        QVERIFY(result);
        QCOMPARE(result->output.activeConditions, active);
        const bool suppressed = QStringList({"starting", "pairing", "fatal"})
                                    .contains(playing(patch).phase);
        QCOMPARE(result->output.chip.has_value(), !active.isEmpty() && !suppressed);
        if (result->output.chip)
            QCOMPARE(result->output.chip->conditionId, active.first());
        QCOMPARE(result->notArchived, !active.contains("archived"));
    }

    void outsideTheVocabulary_data()
    {
        QTest::addColumn<Patch>("patch");
        QTest::newRow("phase in capitals") << Patch([](OverlayInput& in) { in.phase = "Active"; });
        QTest::newRow("no phase") << Patch([](OverlayInput& in) { in.phase.clear(); });
        QTest::newRow("unknown fault") << Patch([](OverlayInput& in) {
            in.faults = {"verify", "network"};
        });
        QTest::newRow("fault in capitals") << Patch([](OverlayInput& in) { in.faults = {"Decode"}; });
    }
    void outsideTheVocabulary()
    {
        QFETCH(Patch, patch);
        QVERIFY(!evaluate(playing(patch), nullptr, contract()));
        QVERIFY(evaluate(playing(), nullptr, contract()));
        QVERIFY(!evaluate(playing(), nullptr, OverlayContractData()));
    }

    void toastByEnvironment_data()
    {
        QTest::addColumn<QString>("environment");
        QTest::addColumn<Patch>("patch");
        QTest::addColumn<QString>("level");
        QTest::addColumn<QString>("text");
        const Patch verify = [](OverlayInput& in) { in.faults = {"verify"}; };
        const Patch offline = [](OverlayInput& in) { in.offlineForMs = 60000; };
        const Patch paused = [](OverlayInput& in) { in.operatorPaused = true; };
        const Patch held = [](OverlayInput& in) {
            in.updatePending = true;
            in.updateProgress = OverlayInput::UpdateProgress{0, true};
        };
        const Patch syncing = [](OverlayInput& in) {
            in.updatePending = true;
            in.updateProgress = OverlayInput::UpdateProgress{0, false};
        };
        QTest::newRow("error, production") << "production" << verify << "error"
                                           << "Cannot verify content";
        QTest::newRow("alert, production") << "production" << offline << "" << "";
        QTest::newRow("alert, non-production") << "non_production" << offline << "alert"
                                               << "Playing offline";
        QTest::newRow("info, production") << "production" << paused << "" << "";
        QTest::newRow("info, non-production") << "non_production" << paused << "info" << "Paused";
        QTest::newRow("alert chip with error toast, production")
            << "production" << held << "error" << "Update on hold";
        QTest::newRow("syncing never toasts") << "non_production" << syncing << "" << "";
        QTest::newRow("message missing") << "non_production" << Patch([=](OverlayInput& in) {
            verify(in);
            in.messages = QHash<QString, QString>{{"verify_fail", ""}};
        }) << "" << "";
        QTest::newRow("messages replaced") << "production" << Patch([=](OverlayInput& in) {
            verify(in);
            in.messages = QHash<QString, QString>{{"verify_fail", "Inhalt ungeprüft"}};
        }) << "error" << "Inhalt ungeprüft";
    }
    void toastByEnvironment()
    {
        QFETCH(QString, environment);
        QFETCH(Patch, patch);
        QFETCH(QString, level);
        OverlayInput input = playing(patch);
        input.environment = environment;
        const auto result = evaluate(input, nullptr, contract());
        QVERIFY(result);
        QCOMPARE(result->output.toast.has_value(), !level.isEmpty());
        QCOMPARE(result->memory.toastConditionId.isEmpty(), level.isEmpty());
        if (result->output.toast) {
            QCOMPARE(result->output.toast->level, level);
            QTEST(result->output.toast->text, "text");
            QCOMPARE(result->output.toast->durationMs, 10000);
        }
    }

    // One screen's story through the memory: toasts follow the chip, suppressed phases freeze
    // it, and every report goes out once per activation of its condition.
    void memoryAcrossEvaluations()
    {
        struct Step {
            const char* phase;
            QStringList faults;
            const char* toast; // the toasted condition, or ""
            bool dismiss;
            QStringList reports;
            const char* chip;
        };
        const QString held = QStringLiteral("runtime.assignment_held");
        const Step steps[] = {
            {"active", {"verify"}, "verify_fail", false, {}, "verify_fail"},
            {"active", {"verify"}, "", false, {}, "verify_fail"},
            {"active", {"decode"}, "decode_miss", true, {}, "decode_miss"},
            {"active", {"decode", "screen_archived"}, "archived", true,
             {"runtime.screen_archived:"}, "archived"},
            {"fatal", {"screen_archived"}, "", true, {}, ""},
            {"active", {"screen_archived"}, "", false, {}, "archived"},
            {"pairing", {}, "", false, {}, ""},
            {"active", {"screen_archived"}, "", false, {}, "archived"},
            {"active", {}, "", false, {}, ""},
            {"active", {"screen_archived"}, "archived", false, {"runtime.screen_archived:"},
             "archived"},
            {"degraded", {"hold"}, "assignment_held", true, {held + ":hold"}, "assignment_held"},
            {"degraded", {"hold"}, "", false, {}, "assignment_held"},
        };
        OverlayMemory memory;
        for (const Step& step : steps) {
            const int index = int(&step - steps);
            OverlayInput input = playing([&](OverlayInput& in) {
                in.phase = QLatin1String(step.phase);
                in.faults = step.faults;
            });
            const auto result = evaluate(input, &memory, contract());
            QVERIFY(result);
            const OverlayOutput& output = result->output;
            QVERIFY2(output.toast.has_value() == (*step.toast != 0), qPrintable(QString::number(index)));
            if (output.toast)
                QCOMPARE(result->memory.toastConditionId, QLatin1String(step.toast));
            QCOMPARE(output.dismissToast, step.dismiss);
            QCOMPARE(reportsOf(*result), step.reports);
            QCOMPARE(output.chip ? output.chip->conditionId : QString(), QLatin1String(step.chip));
            memory = result->memory;
        }

        // A held update without the hold fault asks for a new session.
        OverlayInput remint = playing([](OverlayInput& in) {
            in.updatePending = true;
            in.updateProgress = OverlayInput::UpdateProgress{10000, false};
        });
        QCOMPARE(reportsOf(*evaluate(remint, nullptr, contract())), QStringList{held + ":remint"});
    }

    void storageDetailAndNotice_data()
    {
        QTest::addColumn<bool>("playing");
        QTest::addColumn<std::optional<double>>("needed");
        QTest::addColumn<std::optional<double>>("available");
        QTest::addColumn<QString>("detail");
        QTest::newRow("nothing playing") << false << std::optional<double>(1536)
                                         << std::optional<double>(1048576)
                                         << QString::fromUtf8("Needs 1.5 KiB \u00b7 1 MiB free");
        QTest::newRow("playing") << true << std::optional<double>(1536)
                                 << std::optional<double>(1048576) << QString();
        QTest::newRow("needed unknown") << false << std::optional<double>()
                                        << std::optional<double>(1048576) << QString();
        QTest::newRow("available not a count") << false << std::optional<double>(1536)
                                               << std::optional<double>(-1) << QString();
    }
    void storageDetailAndNotice()
    {
        QFETCH(bool, playing);
        QFETCH(std::optional<double>, needed);
        QFETCH(std::optional<double>, available);
        OverlayInput input = ::playing([&](OverlayInput& in) {
            in.playing = in.showingContent = playing;
            in.faults = {"storage"};
            in.neededBytes = needed;
            in.availableBytes = available;
            in.upgradeNoticeShown = true;
        });
        auto result = evaluate(input, nullptr, contract());
        QVERIFY(result && result->output.chip);
        QCOMPARE(result->output.chip->conditionId, QStringLiteral("storage_full"));
        QCOMPARE(result->output.chip->level, QStringLiteral("error"));
        QCOMPARE(result->output.chip->icon, QStringLiteral("package"));
        QTEST(result->output.chip->detail, "detail");
        QVERIFY(result->output.notice);
        QCOMPARE(result->output.notice->id, QStringLiteral("upgrade_required"));
        QCOMPARE(result->output.notice->text, QStringLiteral("Player update required"));
        QCOMPARE(result->output.notice->icon, QStringLiteral("download-circle-01"));
        input.phase = QStringLiteral("starting");
        result = evaluate(input, nullptr, contract());
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
        row("infinite", std::numeric_limits<double>::infinity(), "");
        row("negative", -1, "");
        row("fraction", 1.5, "");
        row("zero", 0, "0 B");
        row("negative zero", -0.0, "0 B");
        row("1023", 1023, "1023 B");
        row("1024", 1024, "1 KiB");
        row("1075 rounds down", 1075, "1 KiB");
        row("1076 rounds up", 1076, "1.1 KiB");
        row("1536", 1536, "1.5 KiB");
        row("just under 1 MiB", 1048575, "1024 KiB");
        row("1 MiB", 1048576, "1 MiB");
        row("1.5 GiB", 1610612736, "1.5 GiB");
        row("1.5 PiB", 1688849860263936.0, "1.5 PiB");
        row("just under 2 PiB", 2251799813685247.0, "2 PiB");
        row("2^63", 9223372036854775808.0, "8192 PiB");
        row("2^64", 18446744073709551616.0, "16384 PiB");
        row("largest below 2^128", std::ldexp(1.0, 128) - std::ldexp(1.0, 75),
            "302231454903657260122112 PiB");
        row("2^128", std::ldexp(1.0, 128), "");
        row("1e300", 1e300, "");
    }
    void formatBytes()
    {
        QFETCH(std::optional<double>, bytes);
        QFETCH(QString, text);
        QCOMPARE(overlay::formatBytes(bytes).value_or(QString()), text);
    }

    void classifyDiagnostic_data()
    {
        QTest::addColumn<QString>("code");
        QTest::addColumn<int>("kind");
        for (const char* code : {"qml_gpu_sink_unavailable", "qml_gpu_sink_incompatible",
                                 "playbin3_unavailable", "pipeline_start_failed",
                                 "gstreamer_playback_error", "rejected_non_local_video",
                                 "web_wrapper_load_failed", "web_child_failed"})
            QTest::newRow(code) << code << int(OverlayPolicy::Decode);
        for (const char* code : {"cache_integrity_mismatch", "cache_declaration_invalid",
                                 "package_archive_integrity_mismatch",
                                 "package_archive_size_mismatch", "package_descriptor_invalid",
                                 "package_gzip_invalid_or_concatenated"})
            QTest::newRow(code) << code << int(OverlayPolicy::Verify);
        QTest::newRow("storage") << "content_storage_insufficient" << int(OverlayPolicy::Storage);
        QTest::newRow("session") << "session_revoked" << int(OverlayPolicy::Session);
        for (const char* code : {"session_retrying", "offline_lkg_active", "runtime_unavailable",
                                 "manifest_http_503", "device_session_http_",
                                 "identity_challenge_http_429", "identity_session_http_500"})
            QTest::newRow(code) << code << int(OverlayPolicy::Transport);
        for (const char* code : {"", "Session_revoked", "manifest_http", "http_manifest_503",
                                 "cache_write_failed", "session_revoked\n"})
            QTest::newRow(qPrintable(QStringLiteral("hold: ") + code)) << code
                                                                       << int(OverlayPolicy::Hold);
    }
    void classifyDiagnostic()
    {
        QFETCH(QString, code);
        QTEST(OverlayPolicy::classifyDiagnostic(code), "kind");
    }
};

QTEST_GUILESS_MAIN(TestOverlayPolicy)
#include "tst_overlaypolicy.moc"
