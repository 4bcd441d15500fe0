#include "CCompressClient.h"
#include "CDownloadClient.h"
#include "CPackageCheck.h"
#include "CUpdate.h"
#include "LocalSettings.h"
#include "PackagePaths.h"
#include "ProcessControl.h"
#include "SkinStyle.h"
#include "UnpackedSize.h"
#include "VxDir.h"
#include "VxMessageBox.h"
#include "VxTextBrowser.h"
#include "ui_CUpdate.h"

#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QLocale>
#include <QProcess>
#include <QStorageInfo>
#include <QTimer>

#include <limits>

namespace Update {

namespace {

using DAROZ::VxMessageBox;

VxMessageBox::StandardButton ShowNotice(const QString& text)
{
    return VxMessageBox::ShowInformation(nullptr, CUpdate::tr("Notice"), text,
                                         VxMessageBox::Ok | VxMessageBox::Cancel);
}

bool AskNotice(const QString& text)
{
    return ShowNotice(text) == VxMessageBox::Ok;
}

// A downloaded or unpacked file may come without the execute bit. Windows
// has no such bit and leaves the file as it is.
void MakeOwnerExecutable(const QString& path)
{
    QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::ExeOwner);
}

} // namespace

void CUpdate::KillClientByPid()
{
    KillClientProcess(m_nClientPid);
}

void CUpdate::KillProcessByName(const QString& exeName)
{
    KillFirstProcessByName(exeName);
}

void CUpdate::OnStartRetailClient()
{
    StartClientUnlessRunning(m_nClientPid);
    StopWorkersAndClose();
}

void CUpdate::OnStartDownLoad()
{
    if (!EnterStage(Stage::Preparing))
        return;
    m_pLabContent->hide();
    m_pVxTextBrowser->hide();

    m_nBackgroundIndex = 1;
    setProperty("backgourndImg", "1");
    ApplySkinStyleSheet(this);

    m_pUi->stackedWidget->setCurrentIndex(1);
    m_pUi->m_pProgress->setValue(0);
    ShowProgressText(tr("0%"));

    KillClientByPid();
    m_pBackgroundTimer->start();
    // The window is the context so that the call dies with it.
    QTimer::singleShot(100, this, [this]() { emit sgnStartDownload(m_strUrl); });
}

// Every status the user sees is logged once, as it changes.
void CUpdate::ShowProgressText(const QString& text)
{
    if (m_pUi->m_pLabProgress->text() == text)
        return;
    m_pUi->m_pLabProgress->setText(text);
    qDebug("progress[%s]", qUtf8Printable(text));
}

void CUpdate::OnBtnCloseClicked()
{
    const int page = m_pUi->stackedWidget->currentIndex();
    if (page != 0 && page != 1) {
        StopWorkersAndClose();
        return;
    }
    if (m_bGiveUpAsked)
        return;
    m_bGiveUpAsked = true;
    const bool giveUp = AskNotice(tr("Be sure give up to update?"));
    m_bGiveUpAsked = false;
    const std::function<void()> step = std::move(m_pendingStep);
    m_pendingStep = nullptr;
    if (giveUp) {
        StopWorkersAndClose();
        return;
    }
    if (step)
        step();
}

void CUpdate::closeEvent(QCloseEvent* event)
{
    // Our own closes end the update first; only the window system's ask.
    if (m_eStage == Stage::Closed || !event->spontaneous()) {
        QWidget::closeEvent(event);
        return;
    }
    event->ignore();
    // Asked from the event loop: inside the window system's close, a
    // confirmed give-up could not close the window.
    QTimer::singleShot(0, this, &CUpdate::OnBtnCloseClicked);
}

void CUpdate::OnStartDownload(QString& strUrl)
{
    if (strUrl.isEmpty() || !EnterStage(Stage::Downloading))
        return;
    if (!HasDiskSpaceFor(m_nPackageSize))
        return;
    if (IsExePackageUrl(strUrl))
        m_bExePackage = true;
    if (!m_pDownloadClient) {
        m_pDownloadClient = new CDownloadClient;
        connect(m_pDownloadClient, SIGNAL(SignalDownloadProgress(qint64)), this,
                SLOT(OnUpdateProgress(qint64)));
        connect(m_pDownloadClient, SIGNAL(SignalFinishDownload()), this, SLOT(OnFinishDownload()),
                Qt::QueuedConnection);
        connect(m_pDownloadClient, SIGNAL(SgnDownloadError(QString&)), this,
                SLOT(OnDownloadFailed(QString&)));
        connect(m_pDownloadClient, SIGNAL(SignalRetrying(int,int)), this, SLOT(OnDownloadRetrying(int,int)));
        connect(m_pDownloadClient, SIGNAL(SignalDownloadRestarted(qint64)), this,
                SLOT(OnDownloadRestarted(qint64)));
        m_pDownloadClient->SetRetries(ReadLocalSettings(DAROZ::VxDir::GetCurrentPath()).retries);
        // Made before the download starts: it hashes the package as it is written.
        m_pPackageCheck = new CPackageCheck(m_pDownloadClient);
        connect(m_pPackageCheck, SIGNAL(SignalChecked()), this, SLOT(OnPackageChecked()));
    }
    m_nReceivedSize = 0;
    m_strPackageName = GetPackageName(strUrl);
    m_strPackageUrl = strUrl;
    m_pDownloadClient->StartDownload(strUrl);
}

