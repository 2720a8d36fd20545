#include "operator/OperatorPanel.h"

#include "tests/support/TestFiles.h"

#include <QSemaphore>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>

using namespace talvorine;
namespace tf = talvorine::testfiles;

namespace {

const QString checking = QStringLiteral("Checking\u2026");

// Steps a person takes, written as words: key names (a trailing "*" marks an auto-repeat),
// "type:C" (a key with its text), "click", "backdrop", "hover:N", "row:N", "level:KEY:F",
// "commit:TEXT" ("_" for a space, in typed text too), "cancel", "failed", and touch points
// "press:ID:X:Y", "drag:ID:X:Y", "lift:ID", and "settle" (the PIN check is done).
// Returns what handleKey answered for each key, as a string of 0 and 1.
QString perform(OperatorPanel& panel, const QString& steps)
{
    static const QHash<QString, int> keys{
        {"esc", Qt::Key_Escape}, {"back", Qt::Key_Back},   {"sel", Qt::Key_Select},
        {"space", Qt::Key_Space}, {"ret", Qt::Key_Return}, {"enter", Qt::Key_Enter},
        {"up", Qt::Key_Up},       {"down", Qt::Key_Down},  {"left", Qt::Key_Left},
        {"right", Qt::Key_Right}, {"n", Qt::Key_N},        {"p", Qt::Key_P},
        {"f1", Qt::Key_F1}};
    QString consumed;
    for (const QString& step : steps.split(u' ', Qt::SkipEmptyParts)) {
        const QStringList part = step.split(u':');
        const QString word = part[0];
        if (keys.contains(QString(word).remove(u'*'))) {
            const int key = keys.value(QString(word).remove(u'*'));
            const QString text = key == Qt::Key_N ? "n" : key == Qt::Key_P ? "p" : QString();
            consumed += panel.handleKey(key, word.endsWith(u'*'), text) ? u'1' : u'0';
        } else if (word == "type") {
            consumed += panel.handleKey(0, false, step.mid(5).replace(u'_', u' ')) ? u'1' : u'0';
        } else if (word == "click") {
            panel.openFromPointer();
        } else if (word == "backdrop") {
            panel.dismissFromBackdrop();
        } else if (word == "hover") {
            panel.selectRow(part[1].toInt());
        } else if (word == "row") {
            panel.activateRow(part[1].toInt());
        } else if (word == "level") {
            panel.setLevelFromPointer(part[1], part[2].toDouble());
        } else if (word == "commit") {
            panel.commitName(step.mid(7).replace(u'_', u' '));
        } else if (word == "cancel") {
            panel.cancelNameEdit();
        } else if (word == "failed") {
            panel.resetFailed();
        } else if (word == "press") {
            panel.touchPressed(part[1].toInt(), part[2].toDouble(), part[3].toDouble());
        } else if (word == "drag") {
            panel.touchMoved(part[1].toInt(), part[2].toDouble(), part[3].toDouble());
        } else if (word == "lift") {
            panel.touchReleased(part[1].toInt());
        } else if (word == "settle") {
            static_cast<void>(QTest::qWaitFor([&] { return panel.status() != checking; }, 30000));
        } else {
            qFatal("unknown step %s", qPrintable(step));
        }
    }
    return consumed;
}

// "stage/selectedIndex" with the name editor, the status and a pending hold when present.
QString summary(const OperatorPanel& panel)
{
    QString text = QStringLiteral("%1/%2").arg(panel.stageName()).arg(panel.selectedIndex());
    if (panel.editingName())
        text += " edit:" + panel.nameSeed();
    if (!panel.status().isEmpty())
        text += " status:" + panel.status();
    if (panel.findChild<QTimer*>("operatorHold")->isActive())
        text += " hold";
    return text;
}

QString rowsText(const OperatorPanel& panel)
{
    QStringList rows;
    for (const QVariant& row : panel.rows()) {
        const QVariantMap map = row.toMap();
        rows.append(QStringList{map["key"].toString(), map["label"].toString(),
                                map["value"].toString(), map["level"].toString(),
                                map["muted"].toBool() ? "muted" : "", map["detail"].toString()}
                        .join(u'|'));
    }
    return rows.join(u';');
}

OperatorContext contextOf(const QString& flags)
{
    OperatorContext context;
    context.fatal = flags.contains("fatal");
    context.paired = flags.contains("paired");
    context.pairingVisible = flags.contains("pairing");
    if (flags.contains("named")) {
        context.screenName = QStringLiteral("  Lobby  ");
        context.screenDetails = QStringList{"10.0.0.7", "v26.09"};
    }
    return context;
}

} // namespace

