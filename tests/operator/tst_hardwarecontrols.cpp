#include "operator/HardwareControls.h"

#include "app/DevFileLog.h"
#include "tests/support/OpLogListener.h"
#include "tests/support/TestFiles.h"
#include "tests/support/TestSupport.h"

#include <QMutex>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <memory>

using namespace talvorine;
namespace tf = talvorine::testfiles;

namespace {

// A control whose probe and set are the test's: the first set can be held on a latch.
class LatchedControl : public HardwareLevelControl {
public:
    explicit LatchedControl(QString resolved)
        : HardwareLevelControl(QStringLiteral("brightness"), QStringLiteral("scrim"), {}, {}),
          resolved_(std::move(resolved))
    {
    }
    ~LatchedControl() override
    {
        latch.release(1000);
        waitForIdle();
    }
    QList<int> sets() const
    {
        QMutexLocker lock(&mutex_);
        return sets_;
    }

    QSemaphore entered;
    QSemaphore latch;
    std::atomic<bool> holdFirst{true};
    std::atomic<bool> succeed{true};
    std::atomic<int> probes{0};
    std::atomic<int> setCount{0};

protected:
    QString probe() override
    {
        ++probes;
        return resolved_;
    }
    bool set(const QString&, int percent) override
    {
        {
            QMutexLocker lock(&mutex_);
            sets_.append(percent);
        }
        ++setCount;
        if (holdFirst.exchange(false)) {
            entered.release();
            latch.acquire();
        }
        return succeed;
    }

private:
    const QString resolved_;
    mutable QMutex mutex_;
    QList<int> sets_;
};

} // namespace

class TestHardwareControls : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void runCommandEnds_data();
    void runCommandEnds();
    void volumeBackends_data();
    void volumeBackends();
    void failedVolumeIsLoggedOnceAndNotRetried();
    void brightnessBackends_data();
    void brightnessBackends();
    void burstCollapsesToTheLastLevel();
    void stopDecisionNeverLosesALevel();
    void destructorWaitsForTheWorker();

private:
    // A fake program on the private search path that logs its name and arguments, then runs body.
    void fake(const QString& name, const QString& body, int mode = 0755)
    {
        const QString script = QStringLiteral("#!/bin/sh\nprintf '%s\\n' \"%1 $*\" >> '%2'\n%3\n")
                                   .arg(name, callLog(), body);
        QVERIFY(tf::write(bin_->filePath(name), script.toUtf8(), mode_t(mode)));
    }
    QString callLog() const { return bin_->filePath(QStringLiteral("calls.log")); }
    QStringList calls() const
    {
        return QString::fromUtf8(tf::read(callLog())).split(u'\n', Qt::SkipEmptyParts);
    }
    QList<QJsonObject> devRecords(const QString& event) const
    {
        return test::recordsOf(test::readJsonLines(DevFileLog::path()), event);
    }
    // Applies levels one after the other, each to its end.
    static void applyAll(HardwareLevelControl& control, const QList<int>& levels)
    {
        for (int level : levels) {
            control.apply(level);
            control.waitForIdle();
        }
    }

    QTemporaryDir logDir_;
    std::unique_ptr<QTemporaryDir> bin_;
};

void TestHardwareControls::initTestCase()
{
    DevFileLog::configure(QUrl(QStringLiteral("http://localhost:1")), logDir_.path(), 0);
}

void TestHardwareControls::init()
{
    bin_ = std::make_unique<QTemporaryDir>();
    // Only the fakes are found, by the real locateProgram.
    qputenv("PATH", QFile::encodeName(bin_->path()));
}

void TestHardwareControls::runCommandEnds_data()
{
    QTest::addColumn<QString>("body"); // empty: no program at all
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("limitMs");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("output");

    QTest::newRow("exit code and merged output")
        << "echo out; echo err >&2; exit 3" << 0755 << 30000 << 3 << QByteArray("out\nerr\n");
    QTest::newRow("hangs past the limit")
        << "exec /bin/sleep 60" << 0755 << 300 << -1 << QByteArray();
    QTest::newRow("hangs with its output closed")
        << "exec >&- 2>&-; exec /bin/sleep 60" << 0755 << 300 << -1 << QByteArray();
    QTest::newRow("crashes")
        << "echo partial; kill -SEGV $$" << 0755 << 30000 << -1 << QByteArray();
    QTest::newRow("not executable") << "exit 0" << 0644 << 30000 << -1 << QByteArray();
    QTest::newRow("missing") << "" << 0755 << 30000 << -1 << QByteArray();
}

