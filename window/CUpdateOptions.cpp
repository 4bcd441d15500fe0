// What an installation can switch on in the [Update] part of its
// Localcfg.ini, beside the workflow: the client started again when the
// update ends without an installer ("RestartClient"), the support log
// "update.log" ("Log"), and the download's speed and time left beside the
// status ("ShowSpeed"). Without them the workflow is as it always was.

#include "CDownloadClient.h"
#include "CUpdate.h"
#include "ProcessControl.h"
#include "UpdateLog.h"
#include "ui_CUpdate.h"

#include <QLabel>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTextDocumentFragment>
#include <QTimer>

namespace Update {

namespace {

// A refresh a second: often enough to follow, seldom enough to read (and
// for a screen reader not to chatter).
const int kSpeedRefreshMs = 1000;

QString MethodOf(const QNetworkReply* reply)
{
    switch (reply->operation()) {
    case QNetworkAccessManager::HeadOperation:
        return QStringLiteral("HEAD");
    case QNetworkAccessManager::GetOperation:
        return QStringLiteral("GET");
    case QNetworkAccessManager::PutOperation:
        return QStringLiteral("PUT");
    case QNetworkAccessManager::PostOperation:
        return QStringLiteral("POST");
    case QNetworkAccessManager::DeleteOperation:
        return QStringLiteral("DELETE");
    default:
        return QString::fromLatin1(reply->request().attribute(QNetworkRequest::CustomVerbAttribute).toByteArray());
    }
}

// One finished request: what was asked, what came back, where it led. No
// header but the length: a header may carry a credential.
QString RequestLine(const QNetworkReply* reply)
{
    const QUrl asked = reply->request().url();
    QString line = QStringLiteral("request %1 %2: ").arg(MethodOf(reply), CUpdateLog::Url(asked));
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid())
        line += QStringLiteral("status %1 %2").arg(status.toInt())
                    .arg(reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString()).trimmed();
    else
        line += QStringLiteral("no answer");
    if (reply->url() != asked)
        line += QStringLiteral(", redirected to ") + CUpdateLog::Url(reply->url());
    const QVariant target = reply->attribute(QNetworkRequest::RedirectionTargetAttribute);
    if (target.isValid())
        line += QStringLiteral(", redirect to ") + CUpdateLog::Url(reply->url().resolved(target.toUrl()))
            + QStringLiteral(" not followed");
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid())
        line += QStringLiteral(", length %1").arg(length.toLongLong());
    if (reply->error() == QNetworkReply::OperationCanceledError)
        line += QStringLiteral(", closed by the updater");
    else if (reply->error() != QNetworkReply::NoError)
        line += QStringLiteral(", error: ") + reply->errorString();
    return line;
}

} // namespace

// ---- The support log --------------------------------------------------

void CUpdate::NoteStage()
{
    static const char* const names[] = {"Start", "Preparing", "Downloading", "Verifying",
                                        "Extracting", "Confirming", "Closed"};
    CUpdateLog::Write(QStringLiteral("stage ") + QLatin1String(names[int(m_eStage)]));
    if (m_eStage != Stage::Downloading) {
        StopSpeed();
        return;
    }
    if (!m_settings.showSpeed)
        return;
    m_speed.Reset();
    m_speedClock.start();
    if (!m_pSpeedTimer) {
        m_strStatusForm = m_pUi->m_pLabUpdate->text();
        m_pSpeedTimer = new QTimer(this);
        m_pSpeedTimer->setInterval(kSpeedRefreshMs);
        connect(m_pSpeedTimer, &QTimer::timeout, this, [this]() { ShowSpeed(); });
    }
    m_pSpeedTimer->start();
    ShowSpeed();
}

// Every request of the update goes through the download's manager, the
// signature's too.
void CUpdate::LogRequests(QNetworkAccessManager* manager)
{
    if (!m_settings.log)
        return;
    connect(manager, &QNetworkAccessManager::finished, this,
            [](QNetworkReply* reply) { CUpdateLog::Write(RequestLine(reply)); });
}

