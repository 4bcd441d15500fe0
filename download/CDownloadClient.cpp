#include "CDownloadClient.h"
#include "DownloadRetry.h"
#include "PackagePaths.h"
#include "PathEntry.h"

#include <QDateTime>
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
    m_retryTimer.setSingleShot(true);
    connect(&m_retryTimer, SIGNAL(timeout()), this, SLOT(OnRetryTimeout()));
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
    m_strUrl = url;
    m_strPackagePath = GetPackageFilePath(name, suffix);
    m_nRetries = ReadDownloadRetries();
    m_nAttempt = 0;
    m_resume = CResumeState();
    if (!OpenPackageFile())
        return;
    StartAttempt();
}

// With retries on, the partial package of an earlier run for the same URL is
// continued; in every other case the file is replaced.
bool CDownloadClient::OpenPackageFile()
{
    RemoveLinkAt(m_strPackagePath);
    std::optional<CPartialRecord> record;
    if (m_nRetries > 0)
        record = LoadPartialRecord(m_strPackagePath, m_strUrl);
    m_pFile = new QFile(m_strPackagePath);
    const QIODevice::OpenMode mode = record ? QIODevice::WriteOnly | QIODevice::Append : QIODevice::WriteOnly;
    if (!m_pFile->open(mode)) {
        EndTransfer(Outcome::Failed, m_pFile->errorString());
        return false;
    }
    if (record)
        ResumeFileAt(*record);
    else
        StartFileOver();
    return m_eStage == Stage::Transferring;
}

