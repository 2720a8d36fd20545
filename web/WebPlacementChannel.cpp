#include "web/WebPlacementChannel.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QQmlComponent>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickItem>

#include <utility>

namespace talvorine {

namespace {

QVariantMap recordMap(const WebPlacementChannel::HandshakeRecord& record)
{
    return {{QStringLiteral("stage"), record.stage}, {QStringLiteral("origin"), record.origin}};
}

} // namespace

WebPlacementChannel::WebPlacementChannel(QObject* parent) : QObject(parent) {}

WebPlacementChannel::TitleAction WebPlacementChannel::titleAction(const QString& title)
{
    if (title == QLatin1String("talvorine:prepared"))
        return TitleAction::Prepared;
    if (title == QLatin1String("talvorine:ready"))
        return TitleAction::Ready;
    if (title == QLatin1String("talvorine:advance"))
        return TitleAction::Advance;
    if (title == QLatin1String("talvorine:error"))
        return TitleAction::Error;
    if (title.startsWith(QLatin1String("talvorine:log:")))
        return TitleAction::Logs;
    if (title.startsWith(QLatin1String("talvorine:event:")))
        return TitleAction::Events;
    if (title.startsWith(QLatin1String("talvorine:kv:")))
        return TitleAction::KvRequests;
    return TitleAction::None;
}

WebPlacementChannel::ConsoleFailure WebPlacementChannel::consoleFailure(const QString& message,
                                                                        int lineNumber)
{
    // The first row whose text occurs in the message names the stage; the policy refusals
    // carry no useful line, the script errors do.
    struct Row {
        QLatin1String text;
        QLatin1String stage;
        bool withLine;
    };
    static const Row rows[] = {
        {QLatin1String("Not allowed to load local resource"),
         QLatin1String("local_resource_denied"), false},
        {QLatin1String("Refused to"), QLatin1String("csp_denied"), false},
        {QLatin1String("external protocol blocked by sandbox"),
         QLatin1String("external_protocol_denied"), false},
        {QLatin1String("target origin provided"), QLatin1String("message_origin_mismatch"), false},
        {QLatin1String("SecurityError"), QLatin1String("js_security_error"), true},
        {QLatin1String("SyntaxError"), QLatin1String("js_syntax_error"), true},
        {QLatin1String("ERR_"), QLatin1String("js_network_error"), true},
        {QLatin1String("TypeError"), QLatin1String("js_type_error"), true},
        {QLatin1String("ReferenceError"), QLatin1String("js_reference_error"), true},
    };
    for (const Row& row : rows) {
        if (message.contains(row.text))
            return {row.stage, row.withLine ? lineNumber : 0};
    }
    return {QStringLiteral("js_console"), lineNumber};
}

bool WebPlacementChannel::probeExhausted(const ProbeState& state)
{
    return qint64(state.loggedStages) + state.droppedLogged > probeRecordLimit;
}

WebPlacementChannel::ProbeStep WebPlacementChannel::probeStep(const QString& answer,
                                                              const ProbeState& state)
{
    ProbeStep step;
    step.state = state;
    if (answer == QLatin1String("null")) {
        if (!state.wrapperMissingLogged)
            step.records.append({QStringLiteral("wrapper-script-missing"), QString()});
        step.state.wrapperMissingLogged = true;
        return step;
    }
    const QJsonObject diagnostics = QJsonDocument::fromJson(answer.toUtf8()).object();
    if (diagnostics.isEmpty())
        return step;
    const QString origin = diagnostics.value(QLatin1String("origin")).toString();
    const QJsonArray stages = diagnostics.value(QLatin1String("stages")).toArray();
    for (qsizetype i = state.loggedStages; i < stages.size(); ++i)
        step.records.append({stages.at(i).toString(), origin});
    step.state.loggedStages = std::max(state.loggedStages, int(stages.size()));
    const int dropped = diagnostics.value(QLatin1String("dropped")).toInt();
    if (dropped > state.droppedLogged) {
        step.records.append({QStringLiteral("message-drop"),
                             diagnostics.value(QLatin1String("last_drop_origin")).toString()});
        step.state.droppedLogged = dropped;
    }
    const QString stage = diagnostics.value(QLatin1String("stage")).toString();
    step.ready = stage == QLatin1String("ready");
    step.stop = step.ready || stage == QLatin1String("stopped");
    return step;
}

QString WebPlacementChannel::answerPrefix(const QVariantMap& applicationContext)
{
    const QVariant generation = applicationContext.value(QStringLiteral("generation"));
    const QString primitiveId = applicationContext.value(QStringLiteral("primitive_id")).toString();
    bool whole = false;
    const qint64 number = generation.toLongLong(&whole);
    if (!whole || number < 0 || double(number) != generation.toDouble() || primitiveId.isEmpty())
        return {};
    return QString::number(number) + u'_' + primitiveId + u'_';
}

QString WebPlacementChannel::actionForTitle(const QString& title) const
{
    switch (titleAction(title)) {
    case TitleAction::None:
        return {};
    case TitleAction::Prepared:
        return QStringLiteral("prepared");
    case TitleAction::Ready:
        return QStringLiteral("ready");
    case TitleAction::Advance:
        return QStringLiteral("advance");
    case TitleAction::Logs:
        return QStringLiteral("logs");
    case TitleAction::Events:
        return QStringLiteral("events");
    case TitleAction::KvRequests:
        return QStringLiteral("kv");
    case TitleAction::Error:
        return QStringLiteral("error");
    }
    return {};
}

QVariantMap WebPlacementChannel::admitConsoleMessage(const QString& message, int lineNumber)
{
    const ConsoleFailure failure = consoleFailure(message, lineNumber);
    int& seen = consoleSeen_[failure.stage];
    const bool record = seen < keptConsoleMessages;
    if (record)
        ++seen;
    else
        consoleRepeats_[failure.stage] = consoleRepeats_.value(failure.stage).toInt() + 1;
    return {{QStringLiteral("stage"), failure.stage},
            {QStringLiteral("errorCode"), failure.errorCode},
            {QStringLiteral("record"), record}};
}

QVariantMap WebPlacementChannel::takeConsoleRepeats()
{
    return std::exchange(consoleRepeats_, {});
}

bool WebPlacementChannel::firstRefusal(const QString& stage)
{
    if (refusals_.contains(stage))
        return false;
    refusals_.insert(stage);
    return true;
}

bool WebPlacementChannel::probeDone(int loggedStages, int droppedLogged) const
{
    return probeExhausted({loggedStages, droppedLogged, false});
}

QVariantMap WebPlacementChannel::readProbe(const QString& answer, int loggedStages,
                                           int droppedLogged, bool wrapperMissingLogged) const
{
    const ProbeStep step = probeStep(answer, {loggedStages, droppedLogged, wrapperMissingLogged});
    QVariantList records;
    for (const HandshakeRecord& record : step.records)
        records.append(recordMap(record));
    return {{QStringLiteral("records"), records},
            {QStringLiteral("loggedStages"), step.state.loggedStages},
            {QStringLiteral("droppedLogged"), step.state.droppedLogged},
            {QStringLiteral("wrapperMissingLogged"), step.state.wrapperMissingLogged},
            {QStringLiteral("stop"), step.stop},
            {QStringLiteral("ready"), step.ready}};
}

QVariantMap WebPlacementChannel::takeQueues(const QString& json)
{
    const QJsonObject queues = QJsonDocument::fromJson(json.toUtf8()).object();
    QVariantList logs;
    for (const QJsonValue& item : queues.value(QLatin1String("logs")).toArray()) {
        const QJsonObject log = item.toObject();
        if (!log.isEmpty())
            logs.append(QVariantMap{
                {QStringLiteral("level"), log.value(QLatin1String("level")).toString()},
                {QStringLiteral("code"), log.value(QLatin1String("code")).toString()},
                {QStringLiteral("message"), log.value(QLatin1String("message")).toString()}});
    }
    return {{QStringLiteral("logs"), logs},
            {QStringLiteral("events"),
             take(queues.value(QLatin1String("events")).toArray(), RequestKind::Event)},
            {QStringLiteral("kv"), take(queues.value(QLatin1String("kv")).toArray(), RequestKind::Kv)}};
}

QVariantList WebPlacementChannel::take(const QJsonArray& items, RequestKind kind)
{
    QVariantList taken;
    for (const QJsonValue& item : items) {
        const QJsonObject entry = item.toObject();
        const QString requestId = entry.value(QLatin1String("requestId")).toString();
        if (requestId.isEmpty())
            continue;
        remember(requestId, kind);
        if (kind == RequestKind::Event)
            taken.append(QVariantMap{
                {QStringLiteral("requestId"), requestId},
                {QStringLiteral("code"), entry.value(QLatin1String("code")).toString()}});
        else
            taken.append(QVariantMap{
                {QStringLiteral("requestId"), requestId},
                {QStringLiteral("request"),
                 entry.value(QLatin1String("request")).toObject().toVariantMap()}});
    }
    return taken;
}

void WebPlacementChannel::remember(const QString& messageId, RequestKind kind)
{
    if (awaiting_.contains(messageId))
        return;
    while (order_.size() >= maxRememberedRequests)
        awaiting_.remove(order_.dequeue());
    awaiting_.insert(messageId, kind);
    order_.enqueue(messageId);
}

QString WebPlacementChannel::claim(const QString& requestId, const QVariantMap& applicationContext,
                                   RequestKind kind)
{
    const QString prefix = answerPrefix(applicationContext);
    if (prefix.isEmpty() || !requestId.startsWith(prefix))
        return {};
    const QString messageId = requestId.mid(prefix.size());
    const auto found = awaiting_.constFind(messageId);
    if (found == awaiting_.constEnd() || found.value() != kind)
        return {};
    awaiting_.erase(found);
    order_.removeOne(messageId);
    return messageId;
}

QString WebPlacementChannel::claimEventAnswer(const QString& requestId,
                                              const QVariantMap& applicationContext)
{
    return claim(requestId, applicationContext, RequestKind::Event);
}

QString WebPlacementChannel::claimKvAnswer(const QString& requestId,
                                           const QVariantMap& applicationContext)
{
    return claim(requestId, applicationContext, RequestKind::Kv);
}

void WebPlacementChannel::forgetRequests()
{
    awaiting_.clear();
    order_.clear();
}

QObject* WebPlacementChannel::createView(QQmlComponent* component, QQuickItem* holder,
                                         const QVariantMap& properties)
{
    QQmlEngine* engine = qmlEngine(this);
    if (!component || !holder || !engine)
        return nullptr;
    QObject* object = component->createWithInitialProperties(properties, engine->rootContext());
    auto* view = qobject_cast<QQuickItem*>(object);
    if (!view) {
        delete object;
        return nullptr;
    }
    // Deleted with its holder, so at once when the placement goes, answers still in flight
    // with it; QML never collects it on its own.
    QQmlEngine::setObjectOwnership(view, QQmlEngine::CppOwnership);
    view->setParent(holder);
    view->setParentItem(holder);
    return view;
}

void WebPlacementChannel::registerQmlType()
{
    qmlRegisterType<WebPlacementChannel>("Talvorine.Native", 1, 0, "WebPlacementChannel");
}

} // namespace talvorine
