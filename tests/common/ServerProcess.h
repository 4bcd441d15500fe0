#pragma once

// What the tests' own server programs (nginx, tinyproxy) share: a free port
// on 127.0.0.1, and a start under `timeout` that waits, bounded, until the
// program takes connections on that port, so it ends by itself even if the
// test dies first.
//
// No Q_OBJECT here on purpose, so a test can include it without moc.

#include <QElapsedTimer>
#include <QHostAddress>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>

namespace ServerProcess {

inline quint16 FreePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

// Starts `program arguments` in `process`, to be ended after lifetimeSeconds
// at the latest. True once it takes connections on port within startMs;
// false when it did not start, ended, or never listened (its output is left
// in the process for the caller's report).
inline bool Start(QProcess& process, const QString& program, const QStringList& arguments, quint16 port,
                  int lifetimeSeconds, int startMs, QString* error)
{
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("timeout"),
                  QStringList{QStringLiteral("--kill-after=5"), QString::number(lifetimeSeconds), program} + arguments);
    if (!process.waitForStarted(5000)) {
        *error = process.errorString();
        return false;
    }
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < startMs) {
        if (process.state() == QProcess::NotRunning)
            break;
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, port);
        if (probe.waitForConnected(200))
            return true;
        process.waitForFinished(100);
    }
    return false;
}

} // namespace ServerProcess
