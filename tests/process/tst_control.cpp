#include "InstallDir.h"
#include "PlatformProcess.h"
#include "ProcessControl.h"
#include "StandinProcess.h"

#include <QCoreApplication>
#include <QDir>
#include <QtTest>

#include <csignal>

using namespace Update;
using StandinTest::CStandinGroup;
using StandinTest::StandinPath;
using TestSupport::InstallDir;

namespace {

const QString kClient = QStringLiteral("Corvel.exe");
const QString kClientLower = QStringLiteral("corvel.exe");
const QString kNotifier = QStringLiteral("ZoRezivirArerur.exe");

QList<qint64> PidsNamed(const QString& name)
{
    QList<qint64> pids;
    for (const Platform::ProcessEntry& entry : Platform::ListProcesses()) {
        if (QString::fromLocal8Bit(entry.exeName.c_str()) == name)
            pids.append(entry.pid);
    }
    return pids;
}

// How a row chooses the id it passes.
enum PidKind { LiteralPid, StandinPid, OtherStandinPid, EndedPid };

} // namespace

class TestProcessControl : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void killByName_data();
    void killByName();
    void killByNameEndsOnlyTheFirstListed();
    void killById_data();
    void killById();
    void isProcessRunning_data();
    void isProcessRunning();
    void startClient_data();
    void startClient();

private:
    int ChoosePid(PidKind kind, int literal, QProcess* standin, QProcess* other);
    int StartAndEndStandin();
    QString Install(const QString& folder, const QString& exeName);
    bool EnterInstallation();
    QString m_strInstallation; // what the pieces are told the installation is

    std::unique_ptr<InstallDir> m_pDir;
    std::unique_ptr<CStandinGroup> m_pStandins;
    QString m_strLogPath;
    QList<qint64> m_detached;
};

void TestProcessControl::init()
{
    m_pDir = std::make_unique<InstallDir>();
    QVERIFY(m_pDir->isValid());
    m_strLogPath = m_pDir->filePath(QStringLiteral("standin.log"));
    m_pStandins = std::make_unique<CStandinGroup>(m_strLogPath);
}

void TestProcessControl::cleanup()
{
    // Clients started detached are not our children: end them by id, but
    // only while that id still names a client.
    for (qint64 pid : m_detached) {
        if (IsProcessRunning(kClient, int(pid)))
            KillProcessById(int(pid));
    }
    m_detached.clear();
    m_pStandins.reset();
    qunsetenv("STANDIN_LOG");
    qunsetenv("STANDIN_SECONDS");
    m_pDir.reset();
}

// A copy of the stand-in in a folder below the temporary one; its path.
QString TestProcessControl::Install(const QString& folder, const QString& exeName)
{
    const QString path = m_pDir->filePath(folder + QLatin1Char('/') + exeName);
    if (!QDir(m_pDir->path()).mkpath(folder) || !QFile::copy(StandinPath(exeName), path))
        return QString();
    return path;
}

// The folder "installation" as the installation the pieces are given.
bool TestProcessControl::EnterInstallation()
{
    m_strInstallation = m_pDir->filePath(QStringLiteral("installation"));
    return QDir(m_pDir->path()).mkpath(QStringLiteral("installation"));
}

int TestProcessControl::StartAndEndStandin()
{
    QProcess* gone = m_pStandins->Start(StandinPath(kClient));
    if (!gone)
        return -1;
    const int pid = int(gone->processId());
    gone->kill();
    gone->waitForFinished(5000);
    return pid;
}

int TestProcessControl::ChoosePid(PidKind kind, int literal, QProcess* standin, QProcess* other)
{
    switch (kind) {
    case StandinPid: return int(standin->processId());
    case OtherStandinPid: return int(other->processId());
    case EndedPid: return StartAndEndStandin();
    case LiteralPid: break;
    }
    return literal;
}

