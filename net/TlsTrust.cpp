#include "TlsTrust.h"

#include "PathEntry.h"

#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslSocket>
#include <QUrl>

#include <initializer_list>

namespace Update {

const char* const kUpdateCaFileName = "UpdateCA.pem";

namespace {

struct CErrorKind
{
    EFailure kind;
    std::initializer_list<QSslError::SslError> errors;
};

// In this order: the first kind with an error in the list names the failure.
// A server that shows another host's certificate is the one to be told first;
// an untrusted chain that is also expired says "untrusted", since trusting
// its issuer is what the reader would try next.
const CErrorKind kErrorKinds[] = {
    {EFailure::TlsOtherHost, {QSslError::HostNameMismatch}},
    {EFailure::TlsSelfSigned, {QSslError::SelfSignedCertificate}},
    {EFailure::TlsUntrusted,
     {QSslError::UnableToGetIssuerCertificate, QSslError::UnableToGetLocalIssuerCertificate,
      QSslError::UnableToVerifyFirstCertificate, QSslError::SelfSignedCertificateInChain,
      QSslError::CertificateUntrusted}},
    {EFailure::TlsExpired, {QSslError::CertificateExpired}},
    {EFailure::TlsNotYetValid, {QSslError::CertificateNotYetValid}},
};

bool Contains(const QList<QSslError>& errors, QSslError::SslError code)
{
    for (const QSslError& error : errors)
        if (error.error() == code)
            return true;
    return false;
}

// A pipe or a device in the file's place yields nothing, and never holds
// the window.
QList<QSslCertificate> ReadCertificates(const QString& path)
{
    const std::optional<QByteArray> text = ReadSmallFile(path, kMaxUpdateCaBytes);
    if (!text)
        return {};
    QList<QSslCertificate> certificates;
    for (const QSslCertificate& certificate : QSslCertificate::fromData(*text, QSsl::Pem))
        if (!certificate.isNull())
            certificates.append(certificate);
    return certificates;
}

// A DNS entry of a certificate against the host's ASCII form, both lower case.
bool IsNameMatch(const QString& entry, const QString& host)
{
    if (!entry.startsWith(QLatin1String("*.")))
        return entry == host;
    // "*.b.c": the wildcard takes one whole label, never a dot, and never
    // stands for most of a name ("*.com").
    const QString rest = entry.mid(1);
    const int dot = host.indexOf(QLatin1Char('.'));
    return rest.count(QLatin1Char('.')) >= 2 && !rest.contains(QLatin1Char('*')) && dot > 0
        && host.mid(dot) == rest;
}

} // namespace

QString UpdateCaPath(const QString& installDir)
{
    return installDir + QLatin1Char('/') + QLatin1String(kUpdateCaFileName);
}

CTlsTrust::CTlsTrust() : m_configuration(QSslConfiguration::defaultConfiguration())
{
    m_configuration.setPeerVerifyMode(QSslSocket::VerifyPeer);
    m_configuration.setProtocol(QSsl::SecureProtocols);
}

CTlsTrust CTlsTrust::Load(const QString& path)
{
    CTlsTrust trust;
    // Anything at the path counts, even a broken link: a damaged file refuses
    // the update instead of quietly trusting less.
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return trust;
    const QList<QSslCertificate> certificates = ReadCertificates(path);
    if (certificates.isEmpty()) {
        trust.m_failure = CFailure(EFailure::CaFileUnreadable);
        return trust;
    }
    trust.m_extra = certificates;
    // Only with a file of its own does the list become explicit: Qt's default
    // finds the system's roots when it needs them, which on Windows includes
    // roots the system fetches on demand; an explicit list ends that.
    trust.m_configuration.setCaCertificates(QSslConfiguration::systemCaCertificates() + certificates);
    return trust;
}

void CTlsTrust::Apply(QNetworkRequest& request) const
{
    request.setSslConfiguration(m_configuration);
}

CFailure TlsFailure(const QList<QSslError>& errors, const QString& host)
{
    for (const CErrorKind& kind : kErrorKinds)
        for (QSslError::SslError code : kind.errors)
            if (Contains(errors, code))
                return CFailure(kind.kind, {host});
    const QString text = errors.isEmpty() ? QSslError(QSslError::UnspecifiedError).errorString()
                                          : errors.first().errorString();
    return CFailure(EFailure::TlsRefused, {host, text});
}

QString TlsFailureReason(const QList<QSslError>& errors, const QString& host)
{
    return FailureReason(TlsFailure(errors, host));
}

bool IsHostInAltNames(const QMultiMap<QSsl::AlternativeNameEntryType, QString>& altNames, const QString& host)
{
    const QHostAddress address(host);
    if (!address.isNull()) {
        for (const QString& entry : altNames.values(QSsl::IpAddressEntry))
            if (QHostAddress(entry) == address)
                return true;
        return false;
    }
    QString name = QString::fromLatin1(QUrl::toAce(host)).toLower();
    // "example.com." names the same host as "example.com".
    if (name.endsWith(QLatin1Char('.')))
        name.chop(1);
    if (name.isEmpty())
        return false;
    for (const QString& entry : altNames.values(QSsl::DnsEntry))
        if (IsNameMatch(entry.toLower(), name))
            return true;
    return false;
}

CFailure PeerHostFailure(const QNetworkReply* reply)
{
    const QString host = reply->url().host();
    const QSslCertificate peer = reply->sslConfiguration().peerCertificate();
    if (IsHostInAltNames(peer.subjectAlternativeNames(), host))
        return CFailure();
    return CFailure(EFailure::TlsOtherHost, {host});
}

} // namespace Update
