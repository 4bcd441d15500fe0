#pragma once

#include "CHttpAttempt.h"
#include "DownloadResume.h"
#include "Package.h"
#include "TlsTrust.h"
#include "UpdateFailure.h"
#include "WorkEnding.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QUrl>

#include <memory>

class QFile;

namespace Update {

class CHeldFile;
class CProxyAuth;
struct CDownloadFailure;

// Streams one package over HTTP/HTTPS into its file in the installation
// folder. A download is a series of attempts, one request each; with
// retries set, a transient failure is tried again after a wait, resuming the
// bytes on disk where the server allows it.
//
// SignalEnded ends a download, with how it ended; SgnDownloadError or
// SignalFinishDownload follow it with the same news. SignalRetrying comes
// while it waits. Their receivers may stop the client or schedule its
// deletion. The other signals come in the middle of a step: their receivers
// must neither stop nor destroy the client.
class CDownloadClient : public QObject, public CWorkEnding
{
    Q_OBJECT
public:
    // strInstallDir: where StartDownload(QString&) saves the package.
    explicit CDownloadClient(const QString& strInstallDir, QObject* parent = nullptr);
    ~CDownloadClient() override;

    // The package of url, in the installation folder.
    void StartDownload(QString& url);
    void StartDownload(const CPackage& package);
    void StopDownload();
    void GetClientSize(const QString& url);

    // Further attempts a transient failure may use (CLocalSettings::retries);
    // 0, the default, tries once and replaces any partial package.
    void SetRetries(int retries);

    // An attempt fails when the head of its answer has not come this long
    // after it was sent (redirect hops included), and when its body then
    // brings no byte for this long (default 60 s).
    void SetStallTimeout(int ms);
    int StallTimeout() const;

    // A body that brings fewer than bytesPerSecond on average over ms counts
    // as stalled too (default 1024 B/s over 120 s).
    void SetLowSpeedLimit(qint64 bytesPerSecond, int ms);

    // How the last download ended: None while one runs and after a finish,
    // Stopped after a stop, else the failure that SignalEnded told.
    CFailure Failure() const { return Outcome(); }

    // While SignalRetrying is told: how long the wait before the next attempt is.
    int NextAttemptWaitMs() const { return m_retryTimer.interval(); }

    // The package of the last StartDownload.
    const CPackage& Package() const { return m_package; }

    // The package file, held open from its first byte so that no other
    // program changes it; after SignalFinishDownload sealed as written, for
    // the unpacking or the start to use. Null before a download.
    std::shared_ptr<CHeldFile> PackageFile() const { return m_pHeld; }
    // Removes the package file (through its hold, while its name still names
    // it) and lets go of it.
    void DiscardPackageFile();

    // The manager of every request of the update, for the package's signature too.
    QNetworkAccessManager* NetworkManager() { return &m_networkManager; }

    // What the server's certificates are verified against, for every
    // request of the update (the signature's too); the system's roots alone
    // until it is set.
    void SetTlsTrust(const CTlsTrust& trust) { m_tlsTrust = trust; }
    const CTlsTrust& TlsTrust() const { return m_tlsTrust; }

    // Answers the manager's proxy questions; a request that failed for want
    // of the proxy's consent ends with auth's ProxyRefused. Not owned.
    void SetProxyAuth(CProxyAuth* auth);

    // The URL of the last download's package answer after redirects, where
    // its signature is looked for.
    QUrl ServedUrl() const { return m_servedUrl; }

