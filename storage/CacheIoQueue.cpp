#include "storage/ContentCache.h"

#include <QMetaObject>
#include <QPointer>
#include <QThreadPool>
#include <QThread>

#include <algorithm>
#include <memory>

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
    // The running work finishes on its pool thread; its carrier then finds this queue gone and
    // only drops the continuation, on this thread.
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

    // The continuation and everything it captured must die on this queue's thread, even when
    // the queue is gone by the time the work ends: the work hands it to a carrier object that
    // it moves to this thread, and only that thread ever lets go of it.
    QThread* const home = thread();
    const QPointer<CacheIoQueue> self(this);
    QThreadPool::globalInstance()->start([cancel = std::move(job.cancel),
                                          work = std::move(job.work), home, self]() mutable {
        auto continuation = std::make_unique<std::function<void()>>();
        if (!cancel->load(std::memory_order_acquire))
            *continuation = work();
        work = nullptr;
        auto* carrier = new QObject;
        carrier->moveToThread(home);
        QMetaObject::invokeMethod(
            carrier,
            [carrier, self, held = std::shared_ptr<std::function<void()>>(std::move(continuation))] {
                carrier->deleteLater();
                std::function<void()> continuation = std::move(*held);
                if (self)
                    self->finishRunning(continuation);
            },
            Qt::QueuedConnection);
    });
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
