#include "CSignatureFetch.h"
#include "CDownloadClient.h"

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
}

CSignatureFetch::~CSignatureFetch()
{
    Stop();
}

// Appended to the URL as given, query and all: the publisher serves the
// signature under the same address with ".minisig" added.
QString CSignatureFetch::SignatureUrl(const QString& packageUrl)
{
    return packageUrl + QLatin1String(".minisig");
}

void CSignatureFetch::Start(const QString& packageUrl)
{
    if (m_eStage != Stage::Idle)
        return;
    m_eStage = Stage::Fetching;
    m_pReply = m_networkManager.get(CDownloadClient::MakeRequest(SignatureUrl(packageUrl)));
    // What is unread waits in the socket, not in our memory.
    m_pReply->setReadBufferSize(kMaxSignatureBytes + 1);
    connect(m_pReply, SIGNAL(readyRead()), this, SLOT(OnReadyRead()));
    connect(m_pReply, SIGNAL(finished()), this, SLOT(OnReplyFinished()));
    m_stallTimer.start();
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
    if (m_eStage != Stage::Fetching)
        return;
    m_stallTimer.start();
    const QVariant length = m_pReply->header(QNetworkRequest::ContentLengthHeader);
    const QByteArray data = m_pReply->readAll();
    if (!IsSignatureAnswer(m_pReply))
        return;
    m_text += data;
    // Too long is a bad signature, announced or not: stop reading at once.
    if (m_text.size() > kMaxSignatureBytes || length.toLongLong() > kMaxSignatureBytes)
        Finish(ESignatureCheck::SignatureUnreadable);
}

void CSignatureFetch::OnReplyFinished()
{
    if (m_eStage != Stage::Fetching)
        return;
    if (m_pReply->error() != QNetworkReply::NoError || !IsSignatureAnswer(m_pReply)) {
        Finish(ESignatureCheck::NoSignature);
        return;
    }
    OnReadyRead();
    Finish(ESignatureCheck::Ok);
}

void CSignatureFetch::OnStallTimeout()
{
    Finish(ESignatureCheck::NoSignature);
}

// The one way a fetch ends. The stage goes first: closing a running reply
// makes Qt report its finish through our handlers before close() returns.
void CSignatureFetch::Finish(ESignatureCheck result, bool report)
{
    if (m_eStage != Stage::Fetching)
        return;
    m_eStage = Stage::Ended;
    m_stallTimer.stop();
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
