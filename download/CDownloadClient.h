#pragma once

#include "DownloadResume.h"
#include "PackageHashWorker.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>
#include <QTimer>

#include <atomic>

class QFile;

namespace Update {

struct CDownloadFailure;

// Streams one package over HTTP/HTTPS into its file in the installation folder.
// With "Update/Retries" set in "./Localcfg.ini", a transient failure is tried
// again after a wait, resuming the bytes on disk where the server allows it.
class CDownloadClient : public QObject
{
    Q_OBJECT
public:
    explicit CDownloadClient(QObject* parent = nullptr);
    ~CDownloadClient() override;

    void StartDownload(QString& url);
    void StopDownload();
    void GetClientSize(const QString& url);

    // The GET/HEAD request for url: follows redirects but never from https to
    // http; https URLs (any case) skip certificate checks.
    static QNetworkRequest MakeRequest(const QString& url);

    // A transfer that receives no byte for this long fails (default 60 s).
    void SetStallTimeout(int ms);
    int StallTimeout() const;

    // Off by default: a signed installation turns it on before the download
    // so the package's hash is ready when it ends, without reading it again.
    void SetHashPackage(bool enabled);
    // The hash of every byte written to the package file so far (waits for
    // the hashing thread to catch up).
    const CPackageHasher& PackageHasher() const;

signals:
    void SignalClientSize(qint64 size);
    void SgnDownloadError(QString& strError);
    void SignalDownloadProgress(qint64 size);
    void SignalFinishDownload();
    // Waiting before attempt `attempt` of `attempts` further ones.
    void SignalRetrying(int attempt, int attempts);
    // The file now holds bytesOnDisk bytes of the package and the next
    // progress counts on from there: 0 when it started over, the bytes of an
    // earlier run when it resumes them.
    void SignalDownloadRestarted(qint64 bytesOnDisk);

private slots:
    void OnFinishedDowndload();
    void onHttpError(QNetworkReply::NetworkError);
    void OnHttpReadyRead();
    void OnTransferActivity();
    void OnStallTimeout();
    void OnRetryTimeout();
    void OnBytesOnDiskHashed();

private:
    // Idle: nothing started, or the last transfer finished and handed its
    // file over. Transferring: a reply and an open file. Waiting: an attempt
    // failed and the next one is due, or the first waits for the hash of the
    // bytes an earlier run left; the file stays open. Ended: failed or
    // stopped; the reply and the closed file are kept until the client goes.
    enum class Stage { Idle, Transferring, Waiting, Ended };
    enum class Outcome { Finished, Failed, Stopped };

    bool OpenPackageFile();
    void StartAttempt();
    bool AcceptAnswer();
    void WriteAvailable();
    void EndAttempt();
    void FailAttempt(const CDownloadFailure& failure, const QString& text);
    void StartFileOver();
    void ResumeFileAt(const CPartialRecord& record);
    void KeepPartialPackage(bool flushed);
    void EndTransfer(Outcome outcome, const QString& failure = QString());
    void ReleaseReply();
    void ReleaseTransfer();
    QString CloseFile();
    QString WriteFailure(qint64 unwritten);
    void HashWrittenChunk(const QByteArray& data);

    QNetworkAccessManager m_networkManager;
    QNetworkReply* m_pReply = nullptr;
    QFile* m_pFile = nullptr;
    Stage m_eStage = Stage::Idle;
    QTimer m_stallTimer; // fires when the server has gone quiet
    QTimer m_retryTimer; // ends the wait before the next attempt

    // One download's attempts: the further ones allowed ("Update/Retries")
    // and used, and what is known about resuming the bytes on disk.
    QString m_strUrl;
    QString m_strPackagePath;
    int m_nRetries = 0;
    int m_nAttempt = 0;
    bool m_bAnswerAccepted = false; // the current reply's head is judged
    CResumeState m_resume;
    CPackageHashWorker m_packageHasher;
    bool m_bHashPackage = false;
    bool m_bHashingBytesOnDisk = false; // the first request waits for it
    std::atomic<bool> m_bBytesOnDiskRead {false}; // set by the hashing thread
};

} // namespace Update
