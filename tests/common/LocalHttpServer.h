#pragma once

// A small HTTP/1.1 server on 127.0.0.1 for tests: each route answers canned
// bytes. Every answer closes its connection ("Connection: close"), so nothing
// lingers after a test; bodies are finite, so every answer ends by itself.
//
//     LocalHttpServer server;
//     server.SetRoute("/pkg/client_v2.zip", LocalHttpRoute::Ok(bytes));
//     server.SetRoute("/old.zip", LocalHttpRoute::Redirect(302, "/pkg/client_v2.zip"));
//     QVERIFY(server.Start());
//     const QString url = server.Url("/pkg/client_v2.zip");
//
// HTTPS: UseTls(certificate, key) before Start(); the certificate is whatever
// the test made (a self-signed one is fine: the server never checks clients).
//
// No Q_OBJECT here on purpose, so a test can include it without moc.

#include <QByteArray>
#include <QFile>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

struct LocalHttpRoute
{
    int status = 200;
    QByteArray reason;                            // empty: a standard phrase for the status
    QList<QPair<QByteArray, QByteArray>> headers; // sent after the status line
    QByteArray body;
    bool contentLength = true;                    // false: the body ends when the connection closes
    bool chunked = false;                         // Transfer-Encoding: chunked (no Content-Length)
    qint64 bytesPerSecond = 0;                    // > 0: trickle the body at about this rate
    qint64 dropAfter = -1;                        // >= 0: close the connection after this many body bytes
    qint64 stallAfter = -1;                       // >= 0: after this many bytes of the body as sent (chunk
                                                  // framing included) send nothing more, and
                                                  // keep the connection open until the client or the
                                                  // server ends it

    static LocalHttpRoute Ok(const QByteArray& body)
    {
        LocalHttpRoute route;
        route.body = body;
        return route;
    }

    static LocalHttpRoute Status(int status, const QByteArray& body)
    {
        LocalHttpRoute route;
        route.status = status;
        route.body = body;
        return route;
    }

    // location may be a full URL or a path on the same server.
    static LocalHttpRoute Redirect(int status, const QByteArray& location)
    {
        LocalHttpRoute route;
        route.status = status;
        route.body = "moved to " + location;
        if (!location.isEmpty())
            route.headers.append(qMakePair(QByteArray("Location"), location));
        return route;
    }
};

class LocalHttpServer : public QTcpServer
{
public:
    explicit LocalHttpServer(QObject* parent = nullptr) : QTcpServer(parent) {}

    // Both files in PEM. False when either cannot be read.
    bool UseTls(const QString& certificatePath, const QString& keyPath)
    {
        QFile certificateFile(certificatePath);
        QFile keyFile(keyPath);
        if (!certificateFile.open(QIODevice::ReadOnly) || !keyFile.open(QIODevice::ReadOnly))
            return false;
        m_certificate = QSslCertificate(certificateFile.readAll(), QSsl::Pem);
        m_key = QSslKey(keyFile.readAll(), QSsl::Rsa, QSsl::Pem);
        m_bTls = !m_certificate.isNull() && !m_key.isNull();
        return m_bTls;
    }

    bool Start() { return listen(QHostAddress::LocalHost, 0); }

    void SetRoute(const QByteArray& target, const LocalHttpRoute& route) { m_routes.insert(target, route); }

    QString Url(const QByteArray& target) const
    {
        return QStringLiteral("%1://127.0.0.1:%2%3")
            .arg(m_bTls ? QStringLiteral("https") : QStringLiteral("http"))
            .arg(serverPort())
            .arg(QString::fromLatin1(target));
    }

    // "METHOD target" of every request received so far, in order.
    QList<QByteArray> Requests() const { return m_requests; }

    int RequestCount(const QByteArray& target) const
    {
        int count = 0;
        for (const QByteArray& line : m_requests)
            count += line.endsWith(' ' + target) ? 1 : 0;
        return count;
    }

    // Protocol of the last TLS handshake that completed (UnknownProtocol if none).
    QSsl::SslProtocol LastTlsProtocol() const { return m_lastTlsProtocol; }

    // Connections whose socket is still open.
    int OpenConnections() const { return m_nOpen; }

protected:
    void incomingConnection(qintptr handle) override
    {
        QTcpSocket* socket = m_bTls ? StartTls(handle) : new QTcpSocket(this);
        if (!m_bTls && !socket->setSocketDescriptor(handle)) {
            delete socket;
            return;
        }
        Serve(socket);
    }

private:
    struct Connection
    {
        QByteArray request;
        QByteArray pending;   // bytes of the answer not yet handed to the socket
        bool answered = false;
    };

