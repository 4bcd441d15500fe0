#include "PackageHashWorker.h"
#include "HeldFile.h"

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

void CPackageHashWorker::ResetFromFile(const QString& path, qint64 size, std::function<void(bool)> done)
{
    Drain();
    m_hasher.Reset();
    Job job;
    job.path = path;
    job.fileBytes = size;
    job.done = std::move(done);
    Enqueue(std::move(job));
}

void CPackageHashWorker::ResetFromFile(std::shared_ptr<const CHeldFile> file, qint64 size,
                                       std::function<void(bool)> done)
{
    Drain();
    m_hasher.Reset();
    Job job;
    job.held = std::move(file);
    job.fileBytes = size;
    job.done = std::move(done);
    Enqueue(std::move(job));
}

void CPackageHashWorker::AddData(const QByteArray& data)
{
    if (data.isEmpty())
        return;
    Job job;
    job.data = data;
    Enqueue(std::move(job));
}

void CPackageHashWorker::StartThread()
{
    if (!m_thread.joinable())
        m_thread = std::thread(&CPackageHashWorker::Run, this);
}

void CPackageHashWorker::Enqueue(Job job)
{
    StartThread();
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_nQueuedBytes < kMaxQueuedBytes; });
    m_nQueuedBytes += job.Weight();
    m_queue.push_back(std::move(job));
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

// A job leaves the count only once it is done, so Drain() returns with the
// worker idle and the hasher the caller's again.
void CPackageHashWorker::Run()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_bStop || !m_queue.empty(); });
        if (m_bStop)
            return;
        const Job job = std::move(m_queue.front());
        m_queue.pop_front();
        lock.unlock();
        if (!job.IsFile()) {
            m_hasher.AddData(job.data);
        } else {
            const bool ok = job.held ? m_hasher.ResetFromFile(*job.held, job.fileBytes, &m_bStop)
                                     : m_hasher.ResetFromFile(job.path, job.fileBytes, &m_bStop);
            if (job.done && !m_bStop.load())
                job.done(ok);
        }
        lock.lock();
        m_nQueuedBytes -= job.Weight();
        m_changed.notify_all();
    }
}

} // namespace Update
