#include "CSignatureFetch.h"
#include "PackageRequest.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QVariant>

namespace Update {

CSignatureFetch::CSignatureFetch(QObject* parent)
    : QObject(parent), CWorkEnding(EReuse::Never), m_attempt(CHttpAttempt::EDeadline::Whole)
{
    connect(&m_attempt, SIGNAL(SignalHead()), this, SLOT(OnHead()));
    connect(&m_attempt, SIGNAL(SignalReadyRead()), this, SLOT(OnReadyRead()));
    connect(&m_attempt, SIGNAL(SignalFinished()), this, SLOT(OnReplyFinished()));
    connect(&m_attempt, SIGNAL(SignalFailed(Update::CFailure)), this, SLOT(OnFailed(Update::CFailure)));
}

CSignatureFetch::~CSignatureFetch()
{
    Stop();
}

void CSignatureFetch::Start(QNetworkAccessManager* manager, const QString& signatureUrl, const CTlsTrust& trust)
{
    if (!Begin())
        return;
    m_attempt.Start(manager, MakePackageRequest(signatureUrl, trust), kMaxSignatureBytes + 1);
}

void CSignatureFetch::SetStallTimeout(int ms)
{
    m_attempt.SetStallTimeout(ms);
}

// An error page ends the fetch before its body is read.
void CSignatureFetch::OnHead()
{
    if (!m_attempt.IsSuccess())
        End(ESignatureCheck::NoSignature);
}

void CSignatureFetch::OnReadyRead()
{
    const ESignatureCheck read = ReadAvailable();
    if (read != ESignatureCheck::Ok)
        End(read);
}

void CSignatureFetch::OnReplyFinished()
{
    // Gone with its manager before it finished, or failed: no signature.
    const QNetworkReply* reply = m_attempt.Reply();
    if (!reply || reply->error() != QNetworkReply::NoError || !m_attempt.IsSuccess()) {
        End(ESignatureCheck::NoSignature);
        return;
    }
    End(ReadAvailable());
}

// A stall is no signature; a refused certificate, a coded answer or one Qt
// read unseen past every bound is a refusal beyond that.
void CSignatureFetch::OnFailed(const CFailure& failure)
{
    if (failure.kind == EFailure::Stalled) {
        End(ESignatureCheck::NoSignature);
        return;
    }
    m_failure = failure;
    const bool unreadable = failure.kind == EFailure::CodedAnswer || failure.kind == EFailure::AnswerTooLarge;
    End(unreadable ? ESignatureCheck::SignatureUnreadable : ESignatureCheck::NoSignature);
}

// Keeps what has arrived: Ok, or SignatureUnreadable once the answer is too
// long, announced or not.
ESignatureCheck CSignatureFetch::ReadAvailable()
{
    QNetworkReply* reply = m_attempt.Reply();
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    m_text += reply->readAll();
    if (m_text.size() > kMaxSignatureBytes || length.toLongLong() > kMaxSignatureBytes)
        return ESignatureCheck::SignatureUnreadable;
    return ESignatureCheck::Ok;
}

// The owner reads the result; the outcome carries only a refusal beyond it.
void CSignatureFetch::End(ESignatureCheck result)
{
    if (!IsRunning())
        return;
    m_eResult = result;
    Finish(m_failure);
}

CFailure CSignatureFetch::Settle(const CFailure& outcome)
{
    m_attempt.Release();
    // Only a signature that came whole is kept; a stopped fetch has none.
    if (m_eResult != ESignatureCheck::Ok)
        m_text.clear();
    return outcome;
}

void CSignatureFetch::Report(const CFailure&)
{
    emit SignalSignatureFetched();
}

} // namespace Update
