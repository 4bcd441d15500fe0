#pragma once

#include "PackageHashWorker.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>
#include <QTimer>

class QFile;

namespace Update {

// Streams one package over HTTP/HTTPS into its file in the installation folder.
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

private slots:
    void OnFinishedDowndload();
    void onHttpError(QNetworkReply::NetworkError);
    void OnHttpReadyRead();
    void OnTransferActivity();
    void OnStallTimeout();

private:
    // Idle: nothing started, or the last transfer finished and handed its
    // file over. Transferring: a reply and an open file. Ended: failed or
    // stopped; the reply and the closed file are kept until the client goes.
    enum class Stage { Idle, Transferring, Ended };
    enum class Outcome { Finished, Failed, Stopped };

    void EndTransfer(Outcome outcome, const QString& failure = QString());
    void ReleaseTransfer();
    QString CloseFile();
    QString WriteFailure(qint64 unwritten);
    bool OpenPackageFromStart();
    void HashWrittenChunk(const QByteArray& data);

    QNetworkAccessManager m_networkManager;
    QNetworkReply* m_pReply = nullptr;
    QFile* m_pFile = nullptr;
    Stage m_eStage = Stage::Idle;
    QTimer m_stallTimer; // fires when the server has gone quiet
    CPackageHashWorker m_packageHasher;
    bool m_bHashPackage = false;
};

} // namespace Update
