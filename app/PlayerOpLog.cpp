#include "app/PlayerOpLog.h"

#include "app/LogRedaction.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMutex>
#include <QMutexLocker>
#include <QUuid>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace talvorine {

namespace {

struct State {
    QMutex mutex;
    int fd = -1;
    QString boundScreenId;
};

State& state()
{
    static State instance;
    return instance;
}

const QString& sharedFallbackPath()
{
    static const QString path = QStringLiteral("/tmp/talvorine-player-log.sock");
    return path;
}

struct SocketTarget {
    QString path;
    // The fallback lives in a world-writable directory where any local user could have bound it.
    bool sharedDirectory = false;
};

SocketTarget resolveSocketTarget()
{
    const QByteArray configured = qgetenv("TALVORINE_PLAYER_LOG_SOCKET");
    if (!configured.isEmpty())
        return {QFile::decodeName(configured), false};
    const QByteArray runtimeDir = qgetenv("XDG_RUNTIME_DIR");
    if (!runtimeDir.isEmpty())
        return {QDir(QFile::decodeName(runtimeDir)).filePath(QStringLiteral("talvorine-player-log.sock")),
                false};
    return {sharedFallbackPath(), true};
}

constexpr qsizetype maxSocketPathBytes = sizeof(sockaddr_un::sun_path) - 1;

bool peerIsOurUser(int fd)
{
    ucred credentials{};
    socklen_t length = sizeof(credentials);
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0
        || length != sizeof(credentials))
        return false;
    return credentials.uid == ::geteuid();
}

// Returns a connected non-blocking socket, or -1. Never waits: an unfinished connection is
// polled once with a zero timeout.
int connectCollector()
{
    const SocketTarget target = resolveSocketTarget();
    const QByteArray encoded = QFile::encodeName(target.path);
    if (encoded.isEmpty() || encoded.size() > maxSocketPathBytes)
        return -1;

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;

    sockaddr_un address;
    std::memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, encoded.constData(), size_t(encoded.size()));
    const auto length = socklen_t(offsetof(sockaddr_un, sun_path) + size_t(encoded.size()) + 1);

    bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0;
    if (!connected && (errno == EINPROGRESS || errno == EINTR)) {
        pollfd poller{fd, POLLOUT, 0};
        int error = 0;
        socklen_t errorLength = sizeof(error);
        connected = ::poll(&poller, 1, 0) > 0 && (poller.revents & POLLOUT)
            && !(poller.revents & (POLLERR | POLLHUP))
            && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &errorLength) == 0 && error == 0;
    }
    if (connected && target.sharedDirectory && !peerIsOurUser(fd))
        connected = false;
    if (!connected) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool sendAll(int fd, const QByteArray& bytes)
{
    // A writable poll is normally followed by progress; the bound only guarantees that a socket
    // which keeps reporting writable without taking bytes cannot hold the caller in a loop.
    constexpr int maxStalledRounds = 16;
    int stalledRounds = 0;
    qsizetype offset = 0;
    while (offset < bytes.size()) {
        const ssize_t sent = ::send(fd, bytes.constData() + offset, size_t(bytes.size() - offset),
                                    MSG_NOSIGNAL);
        if (sent > 0) {
            offset += sent;
            stalledRounds = 0;
            continue;
        }
        if (sent == 0)
            return false;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return false;
        pollfd poller{fd, POLLOUT, 0};
        if (::poll(&poller, 1, 0) <= 0 || !(poller.revents & POLLOUT)
            || ++stalledRounds > maxStalledRounds)
            return false;
    }
    return true;
}

const QStringList& forbiddenKeyFragments()
{
    static const QStringList list{
        QStringLiteral("set-cookie"),        QStringLiteral("set_cookie"),
        QStringLiteral("cookie"),            QStringLiteral("authorization"),
        QStringLiteral("talvorine-pairing"), QStringLiteral("talvorine-device"),
        QStringLiteral("talvorine-session"), QStringLiteral("public_key"),
        QStringLiteral("jwk"),               QStringLiteral("private"),
        QStringLiteral("image_bytes"),       QStringLiteral("webp"),
    };
    return list;
}

