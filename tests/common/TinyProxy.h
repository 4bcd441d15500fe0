#pragma once

// tinyproxy on 127.0.0.1 for tests: a real HTTP proxy with Basic
// authentication that carries plain requests and CONNECT tunnels. Each
// TinyProxy runs its own tinyproxy with its own configuration in a temporary
// folder and stops it when it goes; under `timeout`, so it ends by itself even
// if the test dies first.
//
//     if (TinyProxy::Program().isEmpty())
//         QSKIP("tinyproxy is not installed (scripts/deps.sh installs tinyproxy-bin)");
//     TinyProxy proxy("updater", "Pr0xyPass");
//     QVERIFY2(proxy.Start(), qPrintable(proxy.ErrorText()));
//     ProxyEnvironment env(proxy.Url("updater", "Pr0xyPass"));   // http_proxy, https_proxy
//     ... GET nginx.Url("/client_v2.zip", TestCertificates::TestHostName()) ...
//     QCOMPARE(proxy.Tunnels(), QStringList{"updates.test:<port>"});
//
// Why a name: Qt never sends a request for 127.*, ::1 or localhost through a
// proxy, so the servers of a proxy test are addressed as
// TestCertificates::TestHostName() ("updates.test"), which nothing resolves.
// tinyproxy hands every connection it makes to an in-process SOCKS5 relay
// (its "Upstream socks5"), which connects whatever name it is asked for to
// the same port on 127.0.0.1. So nothing leaves the machine, no name is
// looked up, and a server is reached through the proxy or not at all.
//
// No Q_OBJECT here on purpose, so a test can include it without moc.

#include "ServerProcess.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUrl>
#include <QtEndian>

#include <memory>

// SOCKS5 without authentication, CONNECT only: any name or address, port P
// goes to 127.0.0.1:P. Runs on the test's event loop.
class SocksLoopbackRelay : public QTcpServer
{
public:
    explicit SocksLoopbackRelay(QObject* parent = nullptr) : QTcpServer(parent) {}

    bool Start() { return listen(QHostAddress::LocalHost, 0); }

    // "name:port" of every tunnel asked for, in order.
    QStringList Tunnels() const { return m_tunnels; }

protected:
    void incomingConnection(qintptr handle) override
    {
        auto* client = new QTcpSocket(this);
        if (!client->setSocketDescriptor(handle)) {
            delete client;
            return;
        }
        auto tunnel = std::make_shared<Tunnel>();
        QObject::connect(client, &QTcpSocket::readyRead, client, [this, client, tunnel] { OnClientData(client, tunnel); });
        QObject::connect(client, &QTcpSocket::disconnected, client, [client, tunnel] {
            if (tunnel->upstream)
                tunnel->upstream->disconnectFromHost();
            client->deleteLater();
        });
    }

private:
    enum class Stage { Greeting, Request, Connecting, Relaying };
    struct Tunnel
    {
        Stage stage = Stage::Greeting;
        QByteArray pending;
        QTcpSocket* upstream = nullptr; // a child of the client socket
    };

    void OnClientData(QTcpSocket* client, const std::shared_ptr<Tunnel>& tunnel)
    {
        tunnel->pending += client->readAll();
        if (tunnel->stage == Stage::Greeting) {
            // VER NMETHODS METHODS...: answer "no authentication".
            if (tunnel->pending.size() < 2 || tunnel->pending.size() < 2 + quint8(tunnel->pending[1]))
                return;
            tunnel->pending.remove(0, 2 + quint8(tunnel->pending[1]));
            client->write(QByteArray("\x05\x00", 2));
            tunnel->stage = Stage::Request;
        }
        if (tunnel->stage == Stage::Request && !StartTunnel(client, tunnel))
            return;
        if (tunnel->stage == Stage::Relaying && !tunnel->pending.isEmpty()) {
            tunnel->upstream->write(tunnel->pending);
            tunnel->pending.clear();
        }
    }

