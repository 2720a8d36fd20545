#pragma once

#include <QHostAddress>
#include <QList>
#include <QString>

#include <functional>
#include <memory>

namespace talvorine {

// A host name lookup for callers that must answer synchronously on the GUI thread (the request
// interceptor): the blocking lookup runs on a thread of its own and the caller waits for it at
// most limitMs, without an event loop. A lookup that runs out refuses (an empty answer) but goes
// on, and its answer is kept for the requests that follow; callers asking for a host whose
// lookup is already under way share its deadline instead of waiting anew. Answers are kept
// keepMs, empty ones (failures) only failureKeepMs, so a page making many requests to one host
// pays one lookup. At most maxLookups lookups run at once; beyond that a new host is refused.
class TimedNameResolver {
public:
    using Lookup = std::function<QList<QHostAddress>(const QString& host)>;
    using Clock = std::function<qint64()>;

    static constexpr int defaultLimitMs = 1000;
    static constexpr qint64 defaultKeepMs = 30000;
    static constexpr qint64 defaultFailureKeepMs = 5000;
    static constexpr int maxLookups = 8;
    static constexpr int maxAnswers = 256;

    // The lookup may be called on any thread and may block; the clock (milliseconds, for the
    // memory only) defaults to the monotonic one.
    explicit TimedNameResolver(Lookup lookup, int limitMs = defaultLimitMs,
                               qint64 keepMs = defaultKeepMs,
                               qint64 failureKeepMs = defaultFailureKeepMs, Clock clock = {});

    QList<QHostAddress> operator()(const QString& host) const;

    // The system resolver (QHostInfo::fromName), empty on any error.
    static QList<QHostAddress> systemLookup(const QString& host);

private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
};

} // namespace talvorine
