#include "TlsTrust.h"

#include "PathEntry.h"
#include "VxDir.h"

#include <QFile>
#include <QFileInfo>
#include <QNetworkRequest>
#include <QSslSocket>

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

} // namespace

QString UpdateCaPath()
{
    return DAROZ::VxDir::GetCurrentPath() + QLatin1Char('/') + QLatin1String(kUpdateCaFileName);
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

} // namespace Update
