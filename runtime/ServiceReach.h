#pragma once

#include <QByteArray>
#include <QNetworkReply>
#include <QString>
#include <QUrl>

namespace talvorine {

// Whether the runtime service can be reached at all, as its replies tell it. A reply that carries
// an HTTP answer, whatever its status, says it can; one that ended before any answer because no
// connection could be made (refused, no such host, TLS failing) says it cannot, and so does an
// HTML page in a 2xx: no route of the service answers with one, while a network's login page
// (or a proxy that inspects TLS) answers every request with one. Only a change is worth a line to
// the operator: an outage once it has lasted, the first page in one said before the page came,
// and the first answer of the service itself after one said. A network that comes and goes in
// gaps shorter than that writes nothing, however long it goes on.
class ServiceReach {
public:
    // How long the service goes unreached, with no answer of its own, before that is said.
    static constexpr qint64 lastingOutageMs = 30000;
    // The longest a request that would find the service back waits while nothing answers: a
    // draw between these, so that screens cut at one moment do not all come back at another.
    static constexpr qint64 unreachedRetryLowMs = 30000;
    static constexpr qint64 unreachedRetryHighMs = 60000;
    static qint64 unreachedRetryMs();

    struct Verdict {
        enum class Kind { Silent, Answered, Unreached };
        Kind kind = Kind::Silent;
        QString reason; // Qt's words for an unreached service, or the page's
        bool pageInPlace = false;
    };
    // Returned: the service answers again after an outage that was not said.
    enum class Change { None, Lost, Back, Returned };

    // A reply that was aborted or timed out, or broke off after its answer had begun, says
    // nothing either way: the player's own aborts and time-outs look alike to Qt, and a slow
    // service (the ad resolve waits 2 s) is not an unreachable one. pageInPlace: the answer was
    // an HTML page (pageInPlace() below).
    static Verdict verdictOf(int httpStatus, QNetworkReply::NetworkError error,
                             const QString& errorText, bool pageInPlace = false);

    // The media type alone decides, in any case: "text/html" or "application/xhtml+xml".
    static bool htmlType(const QByteArray& contentType);
    // A 2xx carrying an HTML page: an answer in the service's place, never the service's own.
    // An empty one (a 202 or 204 labelled so) carries nothing that could be mistaken for it.
    static bool pageInPlace(int httpStatus, const QByteArray& contentType, qint64 bodyBytes);

    Change take(const Verdict& verdict);
    // The outage under way has lasted lastingOutageMs (its owner keeps the time, since under
    // back-off the next reply may come minutes later): Lost, the first time.
    Change lasted();
    // Since a reply that could not reach it, with no answer of its own after.
    bool unreachable() const { return unreachable_; }
    // Why the outage said is one: a page in the service's place, if one came, tells the operator
    // where to look.
    const QString& reason() const { return reason_; }

    // The lines for standard error, naming the origin by its scheme, host and port alone.
    static QByteArray lostLine(const QUrl& origin, const QString& reason);
    static QByteArray backLine(const QUrl& origin);

private:
    bool unreachable_ = false;
    // The outage under way was said.
    bool said_ = false;
    // What it is (to be) said for, and whether that is a page in the service's place.
    QString reason_;
    bool pageReason_ = false;
};

} // namespace talvorine
