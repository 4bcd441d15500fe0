#pragma once

#include "PackageSignature.h"

#include <QByteArray>
#include <QString>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace Update {

// A CPackageHasher fed on a thread of its own, so hashing overlaps the
// transfer instead of adding to it. Chunks wait in a queue bounded to
// kMaxQueuedBytes (AddData waits beyond that), so memory stays flat when the
// hash is slower than the network. Every other call first waits until all
// queued chunks are hashed.
class CPackageHashWorker
{
public:
    static constexpr qint64 kMaxQueuedBytes = 8 * 1024 * 1024;

    CPackageHashWorker() = default;
    ~CPackageHashWorker();
    CPackageHashWorker(const CPackageHashWorker&) = delete;
    CPackageHashWorker& operator=(const CPackageHashWorker&) = delete;

    // As CPackageHasher's, once the queue is empty.
    void Reset();
    bool ResetFromFile(const QString& path, qint64 size);

    // Queues the chunk; the bytes are shared, not copied.
    void AddData(const QByteArray& data);

    // The hasher with every queued chunk in it.
    const CPackageHasher& Hasher() const;

private:
    void Run();
    void Drain() const;

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::deque<QByteArray> m_queue;
    qint64 m_nQueuedBytes = 0; // in the queue or being hashed
    bool m_bStop = false;
    CPackageHasher m_hasher;   // the worker's while m_nQueuedBytes > 0
    std::thread m_thread;      // started with the first chunk
};

} // namespace Update