void TestHardwareControls::runCommandEnds()
{
    QFETCH(QString, body);
    QFETCH(int, mode);
    QFETCH(int, limitMs);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, output);

    if (!body.isEmpty())
        fake(QStringLiteral("tool"), body, mode);
    const CommandResult result = runCommand(bin_->filePath(QStringLiteral("tool")),
                                            {QStringLiteral("a b"), QStringLiteral("c")}, limitMs);
    QCOMPARE(result.exitCode, exitCode);
    QCOMPARE(result.output, output);
    if (exitCode >= 0)
        QCOMPARE(calls(), QStringList{"tool a b c"});
}

void TestHardwareControls::volumeBackends_data()
{
    QTest::addColumn<QStringList>("programs"); // name=body
    QTest::addColumn<QString>("backend");
    QTest::addColumn<QStringList>("expected"); // after applying 0, then 35

    const QString sink = QStringLiteral("@DEFAULT_AUDIO_SINK@");
    QTest::newRow("PipeWire first")
        << QStringList{"wpctl=exit 0", "pactl=exit 0", "amixer=exit 0"} << "wpctl"
        << QStringList{"wpctl get-volume " + sink, "wpctl set-volume " + sink + " 0.00",
                       "wpctl set-mute " + sink + " 1", "wpctl set-volume " + sink + " 0.35",
                       "wpctl set-mute " + sink + " 0"};
    QTest::newRow("PulseAudio when PipeWire's probe fails")
        << QStringList{"wpctl=exit 1", "pactl=exit 0"} << "pactl"
        << QStringList{"wpctl get-volume " + sink, "pactl get-sink-volume @DEFAULT_SINK@",
                       "pactl set-sink-volume @DEFAULT_SINK@ 0%",
                       "pactl set-sink-mute @DEFAULT_SINK@ 1",
                       "pactl set-sink-volume @DEFAULT_SINK@ 35%",
                       "pactl set-sink-mute @DEFAULT_SINK@ 0"};
    QTest::newRow("ALSA alone")
        << QStringList{"amixer=exit 0"} << "amixer"
        << QStringList{"amixer sget Master", "amixer -q sset Master 0% mute",
                       "amixer -q sset Master 35% unmute"};
    QTest::newRow("nothing: the media gain") << QStringList{"pactl=exit 7"} << "media"
                                             << QStringList{"pactl get-sink-volume @DEFAULT_SINK@"};
}

void TestHardwareControls::volumeBackends()
{
    QFETCH(QStringList, programs);
    QFETCH(QString, backend);
    QFETCH(QStringList, expected);

    for (const QString& program : std::as_const(programs))
        fake(program.section(u'=', 0, 0), program.section(u'=', 1));
    HardwareVolume volume(nullptr, runCommand, locateProgram);
    QSignalSpy resolved(&volume, &HardwareLevelControl::backendResolved);
    applyAll(volume, {0, 35});
    QTRY_COMPARE_WITH_TIMEOUT(resolved.size(), 1, 30000);
    QCOMPARE(resolved.at(0).at(0).toString(), backend);
    QCOMPARE(resolved.at(0).at(1).toBool(), backend != QLatin1String("media"));
    QCOMPARE(volume.isHardware(), backend != QLatin1String("media"));
    QCOMPARE(calls(), expected);
}

void TestHardwareControls::failedVolumeIsLoggedOnceAndNotRetried()
{
    fake(QStringLiteral("wpctl"), QStringLiteral("[ \"$1\" = set-volume ] && exit 1; exit 0"));
    HardwareVolume volume(nullptr, runCommand, locateProgram);
    QSignalSpy failed(&volume, &HardwareLevelControl::applyFailed);
    applyAll(volume, {40});
    QVERIFY(failed.wait(30000));
    QCOMPARE(failed.constFirst(), (QVariantList{"wpctl", 40}));
    // The mute command ran all the same.
    QCOMPARE(calls().size(), 3);
    QVERIFY(calls().constLast().startsWith(QStringLiteral("wpctl set-mute")));
    const QJsonObject record = devRecords(QStringLiteral("hardware.volume_failed")).constLast();
    QCOMPARE(record.value("backend").toString(), QStringLiteral("wpctl"));
    QCOMPARE(record.value("percent").toInt(), 40);

    applyAll(volume, {40});
    QCOMPARE(calls().size(), 3);
    applyAll(volume, {50});
    QCOMPARE(calls().size(), 5);
    QVERIFY(failed.wait(30000));
    QCOMPARE(failed.size(), 2);
}

