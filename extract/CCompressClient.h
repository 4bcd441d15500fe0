#pragma once

#include "UpdateFailure.h"
#include "WorkEnding.h"

#include <QThread>

#include <atomic>
#include <memory>
#include <mutex>

namespace Update {

class CHeldFile;
class CHeldFolder;
class CPackage;

// What a finished unpacking leaves for the installer's start, still held
// open: the folder it unpacked into, and the installer it wrote there (the
// first "*.exe" directly in it by name, letter case aside, as the system's
// search finds it), sealed as written. No installer: an empty name.
struct CUnpacked
{
    std::shared_ptr<CHeldFolder> folder;
    QString installerName;
    std::shared_ptr<CHeldFile> installer;
};

// Empties the package's folder and unpacks <installation>/<name>.zip into it,
// on its own thread. One ending per run that has a name: SignalEnded with
// why, then SignalFinishCompress() or SignalCompressFailed().
class CCompressClient : public QThread, public CWorkEnding
{
    Q_OBJECT
public:
    // strInstallDir: where SetPackageName finds the package.
    explicit CCompressClient(const QString& strInstallDir, QObject* parent = nullptr);
    ~CCompressClient() override;

    // The archive and the folder of the named package in the installation
    // folder, settled here on the calling thread. Also clears a stop request
    // of an earlier run: called before every start().
    void SetPackageName(const QString& name);
    // The same, with the package's own paths. With archive (the package
    // file the download wrote and holds), the archive is read from that
    // hold, and refused unless the package's path still names it unchanged.
    void SetPackage(const CPackage& package, std::shared_ptr<CHeldFile> archive = nullptr);
    static bool UnCompress(const QString& zipPath, const QString& targetDir);

    // Asks a running run() to stop at its next chunk or entry, from any
    // thread. It removes the file it was writing and emits neither signal.
    // The owner still waits for the thread to end.
    void RequestStop();

    // Why the last run failed, from any thread: set before its signals;
    // Stopped after a stopped run; None after a success.
    CFailure Failure() const { return Outcome(); }
    // What the last successful run left, from any thread once
    // SignalFinishCompress() is out; empty otherwise.
    CUnpacked Unpacked() const;

signals:
    void SignalFinishCompress();
    void SignalCompressFailed();
    // Before either of the two, with the run's outcome: None for a success.
    void SignalEnded(const Update::CFailure& failure);

protected:
    void run() override;

private:
    CFailure Extract();
    CFailure Settle(const CFailure& outcome) override;
    void Report(const CFailure& outcome) override;
    static CFailure UnCompressUntil(const QString& zipPath, const std::shared_ptr<CHeldFile>& archive,
                                    const QString& targetDir, const std::atomic<bool>& stop, CUnpacked* unpacked);

    const QString m_strInstallDir;
    QString m_strPackageName;
    QString m_strArchivePath;
    QString m_strTargetDir;
    std::shared_ptr<CHeldFile> m_pArchive;
    std::atomic<bool> m_bStopRequested {false};
    // Set as run() returns. wait() orders the thread's work before the
    // waiter through Qt's own locks, which race checkers cannot see; reading
    // this after wait() states the same order in the language's terms.
    std::atomic<bool> m_bRunReturned {false};
    // The owner reads it in the slot that the queued signal reaches, an
    // order that also passes through Qt's own locks only.
    mutable std::mutex m_unpackedLock;
    CUnpacked m_unpacked;
};

} // namespace Update
