#include "PackageHashWorker.h"

namespace Update {

CPackageHashWorker::~CPackageHashWorker()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStop = true;
    }
    m_changed.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void CPackageHashWorker::Reset()
{
    Drain();
    m_hasher.Reset();
}

bool CPackageHashWorker::ResetFromFile(const QString& path, qint64 size)
{
    Drain();
    return m_hasher.ResetFromFile(path, size);
}

void CPackageHashWorker::AddData(const QByteArray& data)
{
    if (data.isEmpty())
        return;
    if (!m_thread.joinable())
        m_thread = std::thread(&CPackageHashWorker::Run, this);
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_nQueuedBytes < kMaxQueuedBytes; });
    m_queue.push_back(data);
    m_nQueuedBytes += data.size();
    lock.unlock();
    m_changed.notify_all();
}

const CPackageHasher& CPackageHashWorker::Hasher() const
{
    Drain();
    return m_hasher;
}

void CPackageHashWorker::Drain() const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_nQueuedBytes == 0; });
}

// A chunk leaves the count only once it is hashed, so Drain() returns with
// the worker idle and the hasher the caller's again.
void CPackageHashWorker::Run()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_bStop || !m_queue.empty(); });
        if (m_bStop)
            return;
        const QByteArray chunk = m_queue.front();
        m_queue.pop_front();
        lock.unlock();
        m_hasher.AddData(chunk);
        lock.lock();
        m_nQueuedBytes -= chunk.size();
        m_changed.notify_all();
    }
}

} // namespace Update
