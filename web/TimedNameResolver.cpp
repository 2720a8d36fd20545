#include "web/TimedNameResolver.h"

#include <QHash>
#include <QHostInfo>
#include <QThreadPool>

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace talvorine {

namespace {

using SteadyClock = std::chrono::steady_clock;

qint64 monotonicMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               SteadyClock::now().time_since_epoch())
        .count();
}

// Lookups outlive their callers' waits, so they run on threads that nobody joins: a pool of its
// own that lives as long as the process, never the global pool that file work shares.
QThreadPool& lookupPool()
{
    static QThreadPool* const pool = [] {
        auto* created = new QThreadPool;
        created->setMaxThreadCount(TimedNameResolver::maxLookups);
        return created;
    }();
    return *pool;
}

} // namespace

struct TimedNameResolver::Shared {
    struct Answer {
        QList<QHostAddress> addresses;
        qint64 atMs = 0;
    };

    Lookup lookup;
    Clock clock;
    std::chrono::milliseconds limit;
    qint64 keepMs;
    qint64 failureKeepMs;

    std::mutex mutex;
    std::condition_variable finished;
    QHash<QString, Answer> answers;
    QHash<QString, SteadyClock::time_point> running; // host -> the deadline of its waiters

    // Called with the mutex held.
    bool fresh(const Answer& answer, qint64 nowMs) const
    {
        const qint64 keep = answer.addresses.isEmpty() ? failureKeepMs : keepMs;
        return answer.atMs <= nowMs && nowMs - answer.atMs < keep;
    }

    void keep(const QString& host, QList<QHostAddress> addresses)
    {
        const qint64 nowMs = clock();
        if (!answers.contains(host) && answers.size() >= maxAnswers) {
            auto oldest = answers.begin();
            for (auto it = answers.begin(); it != answers.end(); ++it) {
                if (it->atMs < oldest->atMs)
                    oldest = it;
            }
            answers.erase(oldest);
        }
        answers.insert(host, Answer{std::move(addresses), nowMs});
    }
};

TimedNameResolver::TimedNameResolver(Lookup lookup, int limitMs, qint64 keepMs,
                                     qint64 failureKeepMs, Clock clock)
    : shared_(std::make_shared<Shared>())
{
    shared_->lookup = std::move(lookup);
    shared_->clock = clock ? std::move(clock) : Clock(monotonicMs);
    shared_->limit = std::chrono::milliseconds(qMax(0, limitMs));
    shared_->keepMs = keepMs;
    shared_->failureKeepMs = failureKeepMs;
}

QList<QHostAddress> TimedNameResolver::operator()(const QString& host) const
{
    Shared& s = *shared_;
    std::unique_lock lock(s.mutex);
    const auto known = s.answers.constFind(host);
    if (known != s.answers.constEnd() && s.fresh(*known, s.clock()))
        return known->addresses;

    auto deadline = s.running.value(host);
    if (!s.running.contains(host)) {
        if (s.running.size() >= maxLookups)
            return {};
        deadline = SteadyClock::now() + s.limit;
        s.running.insert(host, deadline);
        lookupPool().start([shared = shared_, host] {
            QList<QHostAddress> addresses = shared->lookup(host);
            const std::lock_guard done(shared->mutex);
            shared->running.remove(host);
            shared->keep(host, std::move(addresses));
            shared->finished.notify_all();
        });
    }
    if (!s.finished.wait_until(lock, deadline, [&] { return !s.running.contains(host); }))
        return {};
    return s.answers.value(host).addresses;
}

QList<QHostAddress> TimedNameResolver::systemLookup(const QString& host)
{
    const QHostInfo info = QHostInfo::fromName(host);
    return info.error() == QHostInfo::NoError ? info.addresses() : QList<QHostAddress>();
}

} // namespace talvorine
