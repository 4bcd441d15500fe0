#pragma once

#include "PackageSignature.h"

#include <QByteArray>
#include <QNetworkAccessManager>
#include <QObject>
#include <QTimer>

class QNetworkReply;

namespace Update {

// Fetches a package's minisign signature, <package URL>.minisig, into memory,
// with the package's own TLS settings, redirect policy and stall limit. An
// answer longer than kMaxSignatureBytes is cut off at once.
class CSignatureFetch : public QObject
{
    Q_OBJECT
public:
    explicit CSignatureFetch(QObject* parent = nullptr);
    ~CSignatureFetch() override;

    static QString SignatureUrl(const QString& packageUrl);

    // One fetch per object; a second call does nothing.
    void Start(const QString& packageUrl);
    // Ends a running fetch without a finish signal.
    void Stop();
    void SetStallTimeout(int ms);

    // After SignalSignatureFetched: Ok with the text in SignatureText(),
    // NoSignature when none could be had (an HTTP error such as 404, a
    // network failure, a stall), SignatureUnreadable when it was too long.
    ESignatureCheck Result() const { return m_eResult; }
    QByteArray SignatureText() const { return m_text; }

signals:
    void SignalSignatureFetched();

private slots:
    void OnReadyRead();
    void OnReplyFinished();
    void OnStallTimeout();

private:
    enum class Stage { Idle, Fetching, Ended };

    void Finish(ESignatureCheck result, bool report = true);

    QNetworkAccessManager m_networkManager;
    QNetworkReply* m_pReply = nullptr;
    QTimer m_stallTimer;
    QByteArray m_text;
    ESignatureCheck m_eResult = ESignatureCheck::NoSignature;
    Stage m_eStage = Stage::Idle;
};

} // namespace Update
