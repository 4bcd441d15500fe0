#pragma once

// Helpers for the update window's tests: the shared installation folder, the
// event loop run as start-up runs it, what the window writes to the log, an
// answerer for the modal notice boxes it opens, and a server that holds a
// download wherever the test leaves it.

#include "InstallDir.h"
#include "LocalHttpServer.h"
#include "LogCapture.h"

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QPointer>
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
    QStringList progress;
    QStringList notices;

private:
    // The window writes these on the GUI thread only.
    LogCapture m_capture{[this](QtMsgType, const QString& message) {
        if (QThread::currentThread() != qApp->thread() || !message.endsWith(QLatin1Char(']')))
            return;
        if (message.startsWith(QLatin1String("progress[")))
            progress << message.mid(9, message.size() - 10);
        else if (message.startsWith(QLatin1String("notice[")))
            notices << message.mid(7, message.size() - 8);
    }};
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

// The window tests' name for a held LocalHttpServer.
class HeldServer : public LocalHttpServer
{
public:
    HeldServer()
    {
        Hold();
        Start();
    }
    int connections() const { return HeldConnections(); }
    QString url(const QString& path) const { return Url('/' + path.toLatin1()); }
    static QByteArray Head(qint64 size) { return OkHead(size); }
};

} // namespace WindowTest
