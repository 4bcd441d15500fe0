#pragma once

#include "DownloadSpeed.h"
#include "CInstallation.h"
#include "Package.h"
#include "SigningTrust.h"
#include "TlsTrust.h"
#include "UpdateFailure.h"

#include <QElapsedTimer>
#include <QWidget>

#include <functional>
#include <optional>

class QLabel;
class QNetworkAccessManager;
class QTimer;
class TitleBar;
class Ui_CUpdate;

namespace DAROZ {
class VxTextBrowser;
}

namespace Update {

class CDownloadClient;
class CCompressClient;
class CPackageCheck;
class CProxyAuth;

// The updater's only window: start page, progress page, and the workflow
// from the update button to the installer.
class CUpdate : public QWidget
{
    Q_OBJECT
public:
    explicit CUpdate(const CInstallation& installation, QWidget* parent = nullptr);
    ~CUpdate() override;

    void SetUrl(const QString& url);
    void SetReservedArg(const QString& arg);
    void SetUpdateContent(const QString& content);
    void SetClientPid(int pid);
    void SetMajorUpdate();

    void KillClientByPid();
    void KillProcessByName(const QString& exeName);

    // The one way the window ends: stops and releases the workers, closes,
    // and ends the event loop with the update's exit status.
    void StopWorkersAndClose();

signals:
    void sgnStartDownload(QString&);

public slots:
    void OnStartRetailClient();
    void OnStartDownLoad();
    void OnChangeBackgroundPic();
    void OnGetClientSize(qint64 size);

private slots:
    void OnBtnCloseClicked();
    void OnStartDownload(QString& strUrl);
    void OnUpdateProgress(qint64 size);
    void OnFinishDownload();
    void OnDownloadFailed(QString& strError);
    void OnFinishCompress();
    void OnCompressFailed();
    void OnDownloadRetrying(int attempt, int attempts);
    void OnDownloadRestarted(qint64 bytesOnDisk);
    // Each worker's ending, carrying how it ended.
    void OnDownloadEnded(const Update::CFailure& failure);
    void OnPackageChecked(const Update::CFailure& verdict);
    void OnCompressEnded(const Update::CFailure& failure);

protected:
    void paintEvent(QPaintEvent* event) override;
    // A close from the window system (Alt+F4, the taskbar, the window
    // manager) asks as the close button does.
    void closeEvent(QCloseEvent* event) override;
    // Return presses the focused button; Escape asks as the close button does.
    void keyPressEvent(QKeyEvent* event) override;

private:
    // Start: the start page. Preparing: the progress page, the download
    // about to start. Downloading, Extracting: a worker runs. Verifying: a
    // signed installation checks the downloaded package. Confirming: the
    // installer question. Closed: the update is over, however it ended.
    enum class Stage { Start, Preparing, Downloading, Verifying, Extracting, Confirming, Closed };

    bool EnterStage(Stage stage);
    void EnterPreparing();
    void EnterDownloading();
    void EnterVerifying();
    void EnterExtracting();
    void EnterConfirming();

    void SetUpTitleBar();
    void SetCornerMask();
    // Names, roles, tab order and first focus (CUpdateAccessibility.cpp).
    void SetUpAccessibility();
    // Gives the progress bar the status now shown as its accessible name.
    void AnnounceStatus();
    void ShowProgressText(const QString& text);
    void ShowPercentage();
    void UsePackage();
    void RunBoxStep(std::function<void()> step);
    void ConfirmInstall();
    void HandOverToInstaller();
    void EndUpdate(const CFailure& failure = CFailure());
    void EndUpdate(const CFailure& failure, int exitCode);
    void ReleaseWorkers();

    // The [Update] options of Localcfg.ini (CUpdateOptions.cpp): the client
    // started again when the update ends without an installer, the support
    // log, and the speed beside the status.
    void AfterUpdateEnded(const CFailure& failure);
    void NoteClientStarted();
    void NoteInstallerStarted(const QString& installer);
    void NoteStage();
    void NoteRetry(int attempt, int attempts);
    void NoteVerdict(const CFailure& verdict);
    void NoteUnpacked(const CFailure& failure);
    void LogRequests(QNetworkAccessManager* manager);
    void SampleSpeed();
    void ShowSpeed();
    void StopSpeed();

    Ui_CUpdate* m_pUi = nullptr;
    TitleBar* m_pTitleBar = nullptr;
    DAROZ::VxTextBrowser* m_pVxTextBrowser = nullptr;
    QLabel* m_pLabContent = nullptr;
    bool m_bExePackage = false;
    CDownloadClient* m_pDownloadClient = nullptr;
    CCompressClient* m_pCompressClient = nullptr;
    CPackageCheck* m_pPackageCheck = nullptr;
    qint64 m_nPackageSize = 0;
    qint64 m_nReceivedSize = 0;
    QString m_strPackageName;
    QTimer* m_pBackgroundTimer = nullptr;
    int m_nBackgroundIndex = 0;
    QString m_strUrl;
    QString m_strReservedArg;
    QString m_strUpdateContent;
    int m_nClientPid = -1;
    const CInstallation m_installation;
    const CLocalSettings m_settings;
    CPackage m_package;
    CTlsTrust m_tlsTrust; // read once, when Update is pressed
    std::optional<CSigningTrust> m_signingTrust; // the same; read when the download starts otherwise
    CProxyAuth* m_pProxyAuth = nullptr; // asks once per run, for every request
    Stage m_eStage = Stage::Start;
    // The give-up question is open: the workflow's next box waits in
    // m_pendingStep for its answer, never on top of it.
    bool m_bGiveUpAsked = false;
    std::function<void()> m_pendingStep;

    // Who still owes the client a start when the update ends.
    enum class EClientAtEnd {
        StartAgain,     // the update ends without an installer: we do, when asked to
        StartedBySkin,  // the Skin button has seen to it already
        InstallerRuns,  // the installer has taken over
    };
    EClientAtEnd m_eClientAtEnd = EClientAtEnd::StartAgain;
    bool m_bMajorUpdate = false; // the old client must never run again
    CDownloadSpeed m_speed;
    QElapsedTimer m_speedClock;
    QTimer* m_pSpeedTimer = nullptr; // while downloading, with "Update/ShowSpeed"
    QString m_strStatusForm; // the status label's own text, back once the download ends
};

} // namespace Update
