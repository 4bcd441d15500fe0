#include "CCompressClient.h"
#include "HeldFile.h"
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

// The installer search takes the first "*.exe" by name, letter case aside;
// a later entry of the same name replaced the file before it.
void OfferInstaller(CUnpacked& unpacked, const QString& name, std::shared_ptr<CHeldFile> file)
{
    if (!name.endsWith(QLatin1String(".exe"), Qt::CaseInsensitive))
        return;
    if (!unpacked.installerName.isEmpty() && QString::compare(name, unpacked.installerName, Qt::CaseInsensitive) > 0)
        return;
    unpacked.installerName = name;
    unpacked.installer = std::move(file);
}

// One entry into the target. Names that could lead out are skipped, as are
// files that cannot be opened (one that a running program holds, say): the
// run goes on without them.
CFailure ExtractEntry(CZipReader& reader, const CZipEntry& entry, const CSafeTarget& target,
                      const std::atomic<bool>& stop, CUnpacked& unpacked)
{
    if (entry.IsFolder()) {
        target.MakeFolder(entry.name);
        return CFailure();
    }
    const QString name = target.FileName(entry.name);
    if (name.isEmpty())
        return CFailure();
    if (entry.IsEncrypted())
        return CFailure(EFailure::ArchiveDamaged);
    CTargetFile file;
    if (!file.Open(target, name))
        return CFailure();
    const auto sink = [&file](const char* data, qint64 size) { return file.Write(data, size); };
    const EZipRead read = reader.Read(entry, sink, stop);
    if (read == EZipRead::Complete && file.Finish(entry.UnixMode())) {
        OfferInstaller(unpacked, name, file.TakeFile());
        return CFailure();
    }
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

CCompressClient::CCompressClient(const QString& strInstallDir, QObject* parent)
    : QThread(parent), CWorkEnding(EReuse::Always), m_strInstallDir(strInstallDir)
{
}

// run() cannot be interrupted, so an owner that lets go early still waits.
CCompressClient::~CCompressClient()
{
    wait();
    m_bRunReturned.load(std::memory_order_acquire);
}

void CCompressClient::SetPackageName(const QString& name)
{
    m_strPackageName = name;
    m_strArchivePath = GetPackageFilePath(m_strInstallDir, name, QStringLiteral("zip"));
    m_strTargetDir = GetPackageDir(m_strInstallDir, name);
    m_pArchive.reset();
    m_bStopRequested.store(false);
    Begin();
}

void CCompressClient::SetPackage(const CPackage& package, std::shared_ptr<CHeldFile> archive)
{
    m_strPackageName = package.Name();
    m_strArchivePath = package.FilePath();
    m_strTargetDir = package.UnpackDir();
    m_pArchive = std::move(archive);
    m_bStopRequested.store(false);
    Begin();
}

void CCompressClient::RequestStop()
{
    m_bStopRequested.store(true);
    Stop();
}

CUnpacked CCompressClient::Unpacked() const
{
    const std::lock_guard<std::mutex> lock(m_unpackedLock);
    return m_unpacked;
}

bool CCompressClient::UnCompress(const QString& zipPath, const QString& targetDir)
{
    const std::atomic<bool> never {false};
    return !UnCompressUntil(zipPath, nullptr, targetDir, never, nullptr).IsFailure();
}

// A held archive is read where it is held: the bytes unpacked are the bytes
// that were written and checked, whatever its name names meanwhile. A name
// that no longer names them unchanged means someone is at work on the
// package: nothing is unpacked.
CFailure CCompressClient::UnCompressUntil(const QString& zipPath, const std::shared_ptr<CHeldFile>& archive,
                                          const QString& targetDir, const std::atomic<bool>& stop,
                                          CUnpacked* unpacked)
{
    if (archive && !archive->IsUnchangedAt(zipPath))
        return CFailure(EFailure::PackageChanged);
    const std::unique_ptr<CZipReader> reader = archive
        ? std::make_unique<CZipReader>(std::shared_ptr<const CHeldFile>(archive))
        : std::make_unique<CZipReader>(zipPath);
    if (!reader->Open())
        return CFailure(EFailure::ArchiveDamaged);
    CSafeTarget target(targetDir, &stop);
    if (!target.Create())
        return target.Failure();
    CUnpacked made;
    made.folder = target.Folder();
    CZipEntry entry;
    while (!IsStopRequested(stop) && reader->Next(&entry)) {
        const CFailure failure = ExtractEntry(*reader, entry, target, stop, made);
        if (failure.IsFailure())
            return failure;
    }
    if (IsStopRequested(stop))
        return CFailure(EFailure::Stopped);
    if (!reader->AtEnd())
        return CFailure(EFailure::ArchiveDamaged);
    if (unpacked)
        *unpacked = std::move(made);
    return CFailure();
}

void CCompressClient::run()
{
    const CFailure failure = Extract();
    // Whoever asked to stop has given up on this run and waits for no word:
    // their Stop() ended it first.
    Finish(failure);
    m_bRunReturned.store(true, std::memory_order_release);
}

CFailure CCompressClient::Extract()
{
    {
        const std::lock_guard<std::mutex> lock(m_unpackedLock);
        m_unpacked = CUnpacked();
    }
    if (m_strPackageName.isEmpty() || m_bStopRequested.load())
        return CFailure(EFailure::Stopped);
    CSafeTarget(m_strTargetDir, &m_bStopRequested).Empty();
    CUnpacked unpacked;
    const CFailure failure = UnCompressUntil(m_strArchivePath, m_pArchive, m_strTargetDir, m_bStopRequested,
                                             &unpacked);
    if (m_bStopRequested.load())
        return CFailure(EFailure::Stopped);
    const std::lock_guard<std::mutex> lock(m_unpackedLock);
    m_unpacked = std::move(unpacked);
    return failure;
}

// A stop may come from the owner's thread while run() goes on: it only
// asks run() to stop at its next chunk.
CFailure CCompressClient::Settle(const CFailure& outcome)
{
    if (outcome.kind == EFailure::Stopped)
        m_bStopRequested.store(true);
    return outcome;
}

void CCompressClient::Report(const CFailure& outcome)
{
    emit SignalEnded(outcome);
    if (outcome.IsFailure())
        emit SignalCompressFailed();
    else
        emit SignalFinishCompress();
}

} // namespace Update
