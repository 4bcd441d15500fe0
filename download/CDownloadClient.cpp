#include "CDownloadClient.h"
#include "CProxyAuth.h"
#include "DownloadRetry.h"
#include "HeldFile.h"
#include "PackageRequest.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>
#include <QUrl>
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

} // namespace

CDownloadClient::CDownloadClient(const QString& strInstallDir, QObject* parent)
    : QObject(parent), CWorkEnding(EReuse::AfterSuccess), m_strInstallDir(strInstallDir), m_attempt(CHttpAttempt::EDeadline::HeadThenSilence)
{
    m_attempt.SetStallTimeout(kDefaultStallTimeoutMs);
    SetLowSpeedLimit(kDefaultLowSpeedBytesPerSecond, kDefaultLowSpeedWindowMs);
    // Only the current reply is told, so Reply() is the one that spoke.
    connect(&m_attempt, SIGNAL(SignalHead()), this, SLOT(OnAttemptHead()));
    connect(&m_attempt, SIGNAL(SignalReadyRead()), this, SLOT(OnHttpReadyRead()));
    connect(&m_attempt, SIGNAL(SignalFinished()), this, SLOT(OnFinishedDowndload()));
    connect(&m_attempt, SIGNAL(SignalFailed(Update::CFailure)), this, SLOT(OnAttemptFailed(Update::CFailure)));
    m_retryTimer.setSingleShot(true);
    connect(&m_retryTimer, SIGNAL(timeout()), this, SLOT(OnRetryTimeout()));
}

CDownloadClient::~CDownloadClient()
{
    Stop();
    delete m_pFile;
}

void CDownloadClient::StartDownload(QString& url)
{
    StartDownload(CPackage(url, m_strInstallDir));
}

void CDownloadClient::StartDownload(const CPackage& package)
{
    // One download at a time; one that failed or was stopped leaves the client spent.
    if (!Begin())
        return;
    // The first attempt is being prepared; a failure to prepare it ends the download.
    m_eStage = Stage::Asking;
    m_package = package;
    m_nAttempt = 0;
    m_resume = CResumeState();
    m_servedUrl = QUrl();
    if (!package.IsValid()) {
        Finish(CFailure(EFailure::InvalidAddress));
        return;
    }
    const CFailure opened = OpenPackageFile();
    if (opened.IsFailure()) {
        Finish(opened);
        return;
    }
    const qint64 bytesOnDisk = m_resume.BytesOnDisk();
    const bool waits = bytesOnDisk > 0 && m_bWaitsForBytesOnDisk;
    if (waits)
        m_eStage = Stage::ReadingDisk;
    emit SignalDownloadRestarted(bytesOnDisk);
    if (!waits)
        NextAttempt();
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
    m_attempt.SetStallTimeout(ms);
}

int CDownloadClient::StallTimeout() const
{
    return m_attempt.StallTimeout();
}

void CDownloadClient::SetLowSpeedLimit(qint64 bytesPerSecond, int ms)
{
    m_attempt.SetLowSpeedLimit(bytesPerSecond, ms);
}

void CDownloadClient::StopDownload()
{
    Stop();
}

// The hops are followed here, one head each: after a redirect Qt may keep a
// hop's Content-Length as the answer's. A failed request gives 0.
void CDownloadClient::GetClientSize(const QString& url)
{
    const int kMaxHops = 20;
    QNetworkAccessManager manager;
    // A head has no body: one that has not come within the stall time will
    // not, however many hops lead to it.
    const QDeadlineTimer deadline(StallTimeout());
    QString target = url;
    qint64 size = 0;
    for (int hop = 0; hop <= kMaxHops && !deadline.hasExpired(); ++hop) {
        QNetworkRequest request = MakePackageRequest(target, m_tlsTrust);
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
        QEventLoop loop;
        QNetworkReply* reply = manager.head(request);
        connect(reply, SIGNAL(finished()), &loop, SLOT(quit()), Qt::DirectConnection);
        QTimer::singleShot(int(deadline.remainingTime()), &loop, &QEventLoop::quit);
        loop.exec();
        const bool answered = reply->isFinished() && reply->error() == QNetworkReply::NoError;
        const QUrl next = reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
        const QUrl here = reply->url();
        if (answered && next.isEmpty())
            size = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
        delete reply;
        if (!answered || next.isEmpty())
            break;
        // As for the download: never from https down to plain http.
        const QUrl resolved = here.resolved(next);
        if (here.scheme() == QLatin1String("https") && resolved.scheme() != QLatin1String("https"))
            break;
        target = resolved.toString();
    }
    emit SignalClientSize(size);
}

