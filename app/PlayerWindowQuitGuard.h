#pragma once

#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>

class QGuiApplication;
class QQmlApplicationEngine;
class QQuickWindow;
class QWindow;

namespace talvorine {

// Records why and how the player's windows and process go away, to the developer log and
// the console. It only observes: no event is consumed, changed or vetoed.
class PlayerWindowQuitGuard : public QObject {
    Q_OBJECT
public:
    explicit PlayerWindowQuitGuard(QObject* parent = nullptr);
    ~PlayerWindowQuitGuard() override;

    static void install(QGuiApplication* app, QQmlApplicationEngine* engine);

    void attachWindow(QQuickWindow* window);
    bool eventFilter(QObject* watched, QEvent* event) override;
    void log(const char* event, const QHash<QString, QString>& fields) const;

    static QHash<QString, QString> windowFields(const QWindow* window);
    static QString visibilityName(const QWindow* window);

private:
    QSet<QObject*> attached_;
};

} // namespace talvorine
