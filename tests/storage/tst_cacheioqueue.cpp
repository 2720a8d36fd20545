#include "storage/ContentCache.h"

#include <QMutex>
#include <QSemaphore>
#include <QThread>
#include <QtTest>

#include <memory>

using namespace talvorine;

namespace {

using Flag = std::shared_ptr<std::atomic<bool>>;

Flag flag(bool raised = false)
{
    return std::make_shared<std::atomic<bool>>(raised);
}

// What the jobs and continuations of one test did, in order, from any thread.
struct Trace {
    QMutex mutex;
    QStringList events;
    std::atomic<int> concurrent{0};
    std::atomic<int> maxConcurrent{0};
    Qt::HANDLE guiThread = QThread::currentThreadId();
    bool workOffGui = true;
    bool continuationsOnGui = true;

    void add(const QString& event)
    {
        QMutexLocker lock(&mutex);
        events << event;
    }
    QStringList snapshot()
    {
        QMutexLocker lock(&mutex);
        return events;
    }
};

// A job that records itself, optionally blocks until released, and returns a continuation
// that records itself too.
std::function<std::function<void()>()> job(const std::shared_ptr<Trace>& trace, QString name,
                                           QSemaphore* gate = nullptr)
{
    return [trace, name, gate]() -> std::function<void()> {
        const int now = ++trace->concurrent;
        int seen = trace->maxConcurrent.load();
        while (now > seen && !trace->maxConcurrent.compare_exchange_weak(seen, now)) {
        }
        if (QThread::currentThreadId() == trace->guiThread)
            trace->workOffGui = false;
        trace->add(QStringLiteral("work ") + name);
        if (gate)
            gate->acquire();
        --trace->concurrent;
        return [trace, name] {
            if (QThread::currentThreadId() != trace->guiThread)
                trace->continuationsOnGui = false;
            trace->add(QStringLiteral("done ") + name);
        };
    };
}

} // namespace

class TestCacheIoQueue : public QObject {
    Q_OBJECT

private slots:
    void runsSeriallyInOrder_data();
    void runsSeriallyInOrder();
    void admission_data();
    void admission();
    void cancellation_data();
    void cancellation();
    void destructionWhileRunning();
    void continuationMayDestroyQueue();
    void continuationsDieOnTheQueueThread_data();
    void continuationsDieOnTheQueueThread();
};

void TestCacheIoQueue::runsSeriallyInOrder_data()
{
    QTest::addColumn<int>("jobs");
    QTest::newRow("one") << 1;
    QTest::newRow("eight") << 8;
    QTest::newRow("forty") << 40;
}

void TestCacheIoQueue::runsSeriallyInOrder()
{
    QFETCH(int, jobs);
    auto trace = std::make_shared<Trace>();
    CacheIoQueue queue(64);
    QStringList expected;
    for (int i = 0; i < jobs; ++i) {
        QVERIFY(queue.submit(flag(), job(trace, QString::number(i))));
        expected << QStringLiteral("work %1").arg(i) << QStringLiteral("done %1").arg(i);
    }
    QTRY_COMPARE(trace->snapshot().size(), expected.size());
    // Each continuation runs before the next job starts, so work and done alternate.
    QCOMPARE(trace->snapshot(), expected);
    QCOMPARE(trace->maxConcurrent.load(), 1);
    QVERIFY(trace->workOffGui);
    QVERIFY(trace->continuationsOnGui);
    QVERIFY(!queue.isRunning());
}

void TestCacheIoQueue::admission_data()
{
    // The first job blocks on a gate, so it is running and not waiting.
    QTest::addColumn<int>("capacity");
    QTest::addColumn<int>("waiting");
    QTest::addColumn<int>("cancelledWaiting");
    QTest::addColumn<QString>("newFlag");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("room left") << 2 << 1 << 0 << "clear" << true;
    QTest::newRow("running job is not counted") << 1 << 0 << 0 << "clear" << true;
    QTest::newRow("full") << 2 << 2 << 0 << "clear" << false;
    QTest::newRow("cancelled waiting jobs are purged first") << 2 << 2 << 1 << "clear" << true;
    QTest::newRow("raised flag") << 4 << 0 << 0 << "raised" << false;
    QTest::newRow("null flag") << 4 << 0 << 0 << "null" << false;
}

void TestCacheIoQueue::admission()
{
    QFETCH(int, capacity);
    QFETCH(int, waiting);
    QFETCH(int, cancelledWaiting);
    QFETCH(QString, newFlag);
    QFETCH(bool, accepted);
    auto trace = std::make_shared<Trace>();
    QSemaphore gate;
    CacheIoQueue queue(capacity);
    QVERIFY(queue.submit(flag(), job(trace, "running", &gate)));
    QTRY_COMPARE(trace->snapshot(), QStringList{"work running"});
    std::vector<Flag> flags;
    for (int i = 0; i < waiting; ++i) {
        flags.push_back(flag());
        QVERIFY(queue.submit(flags.back(), job(trace, QString::number(i))));
    }
    QCOMPARE(queue.waitingCount(), waiting);
    for (int i = 0; i < cancelledWaiting; ++i)
        flags[size_t(i)]->store(true);

    Flag candidate = newFlag == "null" ? Flag() : flag(newFlag == "raised");
    QCOMPARE(queue.submit(candidate, job(trace, "new")), accepted);
    QCOMPARE(queue.waitingCount(), waiting - cancelledWaiting + (accepted ? 1 : 0));

    gate.release(1);
    QStringList expected{"work running", "done running"};
    for (int i = cancelledWaiting; i < waiting; ++i)
        expected << QStringLiteral("work %1").arg(i) << QStringLiteral("done %1").arg(i);
    if (accepted)
        expected << "work new" << "done new";
    QTRY_COMPARE(trace->snapshot(), expected);
}

