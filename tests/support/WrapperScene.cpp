#include "tests/support/WrapperScene.h"

#include "tests/support/WebPackageBuilder.h"
#include "web/ApplicationPackageCache.h"
#include "web/WebPackageScheme.h"
#include "web/WebPackageSchemeCoordinator.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickWindow>
#include <QTest>
#include <QTimer>

namespace talvorine::test {

namespace {

QString json(const QJsonValue& value)
{
    if (value.isObject())
        return QString::fromUtf8(QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact));
    if (value.isArray())
        return QString::fromUtf8(QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact));
    // A scalar: wrapped so that QJsonDocument writes it, then unwrapped.
    const QByteArray wrapped = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(wrapped.mid(1, wrapped.size() - 2));
}

QByteArray resource(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QJsonObject parsedMessage(const QJsonObject& log)
{
    return QJsonDocument::fromJson(log.value(QLatin1String("message")).toString().toUtf8())
        .object();
}

} // namespace

QByteArray stubApplicationPackage(const QJsonObject& scenario)
{
    const QByteArray script
        = "window.stubScenario = " + QJsonDocument(scenario).toJson(QJsonDocument::Compact) + ";\n";
    return WebPackageBuilder()
        .file(QStringLiteral("index.html"),
              resource(QStringLiteral(":/wrapper-scene/stub-application/index.html")))
        .file(QStringLiteral("stub.js"),
              resource(QStringLiteral(":/wrapper-scene/stub-application/stub.js")))
        .file(QStringLiteral("scenario.js"), script)
        .package();
}

WrapperTestBench::WrapperTestBench() : coordinator_(std::make_unique<WebPackageSchemeCoordinator>())
{
}

WrapperTestBench::~WrapperTestBench() = default;

bool WrapperTestBench::start(QString* error)
{
    if (!dir_.isValid())
        *error = dir_.errorString();
    return dir_.isValid();
}

bool WrapperTestBench::install(const QString& name, const QJsonObject& scenario, QString* error)
{
    const QByteArray package = stubApplicationPackage(scenario);
    const ApplicationPackageDescriptor descriptor = descriptorOf(package);
    ApplicationPackageCache cache(dir_.path());
    if (!installPackage(cache, package, descriptor, error))
        return false;
    digests_.insert(name, descriptor.sha256);
    return true;
}

QUrl WrapperTestBench::entryUrl(const QString& name) const
{
    return WebPackageScheme::entryUrl(digests_.value(name), QStringLiteral("index.html"));
}

QString WrapperTestBench::origin(const QString& name) const
{
    return QStringLiteral("talvorine-app://") + entryUrl(name).host();
}

bool WrapperTestBench::serve(QObject* profile, const QString& name)
{
    return coordinator_->configure(profile, dir_.path(), digests_.value(name), origin(name), true);
}

WrapperScene::WrapperScene() = default;

WrapperScene::~WrapperScene()
{
    window_.reset();
    engine_.reset();
}

bool WrapperScene::start(QString* error,
                         const std::function<bool(QObject* profile)>& prepareProfile)
{
    engine_ = std::make_unique<QQmlEngine>();
    QQmlComponent component(engine_.get(),
                            QUrl(QStringLiteral("qrc:/wrapper-scene/WrapperScene.qml")));
    window_.reset(qobject_cast<QQuickWindow*>(component.create()));
    if (!window_) {
        *error = component.errorString();
        return false;
    }
    view_ = window_->property("view").value<QObject*>();
    profile_ = window_->property("profile").value<QObject*>();
    connect(window_.get(), SIGNAL(titleSeen(QString)), this, SLOT(titleSeen(QString)));
    connect(window_.get(), SIGNAL(evaluated(int, QString)), this, SLOT(evaluated(int, QString)));
    connect(window_.get(), SIGNAL(consoleMessage(int, QString, QString)), this,
            SLOT(consoleMessage(int, QString, QString)));
    if (!prepareProfile(profile_)) {
        *error = QStringLiteral("the profile could not be prepared");
        return false;
    }
    if (!QTest::qWaitForWindowExposed(window_.get())) {
        *error = QStringLiteral("the window was never exposed");
        return false;
    }
    view_->setProperty("url", QUrl(QStringLiteral("qrc:/web/trusted-wrapper.html")));
    // The title comes with the head; the global object only once the script at the end has run.
    const bool loaded = waitUntil([this] {
        return evaluate(QStringLiteral("typeof window.talvorineNativeWrapper"))
            == QJsonValue(QStringLiteral("object"));
    });
    if (!loaded)
        *error = QStringLiteral("the wrapper page did not load; its title is \"%1\"").arg(title());
    return loaded;
}

QObject* WrapperScene::profile() const
{
    return profile_;
}

int WrapperScene::evaluateAsync(const QString& expression, std::function<void(const QString&)> done)
{
    const int serial = ++serial_;
    pending_.insert(serial, std::move(done));
    QMetaObject::invokeMethod(
        window_.get(), "evaluate", Q_ARG(QVariant, serial),
        Q_ARG(QVariant, QStringLiteral("JSON.stringify([%1])").arg(expression)));
    return serial;
}

void WrapperScene::evaluated(int serial, const QString& result)
{
    if (auto done = pending_.take(serial))
        done(result);
    Q_EMIT progressed();
}