// One request: from the start, or for the rest of the bytes on disk. The
// stall limit, the read buffer bound, the redirect policy and the TLS
// settings are the same for every attempt.
void CDownloadClient::StartAttempt()
{
    QNetworkRequest request = MakeRequest(m_strUrl);
    // Without retries the request stays exactly as it always was.
    if (m_nRetries > 0 && m_resume.PrepareRequest(request) == 0) {
        StartFileOver();
        if (m_eStage != Stage::Transferring)
            return;
    }
    m_bAnswerAccepted = false;
    m_pReply = m_networkManager.get(request);
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

// Only the current reply is connected to us; a reply is disconnected before
// it is replaced, and the last one is kept until the client goes, so
// m_pReply is set whenever one of its handlers runs.
void CDownloadClient::OnFinishedDowndload()
{
    EndAttempt();
}

void CDownloadClient::onHttpError(QNetworkReply::NetworkError)
{
    EndAttempt();
}

void CDownloadClient::OnHttpReadyRead()
{
    if (m_eStage != Stage::Transferring)
        return;
    OnTransferActivity();
    // Drained even when not written: a bounded reply stalls until it is read.
    if (!IsPackageAnswer(m_pReply)) {
        m_pReply->readAll();
        return;
    }
    if (AcceptAnswer())
        WriteAvailable();
}

// What the head of the current answer means for the file, decided once per
// reply: true when its body is to be written; false when the attempt was
// replaced or failed instead.
bool CDownloadClient::AcceptAnswer()
{
    if (m_bAnswerAccepted)
        return true;
    m_bAnswerAccepted = true;
    const int status = HttpStatus(m_pReply);
    // Not HTTP: no ranges, no announced size; the body is the package.
    if (status == 0)
        return true;
    switch (m_resume.OnAnswer(status, m_pReply->rawHeaderPairs())) {
    case ResumeAnswer::Append:
        return true;
    case ResumeAnswer::NotBody:
        if (!IsPackageAnswer(m_pReply))
            return true; // an error answer: its body is drained, never written
        // A success other than 200 or 206: taken whole, as without retries.
        m_resume.Discard();
        Q_FALLTHROUGH();
    case ResumeAnswer::WholeBody:
        StartFileOver();
        return m_eStage == Stage::Transferring;
    case ResumeAnswer::StartOver:
        ReleaseReply();
        StartAttempt();
        return false;
    case ResumeAnswer::Refused: {
        CDownloadFailure failure;
        failure.closedEarly = true;
        FailAttempt(failure, tr("The server did not continue the package where it broke."));
        return false;
    }
    }
    return false;
}

void CDownloadClient::WriteAvailable()
{
    const QByteArray data = m_pReply->readAll();
    if (data.isEmpty())
        return;
    const qint64 written = m_pFile->write(data);
    if (written != data.size()) {
        EndTransfer(Outcome::Failed, WriteFailure(data.size() - qMax<qint64>(written, 0)));
        return;
    }
    m_resume.OnWritten(written);
    HashWrittenChunk(data);
    emit SignalDownloadProgress(written);
}

// The current reply ended, well or not (Qt reports a failure twice: the
// error, then the finish; the first one decides). A body shorter than its
// announced size is a failure even when Qt calls it a success.
void CDownloadClient::EndAttempt()
{
    if (m_eStage != Stage::Transferring || !AcceptAnswer())
        return;
    // What is still buffered in the reply belongs to the body.
    if (IsPackageAnswer(m_pReply))
        WriteAvailable();
    if (m_eStage != Stage::Transferring)
        return;
    CDownloadFailure failure;
    failure.networkError = m_pReply->error();
    failure.httpStatus = HttpStatus(m_pReply);
    if (failure.networkError != QNetworkReply::NoError) {
        FailAttempt(failure, m_pReply->errorString());
        return;
    }
    if (!IsPackageAnswer(m_pReply)) {
        const QString reason = m_pReply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
        FailAttempt(failure,
                    tr("The server answered %1 %2 without a package").arg(QString::number(failure.httpStatus), reason));
        return;
    }
    if (!m_resume.Complete()) {
        failure.closedEarly = true;
        FailAttempt(failure, tr("The connection closed before the whole package arrived."));
        return;
    }
    EndTransfer(Outcome::Finished);
}

// Reported with its own text: the "Operation canceled" that closing the
// reply makes Qt report is not the reason.
void CDownloadClient::OnStallTimeout()
{
    if (m_eStage != Stage::Transferring)
        return;
    CDownloadFailure failure;
    failure.stalled = true;
    FailAttempt(failure, tr("The server stopped sending data."));
}

void CDownloadClient::OnTransferActivity()
{
    if (m_eStage == Stage::Transferring)
        m_stallTimer.start();
}

// A transient failure with attempts left waits for the next attempt; any
// other ends the transfer with its text.
void CDownloadClient::FailAttempt(const CDownloadFailure& failure, const QString& text)
{
    if (m_nAttempt >= m_nRetries || !IsTransientFailure(failure)) {
        EndTransfer(Outcome::Failed, text);
        return;
    }
    const QByteArray retryAfter = m_pReply->rawHeader("Retry-After");
    ReleaseReply();
    m_networkManager.clearConnectionCache();
    // Written out now: the next attempt and the record go by the bytes on disk.
    if (!m_pFile->flush()) {
        EndTransfer(Outcome::Failed, m_pFile->errorString());
        return;
    }
    ++m_nAttempt;
    m_eStage = Stage::Waiting;
    m_retryTimer.start(RetryWaitMs(m_nAttempt, retryAfter, QDateTime::currentDateTimeUtc()));
    // The last step: the receiver may stop us.
    emit SignalRetrying(m_nAttempt, m_nRetries);
}

void CDownloadClient::OnRetryTimeout()
{
    if (m_eStage != Stage::Waiting)
        return;
    m_eStage = Stage::Transferring;
    StartAttempt();
}

// The one place where the file starts over from byte 0: emptied, its hash
// and its record gone, and the count of received bytes back to 0.
void CDownloadClient::StartFileOver()
{
    RemovePartialRecord(m_strPackagePath);
    m_packageHasher.Reset();
    // Opened for writing, the file is empty already unless bytes were kept.
    if (m_pFile->size() == 0)
        return;
    if (!m_pFile->resize(0)) {
        EndTransfer(Outcome::Failed, m_pFile->errorString());
        return;
    }
    emit SignalDownloadRestarted(0);
}

// The one place where the file goes on after the bytes an earlier run left:
// the count starts at them, and the hash takes them in once. It reads them on
// its own thread, a large file must not hold the window, and the first
// request waits for it.
void CDownloadClient::ResumeFileAt(const CPartialRecord& record)
{
    m_resume = CResumeState(record);
    emit SignalDownloadRestarted(record.bytes);
    if (!m_bHashPackage || m_eStage != Stage::Transferring)
        return;
    m_eStage = Stage::Waiting;
    m_bHashingBytesOnDisk = true;
    // Called on the hashing thread: the answer goes over in an atomic and
    // the call in a posted event, which carries nothing of that thread's.
    m_packageHasher.ResetFromFile(m_strPackagePath, record.bytes, [this](bool ok) {
        m_bBytesOnDiskRead.store(ok);
        QMetaObject::invokeMethod(this, "OnBytesOnDiskHashed", Qt::QueuedConnection);
    });
}

// A file the hash cannot read back starts over instead.
void CDownloadClient::OnBytesOnDiskHashed()
{
    if (m_eStage != Stage::Waiting || !m_bHashingBytesOnDisk)
        return;
    m_bHashingBytesOnDisk = false;
    m_eStage = Stage::Transferring;
    if (!m_bBytesOnDiskRead.load()) {
        m_resume = CResumeState();
        StartFileOver();
        if (m_eStage != Stage::Transferring)
            return;
    }
    StartAttempt();
}

// With retries on, a transfer that did not finish leaves what it has for the
// next run, with the record that lets it resume; a package that cannot be
// resumed, or whose last bytes may not have reached the disk, leaves none.
void CDownloadClient::KeepPartialPackage(bool flushed)
{
    if (m_nRetries <= 0 || m_strPackagePath.isEmpty())
        return;
    if (flushed && m_resume.CanResume())
        SavePartialRecord(m_strPackagePath, m_resume.Record(m_strUrl));
    else
        RemovePartialRecord(m_strPackagePath);
}

// The one way a transfer ends, whatever ends it. The stage changes first:
// Qt reports one failure twice (the error, then the finish), and our own
// close() makes it report "Operation canceled" and the finish through our
// handlers before it returns; all of that finds the transfer over. A success
// hands the complete file over and returns to Idle.
void CDownloadClient::EndTransfer(Outcome outcome, const QString& failure)
{
    if (m_eStage != Stage::Transferring && m_eStage != Stage::Waiting)
        return;
    m_eStage = Stage::Ended;
    m_stallTimer.stop();
    m_retryTimer.stop();
    if (m_pReply && m_pReply->isRunning())
        m_pReply->close();
    if (outcome == Outcome::Failed)
        m_networkManager.clearConnectionCache();
    QString error = failure;
    if (outcome == Outcome::Finished) {
        error = CloseFile();
    } else if (m_pFile && m_pFile->isOpen()) {
        // Only bytes that reached the disk may be named in the record.
        const bool flushed = m_pFile->flush();
        m_pFile->close();
        KeepPartialPackage(flushed);
    }

    if (outcome == Outcome::Finished && error.isEmpty()) {
        RemovePartialRecord(m_strPackagePath);
        ReleaseTransfer();
        m_eStage = Stage::Idle;
        emit SignalFinishDownload();
        return;
    }
    // The last step: the receiver may stop us or schedule our deletion.
    if (outcome != Outcome::Stopped && error != kCanceledText)
        emit SgnDownloadError(error);
}

// The reply of an attempt that is over: nothing more from it reaches us.
void CDownloadClient::ReleaseReply()
{
    m_stallTimer.stop();
    if (!m_pReply)
        return;
    m_pReply->disconnect(this);
    if (m_pReply->isRunning())
        m_pReply->close();
    m_pReply->deleteLater();
    m_pReply = nullptr;
}

// Our handlers hear nothing more from the reply once it is handed back.
void CDownloadClient::ReleaseTransfer()
{
    ReleaseReply();
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
