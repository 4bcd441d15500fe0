#include "CDownloadClient.h"
#include "PackagePaths.h"

#include <QEventLoop>
#include <QFile>
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
    m_stallTimer.stop();
    // Our handlers must not run on a client being destroyed.
    if (m_pReply)
        m_pReply->disconnect(this);
    if (m_pReply && m_pReply->isRunning())
        m_pReply->close();
    if (m_pFile)
        m_pFile->close();
    if (m_pReply) {
        m_pReply->deleteLater();
        m_pReply = nullptr;
    }
    delete m_pFile;
    m_pFile = nullptr;
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
    const QString name = GetPackageName(url);
    if (name.isEmpty()) {
        QString text = tr("Invalid package address");
        emit SgnDownloadError(text);
        return;
    }
    // A transfer runs, or one failed or was stopped: this client is spent.
    if (m_pFile)
        return;
    const QString suffix = IsExePackageUrl(url) ? QStringLiteral("exe") : QStringLiteral("zip");
    m_pFile = new QFile(GetPackageFilePath(name, suffix));
    m_bFailureReported = false;
    if (!m_pFile->open(QIODevice::WriteOnly)) {
        ReportFailure(m_pFile->errorString());
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

void CDownloadClient::StopDownload()
{
    m_stallTimer.stop();
    CloseReply();
    if (m_pFile)
        m_pFile->close();
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

void CDownloadClient::OnFinishedDowndload()
{
    if (!m_pReply)
        return;
    m_stallTimer.stop();
    if (m_pReply->error() != QNetworkReply::NoError) {
        if (m_pFile)
            m_pFile->close();
        ReportFailure(m_pReply->errorString());
        return;
    }
    if (!IsPackageAnswer(m_pReply)) {
        const QString reason = m_pReply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
        FailTransfer(tr("The server answered %1 %2 without a package").arg(QString::number(HttpStatus(m_pReply)), reason));
        return;
    }
    const QString fileError = CloseFile();
    if (!fileError.isEmpty()) {
        ReportFailure(fileError);
        return;
    }
    m_pReply->deleteLater();
    m_pReply = nullptr;
    delete m_pFile;
    m_pFile = nullptr;
    emit SignalFinishDownload();
}

void CDownloadClient::onHttpError(QNetworkReply::NetworkError)
{
    if (!m_pReply)
        return;
    m_stallTimer.stop();
    const QString text = m_pReply->errorString();
    CloseReply();
    if (m_pFile)
        m_pFile->close();
    ReportFailure(text);
}

void CDownloadClient::OnHttpReadyRead()
{
    if (!m_pFile || !m_pReply || !m_pFile->isOpen())
        return;
    OnTransferActivity();
    // Drained even when not written: a bounded reply stalls until it is read.
    const QByteArray data = m_pReply->readAll();
    if (data.isEmpty() || !IsPackageAnswer(m_pReply))
        return;
    const qint64 written = m_pFile->write(data);
    if (written != data.size()) {
        FailTransfer(m_pFile->errorString());
        return;
    }
    emit SignalDownloadProgress(written);
}

void CDownloadClient::OnTransferActivity()
{
    if (m_pReply && m_pReply->isRunning() && m_stallTimer.isActive())
        m_stallTimer.start();
}

// Our own close() makes Qt report "Operation canceled", which is silent, so
// the stall is reported here with its own text, once, as the last step.
void CDownloadClient::OnStallTimeout()
{
    if (!m_pReply || !m_pReply->isRunning())
        return;
    FailTransfer(tr("The server stopped sending data."));
}

// close() reports "Operation canceled" and the finish through our own
// handlers before it returns; they must not close it a second time.
void CDownloadClient::CloseReply()
{
    if (!m_pReply || !m_pReply->isRunning() || m_bClosingReply)
        return;
    m_bClosingReply = true;
    m_pReply->close();
    m_bClosingReply = false;
}

// Ends the transfer on a failure of our own (not the network's).
void CDownloadClient::FailTransfer(const QString& text)
{
    m_stallTimer.stop();
    CloseReply();
    if (m_pFile)
        m_pFile->close();
    ReportFailure(text);
}

// The last thing any handler does: the receiver may stop us or schedule our
// deletion. Whatever our own close() makes Qt report is left to its caller.
void CDownloadClient::ReportFailure(const QString& text)
{
    if (m_bFailureReported || m_bClosingReply || text == kCanceledText)
        return;
    m_bFailureReported = true;
    QString copy = text;
    emit SgnDownloadError(copy);
}

// Writes out what is buffered and closes; the error text, or empty when the
// package is complete on disk.
QString CDownloadClient::CloseFile()
{
    const bool flushed = m_pFile->flush();
    const QString flushError = m_pFile->errorString();
    m_pFile->close();
    if (!flushed)
        return flushError;
    if (m_pFile->error() != QFileDevice::NoError)
        return m_pFile->errorString();
    return QString();
}

} // namespace Update
