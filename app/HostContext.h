#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

namespace talvorine {

// Facts about the machine that the player tells the runtime service, each validated and
// bounded: a value that looks like a firmware placeholder, is too long or is unprintable is
// left empty rather than sent.
struct HostContext {
    QString platform;
    QString hostVersion;
    QString duid;
    QString serial;
    QString mac;
    QString model;
    QString firmware;
    QString manufacturer;
    QStringList capabilities;

    QJsonObject toJson() const;
    QJsonObject presence() const;
};

struct HostInterfaceCandidate {
    QString name;
    QString hardwareAddress;
    bool up = false;
    bool running = false;
    bool loopback = false;
    bool pointToPoint = false;
    bool hasRoutableAddress = false;
};

struct HostContextSources {
    QString hostVersion;
    QString dmiDirectory;
    QString kernelVersion;
    QList<HostInterfaceCandidate> interfaces;
    QStringList capabilities;
};

HostContext readHostContext(const QString& hostVersion, const QStringList& capabilities);
HostContext buildHostContext(const HostContextSources& sources);
QList<HostInterfaceCandidate> systemInterfaceCandidates();
QString primaryHardwareAddress(const QList<HostInterfaceCandidate>& candidates);
QStringList hostIdentifyLines(const HostContext& context);

} // namespace talvorine
