#include "tests/support/PlacementScene.h"

#include "web/SdkBridge.h"
#include "web/WebPackageSchemeCoordinator.h"
#include "web/WebPlacementChannel.h"

#include <QJSValue>
#include <QJsonArray>
#include <QJsonDocument>
#include <QQmlComponent>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickWindow>
#include <QTest>

namespace talvorine::test {

namespace {

QString json(const QJsonValue& value)
{
    const QByteArray wrapped = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(wrapped.mid(1, wrapped.size() - 2));
}

} // namespace

PlacementScene::PlacementScene() = default;

PlacementScene::~PlacementScene()
{
    window_.reset();
    engine_.reset();
}

bool PlacementScene::start(QString* error)
{
    static const bool registered = [] {
        WebPlacementChannel::registerQmlType();
        return true;
    }();
    Q_UNUSED(registered);
    coordinator_ = std::make_unique<WebPackageSchemeCoordinator>();
    engine_ = std::make_unique<QQmlEngine>();
    engine_->rootContext()->setContextProperty(QStringLiteral("talvorineController"), &controller_);
    QQmlComponent component(engine_.get(),
                            QUrl(QStringLiteral("qrc:/wrapper-scene/PlacementHost.qml")));
    window_.reset(qobject_cast<QQuickWindow*>(component.create()));
    if (!window_) {
        *error = component.errorString();
        return false;
    }
    connect(window_.get(), SIGNAL(evaluated(int, QString)), this, SLOT(answered(int, QString)));
    QObject::connect(window_.get(), SIGNAL(placementSignal(QObject*, QString, QVariant)), this,
                     SLOT(deliver(QObject*, QString, QVariant)));
    if (!QTest::qWaitForWindowExposed(window_.get())) {
        *error = QStringLiteral("the window was never exposed");
        return false;
    }
    return true;
}

QVariantMap PlacementScene::applicationInputs(const WrapperTestBench& bench,
                                              const QString& package,
                                              const QJsonObject& context) const
{
    return {{QStringLiteral("uploadedApplication"), true},
            {QStringLiteral("childUrl"), bench.entryUrl(package)},
            {QStringLiteral("expectedOrigin"), bench.origin(package)},
            {QStringLiteral("packageCacheRoot"), bench.root()},
            {QStringLiteral("selectedPackageSha256"), bench.digest(package)},
            {QStringLiteral("applicationContext"), context.toVariantMap()},
            {QStringLiteral("hostFeatures"), SdkBridge::hostFeatures()},
            {QStringLiteral("playerViewport"), QSizeF(800, 600)},
            {QStringLiteral("packageCoordinator"), QVariant::fromValue<QObject*>(coordinator_.get())},
            {QStringLiteral("playbackActive"), true},
            {QStringLiteral("width"), 640},
            {QStringLiteral("height"), 360}};
}

QVariantMap PlacementScene::iframeInputs(const QUrl& url, const QString& origin) const
{
    return {{QStringLiteral("uploadedApplication"), false},
            {QStringLiteral("childUrl"), url},
            {QStringLiteral("expectedOrigin"), origin},
            {QStringLiteral("packageCoordinator"), QVariant::fromValue<QObject*>(coordinator_.get())},
            {QStringLiteral("playerViewport"), QSizeF(800, 600)},
            {QStringLiteral("width"), 640},
            {QStringLiteral("height"), 360}};
}

QObject* PlacementScene::create(const QVariantMap& inputs, QString* error, bool load)
{
    QVariant made;
    QMetaObject::invokeMethod(window_.get(), "make", Q_RETURN_ARG(QVariant, made),
                              Q_ARG(QVariant, inputs), Q_ARG(QVariant, load));
    QObject* placement = made.value<QObject*>();
    if (!placement && error)
        *error = made.toString();
    return placement;
}

void PlacementScene::destroy(QObject* placement)
{
    signals_.remove(placement);
    delete placement;
}

void PlacementScene::answered(int serial, const QString& result)
{
    answers_.insert(serial, result);
    Q_EMIT progressed();
}

void PlacementScene::deliver(QObject* placement, const QString& name, const QVariant& arguments)
{
    QVariant list = arguments;
    if (list.canConvert<QJSValue>())
        list = list.value<QJSValue>().toVariant();
    signals_[placement].append({name, list.toList()});
    Q_EMIT progressed();
}

bool PlacementScene::waitUntil(const std::function<bool()>& done, int timeoutMs)
{
    return runEventsUntil(this, SIGNAL(progressed()), done, timeoutMs);
}

const QList<PlacementSignal>& PlacementScene::signalsOf(QObject* placement) const
{
    static const QList<PlacementSignal> none;
    const auto found = signals_.constFind(placement);
    return found == signals_.constEnd() ? none : *found;
}

int PlacementScene::count(QObject* placement, const QString& name) const
{
    int seen = 0;
    for (const PlacementSignal& signal : signalsOf(placement))
        seen += signal.name == name;
    return seen;
}

QStringList PlacementScene::failures(QObject* placement) const
{
    QStringList codes;
    for (const PlacementSignal& signal : signalsOf(placement)) {
        if (signal.name == QLatin1String("placementFailed"))
            codes.append(signal.arguments.value(0).toString());
    }
    return codes;
}

std::optional<QJsonValue> PlacementScene::evaluate(QObject* placement, const QString& expression)
{
    const int serial = ++serial_;
    QMetaObject::invokeMethod(
        window_.get(), "evaluate", Q_ARG(QVariant, QVariant::fromValue<QObject*>(placement)),
        Q_ARG(QVariant, serial),
        Q_ARG(QVariant, QStringLiteral("JSON.stringify([%1])").arg(expression)));
    const bool arrived = waitUntil([&] { return answers_.contains(serial); });
    const std::optional<QString> result =
        arrived ? std::optional<QString>(answers_.take(serial)) : std::nullopt;
    if (!arrived)
        return std::nullopt;
    const QJsonDocument document = QJsonDocument::fromJson(result->toUtf8());
    if (!document.isArray())
        return std::nullopt;
    return document.array().at(0);
}

bool PlacementScene::command(QObject* placement, QJsonObject command)
{
    command.insert(QLatin1String("protocol"), QLatin1String("talvorine.stub/1"));
    const auto posted = evaluate(
        placement, QStringLiteral("(() => { const frame = document.querySelector('iframe');"
                                  " if (!frame) return false;"
                                  " frame.contentWindow.postMessage(%1, '*'); return true; })()")
                       .arg(json(command)));
    return posted && posted->toBool();
}

std::optional<QList<QJsonObject>> PlacementScene::send(QObject* placement,
                                                       const QJsonArray& messages)
{
    const QString id = QStringLiteral("p%1").arg(++commandSerial_);
    if (!command(placement, {{QStringLiteral("command"), QStringLiteral("send")},
                             {QStringLiteral("id"), id},
                             {QStringLiteral("messages"), messages}}))
        return std::nullopt;
    const auto done = [&] {
        for (const QJsonObject& report : reports(placement, QStringLiteral("stub.done"))) {
            if (report.value(QLatin1String("command")).toString() == id)
                return true;
        }
        return false;
    };
    if (!waitUntil(done))
        return std::nullopt;
    QList<QJsonObject> answers;
    for (const QJsonObject& report : reports(placement, QStringLiteral("stub.answer"))) {
        if (report.value(QLatin1String("command")).toString() == id)
            answers.append(report);
    }
    return answers;
}

QList<QJsonObject> PlacementScene::reports(QObject* placement, const QString& code) const
{
    QList<QJsonObject> found;
    for (const PlacementSignal& signal : signalsOf(placement)) {
        if (signal.name == QLatin1String("applicationLogRequested")
            && signal.arguments.value(1).toString() == code)
            found.append(
                QJsonDocument::fromJson(signal.arguments.value(2).toString().toUtf8()).object());
    }
    return found;
}

QList<QJsonObject> PlacementScene::applicationLogs(QObject* placement) const
{
    QList<QJsonObject> found;
    for (const PlacementSignal& signal : signalsOf(placement)) {
        if (signal.name == QLatin1String("applicationLogRequested")
            && !signal.arguments.value(1).toString().startsWith(QLatin1String("stub.")))
            found.append({{QStringLiteral("level"), signal.arguments.value(0).toString()},
                          {QStringLiteral("code"), signal.arguments.value(1).toString()},
                          {QStringLiteral("message"), signal.arguments.value(2).toString()}});
    }
    return found;
}

} // namespace talvorine::test
