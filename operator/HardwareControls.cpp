#include "operator/HardwareControls.h"

#include "app/DevFileLog.h"
#include "app/PlayerOpLog.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QMutexLocker>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcHardware, "talvorine.hardware")

namespace talvorine {

namespace {

// The programs asked here print a line or two; anything past this is not kept.
constexpr qsizetype maxOutputBytes = 65536;

void appendCapped(QByteArray& output, const QByteArray& chunk)
{
    output.append(chunk.left(std::max<qsizetype>(0, maxOutputBytes - output.size())));
}

// A small kernel or sysfs attribute, Latin-1 and trimmed; empty when it cannot be read.
QString readAttribute(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLatin1(file.read(64)).trimmed();
}

int backlightRank(const QString& type)
{
    if (type == QLatin1String("firmware"))
        return 0;
    if (type == QLatin1String("platform"))
        return 1;
    return 2;
}

// percent of maximum, rounded half away from zero, without overflow for any int maximum.
int scaled(int percent, int maximum)
{
    return int((qint64(percent) * maximum * 2 + 100) / 200);
}

bool writeDigits(const QString& path, int value)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0)
        return false;
    const QByteArray digits = QByteArray::number(value);
    ssize_t written = 0;
    do {
        written = ::write(fd, digits.constData(), size_t(digits.size()));
    } while (written < 0 && errno == EINTR);
    // sysfs reports a refused value at close as well as at write.
    const bool closed = ::close(fd) == 0;
    return written >= 1 && closed;
}

const QString defaultAudioSink = QStringLiteral("@DEFAULT_AUDIO_SINK@");
const QString defaultPulseSink = QStringLiteral("@DEFAULT_SINK@");

} // namespace

CommandResult runCommand(const QString& program, const QStringList& arguments, int timeoutMs)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments, QIODevice::ReadOnly);
    if (!process.waitForStarted(timeoutMs))
        return {};
    const QDeadlineTimer deadline(timeoutMs);
    QByteArray output;
    while (process.state() != QProcess::NotRunning) {
        const qint64 remainingMs = deadline.remainingTime();
        if (remainingMs <= 0) {
            process.kill();
            process.waitForFinished(1000);
            return {};
        }
        // A program that closed its output can only be waited for, not read.
        if (!process.waitForReadyRead(int(remainingMs))
            && process.state() != QProcess::NotRunning)
            process.waitForFinished(int(std::max<qint64>(deadline.remainingTime(), 1)));
        appendCapped(output, process.readAll());
    }
    appendCapped(output, process.readAll());
    if (process.exitStatus() != QProcess::NormalExit)
        return {};
    return {process.exitCode(), output};
}

QString locateProgram(const QString& program)
{
    return QStandardPaths::findExecutable(program);
}

// --- HardwareLevelControl ---

HardwareLevelControl::HardwareLevelControl(QString kind, QString fallbackBackend,
                                           CommandRunner run, ProgramLocator locate,
                                           QObject* parent)
    : QObject(parent),
      kind_(std::move(kind)),
      fallback_(std::move(fallbackBackend)),
      run_(std::move(run)),
      locate_(std::move(locate))
{
    pool_.setMaxThreadCount(1);
}

HardwareLevelControl::~HardwareLevelControl()
{
    waitForIdle();
}

void HardwareLevelControl::apply(int percent)
{
    QMutexLocker lock(&mutex_);
    target_ = std::clamp(percent, 0, 100);
    if (running_)
        return; // the running worker picks the new target up
    running_ = true;
    const bool openOperation = !probed_ && operationId_.isEmpty();
    lock.unlock();
    if (openOperation) {
        operationId_ = PlayerOpLog::newId();
        operationStartMs_ = QDateTime::currentMSecsSinceEpoch();
        PlayerOpLog::startLocal(operationId_, QStringLiteral("hardware.%1").arg(kind_),
                                QStringLiteral("probe %1 control").arg(kind_), {});
    }
    pool_.start([this] { work(); });
}

QString HardwareLevelControl::backend() const
{
    QMutexLocker lock(&mutex_);
    return backend_;
}

