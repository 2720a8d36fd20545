#pragma once

// The trusted wrapper page in a real web engine, held the way the web placement holds it: one view
// in its own off-the-record profile with the wrapper as its top document, the wrapper's global
// object called through runJavaScript, and its queues pulled whenever the title says so. Beside it,
// the stub application of tests/support/stub-application, packaged per scenario, and its commands.
//
//     test::WrapperTestBench bench;                      // a package cache and its coordinator
//     bench.install("quiet", {{"ready", false}}, &error);  // the stub, playing that scenario
//     test::WrapperScene scene;
//     scene.start(&error, [&](QObject* profile) { return bench.serve(profile, "quiet"); });
//     scene.call("configure", {config});                 // its source is bench.entryUrl("quiet")
//     const auto answers = scene.send({message, ...});   // what the application got back

#include "tests/support/WebEngineStart.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

class QQmlEngine;
class QQuickWindow;

namespace talvorine {
class WebPackageSchemeCoordinator;
}

namespace talvorine::test {

// A package of the stub application playing the scenario (the members of window.stubScenario).
QByteArray stubApplicationPackage(const QJsonObject& scenario);

// Packages of the stub application installed in a temporary package cache, and the coordinator
// that serves one of them to a profile, as the web placement has it do.
class WrapperTestBench {
public:
    WrapperTestBench();
    ~WrapperTestBench();

    bool start(QString* error);
    bool install(const QString& name, const QJsonObject& scenario, QString* error);
    QUrl entryUrl(const QString& name) const;
    QString origin(const QString& name) const;
    // Configures the profile in uploaded mode for the named package.
    bool serve(QObject* profile, const QString& name);

private:
    QTemporaryDir dir_;
    QHash<QString, QString> digests_;
    std::unique_ptr<WebPackageSchemeCoordinator> coordinator_;
};

class WrapperScene : public QObject {
    Q_OBJECT

public:
    WrapperScene();
    ~WrapperScene() override;

    // Runs the event loop until done() holds; false after timeoutMs. The engine's browser side runs
    // on this thread, so the wait must never sleep (as QTest::qWait does between its turns): a
    // navigation takes dozens of turns, and ten idle milliseconds each make seconds of it.
    bool waitUntil(const std::function<bool()>& done, int timeoutMs = 30000);

    // Shows the window and loads the wrapper page; false with the reason in error. A package
    // scheme handler installed once the view is on screen is never asked for anything, so
    // prepareProfile (the coordinator's first configuration) runs before the window shows.
    bool start(QString* error, const std::function<bool(QObject* profile)>& prepareProfile);
    QObject* profile() const;

    // The expression's value in the wrapper's page, carried through JSON; nothing when the page
    // gave no answer within 30 s.
    std::optional<QJsonValue> evaluate(const QString& expression);
    // window.talvorineNativeWrapper.<member>(arguments...)
    std::optional<QJsonValue> call(const QString& member, const QJsonArray& arguments = {});
    // A getter of window.talvorineNativeWrapper ("failureStage", "handshakeStage").
    QString getter(const QString& name);
    QJsonObject diagnostics();

    // Posts a command to the stub application in the wrapper's frame (its "protocol" is added).
    bool command(QJsonObject command);
    // Sends the messages through the stub and waits until the wrapper has handled them: the
    // stub's reports of every answer it got since the last report (each {id, kind, problem,
    // result, envelope}); nothing when the stub did not report within 30 s.
    std::optional<QList<QJsonObject>> send(const QJsonArray& messages,
                                           const QString& command = QStringLiteral("send"));
    // The stub's reports of one code, parsed, in the order they were pulled.
    QList<QJsonObject> reports(const QString& code) const;
    // The application's own logs (not the stub's reports).
    QList<QJsonObject> applicationLogs() const;

    QString title() const { return titles_.isEmpty() ? QString() : titles_.last(); }
    const QStringList& titles() const { return titles_; }
    const QList<QJsonObject>& logs() const { return logs_; }
    const QList<QJsonObject>& events() const { return events_; }
    const QList<QJsonObject>& kvRequests() const { return kvRequests_; }
    // The most items one pull returned.
    int largestTake() const { return largestTake_; }
    // Whether events and key-value requests, and logs, are pulled at their titles (by default
    // they are; the stub's reports come as logs).
    void setPullRequests(bool pull) { pullRequests_ = pull; }
    void setPullLogs(bool pull) { pullLogs_ = pull; }
    // Forgets the titles, pulled items and console messages seen so far.
    void clear();
    // Messages the wrapper's own script wrote to the console.
    const QStringList& wrapperConsole() const { return wrapperConsole_; }

Q_SIGNALS:
    // Something arrived from the page: a title, an evaluation or a console message.
    void progressed();

private Q_SLOTS:
    void titleSeen(const QString& title);
    void evaluated(int serial, const QString& result);
    void consoleMessage(int level, const QString& message, const QString& sourceId);

private:
    int evaluateAsync(const QString& expression, std::function<void(const QString&)> done);
    void pull(const QString& member, QList<QJsonObject>* into);

    std::unique_ptr<QQmlEngine> engine_;
    std::unique_ptr<QQuickWindow> window_;
    QObject* view_ = nullptr;
    QObject* profile_ = nullptr;
    int serial_ = 0;
    int commandSerial_ = 0;
    QHash<int, std::function<void(const QString&)>> pending_;
    QStringList titles_;
    QList<QJsonObject> logs_;
    QList<QJsonObject> events_;
    QList<QJsonObject> kvRequests_;
    int largestTake_ = 0;
    bool pullRequests_ = true;
    bool pullLogs_ = true;
    QStringList wrapperConsole_;
};

} // namespace talvorine::test

// QCOMPARE once the scene's event loop has made the values equal, or after 30 s.
#define TALVORINE_WAIT_COMPARE(scene, actual, expected)                                            \
    do {                                                                                           \
        if (!(scene).waitUntil([&] { return (actual) == (expected); }))                            \
            QCOMPARE(actual, expected);                                                            \
    } while (false)