const QStringList& forbiddenValueFragments()
{
    static const QStringList list{
        QStringLiteral("talvorine-pairing"), QStringLiteral("talvorine-device"),
        QStringLiteral("talvorine-session"), QStringLiteral("authorization:"),
        QStringLiteral("bearer "),           QStringLiteral("tvp_"),
        QStringLiteral("tvd_"),              QStringLiteral("tvs_"),
        QStringLiteral("tv_live_"),          QStringLiteral("data:image/"),
        QStringLiteral("x-amz-signature"),   QStringLiteral("x-goog-signature"),
        QStringLiteral("#provision="),       QStringLiteral("#link="),
    };
    return list;
}

const QSet<QString>& reservedKeys()
{
    static const QSet<QString> keys{
        QStringLiteral("v"),          QStringLiteral("ts"),          QStringLiteral("event_id"),
        QStringLiteral("kind"),       QStringLiteral("phase"),       QStringLiteral("op"),
        QStringLiteral("tag"),        QStringLiteral("correlation_id"),
        QStringLiteral("message"),    QStringLiteral("duration_ms"), QStringLiteral("problem"),
        QStringLiteral("id"),         QStringLiteral("params"),      QStringLiteral("method"),
        QStringLiteral("path"),       QStringLiteral("status"),      QStringLiteral("request_id"),
        QStringLiteral("query_keys"),
    };
    return keys;
}

bool isEmptyValue(const QJsonValue& value)
{
    switch (value.type()) {
    case QJsonValue::Undefined:
    case QJsonValue::Null:
        return true;
    case QJsonValue::String:
        return value.toString().isEmpty();
    case QJsonValue::Array:
        return value.toArray().isEmpty();
    case QJsonValue::Object:
        return value.toObject().isEmpty();
    default:
        return false;
    }
}

QString nonEmptyString(const QJsonObject& object, const QString& key)
{
    const QJsonValue value = object.value(key);
    return value.isString() ? value.toString() : QString();
}

QString resourceIdOf(const QJsonObject& params)
{
    for (const char* key : {"id", "capture_id", "screen_id"}) {
        if (const QString id = nonEmptyString(params, QLatin1String(key)); !id.isEmpty())
            return id;
    }
    static const QSet<QString> notResources{
        QStringLiteral("id"), QStringLiteral("correlation_id"), QStringLiteral("event_id"),
        QStringLiteral("request_id")};
    // QJsonObject keeps its keys sorted, so this walk is in ascending key order.
    for (auto it = params.constBegin(); it != params.constEnd(); ++it) {
        if (!it.key().endsWith(QLatin1String("_id")) || notResources.contains(it.key()))
            continue;
        if (it.value().isString() && !it.value().toString().isEmpty())
            return it.value().toString();
    }
    return {};
}

} // namespace

QString PlayerOpLog::newId()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

void PlayerOpLog::startLocal(const QString& correlationId, const QString& op,
                             const QString& message, const QJsonObject& params)
{
    emitLocal(correlationId, QStringLiteral("start"), op, message, -1, {}, params);
}

void PlayerOpLog::finishLocal(const QString& correlationId, const QString& op, qint64 durationMs,
                              const QJsonObject& params)
{
    emitLocal(correlationId, QStringLiteral("finish"), op, {}, durationMs, {}, params);
}

void PlayerOpLog::errorLocal(const QString& correlationId, const QString& op, qint64 durationMs,
                             const QJsonObject& problem, const QJsonObject& params)
{
    emitLocal(correlationId, QStringLiteral("error"), op, {}, durationMs, problem, params);
}

void PlayerOpLog::setBoundScreenId(const QString& id)
{
    State& s = state();
    QMutexLocker lock(&s.mutex);
    s.boundScreenId = id;
}

QString PlayerOpLog::boundScreenId()
{
    State& s = state();
    QMutexLocker lock(&s.mutex);
    return s.boundScreenId;
}

QString PlayerOpLog::socketPath()
{
    return resolveSocketTarget().path;
}

void PlayerOpLog::close()
{
    State& s = state();
    QMutexLocker lock(&s.mutex);
    if (s.fd >= 0)
        ::close(s.fd);
    s.fd = -1;
}