void TestCacheIoQueue::cancellation_data()
{
    QTest::addColumn<QString>("when");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("while running: work finishes, continuation skipped, next job runs")
        << "running" << QStringList{"work a", "work b", "done b"};
    QTest::newRow("while waiting: never runs")
        << "waiting" << QStringList{"work a", "done a"};
    QTest::newRow("waiting job dropped by discardCancelled")
        << "discard" << QStringList{"work a", "done a"};
}

void TestCacheIoQueue::cancellation()
{
    QFETCH(QString, when);
    QFETCH(QStringList, expected);
    auto trace = std::make_shared<Trace>();
    QSemaphore gate;
    CacheIoQueue queue(8);
    const Flag first = flag();
    const Flag second = flag();
    QVERIFY(queue.submit(first, job(trace, "a", &gate)));
    QVERIFY(queue.submit(second, job(trace, "b")));
    QTRY_COMPARE(trace->snapshot(), QStringList{"work a"});
    if (when == "running") {
        first->store(true);
    } else {
        second->store(true);
        if (when == "discard") {
            queue.discardCancelled();
            QCOMPARE(queue.waitingCount(), 0);
        }
    }
    gate.release(1);
    QTRY_VERIFY(!queue.isRunning() && queue.waitingCount() == 0);
    // Let any stray queued completion arrive before the verdict.
    QTest::qWait(50);
    QCOMPARE(trace->snapshot(), expected);
}

void TestCacheIoQueue::destructionWhileRunning()
{
    auto trace = std::make_shared<Trace>();
    auto gate = std::make_shared<QSemaphore>();
    const Flag running = flag();
    const Flag waiting = flag();
    {
        CacheIoQueue queue(8);
        QVERIFY(queue.submit(running, job(trace, "a", gate.get())));
        QVERIFY(queue.submit(waiting, job(trace, "b")));
        QTRY_COMPARE(trace->snapshot(), QStringList{"work a"});
    }
    // Destruction raised both flags; the work finishes on its pool thread afterwards.
    QVERIFY(running->load());
    QVERIFY(waiting->load());
    gate->release(1);
    QThreadPool::globalInstance()->waitForDone();
    QTest::qWait(50);
    QCOMPARE(trace->snapshot(), QStringList{"work a"});
}

void TestCacheIoQueue::continuationMayDestroyQueue()
{
    auto trace = std::make_shared<Trace>();
    auto* queue = new CacheIoQueue(8);
    QVERIFY(queue->submit(flag(), [&queue]() -> std::function<void()> {
        return [&queue] {
            delete queue;
            queue = nullptr;
        };
    }));
    const Flag next = flag();
    QVERIFY(queue->submit(next, job(trace, "b")));
    QTRY_VERIFY(queue == nullptr);
    QVERIFY(next->load());
    QThreadPool::globalInstance()->waitForDone();
    QTest::qWait(50);
    QVERIFY(trace->snapshot().isEmpty());
}

void TestCacheIoQueue::continuationsDieOnTheQueueThread_data()
{
    QTest::addColumn<QString>("ending");
    QTest::newRow("runs") << "runs";
    QTest::newRow("cancelled while running") << "cancelled";
    QTest::newRow("queue destroyed while running") << "destroyed";
}

void TestCacheIoQueue::continuationsDieOnTheQueueThread()
{
    QFETCH(QString, ending);
    // Made on the pool thread and owned only by the continuation; notes where it dies.
    struct Witness {
        std::shared_ptr<std::atomic<QThread*>> diedOn;
        ~Witness() { diedOn->store(QThread::currentThread()); }
    };
    auto diedOn = std::make_shared<std::atomic<QThread*>>(nullptr);
    auto started = std::make_shared<QSemaphore>();
    auto gate = std::make_shared<QSemaphore>();
    const Flag cancel = flag();
    auto queue = std::make_unique<CacheIoQueue>(8);
    QVERIFY(queue->submit(cancel, [diedOn, started, gate]() -> std::function<void()> {
        auto witness = std::make_shared<Witness>();
        witness->diedOn = diedOn;
        started->release(1);
        gate->acquire();
        return [witness] {};
    }));
    started->acquire();
    if (ending == QLatin1String("cancelled"))
        cancel->store(true);
    if (ending == QLatin1String("destroyed"))
        queue.reset();
    gate->release(1);
    QThreadPool::globalInstance()->waitForDone();
    QTRY_VERIFY(diedOn->load() != nullptr);
    QVERIFY(diedOn->load() == QThread::currentThread());
    if (queue)
        QTRY_VERIFY(!queue->isRunning());
}

QTEST_GUILESS_MAIN(TestCacheIoQueue)
#include "tst_cacheioqueue.moc"