// Dropped when a stop came first. Bytes that could not be taken in cannot be
// vouched for: the file starts over.
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

void CDownloadClient::OnFinishedDowndload()
{
    // Gone with the manager: only the client's own end does that.
    if (Reply())
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

void CDownloadClient::OnAttemptHead()
{
    TakeHead();
}

// A stall is worth another attempt; a refusal ends the download.
void CDownloadClient::OnAttemptFailed(const CFailure& failure)
{
    if (failure.kind != EFailure::Stalled) {
        Finish(failure);
        return;
    }
    CDownloadFailure stalled;
    stalled.failure = failure;
    RetryOrEnd(stalled);
}

// While the user types the proxy's password no time limit runs out; each
// starts afresh once the dialog is gone.
void CDownloadClient::OnProxyAsking(bool asking)
{
    if (m_eStage == Stage::Asking || m_eStage == Stage::Receiving)
        m_attempt.Pause(asking);
}

void CDownloadClient::OnRetryTimeout()
{
    NextAttempt();
}

void CDownloadClient::NextAttempt()
{
    const CFailure started = StartAttempt();
    if (started.IsFailure())
        Finish(started);
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
    m_attempt.Start(&m_networkManager, request, kReadBufferSize);
    return CFailure();
}

// Judges the current answer's head, once per reply.
void CDownloadClient::TakeHead()
{
    switch (JudgeAnswer()) {
    case EAnswer::Take:
        return;
    case EAnswer::TakeFromZero: {
        const CFailure emptied = StartFileOver();
        if (emptied.IsFailure())
            Finish(emptied);
        return;
    }
    case EAnswer::AskAgain:
        ReleaseReply();
        NextAttempt();
        return;
    case EAnswer::Refused: {
        CDownloadFailure refused;
        refused.failure = CFailure(EFailure::ResumeRefused);
        RetryOrEnd(refused);
        return;
    }
    case EAnswer::Failed:
        Finish(m_answerFailure);
        return;
    case EAnswer::NotPackage:
        EndAtHead();
        return;
    }
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
    switch (m_pProxyAuth->Judge(Reply())) {
    case CProxyAuth::EVerdict::NotTheProxy:
        return false;
    case CProxyAuth::EVerdict::AskAgain:
        ReleaseReply();
        NextAttempt();
        return true;
    case CProxyAuth::EVerdict::Refused:
        Finish(m_pProxyAuth->Refusal(Reply()->url()));
        return true;
    }
    return false;
}

CFailure CDownloadClient::StatusFailure() const
{
    // The server's words, shown as they are: never markup, never long.
    const QString reason = Reply()->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString().left(200);
    return CFailure(EFailure::HttpStatus, {QString::number(m_attempt.Status()), reason});
}

// The body, into the file; and once the reply has finished, how the
// attempt ended.
void CDownloadClient::TakeReply(bool finished)
{
    const CFailure written = WriteAvailable();
    if (written.IsFailure()) {
        Finish(written);
        return;
    }
    if (!finished)
        return;
    if (Reply()->error() != QNetworkReply::NoError && SettledByProxy())
        return;
    const CDownloadFailure failure = AnswerFailure();
    if (failure.failure.IsFailure()) {
        RetryOrEnd(failure);
        return;
    }
    Finish(CFailure());
}

// Without retries nothing is asked twice: an answer that does not hold the
// whole file from byte 0 is the failure of the one request.
CDownloadClient::EAnswer CDownloadClient::JudgeSingle(int status)
{
    const CRawHeaders headers = Reply()->rawHeaderPairs();
    switch (JudgeSingleAnswer(status, HeaderValue(headers, "Content-Range"))) {
    case ResumeAnswer::Append:
    case ResumeAnswer::WholeBody:
        // Learns the size the body must reach.
        m_resume.OnAnswer(status, headers);
        return EAnswer::Take;
    case ResumeAnswer::NotBody:
        return m_attempt.IsSuccess() ? EAnswer::Take : EAnswer::NotPackage;
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
    const QVariant length = Reply()->header(QNetworkRequest::ContentLengthHeader);
    if (!length.isValid())
        return CFailure();
    return RoomOnVolume(QFileInfo(m_package.FilePath()).absolutePath(), length.toLongLong());
}

// What the head of the current answer means for the file, decided once per
// reply.
CDownloadClient::EAnswer CDownloadClient::JudgeAnswer()
{
    m_eStage = Stage::Receiving;
    const int status = m_attempt.Status();
    if (m_attempt.IsSuccess())
        m_servedUrl = Reply()->url();
    // Not HTTP: no ranges, no announced size; the body is the package.
    if (status == 0)
        return EAnswer::Take;
    const CRawHeaders headers = Reply()->rawHeaderPairs();
    if (m_attempt.IsSuccess()) {
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
        if (!m_attempt.IsSuccess())
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
    const QByteArray data = Reply()->readAll();
    if (data.isEmpty())
        return CFailure();
    const qint64 written = m_pFile->write(data);
    if (written != data.size())
        return WriteFailure(data.size() - qMax<qint64>(written, 0));
    m_resume.OnWritten(written);
    m_attempt.CountBody(written);
    emit SignalPackageWritten(data);
    emit SignalDownloadProgress(written);
    return CFailure();
}

// How the finished reply's attempt ended: None when the file now holds the
// whole package.
CDownloadFailure CDownloadClient::AnswerFailure() const
{
    CDownloadFailure failure;
    failure.networkError = Reply()->error();
    failure.httpStatus = m_attempt.Status();
    // A redirect hop that could not be followed: Qt's words say why.
    const bool failedHop = failure.httpStatus >= 300 && failure.httpStatus < 400
        && failure.networkError != QNetworkReply::NoError;
    if (!m_attempt.IsSuccess() && !failedHop) {
        failure.failure = StatusFailure();
    } else if (failure.networkError != QNetworkReply::NoError) {
        // Qt's text names the URL, user info and all.
        const QUrl launched(m_package.Url(), QUrl::TolerantMode);
        const QString text = WithoutPassword(WithoutPassword(Reply()->errorString(), launched), Reply()->url());
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
        Finish(failure.failure);
        return;
    }
    const QByteArray retryAfter = Reply()->rawHeader("Retry-After");
    ReleaseReply();
    m_networkManager.clearConnectionCache();
    // Written out now: the next attempt and the record go by the bytes on disk.
    if (!m_pFile->flush()) {
        Finish(WriteFailure(m_pFile->bytesToWrite()));
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

// However a download ends: the retry wait and the reply stop and the file
// is settled. A finish hands the complete file over and returns to Idle;
// anything else leaves the client spent.
CFailure CDownloadClient::Settle(const CFailure& reason)
{
    m_eStage = Stage::Ended;
    m_retryTimer.stop();
    ReleaseReply();
    const CFailure outcome = reason.IsFailure() ? reason : CloseFile();
    if (!outcome.IsFailure()) {
        RemovePartialRecord(m_package);
        delete m_pFile;
        m_pFile = nullptr;
        // These bytes, as they are now, are the package; the hold stays.
        m_pHeld->Seal();
        m_eStage = Stage::Idle;
        return outcome;
    }
    SettlePartialFile(outcome);
    if (outcome.kind != EFailure::Stopped)
        m_networkManager.clearConnectionCache();
    return outcome;
}

void CDownloadClient::Report(const CFailure& outcome)
{
    emit SignalEnded(outcome);
    if (!outcome.IsFailure()) {
        emit SignalFinishDownload();
        return;
    }
    QString text = FailureReason(outcome);
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

// The reply of an attempt that is over; nothing more of it reaches us.
void CDownloadClient::ReleaseReply()
{
    m_attempt.Release();
}

} // namespace Update