    // Whether the bytes an earlier run left in the package file must be
    // taken in (the package check hashes them) before the download appends
    // to them: then no request goes out after the SignalDownloadRestarted
    // that tells of them until OnBytesOnDiskRead answers. Otherwise the
    // download goes on from them at once.
    void SetWaitsForBytesOnDisk(bool waits) { m_bWaitsForBytesOnDisk = waits; }

signals:
    void SignalClientSize(qint64 size);
    void SgnDownloadError(QString& strError);
    void SignalDownloadProgress(qint64 size);
    void SignalFinishDownload();
    // Waiting before attempt `attempt` of `attempts` further ones.
    void SignalRetrying(int attempt, int attempts);
    // Where the file stands and the progress counts on from: when a
    // download begins (0, or the bytes an earlier run left) and whenever the
    // file starts over (0).
    void SignalDownloadRestarted(qint64 bytesOnDisk);
    // Each chunk as the file took it, before its SignalDownloadProgress.
    void SignalPackageWritten(const QByteArray& chunk);
    // The end of a download: None when the package is complete on disk.
    // Never after a stop.
    void SignalEnded(const Update::CFailure& failure);

private slots:
    void OnFinishedDowndload();
    void onHttpError(QNetworkReply::NetworkError);
    void OnHttpReadyRead();
    void OnProxyAsking(bool asking);
    void OnRetryTimeout();
    void OnAttemptHead();
    void OnAttemptFailed(const Update::CFailure& failure);

public slots:
    // The answer, on the GUI thread: whether the bytes were taken in.
    // A file it could not read starts over.
    void OnBytesOnDiskRead(bool ok);

private:
    // Where a running download stands; the ending itself is CWorkEnding's.
    // Idle: nothing started, or the last download finished and handed its
    // file over. ReadingDisk: the file holds an earlier run's bytes, which
    // the reader takes in before the first attempt. Asking: an attempt's
    // request is out, its answer not judged yet. Receiving: the answer's
    // body goes to the file. Waiting: an attempt failed, the next one is
    // due. Ended: failed or stopped; the closed file is kept until the
    // client goes.
    enum class Stage { Idle, ReadingDisk, Asking, Receiving, Waiting, Ended };
    // What the head of an answer asks for. Take: its body, if a package
    // answer, goes to the file. TakeFromZero: the same, into an emptied file.
    // AskAgain: dropped, and asked for again from 0 at once. Refused: a
    // failed attempt. Failed: the download ends with m_answerFailure.
    // NotPackage: an answer without the package (an error page, a redirect
    // Qt did not follow), ended at its head: its body is never read.
    enum class EAnswer { Take, TakeFromZero, AskAgain, Refused, Failed, NotPackage };

    void NextAttempt();
    void TakeHead();
    void TakeReply(bool finished);
    void EndAtHead();
    bool SettledByProxy();
    void RetryOrEnd(const CDownloadFailure& failure);
    CFailure Settle(const CFailure& reason) override;
    void Report(const CFailure& outcome) override;

    CFailure OpenPackageFile();
    CFailure StartAttempt();
    EAnswer JudgeAnswer();
    EAnswer JudgeSingle(int status);
    CFailure RoomForAnswer() const;
    CFailure WriteAvailable();
    CDownloadFailure AnswerFailure() const;
    CFailure StatusFailure() const;
    CFailure StartFileOver();
    CFailure CloseFile();
    void SettlePartialFile(const CFailure& reason);
    CFailure WriteFailure(qint64 unwritten) const;
    void ReleaseReply();

    QNetworkAccessManager m_networkManager;
    QNetworkReply* Reply() const { return m_attempt.Reply(); }
    const QString m_strInstallDir;
    CHttpAttempt m_attempt;
    QFile* m_pFile = nullptr; // writes through m_pHeld while a download runs
    std::shared_ptr<CHeldFile> m_pHeld;
    Stage m_eStage = Stage::Idle;
    QTimer m_retryTimer; // runs while Waiting
    CPackage m_package;
    int m_nRetries = 0;
    int m_nAttempt = 0; // further attempts used
    CResumeState m_resume;
    bool m_bWaitsForBytesOnDisk = false;
    CTlsTrust m_tlsTrust;
    QPointer<CProxyAuth> m_pProxyAuth;
    CFailure m_answerFailure; // why the head of the current answer ends the download
    QUrl m_servedUrl;
};

} // namespace Update