void CUpdate::OnUpdateProgress(qint64 size)
{
    m_nReceivedSize += size;
    ShowPercentage();
}

// A retried download waits before its next attempt.
void CUpdate::OnDownloadRetrying(int attempt, int attempts)
{
    ShowProgressText(tr("Reconnecting (%1/%2)...").arg(attempt).arg(attempts));
}

// The package file started over, or goes on from an earlier run: the count
// follows what the file holds.
void CUpdate::OnDownloadRestarted(qint64 bytesOnDisk)
{
    m_nReceivedSize = bytesOnDisk;
    ShowPercentage();
}

void CUpdate::ShowPercentage()
{
    // Start-up never passes a size of 0; without a 100 % mark there is no percentage.
    if (m_nPackageSize == 0)
        return;
    // In 64 bits throughout, split so that received * 100 cannot overflow: a
    // package far larger than announced shows a large number, never a wrapped
    // negative one. The bar takes an int and ignores values above 100 anyway.
    const qint64 received = qMax<qint64>(m_nReceivedSize, 0);
    const qint64 percent = received / m_nPackageSize * 100 + received % m_nPackageSize * 100 / m_nPackageSize;
    ShowProgressText(QString::number(percent) + QLatin1Char('%'));
    m_pUi->m_pProgress->setValue(static_cast<int>(qMin<qint64>(percent, std::numeric_limits<int>::max())));
}

void CUpdate::OnFinishDownload()
{
    if (m_pPackageCheck && m_pPackageCheck->IsRequired() && m_eStage == Stage::Downloading) {
        StartVerifying();
        return;
    }
    UsePackage();
}

// A signed installation checks the package before anything else happens
// to it; the signature is fetched first.
void CUpdate::StartVerifying()
{
    if (!EnterStage(Stage::Verifying))
        return;
    ShowProgressText(tr("Verifying..."));
    m_pPackageCheck->Start(CPackage(m_strPackageUrl, DAROZ::VxDir::GetCurrentPath()));
}

// A refused package is already deleted, before the box opens.
void CUpdate::OnPackageChecked()
{
    if (m_eStage != Stage::Verifying || !m_pPackageCheck)
        return;
    const CFailure verdict = m_pPackageCheck->Verdict();
    if (verdict.IsFailure()) {
        EndUpdate(FailureText(verdict), FailureExitCode(verdict.kind));
        return;
    }
    UsePackage();
}

// The downloaded (and, for a signed installation, verified) package goes on
// to extraction or to the installer question.
void CUpdate::UsePackage()
{
    // An executable package is the installer itself: nothing to unpack. The
    // install question comes over the percentage, as with an unsigned one.
    if (m_bExePackage) {
        ShowPercentage();
        OnFinishCompress();
        return;
    }
    if (!EnterStage(Stage::Extracting))
        return;
    // An archive that cannot be read is left to the worker to report. The
    // files of an earlier unpack go before this one is written.
    const qint64 unpacked = ArchiveUnpackedSize(GetPackageFilePath(m_strPackageName, QStringLiteral("zip")));
    if (unpacked > 0 && !HasDiskSpaceFor(unpacked - FolderFilesSize(GetPackageDir(m_strPackageName))))
        return;
    ShowProgressText(tr("UnCompressing..."));
    if (!m_pCompressClient) {
        m_pCompressClient = new CCompressClient;
        connect(m_pCompressClient, SIGNAL(SignalFinishCompress()), this, SLOT(OnFinishCompress()),
                Qt::QueuedConnection);
        connect(m_pCompressClient, SIGNAL(SignalCompressFailed()), this, SLOT(OnCompressFailed()),
                Qt::QueuedConnection);
    }
    // The worker reads the name while it runs.
    if (m_pCompressClient->isRunning())
        return;
    m_pCompressClient->SetPackageName(m_strPackageName);
    m_pCompressClient->start(QThread::InheritPriority);
}

// Checked before the package is written and before it is unpacked, so a
// full disk ends the update at once with the numbers, not halfway with
// Qt's "Unknown error". False when the update has ended for want of room.
bool CUpdate::HasDiskSpaceFor(qint64 needed)
{
    if (needed <= 0)
        return true;
    const QStorageInfo volume(DAROZ::VxDir::GetCurrentPath());
    const qint64 available = volume.bytesAvailable();
    if (!volume.isValid() || available < 0 || available >= needed)
        return true;
    const QLocale locale;
    EndUpdate(tr("Not enough disk space: %1 needed, %2 free.")
                  .arg(locale.formattedDataSize(needed), locale.formattedDataSize(available)));
    return false;
}