void PlayerOpLog::emitEvent(QJsonObject record)
{
    record.insert(QStringLiteral("v"), 1);
    record.insert(QStringLiteral("pid"), QCoreApplication::applicationPid());
    if (!record.contains(QStringLiteral("ts")))
        record.insert(QStringLiteral("ts"),
                      QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    if (!record.contains(QStringLiteral("event_id")))
        record.insert(QStringLiteral("event_id"), newId());

    const QJsonObject clean = sanitizeObject(record);
    if (clean.isEmpty())
        return;
    QByteArray line = QJsonDocument(clean).toJson(QJsonDocument::Compact);
    if (line.isEmpty())
        return;
    if (!line.endsWith('\n'))
        line.append('\n');

    State& s = state();
    QMutexLocker lock(&s.mutex);
    if (s.fd < 0)
        s.fd = connectCollector();
    if (s.fd < 0)
        return;
    if (!sendAll(s.fd, line)) {
        ::close(s.fd);
        s.fd = -1;
    }
}

void PlayerOpLog::emitLocal(const QString& correlationId, const QString& phase, const QString& op,
                            const QString& message, qint64 durationMs, const QJsonObject& problem,
                            const QJsonObject& params)
{
    if (correlationId.isEmpty() || op.isEmpty())
        return;
    const QJsonObject cleanParams = sanitizeObject(params);

    QString tag = op;
    tag.replace(QLatin1Char('.'), QLatin1Char('_')).replace(QLatin1Char('-'), QLatin1Char('_'));

    QJsonObject record{
        {QStringLiteral("kind"), QStringLiteral("local")},
        {QStringLiteral("phase"), phase},
        {QStringLiteral("op"), op},
        {QStringLiteral("tag"), tag},
        {QStringLiteral("correlation_id"), correlationId},
    };
    if (!message.isEmpty())
        record.insert(QStringLiteral("message"), message);
    if (phase != QLatin1String("start") && durationMs >= 0)
        record.insert(QStringLiteral("duration_ms"), durationMs);
    if (const QJsonObject cleanProblem = sanitizeObject(problem); !cleanProblem.isEmpty())
        record.insert(QStringLiteral("problem"), cleanProblem);

    insertIdAndParams(record, resourceIdOf(cleanParams), cleanParams);
    emitEvent(record);
}

void PlayerOpLog::insertIdAndParams(QJsonObject& record, const QString& id,
                                    const QJsonObject& params)
{
    if (!id.isEmpty())
        record.insert(QStringLiteral("id"), id);
    QJsonObject copied;
    for (auto it = params.constBegin(); it != params.constEnd(); ++it) {
        if (reservedKeys().contains(it.key()))
            continue;
        const QJsonValue value = it.value();
        if (value.isBool() || value.isDouble() || (value.isString() && !value.toString().isEmpty()))
            copied.insert(it.key(), value);
    }
    if (!copied.isEmpty())
        record.insert(QStringLiteral("params"), copied);
}

QJsonObject PlayerOpLog::sanitizeObject(const QJsonObject& object)
{
    QJsonObject clean;
    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        if (it.key().isEmpty() || forbiddenKey(it.key()))
            continue;
        const QJsonValue value = sanitizeValue(it.value());
        if (!isEmptyValue(value))
            clean.insert(it.key(), value);
    }
    return clean;
}

QJsonValue PlayerOpLog::sanitizeValue(const QJsonValue& value)
{
    switch (value.type()) {
    case QJsonValue::String: {
        const QString clipped = LogRedaction::clip(value.toString());
        if (clipped.isEmpty())
            return QJsonValue(QJsonValue::Undefined);
        const QString lower = clipped.toLower();
        for (const QString& fragment : forbiddenValueFragments()) {
            if (lower.contains(fragment))
                return QJsonValue(QJsonValue::Undefined);
        }
        return clipped;
    }
    case QJsonValue::Bool:
    case QJsonValue::Double:
        return value;
    case QJsonValue::Array: {
        QJsonArray clean;
        for (const QJsonValue& element : value.toArray()) {
            const QJsonValue cleanElement = sanitizeValue(element);
            if (!cleanElement.isUndefined() && !cleanElement.isNull())
                clean.append(cleanElement);
        }
        return clean;
    }
    case QJsonValue::Object:
        return sanitizeObject(value.toObject());
    default:
        return QJsonValue(QJsonValue::Undefined);
    }
}

bool PlayerOpLog::forbiddenKey(const QString& key)
{
    if (LogRedaction::isSecret(key))
        return true;
    const QString lower = key.toLower();
    for (const QString& fragment : forbiddenKeyFragments()) {
        if (lower.contains(fragment))
            return true;
    }
    return false;
}

} // namespace talvorine
