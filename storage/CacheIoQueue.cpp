#include "storage/ContentCache.h"

#include <QFutureWatcher>
#include <QPointer>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>

namespace talvorine {

namespace {

bool raised(const std::shared_ptr<std::atomic<bool>>& flag)
{
    return !flag || flag->load(std::memory_order_acquire);
}

} // namespace

CacheIoQueue::CacheIoQueue(int capacity, QObject* parent)
    : QObject(parent), m_capacity(std::max(1, capacity))
{
}

CacheIoQueue::~CacheIoQueue()
{
    // The running work finishes on its pool thread; its watcher is a child of this object and
    // goes with it, so the continuation can never run.
    if (m_running)
        m_running->store(true, std::memory_order_release);
    for (const Job& job : m_waiting) {
        if (job.cancel)
            job.cancel->store(true, std::memory_order_release);
    }
}

bool CacheIoQueue::submit(std::shared_ptr<std::atomic<bool>> cancel,
                          std::function<std::function<void()>()> work)
{
    discardCancelled();
    if (raised(cancel) || !work || m_waiting.size() >= size_t(m_capacity))
        return false;
    m_waiting.push_back(Job{std::move(cancel), std::move(work)});
    startNext();
    return true;
}

void CacheIoQueue::discardCancelled()
{
    m_waiting.erase(std::remove_if(m_waiting.begin(), m_waiting.end(),
                                   [](const Job& job) { return raised(job.cancel); }),
                    m_waiting.end());
}

void CacheIoQueue::startNext()
{
    discardCancelled();
    if (m_running || m_waiting.empty())
        return;
    Job job = std::move(m_waiting.front());
    m_waiting.pop_front();
    m_running = job.cancel;

    auto* watcher = new QFutureWatcher<std::function<void()>>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher] {
        std::function<void()> continuation;
        if (watcher->future().resultCount() > 0)
            continuation = watcher->result();
        watcher->deleteLater();
        finishRunning(continuation);
    });
    watcher->setFuture(QtConcurrent::run(
        QThreadPool::globalInstance(),
        [cancel = std::move(job.cancel), work = std::move(job.work)]() -> std::function<void()> {
            if (cancel->load(std::memory_order_acquire))
                return {};
            return work();
        }));
}

void CacheIoQueue::finishRunning(const std::function<void()>& continuation)
{
    const std::shared_ptr<std::atomic<bool>> flag = std::move(m_running);
    m_running.reset();
    if (continuation && !flag->load(std::memory_order_acquire)) {
        // The continuation may destroy the queue's owner and with it the queue.
        const QPointer<CacheIoQueue> self(this);
        continuation();
        if (!self)
            return;
    }
    startNext();
}

} // namespace talvorine
