#pragma once

// Starting and reading the stand-in programs of tests/standins from QtTest.
// Link the test to `update_standins` for UPDATE_STANDIN_DIR.

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QtTest>

#include <memory>
#include <vector>

namespace StandinTest {

inline QString StandinPath(const QString& fileName)
{
    return QStringLiteral(UPDATE_STANDIN_DIR "/") + fileName;
}

// One line of STANDIN_LOG: who started, under which name, with what.
struct LogLine
{
    qint64 pid = 0;
    QString name;
    QStringList arguments;
};

inline QList<LogLine> ReadLog(const QString& logPath)
{
    QList<LogLine> lines;
    QFile file(logPath);
    if (!file.open(QIODevice::ReadOnly))
        return lines;
    for (const QByteArray& raw : file.readAll().split('\n')) {
        const QStringList fields = QString::fromLocal8Bit(raw).split(QLatin1Char('\t'));
        if (fields.size() < 2)
            continue;
        lines.append({fields[0].toLongLong(), fields[1], fields.mid(2)});
    }
    return lines;
}

// Waits, at most timeoutMs, for a log line that `accept` takes; returns it,
// or a line with pid 0.
template <typename Accept>
LogLine WaitForLogLine(const QString& logPath, Accept accept, int timeoutMs = 10000)
{
    QDeadlineTimer deadline(timeoutMs);
    do {
        for (const LogLine& line : ReadLog(logPath)) {
            if (accept(line))
                return line;
        }
        QTest::qWait(20);
    } while (!deadline.hasExpired());
    return {};
}

// A line from a process other than those in `known`.
inline LogLine WaitForNewLogLine(const QString& logPath, const QList<qint64>& known, int timeoutMs = 10000)
{
    return WaitForLogLine(logPath, [&known](const LogLine& line) { return !known.contains(line.pid); }, timeoutMs);
}

inline QList<qint64> LoggedPids(const QString& logPath)
{
    QList<qint64> pids;
    for (const LogLine& line : ReadLog(logPath))
        pids.append(line.pid);
    return pids;
}

// Stand-ins started as children; every one is killed and reaped when this
// goes, so nothing outlives the test that started it.
class CStandinGroup
{
public:
    explicit CStandinGroup(const QString& logPath, int secondsToLive = 30)
        : m_strLogPath(logPath)
    {
        m_env = QProcessEnvironment::systemEnvironment();
        m_env.insert(QStringLiteral("STANDIN_LOG"), logPath);
        m_env.insert(QStringLiteral("STANDIN_SECONDS"), QString::number(secondsToLive));
    }
    ~CStandinGroup()
    {
        for (const auto& process : m_children) {
            if (process->state() != QProcess::NotRunning) {
                process->kill();
                process->waitForFinished(5000);
            }
        }
    }

    // Starts the program and returns once it has logged its start (at most
    // 10 s), so it runs its own code, not a half-made fork of ours.
    QProcess* Start(const QString& program, const QStringList& arguments = {})
    {
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(m_env);
        process->setProcessChannelMode(QProcess::ForwardedChannels);
        process->start(program, arguments);
        if (!process->waitForStarted(10000))
            return nullptr;
        const qint64 pid = process->processId();
        m_children.push_back(std::move(process));
        const LogLine line = WaitForLogLine(m_strLogPath, [pid](const LogLine& l) { return l.pid == pid; });
        return line.pid == pid ? m_children.back().get() : nullptr;
    }

    // Whether the child is still running after waiting briefly for an end
    // that should not come.
    static bool StillRunning(QProcess* process, int graceMs = 300)
    {
        return !process->waitForFinished(graceMs) && process->state() == QProcess::Running;
    }

    // Whether the child ended by a signal within 5 s. Its end may have been
    // seen already, by an event loop that ran meanwhile.
    static bool EndedByKill(QProcess* process)
    {
        const bool ended = process->state() == QProcess::NotRunning || process->waitForFinished(5000);
        return ended && process->exitStatus() == QProcess::CrashExit;
    }

private:
    QString m_strLogPath;
    QProcessEnvironment m_env;
    std::vector<std::unique_ptr<QProcess>> m_children;
};

} // namespace StandinTest
