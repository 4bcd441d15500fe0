#pragma once

// nginx on 127.0.0.1 for tests: a real server that answers ranges, ETags and
// If-Range itself. Each NginxServer runs its own nginx (one process, no
// workers) with its own configuration and files in a temporary folder, and
// stops it when it goes; under `timeout`, so it ends by itself even if the
// test dies first.
//
//     if (NginxServer::Program().isEmpty())
//         QSKIP("nginx is not installed (scripts/deps.sh installs nginx-light)");
//     NginxServer nginx;
//     QVERIFY(nginx.AddFile("client_v2.zip", bytes));
//     QVERIFY2(nginx.Start(), qPrintable(nginx.ErrorText()));
//     const QString url = nginx.Url("/client_v2.zip");
//
// ExtraServerConfig adds directives to the server block before Start (for
// example "limit_rate 1m;").
//
// HTTPS: UseTls(certificate, key) before Start (certificates from
// TestCertificates.h); Url() then begins with "https://". Url's host may be
// any name of 127.0.0.1 the certificate holds, or a name only a proxy
// reaches (TinyProxy.h).
//
// No Q_OBJECT here on purpose, so a test can include it without moc.

#include "ServerProcess.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

class NginxServer
{
public:
    // Longest time Start waits for nginx to take connections.
    static const int kStartMs = 15000;
    // nginx ends by itself after this long, whatever happens to the test.
    static const int kLifetimeSeconds = 600;

    NginxServer()
    {
        // nginx may read as another user: let it into the folder and its files.
        QFile::setPermissions(m_dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                                | QFileDevice::ReadGroup | QFileDevice::ExeGroup
                                                | QFileDevice::ReadOther | QFileDevice::ExeOther);
        QDir(m_dir.path()).mkpath(QStringLiteral("www"));
        QDir(m_dir.path()).mkpath(QStringLiteral("temp"));
    }

    ~NginxServer() { Stop(); }

    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    // The nginx executable; empty when it is not installed.
    static QString Program()
    {
        const QString onPath = QStandardPaths::findExecutable(QStringLiteral("nginx"));
        return !onPath.isEmpty() ? onPath : QStandardPaths::findExecutable(QStringLiteral("nginx"), {"/usr/sbin", "/usr/local/sbin"});
    }

    // The folder served at "/".
    QString Root() const { return m_dir.filePath(QStringLiteral("www")); }

    // Writes (or replaces) a file under Root(), readable by nginx.
    bool AddFile(const QString& name, const QByteArray& bytes) const
    {
        QFile file(Root() + '/' + name);
        const bool written = file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
        file.close();
        return written && file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                                   | QFileDevice::ReadOther);
    }

    void ExtraServerConfig(const QByteArray& directives) { m_extra = directives; }

    // Both files in PEM, read by nginx when it starts.
    void UseTls(const QString& certificatePath, const QString& keyPath)
    {
        m_certificatePath = certificatePath;
        m_keyPath = keyPath;
    }

    // Starts nginx on a free port of 127.0.0.1 and waits until it answers.
    bool Start()
    {
        if (!m_dir.isValid() || Program().isEmpty()) {
            m_error = QStringLiteral("no temporary folder or no nginx");
            return false;
        }
        // Another program may take the port between our probe and nginx's bind.
        for (int attempt = 0; attempt < 3; ++attempt)
            if (StartOnce())
                return true;
        return false;
    }

    void Stop()
    {
        m_process.terminate(); // timeout passes it on; nginx stops at once
        if (m_process.state() != QProcess::NotRunning && !m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    quint16 Port() const { return m_nPort; }

    QString Url(const QString& path, const QString& host = QStringLiteral("127.0.0.1")) const
    {
        return QStringLiteral("%1://%2:%3%4")
            .arg(m_certificatePath.isEmpty() ? QStringLiteral("http") : QStringLiteral("https"), host)
            .arg(m_nPort)
            .arg(path);
    }

    // Why Start failed: nginx's own words where it left any.
    QString ErrorText() const { return m_error; }

private:
    bool StartOnce()
    {
        m_nPort = ServerProcess::FreePort();
        if (m_nPort == 0 || !WriteConfig()) {
            m_error = QStringLiteral("no free port or the configuration cannot be written");
            return false;
        }
        const QStringList arguments = {QStringLiteral("-p"), m_dir.path() + '/', QStringLiteral("-c"), ConfigPath(),
                                     QStringLiteral("-e"), m_dir.filePath(QStringLiteral("error.log"))};
        m_error.clear();
        if (ServerProcess::Start(m_process, Program(), arguments, m_nPort, kLifetimeSeconds, kStartMs, &m_error))
            return true;
        // Never started: the reason is in m_error already.
        if (!m_error.isEmpty())
            return false;
        Stop();
        QFile log(m_dir.filePath(QStringLiteral("error.log")));
        m_error = QStringLiteral("nginx did not start: ")
            + QString::fromLocal8Bit(m_process.readAll() + (log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray()));
        return false;
    }

    QString ConfigPath() const { return m_dir.filePath(QStringLiteral("nginx.conf")); }

    bool WriteConfig() const
    {
        const QByteArray dir = m_dir.path().toLocal8Bit();
        const QByteArray tls = m_certificatePath.isEmpty()
            ? QByteArray()
            : " ssl;\n"
              "        ssl_certificate " + m_certificatePath.toLocal8Bit() + ";\n"
              "        ssl_certificate_key " + m_keyPath.toLocal8Bit();
        const QByteArray config =
            "daemon off;\n"
            "master_process off;\n"
            "pid " + dir + "/nginx.pid;\n"
            "error_log " + dir + "/error.log;\n"
            "events { worker_connections 64; }\n"
            "http {\n"
            "    access_log off;\n"
            "    client_body_temp_path " + dir + "/temp/body;\n"
            "    proxy_temp_path " + dir + "/temp/proxy;\n"
            "    fastcgi_temp_path " + dir + "/temp/fastcgi;\n"
            "    uwsgi_temp_path " + dir + "/temp/uwsgi;\n"
            "    scgi_temp_path " + dir + "/temp/scgi;\n"
            "    server {\n"
            "        listen 127.0.0.1:" + QByteArray::number(m_nPort) + tls + ";\n"
            "        root " + dir + "/www;\n"
            "        " + m_extra + "\n"
            "    }\n"
            "}\n";
        QFile file(ConfigPath());
        return file.open(QIODevice::WriteOnly) && file.write(config) == config.size();
    }

    QTemporaryDir m_dir;
    QProcess m_process;
    QByteArray m_extra;
    QString m_certificatePath;
    QString m_keyPath;
    QString m_error;
    quint16 m_nPort = 0;
};
