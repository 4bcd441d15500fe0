#pragma once

// A small HTTP/1.1 server on 127.0.0.1 for tests: each route answers canned
// bytes. Every answer closes its connection ("Connection: close"), so nothing
// lingers after a test; bodies are finite, so every answer ends by itself,
// except an endless one, which ends when the client or the server goes.
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
// Resuming downloads: a route with ranges = Ranges::Honour answers
// "Range: bytes=<n>-" (or "<n>-<m>") with 206 and Content-Range, a start
// beyond the end with 416, and an If-Range that names neither its etag nor its
// lastModified with the whole body. SetRouteSequence serves a list of answers
// in turn (a drop, then a 503, then a changed file ...); BodyBytesSent counts
// what all answers handed out, and RequestHeader shows what each request asked.
//
//     server.SetRouteSequence("/pkg/client_v2.zip",
//                             {LocalHttpRoute::Resumable(bytes, "\"v1\"").DroppedAfter(bytes.size() / 2),
//                              LocalHttpRoute::Unavailable("2"),
//                              LocalHttpRoute::Resumable(bytes, "\"v1\"")});
//
// Held: Hold() before Start(), and the server answers nothing by itself; it
// keeps every connection and hands them only what Send() gives, when the test
// says so, so a download against it stays wherever the test leaves it.
//
// No Q_OBJECT here on purpose, so a test can include it without moc.

#include <QByteArray>
#include <QFile>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QPointer>
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
    bool trickleHead = false;                     // the head goes at bytesPerSecond too
    bool endless = false;                         // a chunked body that never ends: as fast as the client
                                                  // takes it, or at bytesPerSecond

    // How the route meets a Range request (see the top of the file).
    enum class Ranges {
        Ignore,        // no Accept-Ranges; every answer is the whole body
        Honour,        // Accept-Ranges: bytes, and 206/416 as asked
        AdvertiseOnly, // Accept-Ranges: bytes, yet every answer is the whole body
    };
    Ranges ranges = Ranges::Ignore;
    QByteArray etag;                              // sent as ETag when set
    QByteArray lastModified;                      // sent as Last-Modified when set

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

    // The body with ranges honoured and an ETag.
    static LocalHttpRoute Resumable(const QByteArray& body, const QByteArray& etag)
    {
        LocalHttpRoute route = Ok(body);
        route.ranges = Ranges::Honour;
        route.etag = etag;
        return route;
    }

    // 503 with the given Retry-After (none when empty).
    static LocalHttpRoute Unavailable(const QByteArray& retryAfter)
    {
        LocalHttpRoute route = Status(503, "busy");
        route.reason = "Service Unavailable";
        if (!retryAfter.isEmpty())
            route.headers.append(qMakePair(QByteArray("Retry-After"), retryAfter));
        return route;
    }

    // This route, closing the connection after bytes of the answer's body.
    LocalHttpRoute DroppedAfter(qint64 bytes) const
    {
        LocalHttpRoute route = *this;
        route.dropAfter = bytes;
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

    void Hold() { m_bHold = true; }

    // Connections a held server took.
    int HeldConnections() const { return m_held.size(); }

    // Hands bytes to every held connection still open.
    void Send(const QByteArray& bytes)
    {
        for (QTcpSocket* socket : OpenHeld()) {
            socket->write(bytes);
            socket->flush();
        }
    }

    void HangUp()
    {
        for (QTcpSocket* socket : OpenHeld())
            socket->disconnectFromHost();
    }

    // The head of a 200 answer with a body of size bytes, for Send().
    static QByteArray OkHead(qint64 size)
    {
        return "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(size) + "\r\nConnection: close\r\n\r\n";
    }

    void SetRoute(const QByteArray& target, const LocalHttpRoute& route) { m_routes.insert(target, route); }

    // Each request for target takes the next answer of routes; the last one
    // keeps answering. Takes precedence over SetRoute for that target.
    void SetRouteSequence(const QByteArray& target, const QList<LocalHttpRoute>& routes)
    {
        m_sequences.insert(target, routes);
    }

    // Bytes of answer bodies handed to the sockets so far, over all requests
    // (chunk framing included for chunked routes; heads not counted unless trickled).
    qint64 BodyBytesSent() const { return m_nBodyBytesSent; }

    // The value of header name (any letter case) in request number index of
    // Requests(); empty when it had none.
    QByteArray RequestHeader(int index, const QByteArray& name) const
    {
        return HeaderOf(m_requestHeads.value(index), name);
    }

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
        if (m_bHold)
            m_held << socket;
        else
            Serve(socket);
    }

