#pragma once

// A real web engine for the tests and benchmarks of the web boundary: started the way the
// player starts it, one view per profile in a window of the test compositor, and the test
// package whose page does what the test asks.
//
//     int main(int argc, char** argv)
//     {
//         test::startWebEngine();            // before the application object
//         QGuiApplication app(argc, argv);
//         ...
//     }

#include "tests/support/WebEngineStart.h"
#include "web/ApplicationPackageCache.h"
#include "web/WebPackageSchemeHandler.h"

#include <QByteArray>
#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QUrl>
#include <QVariant>

#include <QSemaphore>

#include <atomic>
#include <functional>
#include <memory>

class QQuickView;
class QQuickWebEngineProfile;

namespace talvorine::test {

// One off-the-record profile and one view on it, shown in a window of its own.
class EngineView {
public:
    EngineView();
    ~EngineView();
    EngineView(const EngineView&) = delete;
    EngineView& operator=(const EngineView&) = delete;

    QQuickWebEngineProfile* profile() const { return profile_; }

    // Loads the URL and waits until the load ends; true when it succeeded.
    bool load(const QUrl& url);
    // Runs the script in the top document and waits for its result.
    QVariant evaluate(const QString& script);
    // Waits until the message of that id reached the stand-in wrapper, and returns it; an empty
    // object when none came within the limit.
    QJsonObject waitForResult(const QString& id);
    QJsonObject result(const QString& id);

private:
    QQuickWebEngineProfile* profile_;
    std::unique_ptr<QQuickView> window_;
};

// The files of the test package (the page of the wrapper's tests, its probe script and one
// file of each kind the probe loads), with extra files added.
QMap<QString, QByteArray> probePackageFiles();

// The package built from those files, installed into the cache.
struct InstalledProbePackage {
    ApplicationPackageDescriptor descriptor;
    QString tree; // the package's object directory
};
std::optional<InstalledProbePackage> installProbePackage(ApplicationPackageCache& cache,
                                                         const QMap<QString, QByteArray>& files);

QUrl standInWrapperUrl();

// The file work of a package handler, seen and held by the test: each call is counted, and
// while `holding` is set it waits for the gate before it resolves anything.
struct HeldFileWork {
    std::atomic<bool> holding{false};
    QSemaphore gate;
    std::atomic<int> entered{0};
    std::atomic<int> started{0};
    // Runs on the worker between resolution and opening; set before the request is made.
    std::function<void(const ResolvedPackageFile&)> afterResolve;

    packagescheme::Handler::Resolve resolve();
};

// The production handler, counting the requests the engine hands it.
class WatchedHandler : public packagescheme::Handler {
public:
    WatchedHandler(QObject* parent, HeldFileWork& work);
    void requestStarted(QWebEngineUrlRequestJob* job) override;

private:
    HeldFileWork& work_;
};

// The developer log's records of one event, and a record without its time stamp, event name
// and process id.
QList<QJsonObject> devLogRecords(const QString& event);
QJsonObject recordFields(QJsonObject record);

// The script of the stand-in wrapper that asks framed page `frame` to do `message`.
QString askScript(int frame, const QJsonObject& message);

} // namespace talvorine::test
