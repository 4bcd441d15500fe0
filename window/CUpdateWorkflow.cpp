#include "CCompressClient.h"
#include "CDownloadClient.h"
#include "CPackageCheck.h"
#include "CProxyAuth.h"
#include "CProxyLoginDialog.h"
#include "CheckFeed.h"
#include "CUpdate.h"
#include "HeldFile.h"
#include "Notice.h"
#include "PackagePaths.h"
#include "ProcessControl.h"
#include "ProgressPercent.h"
#include "SkinStyle.h"
#include "UnpackedSize.h"
#include "VxTextBrowser.h"
#include "ui_CUpdate.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTimer>

#include <limits>

namespace Update {

void CUpdate::KillClientByPid()
{
    KillClientProcess(m_nClientPid);
}

void CUpdate::KillProcessByName(const QString& exeName)
{
    KillFirstProcessByName(exeName, m_installation.Root());
}

void CUpdate::OnStartRetailClient()
{
    StartClientUnlessRunning(m_nClientPid, m_installation.Root());
    NoteClientStarted();
    StopWorkersAndClose();
}

void CUpdate::StopWorkersAndClose()
{
    EndUpdate();
}

// ---- The stages -------------------------------------------------------

// The one place where the update moves on. A move that makes no sense from
// where the update stands (anything after Closed, a finish that comes late)
// is refused and changes nothing; otherwise the new stage's entry step runs.
bool CUpdate::EnterStage(Stage stage)
{
    bool allowed = false;
    switch (m_eStage) {
    case Stage::Start:
        allowed = stage == Stage::Preparing || stage == Stage::Downloading;
        break;
    case Stage::Preparing:
        allowed = stage == Stage::Downloading;
        break;
    case Stage::Downloading:
        // A second start of the download counts from 0 again.
        allowed = stage == Stage::Downloading || stage == Stage::Verifying || stage == Stage::Extracting
            || stage == Stage::Confirming;
        break;
    case Stage::Verifying:
        allowed = stage == Stage::Extracting || stage == Stage::Confirming;
        break;
    case Stage::Extracting:
        allowed = stage == Stage::Confirming;
        break;
    case Stage::Confirming:
    case Stage::Closed:
        break;
    }
    if (!allowed)
        return false;
    m_eStage = stage;
    NoteStage();
    switch (stage) {
    case Stage::Preparing:
        EnterPreparing();
        break;
    case Stage::Downloading:
        EnterDownloading();
        break;
    case Stage::Verifying:
        EnterVerifying();
        break;
    case Stage::Extracting:
        EnterExtracting();
        break;
    case Stage::Confirming:
        EnterConfirming();
        break;
    case Stage::Start:
    case Stage::Closed:
        break;
    }
    return true;
}

void CUpdate::OnStartDownLoad()
{
    // A package that would have no place of its own is refused before the
    // client is stopped.
    if (!m_strUrl.isEmpty() && !CPackage(m_strUrl, m_installation.Root()).IsValid()) {
        EndUpdate(CFailure(EFailure::InvalidAddress));
        return;
    }
    // So is an "UpdateCA.pem" that holds no certificate.
    m_tlsTrust = CTlsTrust::Load(UpdateCaPath(m_installation.Root()));
    if (m_tlsTrust.Failure().IsFailure()) {
        EndUpdate(m_tlsTrust.Failure());
        return;
    }
    // And a damaged "UpdateKey.pub" or "UpdateKey.stamp".
    m_signingTrust = CSigningTrust::Load(m_installation.Root());
    if (m_signingTrust->Failure().IsFailure()) {
        EndUpdate(m_signingTrust->Failure());
        return;
    }
    EnterStage(Stage::Preparing);
}

void CUpdate::EnterPreparing()
{
    m_pLabContent->hide();
    m_pVxTextBrowser->hide();

    m_nBackgroundIndex = 1;
    setProperty("backgourndImg", "1");
    ApplySkinStyleSheet(this, m_installation.Root());

    m_pUi->stackedWidget->setCurrentIndex(1);
    m_pUi->m_pProgress->setValue(0);
    if (m_nPackageSize < 0)
        ShowPercentage();
    else
        ShowProgressText(QStringLiteral("0%"));

    KillClientByPid();
    m_pBackgroundTimer->start();
    // The window is the context so that the call dies with it.
    QTimer::singleShot(100, this, [this]() { emit sgnStartDownload(m_strUrl); });
}

void CUpdate::OnStartDownload(QString& strUrl)
{
    if (strUrl.isEmpty() || m_eStage == Stage::Closed)
        return;
    m_package = CPackage(strUrl, m_installation.Root());
    if (!m_package.IsValid()) {
        EndUpdate(CFailure(EFailure::InvalidAddress));
        return;
    }
    EnterStage(Stage::Downloading);
}

// The room the package needs is checked by the client against the size the
// server announces: launch argument 2 only sets the 100 % mark.
void CUpdate::EnterDownloading()
{
    // Once an installer, always an installer: a later start never turns it back.
    m_bExePackage = m_bExePackage || m_package.IsExe();
    m_strPackageName = m_package.Name();
    if (!m_pDownloadClient) {
        m_pDownloadClient = new CDownloadClient(m_installation.Root());
        connect(m_pDownloadClient, SIGNAL(SignalDownloadProgress(qint64)), this, SLOT(OnUpdateProgress(qint64)));
        // Queued: the client's own handling has returned before the window
        // moves on or releases it.
        connect(m_pDownloadClient, SIGNAL(SignalEnded(Update::CFailure)), this,
                SLOT(OnDownloadEnded(Update::CFailure)), Qt::QueuedConnection);
        connect(m_pDownloadClient, SIGNAL(SignalRetrying(int,int)), this, SLOT(OnDownloadRetrying(int,int)));
        connect(m_pDownloadClient, SIGNAL(SignalDownloadRestarted(qint64)), this,
                SLOT(OnDownloadRestarted(qint64)));
        // Created with the client, so that a signed installation hashes the
        // package as it streams in. Never without the installation's keys:
        // a download that did not start from the button reads them now.
        if (!m_signingTrust)
            m_signingTrust = CSigningTrust::Load(m_installation.Root());
        m_pPackageCheck = new CPackageCheck(*m_signingTrust);
        connect(m_pPackageCheck, SIGNAL(SignalEnded(Update::CFailure)), this,
                SLOT(OnPackageChecked(Update::CFailure)), Qt::QueuedConnection);
        FeedCheck(m_pDownloadClient, m_pPackageCheck);
        m_pProxyAuth = new CProxyAuth(&CProxyLoginDialog::Ask, this);
        m_pDownloadClient->SetProxyAuth(m_pProxyAuth);
        LogRequests(m_pDownloadClient->NetworkManager());
    }
    m_pDownloadClient->SetTlsTrust(m_tlsTrust);
    m_nReceivedSize = 0;
    m_pDownloadClient->SetRetries(m_settings.retries);
    m_pDownloadClient->StartDownload(m_package);
}

void CUpdate::OnUpdateProgress(qint64 size)
{
    m_nReceivedSize += size;
    SampleSpeed();
    ShowPercentage();
}

// A retried download waits before its next attempt.
void CUpdate::OnDownloadRetrying(int attempt, int attempts)
{
    ShowProgressText(tr("Reconnecting (%1/%2)...").arg(attempt).arg(attempts));
    NoteRetry(attempt, attempts);
}

// The package file started over, or goes on from an earlier run: the count
// follows what the file holds.
void CUpdate::OnDownloadRestarted(qint64 bytesOnDisk)
{
    m_nReceivedSize = bytesOnDisk;
    ShowPercentage();
}

void CUpdate::OnDownloadFailed(QString& strError)
{
    OnDownloadEnded(CFailure(EFailure::Network, {strError}));
}

void CUpdate::OnDownloadEnded(const CFailure& failure)
{
    if (failure.IsFailure())
        EndUpdate(failure);
    else
        OnFinishDownload();
}

void CUpdate::OnFinishDownload()
{
    if (m_eStage != Stage::Downloading)
        return;
    if (m_pPackageCheck && m_pPackageCheck->IsRequired())
        EnterStage(Stage::Verifying);
    else
        UsePackage();
}

// A signed installation checks the package before anything else happens to it.
void CUpdate::EnterVerifying()
{
    ShowProgressText(tr("Verifying..."));
    m_pPackageCheck->Start(SignatureSourceOf(*m_pDownloadClient));
}

void CUpdate::OnPackageChecked(const CFailure& verdict)
{
    if (m_eStage != Stage::Verifying)
        return;
    NoteVerdict(verdict);
    if (verdict.IsFailure()) {
        EndUpdate(verdict, kPackageRefusedExitCode);
        return;
    }
    UsePackage();
}

// The downloaded (and, for a signed installation, verified) package goes on
// to extraction or, as an installer, straight to the question.
void CUpdate::UsePackage()
{
    if (!m_bExePackage) {
        EnterStage(Stage::Extracting);
        return;
    }
    // The question comes over the percentage, as without a signature.
    ShowPercentage();
    OnFinishCompress();
}

void CUpdate::EnterExtracting()
{
    // An archive that cannot be read is left to the worker to report. The
    // files of an earlier unpack go before this one is written.
    const qint64 unpacked = ArchiveUnpackedSize(m_package.FilePath());
    if (unpacked > 0) {
        const CFailure room = RoomOnVolume(m_package.InstallDir(), unpacked - FolderFilesSize(m_package.UnpackDir()));
        if (room.IsFailure()) {
            EndUpdate(room);
            return;
        }
    }
    ShowProgressText(tr("UnCompressing..."));
    if (!m_pCompressClient) {
        m_pCompressClient = new CCompressClient(m_installation.Root());
        connect(m_pCompressClient, SIGNAL(SignalEnded(Update::CFailure)), this,
                SLOT(OnCompressEnded(Update::CFailure)), Qt::QueuedConnection);
    }
    // Unpacked from the file the download wrote and holds, not from its name.
    m_pCompressClient->SetPackage(m_package, m_pDownloadClient ? m_pDownloadClient->PackageFile() : nullptr);
    m_pCompressClient->start(QThread::InheritPriority);
}

void CUpdate::OnCompressFailed()
{
    OnCompressEnded(CFailure(EFailure::ArchiveDamaged));
}

void CUpdate::OnCompressEnded(const CFailure& failure)
{
    if (!failure.IsFailure()) {
        OnFinishCompress();
        return;
    }
    if (m_eStage != Stage::Extracting)
        return;
    NoteUnpacked(failure);
    EndUpdate(failure);
}

void CUpdate::OnFinishCompress()
{
    if (m_eStage == Stage::Extracting)
        NoteUnpacked(CFailure());
    EnterStage(Stage::Confirming);
}

void CUpdate::EnterConfirming()
{
    RunBoxStep([this]() { ConfirmInstall(); });
}

void CUpdate::ConfirmInstall()
{
    if (!m_bExePackage) {
        ShowProgressText(tr("Finish unCompressing"));
        // Through its hold: on Windows nothing else may delete it.
        if (m_pDownloadClient)
            m_pDownloadClient->DiscardPackageFile();
        else
            QDir().remove(m_package.FilePath());
    }
    if (!ShowNotice(tr("Notice"), tr("Be sure overlay install?"))) {
        StopWorkersAndClose();
        return;
    }
    HandOverToInstaller();
}

// Only the file that was written (and for a signed installation checked)
// is started: the downloaded package itself, held since its first byte, or
// the installer the unpacking wrote, held since it was written, each under
// the name it was written as, unchanged.
void CUpdate::HandOverToInstaller()
{
    KillProcessByName(QString::fromLatin1(kNotifierExeName));
    QString installer;
    std::shared_ptr<CHeldFile> held;
    bool inPlace = true;
    if (m_bExePackage) {
        installer = m_package.InstallerPath();
        held = m_pDownloadClient ? m_pDownloadClient->PackageFile() : nullptr;
    } else if (m_pCompressClient) {
        const CUnpacked unpacked = m_pCompressClient->Unpacked();
        if (!unpacked.installerName.isEmpty()) {
            installer = m_package.UnpackDir() + QLatin1Char('/') + unpacked.installerName;
            held = unpacked.installer;
            inPlace = unpacked.folder && unpacked.folder->IsStillAt();
        }
    }
    if (installer.isEmpty()) {
        EndUpdate(CFailure(EFailure::NoInstaller));
        return;
    }
    if (!held || !inPlace || !held->PrepareForStart(installer)) {
        EndUpdate(CFailure(EFailure::InstallerChanged));
        return;
    }
    // Not a program, no longer there, or the elevation prompt declined.
    if (!QProcess::startDetached(installer, QStringList())) {
        EndUpdate(CFailure(EFailure::InstallerNotStarted));
        return;
    }
    // Handed over: nothing signed before it is taken from now on.
    const std::optional<qint64> signedAt = m_pPackageCheck ? m_pPackageCheck->SignedTimestamp() : std::nullopt;
    const std::optional<qint64> installed = m_signingTrust ? m_signingTrust->InstalledStamp() : std::nullopt;
    if (signedAt && (!installed || *signedAt > *installed)
        && !StoreInstalledStamp(m_package.InstallDir(), *signedAt))
        qWarning("UpdateKey.stamp could not be written");
    NoteInstallerStarted(installer);
    StopWorkersAndClose();
}

// ---- What the user sees -----------------------------------------------

// Every status the user sees is logged once, as it changes.
void CUpdate::ShowProgressText(const QString& text)
{
    if (m_pUi->m_pLabProgress->text() == text)
        return;
    m_pUi->m_pLabProgress->setText(text);
    AnnounceStatus();
    qDebug("progress[%s]", qUtf8Printable(text));
}

void CUpdate::ShowPercentage()
{
    // A client that does not know the size passes one below 0: the bytes
    // received are all there is to show, and the bar keeps its 0.
    if (m_nPackageSize < 0) {
        ShowProgressText(ReceivedMegabytes(m_nReceivedSize));
        return;
    }
    const qint64 percent = ProgressPercent(m_nReceivedSize, m_nPackageSize);
    if (percent < 0)
        return;
    ShowProgressText(QString::number(percent) + QLatin1Char('%'));
    // The bar takes an int and ignores values above 100 anyway.
    m_pUi->m_pProgress->setValue(static_cast<int>(qMin<qint64>(percent, std::numeric_limits<int>::max())));
}

// ---- Giving up and ending ---------------------------------------------

// The close button and the window system's close ask while the update can
// still be given up, whatever page shows.
void CUpdate::OnBtnCloseClicked()
{
    if (m_eStage == Stage::Closed || m_bGiveUpAsked)
        return;
    m_bGiveUpAsked = true;
    const bool giveUp = ShowNotice(tr("Notice"), tr("Be sure give up to update?"));
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
// there is one, releases the workers, closes, and ends the event loop with
// the exit status. The stage goes first: the notice box runs its own event
// loop, in which the same failure may be reported again.
void CUpdate::EndUpdate(const CFailure& failure)
{
    const bool signedInstallation = m_pPackageCheck && m_pPackageCheck->IsRequired();
    EndUpdate(failure, FailureExitCode(failure.kind, signedInstallation));
}

void CUpdate::EndUpdate(const CFailure& failure, int exitCode)
{
    if (m_eStage == Stage::Closed)
        return;
    const QString text = FailureText(failure);
    if (!text.isEmpty() && m_bGiveUpAsked) {
        RunBoxStep([this, failure, exitCode]() { EndUpdate(failure, exitCode); });
        return;
    }
    m_eStage = Stage::Closed;
    if (!text.isEmpty())
        // A failure may carry a server's words: a reason phrase, a host name.
        ShowNotice(tr("Notice"), text, Qt::PlainText);
    // The window goes at once, before the workers are waited for.
    hide();
    ReleaseWorkers();
    // After the box, before the process ends.
    AfterUpdateEnded(failure);
    close();
    QCoreApplication::exit(exitCode);
}

// Each worker is asked to stop once and released. A failure is reported
// from inside the download client's own signal, so the client (and the check
// it feeds) go once control is back in the event loop. The client stops
// first: the check then knows whether a partial package is kept to be
// resumed. A running extraction stops at its next chunk and removes the file
// it was writing; destroying a running thread aborts the process, so it is
// waited for.
void CUpdate::ReleaseWorkers()
{
    if (m_pDownloadClient) {
        disconnect(m_pDownloadClient, nullptr, this, nullptr);
        m_pDownloadClient->StopDownload();
    }
    if (m_pPackageCheck) {
        disconnect(m_pPackageCheck, nullptr, this, nullptr);
        m_pPackageCheck->Stop();
        m_pPackageCheck->deleteLater();
        m_pPackageCheck = nullptr;
    }
    if (m_pDownloadClient) {
        m_pDownloadClient->deleteLater();
        m_pDownloadClient = nullptr;
    }
    if (m_pCompressClient) {
        disconnect(m_pCompressClient, nullptr, this, nullptr);
        m_pCompressClient->RequestStop();
        m_pCompressClient->wait();
        delete m_pCompressClient;
        m_pCompressClient = nullptr;
    }
}

} // namespace Update