void TestProcessControl::killByName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("ours");  // our notifier's folder below the temporary one; "link": the installation's
    QTest::addColumn<QString>("other"); // another installation's notifier, empty: none
    QTest::addColumn<bool>("killed");

    const QString inst = QStringLiteral("installation");
    QTest::newRow("exact notifier name, another installation's beside it") << kNotifier << inst << "other" << true;
    QTest::newRow("letter case differs") << QStringLiteral("zorezivirarerur.exe") << inst << QString() << false;
    QTest::newRow("name cut to the kernel's 15 characters") << QStringLiteral("ZoRezivirArerur") << inst << QString()
                                                            << false;
    QTest::newRow("client name against its letter-case variant") << kClient << inst << QString() << false;
    QTest::newRow("empty name") << QString() << inst << QString() << false;
    QTest::newRow("ours in a folder below, another in a folder named like the installation and more")
        << kNotifier << "installation/sub" << "installation2/bin" << true;
    QTest::newRow("ours three folders below, another in the folder above") << kNotifier << "installation/a/b/c" << "."
                                                                           << true;
    QTest::newRow("installation folder entered through a link") << kNotifier << "link" << "other" << true;
}

// Another installation's notifier, started first and so usually listed
// first, keeps running while ours ends.
void TestProcessControl::killByName()
{
    QFETCH(QString, name);
    QFETCH(QString, ours);
    QFETCH(QString, other);
    QFETCH(bool, killed);

    QVERIFY(EnterInstallation());
    if (ours == QLatin1String("link")) {
        QVERIFY(QFile::link(m_strInstallation, m_pDir->filePath(ours)));
        m_strInstallation = m_pDir->filePath(ours);
        ours = QStringLiteral("installation");
    }
    QProcess* otherNotifier = other.isEmpty() ? nullptr : m_pStandins->Start(Install(other, kNotifier));
    QProcess* notifier = m_pStandins->Start(Install(ours, kNotifier));
    QProcess* lower = m_pStandins->Start(Install(QStringLiteral("installation"), kClientLower));
    QVERIFY(notifier && lower && (other.isEmpty() || otherNotifier));

    QCOMPARE(KillFirstProcessByName(name, m_strInstallation), killed);
    QVERIFY(killed ? CStandinGroup::EndedByKill(notifier) : CStandinGroup::StillRunning(notifier));
    QVERIFY2(!KillFirstProcessByName(name, m_strInstallation), "with ours gone, no other is taken instead");
    QVERIFY(CStandinGroup::StillRunning(lower) && (!otherNotifier || CStandinGroup::StillRunning(otherNotifier)));
}

void TestProcessControl::killByNameEndsOnlyTheFirstListed()
{
    QVERIFY(EnterInstallation());
    const QString notifierPath = Install(QStringLiteral("installation"), kNotifier);
    QProcess* one = m_pStandins->Start(notifierPath);
    QProcess* two = m_pStandins->Start(notifierPath);
    QVERIFY(one && two);
    // The test runs apart from other tests' processes (own process-id
    // namespace, or the shared lock where there is none).
    const QList<qint64> listed = PidsNamed(kNotifier);
    QCOMPARE(listed.size(), 2);
    QProcess* first = listed.first() == one->processId() ? one : two;
    QProcess* second = first == one ? two : one;

    QVERIFY(KillFirstProcessByName(kNotifier, m_strInstallation));
    QVERIFY(CStandinGroup::EndedByKill(first));
    QVERIFY(CStandinGroup::StillRunning(second));
    // The survivor is found once the first has gone.
    QVERIFY(KillFirstProcessByName(kNotifier, m_strInstallation));
    QVERIFY(CStandinGroup::EndedByKill(second));
}

void TestProcessControl::killById_data()
{
    QTest::addColumn<bool>("clientOnly"); // KillClientProcess rather than KillProcessById
    QTest::addColumn<QString>("standin");  // what runs under StandinPid
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("literal");
    QTest::addColumn<bool>("expectKilled");

    for (bool clientOnly : {false, true}) {
        const char* prefix = clientOnly ? "client: " : "any: ";
        QTest::addRow("%s0 would be our process group", prefix) << clientOnly << kClient << int(LiteralPid) << 0 << false;
        QTest::addRow("%s-1 would be every process", prefix) << clientOnly << kClient << int(LiteralPid) << -1 << false;
        QTest::addRow("%sprocess that has ended", prefix) << clientOnly << kClient << int(EndedPid) << 0 << false;
        QTest::addRow("%srunning client", prefix) << clientOnly << kClient << int(StandinPid) << 0 << true;
    }
    QTest::newRow("client: launch id reused by another program")
        << true << kNotifier << int(StandinPid) << 0 << false;
    QTest::newRow("client: letter-case variant of the client's name")
        << true << kClientLower << int(StandinPid) << 0 << false;
}

