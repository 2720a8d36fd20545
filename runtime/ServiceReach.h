#pragma once

#include <QByteArray>
#include <QNetworkReply>
#include <QString>
#include <QUrl>

namespace talvorine {

// Whether the runtime service can be reached at all, as its replies tell it. A reply that carries
// an HTTP answer, whatever its status, says it can; one that ended before any answer because no
// connection could be made (refused, no such host, TLS failing) says it cannot. Only a change is
// worth a line to the operator: the first such failure, and the first answer after them.
class ServiceReach {
public:
    struct Verdict {
        enum class Kind { Silent, Answered, Unreached };
        Kind kind = Kind::Silent;
        QString reason; // Qt's words for an unreached service
    };
    enum class Change { None, Lost, Back };

    // A reply that was aborted or timed out, or broke off after its answer had begun, says
    // nothing either way: the player's own aborts and time-outs look alike to Qt, and a slow
    // service (the ad resolve waits 2 s) is not an unreachable one.
    static Verdict verdictOf(int httpStatus, QNetworkReply::NetworkError error,
                             const QString& errorText);

    Change take(const Verdict& verdict);

    // The lines for standard error, naming the origin by its scheme, host and port alone.
    static QByteArray lostLine(const QUrl& origin, const QString& reason);
    static QByteArray backLine(const QUrl& origin);

private:
    bool unreachable_ = false;
};

} // namespace talvorine
