#pragma once

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>

namespace talvorine {

// What this machine's GStreamer and web engine can do for the player, probed once.
class CapabilityReport : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool qmlGpuVideoSinkAvailable READ qmlGpuVideoSinkAvailable CONSTANT)
public:
    explicit CapabilityReport(QObject* parent = nullptr);

    bool qmlGpuVideoSinkAvailable() const { return qml6glsink_; }
    Q_INVOKABLE QJsonObject toJson() const;
    QStringList hostCapabilities() const;
    QStringList streamTransports() const { return streamTransports_; }

private:
    QString summary() const;

    bool webEngine_ = true;
    bool qml6glsink_ = false;
    bool v4l2slh265dec_ = false;
    bool glimagesink_ = false;
    QStringList streamTransports_;
    QString gstreamerVersion_;
};

} // namespace talvorine
