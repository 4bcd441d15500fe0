#include "CDownloadClient.h"
#include "PackagePaths.h"

#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QUrl>
#include <QVariant>

namespace Update {

namespace {

// Qt's text for a reply that we closed ourselves: never a failure to report.
const QLatin1String kCanceledText("Operation canceled");

// What a reply may hold before Qt stops reading the socket; the rest waits
// there, so a download's memory does not grow with the package.
const qint64 kReadBufferSize = 1024 * 1024;

// Qt 5.15 takes this as "TLS 1.0 or later", so it still meets servers that
// OpenSSL 3 allows (TLS 1.2 and 1.3).
const QSsl::SslProtocol kTlsProtocol = QSsl::TlsV1SslV3;

// Long enough for a slow line, short enough that a dead server does not
// leave the window at the same percentage for good.
const int kDefaultStallTimeoutMs = 60000;

int HttpStatus(const QNetworkReply* reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

// Only the body of a success answer may become the package; a redirect that
// was not followed or an error page never does. Non-HTTP replies have no status.
bool IsPackageAnswer(const QNetworkReply* reply)
{
    const int status = HttpStatus(reply);
    return status == 0 || (status >= 200 && status < 300);
}

} // namespace

CDownloadClient::CDownloadClient(QObject* parent) : QObject(parent)
{
    m_stallTimer.setSingleShot(true);
    m_stallTimer.setInterval(kDefaultStallTimeoutMs);
    connect(&m_stallTimer, SIGNAL(timeout()), this, SLOT(OnStallTimeout()));
}

CDownloadClient::~CDownloadClient()
{
    EndTransfer(Outcome::Stopped);
    ReleaseTransfer();
}

QNetworkRequest CDownloadClient::MakeRequest(const QString& url)
{
    QNetworkRequest request(QUrl(url, QUrl::TolerantMode));
    // A 3xx answer is a hop, never the package; Qt bounds the number of hops.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    if (!url.startsWith(QLatin1String("https://"), Qt::CaseInsensitive))
        return request;
    QSslConfiguration ssl = request.sslConfiguration();
    ssl.setPeerVerifyMode(QSslSocket::VerifyNone);
    ssl.setProtocol(kTlsProtocol);
    request.setSslConfiguration(ssl);
    return request;
}

void CDownloadClient::StartDownload(QString& url)
{
    // A transfer runs, or one failed or was stopped: this client is spent.
    if (m_eStage != Stage::Idle)
        return;
    m_eStage = Stage::Transferring;
    const QString name = GetPackageName(url);
    if (name.isEmpty()) {
        EndTransfer(Outcome::Failed, tr("Invalid package address"));
        return;
    }
    const QString suffix = IsExePackageUrl(url) ? QStringLiteral("exe") : QStringLiteral("zip");
    m_pFile = new QFile(GetPackageFilePath(name, suffix));
    if (!OpenPackageFromStart()) {
        EndTransfer(Outcome::Failed, m_pFile->errorString());
        return;
    }
    m_pReply = m_networkManager.get(MakeRequest(url));
    m_pReply->setReadBufferSize(kReadBufferSize);
    connect(m_pReply, SIGNAL(finished()), this, SLOT(OnFinishedDowndload()));
    connect(m_pReply, SIGNAL(readyRead()), this, SLOT(OnHttpReadyRead()));
    connect(m_pReply, SIGNAL(error(QNetworkReply::NetworkError)), this, SLOT(onHttpError(QNetworkReply::NetworkError)));
    connect(m_pReply, SIGNAL(downloadProgress(qint64,qint64)), this, SLOT(OnTransferActivity()));
    m_stallTimer.start();
}

void CDownloadClient::SetStallTimeout(int ms)
{
    m_stallTimer.setInterval(ms);
}

int CDownloadClient::StallTimeout() const
{
    return m_stallTimer.interval();
}

void CDownloadClient::SetHashPackage(bool enabled)
{
    m_bHashPackage = enabled;
}

const CPackageHasher& CDownloadClient::PackageHasher() const
{
    return m_packageHasher.Hasher();
}

// The one place where the package file starts over: it is truncated, and the
// hash starts from nothing with it.
bool CDownloadClient::OpenPackageFromStart()
{
    m_packageHasher.Reset();
    return m_pFile->open(QIODevice::WriteOnly);
}

// Hashed as written, so the check after the download reads nothing again.
void CDownloadClient::HashWrittenChunk(const QByteArray& data)
{
    if (m_bHashPackage)
        m_packageHasher.AddData(data);
}

void CDownloadClient::StopDownload()
{
    EndTransfer(Outcome::Stopped);
}

void CDownloadClient::GetClientSize(const QString& url)
{
    QNetworkAccessManager manager;
    QEventLoop loop;
    QNetworkReply* reply = manager.head(MakeRequest(url));
    connect(reply, SIGNAL(finished()), &loop, SLOT(quit()), Qt::DirectConnection);
    loop.exec();
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    delete reply;
    emit SignalClientSize(length.toLongLong());
}

// Only the current reply is connected to us, and it is kept until the client
// goes, so m_pReply is set whenever one of its handlers runs.
void CDownloadClient::OnFinishedDowndload()
{
    if (m_pReply->error() != QNetworkReply::NoError) {
        EndTransfer(Outcome::Failed, m_pReply->errorString());
        return;
    }
    if (!IsPackageAnswer(m_pReply)) {
        const QString reason = m_pReply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
        EndTransfer(Outcome::Failed,
                    tr("The server answered %1 %2 without a package").arg(QString::number(HttpStatus(m_pReply)), reason));
        return;
    }
    EndTransfer(Outcome::Finished);
}

void CDownloadClient::onHttpError(QNetworkReply::NetworkError)
{
    EndTransfer(Outcome::Failed, m_pReply->errorString());
}

void CDownloadClient::OnHttpReadyRead()
{
    if (m_eStage != Stage::Transferring)
        return;
    OnTransferActivity();
    // Drained even when not written: a bounded reply stalls until it is read.
    const QByteArray data = m_pReply->readAll();
    if (data.isEmpty() || !IsPackageAnswer(m_pReply))
        return;
    const qint64 written = m_pFile->write(data);
    if (written != data.size()) {
        EndTransfer(Outcome::Failed, WriteFailure(data.size() - qMax<qint64>(written, 0)));
        return;
    }
    HashWrittenChunk(data);
    emit SignalDownloadProgress(written);
}

void CDownloadClient::OnTransferActivity()
{
    if (m_eStage == Stage::Transferring)
        m_stallTimer.start();
}

// Reported with its own text: the "Operation canceled" that closing the
// reply makes Qt report is not the reason.
void CDownloadClient::OnStallTimeout()
{
    EndTransfer(Outcome::Failed, tr("The server stopped sending data."));
}

// The one way a transfer ends, whatever ends it. The stage changes first:
// Qt reports one failure twice (the error, then the finish), and our own
// close() makes it report "Operation canceled" and the finish through our
// handlers before it returns; all of that finds the transfer over. A success
// hands the complete file over and returns to Idle.
void CDownloadClient::EndTransfer(Outcome outcome, const QString& failure)
{
    if (m_eStage != Stage::Transferring)
        return;
    m_eStage = Stage::Ended;
    m_stallTimer.stop();
    if (m_pReply && m_pReply->isRunning())
        m_pReply->close();
    QString error = failure;
    if (outcome == Outcome::Finished)
        error = CloseFile();
    else if (m_pFile)
        m_pFile->close();

    if (outcome == Outcome::Finished && error.isEmpty()) {
        ReleaseTransfer();
        m_eStage = Stage::Idle;
        emit SignalFinishDownload();
        return;
    }
    // The last step: the receiver may stop us or schedule our deletion.
    if (outcome != Outcome::Stopped && error != kCanceledText)
        emit SgnDownloadError(error);
}

// Our handlers hear nothing more from the reply once it is handed back.
void CDownloadClient::ReleaseTransfer()
{
    if (m_pReply) {
        m_pReply->disconnect(this);
        m_pReply->deleteLater();
        m_pReply = nullptr;
    }
    delete m_pFile;
    m_pFile = nullptr;
}

// Writes out what is buffered and closes; the error text, or empty when the
// package is complete on disk.
QString CDownloadClient::CloseFile()
{
    const bool flushed = m_pFile->flush();
    const QString flushError = flushed ? QString() : WriteFailure(m_pFile->bytesToWrite());
    m_pFile->close();
    if (!flushed)
        return flushError;
    if (m_pFile->error() != QFileDevice::NoError)
        return m_pFile->errorString();
    return QString();
}

// Qt reports a write that ran out of room as a short write with no reason
// given; the volume's free space tells. Such a partial package goes at once,
// so the disk is not left full.
QString CDownloadClient::WriteFailure(qint64 unwritten)
{
    const QString error = m_pFile->errorString();
    const QStorageInfo volume(QFileInfo(m_pFile->fileName()).absolutePath());
    if (!volume.isValid() || volume.bytesAvailable() >= qMax<qint64>(unwritten, 1))
        return error;
    m_pFile->close();
    m_pFile->remove();
    return tr("Not enough disk space to save the package.");
}

} // namespace Update
