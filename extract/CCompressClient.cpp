#include "CCompressClient.h"
#include "Package.h"
#include "PackagePaths.h"
#include "SafeTarget.h"
#include "ZipReader.h"

namespace Update {

namespace {

bool IsStopRequested(const std::atomic<bool>& stop)
{
    return stop.load(std::memory_order_relaxed);
}

// One entry into the target. Names that could lead out are skipped, as are
// files that cannot be opened (one that a running program holds, say): the
// run goes on without them.
CFailure ExtractEntry(CZipReader& reader, const CZipEntry& entry, const CSafeTarget& target,
                      const std::atomic<bool>& stop)
{
    if (entry.IsFolder()) {
        target.MakeFolder(entry.name);
        return CFailure();
    }
    const QString path = target.FilePath(entry.name);
    if (path.isEmpty())
        return CFailure();
    if (entry.IsEncrypted())
        return CFailure(EFailure::ArchiveDamaged);
    CTargetFile file;
    if (!file.Open(path))
        return CFailure();
    const auto sink = [&file](const char* data, qint64 size) { return file.Write(data, size); };
    const EZipRead read = reader.Read(entry, sink, stop);
    if (read == EZipRead::Complete && file.Finish(entry.UnixMode()))
        return CFailure();
    file.Discard();
    switch (read) {
    case EZipRead::Stopped:
        return CFailure(EFailure::Stopped);
    case EZipRead::Damaged:
        return CFailure(EFailure::ArchiveDamaged);
    case EZipRead::SinkFailed:
    case EZipRead::Complete:
        break;
    }
    return file.Failure();
}

} // namespace

CCompressClient::CCompressClient(QObject* parent) : QThread(parent) {}

// run() cannot be interrupted, so an owner that lets go early still waits.
CCompressClient::~CCompressClient()
{
    wait();
    m_bRunReturned.load(std::memory_order_acquire);
}

void CCompressClient::SetPackageName(const QString& name)
{
    m_strPackageName = name;
    m_strArchivePath = GetPackageFilePath(name, QStringLiteral("zip"));
    m_strTargetDir = GetPackageDir(name);
    m_bStopRequested.store(false);
}

void CCompressClient::SetPackage(const CPackage& package)
{
    m_strPackageName = package.Name();
    m_strArchivePath = package.FilePath();
    m_strTargetDir = package.UnpackDir();
    m_bStopRequested.store(false);
}

void CCompressClient::RequestStop()
{
    m_bStopRequested.store(true);
}

CFailure CCompressClient::Failure() const
{
    const std::lock_guard<std::mutex> lock(m_failureLock);
    return m_failure;
}

void CCompressClient::SetFailure(const CFailure& failure)
{
    const std::lock_guard<std::mutex> lock(m_failureLock);
    m_failure = failure;
}

bool CCompressClient::UnCompress(const QString& zipPath, const QString& targetDir)
{
    const std::atomic<bool> never {false};
    return !UnCompressUntil(zipPath, targetDir, never).IsFailure();
}

CFailure CCompressClient::UnCompressUntil(const QString& zipPath, const QString& targetDir,
                                          const std::atomic<bool>& stop)
{
    CZipReader reader(zipPath);
    if (!reader.Open())
        return CFailure(EFailure::ArchiveDamaged);
    const CSafeTarget target(targetDir);
    target.Create();
    CZipEntry entry;
    while (!IsStopRequested(stop) && reader.Next(&entry)) {
        const CFailure failure = ExtractEntry(reader, entry, target, stop);
        if (failure.IsFailure())
            return failure;
    }
    if (IsStopRequested(stop))
        return CFailure(EFailure::Stopped);
    return reader.AtEnd() ? CFailure() : CFailure(EFailure::ArchiveDamaged);
}

void CCompressClient::run()
{
    Extract();
    m_bRunReturned.store(true, std::memory_order_release);
}

void CCompressClient::Extract()
{
    SetFailure(CFailure());
    if (m_strPackageName.isEmpty())
        return;
    if (m_bStopRequested.load()) {
        SetFailure(CFailure(EFailure::Stopped));
        return;
    }
    CSafeTarget(m_strTargetDir).Empty();
    const CFailure failure = UnCompressUntil(m_strArchivePath, m_strTargetDir, m_bStopRequested);
    // Whoever asked to stop has given up on this run and waits for no word.
    if (m_bStopRequested.load()) {
        SetFailure(CFailure(EFailure::Stopped));
        return;
    }
    SetFailure(failure);
    if (failure.IsFailure())
        emit SignalCompressFailed();
    else
        emit SignalFinishCompress();
}

} // namespace Update
