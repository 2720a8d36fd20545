#pragma once

#include "tests/support/FakeRuntimeService.h"

#include <QByteArray>
#include <QHash>
#include <QMap>
#include <QSet>
#include <QString>

#include <optional>

namespace talvorine::test {

// The fake runtime service's application key-value store under "/runtime/v1/apps/": values kept
// per application with revisions, list, get, set and delete, "If-Match" against the revision,
// replays of an "Idempotency-Key" answered as the first time, and every request refused 403
// {"code":"forbidden","status":403} without a capability the test granted. A reply scripted on
// a key's route replaces the store's answer for that attempt (scripted problems). Until a test
// grants a capability the store is not there, and the routes get the service's fallback.
class FakeKvStore {
public:
    using Reply = FakeRuntimeService::Reply;
    using Request = FakeRuntimeService::Request;

    void grant(const QByteArray& capability) { capabilities_.insert(capability); }
    // The stored value of a key, decoded; none when absent.
    std::optional<QByteArray> value(const QString& applicationId, const QString& key) const;

    std::optional<Reply> answer(const Request& request);

private:
    struct Entry {
        QByteArray value;
        QString contentType;
        qint64 revision = 0;
        QString createdAt;
        QString updatedAt;
    };

    QJsonObject summary(const QString& applicationId, const QString& key, const Entry& entry,
                        bool withValue) const;

    QSet<QByteArray> capabilities_;
    QHash<QString, QMap<QString, Entry>> applications_;
    QHash<QByteArray, Reply> replays_;
};

} // namespace talvorine::test