private:
    struct Connection
    {
        QByteArray request;
        QByteArray pending;   // bytes of the answer not yet handed to the socket
        bool answered = false;
    };

    QList<QTcpSocket*> OpenHeld() const
    {
        QList<QTcpSocket*> open;
        for (const QPointer<QTcpSocket>& socket : m_held) {
            if (socket && socket->state() == QAbstractSocket::ConnectedState)
                open << socket.data();
        }
        return open;
    }

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
        m_requestHeads.append(request.left(request.indexOf("\r\n\r\n")));
        Answer(socket, connection, method, target);
    }

    void Answer(QTcpSocket* socket, const std::shared_ptr<Connection>& connection, const QByteArray& method,
                const QByteArray& target)
    {
        const LocalHttpRoute route = WithRanges(RouteFor(target), connection->request);
        if (route.endless) {
            socket->write(Head(route));
            Endless(socket, route.bytesPerSecond, &m_nBodyBytesSent);
            return;
        }
        if (route.trickleHead) {
            connection->pending = Head(route) + WireBody(route);
            Trickle(socket, connection, route.bytesPerSecond, &m_nBodyBytesSent);
            return;
        }
        socket->write(Head(route));
        if (method == "HEAD") {
            socket->disconnectFromHost();
            return;
        }
        connection->pending = WireBody(route);
        if (route.stallAfter >= 0) {
            m_nBodyBytesSent += socket->write(connection->pending.left(int(route.stallAfter)));
            connection->pending.clear();
            return;
        }
        if (route.bytesPerSecond <= 0) {
            m_nBodyBytesSent += socket->write(connection->pending);
            connection->pending.clear();
            socket->disconnectFromHost();
            return;
        }
        Trickle(socket, connection, route.bytesPerSecond, &m_nBodyBytesSent);
    }

    // Hands out a slice every 20 ms; the timer dies with the socket.
    static void Trickle(QTcpSocket* socket, const std::shared_ptr<Connection>& connection, qint64 bytesPerSecond,
                        qint64* sent)
    {
        const int slice = int(qMax<qint64>(1, bytesPerSecond / 50));
        auto* timer = new QTimer(socket);
        QObject::connect(timer, &QTimer::timeout, socket, [socket, connection, slice, timer, sent] {
            *sent += socket->write(connection->pending.left(slice));
            connection->pending.remove(0, slice);
            if (!connection->pending.isEmpty())
                return;
            timer->stop();
            socket->disconnectFromHost();
        });
        timer->start(20);
    }

    // Chunks for ever: a few queued ahead of the socket, or a slice every 20 ms.
    static void Endless(QTcpSocket* socket, qint64 bytesPerSecond, qint64* sent)
    {
        if (bytesPerSecond <= 0) {
            const QByteArray chunk = "10000\r\n" + QByteArray(0x10000, 'e') + "\r\n";
            auto* tls = qobject_cast<QSslSocket*>(socket);
            auto feed = [socket, tls, chunk, sent] {
                // A TLS socket hands what it is given on to its encrypted buffer at once.
                const auto queued = [socket, tls] {
                    return socket->bytesToWrite() + (tls ? tls->encryptedBytesToWrite() : 0);
                };
                for (int i = 0; i < 16 && socket->state() == QAbstractSocket::ConnectedState
                                && queued() < 4 * chunk.size(); ++i)
                    *sent += socket->write(chunk);
            };
            QObject::connect(socket, &QTcpSocket::bytesWritten, socket, feed);
            if (tls)
                QObject::connect(tls, &QSslSocket::encryptedBytesWritten, socket, feed);
            feed();
            return;
        }
        const int slice = int(qMax<qint64>(1, bytesPerSecond / 50));
        const QByteArray chunk = QByteArray::number(slice, 16) + "\r\n" + QByteArray(slice, 'e') + "\r\n";
        auto* timer = new QTimer(socket);
        QObject::connect(timer, &QTimer::timeout, socket, [socket, chunk, sent] {
            if (socket->bytesToWrite() < 1024 * 1024)
                *sent += socket->write(chunk);
        });
        timer->start(20);
    }

    LocalHttpRoute RouteFor(const QByteArray& target)
    {
        const auto sequence = m_sequences.find(target);
        if (sequence != m_sequences.end() && !sequence->isEmpty())
            return sequence->size() > 1 ? sequence->takeFirst() : sequence->first();
        return m_routes.value(target, LocalHttpRoute::Status(404, "no such route"));
    }

    static QByteArray HeaderOf(const QByteArray& head, const QByteArray& name)
    {
        for (const QByteArray& line : head.split('\n')) {
            const int colon = line.indexOf(':');
            if (colon > 0 && line.left(colon).trimmed().compare(name, Qt::CaseInsensitive) == 0)
                return line.mid(colon + 1).trimmed();
        }
        return QByteArray();
    }

    // The answer as the route's range handling makes it for this request.
    static LocalHttpRoute WithRanges(LocalHttpRoute route, const QByteArray& request)
    {
        if (!route.etag.isEmpty())
            route.headers.append(qMakePair(QByteArray("ETag"), route.etag));
        if (!route.lastModified.isEmpty())
            route.headers.append(qMakePair(QByteArray("Last-Modified"), route.lastModified));
        if (route.ranges == LocalHttpRoute::Ranges::Ignore)
            return route;
        route.headers.append(qMakePair(QByteArray("Accept-Ranges"), QByteArray("bytes")));
        const QByteArray range = HeaderOf(request, "Range");
        if (route.ranges != LocalHttpRoute::Ranges::Honour || route.status != 200 || !range.startsWith("bytes="))
            return route;
        const QByteArray ifRange = HeaderOf(request, "If-Range");
        if (!ifRange.isEmpty() && ifRange != route.etag && ifRange != route.lastModified)
            return route;
        // One range, "<first>-" or "<first>-<last>"; anything else gets the whole body.
        const QList<QByteArray> bounds = range.mid(6).split('-');
        bool firstOk = false, lastOk = false;
        const qint64 size = route.body.size();
        const qint64 first = bounds.value(0).toLongLong(&firstOk);
        const bool toEnd = bounds.value(1).isEmpty();
        qint64 last = toEnd ? qMax(first, size - 1) : bounds.value(1).toLongLong(&lastOk);
        if (bounds.size() != 2 || !firstOk || (!toEnd && !lastOk) || last < first)
            return route;
        if (first >= size) {
            route.status = 416;
            route.reason = "Range Not Satisfiable";
            route.headers.append(qMakePair(QByteArray("Content-Range"), "bytes */" + QByteArray::number(size)));
            route.body.clear();
            return route;
        }
        last = qMin(last, size - 1);
        route.status = 206;
        route.reason = "Partial Content";
        route.headers.append(qMakePair(QByteArray("Content-Range"), "bytes " + QByteArray::number(first) + '-'
                                           + QByteArray::number(last) + '/' + QByteArray::number(size)));
        route.body = route.body.mid(int(first), int(last - first + 1));
        return route;
    }

    static QByteArray Head(const LocalHttpRoute& route)
    {
        const QByteArray reason = route.reason.isEmpty() ? Reason(route.status) : route.reason;
        QByteArray head = "HTTP/1.1 " + QByteArray::number(route.status) + ' ' + reason + "\r\n";
        for (const auto& header : route.headers)
            head += header.first + ": " + header.second + "\r\n";
        if (route.chunked || route.endless)
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
    QHash<QByteArray, QList<LocalHttpRoute>> m_sequences;
    QList<QByteArray> m_requests;
    QList<QByteArray> m_requestHeads;
    qint64 m_nBodyBytesSent = 0;
    QSslCertificate m_certificate;
    QSslKey m_key;
    QSsl::SslProtocol m_lastTlsProtocol = QSsl::UnknownProtocol;
    bool m_bTls = false;
    bool m_bHold = false;
    QList<QPointer<QTcpSocket>> m_held;
    int m_nOpen = 0;
};
