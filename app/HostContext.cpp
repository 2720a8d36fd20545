#include "app/HostContext.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QNetworkInterface>
#include <QRegularExpression>
#include <QSet>
#include <QSysInfo>

namespace talvorine {

namespace {

constexpr int maxCapabilities = 32;

bool isDmiPlaceholder(const QString& lower)
{
    static const QSet<QString> placeholders{
        QStringLiteral("to be filled by o.e.m."), QStringLiteral("default string"),
        QStringLiteral("system serial number"),   QStringLiteral("system product name"),
        QStringLiteral("system manufacturer"),    QStringLiteral("none"),
        QStringLiteral("not specified"),          QStringLiteral("not applicable"),
        QStringLiteral("unknown"),                QStringLiteral("0123456789"),
        QStringLiteral("0"),                      QStringLiteral("n/a"),
    };
    return placeholders.contains(lower);
}

bool isVirtualInterface(const QString& name)
{
    static const QStringList prefixes{
        QStringLiteral("veth"), QStringLiteral("docker"), QStringLiteral("br-"),
        QStringLiteral("virbr"), QStringLiteral("tun"), QStringLiteral("tap"),
        QStringLiteral("wg"), QStringLiteral("zt"), QStringLiteral("tailscale"),
        QStringLiteral("vmnet"), QStringLiteral("lxc"), QStringLiteral("podman"),
    };
    return std::any_of(prefixes.cbegin(), prefixes.cend(),
                       [&name](const QString& prefix) { return name.startsWith(prefix); });
}

QString readDmi(const QString& directory, const QString& name)
{
    if (directory.isEmpty())
        return {};
    QFile file(QDir(directory).filePath(name));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QString text = QString::fromLatin1(file.read(1024)).trimmed();
    if (text.isEmpty() || isDmiPlaceholder(text.toLower()))
        return {};
    return text;
}

QString printable(const QString& value, int max)
{
    // Only ASCII white space is collapsed: a no-break space or a Latin-1 control is outside the
    // printable range and rejects the whole value, like any other such character.
    static const QRegularExpression whiteRun(QStringLiteral("[ \\t\\n\\v\\f\\r]+"));
    QString text = QString(value).replace(whiteRun, QStringLiteral(" "));
    if (text.startsWith(QLatin1Char(' ')))
        text.remove(0, 1);
    if (text.endsWith(QLatin1Char(' ')))
        text.chop(1);
    if (text.isEmpty() || text.size() > max)
        return {};
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() > 0x7E)
            return {};
    }
    return text;
}

QString token(const QString& value, int min, int max)
{
    static const QRegularExpression pattern(QStringLiteral("\\A[A-Za-z0-9:_-]+\\z"));
    const QString text = value.trimmed();
    if (text.size() < min || text.size() > max || !pattern.match(text).hasMatch())
        return {};
    return text;
}

QStringList capabilityNames(const QStringList& offered)
{
    static const QRegularExpression pattern(QStringLiteral("\\A[a-z0-9_]+\\z"));
    QStringList taken;
    for (const QString& raw : offered) {
        const QString name = raw.trimmed();
        if (name.isEmpty() || name.size() > 40 || !pattern.match(name).hasMatch()
            || taken.contains(name))
            continue;
        if (taken.size() == maxCapabilities)
            break;
        taken.append(name);
    }
    return taken;
}

} // namespace

QJsonObject HostContext::toJson() const
{
    const QString trimmedPlatform = platform.trimmed();
    if (trimmedPlatform.isEmpty())
        return {};
    QJsonObject out{{QStringLiteral("platform"), trimmedPlatform}};
    if (!hostVersion.isEmpty())
        out.insert(QStringLiteral("host_version"), hostVersion);
    QJsonObject device;
    const std::pair<const char*, const QString*> facts[] = {
        {"duid", &duid},         {"serial", &serial},     {"mac", &mac},
        {"model", &model},       {"firmware", &firmware}, {"manufacturer", &manufacturer},
    };
    for (const auto& [key, value] : facts) {
        if (!value->isEmpty())
            device.insert(QLatin1String(key), *value);
    }
    if (!device.isEmpty())
        out.insert(QStringLiteral("device"), device);
    if (!capabilities.isEmpty())
        out.insert(QStringLiteral("capabilities"), QJsonArray::fromStringList(capabilities));
    return out;
}

