#include "storage/PersistentState.h"

#include "storage/StorageFiles.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <utility>
#include <vector>

namespace talvorine {

namespace {

void setError(QString* error, const char* code)
{
    if (error)
        *error = QString::fromLatin1(code);
}

// Millisecond stamps that a JSON number carries exactly and QDateTime can represent; the
// reload ledger writes no others, so that everything it writes reads back.
constexpr double instantLimitMs = 8.64e15;

bool writableInstant(const QDateTime& at)
{
    if (!at.isValid())
        return false;
    const qint64 ms = at.toMSecsSinceEpoch();
    return ms >= -qint64(instantLimitMs) && ms <= qint64(instantLimitMs);
}

QString stringField(const QJsonObject& object, const char* key, bool* ok)
{
    const QJsonValue value = object.value(QLatin1String(key));
    if (!value.isString())
        *ok = false;
    return value.toString();
}

} // namespace

PersistentState::PersistentState(QString directory) : m_directory(QDir::cleanPath(directory)) {}

QString PersistentState::lastKnownGoodPath() const
{
    return m_directory + QStringLiteral("/last-known-good.json");
}

QString PersistentState::enrolledPath() const
{
    return m_directory + QStringLiteral("/enrolled.json");
}

QString PersistentState::screenMetadataPath() const
{
    return m_directory + QStringLiteral("/screen-metadata.json");
}

QString PersistentState::reloadLedgerPath() const
{
    return m_directory + QStringLiteral("/reload-ledger.json");
}

bool PersistentState::writeState(const QString& path, const QJsonObject& object,
                                 QString* error) const
{
    if (!StorageFiles::ensurePrivateDirectory(m_directory)) {
        setError(error, "state_directory_create_failed");
        return false;
    }
    switch (StorageFiles::writeFileAtomically(path,
                                              QJsonDocument(object).toJson(QJsonDocument::Compact))) {
    case StorageFiles::WriteFailure::None:
        return true;
    case StorageFiles::WriteFailure::Open:
        setError(error, "state_open_failed");
        return false;
    case StorageFiles::WriteFailure::Write:
        setError(error, "state_write_failed");
        return false;
    case StorageFiles::WriteFailure::Commit:
        setError(error, "state_commit_failed");
        return false;
    }
    return false;
}

std::optional<QJsonObject> PersistentState::readState(const QString& path) const
{
    const std::optional<QByteArray> bytes = StorageFiles::readRegularFile(path, maxFileBytes);
    if (!bytes)
        return std::nullopt;
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(*bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();
    if (object.value(QStringLiteral("format")) != QJsonValue(1))
        return std::nullopt;
    return object;
}

bool PersistentState::saveLastKnownGood(const QByteArray& body, const QString& revision,
                                        QString* error, const QString& route,
                                        const QByteArray& etag, const QJsonObject& plan) const
{
    if (revision.isEmpty() || body.size() > maxBodyBytes) {
        setError(error, "state_value_invalid");
        return false;
    }
    const QJsonObject object{
        {QStringLiteral("format"), 1},
        {QStringLiteral("revision"), revision},
        {QStringLiteral("route"), route},
        {QStringLiteral("etag"), QString::fromLatin1(etag)},
        {QStringLiteral("body_base64"), QString::fromLatin1(body.toBase64())},
        {QStringLiteral("saved_at_ms"),
         StorageFiles::jsonByteValue(std::max<qint64>(0, QDateTime::currentMSecsSinceEpoch()))},
        {QStringLiteral("plan"), plan},
    };
    return writeState(lastKnownGoodPath(), object, error);
}

namespace {

struct LastKnownGood {
    QByteArray body;
    QString revision;
    QString route;
    QByteArray etag;
    QJsonObject plan;
};

// The envelope as saveLastKnownGood writes it; anything else is treated as no copy at all.
std::optional<LastKnownGood> parseLastKnownGood(const QJsonObject& object)
{
    bool ok = true;
    LastKnownGood copy;
    copy.revision = stringField(object, "revision", &ok);
    copy.route = stringField(object, "route", &ok);
    const QString etag = stringField(object, "etag", &ok);
    const QString encodedBody = stringField(object, "body_base64", &ok);
    const QJsonValue plan = object.value(QStringLiteral("plan"));
    if (!ok || copy.revision.isEmpty() || !plan.isObject())
        return std::nullopt;
    // An entity tag is Latin-1 by construction; anything wider was not written here.
    if (std::any_of(etag.cbegin(), etag.cend(), [](QChar c) { return c.unicode() > 0xff; }))
        return std::nullopt;
    const QByteArray::FromBase64Result decoded = QByteArray::fromBase64Encoding(
        encodedBody.toLatin1(), QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() > PersistentState::maxBodyBytes)
        return std::nullopt;
    copy.body = decoded.decoded;
    copy.etag = etag.toLatin1();
    copy.plan = plan.toObject();
    return copy;
}

} // namespace

std::optional<QByteArray> PersistentState::loadLastKnownGood(QString* route, QByteArray* etag,
                                                             QJsonObject* plan,
                                                             QString* revision) const
{
    const std::optional<QJsonObject> object = readState(lastKnownGoodPath());
    const std::optional<LastKnownGood> copy =
        object ? parseLastKnownGood(*object) : std::nullopt;
    if (!copy)
        return std::nullopt;
    if (route)
        *route = copy->route;
    if (etag)
        *etag = copy->etag;
    if (plan)
        *plan = copy->plan;
    if (revision)
        *revision = copy->revision;
    return copy->body;
}

bool PersistentState::saveStoragePlan(const QJsonObject& plan, QString* error) const
{
    std::optional<QJsonObject> object = readState(lastKnownGoodPath());
    const std::optional<LastKnownGood> copy =
        object ? parseLastKnownGood(*object) : std::nullopt;
    if (!copy) {
        setError(error, "state_read_failed");
        return false;
    }
    if (copy->revision != plan.value(QStringLiteral("manifest_revision")).toString()) {
        setError(error, "state_plan_revision_mismatch");
        return false;
    }
    object->insert(QStringLiteral("plan"), plan);
    return writeState(lastKnownGoodPath(), *object, error);
}

bool PersistentState::clearLastKnownGood() const
{
    return StorageFiles::removeStateFile(lastKnownGoodPath());
}

bool PersistentState::markEnrolled(QString* error) const
{
    const QJsonObject object{
        {QStringLiteral("format"), 1},
        {QStringLiteral("enrolled"), true},
        {QStringLiteral("at_ms"),
         StorageFiles::jsonByteValue(std::max<qint64>(0, QDateTime::currentMSecsSinceEpoch()))},
    };
    return writeState(enrolledPath(), object, error);
}

bool PersistentState::isEnrolled() const
{
    // Only the marker's presence counts: a torn marker still records that enrolment happened.
    return StorageFiles::openRegularForRead(enrolledPath()).valid();
}

bool PersistentState::clearEnrolled() const
{
    return StorageFiles::removeStateFile(enrolledPath());
}

bool PersistentState::saveScreenLabel(const QString& label, QString* error) const
{
    const QJsonObject object{{QStringLiteral("format"), 1},
                             {QStringLiteral("screen_label"), label}};
    return writeState(screenMetadataPath(), object, error);
}

QString PersistentState::loadScreenLabel() const
{
    const std::optional<QJsonObject> object = readState(screenMetadataPath());
    if (!object)
        return {};
    return object->value(QStringLiteral("screen_label")).toString();
}

bool PersistentState::clearScreenLabel() const
{
    return StorageFiles::removeStateFile(screenMetadataPath());
}

bool PersistentState::saveReloadLedger(const RuntimeCompat::ReloadLedger& ledger,
                                       QString* error) const
{
    std::vector<std::pair<qint64, QString>> entries;
    for (auto it = ledger.entries.cbegin(); it != ledger.entries.cend(); ++it) {
        if (writableInstant(it.value()))
            entries.emplace_back(it.value().toMSecsSinceEpoch(), it.key());
    }
    std::sort(entries.begin(), entries.end());
    QJsonArray array;
    for (const auto& [at, id] : entries)
        array.append(QJsonObject{{QStringLiteral("id"), id}, {QStringLiteral("at_ms"), double(at)}});
    QJsonObject object{{QStringLiteral("format"), 1}, {QStringLiteral("entries"), array}};
    if (writableInstant(ledger.lastReloadAt))
        object.insert(QStringLiteral("last_reload_at_ms"),
                      double(ledger.lastReloadAt.toMSecsSinceEpoch()));
    return writeState(reloadLedgerPath(), object, error);
}

RuntimeCompat::ReloadLedger PersistentState::loadReloadLedger() const
{
    RuntimeCompat::ReloadLedger ledger;
    const std::optional<QJsonObject> object = readState(reloadLedgerPath());
    if (!object)
        return ledger;
    const auto instant = [](const QJsonValue& value) -> std::optional<QDateTime> {
        if (!value.isDouble())
            return std::nullopt;
        const double ms = value.toDouble();
        if (!(ms >= -instantLimitMs && ms <= instantLimitMs) || ms != double(qint64(ms)))
            return std::nullopt;
        return QDateTime::fromMSecsSinceEpoch(qint64(ms), Qt::UTC);
    };
    const QJsonValue entries = object->value(QStringLiteral("entries"));
    if (!entries.isArray())
        return ledger;
    std::vector<std::pair<QDateTime, QString>> loaded;
    for (const QJsonValue& entry : entries.toArray()) {
        const QJsonObject item = entry.toObject();
        const QJsonValue id = item.value(QStringLiteral("id"));
        const std::optional<QDateTime> at = instant(item.value(QStringLiteral("at_ms")));
        // The whole file is refused rather than half-trusted.
        if (!id.isString() || id.toString().isEmpty() || !at)
            return RuntimeCompat::ReloadLedger{};
        loaded.emplace_back(*at, id.toString());
    }
    const QJsonValue last = object->value(QStringLiteral("last_reload_at_ms"));
    std::optional<QDateTime> lastAt;
    if (!last.isUndefined()) {
        lastAt = instant(last);
        if (!lastAt)
            return RuntimeCompat::ReloadLedger{};
    }
    // A hand-grown file keeps only the newest entries the ledger itself would keep.
    std::sort(loaded.begin(), loaded.end());
    const size_t skip = loaded.size() > size_t(RuntimeCompat::ReloadLedger::maxEntries)
        ? loaded.size() - size_t(RuntimeCompat::ReloadLedger::maxEntries)
        : 0;
    for (size_t i = skip; i < loaded.size(); ++i)
        ledger.entries.insert(loaded[i].second, loaded[i].first);
    if (lastAt)
        ledger.lastReloadAt = *lastAt;
    return ledger;
}

} // namespace talvorine