    // VER CMD RSV ATYP ADDR PORT; true once the request was whole.
    bool StartTunnel(QTcpSocket* client, const std::shared_ptr<Tunnel>& tunnel)
    {
        const QByteArray& in = tunnel->pending;
        if (in.size() < 5)
            return false;
        const int type = quint8(in[3]);
        const int addressSize = type == 1 ? 4 : type == 4 ? 16 : 1 + quint8(in[4]);
        if (in.size() < 4 + addressSize + 2)
            return false;
        const QByteArray address = type == 3 ? in.mid(5, addressSize - 1) : QByteArray();
        const quint16 port = qFromBigEndian<quint16>(reinterpret_cast<const uchar*>(in.constData() + 4 + addressSize));
        tunnel->pending.remove(0, 4 + addressSize + 2);
        m_tunnels.append(QStringLiteral("%1:%2").arg(QString::fromLatin1(address)).arg(port));
        tunnel->stage = Stage::Connecting;
        auto* upstream = new QTcpSocket(client);
        tunnel->upstream = upstream;
        QObject::connect(upstream, &QTcpSocket::connected, client, [client, tunnel, port] {
            QByteArray reply("\x05\x00\x00\x01\x7f\x00\x00\x01", 8);
            reply.append(char(port >> 8)).append(char(port & 0xff));
            client->write(reply);
            tunnel->stage = Stage::Relaying;
            if (!tunnel->pending.isEmpty())
                tunnel->upstream->write(tunnel->pending);
            tunnel->pending.clear();
        });
        QObject::connect(upstream, &QTcpSocket::readyRead, client, [client, upstream] { client->write(upstream->readAll()); });
        QObject::connect(upstream, &QTcpSocket::disconnected, client, [client] { client->disconnectFromHost(); });
        QObject::connect(upstream, &QAbstractSocket::errorOccurred, client, [client, tunnel](QAbstractSocket::SocketError) {
            if (tunnel->stage == Stage::Connecting)
                client->write(QByteArray("\x05\x05\x00\x01\x00\x00\x00\x00\x00\x00", 10)); // refused
            client->disconnectFromHost();
        });
        upstream->connectToHost(QHostAddress::LocalHost, port);
        return true;
    }

    QStringList m_tunnels;
};

class TinyProxy
{
public:
    // Longest time Start waits for tinyproxy to take connections.
    static const int kStartMs = 15000;
    // tinyproxy ends by itself after this long, whatever happens to the test.
    static const int kLifetimeSeconds = 600;

    // user and password for Basic authentication: keep to letters and digits,
    // which tinyproxy's configuration reads as they are. Empty: none.
    TinyProxy(const QByteArray& user = QByteArray(), const QByteArray& password = QByteArray())
        : m_user(user), m_password(password)
    {
    }

    ~TinyProxy() { Stop(); }

    TinyProxy(const TinyProxy&) = delete;
    TinyProxy& operator=(const TinyProxy&) = delete;

    // The tinyproxy executable; empty when it is not installed.
    static QString Program()
    {
        const QString onPath = QStandardPaths::findExecutable(QStringLiteral("tinyproxy"));
        return !onPath.isEmpty() ? onPath : QStandardPaths::findExecutable(QStringLiteral("tinyproxy"), {"/usr/sbin"});
    }

    bool Start()
    {
        if (!m_dir.isValid() || Program().isEmpty() || !m_relay.Start()) {
            m_error = QStringLiteral("no temporary folder, no tinyproxy or no relay");
            return false;
        }
        // Another program may take the port between our probe and tinyproxy's bind.
        for (int attempt = 0; attempt < 3; ++attempt)
            if (StartOnce())
                return true;
        return false;
    }