class TestOperatorPanel : public QObject {
    Q_OBJECT

private slots:
    void init();

    void steps_data();
    void steps();
    void rows_data();
    void rows();
    void lockedPanelTakesThePinByArrows();
    void timersExpire();
    void levels_data();
    void levels();
    void fallbackContext();
    void canonicalScreenName_data();
    void canonicalScreenName();

private:
    std::unique_ptr<OperatorPanel> makePanel(OperatorPinStore::Derivation derivation = {})
    {
        auto panel = std::make_unique<OperatorPanel>(dir_->filePath("state/operator-pin"),
                                                     dir_->filePath("state/operator-brightness"),
                                                     nullptr, QString(), std::move(derivation));
        panel->setContextProvider([this] { return context_; });
        return panel;
    }
    QString brightnessFile() const { return dir_->filePath("state/operator-brightness"); }
    QString volumeFile() const { return dir_->filePath("state/operator-volume"); }

    std::unique_ptr<QTemporaryDir> dir_;
    OperatorContext context_;
};

void TestOperatorPanel::init()
{
    dir_ = std::make_unique<QTemporaryDir>();
    context_ = {};
}

void TestOperatorPanel::steps_data()
{
    QTest::addColumn<QString>("context");
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QString>("consumed");
    QTest::addColumn<QString>("state");
    QTest::addColumn<QStringList>("signalled");

    const QStringList none;
    // Admission.
    QTest::newRow("escape opens the menu on brightness") << "" << "esc" << "1" << "menu/0" << none;
    QTest::newRow("nothing opens over a fatal surface")
        << "paired,fatal" << "esc back sel click press:1:5:5" << "000" << "closed/0" << none;
    QTest::newRow("back needs pairing") << "" << "back" << "0" << "closed/0" << none;
    QTest::newRow("back, paired") << "paired" << "back" << "1" << "menu/1" << none;
    QTest::newRow("back not over the pairing screen")
        << "paired,pairing" << "back sel" << "00" << "closed/0" << none;
    QTest::newRow("escape over the pairing screen")
        << "pairing" << "esc" << "1" << "menu/0" << none;
    QTest::newRow("select keys") << "" << "space esc ret esc enter esc sel" << "1111111" << "menu/0"
                                 << none;
    QTest::newRow("a held escape does not open") << "" << "esc*" << "1" << "closed/0" << none;
    QTest::newRow("other keys pass") << "paired" << "f1 n" << "00" << "closed/0" << none;
    QTest::newRow("a click opens") << "" << "click" << "" << "menu/0" << none;
    QTest::newRow("backdrop closes") << "" << "click backdrop" << "" << "closed/0" << none;
    // Keys in the menu.
    QTest::newRow("down wraps to the first item")
        << "paired" << "esc down down down down" << "11111" << "menu/0" << none;
    QTest::newRow("up wraps to exit") << "paired" << "esc up up" << "111" << "menu/4" << none;
    QTest::newRow("up wraps, unpaired") << "" << "esc up" << "11" << "menu/3" << none;
    QTest::newRow("held arrows other than left and right are ignored")
        << "" << "esc down* f1" << "111" << "menu/0" << none;
    QTest::newRow("escape closes") << "" << "esc down esc" << "111" << "closed/0" << none;
    QTest::newRow("brightness stays at the top") << "" << "esc right" << "11" << "menu/0" << none;
    QTest::newRow("brightness steps down, held too")
        << "" << "esc left left*" << "111" << "menu/0" << QStringList{"b:90", "b:80"};
    QTest::newRow("volume to muted")
        << "" << "esc down left* left* left* left* left* left* left* left* left* left* left*"
        << "1111111111111" << "menu/1"
        << QStringList{"v:90", "v:80", "v:70", "v:60", "v:50",
                       "v:40", "v:30", "v:20", "v:10", "v:0"};
    QTest::newRow("N and P pass unless on the name")
        << "paired" << "esc n p up n" << "10011" << "menu/0 edit:n" << none;
    QTest::newRow("a typed letter starts the name")
        << "paired,named" << "esc up type:K" << "111" << "menu/0 edit:K" << none;
    QTest::newRow("typed space or two letters do not")
        << "paired,named" << "esc up type:_ type:ab" << "1111" << "menu/0" << none;
    QTest::newRow("typing elsewhere does nothing") << "paired" << "esc type:K" << "11" << "menu/1"
                                                   << none;
    QTest::newRow("exit") << "paired" << "esc up up ret" << "1111" << "closed/0" << none;
    // Rename.
    QTest::newRow("rename seeded with the name")
        << "paired,named" << "esc up ret" << "111" << "menu/0 edit:Lobby" << none;
    QTest::newRow("the editor passes keys but escape")
        << "paired,named" << "esc up ret left esc" << "11101" << "menu/0" << none;
    QTest::newRow("a held escape keeps the editor")
        << "paired,named" << "esc up ret esc*" << "1111" << "menu/0 edit:Lobby" << none;
    QTest::newRow("commit canonical")
        << "paired,named" << "esc up ret commit:__Hall\t7__" << "111" << "menu/0"
        << QStringList{"rename:Hall7"};
    QTest::newRow("commit unchanged") << "paired,named" << "esc up ret commit:Lobby_" << "111"
                                      << "menu/0" << none;
    QTest::newRow("commit nothing but spaces")
        << "paired,named" << "esc up ret commit:\t__\n" << "111" << "menu/0" << none;
    QTest::newRow("cancel the editor") << "paired" << "esc up ret cancel commit:X" << "111"
                                       << "menu/0" << none;
    QTest::newRow("no rename unpaired") << "" << "esc row:9 commit:X" << "1" << "menu/0" << none;
    // Reset.
    QTest::newRow("reset asks first") << "paired" << "esc down down ret" << "1111"
                                      << "confirm_reset/0" << none;
    QTest::newRow("reset confirmed")
        << "paired" << "esc down down ret down ret" << "111111"
        << "confirm_reset/1 status:Resetting\u2026" << QStringList{"reset"};
    QTest::newRow("reset failed keeps asking")
        << "paired" << "esc down down ret up ret failed" << "111111"
        << "confirm_reset/1 status:Reset failed. Check the connection and try again."
        << QStringList{"reset"};
    QTest::newRow("failed outside the confirmation") << "" << "esc failed" << "1" << "menu/0"
                                                     << none;
    QTest::newRow("reset cancelled") << "" << "esc up up ret ret" << "11111" << "closed/0" << none;
    // Pointer rows.
    QTest::newRow("hover selects") << "paired" << "esc hover:2 hover:9 hover:-1" << "1" << "menu/2"
                                   << none;
    QTest::newRow("row opens the confirmation") << "paired" << "esc row:3 hover:1" << "1"
                                                << "confirm_reset/1" << none;
    QTest::newRow("row confirms the reset")
        << "" << "click row:2 row:1" << "" << "confirm_reset/1 status:Resetting\u2026"
        << QStringList{"reset"};
    QTest::newRow("row cancels") << "" << "click row:2 row:0" << "" << "closed/0" << none;
    QTest::newRow("row out of range") << "" << "click row:4 row:-1" << "" << "menu/0" << none;
    QTest::newRow("row starts the rename") << "paired,named" << "click row:0" << ""
                                           << "menu/0 edit:Lobby" << none;
    QTest::newRow("pointer level rounds half away from zero")
        << "" << "click level:volume:0.44 level:volume:0.45 level:brightness:-3" << "" << "menu/0"
        << QStringList{"v:40", "v:50", "b:0"};
    QTest::newRow("pointer level ignores the rest")
        << "" << "click level:volume:nan level:volume:inf level:name:0.2 level:volume:1" << ""
        << "menu/1" << none;
    QTest::newRow("pointer level only in the menu") << "" << "level:volume:0.2" << "" << "closed/0"
                                                    << none;
    // Touch hold.
    QTest::newRow("a still finger holds") << "" << "press:3:100:100 drag:3:106:108 lift:4" << ""
                                          << "closed/0 hold" << none;
    QTest::newRow("a move beyond ten pixels cancels")
        << "" << "press:3:100:100 drag:3:106:108.1" << "" << "closed/0" << none;
    QTest::newRow("a second finger cancels") << "" << "press:3:100:100 press:4:300:300" << ""
                                             << "closed/0" << none;
    QTest::newRow("a release cancels") << "" << "press:3:1:1 lift:3" << "" << "closed/0" << none;
    QTest::newRow("no hold while open") << "" << "esc press:3:1:1" << "1" << "menu/0" << none;
}

