#pragma once

#include "CHttpAttempt.h"
#include "PackageSignature.h"
#include "UpdateFailure.h"
#include "WorkEnding.h"

#include <QByteArray>
#include <QObject>

class QNetworkAccessManager;

namespace Update {

class CTlsTrust;

// Fetches a package's minisign signature into memory, through the download's
// own manager and request. The whole fetch has a deadline; an answer longer
// than kMaxSignatureBytes is cut off at once, and an error page ends it at its
// head, unread. Part of the package check.
class CSignatureFetch : public QObject, public CWorkEnding
{
    Q_OBJECT
public:
    explicit CSignatureFetch(QObject* parent = nullptr);
    ~CSignatureFetch() override;

    // One fetch per object; a second call does nothing. SignalSignatureFetched
    // follows from the event loop, never inside this call.
    void Start(QNetworkAccessManager* manager, const QString& signatureUrl, const CTlsTrust& trust);
    // Stop() ends a running fetch without a finish signal.
    // The whole fetch, redirects included, ends within ms: a signature is at
    // most 4 KiB, which even a line at the download's lowest accepted speed
    // brings in a few seconds, so the download's stall time is its deadline.
    void SetStallTimeout(int ms);

    // After SignalSignatureFetched: Ok with the text in SignatureText(),
    // NoSignature when none could be had (an HTTP error such as 404, a
    // network failure, a stall), SignatureUnreadable when it was too long.
    ESignatureCheck Result() const { return m_eResult; }
    QByteArray SignatureText() const { return m_text; }
    // Why the fetch was refused outright, beyond NoSignature: the server's
    // certificate (Tls*), an answer coded anyway (CodedAnswer), or one Qt
    // read unseen past every bound (AnswerTooLarge). None else.
    CFailure Failure() const { return m_failure; }

signals:
    void SignalSignatureFetched();

private slots:
    void OnHead();
    void OnReadyRead();
    void OnReplyFinished();
    void OnFailed(const Update::CFailure& failure);

private:
    ESignatureCheck ReadAvailable();
    void End(ESignatureCheck result);
    CFailure Settle(const CFailure& outcome) override;
    void Report(const CFailure& outcome) override;

    CHttpAttempt m_attempt; // the whole fetch's deadline
    QByteArray m_text;
    ESignatureCheck m_eResult = ESignatureCheck::NoSignature;
    CFailure m_failure;
};

} // namespace Update