    void Stop()
    {
        m_process.terminate(); // timeout passes it on
        if (m_process.state() != QProcess::NotRunning && !m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    quint16 Port() const { return m_nPort; }

    // The proxy URL as http_proxy takes it, with user:password@ when given
    // (percent-encoded).
    QString Url(const QString& user = QString(), const QString& password = QString()) const
    {
        QUrl url(QStringLiteral("http://127.0.0.1:%1").arg(m_nPort));
        if (!user.isEmpty()) {
            url.setUserName(user);
            url.setPassword(password);
        }
        return url.toString(QUrl::FullyEncoded);
    }

    // "name:port" of every connection the proxy made for its clients.
    QStringList Tunnels() const { return m_relay.Tunnels(); }

    QString ErrorText() const { return m_error; }

private:
    bool StartOnce()
    {
        m_nPort = ServerProcess::FreePort();
        if (m_nPort == 0 || !WriteConfig()) {
            m_error = QStringLiteral("no free port or the configuration cannot be written");
            return false;
        }
        const QStringList arguments = {QStringLiteral("-d"), QStringLiteral("-c"), ConfigPath()};
        m_error.clear();
        if (ServerProcess::Start(m_process, Program(), arguments, m_nPort, kLifetimeSeconds, kStartMs, &m_error))
            return true;
        // Never started: the reason is in m_error already.
        if (!m_error.isEmpty())
            return false;
        Stop();
        QFile log(m_dir.filePath(QStringLiteral("tinyproxy.log")));
        m_error = QStringLiteral("tinyproxy did not start: ")
            + QString::fromLocal8Bit(m_process.readAll() + (log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray()));
        return false;
    }

    QString ConfigPath() const { return m_dir.filePath(QStringLiteral("tinyproxy.conf")); }

    bool WriteConfig() const
    {
        const QByteArray dir = m_dir.path().toLocal8Bit();
        QByteArray config = "Port " + QByteArray::number(m_nPort) + "\n"
                            "Listen 127.0.0.1\n"
                            "Timeout 30\n"
                            "MaxClients 16\n"
                            "Allow 127.0.0.1\n"
                            "DisableViaHeader Yes\n"
                            "LogLevel Info\n"
                            "LogFile \"" + dir + "/tinyproxy.log\"\n"
                            "PidFile \"" + dir + "/tinyproxy.pid\"\n"
                            "Upstream socks5 127.0.0.1:" + QByteArray::number(m_relay.serverPort()) + "\n";
        if (!m_user.isEmpty())
            config += "BasicAuth " + m_user + ' ' + m_password + '\n';
        QFile file(ConfigPath());
        return file.open(QIODevice::WriteOnly) && file.write(config) == config.size();
    }

    QTemporaryDir m_dir;
    QProcess m_process;
    SocksLoopbackRelay m_relay;
    QByteArray m_user;
    QByteArray m_password;
    QString m_error;
    quint16 m_nPort = 0;
};

// Sets http_proxy, https_proxy and no_proxy for the life of the object (Qt
// reads them at every request) and puts back what was there before.
class ProxyEnvironment
{
public:
    explicit ProxyEnvironment(const QString& proxyUrl, const QString& noProxy = QString())
    {
        Set("http_proxy", proxyUrl);
        Set("https_proxy", proxyUrl);
        Set("no_proxy", noProxy);
    }

    ~ProxyEnvironment()
    {
        for (const Saved& saved : m_saved) {
            if (saved.wasSet)
                qputenv(saved.name.constData(), saved.value);
            else
                qunsetenv(saved.name.constData());
        }
    }

    ProxyEnvironment(const ProxyEnvironment&) = delete;
    ProxyEnvironment& operator=(const ProxyEnvironment&) = delete;

private:
    struct Saved
    {
        QByteArray name;
        QByteArray value;
        bool wasSet;
    };

    void Set(const char* name, const QString& value)
    {
        m_saved.append({name, qgetenv(name), qEnvironmentVariableIsSet(name)});
        if (value.isEmpty())
            qunsetenv(name);
        else
            qputenv(name, value.toLocal8Bit());
    }

    QList<Saved> m_saved;
};
