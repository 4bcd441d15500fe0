#include "CSignatureFetch.h"
#include "DownloadResume.h"
#include "PackageRequest.h"
#include "TlsTrust.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QVariant>

namespace Update {

namespace {

// Only a success answer may be the signature; an error page never is.
bool IsSignatureAnswer(const QNetworkReply* reply)
{
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    return status == 0 || (status >= 200 && status < 300);
}

} // namespace

CSignatureFetch::CSignatureFetch(QObject* parent) : QObject(parent)
{
    m_stallTimer.setSingleShot(true);
    connect(&m_stallTimer, SIGNAL(timeout()), this, SLOT(OnStallTimeout()));
    connect(&m_memoryGuard, SIGNAL(SignalExceeded()), this, SLOT(OnMemoryExceeded()));
}

CSignatureFetch::~CSignatureFetch()
{
    Stop();
}

void CSignatureFetch::Start(QNetworkAccessManager* manager, const QString& signatureUrl, const CTlsTrust& trust)
{
    if (m_eStage != Stage::Idle)
        return;
    m_eStage = Stage::Fetching;
    m_pReply = manager->get(MakePackageRequest(signatureUrl, trust));
    // What is unread waits in the socket, not in our memory.
    m_pReply->setReadBufferSize(kMaxSignatureBytes + 1);
    connect(m_pReply, SIGNAL(metaDataChanged()), this, SLOT(OnMetaData()));
    connect(m_pReply, SIGNAL(readyRead()), this, SLOT(OnReadyRead()));
    connect(m_pReply, SIGNAL(finished()), this, SLOT(OnReplyFinished()));
    connect(m_pReply, SIGNAL(destroyed()), this, SLOT(OnReplyFinished()));
    connect(m_pReply, SIGNAL(sslErrors(QList<QSslError>)), this, SLOT(OnSslErrors(QList<QSslError>)));
    connect(m_pReply, SIGNAL(encrypted()), this, SLOT(OnEncrypted()));
    m_stallTimer.start();
    m_memoryGuard.Start();
}

void CSignatureFetch::Stop()
{
    Finish(ESignatureCheck::NoSignature, false);
}

void CSignatureFetch::SetStallTimeout(int ms)
{
    m_stallTimer.setInterval(ms);
}

void CSignatureFetch::OnReadyRead()
{
    const ESignatureCheck read = ReadAvailable();
    if (read != ESignatureCheck::Ok)
        Finish(read);
}

// A redirect hop's head comes too, and Qt follows it; any other head that is
// no signature ends the fetch before its body is read.
void CSignatureFetch::OnMetaData()
{
    const int status = m_pReply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status >= 300 && status < 400)
        return;
    if (!IsSignatureAnswer(m_pReply))
        Finish(ESignatureCheck::NoSignature);
}

void CSignatureFetch::OnMemoryExceeded()
{
    m_failure = CFailure(EFailure::AnswerTooLarge);
    Finish(ESignatureCheck::SignatureUnreadable);
}

// Never ignored: the reply then ends with a handshake failure.
void CSignatureFetch::OnSslErrors(const QList<QSslError>& errors)
{
    if (!m_failure.IsFailure())
        m_failure = TlsFailure(errors, m_pReply->url().host());
}

// Ended from the event loop: Qt's network thread waits while this runs.
void CSignatureFetch::OnEncrypted()
{
    const CFailure refused = PeerHostFailure(m_pReply);
    if (!refused.IsFailure() || m_failure.IsFailure())
        return;
    m_failure = refused;
    QMetaObject::invokeMethod(this, [this] { Finish(ESignatureCheck::NoSignature); }, Qt::QueuedConnection);
}

void CSignatureFetch::OnReplyFinished()
{
    // Gone with its manager before it finished, or failed: no signature.
    if (!m_pReply || m_pReply->error() != QNetworkReply::NoError || !IsSignatureAnswer(m_pReply)) {
        Finish(ESignatureCheck::NoSignature);
        return;
    }
    Finish(ReadAvailable());
}

// Keeps what has arrived: Ok, SignatureUnreadable once the answer is too
// long, announced or not, NoSignature for an answer that is none.
ESignatureCheck CSignatureFetch::ReadAvailable()
{
    if (!IsSignatureAnswer(m_pReply))
        return ESignatureCheck::NoSignature;
    const QVariant length = m_pReply->header(QNetworkRequest::ContentLengthHeader);
    const QByteArray data = m_pReply->readAll();
    const QByteArray coding = AnswerCoding(m_pReply->rawHeaderPairs());
    if (!coding.isEmpty()) {
        m_failure = CFailure(EFailure::CodedAnswer, {QString::fromLatin1(coding)});
        return ESignatureCheck::SignatureUnreadable;
    }
    m_text += data;
    if (m_text.size() > kMaxSignatureBytes || length.toLongLong() > kMaxSignatureBytes)
        return ESignatureCheck::SignatureUnreadable;
    return ESignatureCheck::Ok;
}

void CSignatureFetch::OnStallTimeout()
{
    Finish(ESignatureCheck::NoSignature);
}

// The one way a fetch ends, once. The reply is disconnected before it is
// closed, so nothing of it reaches us afterwards.
void CSignatureFetch::Finish(ESignatureCheck result, bool report)
{
    if (m_eStage != Stage::Fetching)
        return;
    m_eStage = Stage::Ended;
    m_stallTimer.stop();
    m_memoryGuard.Stop();
    m_eResult = result;
    if (result != ESignatureCheck::Ok)
        m_text.clear();
    if (m_pReply) {
        m_pReply->disconnect(this);
        if (m_pReply->isRunning())
            m_pReply->close();
        m_pReply->deleteLater();
        m_pReply = nullptr;
    }
    if (report)
        emit SignalSignatureFetched();
}

} // namespace Update
