#pragma once

#include "PackageSignature.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
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

    // Starts over with the first size bytes of the file at path. They are
    // read and hashed on the worker's thread, so the caller goes on at once
    // however large the file; done(ok) is called on that thread once they are
    // in, or with false when they cannot be read (the hash is then empty).
    void ResetFromFile(const QString& path, qint64 size, std::function<void(bool)> done);
    // The same from a file held open; the worker shares the hold until done.
    void ResetFromFile(std::shared_ptr<const CHeldFile> file, qint64 size, std::function<void(bool)> done);

    // Queues the chunk; the bytes are shared, not copied.
    void AddData(const QByteArray& data);

    // The hasher with every queued chunk in it.
    const CPackageHasher& Hasher() const;

private:
    void Run();
    void Drain() const;

    // A chunk of the download, or the bytes of a file already on disk.
    struct Job {
        QByteArray data;
        QString path;
        std::shared_ptr<const CHeldFile> held;
        qint64 fileBytes = 0;
        std::function<void(bool)> done;
        // A file job holds none of its bytes in memory: it counts as one, so
        // that the queue is not empty while it runs.
        bool IsFile() const { return !path.isEmpty() || held; }
        qint64 Weight() const { return IsFile() ? 1 : data.size(); }
    };

    void StartThread();
    void Enqueue(Job job);

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::deque<Job> m_queue;
    qint64 m_nQueuedBytes = 0; // in the queue or being hashed
    std::atomic<bool> m_bStop {false}; // set under the lock; a file being read gives up too
    CPackageHasher m_hasher;   // the worker's while m_nQueuedBytes > 0
    std::thread m_thread;      // started with the first job
};

} // namespace Update
