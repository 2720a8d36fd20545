#pragma once

// Web placements (resources/qml/WebPlacement.qml) made the way the stage makes them, every input
// at construction and then beginLoad(), in one window with a stand-in for the controller's two
// answer signals. Each placement's signals are recorded; its page is reached through the view's
// runJavaScript in the top document (the wrapper for an application).
//
//     test::WrapperTestBench bench;             // stub packages, as in tst_trustedwrapper
//     test::PlacementScene scene;
//     scene.start(&error);
//     QObject* web = scene.create(scene.applicationInputs(bench, "quiet", context));
//     scene.waitUntil([&] { return scene.count(web, "placementReady") == 1; });
//     Q_EMIT scene.controller()->applicationEventFinished(key, 200, "{}");

#include "tests/support/WrapperScene.h"

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>

#include <functional>
#include <memory>
#include <optional>

class QQmlEngine;
class QQuickWindow;

namespace talvorine {
class WebPackageSchemeCoordinator;
}

namespace talvorine::test {

// What the placement listens to on the controller (talvorineController in the scene's context).
class AnswerSource : public QObject {
    Q_OBJECT
Q_SIGNALS:
    void applicationEventFinished(QString requestId, int status, QString body);
    void applicationKvFinished(QString requestId, int status, QString body);
};

// One signal of one placement: its name and arguments in order.
struct PlacementSignal {
    QString name;
    QVariantList arguments;
};

class PlacementScene : public QObject {
    Q_OBJECT

public:
    PlacementScene();
    ~PlacementScene() override;

    bool start(QString* error);
    QQuickWindow* window() const { return window_.get(); }
    AnswerSource* controller() { return &controller_; }

    // The inputs of an application placement showing the bench's package, and of an iframe.
    QVariantMap applicationInputs(const WrapperTestBench& bench, const QString& package,
                                  const QJsonObject& context) const;
    QVariantMap iframeInputs(const QUrl& url, const QString& origin) const;
    // Makes a placement with the inputs set at construction, then (with load) calls beginLoad();
    // null with the component's errors in error. Its signals are recorded, and so are the
    // downloads its page starts ("downloadRequested" with the state the profile left).
    QObject* create(const QVariantMap& inputs, QString* error = nullptr, bool load = true);
    void destroy(QObject* placement);

    bool waitUntil(const std::function<bool()>& done, int timeoutMs = 30000);
    const QList<PlacementSignal>& signalsOf(QObject* placement) const;
    int count(QObject* placement, const QString& name) const;
    QStringList failures(QObject* placement) const;

    // The expression's value in the placement's top document, carried through JSON.
    std::optional<QJsonValue> evaluate(QObject* placement, const QString& expression);
    // A command to the stub application inside the wrapper (its "protocol" is added).
    bool command(QObject* placement, QJsonObject command);
    // Sends the messages through the stub and returns the stub's reports of the answers it got
    // since its last report.
    std::optional<QList<QJsonObject>> send(QObject* placement, const QJsonArray& messages);
    // The stub's reports of one code, parsed, and the application's own logs.
    QList<QJsonObject> reports(QObject* placement, const QString& code) const;
    QList<QJsonObject> applicationLogs(QObject* placement) const;

Q_SIGNALS:
    void progressed();

private Q_SLOTS:
    void deliver(QObject* placement, const QString& name, const QVariant& arguments);
    void answered(int serial, const QString& result);

private:

    std::unique_ptr<QQmlEngine> engine_;
    std::unique_ptr<QQuickWindow> window_;
    std::unique_ptr<WebPackageSchemeCoordinator> coordinator_;
    AnswerSource controller_;
    QHash<QObject*, QList<PlacementSignal>> signals_;
    QHash<int, QString> answers_;
    int serial_ = 0;
    int commandSerial_ = 0;
};

} // namespace talvorine::test
