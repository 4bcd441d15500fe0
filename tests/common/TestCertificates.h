#pragma once

// Certificates for TLS tests, made by the real openssl at test time in a
// temporary folder of their own, never kept in the tree: a CA, and server
// certificates that CA signed or that sign themselves. Every openssl run is
// bounded in time.
//
//     TestCertificates certificates;
//     if (TestCertificates::Program().isEmpty())
//         QSKIP("openssl is not installed");
//     QVERIFY2(certificates.Make(), qPrintable(certificates.ErrorText()));
//     nginx.UseTls(certificates.CertificatePath(TestCertificates::Good), certificates.KeyPath());
//     QFile::copy(certificates.CaPath(), installDir + "/UpdateCA.pem");
//
// Every server certificate holds the same key, KeyPath().

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

class TestCertificates
{
public:
    static constexpr int kToolWaitMs = 30000; // upper bound for one openssl run

    // The host name tests give servers that only a proxy reaches (see
    // TinyProxy.h); the good certificates name it beside 127.0.0.1 and
    // localhost.
    static QString TestHostName() { return QStringLiteral("updates.test"); }

    enum Kind {
        Good,       // signed by the CA, for 127.0.0.1, localhost and TestHostName()
        Expired,    // the same, its time over a day ago
        OtherHost,  // signed by the CA, for other.invalid only
        SelfSigned, // for 127.0.0.1, localhost and TestHostName(), signed by its own key
        // The host only where Qt 5 also looks, but a certificate must not:
        CommonNameOnly,           // signed by the CA, CN=127.0.0.1 and no subjectAltName
        SelfSignedCommonNameOnly, // CN=localhost and no subjectAltName, signed by its own key
        AddressAsDnsName,         // signed by the CA, for DNS:127.0.0.1 only (not IP:)
    };

    static QString Program() { return QStandardPaths::findExecutable(QStringLiteral("openssl")); }

    // Makes the CA and one certificate of every kind.
    bool Make()
    {
        if (!m_dir.isValid() || Program().isEmpty()) {
            m_error = QStringLiteral("no temporary folder or no openssl");
            return false;
        }
        QFile config(Path("openssl.cnf"));
        if (!config.open(QIODevice::WriteOnly) || config.write(Config()) != Config().size()) {
            m_error = QStringLiteral("the openssl configuration cannot be written");
            return false;
        }
        config.close();
        const QString cnf = Path("openssl.cnf");
        return Run({"req", "-x509", "-config", cnf, "-extensions", "ca_ext", "-newkey", "rsa:2048", "-nodes",
                    "-keyout", Path("ca.key"), "-out", CaPath(), "-days", "30", "-subj", "/CN=Update Test CA"})
            && Run({"genrsa", "-out", KeyPath(), "2048"})
            && Run({"req", "-new", "-config", cnf, "-key", KeyPath(), "-out", Path("server.csr"), "-subj",
                    "/CN=127.0.0.1"})
            && Run({"req", "-new", "-config", cnf, "-key", KeyPath(), "-out", Path("other.csr"), "-subj",
                    "/CN=other.invalid"})
            && SignByCa("server.csr", "server_ext", "30", CertificatePath(Good), "1")
            // "-days -1": valid from now to a day ago, so expired at once.
            && SignByCa("server.csr", "server_ext", "-1", CertificatePath(Expired), "2")
            && SignByCa("other.csr", "other_ext", "30", CertificatePath(OtherHost), "3")
            && Run({"req", "-x509", "-config", cnf, "-extensions", "server_ext", "-key", KeyPath(), "-out",
                    CertificatePath(SelfSigned), "-days", "30", "-subj", "/CN=127.0.0.1"})
            && SignByCa("server.csr", "cn_only_ext", "30", CertificatePath(CommonNameOnly), "4")
            && SignByCa("server.csr", "ip_as_dns_ext", "30", CertificatePath(AddressAsDnsName), "5")
            && Run({"req", "-x509", "-config", cnf, "-extensions", "cn_only_ext", "-key", KeyPath(), "-out",
                    CertificatePath(SelfSignedCommonNameOnly), "-days", "30", "-subj", "/CN=localhost"});
    }

    QString CaPath() const { return Path("ca.pem"); }
    QString KeyPath() const { return Path("server.key"); }

    QString CertificatePath(Kind kind) const
    {
        static const char* const names[] = {"good.pem", "expired.pem", "other-host.pem", "self-signed.pem",
                                            "cn-only.pem", "self-signed-cn-only.pem", "ip-as-dns.pem"};
        return Path(names[kind]);
    }

    static QByteArray ReadFile(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QString ErrorText() const { return m_error; }

private:
    QString Path(const char* name) const { return m_dir.filePath(QString::fromLatin1(name)); }

    bool SignByCa(const char* csr, const char* extensions, const char* days, const QString& out, const char* serial)
    {
        return Run({"x509", "-req", "-in", Path(csr), "-CA", CaPath(), "-CAkey", Path("ca.key"), "-set_serial", serial,
                    "-days", days, "-extfile", Path("openssl.cnf"), "-extensions", extensions, "-out", out});
    }

    // Independent of the system's openssl.cnf.
    static QByteArray Config()
    {
        const QByteArray server = "basicConstraints = CA:FALSE\n"
                                  "keyUsage = critical, digitalSignature, keyEncipherment\n"
                                  "extendedKeyUsage = serverAuth\n";
        return "[req]\ndistinguished_name = dn\nprompt = no\n[dn]\nCN = unused\n"
               "[ca_ext]\nbasicConstraints = critical, CA:TRUE\nkeyUsage = critical, keyCertSign, cRLSign\n"
               "subjectKeyIdentifier = hash\n"
               "[server_ext]\n" + server + "subjectAltName = IP:127.0.0.1, DNS:localhost, DNS:updates.test\n"
               "[other_ext]\n" + server + "subjectAltName = DNS:other.invalid\n"
               "[cn_only_ext]\n" + server +
               "[ip_as_dns_ext]\n" + server + "subjectAltName = DNS:127.0.0.1\n";
    }

    bool Run(const QStringList& args)
    {
        QProcess openssl;
        openssl.setWorkingDirectory(m_dir.path());
        openssl.setProcessChannelMode(QProcess::MergedChannels);
        openssl.setStandardInputFile(QProcess::nullDevice());
        openssl.start(Program(), args);
        if (!openssl.waitForFinished(kToolWaitMs)) {
            openssl.kill();
            openssl.waitForFinished(kToolWaitMs);
            m_error = QStringLiteral("openssl %1 did not finish").arg(args.join(' '));
            return false;
        }
        if (openssl.exitStatus() != QProcess::NormalExit || openssl.exitCode() != 0) {
            m_error = QStringLiteral("openssl %1: %2").arg(args.join(' '), QString::fromLocal8Bit(openssl.readAll()));
            return false;
        }
        return true;
    }

    QTemporaryDir m_dir;
    QString m_error;
};