void TestHardwareControls::brightnessBackends_data()
{
    QTest::addColumn<QStringList>("entries"); // name|type|max[|immutable]; type "-": no file
    QTest::addColumn<QString>("ddcutil");     // the fake's body; empty: not installed
    QTest::addColumn<int>("percent");
    QTest::addColumn<QString>("backend");
    QTest::addColumn<QString>("written"); // the chosen brightness file's content, or the set call

    const QStringList none;
    const QString brief = QStringLiteral("[ \"$1\" = --brief ] && echo 'VCP 10 C 40 100'; exit 0");
    QTest::newRow("firmware before an earlier name")
        << QStringList{"acpi_video0|raw|255", "intel_backlight|firmware|100"} << "" << 50
        << "sysfs:intel_backlight" << "50";
    QTest::newRow("platform before other types")
        << QStringList{"a|raw|10", "b|platform|10"} << "" << 50 << "sysfs:b" << "5";
    QTest::newRow("equal ranks keep name order")
        << QStringList{"b|raw|10", "a|raw|10", "c|-|10"} << "" << 50 << "sysfs:a" << "5";
    QTest::newRow("zero maximum skipped, half away from zero")
        << QStringList{"a|firmware|0", "b|raw|255"} << "" << 50 << "sysfs:b" << "128";
    QTest::newRow("garbage maximum skipped")
        << QStringList{"a|firmware|12x", "b|raw|5"} << "" << 50 << "sysfs:b" << "3";
    QTest::newRow("unwritable brightness skipped")
        << QStringList{"a|firmware|255|immutable", "b|raw|100"} << "" << 30 << "sysfs:b" << "30";
    QTest::newRow("never fully off") << QStringList{"a|raw|255"} << "" << 0 << "sysfs:a" << "1";
    QTest::newRow("monitor over DDC/CI")
        << none << brief << 0 << "ddcutil" << "ddcutil setvcp 10 0";
    QTest::newRow("DDC/CI output that does not match")
        << none << "echo 'VCP 10 C forty'; exit 0" << 50 << "scrim" << "";
    QTest::newRow("DDC/CI probe failing")
        << none << "echo 'VCP 10 C 40 100'; exit 1" << 50 << "scrim" << "";
    QTest::newRow("nothing") << none << "" << 50 << "scrim" << "";
}

void TestHardwareControls::brightnessBackends()
{
    QFETCH(QStringList, entries);
    QFETCH(QString, ddcutil);
    QFETCH(int, percent);
    QFETCH(QString, backend);
    QFETCH(QString, written);

    QTemporaryDir root;
    std::vector<std::unique_ptr<tf::Immutable>> frozen;
    for (const QString& entry : std::as_const(entries)) {
        const QStringList parts = entry.split(u'|');
        const QDir dir(root.filePath(parts[0]));
        QVERIFY(QDir().mkpath(dir.path()));
        if (parts[1] != QLatin1String("-"))
            QVERIFY(tf::write(dir.filePath("type"), parts[1].toLatin1() + '\n'));
        if (parts[2] != QLatin1String("-"))
            QVERIFY(tf::write(dir.filePath("max_brightness"), parts[2].toLatin1() + '\n'));
        QVERIFY(tf::write(dir.filePath("brightness"), "7\n"));
        if (parts.size() > 3) {
            frozen.push_back(std::make_unique<tf::Immutable>(dir.filePath("brightness")));
            if (!frozen.back()->isSet())
                QSKIP("the file system cannot make a file immutable");
        }
    }
    if (!ddcutil.isEmpty())
        fake(QStringLiteral("ddcutil"), ddcutil);

    HardwareBrightness brightness(nullptr, root.path(), runCommand, locateProgram);
    QSignalSpy resolved(&brightness, &HardwareLevelControl::backendResolved);
    applyAll(brightness, {percent});
    QTRY_COMPARE_WITH_TIMEOUT(resolved.size(), 1, 30000);
    QCOMPARE(resolved.constFirst().at(0).toString(), backend);
    QCOMPARE(brightness.backend(), backend);
    for (const QString& entry : std::as_const(entries)) {
        const QString name = entry.section(u'|', 0, 0);
        const QByteArray content = tf::read(root.filePath(name + "/brightness"));
        QCOMPARE(content, backend == "sysfs:" + name ? written.toLatin1() : QByteArray("7\n"));
    }
    if (backend == QLatin1String("ddcutil"))
        QCOMPARE(calls(), (QStringList{"ddcutil --brief getvcp 10", written}));
}

