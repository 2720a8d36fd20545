#pragma once

#include <QByteArray>
#include <QNetworkReply>
#include <QString>
#include <QUrl>

#include <optional>

namespace talvorine {

// Whether the runtime service can be reached at all, as its replies tell it. A reply that carries
// an HTTP answer, whatever its status, says it can; one that ended before any answer because no
// connection could be made (refused, no such host, TLS failing) says it cannot, and so does an
// HTML page in a 2xx: no route of the service answers with one, while a network's login page
// (or a proxy that inspects TLS) answers every request with one. Only a change is worth a line to
// the operator: the first such failure, the first page in an outage that began otherwise, and
// the first answer of the service itself after them. A network that comes and goes is said once:
// an outage that begins within ten minutes of the service answering again is said only once it
// has lasted a minute, and its end only then, so that an hour of short outages is two lines, not
// a hundred.
class ServiceReach {
public:
    static constexpr qint64 comingAndGoingMs = 600000;
    static constexpr qint64 lastingOutageMs = 60000;

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

    // nowMs: a monotonic clock's reading.
    Change take(const Verdict& verdict, qint64 nowMs);
    // Since a reply that could not reach it, with no answer of its own after.
    bool unreachable() const { return unreachable_; }

    // The lines for standard error, naming the origin by its scheme, host and port alone.
    static QByteArray lostLine(const QUrl& origin, const QString& reason);
    static QByteArray backLine(const QUrl& origin);

private:
    bool unreachable_ = false;
    // The outage under way was said, and with a page in the service's place.
    bool said_ = false;
    bool pageSaid_ = false;
    // From when the outage under way is worth a line: a minute on for one that began soon after
    // the service last answered again.
    qint64 sayFromMs_ = 0;
    std::optional<qint64> answeredAgainMs_;
};

} // namespace talvorine
