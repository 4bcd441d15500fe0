#include "CDownloadClient.h"
#include "CProxyAuth.h"
#include "DownloadRetry.h"
#include "HeldFile.h"
#include "PackageRequest.h"
#include "VxDir.h"

#include <QDateTime>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>
#include <QVariant>

namespace Update {

namespace {

// What a reply may hold before Qt stops reading the socket; the rest waits
// there, so a download's memory does not grow with the package.
const qint64 kReadBufferSize = 1024 * 1024;

// Long enough for a slow line, short enough that a dead server does not
// leave the window at the same percentage for good.
const int kDefaultStallTimeoutMs = 60000;

// A body slower than this on average over the window is as good as stalled:
// a server that trickles a byte now and then must not hold the update open.
const qint64 kDefaultLowSpeedBytesPerSecond = 1024;
const int kDefaultLowSpeedWindowMs = 120000;

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
    m_lowSpeedTimer.setSingleShot(true);
    SetLowSpeedLimit(kDefaultLowSpeedBytesPerSecond, kDefaultLowSpeedWindowMs);
    connect(&m_lowSpeedTimer, SIGNAL(timeout()), this, SLOT(OnLowSpeedCheck()));
    connect(&m_memoryGuard, SIGNAL(SignalExceeded()), this, SLOT(OnMemoryExceeded()));
    m_retryTimer.setSingleShot(true);
    connect(&m_retryTimer, SIGNAL(timeout()), this, SLOT(OnRetryTimeout()));
}

CDownloadClient::~CDownloadClient()
{
    EndTransfer(CFailure(EFailure::Stopped));
    delete m_pFile;
}

void CDownloadClient::StartDownload(QString& url)
{
    StartDownload(CPackage(url, DAROZ::VxDir::GetCurrentPath()));
}

void CDownloadClient::StartDownload(const CPackage& package)
{
    // One download at a time; one that failed or was stopped leaves the client spent.
    if (m_eStage != Stage::Idle)
        return;
    // The first attempt is being prepared; a failure to prepare it ends the download.
    m_eStage = Stage::Asking;
    m_package = package;
    m_nAttempt = 0;
    m_resume = CResumeState();
    m_failure = CFailure();
    m_servedUrl = QUrl();
    if (!package.IsValid()) {
        EndTransfer(CFailure(EFailure::InvalidAddress));
        return;
    }
    const CFailure opened = OpenPackageFile();
    if (opened.IsFailure()) {
        EndTransfer(opened);
        return;
    }
    const qint64 bytesOnDisk = m_resume.BytesOnDisk();
    emit SignalDownloadRestarted(bytesOnDisk);
    if (bytesOnDisk == 0 || !m_bytesOnDiskReader) {
        NextAttempt();
        return;
    }
    m_eStage = Stage::ReadingDisk;
    m_bytesOnDiskReader(m_package.FilePath(), bytesOnDisk);
}

// With retries on, the partial package that an earlier run left for the
// same URL is continued; in every other case the file is replaced. Whatever
// stands in the package's place (a link, a second name of another file) is
// removed as a name, never written through, and the file is held open from
// here until it is used.
CFailure CDownloadClient::OpenPackageFile()
{
    std::optional<CPartialRecord> record = m_nRetries > 0 ? LoadPartialRecord(m_package) : std::nullopt;
    QString error;
    m_pHeld = CHeldFile::OpenPackage(m_package.FilePath(), record.has_value(), &error);
    if (!m_pHeld)
        return CFailure(EFailure::PackageFile, {error});
    // The file held is the one the record speaks of only if it holds as many
    // bytes; otherwise it starts over.
    if (record && m_pHeld->Size() != record->bytes)
        record = std::nullopt;
    if (record)
        m_resume = CResumeState(*record);
    else
        RemovePartialRecord(m_package);
    m_pFile = new QFile;
    if (!m_pFile->open(m_pHeld->Descriptor(), record ? QIODevice::WriteOnly | QIODevice::Append : QIODevice::WriteOnly,
                       QFileDevice::DontCloseHandle))
        return CFailure(EFailure::PackageFile, {m_pFile->errorString()});
    if (!record && m_pFile->size() > 0 && !m_pFile->resize(0))
        return CFailure(EFailure::PackageFile, {m_pFile->errorString()});
    return CFailure();
}

void CDownloadClient::DiscardPackageFile()
{
    if (m_pHeld && m_pHeld->IsOpen())
        m_pHeld->RemoveAt(m_package.FilePath());
    else if (m_package.IsValid())
        QFile::remove(m_package.FilePath());
    m_pHeld.reset();
}

void CDownloadClient::SetProxyAuth(CProxyAuth* auth)
{
    if (m_pProxyAuth) {
        disconnect(&m_networkManager, nullptr, m_pProxyAuth, nullptr);
        disconnect(m_pProxyAuth, nullptr, this, nullptr);
    }
    m_pProxyAuth = auth;
    // Every request's proxies come from it, with what the user typed for each.
    m_networkManager.setProxyFactory(auth ? auth->NewProxyFactory() : nullptr);
    if (!auth)
        return;
    // Direct: Qt reads the authenticator when the slot returns.
    connect(&m_networkManager, SIGNAL(proxyAuthenticationRequired(QNetworkProxy,QAuthenticator*)), auth,
            SLOT(OnProxyAuthenticationRequired(QNetworkProxy,QAuthenticator*)), Qt::DirectConnection);
    connect(auth, SIGNAL(SignalAsking(bool)), this, SLOT(OnProxyAsking(bool)), Qt::DirectConnection);
}

void CDownloadClient::SetRetries(int retries)
{
    m_nRetries = qMax(0, retries);
}

void CDownloadClient::SetStallTimeout(int ms)
{
    m_stallTimer.setInterval(ms);
}

int CDownloadClient::StallTimeout() const
{
    return m_stallTimer.interval();
}

void CDownloadClient::SetLowSpeedLimit(qint64 bytesPerSecond, int ms)
{
    m_nLowSpeedBytesPerSecond = qMax<qint64>(0, bytesPerSecond);
    m_lowSpeedTimer.setInterval(ms);
}

void CDownloadClient::SetBytesOnDiskReader(CBytesOnDiskReader reader)
{
    m_bytesOnDiskReader = std::move(reader);
}

void CDownloadClient::StopDownload()
{
    EndTransfer(CFailure(EFailure::Stopped));
}

void CDownloadClient::GetClientSize(const QString& url)
{
    QNetworkAccessManager manager;
    QEventLoop loop;
    QNetworkReply* reply = manager.head(MakePackageRequest(url, m_tlsTrust));
    connect(reply, SIGNAL(finished()), &loop, SLOT(quit()), Qt::DirectConnection);
    // A head has no body: one that has not come within the stall time will not.
    QTimer::singleShot(StallTimeout(), &loop, &QEventLoop::quit);
    loop.exec();
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    delete reply;
    emit SignalClientSize(length.toLongLong());
}

// Dropped when a stop came first. Bytes the reader could not take in cannot
// be vouched for: the file starts over.
void CDownloadClient::OnBytesOnDiskRead(bool ok)
{
    if (m_eStage != Stage::ReadingDisk)
        return;
    if (!ok)
        m_resume = CResumeState();
    // Reading may have moved the descriptor that the file appends through.
    m_pFile->seek(m_pFile->size());
    NextAttempt();
}

// Only the current reply is connected to us, so m_pReply is the one that
// finished.
void CDownloadClient::OnFinishedDowndload()
{
    // Our own close: whoever closed the reply has settled what follows.
    if (m_pReply->error() == QNetworkReply::OperationCanceledError)
        return;
    TakeReply(true);
}

// The error is read where the reply finishes.
void CDownloadClient::onHttpError(QNetworkReply::NetworkError)
{
}

void CDownloadClient::OnHttpReadyRead()
{
    TakeReply(false);
}

// A redirect hop's head comes too; only the answer at the end of the hops is
// judged. A 3xx that Qt does not follow is judged when its body or its end
// comes.
void CDownloadClient::OnHttpMetaData()
{
    const int status = HttpStatus(m_pReply);
    if (status >= 300 && status < 400)
        return;
    // The head alone: reading the body from inside this signal made a
    // chunked answer cut off at a chunk's end pass for a complete one.
    TakeHead();
}

// The server went quiet, or its answer's head did not come in time.
// Closing the reply makes Qt report a cancel; the failure to tell is the
// silence.
void CDownloadClient::OnStallTimeout()
{
    CDownloadFailure failure;
    failure.failure = CFailure(EFailure::Stalled);
    RetryOrEnd(failure);
}

// Any byte of the package's body shows the server is still there. Bytes of
// redirect hops before it do not: the head must come within the stall time
// of the request, however many hops lead to it.
void CDownloadClient::OnReplyProgress()
{
    if (m_eStage == Stage::Receiving)
        m_stallTimer.start();
}

// The end of a low-speed window: slower than the limit on average is
// stalled; otherwise the next window begins.
void CDownloadClient::OnLowSpeedCheck()
{
    if (m_eStage != Stage::Receiving)
        return;
    if (m_nWindowBytes * 1000 >= m_nLowSpeedBytesPerSecond * m_lowSpeedTimer.interval()) {
        m_nWindowBytes = 0;
        m_lowSpeedTimer.start();
        return;
    }
    CDownloadFailure failure;
    failure.failure = CFailure(EFailure::Stalled);
    RetryOrEnd(failure);
}

// Qt has read more of an answer it does not show us than any answer without
// the package may hold.
void CDownloadClient::OnMemoryExceeded()
{
    if (m_eStage == Stage::Asking)
        EndTransfer(CFailure(EFailure::AnswerTooLarge));
}

// While the user types the proxy's password no time limit runs out; each
// starts afresh once the dialog is gone.
void CDownloadClient::OnProxyAsking(bool asking)
{
    if (m_eStage != Stage::Asking && m_eStage != Stage::Receiving)
        return;
    if (asking) {
        m_stallTimer.stop();
        m_lowSpeedTimer.stop();
        m_memoryGuard.Stop();
        return;
    }
    m_stallTimer.start();
    if (m_eStage == Stage::Asking) {
        m_memoryGuard.Start();
        return;
    }
    m_nWindowBytes = 0;
    m_lowSpeedTimer.start();
}

void CDownloadClient::OnRetryTimeout()
{
    NextAttempt();
}

// The errors are never ignored: Qt ends the reply with a handshake failure,
// which AnswerFailure tells as the first refusal, naming the hop's host.
void CDownloadClient::OnSslErrors(const QList<QSslError>& errors)
{
    if (!m_tlsFailure.IsFailure())
        m_tlsFailure = TlsFailure(errors, m_pReply->url().host());
}

// Qt's network thread waits while this runs, so the refusal ends the
// download from the event loop; nothing of this reply is taken meanwhile.
void CDownloadClient::OnEncrypted()
{
    const CFailure refused = PeerHostFailure(m_pReply);
    if (!refused.IsFailure() || m_tlsFailure.IsFailure())
        return;
    m_tlsFailure = refused;
    const QPointer<QNetworkReply> reply = m_pReply;
    QMetaObject::invokeMethod(this, [this, reply, refused] {
        if (reply && reply == m_pReply)
            EndTransfer(refused);
    }, Qt::QueuedConnection);
}

void CDownloadClient::NextAttempt()
{
    const CFailure started = StartAttempt();
    if (started.IsFailure())
        EndTransfer(started);
}

// One request: from the start, or for the rest of the bytes on disk. The
// stall limit, the read buffer bound, the redirect policy and the TLS
// settings are the same for every attempt.
CFailure CDownloadClient::StartAttempt()
{
    QNetworkRequest request = MakePackageRequest(m_package.Url(), m_tlsTrust);
    // Without retries the request stays exactly as it always was.
    if (m_nRetries > 0 && m_resume.PrepareRequest(request) == 0) {
        const CFailure emptied = StartFileOver();
        if (emptied.IsFailure())
            return emptied;
    }
    m_eStage = Stage::Asking;
    m_tlsFailure = CFailure();
    m_pReply = m_networkManager.get(request);
    m_pReply->setReadBufferSize(kReadBufferSize);
    // Connected first, so that our own handling, which may end the attempt,
    // comes after.
    connect(m_pReply, SIGNAL(readyRead()), this, SLOT(OnReplyProgress()));
    connect(m_pReply, SIGNAL(downloadProgress(qint64,qint64)), this, SLOT(OnReplyProgress()));
    connect(m_pReply, SIGNAL(finished()), this, SLOT(OnFinishedDowndload()));
    connect(m_pReply, SIGNAL(readyRead()), this, SLOT(OnHttpReadyRead()));
    // The head is judged as soon as it is there, before any of the body.
    connect(m_pReply, SIGNAL(metaDataChanged()), this, SLOT(OnHttpMetaData()));
    connect(m_pReply, SIGNAL(sslErrors(QList<QSslError>)), this, SLOT(OnSslErrors(QList<QSslError>)));
    connect(m_pReply, SIGNAL(encrypted()), this, SLOT(OnEncrypted()));
    // The head's deadline, and a watch on what Qt may read before it.
    m_stallTimer.start();
    m_memoryGuard.Start();
    return CFailure();
}

// What the current reply brought: its head, judged once; its body, into the
// file; and once it has finished, how the attempt ended.
// Judges the current answer's head, once per reply. False when that ended
// the attempt or replaced it: nothing more of this reply is taken.
bool CDownloadClient::TakeHead()
{
    // A refused certificate: nothing of the answer is taken.
    if (m_tlsFailure.IsFailure()) {
        EndTransfer(m_tlsFailure);
        return false;
    }
    if (m_eStage != Stage::Asking)
        return true;
    switch (JudgeAnswer()) {
    case EAnswer::Take:
        BeginBody();
        return true;
    case EAnswer::TakeFromZero: {
        const CFailure emptied = StartFileOver();
        if (emptied.IsFailure()) {
            EndTransfer(emptied);
            return false;
        }
        BeginBody();
        return true;
    }
    case EAnswer::AskAgain:
        ReleaseReply();
        NextAttempt();
        return false;
    case EAnswer::Refused: {
        CDownloadFailure refused;
        refused.failure = CFailure(EFailure::ResumeRefused);
        RetryOrEnd(refused);
        return false;
    }
    case EAnswer::Failed:
        EndTransfer(m_answerFailure);
        return false;
    case EAnswer::NotPackage:
        EndAtHead();
        return false;
    }
    return false;
}

// The body's own limits start with it: silence, and the low-speed window.
void CDownloadClient::BeginBody()
{
    m_memoryGuard.Stop();
    m_stallTimer.start();
    m_nWindowBytes = 0;
    m_lowSpeedTimer.start();
}

// An answer without the package ends at its head; its body, whatever its
// size, is never read.
void CDownloadClient::EndAtHead()
{
    if (SettledByProxy())
        return;
    RetryOrEnd(AnswerFailure());
}

// A refusal by the request's own proxy: asked again at once with what the
// user has just typed for it, or the end of the download. False when the
// proxy had nothing to do with it.
bool CDownloadClient::SettledByProxy()
{
    if (!m_pProxyAuth)
        return false;
    switch (m_pProxyAuth->Judge(m_pReply)) {
    case CProxyAuth::EVerdict::NotTheProxy:
        return false;
    case CProxyAuth::EVerdict::AskAgain:
        ReleaseReply();
        NextAttempt();
        return true;
    case CProxyAuth::EVerdict::Refused:
        EndTransfer(m_pProxyAuth->Refusal(m_pReply->url()));
        return true;
    }
    return false;
}

CFailure CDownloadClient::StatusFailure() const
{
    // The server's words, shown as they are: never markup, never long.
    const QString reason = m_pReply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString().left(200);
    return CFailure(EFailure::HttpStatus, {QString::number(HttpStatus(m_pReply)), reason});
}

void CDownloadClient::TakeReply(bool finished)
{
    if (!TakeHead())
        return;
    const CFailure written = WriteAvailable();
    if (written.IsFailure()) {
        EndTransfer(written);
        return;
    }
    if (!finished)
        return;
    if (m_pReply->error() != QNetworkReply::NoError && SettledByProxy())
        return;
    const CDownloadFailure failure = AnswerFailure();
    if (failure.failure.IsFailure()) {
        RetryOrEnd(failure);
        return;
    }
    EndTransfer(CFailure());
}

// Without retries nothing is asked twice: an answer that does not hold the
// whole file from byte 0 is the failure of the one request.
CDownloadClient::EAnswer CDownloadClient::JudgeSingle(int status)
{
    const CRawHeaders headers = m_pReply->rawHeaderPairs();
    switch (JudgeSingleAnswer(status, HeaderValue(headers, "Content-Range"))) {
    case ResumeAnswer::Append:
    case ResumeAnswer::WholeBody:
        // Learns the size the body must reach.
        m_resume.OnAnswer(status, headers);
        return EAnswer::Take;
    case ResumeAnswer::NotBody:
        return IsPackageAnswer(m_pReply) ? EAnswer::Take : EAnswer::NotPackage;
    case ResumeAnswer::StartOver:
    case ResumeAnswer::Refused:
        break;
    }
    m_answerFailure = StatusFailure();
    return EAnswer::Failed;
}

// The bytes the answer announces must fit on the package's volume, beyond
// what the file holds already; launch arguments only set the 100 % mark.
CFailure CDownloadClient::RoomForAnswer() const
{
    const QVariant length = m_pReply->header(QNetworkRequest::ContentLengthHeader);
    if (!length.isValid())
        return CFailure();
    return RoomOnVolume(QFileInfo(m_package.FilePath()).absolutePath(), length.toLongLong());
}

// What the head of the current answer means for the file, decided once per
// reply.
CDownloadClient::EAnswer CDownloadClient::JudgeAnswer()
{
    m_eStage = Stage::Receiving;
    const int status = HttpStatus(m_pReply);
    if (IsPackageAnswer(m_pReply))
        m_servedUrl = m_pReply->url();
    // Not HTTP: no ranges, no announced size; the body is the package.
    if (status == 0)
        return EAnswer::Take;
    const CRawHeaders headers = m_pReply->rawHeaderPairs();
    if (IsPackageAnswer(m_pReply)) {
        // Never decoded: its bytes are not the package's, and a small bomb
        // would grow past every bound.
        const QByteArray coding = AnswerCoding(headers);
        if (!coding.isEmpty()) {
            m_answerFailure = CFailure(EFailure::CodedAnswer, {QString::fromLatin1(coding)});
            return EAnswer::Failed;
        }
        m_answerFailure = RoomForAnswer();
        if (m_answerFailure.IsFailure())
            return EAnswer::Failed;
    }
    if (m_nRetries == 0)
        return JudgeSingle(status);
    switch (m_resume.OnAnswer(status, headers)) {
    case ResumeAnswer::Append:
        return EAnswer::Take;
    case ResumeAnswer::NotBody:
        if (!IsPackageAnswer(m_pReply))
            return EAnswer::NotPackage;
        // A success other than 200 or 206: taken whole, as without retries.
        m_resume.Discard();
        return EAnswer::TakeFromZero;
    case ResumeAnswer::WholeBody:
        return EAnswer::TakeFromZero;
    case ResumeAnswer::StartOver:
        return EAnswer::AskAgain;
    case ResumeAnswer::Refused:
        return EAnswer::Refused;
    }
    return EAnswer::Take;
}

CFailure CDownloadClient::WriteAvailable()
{
    const QByteArray data = m_pReply->readAll();
    if (data.isEmpty())
        return CFailure();
    const qint64 written = m_pFile->write(data);
    if (written != data.size())
        return WriteFailure(data.size() - qMax<qint64>(written, 0));
    m_resume.OnWritten(written);
    m_nWindowBytes += written;
    emit SignalPackageWritten(data);
    emit SignalDownloadProgress(written);
    return CFailure();
}

// How the finished reply's attempt ended: None when the file now holds the
// whole package.
CDownloadFailure CDownloadClient::AnswerFailure() const
{
    CDownloadFailure failure;
    failure.networkError = m_pReply->error();
    failure.httpStatus = HttpStatus(m_pReply);
    // A redirect hop that could not be followed: Qt's words say why.
    const bool failedHop = failure.httpStatus >= 300 && failure.httpStatus < 400
        && failure.networkError != QNetworkReply::NoError;
    if (m_tlsFailure.IsFailure()) {
        failure.failure = m_tlsFailure;
    } else if (!IsPackageAnswer(m_pReply) && !failedHop) {
        failure.failure = StatusFailure();
    } else if (failure.networkError != QNetworkReply::NoError) {
        // Qt's text names the URL, user info and all.
        const QUrl launched(m_package.Url(), QUrl::TolerantMode);
        const QString text = WithoutPassword(WithoutPassword(m_pReply->errorString(), launched), m_pReply->url());
        failure.failure = CFailure(EFailure::Network, {text});
    } else if (!m_resume.Complete()) {
        // Qt may call a body cut short of its announced size a success.
        failure.failure = CFailure(EFailure::ClosedEarly);
    }
    return failure;
}

// The retry loop: a transient failure with attempts left waits for the next
// attempt; any other ends the download.
void CDownloadClient::RetryOrEnd(const CDownloadFailure& failure)
{
    if (m_nAttempt >= m_nRetries || !IsTransientFailure(failure)) {
        EndTransfer(failure.failure);
        return;
    }
    const QByteArray retryAfter = m_pReply->rawHeader("Retry-After");
    ReleaseReply();
    m_networkManager.clearConnectionCache();
    // Written out now: the next attempt and the record go by the bytes on disk.
    if (!m_pFile->flush()) {
        EndTransfer(WriteFailure(m_pFile->bytesToWrite()));
        return;
    }
    ++m_nAttempt;
    m_eStage = Stage::Waiting;
    m_retryTimer.start(RetryWaitMs(m_nAttempt, retryAfter, QDateTime::currentDateTimeUtc()));
    emit SignalRetrying(m_nAttempt, m_nRetries);
}

// The one place where the file starts over from byte 0: emptied, its record
// gone, and the count back at 0.
CFailure CDownloadClient::StartFileOver()
{
    RemovePartialRecord(m_package);
    // Opened for writing, the file is empty already unless bytes were kept.
    if (m_pFile->size() == 0)
        return CFailure();
    if (!m_pFile->resize(0))
        return CFailure(EFailure::PackageFile, {m_pFile->errorString()});
    emit SignalDownloadRestarted(0);
    return CFailure();
}

// The one way a download ends, whatever ends it: the retry wait and the
// reply stop, the file is settled, and the owner hears once. A finish hands
// the complete file over and returns to Idle; anything else leaves the
// client spent.
void CDownloadClient::EndTransfer(const CFailure& reason)
{
    if (m_eStage == Stage::Idle || m_eStage == Stage::Ended)
        return;
    m_eStage = Stage::Ended;
    m_retryTimer.stop();
    ReleaseReply();
    m_failure = reason.IsFailure() ? reason : CloseFile();
    if (!m_failure.IsFailure()) {
        RemovePartialRecord(m_package);
        delete m_pFile;
        m_pFile = nullptr;
        // These bytes, as they are now, are the package; the hold stays.
        m_pHeld->Seal();
        m_eStage = Stage::Idle;
        emit SignalFinishDownload();
        return;
    }
    SettlePartialFile(m_failure);
    if (m_failure.kind == EFailure::Stopped)
        return;
    m_networkManager.clearConnectionCache();
    // The last step: the receiver may stop us or schedule our deletion.
    QString text = FailureReason(m_failure);
    emit SgnDownloadError(text);
}

// What a download that did not finish leaves: with retries on, the bytes
// that reached the disk and the record that lets the next run resume them;
// of a package that filled the disk, or would not fit, nothing, so the disk
// is not left full.
void CDownloadClient::SettlePartialFile(const CFailure& reason)
{
    if (!m_pFile)
        return;
    const bool flushed = m_pFile->isOpen() && m_pFile->flush();
    m_pFile->close();
    if (reason.kind == EFailure::PackageDiskFull || reason.kind == EFailure::NotEnoughSpace) {
        DiscardPackageFile();
        RemovePartialRecord(m_package);
        return;
    }
    if (m_nRetries <= 0)
        return;
    if (flushed && m_resume.CanResume())
        SavePartialRecord(m_package, m_resume.Record(m_package.Url()));
    else
        RemovePartialRecord(m_package);
}

// Writes out what is buffered and closes: None when the package is complete
// on disk.
CFailure CDownloadClient::CloseFile()
{
    const CFailure flushed = m_pFile->flush() ? CFailure() : WriteFailure(m_pFile->bytesToWrite());
    m_pFile->close();
    if (flushed.IsFailure())
        return flushed;
    if (m_pFile->error() != QFileDevice::NoError)
        return CFailure(EFailure::PackageFile, {m_pFile->errorString()});
    return CFailure();
}

// Qt reports a write that ran out of room as a short write with no reason
// given; the volume's free space tells.
CFailure CDownloadClient::WriteFailure(qint64 unwritten) const
{
    const QStorageInfo volume(QFileInfo(m_package.FilePath()).absolutePath());
    if (volume.isValid() && volume.bytesAvailable() < qMax<qint64>(unwritten, 1))
        return CFailure(EFailure::PackageDiskFull);
    return CFailure(EFailure::PackageFile, {m_pFile->errorString()});
}

// The reply of an attempt that is over. Closing a running one makes Qt
// report its last progress and a cancel before close() returns; after that
// nothing more from it reaches us, and the stall timer, which that progress
// restarted, stops.
void CDownloadClient::ReleaseReply()
{
    if (m_pReply) {
        if (m_pReply->isRunning())
            m_pReply->close();
        m_pReply->disconnect(this);
        m_pReply->deleteLater();
        m_pReply = nullptr;
    }
    m_stallTimer.stop();
    m_lowSpeedTimer.stop();
    m_memoryGuard.Stop();
}

} // namespace Update
