#pragma once

// Helpers for the update window's tests: the shared installation folder, an
// answerer for the modal notice boxes the window opens, and a server that
// never answers.

#include "InstallDir.h"

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QLabel>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <functional>

namespace WindowTest {

using TestSupport::InstallDir;

// Presses a key on every modal box that appears (keys in turn, the last one
// repeating) and records what it said. A box that does not close on its key
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

    // Runs from the event loop of each box as it appears, before its key.
    void setOnBox(std::function<void()> onBox) { m_onBox = std::move(onBox); }

    int boxes() const { return m_titles.size(); }
    // The most boxes that were ever open at once.
    int mostOpen() const { return m_nMostOpen; }
    bool unanswered() const { return m_unanswered; }
    QStringList titles() const { return m_titles; }
    QStringList texts() const { return m_texts; }

    // Whether a box said this.
    bool said(const QString& text) const
    {
        for (const QString& shown : m_texts) {
            if (shown.contains(text))
                return true;
        }
        return false;
    }

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
        if (!modal || !modal->isVisible())
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
        QStringList labels;
        for (const QLabel* label : modal->findChildren<QLabel*>())
            labels << label->text();
        m_texts << labels.join(QLatin1Char('\n'));
        int open = 0;
        for (QWidget* widget : QApplication::topLevelWidgets())
            open += widget->isVisible() && qobject_cast<QDialog*>(widget) ? 1 : 0;
        m_nMostOpen = qMax(m_nMostOpen, open);
        if (m_onBox)
            QTimer::singleShot(0, this, m_onBox);
    }

    QList<int> m_keys;
    QTimer m_timer;
    QList<Box> m_seen;
    std::function<void()> m_onBox;
    QStringList m_titles;
    QStringList m_texts;
    bool m_unanswered = false;
    int m_nMostOpen = 0;
};

// A server on 127.0.0.1 that takes connections and never answers, so a
// download started against it stays running until it is stopped.
class SilentServer : public QTcpServer
{
public:
    SilentServer()
    {
        listen(QHostAddress::LocalHost, 0);
        connect(this, &QTcpServer::newConnection, this, [this]() {
            while (QTcpSocket* socket = nextPendingConnection()) {
                socket->setParent(this);
                ++m_nConnections;
            }
        });
    }

    int connections() const { return m_nConnections; }

    QString url(const QString& path) const
    {
        return QStringLiteral("http://127.0.0.1:%1/%2").arg(serverPort()).arg(path);
    }

private:
    int m_nConnections = 0;
};

} // namespace WindowTest
