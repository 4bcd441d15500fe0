#pragma once

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QObject>

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

signals:
    void SignalClientSize(qint64 size);
    void SgnDownloadError(QString& strError);
    void SignalDownloadProgress(qint64 size);
    void SignalFinishDownload();

private slots:
    void OnFinishedDowndload();
    void onHttpError(QNetworkReply::NetworkError);
    void OnHttpReadyRead();

private:
    QNetworkAccessManager m_networkManager;
    QNetworkReply* m_pReply = nullptr;
    QFile* m_pFile = nullptr;
};

} // namespace Update