QJsonObject HostContext::presence() const
{
    return {
        {QStringLiteral("platform"), platform},
        {QStringLiteral("host_version"), !hostVersion.isEmpty()},
        {QStringLiteral("duid"), !duid.isEmpty()},
        {QStringLiteral("serial"), !serial.isEmpty()},
        {QStringLiteral("mac"), !mac.isEmpty()},
        {QStringLiteral("model"), !model.isEmpty()},
        {QStringLiteral("firmware"), !firmware.isEmpty()},
        {QStringLiteral("manufacturer"), !manufacturer.isEmpty()},
        {QStringLiteral("capabilities"), int(capabilities.size())},
    };
}

HostContext readHostContext(const QString& hostVersion, const QStringList& capabilities)
{
    HostContextSources sources;
    sources.hostVersion = hostVersion;
    sources.dmiDirectory = QStringLiteral("/sys/class/dmi/id");
    sources.kernelVersion = QSysInfo::kernelVersion();
    sources.interfaces = systemInterfaceCandidates();
    sources.capabilities = capabilities;
    return buildHostContext(sources);
}

HostContext buildHostContext(const HostContextSources& sources)
{
    HostContext context;
    context.platform = QStringLiteral("qt");
    context.hostVersion = printable(sources.hostVersion, 40);
    context.serial = token(readDmi(sources.dmiDirectory, QStringLiteral("product_serial")), 4, 128);
    context.model = printable(readDmi(sources.dmiDirectory, QStringLiteral("product_name")), 80);
    context.manufacturer = printable(readDmi(sources.dmiDirectory, QStringLiteral("sys_vendor")), 80);
    context.firmware = printable(sources.kernelVersion, 80);
    context.mac = token(primaryHardwareAddress(sources.interfaces), 6, 64);
    // No source feeds a device unique id on this platform.
    context.duid = token(QString(), 6, 128);
    context.capabilities = capabilityNames(sources.capabilities);
    return context;
}

QList<HostInterfaceCandidate> systemInterfaceCandidates()
{
    QList<HostInterfaceCandidate> out;
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface& iface : interfaces) {
        const auto flags = iface.flags();
        HostInterfaceCandidate candidate;
        candidate.name = iface.name();
        candidate.hardwareAddress = iface.hardwareAddress();
        candidate.up = flags.testFlag(QNetworkInterface::IsUp);
        candidate.running = flags.testFlag(QNetworkInterface::IsRunning);
        candidate.loopback = flags.testFlag(QNetworkInterface::IsLoopBack)
            || iface.type() == QNetworkInterface::Loopback;
        candidate.pointToPoint = flags.testFlag(QNetworkInterface::IsPointToPoint);
        const QList<QNetworkAddressEntry> entries = iface.addressEntries();
        candidate.hasRoutableAddress =
            std::any_of(entries.cbegin(), entries.cend(), [](const QNetworkAddressEntry& e) {
                const QHostAddress ip = e.ip();
                return !ip.isNull() && !ip.isLoopback() && !ip.isLinkLocal();
            });
        out.append(candidate);
    }
    return out;
}

QString primaryHardwareAddress(const QList<HostInterfaceCandidate>& candidates)
{
    // Slot 0: running with a routable address; 1: running without one; 2: not running.
    QString ranked[3];
    for (const HostInterfaceCandidate& candidate : candidates) {
        if (candidate.loopback || candidate.pointToPoint || !candidate.up)
            continue;
        if (isVirtualInterface(candidate.name))
            continue;
        const QString address = candidate.hardwareAddress.trimmed();
        QString digits = address;
        digits.remove(QLatin1Char(':')).remove(QLatin1Char('-'));
        if (digits.isEmpty() || digits.count(QLatin1Char('0')) == digits.size())
            continue;
        const int slot = !candidate.running ? 2 : (candidate.hasRoutableAddress ? 0 : 1);
        if (ranked[slot].isEmpty())
            ranked[slot] = address;
    }
    for (const QString& chosen : ranked) {
        if (!chosen.isEmpty())
            return chosen;
    }
    return {};
}

QStringList hostIdentifyLines(const HostContext& context)
{
    QStringList lines;
    if (!context.model.isEmpty())
        lines.append(QStringLiteral("Model %1").arg(context.model));
    if (!context.firmware.isEmpty())
        lines.append(QStringLiteral("Firmware %1").arg(context.firmware));
    if (!context.serial.isEmpty())
        lines.append(QStringLiteral("Serial %1").arg(context.serial));
    if (!context.duid.isEmpty())
        lines.append(QStringLiteral("DUID %1").arg(context.duid));
    return lines;
}

} // namespace talvorine
