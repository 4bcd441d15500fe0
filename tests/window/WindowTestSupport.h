#pragma once

// Helpers for the update window's tests: the shared installation folder, the
// event loop run as start-up runs it, what the window writes to the log, an
// answerer for the modal notice boxes it opens, and a server that holds a
// download wherever the test leaves it.

#include "InstallDir.h"

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <functional>

namespace WindowTest {

using TestSupport::InstallDir;

// What RunUntilExit returns when nothing ended the loop in time.
const int kNoExit = 99;

// Runs the event loop as start-up does and returns the code the window ends
// it with, or kNoExit after timeoutMs. `first` runs from inside the loop, so
// an end it causes is seen. The window's QCoreApplication::exit() while no
// QCoreApplication::exec() runs would make every later QEventLoop (a notice
// box, QSignalSpy::wait) return at once; exec() clears that again, so a test
// that ends a window outside this runs RunUntilExit(0) in its cleanup().
inline int RunUntilExit(int timeoutMs, const std::function<void()>& first = nullptr)
{
    // As at start-up: only the window ends the loop, not its last box closing.
    QApplication::setQuitOnLastWindowClosed(false);
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, [] { QCoreApplication::exit(kNoExit); });
    deadline.start(timeoutMs);
    if (first)
        QTimer::singleShot(0, &deadline, first);
    return QCoreApplication::exec();
}

// The window's background timer: its direct QTimer child of 2 seconds.
inline QTimer* BackgroundTimer(QWidget& window)
{
    for (QTimer* timer : window.findChildren<QTimer*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (timer->interval() == 2000)
            return timer;
    }
    return nullptr;
}

// What the window writes to the log while this lives, in order: every status
// text it shows ("progress[...]") and every notice box ("notice[...]"), the
// latter even for a box that could not be shown.
class WindowLog
{
public:
    WindowLog() { s_pLog = this; m_previous = qInstallMessageHandler(&WindowLog::Handle); }
    ~WindowLog() { qInstallMessageHandler(m_previous); s_pLog = nullptr; }
    WindowLog(const WindowLog&) = delete;
    WindowLog& operator=(const WindowLog&) = delete;

    QStringList progress;
    QStringList notices;

private:
    static void Handle(QtMsgType type, const QMessageLogContext& context, const QString& message)
    {
        WindowLog* log = s_pLog;
        // The window writes these on the GUI thread only.
        if (log && QThread::currentThread() == qApp->thread() && message.endsWith(QLatin1Char(']'))) {
            if (message.startsWith(QLatin1String("progress[")))
                log->progress << message.mid(9, message.size() - 10);
            else if (message.startsWith(QLatin1String("notice[")))
                log->notices << message.mid(7, message.size() - 8);
        }
        if (log && log->m_previous)
            log->m_previous(type, context, message);
    }

    static inline WindowLog* s_pLog = nullptr;
    QtMessageHandler m_previous = nullptr;
};

// Presses a key on every modal box that appears (keys in turn, the last one
// repeating) and records its title; what it said is in WindowLog. A box that does not close on its key
// is rejected after a while and marked unanswered, so no test hangs on one.
class ModalAnswerer : public QObject
{
public:
    explicit ModalAnswerer(QList<int> keys) : m_keys(std::move(keys))
    {
        m_timer.setInterval(20);
        connect(&m_timer, &QTimer::timeout, this, &ModalAnswerer::Poll);
        m_timer.start();
    }

    // Runs from the event loop of each box as it appears; that box's key
    // waits until this has returned, while any box opened on top of it is
    // answered as usual.
    void setOnBox(std::function<void()> onBox) { m_onBox = std::move(onBox); }

    int boxes() const { return m_titles.size(); }
    // The most boxes that were ever open at once.
    int mostOpen() const { return m_nMostOpen; }
    bool unanswered() const { return m_unanswered; }
    QStringList titles() const { return m_titles; }