void TestOperatorPanel::steps()
{
    QFETCH(QString, context);
    QFETCH(QString, steps);
    QFETCH(QString, consumed);
    QFETCH(QString, state);
    QFETCH(QStringList, signalled);

    context_ = contextOf(context);
    const auto panel = makePanel();
    QStringList heard;
    connect(panel.get(), &OperatorPanel::resetConfirmed, this, [&] { heard << "reset"; });
    connect(panel.get(), &OperatorPanel::renameRequested, this,
            [&](const QString& name) { heard << "rename:" + name; });
    connect(panel.get(), &OperatorPanel::brightnessChanged, this,
            [&](int percent) { heard << "b:" + QString::number(percent); });
    connect(panel.get(), &OperatorPanel::volumeChanged, this,
            [&](int percent) { heard << "v:" + QString::number(percent); });

    QCOMPARE(perform(*panel, steps), consumed);
    QCOMPARE(summary(*panel), state);
    QCOMPARE(heard, signalled);
    // Every change reached its file, owner-only.
    for (const auto& [file, percent] : {std::pair{brightnessFile(), panel->brightnessPercent()},
                                        std::pair{volumeFile(), panel->volumePercent()}}) {
        if (tf::exists(file)) {
            QCOMPARE(tf::read(file), QByteArray::number(percent));
            QCOMPARE(tf::modeOf(file), 0600);
        } else {
            QCOMPARE(percent, 100);
        }
    }
}

