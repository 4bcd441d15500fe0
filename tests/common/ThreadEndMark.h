#pragma once

// Waits for a QThread so that ThreadSanitizer can follow the order too.
// QThread::wait() does order everything the thread did before whatever the
// waiter does next, but through Qt's own locks, which are not instrumented:
// read across threads afterwards (a QSignalSpy filled by the thread), the
// results look like races. The mark adds the same order in C++'s own terms.
//
//     ThreadEndMark mark(&worker);   // before start()
//     worker.start();
//     QVERIFY(mark.Wait(60000));     // instead of worker.wait(60000)

#include <QThread>

#include <atomic>
#include <memory>

class ThreadEndMark
{
public:
    explicit ThreadEndMark(QThread* thread) : m_pThread(thread), m_pEnded(std::make_shared<std::atomic<int>>(0))
    {
        auto ended = m_pEnded;
        // Emitted on the thread itself, after run() has returned.
        QObject::connect(thread, &QThread::finished, thread,
                         [ended] { ended->fetch_add(1, std::memory_order_release); }, Qt::DirectConnection);
    }

    bool Wait(unsigned long ms)
    {
        const bool ended = m_pThread->wait(ms);
        m_pEnded->load(std::memory_order_acquire);
        return ended;
    }

private:
    QThread* m_pThread;
    std::shared_ptr<std::atomic<int>> m_pEnded;
};
