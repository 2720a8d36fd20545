#pragma once

#include <QObject>

namespace talvorine {

// The QML-facing coordinator of web packages, one object for the whole process
// ("talvorineWebPackages"). Web placements configure their engine profiles through it; until
// the web applications arrive it offers nothing.
class WebPackageSchemeCoordinator : public QObject {
    Q_OBJECT
public:
    explicit WebPackageSchemeCoordinator(QObject* parent = nullptr);
};

} // namespace talvorine