void TestOperatorPanel::rows_data()
{
    QTest::addColumn<QString>("context");
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QString>("rows");

    const QString tail = "brightness|Brightness|100%|100||;volume|Volume|100%|100||;"
                         "reset|Reset this screen||-1||;exit|Exit settings||-1||";
    QTest::newRow("closed") << "paired" << "" << "";
    QTest::newRow("unpaired menu") << "" << "esc" << tail;
    QTest::newRow("named") << "paired,named" << "esc"
                           << "name|Lobby||-1||10.0.0.7  \u00b7  v26.09;" + tail;
    QTest::newRow("unnamed") << "paired" << "esc" << "name|Unknown screen||-1|muted|;" + tail;
    QTest::newRow("muted volume")
        << "" << "esc level:volume:0 level:brightness:0.04"
        << "brightness|Brightness|0%|0||;volume|Volume|Muted|0||;reset|Reset this screen||-1||;"
           "exit|Exit settings||-1||";
    QTest::newRow("confirmation") << "" << "esc row:2" << "cancel|Cancel||-1||;reset|Reset||-1||";
}

void TestOperatorPanel::rows()
{
    QFETCH(QString, context);
    QFETCH(QString, steps);
    QFETCH(QString, rows);

    context_ = contextOf(context);
    const auto panel = makePanel();
    perform(*panel, steps);
    QCOMPARE(rowsText(*panel), rows);
    QCOMPARE(panel->rowCount(), rows.isEmpty() ? 0 : int(rows.count(u';')) + 1);
}

void TestOperatorPanel::lockedPanelTakesThePinByArrows()
{
    context_ = contextOf("paired");
    // The store's own derivation, each waiting for a permit of the gate.
    QSemaphore gate(100);
    std::atomic<int> derivations = 0;
    const auto panel = makePanel([&](const QByteArray& secret, const QByteArray& salt, int rounds) {
        ++derivations;
        return gate.tryAcquire(1, 30000) ? OperatorPinStore::pbkdf2Sha256(secret, salt, rounds)
                                         : QByteArray();
    });
    QVERIFY(panel->setPin(QStringLiteral("190000")));
    QVERIFY(!panel->setPin(QStringLiteral("1900"))); // the panel enters six digits only

    const QString dot = QStringLiteral("\u2022");
    perform(*panel, "esc");
    QCOMPARE(panel->stageName(), QStringLiteral("locked"));
    QCOMPARE(panel->heading(), QStringLiteral("PIN"));
    perform(*panel, "up right down* down left");
    QCOMPARE(panel->detail(), QString("1 %1 %1 %1 %1 %1").arg(dot));
    // Held keys other than left and right do not step digits; a wrong PIN clears them.
    perform(*panel, "right up* up ret settle");
    QCOMPARE(summary(*panel), QStringLiteral("locked/0"));
    QCOMPARE(panel->detail(), QString("0 %1 %1 %1 %1 %1").arg(dot));
    // Pointer rows and touch cannot unlock.
    perform(*panel, "row:0 level:volume:0 hover:1");
    QCOMPARE(panel->volumePercent(), 100);
    // The keys return while the key is derived: the panel says it is checking and takes no
    // second attempt until the first is settled.
    gate.acquire(gate.available());
    perform(*panel, "up right down ret ret");
    QCOMPARE(summary(*panel), "locked/0 status:" + checking);
    gate.release(100);
    QTRY_COMPARE_WITH_TIMEOUT(summary(*panel), QStringLiteral("menu/1"), 30000);
    QCOMPARE(derivations.load(), 3);

    // Five wrong PINs lock the panel, the last closed before it was checked; the detail says so.
    perform(*panel, "esc ret");
    QCOMPARE(panel->stageName(), QStringLiteral("locked"));
    perform(*panel, "ret settle ret settle ret settle ret settle ret esc");
    const OperatorPinStore record(dir_->filePath("state/operator-pin"));
    QTRY_COMPARE_WITH_TIMEOUT(record.attemptState().failures, 5, 30000);
    QCOMPARE(summary(*panel), QStringLiteral("closed/0"));
    perform(*panel, "esc");
    QCOMPARE(panel->detail(), QStringLiteral("Locked"));
    perform(*panel, "up right down ret");
    QCOMPARE(panel->stageName(), QStringLiteral("locked"));
}