void TestProcessControl::killById()
{
    QFETCH(bool, clientOnly);
    QFETCH(QString, standin);
    QFETCH(int, kind);
    QFETCH(int, literal);
    QFETCH(bool, expectKilled);

    QProcess* client = m_pStandins->Start(StandinPath(standin));
    QProcess* sibling = m_pStandins->Start(StandinPath(kNotifier));
    QVERIFY(client && sibling);
    const int pid = ChoosePid(PidKind(kind), literal, client, sibling);

    QCOMPARE(clientOnly ? KillClientProcess(pid) : KillProcessById(pid), expectKilled);
    if (expectKilled)
        QVERIFY(CStandinGroup::EndedByKill(client) && client->exitCode() == SIGKILL);
    else
        QVERIFY(CStandinGroup::StillRunning(client));
    QVERIFY2(CStandinGroup::StillRunning(sibling), "a stand-in in our process group survives");
}

void TestProcessControl::isProcessRunning_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("literal");
    QTest::addColumn<bool>("expected");

    QTest::newRow("client under its id") << kClient << int(StandinPid) << 0 << true;
    QTest::newRow("client name, another process's id") << kClient << int(OtherStandinPid) << 0 << false;
    QTest::newRow("notifier name, the client's id") << kNotifier << int(StandinPid) << 0 << false;
    QTest::newRow("letter-case variant of the name") << kClientLower << int(StandinPid) << 0 << false;
    QTest::newRow("id never set") << kClient << int(LiteralPid) << -1 << false;
    QTest::newRow("id 0") << kClient << int(LiteralPid) << 0 << false;
    QTest::newRow("id that has ended") << kClient << int(EndedPid) << 0 << false;
}

void TestProcessControl::isProcessRunning()
{
    QFETCH(QString, name);
    QFETCH(int, kind);
    QFETCH(int, literal);
    QFETCH(bool, expected);

    QProcess* client = m_pStandins->Start(StandinPath(kClient));
    QProcess* other = m_pStandins->Start(StandinPath(kNotifier));
    QVERIFY(client && other);

    QCOMPARE(IsProcessRunning(name, ChoosePid(PidKind(kind), literal, client, other)), expected);
}

void TestProcessControl::startClient_data()
{
    QTest::addColumn<QString>("running"); // stand-in running before the call
    QTest::addColumn<int>("kind");
    QTest::addColumn<bool>("expectStart");

    QTest::newRow("client id never set") << QString() << int(LiteralPid) << true;
    QTest::newRow("client runs under the launch id") << kClient << int(StandinPid) << false;
    QTest::newRow("client runs under another id") << kClient << int(OtherStandinPid) << true;
    QTest::newRow("letter-case variant under the launch id") << kClientLower << int(StandinPid) << true;
    QTest::newRow("launch id has ended") << QString() << int(EndedPid) << true;
}

void TestProcessControl::startClient()
{
    QFETCH(QString, running);
    QFETCH(int, kind);
    QFETCH(bool, expectStart);

    // The installation folder holds its own copy of the client.
    const QString installed = m_pDir->filePath(kClient);
    QVERIFY(QFile::copy(StandinPath(kClient), installed));
    qputenv("STANDIN_LOG", QFile::encodeName(m_strLogPath));
    qputenv("STANDIN_SECONDS", "30");

    QProcess* standin = running.isEmpty() ? nullptr : m_pStandins->Start(StandinPath(running));
    QProcess* other = m_pStandins->Start(StandinPath(kNotifier));
    QVERIFY(other && (standin || running.isEmpty()));
    const int pid = ChoosePid(PidKind(kind), -1, standin, other);
    const QList<qint64> before = StandinTest::LoggedPids(m_strLogPath);

    QCOMPARE(StartClientUnlessRunning(pid, m_pDir->path()), expectStart);

    const StandinTest::LogLine started =
        StandinTest::WaitForNewLogLine(m_strLogPath, before, expectStart ? 10000 : 500);
    if (started.pid)
        m_detached.append(started.pid);
    if (!expectStart) {
        QCOMPARE(started.pid, 0);
        return;
    }
    QVERIFY(started.pid);
    QCOMPARE(started.arguments, QStringList{QStringLiteral("StopQueryVer")});
    QCOMPARE(QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(started.pid)), installed);
}

QTEST_GUILESS_MAIN(TestProcessControl)
#include "tst_control.moc"