    QSslSocket* StartTls(qintptr handle)
    {
        auto* socket = new QSslSocket(this);
        socket->setSocketDescriptor(handle);
        socket->setLocalCertificate(m_certificate);
        socket->setPrivateKey(m_key);
        socket->setPeerVerifyMode(QSslSocket::VerifyNone);
        socket->setProtocol(QSsl::AnyProtocol);
        QObject::connect(socket, &QSslSocket::encrypted, this,
                         [this, socket] { m_lastTlsProtocol = socket->sessionProtocol(); });
        QObject::connect(socket, QOverload<const QList<QSslError>&>::of(&QSslSocket::sslErrors),
                         socket, [socket] { socket->ignoreSslErrors(); });
        socket->startServerEncryption();
        return socket;
    }

    void Serve(QTcpSocket* socket)
    {
        ++m_nOpen;
        auto connection = std::make_shared<Connection>();
        QObject::connect(socket, &QTcpSocket::readyRead, socket,
                         [this, socket, connection] { OnReadable(socket, connection); });
        QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        QObject::connect(socket, &QObject::destroyed, this, [this] { --m_nOpen; });
    }

    void OnReadable(QTcpSocket* socket, const std::shared_ptr<Connection>& connection)
    {
        connection->request += socket->readAll();
        if (connection->answered || !connection->request.contains("\r\n\r\n"))
            return;
        connection->answered = true;
        const QByteArray& request = connection->request;
        const QList<QByteArray> words = request.left(request.indexOf("\r\n")).split(' ');
        const QByteArray method = words.value(0);
        const QByteArray target = words.value(1);
        m_requests.append(method + ' ' + target);
        Answer(socket, connection, method, target);
    }

    void Answer(QTcpSocket* socket, const std::shared_ptr<Connection>& connection, const QByteArray& method,
                const QByteArray& target)
    {
        const LocalHttpRoute route = m_routes.value(target, LocalHttpRoute::Status(404, "no such route"));
        socket->write(Head(route));
        if (method == "HEAD") {
            socket->disconnectFromHost();
            return;
        }
        connection->pending = WireBody(route);
        if (route.stallAfter >= 0) {
            socket->write(connection->pending.left(int(route.stallAfter)));
            connection->pending.clear();
            return;
        }
        if (route.bytesPerSecond <= 0) {
            socket->write(connection->pending);
            connection->pending.clear();
            socket->disconnectFromHost();
            return;
        }
        Trickle(socket, connection, route.bytesPerSecond);
    }

    // Hands out a slice every 20 ms; the timer dies with the socket.
    static void Trickle(QTcpSocket* socket, const std::shared_ptr<Connection>& connection, qint64 bytesPerSecond)
    {
        const int slice = int(qMax<qint64>(1, bytesPerSecond / 50));
        auto* timer = new QTimer(socket);
        QObject::connect(timer, &QTimer::timeout, socket, [socket, connection, slice, timer] {
            socket->write(connection->pending.left(slice));
            connection->pending.remove(0, slice);
            if (!connection->pending.isEmpty())
                return;
            timer->stop();
            socket->disconnectFromHost();
        });
        timer->start(20);
    }

    static QByteArray Head(const LocalHttpRoute& route)
    {
        const QByteArray reason = route.reason.isEmpty() ? Reason(route.status) : route.reason;
        QByteArray head = "HTTP/1.1 " + QByteArray::number(route.status) + ' ' + reason + "\r\n";
        for (const auto& header : route.headers)
            head += header.first + ": " + header.second + "\r\n";
        if (route.chunked)
            head += "Transfer-Encoding: chunked\r\n";
        else if (route.contentLength)
            head += "Content-Length: " + QByteArray::number(route.body.size()) + "\r\n";
        return head + "Connection: close\r\n\r\n";
    }

    // The body as it goes on the wire, cut where the route drops the connection.
    static QByteArray WireBody(const LocalHttpRoute& route)
    {
        const bool dropped = route.dropAfter >= 0 && route.dropAfter < route.body.size();
        const QByteArray body = dropped ? route.body.left(int(route.dropAfter)) : route.body;
        if (!route.chunked)
            return body;
        QByteArray wire;
        const int chunk = 4096;
        for (int at = 0; at < body.size(); at += chunk) {
            const QByteArray part = body.mid(at, chunk);
            wire += QByteArray::number(part.size(), 16) + "\r\n" + part + "\r\n";
        }
        return dropped ? wire : wire + "0\r\n\r\n";
    }

    static QByteArray Reason(int status)
    {
        switch (status) {
        case 200: return "OK";
        case 300: return "Multiple Choices";
        case 301: return "Moved Permanently";
        case 302: return "Found";
        case 303: return "See Other";
        case 307: return "Temporary Redirect";
        case 308: return "Permanent Redirect";
        case 404: return "Not Found";
        case 500: return "Internal Server Error";
        default: return "Status";
        }
    }

    QHash<QByteArray, LocalHttpRoute> m_routes;
    QList<QByteArray> m_requests;
    QSslCertificate m_certificate;
    QSslKey m_key;
    QSsl::SslProtocol m_lastTlsProtocol = QSsl::UnknownProtocol;
    bool m_bTls = false;
    int m_nOpen = 0;
};
