#pragma once

#include "CMemoryGuard.h"
#include "UpdateFailure.h"

#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QSslError>
#include <QTimer>

class QNetworkAccessManager;
class QNetworkRequest;

namespace Update {

// One GET and the limits every answer of the update is held to: a deadline,
// a read buffer bound, the memory guard while the head is awaited, the TLS
// refusals (certificate and host), the refusal of a coded success answer.
// The owner judges the head and takes the body; this only tells.
//
// For each reply, SignalHead comes once, before any SignalReadyRead or
// SignalFinished: for the answer at the end of the redirect hops, or for a
// redirect Qt does not follow. SignalFailed ends the reply instead, with
// Stalled, AnswerTooLarge, CodedAnswer or a Tls* kind; the reply is still
// there for the owner to read its head. Receivers may Release() or Start()
// again; nothing more of that reply comes afterwards.
class CHttpAttempt : public QObject
{
    Q_OBJECT
public:
    // HeadThenSilence: the head within the timeout, then no body byte for as
    // long. Whole: the whole exchange within it.
    enum class EDeadline { HeadThenSilence, Whole };

    explicit CHttpAttempt(EDeadline deadline, QObject* parent = nullptr);
    ~CHttpAttempt() override;

    void SetStallTimeout(int ms) { m_stallTimer.setInterval(ms); }
    int StallTimeout() const { return m_stallTimer.interval(); }
    // A body that brings fewer than bytesPerSecond on average over ms
    // (counted by the owner with CountBody) stalls too; ms 0: no such limit.
    void SetLowSpeedLimit(qint64 bytesPerSecond, int ms);

    // A new reply; the one before, if any, is released.
    void Start(QNetworkAccessManager* manager, const QNetworkRequest& request, qint64 readBufferSize);
    // Closes the reply, if running, and lets go of it; no signal follows.
    void Release();
    // Null once released, or once the manager took it along.
    QNetworkReply* Reply() const { return m_pReply; }

    // The HTTP status of the reply; 0 for none (not HTTP, or no head yet).
    int Status() const;
    // A success answer, or one without a status: only its body may be kept.
    bool IsSuccess() const;
    // Why the reply's certificate was refused; None else.
    CFailure TlsRefusal() const { return m_tlsFailure; }

    // The owner took these bytes of the body.
    void CountBody(qint64 bytes) { m_nWindowBytes += bytes; }
    // While the user types a proxy's password no limit runs; each starts
    // afresh once the dialog is gone.
    void Pause(bool paused);

signals:
    void SignalHead();
    void SignalReadyRead();
    void SignalFinished();
    void SignalFailed(const Update::CFailure& failure);

private slots:
    void OnMetaData();
    void OnReadyRead();
    void OnFinished();
    void OnProgress();
    void OnStallTimeout();
    void OnLowSpeedCheck();
    void OnMemoryExceeded();
    void OnSslErrors(const QList<QSslError>& errors);
    void OnEncrypted();

private:
    bool TakeHead();
    void Fail(const CFailure& failure);
    void BeginBody();

    const EDeadline m_eDeadline;
    QPointer<QNetworkReply> m_pReply; // its manager may take it along
    quint64 m_nReply = 0;             // counts replies, so that a stale call knows it is
    bool m_bHeadTaken = false;
    QTimer m_stallTimer;
    QTimer m_lowSpeedTimer; // the end of the current low-speed window
    qint64 m_nLowSpeedBytesPerSecond = 0;
    qint64 m_nWindowBytes = 0;
    CMemoryGuard m_memoryGuard; // while the head is awaited: what Qt may read unseen
    CFailure m_tlsFailure;
};

} // namespace Update
