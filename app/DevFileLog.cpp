#include "app/DevFileLog.h"

#include "app/LogRedaction.h"
#include "app/PlayerEnvironment.h"
#include "app/RecordFold.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonDocument>
#include <QMutex>
#include <QMutexLocker>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace talvorine {

namespace {

struct State {
    QMutex mutex;
    QString path;
    qint64 maxBytes = DevFileLog::defaultMaxBytes;
    QHash<QString, RecordFold> folds;
    // The file ends inside a record, one a full volume cut short: looked at when the log is
    // configured and after a write that did not go through whole, never on every record.
    bool cut = false;
};

// Far more kinds than the callers have; only a caller keyed by outside text could get there.
constexpr qsizetype foldKindLimit = 256;

State& state()
{
    static State instance;
    return instance;
}

constexpr QFileDevice::Permissions ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

QJsonObject buildRecord(const QString& event, const QJsonObject& fields)
{
    QJsonObject record;
    for (auto it = fields.constBegin(); it != fields.constEnd(); ++it) {
        const QJsonValue value = it.value();
        if (value.isString())
            record.insert(it.key(), LogRedaction::clip(value.toString(), DevFileLog::stringLimit));
        else if (!value.isArray() && !value.isObject())
            record.insert(it.key(), value);
    }
    record.insert(QStringLiteral("ts"),
                  QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    record.insert(QStringLiteral("event"), LogRedaction::clip(event, DevFileLog::stringLimit));
    record.insert(QStringLiteral("pid"), QCoreApplication::applicationPid());
    return record;
}

bool createOwnerOnlyDirectory(const QString& dir)
{
    QDir target(dir);
    if (target.exists())
        return true;
    // Parents follow the umask like any other directory; the log's own directory is private.
    if (!QDir().mkpath(QFileInfo(target.absolutePath()).absolutePath()))
        return false;
    return QDir().mkdir(target.absolutePath(), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                   | QFileDevice::ExeOwner)
        || target.exists();
}

// Whether the file's last byte is not a line end: a record was cut where a write failed.
bool endsMidLine(const QString& path)
{
    QFile file(path);
    char last = '\n';
    return file.open(QIODevice::ReadOnly) && file.size() > 0 && file.seek(file.size() - 1)
        && file.getChar(&last) && last != '\n';
}

QString requestIdOf(const QNetworkReply* reply)
{
    const QByteArray id = reply->rawHeader("X-Request-ID");
    if (id.isEmpty() || id.size() > 80 || id.contains(' '))
        return {};
    return QString::fromLatin1(id);
}

} // namespace

void DevFileLog::configure(const QUrl& origin, const QString& stateDir, qint64 maxBytes)
{
    State& s = state();
    QMutexLocker lock(&s.mutex);
    s.path.clear();
    s.cut = false;
    s.maxBytes = maxBytes >= 1 ? maxBytes : defaultMaxBytes;
    s.folds.clear();
    if (environmentFromOrigin(origin) != PlayerEnvironment::Local || stateDir.isEmpty())
        return;
    if (!createOwnerOnlyDirectory(stateDir))
        return;
    // Absolute, so that a later change of working directory does not move the log.
    s.path = QDir(stateDir).absoluteFilePath(QStringLiteral("dev-log.jsonl"));
    s.cut = endsMidLine(s.path);
}

bool DevFileLog::enabled()
{
    State& s = state();
    QMutexLocker lock(&s.mutex);
    return !s.path.isEmpty();
}

QString DevFileLog::path()
{
    State& s = state();
    QMutexLocker lock(&s.mutex);
    return s.path;
}

QString DevFileLog::originString(const QUrl& url)
{
    QUrl origin;
    origin.setScheme(url.scheme());
    origin.setHost(url.host(QUrl::FullyDecoded), QUrl::DecodedMode);
    if (url.port() != -1)
        origin.setPort(url.port());
    return origin.toString();
}

void DevFileLog::recordFolded(const QString& event, const QString& code, QJsonObject fields,
                              qint64 nowMs)
{
    RecordFoldStep step;
    {
        State& s = state();
        QMutexLocker lock(&s.mutex);
        if (s.path.isEmpty())
            return;
        const QString kind = event + u'\x1f' + code;
        if (s.folds.size() >= foldKindLimit && !s.folds.contains(kind))
            s.folds.clear();
        RecordFold& fold = s.folds[kind];
        step = foldRecord(fold, nowMs);
        fold = step.next;
    }
    if (!step.write)
        return;
    if (step.folded > 0)
        fields.insert(QStringLiteral("folded"), step.folded);
    record(event, fields);
}

void DevFileLog::record(const QString& event, const QJsonObject& fields)
{
    if (event.isEmpty())
        return;
    const QByteArray line = QJsonDocument(buildRecord(event, fields)).toJson(QJsonDocument::Compact);
    const qint64 length = line.size();

    State& s = state();
    QMutexLocker lock(&s.mutex);
    if (s.path.isEmpty() || length + 1 > s.maxBytes)
        return;

    // A record cut by a full volume (here or in an earlier run) is closed first, so that the
    // next one is a line of its own and still parses.
    const QFileInfo current(s.path);
    const bool cut = s.cut && current.exists();
    if (current.exists() && current.size() + qint64(cut) + length + 1 > s.maxBytes) {
        const QString previous = s.path + QStringLiteral(".prev");
        QFile::remove(previous);
        QFile::rename(s.path, previous);
    }

    QFile file(s.path);
    if (!file.open(QIODevice::Append | QIODevice::WriteOnly, ownerOnly))
        return;
    // A file created by someone else (or an older build) may be wider than owner-only.
    constexpr auto userBits = QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser;
    if ((file.permissions() & ~userBits) != ownerOnly)
        file.setPermissions(ownerOnly);
    // After a rotation the cut record is in the previous generation, whole lines after it.
    const QByteArray bytes =
        (cut && file.size() > 0 ? QByteArray("\n") : QByteArray()) + line + '\n';
    const bool whole = file.write(bytes) == bytes.size() && file.flush();
    file.close();
    s.cut = !whole && endsMidLine(s.path);
}

void DevFileLog::watchReply(QNetworkReply* reply, const QString& method)
{
    if (!reply)
        return;
    QElapsedTimer timer;
    timer.start();
    QObject::connect(reply, &QNetworkReply::finished, reply, [reply, method, timer] {
        const QUrl url = reply->url();
        if (environmentFromOrigin(url) != PlayerEnvironment::Local)
            return;
        QJsonObject fields;
        fields.insert(QStringLiteral("method"), method);
        fields.insert(QStringLiteral("host"), url.host(QUrl::FullyDecoded));
        const QString path = url.path(QUrl::FullyDecoded);
        fields.insert(QStringLiteral("path"), path.isEmpty() ? QStringLiteral("/") : path);
        fields.insert(QStringLiteral("status"),
                      reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt());
        fields.insert(QStringLiteral("duration_ms"), timer.elapsed());
        if (const QString query = url.query(); !query.isEmpty())
            fields.insert(QStringLiteral("query"), query);
        fields.insert(QStringLiteral("url"), url.toString(QUrl::RemoveUserInfo));
        if (const QByteArray cookie = reply->request().rawHeader("Cookie"); !cookie.isEmpty())
            fields.insert(QStringLiteral("cookie"), QString::fromLatin1(cookie));
        if (const QByteArray setCookie = reply->rawHeader("Set-Cookie"); !setCookie.isEmpty())
            fields.insert(QStringLiteral("set_cookie"), QString::fromLatin1(setCookie));
        if (const QString requestId = requestIdOf(reply); !requestId.isEmpty())
            fields.insert(QStringLiteral("request_id"), requestId);
        record(QStringLiteral("http"), fields);
    });
}

} // namespace talvorine