void TestOperatorPanel::timersExpire()
{
    const auto panel = makePanel();
    const auto timer = [&](const char* name) { return panel->findChild<QTimer*>(name); };
    QSignalSpy held(panel.get(), &OperatorPanel::holdChanged);

    // The hold fills after its first timer and opens the panel after the second.
    perform(*panel, "press:1:50:50");
    timer("operatorHoldFill")->start(1);
    QTRY_VERIFY_WITH_TIMEOUT(panel->holdFilling(), 30000);
    QCOMPARE(held.size(), 1);
    timer("operatorHold")->start(1);
    QTRY_VERIFY_WITH_TIMEOUT(panel->isOpen(), 30000);
    QVERIFY(!panel->holdFilling());
    QCOMPARE(held.size(), 2);
    QVERIFY(timer("operatorIdle")->isActive());

    // The level bar hides after its timer; activity keeps the panel open, idleness closes it.
    perform(*panel, "left");
    QCOMPARE(panel->adjusting(), QStringLiteral("brightness"));
    timer("operatorAdjusting")->start(1);
    QTRY_VERIFY_WITH_TIMEOUT(panel->adjusting().isEmpty(), 30000);
    QVERIFY(panel->isOpen());
    timer("operatorIdle")->stop();
    panel->noteActivity();
    QVERIFY(timer("operatorIdle")->isActive());
    timer("operatorIdle")->start(1);
    QTRY_VERIFY_WITH_TIMEOUT(!panel->isOpen(), 30000);
}

void TestOperatorPanel::levels_data()
{
    QTest::addColumn<QByteArray>("stored"); // the brightness file, "-" when absent
    QTest::addColumn<bool>("hardware");
    QTest::addColumn<int>("percent");
    QTest::addColumn<double>("scrim");
    QTest::addColumn<double>("media");

    QTest::newRow("absent") << QByteArray("-") << false << 100 << 0.0 << 1.0;
    QTest::newRow("forty with a line feed") << QByteArray("40\n") << false << 40 << 0.0 << 0.4;
    QTest::newRow("five dims") << QByteArray("5") << false << 5 << 0.5 << 0.05;
    QTest::newRow("zero is black") << QByteArray("0") << false << 0 << 1.0 << 0.0;
    QTest::newRow("zero with hardware") << QByteArray("0") << true << 0 << 0.0 << 1.0;
    QTest::newRow("above the top") << QByteArray("250") << false << 100 << 0.0 << 1.0;
    QTest::newRow("below zero") << QByteArray("-5") << false << 0 << 1.0 << 0.0;
    QTest::newRow("not a number") << QByteArray("loud") << false << 100 << 0.0 << 1.0;
    QTest::newRow("beyond an int") << QByteArray("99999999999") << false << 100 << 0.0 << 1.0;
}

