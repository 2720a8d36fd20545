#pragma once

#include "storage/PersistentStateTypes.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <optional>

namespace talvorine {

// The player's small state files in one directory: the last known good manifest with its
// storage plan, the enrolled marker, the screen label and the reload ledger. Every save
// replaces the file atomically (owner-only, synced); a file that is missing, torn or not what
// this class writes loads as absent.
class PersistentState {
public:
    static constexpr qint64 maxBodyBytes = RuntimeCompat::manifestByteLimit;
    // The body travels as base64 beside its plan and a few small fields.
    static constexpr qint64 maxFileBytes = (maxBodyBytes + 2) / 3 * 4 + 8 * 1024 * 1024;

    explicit PersistentState(QString directory);

    QString directory() const { return m_directory; }
    QString lastKnownGoodPath() const;
    QString enrolledPath() const;
    QString screenMetadataPath() const;
    QString reloadLedgerPath() const;

    bool saveLastKnownGood(const QByteArray& body, const QString& revision,
                           QString* error = nullptr, const QString& route = {},
                           const QByteArray& etag = {}, const QJsonObject& plan = {}) const;
    std::optional<QByteArray> loadLastKnownGood(QString* route = nullptr,
                                                QByteArray* etag = nullptr,
                                                QJsonObject* plan = nullptr,
                                                QString* revision = nullptr) const;
    bool saveStoragePlan(const QJsonObject& plan, QString* error = nullptr) const;
    bool clearLastKnownGood() const;

    bool markEnrolled(QString* error = nullptr) const;
    bool isEnrolled() const;
    bool clearEnrolled() const;

    bool saveScreenLabel(const QString& label, QString* error = nullptr) const;
    QString loadScreenLabel() const;
    bool clearScreenLabel() const;

    bool saveReloadLedger(const RuntimeCompat::ReloadLedger& ledger,
                          QString* error = nullptr) const;
    RuntimeCompat::ReloadLedger loadReloadLedger() const;

private:
    bool writeState(const QString& path, const QJsonObject& object, QString* error) const;
    std::optional<QJsonObject> readState(const QString& path) const;

    QString m_directory;
};

} // namespace talvorine
