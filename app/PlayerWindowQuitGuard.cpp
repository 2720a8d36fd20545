#include "app/PlayerWindowQuitGuard.h"

#include "app/DevFileLog.h"
#include "app/LogRedaction.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QJsonObject>
#include <QPlatformSurfaceEvent>
#include <QPointer>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QScreen>

// The closing signal's argument type is only declared by Qt's public header.
Q_DECLARE_OPAQUE_POINTER(QQuickCloseEvent*)

namespace talvorine {

namespace {

QString flag(bool value)
{
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

QString windowCount()
{
    return QString::number(QGuiApplication::topLevelWindows().size());
}

} // namespace

PlayerWindowQuitGuard::PlayerWindowQuitGuard(QObject* parent)
    : QObject(parent)
{
}

PlayerWindowQuitGuard::~PlayerWindowQuitGuard() = default;

void PlayerWindowQuitGuard::install(QGuiApplication* app, QQmlApplicationEngine* engine)
{
    if (!app)
        return;
    auto* guard = new PlayerWindowQuitGuard(app);
    app->installEventFilter(guard);

    QObject::connect(app, &QCoreApplication::aboutToQuit, guard, [guard] {
        const QWindowList windows = QGuiApplication::topLevelWindows();
        const auto visible = std::count_if(windows.cbegin(), windows.cend(),
                                           [](const QWindow* w) { return w->isVisible(); });
        guard->log("process.about_to_quit",
                   {{QStringLiteral("windows"), QString::number(windows.size())},
                    {QStringLiteral("visible"), QString::number(visible)},
                    {QStringLiteral("quit_on_last_window_closed"),
                     flag(QGuiApplication::quitOnLastWindowClosed())}});
    });
    QObject::connect(app, &QGuiApplication::lastWindowClosed, guard, [guard] {
        guard->log("process.last_window_closed",
                   {{QStringLiteral("quit_on_last_window_closed"),
                     flag(QGuiApplication::quitOnLastWindowClosed())}});
    });
    QObject::connect(app, &QGuiApplication::screenRemoved, guard, [guard](QScreen* screen) {
        if (!screen) {
            guard->log("window.screen_removed", {});
            return;
        }
        guard->log("window.screen_removed",
                   {{QStringLiteral("name"), screen->name()},
                    {QStringLiteral("width"), QString::number(screen->size().width())},
                    {QStringLiteral("height"), QString::number(screen->size().height())}});
    });

    if (!engine)
        return;
    QObject::connect(engine, &QQmlApplicationEngine::objectCreated, guard,
                     [guard](QObject* object, const QUrl&) {
                         guard->attachWindow(qobject_cast<QQuickWindow*>(object));
                     });
    const QList<QObject*> roots = engine->rootObjects();
    for (QObject* root : roots)
        guard->attachWindow(qobject_cast<QQuickWindow*>(root));
}

void PlayerWindowQuitGuard::attachWindow(QQuickWindow* window)
{
    if (!window || attached_.contains(window))
        return;
    attached_.insert(window);
    log("window.attached", windowFields(window));

    // The guard is the context of every connection, so the scene-graph signals that come from
    // the render thread are recorded on the GUI thread, with the fields read then; by then the
    // window may be gone, hence the guarded pointer.
    const QPointer<QWindow> guarded(window);
    connect(window, &QObject::destroyed, this, [this, window] {
        attached_.remove(window);
        log("window.destroyed", {});
    });
    connect(window, &QWindow::visibleChanged, this, [this, guarded](bool visible) {
        auto fields = windowFields(guarded);
        fields.insert(QStringLiteral("visible"), flag(visible));
        log("window.visible", fields);
    });
    connect(window, &QWindow::visibilityChanged, this,
            [this, guarded] { log("window.visibility", windowFields(guarded)); });
    connect(window, &QQuickWindow::closing, this, [this, guarded] {
        auto fields = windowFields(guarded);
        fields.insert(QStringLiteral("source"), QStringLiteral("qquickwindow.closing"));
        log("window.closing", fields);
    });
    connect(window, &QQuickWindow::sceneGraphError, this,
            [this, guarded](QQuickWindow::SceneGraphError error, const QString& message) {
                auto fields = windowFields(guarded);
                fields.insert(QStringLiteral("error"), QString::number(int(error)));
                fields.insert(QStringLiteral("message"), message);
                log("window.scene_graph_error", fields);
            });
    connect(window, &QQuickWindow::sceneGraphInvalidated, this,
            [this, guarded] { log("window.scene_graph_invalidated", windowFields(guarded)); });
    connect(window, &QQuickWindow::sceneGraphAboutToStop, this,
            [this, guarded] { log("window.scene_graph_stopping", windowFields(guarded)); });
}

bool PlayerWindowQuitGuard::eventFilter(QObject* watched, QEvent* event)
{
    if (!event)
        return QObject::eventFilter(watched, event);
    if (event->type() == QEvent::Quit) {
        log("process.quit_event", {{QStringLiteral("spontaneous"), flag(event->spontaneous())},
                                   {QStringLiteral("windows"), windowCount()}});
        return QObject::eventFilter(watched, event);
    }
    // As the application's filter this sees every event of every object of the process, the
    // web engine's among them, whose classes may carry no type information: only the receiver
    // of an event recorded here is ever looked at.
    const QEvent::Type type = event->type();
    if (type != QEvent::Close && type != QEvent::Hide && type != QEvent::PlatformSurface)
        return QObject::eventFilter(watched, event);
    auto* window = qobject_cast<QWindow*>(watched);
    if (!window)
        return QObject::eventFilter(watched, event);

    switch (type) {
    case QEvent::Close: {
        auto fields = windowFields(window);
        fields.insert(QStringLiteral("source"), QStringLiteral("qevent.close"));
        fields.insert(QStringLiteral("spontaneous"), flag(event->spontaneous()));
        fields.insert(QStringLiteral("accepted"), flag(event->isAccepted()));
        fields.insert(QStringLiteral("action"), QStringLiteral("accept"));
        log("window.closing", fields);
        break;
    }
    case QEvent::Hide:
        log("window.hide", windowFields(window));
        break;
    case QEvent::PlatformSurface: {
        const auto type = static_cast<QPlatformSurfaceEvent*>(event)->surfaceEventType();
        auto fields = windowFields(window);
        fields.insert(QStringLiteral("surface"),
                      type == QPlatformSurfaceEvent::SurfaceAboutToBeDestroyed
                          ? QStringLiteral("about_to_be_destroyed")
                          : QStringLiteral("created"));
        log("window.surface", fields);
        break;
    }
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

void PlayerWindowQuitGuard::log(const char* event, const QHash<QString, QString>& fields) const
{
    const QString name = QString::fromLatin1(event);
    QJsonObject json;
    for (auto it = fields.cbegin(); it != fields.cend(); ++it)
        json.insert(it.key(), it.value());
    DevFileLog::record(name, json);

    QString line = name;
    const auto redacted = LogRedaction::sanitize(fields, LogRedaction::DropSecrets);
    for (auto it = redacted.cbegin(); it != redacted.cend(); ++it)
        line += QLatin1Char(' ') + it.key() + QLatin1Char('=') + it.value();
    qWarning().noquote() << line;
}

QHash<QString, QString> PlayerWindowQuitGuard::windowFields(const QWindow* window)
{
    if (!window)
        return {};
    return {{QStringLiteral("visibility"), visibilityName(window)},
            {QStringLiteral("visible"), flag(window->isVisible())},
            {QStringLiteral("exposed"), flag(window->isExposed())},
            {QStringLiteral("width"), QString::number(window->geometry().width())},
            {QStringLiteral("height"), QString::number(window->geometry().height())}};
}

QString PlayerWindowQuitGuard::visibilityName(const QWindow* window)
{
    if (!window)
        return QStringLiteral("none");
    switch (window->visibility()) {
    case QWindow::Hidden:
        return QStringLiteral("hidden");
    case QWindow::AutomaticVisibility:
        return QStringLiteral("automatic");
    case QWindow::Windowed:
        return QStringLiteral("windowed");
    case QWindow::Minimized:
        return QStringLiteral("minimized");
    case QWindow::Maximized:
        return QStringLiteral("maximized");
    case QWindow::FullScreen:
        return QStringLiteral("fullscreen");
    }
    return QStringLiteral("unknown");
}

} // namespace talvorine