void TestOperatorPanel::levels()
{
    QFETCH(QByteArray, stored);
    QFETCH(bool, hardware);
    QFETCH(int, percent);
    QFETCH(double, scrim);
    QFETCH(double, media);

    QVERIFY(QDir().mkpath(dir_->filePath("state")));
    if (stored != "-") {
        QVERIFY(tf::write(brightnessFile(), stored));
        QVERIFY(tf::write(volumeFile(), stored));
    }
    const auto panel = makePanel();
    QCOMPARE(panel->brightnessPercent(), percent);
    QCOMPARE(panel->volumePercent(), percent);
    QSignalSpy changed(panel.get(), &OperatorPanel::changed);
    panel->setHardwareBrightness(hardware);
    panel->setHardwareVolume(hardware);
    QCOMPARE(changed.size(), hardware ? 2 : 0);
    QCOMPARE(panel->scrimOpacity() + 1.0, scrim + 1.0);
    QCOMPARE(panel->mediaVolume() + 1.0, media + 1.0);

    // A level set now is what the files and a later restore give back.
    QSignalSpy brightness(panel.get(), &OperatorPanel::brightnessChanged);
    panel->setBrightness(70);
    panel->setBrightness(70);
    QCOMPARE(brightness.size(), percent == 70 ? 0 : 1);
    QVERIFY(tf::write(volumeFile(), "30"));
    QCOMPARE(panel->restoreVolume(), 30);
    QCOMPARE(panel->restoreBrightness(), 70);
}

void TestOperatorPanel::fallbackContext()
{
    OperatorPanel panel(dir_->filePath("operator-pin"), QString());
    QSignalSpy changed(&panel, &OperatorPanel::changed);
    QVERIFY(!panel.admits(OperatorOpenKind::BackKey));
    panel.setPaired(true);
    panel.setScreenName(QStringLiteral("Hall"));
    QCOMPARE(changed.size(), 0); // closed: nothing to redraw
    QVERIFY(panel.handleKey(Qt::Key_Back));
    QCOMPARE(panel.menuItems().size(), 5);
    perform(panel, "up ret");
    QCOMPARE(panel.nameSeed(), QStringLiteral("Hall"));
    changed.clear();
    panel.setScreenDetails({QStringLiteral("a")});
    panel.setScreenDetails({QStringLiteral("a")});
    QCOMPARE(changed.size(), 1);
    // Unpairing leaves the editor but keeps its seed.
    panel.setPaired(false);
    QVERIFY(!panel.editingName());
    QCOMPARE(panel.nameSeed(), QStringLiteral("Hall"));
    QCOMPARE(panel.menuItems().size(), 4);
    panel.setPairingVisible(true);
    QVERIFY(!panel.admits(OperatorOpenKind::SelectKey));
    panel.setFatal(true);
    QVERIFY(!panel.isOpen());
    QVERIFY(!panel.admits(OperatorOpenKind::TouchHold));
    // A provider replaces the fallback entirely.
    panel.setContextProvider([] { return contextOf("paired"); });
    QVERIFY(panel.admits(OperatorOpenKind::BackKey));
}

void TestOperatorPanel::canonicalScreenName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("canonical");

    const QString smile = QString::fromUtf8("\U0001F600"); // four UTF-8 bytes, a surrogate pair
    QTest::newRow("trimmed") << "  Lobby  " << "Lobby";
    QTest::newRow("controls dropped") << "\aLo\tbby\u0085\n" << "Lobby";
    QTest::newRow("only controls and spaces") << "\t \u00a0\r\n\u0007 " << "";
    QTest::newRow("format characters kept") << "a\u200bb" << "a\u200bb";
    QTest::newRow("200 letters") << QString(200, u'a') << QString(120, u'a');
    QTest::newRow("a two-byte letter that does not fit")
        << QString(119, u'a') + "\u00e9" << QString(119, u'a');
    QTest::newRow("a pair that fits") << QString(116, u'a') + smile + "b"
                                      << QString(116, u'a') + smile;
    QTest::newRow("a pair that does not fit") << QString(117, u'a') + smile << QString(117, u'a');
    QTest::newRow("no trailing space after the cut") << QString(118, u'a') + "  bc"
                                                     << QString(118, u'a');
}

void TestOperatorPanel::canonicalScreenName()
{
    QFETCH(QString, name);
    QFETCH(QString, canonical);

    const QString result = OperatorPanel::canonicalScreenName(name);
    QCOMPARE(result, canonical);
    QVERIFY(result.toUtf8().size() <= 120);
    QCOMPARE(OperatorPanel::canonicalScreenName(result), result);
}

QTEST_GUILESS_MAIN(TestOperatorPanel)
#include "tst_operatorpanel.moc"