void CUpdate::NoteRetry(int attempt, int attempts)
{
    const int waitMs = m_pDownloadClient ? m_pDownloadClient->NextAttemptWaitMs() : 0;
    CUpdateLog::Write(QStringLiteral("retry %1 of %2 after a wait of %3 ms").arg(attempt).arg(attempts).arg(waitMs));
    // Nothing flows while it waits: the speed is measured afresh.
    m_speed.Reset();
}

void CUpdate::NoteVerdict(const CFailure& verdict)
{
    CUpdateLog::Write(verdict.IsFailure() ? QStringLiteral("signature refused: ") + FailureReason(verdict)
                                          : QStringLiteral("signature verified"));
}

void CUpdate::NoteUnpacked(const CFailure& failure)
{
    CUpdateLog::Write(failure.IsFailure() ? QStringLiteral("unpacking failed: ") + FailureReason(failure)
                                          : QStringLiteral("unpacked into ") + m_package.UnpackDir());
}

void CUpdate::NoteClientStarted()
{
    m_eClientAtEnd = EClientAtEnd::StartedBySkin;
    CUpdateLog::Write(QStringLiteral("left without updating: the client is started unless it runs"));
}

void CUpdate::NoteInstallerStarted(const QString& installer)
{
    m_eClientAtEnd = EClientAtEnd::InstallerRuns;
    CUpdateLog::Write(QStringLiteral("hand-over: installer started: ") + installer);
}

// ---- The end: the client comes back -----------------------------------

// However the update ended, once, after its box and before the process
// ends. A mandatory update never brings the old client back; an installer
// that runs, or the Skin button, has seen to the client already.
void CUpdate::AfterUpdateEnded(const CFailure& failure)
{
    StopSpeed();
    QString ending = failure.IsFailure() ? QStringLiteral("failed") : QStringLiteral("ended without installing");
    if (m_eClientAtEnd == EClientAtEnd::InstallerRuns)
        ending = QStringLiteral("handed over to the installer");
    else if (m_eClientAtEnd == EClientAtEnd::StartedBySkin)
        ending = QStringLiteral("left without updating");
    CUpdateLog::Write(QStringLiteral("update %1, %2 of %3 bytes received")
                          .arg(ending).arg(m_nReceivedSize).arg(m_nPackageSize));
    if (!m_settings.restartClient || m_eClientAtEnd != EClientAtEnd::StartAgain)
        return;
    if (m_bMajorUpdate) {
        CUpdateLog::Write(QStringLiteral("mandatory update: the client is not started again"));
        return;
    }
    const bool started = StartClientUnlessRunning(m_nClientPid, m_installation.Root());
    CUpdateLog::Write(started ? QStringLiteral("client started again with StopQueryVer")
                              : QStringLiteral("client still runs: not started again"));
}

// ---- Speed and time left ----------------------------------------------

// Measured from the first bytes: the wait for the answer is no part of the pace.
void CUpdate::SampleSpeed()
{
    if (m_pSpeedTimer && m_pSpeedTimer->isActive())
        m_speed.Sample(m_speedClock.elapsed(), m_nReceivedSize);
}

// Beside the status label's own text; the percentage stays where it is.
void CUpdate::ShowSpeed()
{
    if (m_eStage != Stage::Downloading)
        return;
    const qint64 now = m_speedClock.elapsed();
    if (m_speed.IsMeasuring())
        m_speed.Sample(now, m_nReceivedSize);
    const QString form = QTextDocumentFragment::fromHtml(m_strStatusForm).toPlainText().trimmed();
    const QString text = form + QLatin1Char(' ') + m_speed.Text(now, m_nPackageSize);
    if (m_pUi->m_pLabUpdate->text() == text)
        return;
    m_pUi->m_pLabUpdate->setText(text);
    AnnounceStatus();
    qDebug("speed[%s]", qUtf8Printable(text));
}

void CUpdate::StopSpeed()
{
    if (!m_pSpeedTimer || !m_pSpeedTimer->isActive())
        return;
    m_pSpeedTimer->stop();
    m_pUi->m_pLabUpdate->setText(m_strStatusForm);
    AnnounceStatus();
}

} // namespace Update