    // Waits until `count` boxes have appeared and every one of them has
    // closed on its key (or the time is up).
    bool waitForBoxes(int count, int timeoutMs = 10000)
    {
        QElapsedTimer clock;
        clock.start();
        while ((boxes() < count || QApplication::activeModalWidget()) && clock.elapsed() < timeoutMs)
            QTest::qWait(20);
        return boxes() >= count && !QApplication::activeModalWidget();
    }

private:
    struct Box
    {
        QPointer<QWidget> widget;
        int key = Qt::Key_Escape;
        bool keyPending = true;
        QElapsedTimer sinceKey;
    };

    Box* Find(QWidget* modal)
    {
        for (Box& box : m_seen) {
            if (box.widget.data() == modal)
                return &box;
        }
        return nullptr;
    }

    void Poll()
    {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible() || modal == m_holding)
            return;
        Box* box = Find(modal);
        if (!box) {
            Record(modal);
            return;
        }
        if (box->keyPending) {
            box->keyPending = false;
            box->sinceKey.start();
            QTest::keyClick(modal, static_cast<Qt::Key>(box->key));
            return;
        }
        if (box->sinceKey.elapsed() > 2000) {
            m_unanswered = true;
            if (auto* dialog = qobject_cast<QDialog*>(modal))
                dialog->reject();
            else
                modal->close();
        }
    }

    void Record(QWidget* modal)
    {
        Box box;
        box.widget = modal;
        box.key = m_keys.value(m_titles.size(), m_keys.isEmpty() ? Qt::Key_Escape : m_keys.last());
        m_seen << box;
        m_titles << modal->windowTitle();
        int open = 0;
        for (QWidget* widget : QApplication::topLevelWidgets())
            open += widget->isVisible() && qobject_cast<QDialog*>(widget) ? 1 : 0;
        m_nMostOpen = qMax(m_nMostOpen, open);
        if (!m_onBox)
            return;
        m_holding = modal;
        QTimer::singleShot(0, this, [this]() {
            m_onBox();
            m_holding = nullptr;
        });
    }

    QList<int> m_keys;
    QTimer m_timer;
    QList<Box> m_seen;
    std::function<void()> m_onBox;
    QPointer<QWidget> m_holding; // its key waits for m_onBox
    QStringList m_titles;
    bool m_unanswered = false;
    int m_nMostOpen = 0;
};

// A server on 127.0.0.1 that takes connections and sends only what the test
// tells it to, when it tells it: a download against it stays wherever the
// test leaves it, until the download is stopped or the test hangs up.
class HeldServer : public QTcpServer
{
public:
    HeldServer()
    {
        listen(QHostAddress::LocalHost, 0);
        connect(this, &QTcpServer::newConnection, this, [this]() {
            while (QTcpSocket* socket = nextPendingConnection()) {
                socket->setParent(this);
                m_sockets << socket;
            }
        });
    }

    int connections() const { return m_sockets.size(); }

    QString url(const QString& path) const
    {
        return QStringLiteral("http://127.0.0.1:%1/%2").arg(serverPort()).arg(path);
    }

    // The head of a 200 answer with a body of `size` bytes.
    static QByteArray Head(qint64 size)
    {
        return "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(size) + "\r\nConnection: close\r\n\r\n";
    }

    // Hands bytes to every connection still open.
    void Send(const QByteArray& bytes)
    {
        for (QTcpSocket* socket : OpenSockets()) {
            socket->write(bytes);
            socket->flush();
        }
    }

    void HangUp()
    {
        for (QTcpSocket* socket : OpenSockets())
            socket->disconnectFromHost();
    }

private:
    QList<QTcpSocket*> OpenSockets() const
    {
        QList<QTcpSocket*> open;
        for (const QPointer<QTcpSocket>& socket : m_sockets) {
            if (socket && socket->state() == QAbstractSocket::ConnectedState)
                open << socket.data();
        }
        return open;
    }

    QList<QPointer<QTcpSocket>> m_sockets;
};

} // namespace WindowTest