void TestHardwareControls::burstCollapsesToTheLastLevel()
{
    test::OpLogListener listener;
    LatchedControl control(QStringLiteral("panel"));
    const QThread* const gui = QThread::currentThread();
    QList<bool> onGui;
    connect(&control, &HardwareLevelControl::backendResolved, this,
            [&] { onGui.append(QThread::currentThread() == gui); });

    control.apply(10);
    QVERIFY(control.entered.tryAcquire(1, 30000));
    for (int level = 20; level <= 90; level += 10)
        control.apply(level);
    control.latch.release();
    control.waitForIdle();
    QCOMPARE(control.sets(), (QList<int>{10, 90}));

    control.apply(90);
    control.apply(50);
    control.waitForIdle();
    QCOMPARE(control.sets(), (QList<int>{10, 90, 50}));
    QCOMPARE(control.probes.load(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(onGui, QList<bool>{true}, 30000);
    QVERIFY(control.isHardware());

    QVERIFY(listener.waitForLines(2, 30000));
    const QList<QJsonObject> records = listener.records();
    QCOMPARE(records.size(), 2);
    QCOMPARE(records[0].value("phase").toString(), QStringLiteral("start"));
    QCOMPARE(records[0].value("message").toString(), QStringLiteral("probe brightness control"));
    QCOMPARE(records[1].value("phase").toString(), QStringLiteral("finish"));
    for (const QJsonObject& record : records) {
        QCOMPARE(record.value("op").toString(), QStringLiteral("hardware.brightness"));
        QCOMPARE(record.value("correlation_id"), records[0].value("correlation_id"));
    }
    const QJsonObject params = records[1].value("params").toObject();
    QCOMPARE(params.value("backend").toString(), QStringLiteral("panel"));
    QCOMPARE(params.value("hardware").toBool(), true);
    const QJsonObject backend =
        devRecords(QStringLiteral("hardware.brightness_backend")).constLast();
    QCOMPARE(backend.value("backend").toString(), QStringLiteral("panel"));
    QCOMPARE(backend.value("hardware").toBool(), true);
}

void TestHardwareControls::stopDecisionNeverLosesALevel()
{
    // The last apply of each round lands at a varying moment just after the worker's set, when
    // the worker is about to decide to stop: it must still be applied. Under the sanitizers this
    // also checks that only the mutex's members cross threads.
    LatchedControl control(QStringLiteral("panel"));
    control.holdFirst = false;
    std::atomic<int> spinner{0};
    for (int round = 0; round < 5000; ++round) {
        const int first = round * 2 % 100; // never the level the round before left
        const int last = first + 1;
        const int before = control.setCount;
        control.apply(first);
        const QDeadlineTimer deadline(30000);
        while (control.setCount == before && !deadline.hasExpired())
            QThread::yieldCurrentThread();
        QVERIFY(control.setCount > before);
        for (int spin = round % 64; spin > 0; --spin)
            spinner.fetch_add(1, std::memory_order_relaxed);
        control.apply(last);
        control.waitForIdle();
        QCOMPARE(control.sets().constLast(), last);
    }
}

void TestHardwareControls::destructorWaitsForTheWorker()
{
    auto control = std::make_unique<LatchedControl>(QStringLiteral("panel"));
    QSignalSpy failed(control.get(), &HardwareLevelControl::applyFailed);
    control->succeed = false;
    control->apply(10);
    QVERIFY(control->entered.tryAcquire(1, 30000));
    control->apply(20);
    // The latch opens only inside the destructor, with the worker mid-set and one level queued;
    // its failures and its backend are posted to an object that is then gone.
    control.reset();
    QCoreApplication::processEvents();
    QCOMPARE(failed.size(), 0);
}

QTEST_GUILESS_MAIN(TestHardwareControls)
#include "tst_hardwarecontrols.moc"
