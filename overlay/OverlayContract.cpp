#include "overlay/OverlayContract.h"

#include "overlay/ScreenToast.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QSet>

#include <algorithm>
#include <limits>

namespace talvorine {

namespace overlay {

const QStringList kPhases{QStringLiteral("starting"), QStringLiteral("pairing"),
                          QStringLiteral("candidate"), QStringLiteral("active"),
                          QStringLiteral("degraded"), QStringLiteral("fatal")};
const QStringList kFaults{QStringLiteral("screen_archived"), QStringLiteral("payment_required"),
                          QStringLiteral("repair"), QStringLiteral("session"),
                          QStringLiteral("verify"), QStringLiteral("storage"),
                          QStringLiteral("decode"), QStringLiteral("hold")};
const QStringList kLevels{QStringLiteral("error"), QStringLiteral("alert"),
                          QStringLiteral("info")};

namespace {

constexpr char contractVersion[] = "talvorine.overlay/v1";

bool nonNegative(const QJsonObject& object, QLatin1String key, qint64& out)
{
    return integralNumber(object.value(key), out) && out >= 0;
}

std::optional<OverlayConditionSpec> parseCondition(const QJsonObject& object, qint64& rank)
{
    OverlayConditionSpec conditionDef;
    conditionDef.id = stringMember(object, QLatin1String("id"));
    conditionDef.icon = stringMember(object, QLatin1String("icon"));
    conditionDef.messageKey = stringMember(object, QLatin1String("messageKey"));
    conditionDef.level = levelOrEmpty(object.value(QLatin1String("level")));
    conditionDef.toastLevel = levelOrEmpty(object.value(QLatin1String("toastLevel")));
    conditionDef.report = stringMember(object, QLatin1String("report"));
    if (conditionDef.id.isEmpty() || conditionDef.icon.isEmpty() || conditionDef.messageKey.isEmpty()
        || conditionDef.level.isEmpty())
        return std::nullopt;
    if (object.contains(QLatin1String("detailMessageKey"))) {
        conditionDef.detailMessageKey = stringMember(object, QLatin1String("detailMessageKey"));
        if (conditionDef.detailMessageKey.isEmpty())
            return std::nullopt;
    }
    // The rank stays 64-bit until it is checked against its place: a rank of 2^32 + 1 must not
    // pass for 1.
    if (!integralNumber(object.value(QLatin1String("rank")), rank) || rank < 1)
        return std::nullopt;
    return conditionDef;
}

std::optional<QList<OverlayConditionSpec>> parseConditions(const QJsonValue& value)
{
    const QJsonArray array = value.toArray();
    if (!value.isArray() || array.isEmpty())
        return std::nullopt;
    QList<std::pair<qint64, OverlayConditionSpec>> ranked;
    ranked.reserve(array.size());
    for (const QJsonValue& element : array) {
        qint64 rank = 0;
        std::optional<OverlayConditionSpec> conditionDef = parseCondition(element.toObject(), rank);
        if (!conditionDef)
            return std::nullopt;
        ranked.append({rank, std::move(*conditionDef)});
    }
    std::stable_sort(ranked.begin(), ranked.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    QList<OverlayConditionSpec> conditions;
    conditions.reserve(ranked.size());
    QSet<QString> ids;
    for (auto& [rank, conditionDef] : ranked) {
        if (rank != conditions.size() + 1 || ids.contains(conditionDef.id))
            return std::nullopt;
        ids.insert(conditionDef.id);
        conditionDef.rank = qint32(rank);
        conditions.append(std::move(conditionDef));
    }
    return conditions;
}

std::optional<OverlayContractData::Notice> parseNotice(const QJsonValue& value)
{
    const QJsonArray notices = value.toArray();
    if (notices.isEmpty())
        return std::nullopt;
    const QJsonObject first = notices.first().toObject();
    OverlayContractData::Notice notice{stringMember(first, QLatin1String("id")),
                                       levelOrEmpty(first.value(QLatin1String("level"))),
                                       stringMember(first, QLatin1String("icon")),
                                       stringMember(first, QLatin1String("text"))};
    if (notice.id != QLatin1String("upgrade_required") || notice.level.isEmpty()
        || notice.icon.isEmpty() || notice.text.isEmpty())
        return std::nullopt;
    return notice;
}

std::optional<QStringList> parseDiagnosticClasses(const QJsonValue& value)
{
    if (value.isUndefined())
        return QStringList();
    if (!value.isArray())
        return std::nullopt;
    QStringList classes;
    for (const QJsonValue& element : value.toArray()) {
        if (!element.isString())
            return std::nullopt;
        classes.append(element.toString());
    }
    return classes;
}

// A message table that is not an object of strings is dropped whole: the overlay then shows
// chips without labels rather than nothing at all.
QHash<QString, QString> parseMessages(const QJsonValue& value)
{
    QHash<QString, QString> messages;
    const QJsonObject object = value.toObject();
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (!it.value().isString())
            return {};
        messages.insert(it.key(), it.value().toString());
    }
    return messages;
}

} // namespace

const OverlayConditionSpec* OverlayContractData::conditionForId(const QString& id) const
{
    for (const OverlayConditionSpec& condition : conditions) {
        if (condition.id == id)
            return &condition;
    }
    return nullptr;
}

std::optional<OverlayContractData> parseOverlayContract(const QByteArray& bytes)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject root = document.object();