bool WrapperScene::waitUntil(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        const qint64 left = timeoutMs - clock.elapsed();
        if (left <= 0)
            return false;
        QEventLoop loop;
        connect(this, &WrapperScene::progressed, &loop, &QEventLoop::quit);
        QTimer::singleShot(std::min<qint64>(left, 20), &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

std::optional<QJsonValue> WrapperScene::evaluate(const QString& expression)
{
    std::optional<QString> result;
    const int serial = evaluateAsync(expression, [&result](const QString& text) { result = text; });
    if (!waitUntil([&result] { return result.has_value(); })) {
        pending_.remove(serial);
        return std::nullopt;
    }
    // The expression's value rides in a one-element array, so that undefined reads as null.
    const QJsonDocument document = QJsonDocument::fromJson(result->toUtf8());
    if (!document.isArray())
        return std::nullopt;
    return document.array().at(0);
}

std::optional<QJsonValue> WrapperScene::call(const QString& member, const QJsonArray& arguments)
{
    QStringList texts;
    for (const QJsonValue& argument : arguments)
        texts.append(json(argument));
    return evaluate(
        QStringLiteral("window.talvorineNativeWrapper.%1(%2)").arg(member, texts.join(',')));
}

QString WrapperScene::getter(const QString& name)
{
    return evaluate(QStringLiteral("window.talvorineNativeWrapper.") + name)
        .value_or(QJsonValue())
        .toString();
}

QJsonObject WrapperScene::diagnostics()
{
    return call(QStringLiteral("diagnostics")).value_or(QJsonValue()).toObject();
}

bool WrapperScene::command(QJsonObject command)
{
    command.insert(QLatin1String("protocol"), QLatin1String("talvorine.stub/1"));
    const auto posted
        = evaluate(QStringLiteral("(() => { const frame = document.querySelector('iframe');"
                                  " if (!frame) return false;"
                                  " frame.contentWindow.postMessage(%1, '*'); return true; })()")
                       .arg(json(command)));
    return posted && posted->toBool();
}

std::optional<QList<QJsonObject>> WrapperScene::send(const QJsonArray& messages,
                                                     const QString& kind)
{
    const QString id = QStringLiteral("c%1").arg(++commandSerial_);
    if (!command({{QStringLiteral("command"), kind},
                  {QStringLiteral("id"), id},
                  {QStringLiteral("messages"), messages}}))
        return std::nullopt;
    const auto done = [this, &id] {
        for (const QJsonObject& report : reports(QStringLiteral("stub.done"))) {
            if (report.value(QLatin1String("command")).toString() == id)
                return true;
        }
        return false;
    };
    if (!waitUntil(done))
        return std::nullopt;
    QList<QJsonObject> answers;
    for (const QJsonObject& report : reports(QStringLiteral("stub.answer"))) {
        if (report.value(QLatin1String("command")).toString() == id)
            answers.append(report);
    }
    return answers;
}

QList<QJsonObject> WrapperScene::reports(const QString& code) const
{
    QList<QJsonObject> found;
    for (const QJsonObject& log : logs_) {
        if (log.value(QLatin1String("code")).toString() == code)
            found.append(parsedMessage(log));
    }
    return found;
}

QList<QJsonObject> WrapperScene::applicationLogs() const
{
    QList<QJsonObject> found;
    for (const QJsonObject& log : logs_) {
        if (!log.value(QLatin1String("code")).toString().startsWith(QLatin1String("stub.")))
            found.append(log);
    }
    return found;
}

void WrapperScene::clear()
{
    titles_.clear();
    logs_.clear();
    events_.clear();
    kvRequests_.clear();
    largestTake_ = 0;
    wrapperConsole_.clear();
}

void WrapperScene::pull(const QString& member, QList<QJsonObject>* into)
{
    evaluateAsync(QStringLiteral("window.talvorineNativeWrapper.%1()").arg(member),
                  [this, into](const QString& text) {
                      const QJsonArray items
                          = QJsonDocument::fromJson(text.toUtf8()).array().at(0).toArray();
                      largestTake_ = std::max(largestTake_, int(items.size()));
                      for (const QJsonValue& item : items)
                          into->append(item.toObject());
                  });
}

void WrapperScene::titleSeen(const QString& title)
{
    titles_.append(title);
    Q_EMIT progressed();
    // Titles coalesce: each one only says that a queue has something, so the whole queue is taken.
    if (pullLogs_ && title.startsWith(QLatin1String("talvorine:log:")))
        pull(QStringLiteral("takeLogs"), &logs_);
    else if (pullRequests_ && title.startsWith(QLatin1String("talvorine:event:")))
        pull(QStringLiteral("takeEvents"), &events_);
    else if (pullRequests_ && title.startsWith(QLatin1String("talvorine:kv:")))
        pull(QStringLiteral("takeKvRequests"), &kvRequests_);
}

void WrapperScene::consoleMessage(int level, const QString& message, const QString& sourceId)
{
    if (sourceId.startsWith(QLatin1String("qrc:/web/")))
        wrapperConsole_.append(QStringLiteral("level %1: %2").arg(level).arg(message));
    Q_EMIT progressed();
}

} // namespace talvorine::test