bool HardwareLevelControl::isHardware() const
{
    QMutexLocker lock(&mutex_);
    return probed_ && backend_ != fallback_;
}

void HardwareLevelControl::waitForIdle()
{
    pool_.waitForDone();
}

CommandResult HardwareLevelControl::run(const QString& program, const QStringList& arguments) const
{
    return run_ ? run_(program, arguments, commandTimeoutMs) : CommandResult{};
}

QString HardwareLevelControl::locate(const QString& program) const
{
    return locate_ ? locate_(program) : QString();
}

void HardwareLevelControl::work()
{
    bool probed = false;
    {
        QMutexLocker lock(&mutex_);
        probed = probed_;
    }
    if (!probed) {
        const QString resolved = probe();
        {
            QMutexLocker lock(&mutex_);
            backend_ = resolved;
            probed_ = true;
        }
        QMetaObject::invokeMethod(this, [this, resolved] { noteResolved(resolved); },
                                  Qt::QueuedConnection);
    }
    while (true) {
        QString backend;
        int percent = 0;
        {
            QMutexLocker lock(&mutex_);
            // Deciding to stop and clearing the flag in one critical section: an apply between
            // two sections would find the worker still running and its level would be lost.
            if (target_ == lastApplied_ || backend_ == fallback_) {
                running_ = false;
                return;
            }
            backend = backend_;
            percent = target_;
        }
        const bool applied = set(backend, percent);
        {
            // A failed level counts as applied: it is not retried until another is asked for.
            QMutexLocker lock(&mutex_);
            lastApplied_ = percent;
        }
        if (!applied) {
            QMetaObject::invokeMethod(
                this,
                [this, backend, percent] {
                    DevFileLog::record(QStringLiteral("hardware.%1_failed").arg(kind_),
                                       {{QStringLiteral("backend"), backend},
                                        {QStringLiteral("percent"), percent}});
                    Q_EMIT applyFailed(backend, percent);
                },
                Qt::QueuedConnection);
        }
    }
}

void HardwareLevelControl::noteResolved(const QString& backend)
{
    const bool hardware = backend != fallback_;
    const QJsonObject fields{{QStringLiteral("backend"), backend},
                             {QStringLiteral("hardware"), hardware}};
    PlayerOpLog::finishLocal(
        operationId_, QStringLiteral("hardware.%1").arg(kind_),
        std::max<qint64>(0, QDateTime::currentMSecsSinceEpoch() - operationStartMs_), fields);
    DevFileLog::record(QStringLiteral("hardware.%1_backend").arg(kind_), fields);
    qCInfo(lcHardware, "hardware %s backend=%s", qPrintable(kind_), qPrintable(backend));
    Q_EMIT backendResolved(backend, hardware);
}

// --- HardwareBrightness ---

HardwareBrightness::HardwareBrightness(QObject* parent, QString backlightRoot, CommandRunner run,
                                       ProgramLocator locate)
    : HardwareLevelControl(QStringLiteral("brightness"), QStringLiteral("scrim"), std::move(run),
                           std::move(locate), parent),
      backlightRoot_(std::move(backlightRoot))
{
}

HardwareBrightness::~HardwareBrightness()
{
    waitForIdle();
}

