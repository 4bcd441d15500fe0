#pragma once

#include <QWidget>

#include <functional>

class QLabel;
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

// The updater's only window: start page, progress page, and the workflow
// from the update button to the installer.
class CUpdate : public QWidget
{
    Q_OBJECT
public:
    explicit CUpdate(QWidget* parent = nullptr);
    ~CUpdate() override;

    void SetUrl(const QString& url);
    void SetReservedArg(const QString& arg);
    void SetUpdateContent(const QString& content);
    void SetClientPid(int pid);
    void SetMajorUpdate();

    void KillClientByPid();
    void KillProcessByName(const QString& exeName);

    // The one way the window ends: stops and releases both workers, closes.
    void StopWorkersAndClose();

    // Exit status the updater should end with, settled when the update ends
    // (-1 after a failed hand-over).
    int ExitCode() const { return m_nExitCode; }

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
    void OnPackageChecked();

protected:
    void paintEvent(QPaintEvent* event) override;
    // A close from the window system (Alt+F4, the taskbar, the window
    // manager) asks as the close button does.
    void closeEvent(QCloseEvent* event) override;

private:
    friend class CUpdateTestAccess;

    void SetUpTitleBar();
    void ShowProgressText(const QString& text);
    void ShowPercentage();
    void SetCornerMask();
    // Start: the start page. Preparing: the progress page, the download
    // about to start. Downloading, Extracting: a worker runs. Verifying: a
    // signed installation checks the downloaded package. Confirming: the
    // installer question. Closed: the update is over, however it ended.
    enum class Stage { Start, Preparing, Downloading, Verifying, Extracting, Confirming, Closed };

    bool EnterStage(Stage stage);
    void RunBoxStep(std::function<void()> step);
    void ConfirmInstall();
    void EndUpdate(const QString& failure = QString(), int exitCode = 0);
    void StopWorkers();
    void ReleaseDownloadClient();
    void ReleaseCompressClient();
    void ReleasePackageCheck();
    void StartVerifying();
    void UsePackage();
    bool HasDiskSpaceFor(qint64 needed);
    void HandOverToInstaller();
    QString InstallerPath() const;

    Ui_CUpdate* m_pUi = nullptr;
    TitleBar* m_pTitleBar = nullptr;
    DAROZ::VxTextBrowser* m_pVxTextBrowser = nullptr;
    QLabel* m_pLabContent = nullptr;
    bool m_bExePackage = false;
    CDownloadClient* m_pDownloadClient = nullptr;
    CCompressClient* m_pCompressClient = nullptr;
    CPackageCheck* m_pPackageCheck = nullptr;
    QString m_strPackageUrl;       // the URL being downloaded
    qint64 m_nPackageSize = 0;
    qint64 m_nReceivedSize = 0;
    QString m_strPackageName;
    QTimer* m_pBackgroundTimer = nullptr;
    int m_nBackgroundIndex = 0;
    QString m_strUrl;
    QString m_strReservedArg;
    QString m_strUpdateContent;
    int m_nClientPid = -1;
    int m_nExitCode = 0;
    Stage m_eStage = Stage::Start;
    // The give-up question is open: the workflow's next box waits in
    // m_pendingStep for its answer, never on top of it.
    bool m_bGiveUpAsked = false;
    std::function<void()> m_pendingStep;
};

} // namespace Update
