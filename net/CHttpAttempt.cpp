#include "CHttpAttempt.h"
#include "HttpAnswer.h"
#include "TlsTrust.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>

namespace Update {

CHttpAttempt::CHttpAttempt(EDeadline deadline, QObject* parent) : QObject(parent), m_eDeadline(deadline)
{
    m_stallTimer.setSingleShot(true);
    connect(&m_stallTimer, SIGNAL(timeout()), this, SLOT(OnStallTimeout()));
    m_lowSpeedTimer.setSingleShot(true);
    m_lowSpeedTimer.setInterval(0);
    connect(&m_lowSpeedTimer, SIGNAL(timeout()), this, SLOT(OnLowSpeedCheck()));
    connect(&m_memoryGuard, SIGNAL(SignalExceeded()), this, SLOT(OnMemoryExceeded()));
}

CHttpAttempt::~CHttpAttempt()
{
    Release();
}

void CHttpAttempt::SetLowSpeedLimit(qint64 bytesPerSecond, int ms)
{
    m_nLowSpeedBytesPerSecond = qMax<qint64>(0, bytesPerSecond);
    m_lowSpeedTimer.setInterval(ms);
}

void CHttpAttempt::Start(QNetworkAccessManager* manager, const QNetworkRequest& request, qint64 readBufferSize)
{
    Release();
    ++m_nReply;
    m_bHeadTaken = false;
    m_tlsFailure = CFailure();
    m_pReply = manager->get(request);
    // What is unread waits in the socket, not in our memory.
    m_pReply->setReadBufferSize(readBufferSize);
    // Connected first: any byte shows the server is still there, before the
    // owner's handling, which may end the reply, runs.
    connect(m_pReply, SIGNAL(readyRead()), this, SLOT(OnProgress()));
    connect(m_pReply, SIGNAL(downloadProgress(qint64,qint64)), this, SLOT(OnProgress()));
    connect(m_pReply, SIGNAL(metaDataChanged()), this, SLOT(OnMetaData()));
    connect(m_pReply, SIGNAL(readyRead()), this, SLOT(OnReadyRead()));
    connect(m_pReply, SIGNAL(finished()), this, SLOT(OnFinished()));
    connect(m_pReply, SIGNAL(destroyed()), this, SLOT(OnFinished()));
    connect(m_pReply, SIGNAL(sslErrors(QList<QSslError>)), this, SLOT(OnSslErrors(QList<QSslError>)));
    connect(m_pReply, SIGNAL(encrypted()), this, SLOT(OnEncrypted()));
    m_stallTimer.start();
    m_memoryGuard.Start();
}

// Disconnected before it is closed, so nothing of it reaches us afterwards.
void CHttpAttempt::Release()
{
    m_stallTimer.stop();
    m_lowSpeedTimer.stop();
    m_memoryGuard.Stop();
    if (!m_pReply)
        return;
    m_pReply->disconnect(this);
    if (m_pReply->isRunning())
        m_pReply->close();
    m_pReply->deleteLater();
    m_pReply = nullptr;
}

int CHttpAttempt::Status() const
{
    return m_pReply ? m_pReply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() : 0;
}

bool CHttpAttempt::IsSuccess() const
{
    const int status = Status();
    return status == 0 || (status >= 200 && status < 300);
}

void CHttpAttempt::Pause(bool paused)
{
    if (!m_pReply)
        return;
    if (paused) {
        m_stallTimer.stop();
        m_lowSpeedTimer.stop();
        m_memoryGuard.Stop();
        return;
    }
    m_stallTimer.start();
    if (!m_bHeadTaken) {
        m_memoryGuard.Start();
        return;
    }
    m_nWindowBytes = 0;
    if (m_lowSpeedTimer.interval() > 0)
        m_lowSpeedTimer.start();
}

// A refused certificate ends the reply at whatever comes next; the head is
// told once. False when nothing more of this reply is to be told.
bool CHttpAttempt::TakeHead()
{
    if (m_tlsFailure.IsFailure()) {
        Fail(m_tlsFailure);
        return false;
    }
    if (m_bHeadTaken)
        return true;
    m_bHeadTaken = true;
    // Never decoded: its bytes are not what was asked for, and a small bomb
    // would grow past every bound.
    const QByteArray coding = IsSuccess() ? AnswerCoding(m_pReply->rawHeaderPairs()) : QByteArray();
    if (!coding.isEmpty()) {
        Fail(CFailure(EFailure::CodedAnswer, {QString::fromLatin1(coding)}));
        return false;
    }
    const quint64 reply = m_nReply;
    BeginBody();
    emit SignalHead();
    return reply == m_nReply && m_pReply;
}

// The body's own limits start with it: silence, and the low-speed window.
void CHttpAttempt::BeginBody()
{
    m_memoryGuard.Stop();
    if (m_eDeadline == EDeadline::HeadThenSilence)
        m_stallTimer.start();
    m_nWindowBytes = 0;
    if (m_lowSpeedTimer.interval() > 0)
        m_lowSpeedTimer.start();
}

// The reply's last word: a call that was on its way for it finds it stale.
void CHttpAttempt::Fail(const CFailure& failure)
{
    ++m_nReply;
    m_stallTimer.stop();
    m_lowSpeedTimer.stop();
    m_memoryGuard.Stop();
    if (m_pReply)
        m_pReply->disconnect(this);
    emit SignalFailed(failure);
}

// A redirect hop's head comes too; only the answer at the end of the hops
// is told. A 3xx that Qt does not follow is told when its body or its end
// comes. The head alone: reading the body from inside this signal made a
// chunked answer cut off at a chunk's end pass for a complete one.
void CHttpAttempt::OnMetaData()
{
    const int status = Status();
    if (status >= 300 && status < 400)
        return;
    TakeHead();
}

void CHttpAttempt::OnReadyRead()
{
    if (TakeHead())
        emit SignalReadyRead();
}

void CHttpAttempt::OnFinished()
{
    // Gone with its manager: the owner finds no reply.
    if (!m_pReply) {
        m_stallTimer.stop();
        m_memoryGuard.Stop();
        emit SignalFinished();
        return;
    }
    if (m_pReply->error() == QNetworkReply::OperationCanceledError)
        return;
    if (!TakeHead())
        return;
    m_stallTimer.stop();
    m_lowSpeedTimer.stop();
    emit SignalFinished();
}

// Bytes of redirect hops do not count: the head must come within the
// deadline, however many hops lead to it.
void CHttpAttempt::OnProgress()
{
    if (m_bHeadTaken && m_eDeadline == EDeadline::HeadThenSilence && m_stallTimer.isActive())
        m_stallTimer.start();
}

void CHttpAttempt::OnStallTimeout()
{
    if (m_pReply)
        Fail(CFailure(EFailure::Stalled));
}

// The end of a low-speed window: slower than the limit on average is
// stalled; otherwise the next window begins.
void CHttpAttempt::OnLowSpeedCheck()
{
    if (!m_pReply || !m_bHeadTaken)
        return;
    if (m_nWindowBytes * 1000 >= m_nLowSpeedBytesPerSecond * m_lowSpeedTimer.interval()) {
        m_nWindowBytes = 0;
        m_lowSpeedTimer.start();
        return;
    }
    Fail(CFailure(EFailure::Stalled));
}

// Qt has read more of an answer it does not show us than any answer may
// hold before its head is judged.
void CHttpAttempt::OnMemoryExceeded()
{
    if (m_pReply && !m_bHeadTaken)
        Fail(CFailure(EFailure::AnswerTooLarge));
}

// Never ignored: Qt then ends the reply with a handshake failure, which is
// told as this refusal, naming the hop's host.
void CHttpAttempt::OnSslErrors(const QList<QSslError>& errors)
{
    if (!m_tlsFailure.IsFailure())
        m_tlsFailure = TlsFailure(errors, m_pReply->url().host());
}

// Qt's network thread waits while this runs, so the refusal ends the reply
// from the event loop; nothing of it is told meanwhile.
void CHttpAttempt::OnEncrypted()
{
    const CFailure refused = PeerHostFailure(m_pReply);
    if (!refused.IsFailure() || m_tlsFailure.IsFailure())
        return;
    m_tlsFailure = refused;
    const quint64 reply = m_nReply;
    QMetaObject::invokeMethod(this, [this, reply, refused] {
        if (reply == m_nReply && m_pReply)
            Fail(refused);
    }, Qt::QueuedConnection);
}

} // namespace Update