    OverlayContractData data;
    data.contractVersion = stringMember(root, QLatin1String("contractVersion"));
    if (data.contractVersion != QLatin1String(contractVersion))
        return std::nullopt;

    const QJsonObject timing = root.value(QLatin1String("timing")).toObject();
    qint64 toastMs = 0;
    // A duration beyond 32 bits is refused rather than cut to its low bits, which would turn
    // 2^32 + 10000 ms into a ten-second toast.
    if (!nonNegative(timing, QLatin1String("quietBoundMs"), data.quietBoundMs)
        || !nonNegative(timing, QLatin1String("offlineChipAfterMs"), data.offlineChipAfterMs)
        || !integralNumber(timing.value(QLatin1String("localToastDurationMs")), toastMs)
        || toastMs < 1 || toastMs > std::numeric_limits<qint32>::max())
        return std::nullopt;
    data.localToastDurationMs = qint32(toastMs);

    const QJsonObject credits = root.value(QLatin1String("credits")).toObject();
    if (!nonNegative(credits, QLatin1String("lowThreshold"), data.lowThreshold))
        return std::nullopt;
    const std::optional<qint64> enforcementAt =
        parseRfc3339Ms(stringMember(credits, QLatin1String("enforcementAt")));
    if (!enforcementAt)
        return std::nullopt;
    data.enforcementAtMs = *enforcementAt;

    const QJsonObject levels = root.value(QLatin1String("levels")).toObject();
    for (const QString& level : kLevels) {
        const QString mark = stringMember(levels.value(level).toObject(), QLatin1String("toastMark"));
        if (mark.isEmpty())
            return std::nullopt;
        data.toastMarks.insert(level, mark);
    }

    std::optional<QList<OverlayConditionSpec>> conditions =
        parseConditions(root.value(QLatin1String("conditions")));
    if (!conditions)
        return std::nullopt;
    data.conditions = std::move(*conditions);

    const std::optional<OverlayContractData::Notice> notice =
        parseNotice(root.value(QLatin1String("notices")));
    if (!notice)
        return std::nullopt;
    data.notice = *notice;

    const std::optional<QStringList> classes =
        parseDiagnosticClasses(root.value(QLatin1String("diagnosticClasses")));
    if (!classes)
        return std::nullopt;
    data.diagnosticClasses = *classes;

    data.messages = parseMessages(root.value(QLatin1String("messages")));

    if (!root.value(QLatin1String("approvals")).isObject())
        return std::nullopt;
    return data;
}

QString stringMember(const QJsonObject& object, QLatin1String key)
{
    const QJsonValue value = object.value(key);
    return value.isString() ? value.toString() : QString();
}

bool integralNumber(const QJsonValue& value, qint64& out)
{
    if (!value.isDouble())
        return false;
    const double number = value.toDouble();
    // -2^63 is exact; 2^63 is the first double beyond the range. NaN fails both comparisons.
    constexpr double limit = 9223372036854775808.0;
    if (!(number >= -limit && number < limit))
        return false;
    const qint64 integral = qint64(number);
    if (double(integral) != number)
        return false;
    out = integral;
    return true;
}

QString levelOrEmpty(const QJsonValue& value)
{
    const QString text = value.isString() ? value.toString() : QString();
    return kLevels.contains(text) ? text : QString();
}

QByteArray readFirstOf(const QString& primaryPath, const QString& fallbackPath, qint64 maxBytes)
{
    QFile file(primaryPath);
    if (!file.open(QIODevice::ReadOnly)) {
        file.setFileName(fallbackPath);
        if (!file.open(QIODevice::ReadOnly))
            return {};
    }
    QByteArray bytes = file.read(maxBytes + 1);
    return bytes.size() > maxBytes ? QByteArray() : bytes;
}

UpgradeNoticeState upgradeNotice(const UpgradeNoticeState& state, const UpgradeEvent& event)
{
    switch (event.kind) {
    case UpgradeEvent::Required:
        return {true, event.stamp, true};
    case UpgradeEvent::Cleared:
        if (state.shown && state.hasStamp && event.stamp > state.stamp)
            return {false, state.stamp, state.hasStamp};
        return state;
    default:
        return state;
    }
}

} // namespace overlay

OverlayContract& OverlayContract::instance()
{
    static OverlayContract contract{QString::fromLatin1(resourcePath),
                                    QString::fromLatin1(fallbackPath)};
    return contract;
}

OverlayContract::OverlayContract(QString primaryPath, QString secondaryPath)
    : primaryPath_(std::move(primaryPath)), secondaryPath_(std::move(secondaryPath))
{
}

bool OverlayContract::load()
{
    if (attempted_)
        return loaded();
    attempted_ = true;
    data_ = overlay::parseOverlayContract(
        overlay::readFirstOf(primaryPath_, secondaryPath_, maxFileBytes));
    return data_.has_value();
}

} // namespace talvorine
