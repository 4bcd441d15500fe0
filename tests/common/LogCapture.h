#pragma once

// Every message of Qt's logger while this lives, in order, each also handed
// to onMessage (on the thread that wrote it) and to the handler before.
//
//     LogCapture log;
//     ...
//     QVERIFY(log.Text().contains("proxy login[host:3128]"));

#include <QMutex>
#include <QMutexLocker>
#include <QString>

#include <functional>

class LogCapture
{
public:
    using OnMessage = std::function<void(QtMsgType, const QString&)>;

    explicit LogCapture(OnMessage onMessage = nullptr) : m_onMessage(std::move(onMessage))
    {
        m_pOuter = s_pLog;
        s_pLog = this;
        m_previous = qInstallMessageHandler(&LogCapture::Handle);
    }
    ~LogCapture()
    {
        qInstallMessageHandler(m_previous);
        s_pLog = m_pOuter;
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Every message, each followed by a line break.
    QString Text() const
    {
        QMutexLocker locker(&m_mutex);
        return m_text;
    }

    void Clear()
    {
        QMutexLocker locker(&m_mutex);
        m_text.clear();
    }

private:
    // A capture made while another lives hands each message on to it too.
    static void Handle(QtMsgType type, const QMessageLogContext& context, const QString& message)
    {
        for (LogCapture* log = s_pLog; log; log = log->m_pOuter) {
            {
                QMutexLocker locker(&log->m_mutex);
                log->m_text += message + QLatin1Char('\n');
            }
            if (log->m_onMessage)
                log->m_onMessage(type, message);
            if (log->m_previous != &LogCapture::Handle) {
                if (log->m_previous)
                    log->m_previous(type, context, message);
                return;
            }
        }
    }

    static inline LogCapture* s_pLog = nullptr;
    LogCapture* m_pOuter = nullptr;
    OnMessage m_onMessage;
    QtMessageHandler m_previous = nullptr;
    mutable QMutex m_mutex;
    QString m_text;
};