void CUpdate::OnDownloadFailed(QString& strError)
{
    EndUpdate(tr("Update failed, error Type:") + strError);
}

void CUpdate::OnFinishCompress()
{
    if (!EnterStage(Stage::Confirming))
        return;
    RunBoxStep([this]() { ConfirmInstall(); });
}

void CUpdate::ConfirmInstall()
{
    if (!m_bExePackage) {
        ShowProgressText(tr("Finish unCompressing"));
        QDir().remove(GetPackageFilePath(m_strPackageName, QStringLiteral("zip")));
    }
    if (!AskNotice(tr("Be sure overlay install?"))) {
        StopWorkersAndClose();
        return;
    }
    HandOverToInstaller();
}

void CUpdate::OnCompressFailed()
{
    EndUpdate(tr("Update failed! "));
}

void CUpdate::StopWorkersAndClose()
{
    EndUpdate();
}

// Moves the update on; false once it has ended, when whatever arrives late
// (the delayed start, a queued finish, a worker's signal) is dropped.
bool CUpdate::EnterStage(Stage stage)
{
    if (m_eStage == Stage::Closed)
        return false;
    m_eStage = stage;
    return true;
}

// A step that opens one of our boxes runs now, or, while the give-up
// question is open, once it is refused; giving up drops it. Only the first
// such step is kept: each ends or settles the update.
void CUpdate::RunBoxStep(std::function<void()> step)
{
    if (!m_bGiveUpAsked) {
        step();
        return;
    }
    if (!m_pendingStep)
        m_pendingStep = std::move(step);
}

// The one way the update ends, once, however it ends: shows the failure if
// there is one, settles the exit status, releases both workers and closes.
// The stage goes first: the notice box runs its own event loop, in which the
// same failure may be reported again.
void CUpdate::EndUpdate(const QString& failure, int exitCode)
{
    if (m_eStage == Stage::Closed)
        return;
    if (!failure.isEmpty() && m_bGiveUpAsked) {
        RunBoxStep([this, failure, exitCode]() { EndUpdate(failure, exitCode); });
        return;
    }
    m_eStage = Stage::Closed;
    m_nExitCode = exitCode;
    if (!failure.isEmpty())
        ShowNotice(failure);
    // The window goes at once, before the workers are waited for.
    hide();
    StopWorkers();
    close();
}

void CUpdate::StopWorkers()
{
    if (m_pDownloadClient)
        m_pDownloadClient->StopDownload();
    if (m_pCompressClient && m_pCompressClient->isRunning())
        m_pCompressClient->RequestStop();
    ReleaseDownloadClient();
    ReleaseCompressClient();
    ReleasePackageCheck();
}

// A failure is reported from inside the client's own signal, so the client
// must outlive this call: it goes once control is back in the event loop.
void CUpdate::ReleaseDownloadClient()
{
    if (!m_pDownloadClient)
        return;
    disconnect(m_pDownloadClient, nullptr, this, nullptr);
    m_pDownloadClient->deleteLater();
    m_pDownloadClient = nullptr;
}

// Its verdict may be on the call stack here.
void CUpdate::ReleasePackageCheck()
{
    if (!m_pPackageCheck)
        return;
    disconnect(m_pPackageCheck, nullptr, this, nullptr);
    m_pPackageCheck->Stop();
    m_pPackageCheck->deleteLater();
    m_pPackageCheck = nullptr;
}

// A running extraction stops at its next chunk and removes the file it was
// writing; destroying a running thread aborts the process, so wait for that.
void CUpdate::ReleaseCompressClient()
{
    if (!m_pCompressClient)
        return;
    if (m_pCompressClient->isRunning())
        m_pCompressClient->RequestStop();
    m_pCompressClient->wait();
    delete m_pCompressClient;
    m_pCompressClient = nullptr;
}

void CUpdate::HandOverToInstaller()
{
    KillProcessByName(QString::fromLatin1(kNotifierExeName));
    const QString installer = InstallerPath();
    if (installer.isEmpty()) {
        EndUpdate(tr("Update failed! "), -1);
        return;
    }
    MakeOwnerExecutable(installer);
    // Not a program, no longer there, or the elevation prompt declined.
    if (!QProcess::startDetached(installer, QStringList())) {
        EndUpdate(tr("Update failed! "), -1);
        return;
    }
    StopWorkersAndClose();
}

// Empty when there is nothing to start: never search the installation
// folder itself for lack of a package name.
QString CUpdate::InstallerPath() const
{
    if (m_strPackageName.isEmpty())
        return QString();
    if (m_bExePackage)
        return GetInstallerPath(DAROZ::VxDir::GetCurrentPath(), m_strPackageName, true);
    const QString exe = FindFirstExe(GetPackageDir(m_strPackageName));
    if (exe.isEmpty())
        return QString();
    return GetInstallerPath(m_strPackageName, exe, false);
}

} // namespace Update
