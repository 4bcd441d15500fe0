#pragma once

// The TLS side of every request of an update: the server's certificate is
// always verified, with its host name, against the system's trusted roots and
// those an installation ships in "UpdateCA.pem" (a private CA, a self-signed
// server, a TLS-inspecting gateway). There is no way to turn the check off.

#include "UpdateFailure.h"

#include <QList>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslError>
#include <QString>

class QNetworkReply;
class QNetworkRequest;

namespace Update {

// The certificate file in the installation folder.
extern const char* const kUpdateCaFileName; // "UpdateCA.pem"

// A certificate file longer than this is not read (a few hundred
// certificates fit).
constexpr qint64 kMaxUpdateCaBytes = 1024 * 1024;

// <installation>/UpdateCA.pem
QString UpdateCaPath(const QString& installDir);

// What one update trusts, settled once when the Update button is pressed:
//
//     const CTlsTrust trust = CTlsTrust::Load(UpdateCaPath(installDir));
//     if (trust.Failure().IsFailure())  -> one box, FailureText(trust.Failure()),
//                                          before the client is stopped
//     trust.Apply(request);              // every request: package, signature
class CTlsTrust
{
public:
    // The system's roots alone.
    CTlsTrust();

    // Reads the PEM certificates at path. No file there: the system's roots
    // alone. Anything else at path that yields no certificate (empty,
    // garbage, DER, a key, a folder, a pipe or a device, unreadable, longer
    // than kMaxUpdateCaBytes) is EFailure::CaFileUnreadable; a pipe is never
    // waited on.
    static CTlsTrust Load(const QString& path);

    // None, or CaFileUnreadable.
    const CFailure& Failure() const { return m_failure; }

    // The certificates of the file, trusted in addition to the system's.
    const QList<QSslCertificate>& ExtraCertificates() const { return m_extra; }

    // Peer verification (QSslSocket::VerifyPeer, which also checks the host
    // name), secure protocols only, and the roots above.
    const QSslConfiguration& Configuration() const { return m_configuration; }

    // Puts Configuration() on request.
    void Apply(QNetworkRequest& request) const;

private:
    QList<QSslCertificate> m_extra;
    QSslConfiguration m_configuration;
    CFailure m_failure;
};

// The one failure that QNetworkReply::sslErrors() means for a request to
// host (the reply's url().host() when the errors arrive, which is the
// redirect hop's host). The most telling error names it: another host's
// certificate, then self-signed, untrusted issuer, expired, not yet valid;
// anything else is TlsRefused with Qt's text of the first error.
CFailure TlsFailure(const QList<QSslError>& errors, const QString& host);

// FailureReason(TlsFailure(errors, host)): the plain translated reason.
QString TlsFailureReason(const QList<QSslError>& errors, const QString& host);

// Whether host (as QUrl::host() gives it) is among a certificate's
// subjectAltName entries: an address only among its IP entries, a name only
// among its DNS entries, where a leading "*." stands for exactly one label of
// a name with at least two more. The common name never counts.
bool IsHostInAltNames(const QMultiMap<QSsl::AlternativeNameEntryType, QString>& altNames, const QString& host);

// For a reply whose connection has just been encrypted (its encrypted()
// signal): TlsOtherHost naming the reply's host when the server's
// certificate holds that host only as its common name, which Qt 5 accepts
// for a certificate without a DNS entry of its own; else None.
CFailure PeerHostFailure(const QNetworkReply* reply);

} // namespace Update