QString HardwareBrightness::probe()
{
    const QDir root(backlightRoot_);
    // sysfs entries are links to the devices' directories, so links are not excluded.
    QStringList entries = root.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    QList<std::pair<int, QString>> ranked;
    for (const QString& entry : std::as_const(entries))
        ranked.append({backlightRank(readAttribute(root.filePath(entry + QStringLiteral("/type")))),
                       entry});
    std::stable_sort(ranked.begin(), ranked.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [rank, entry] : std::as_const(ranked)) {
        bool ok = false;
        const int maximum =
            readAttribute(root.filePath(entry + QStringLiteral("/max_brightness"))).toInt(&ok, 10);
        const QString file = root.filePath(entry + QStringLiteral("/brightness"));
        if (!ok || maximum <= 0 || ::access(QFile::encodeName(file).constData(), W_OK) != 0)
            continue;
        brightnessFile_ = file;
        maximum_ = maximum;
        return QStringLiteral("sysfs:") + entry;
    }

    const QString ddcutil = locate(QStringLiteral("ddcutil"));
    if (!ddcutil.isEmpty()) {
        const CommandResult result = run(
            ddcutil, {QStringLiteral("--brief"), QStringLiteral("getvcp"), QStringLiteral("10")});
        // Searched, not anchored: the brief line may come with other output around it.
        static const QRegularExpression line(QStringLiteral("VCP\\s+10\\s+C\\s+(\\d+)\\s+(\\d+)"));
        const QRegularExpressionMatch match = line.match(QString::fromLatin1(result.output));
        bool ok = false;
        const int maximum = match.hasMatch() ? match.captured(2).toInt(&ok, 10) : 0;
        if (result.exitCode == 0 && ok && maximum >= 1) {
            ddcutil_ = ddcutil;
            monitorMaximum_ = maximum;
            return QStringLiteral("ddcutil");
        }
    }
    return QStringLiteral("scrim");
}

bool HardwareBrightness::set(const QString& backend, int percent)
{
    if (backend.startsWith(QLatin1String("sysfs:"))) {
        // Never 0: many backlights switch off there, and a dark screen cannot show the panel
        // that would undo it (the stored level would bring it back at every start).
        return writeDigits(brightnessFile_, std::max(1, scaled(percent, maximum_)));
    }
    if (backend == QLatin1String("ddcutil")) {
        return run(ddcutil_, {QStringLiteral("setvcp"), QStringLiteral("10"),
                              QString::number(scaled(percent, monitorMaximum_))})
                   .exitCode
            == 0;
    }
    return false;
}

// --- HardwareVolume ---

HardwareVolume::HardwareVolume(QObject* parent, CommandRunner run, ProgramLocator locate)
    : HardwareLevelControl(QStringLiteral("volume"), QStringLiteral("media"), std::move(run),
                           std::move(locate), parent)
{
}

HardwareVolume::~HardwareVolume()
{
    waitForIdle();
}

QString HardwareVolume::probe()
{
    const std::pair<QString, QStringList> candidates[] = {
        {QStringLiteral("wpctl"), {QStringLiteral("get-volume"), defaultAudioSink}},
        {QStringLiteral("pactl"), {QStringLiteral("get-sink-volume"), defaultPulseSink}},
        {QStringLiteral("amixer"), {QStringLiteral("sget"), QStringLiteral("Master")}},
    };
    for (const auto& [name, arguments] : candidates) {
        const QString path = locate(name);
        if (!path.isEmpty() && run(path, arguments).exitCode == 0) {
            program_ = path;
            return name;
        }
    }
    return QStringLiteral("media");
}

bool HardwareVolume::set(const QString& backend, int percent)
{
    const bool mute = percent == 0;
    const QString muteFlag = mute ? QStringLiteral("1") : QStringLiteral("0");
    const auto succeeds = [this](const QStringList& arguments) {
        return run(program_, arguments).exitCode == 0;
    };
    // Both commands of a pair run even when the first fails.
    if (backend == QLatin1String("wpctl")) {
        const bool level = succeeds({QStringLiteral("set-volume"), defaultAudioSink,
                                     QString::number(percent / 100.0, 'f', 2)});
        const bool muted = succeeds({QStringLiteral("set-mute"), defaultAudioSink, muteFlag});
        return level && muted;
    }
    if (backend == QLatin1String("pactl")) {
        const bool level = succeeds({QStringLiteral("set-sink-volume"), defaultPulseSink,
                                     QStringLiteral("%1%").arg(percent)});
        const bool muted = succeeds({QStringLiteral("set-sink-mute"), defaultPulseSink, muteFlag});
        return level && muted;
    }
    if (backend == QLatin1String("amixer")) {
        return succeeds({QStringLiteral("-q"), QStringLiteral("sset"), QStringLiteral("Master"),
                         QStringLiteral("%1%").arg(percent),
                         mute ? QStringLiteral("mute") : QStringLiteral("unmute")});
    }
    return false;
}

} // namespace talvorine
