#include "PlatformProcess.h"
#include "StandinProcess.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <climits>

#include <sys/wait.h>
#include <unistd.h>

using namespace Update::Platform;
using StandinTest::CStandinGroup;
using StandinTest::StandinPath;

namespace {

ProcessEntry EntryOf(qint64 pid)
{
    for (const ProcessEntry& entry : ListProcesses()) {
        if (entry.pid == pid)
            return entry;
    }
    return {};
}

QString NameOf(qint64 pid)
{
    return QString::fromLocal8Bit(EntryOf(pid).exeName.c_str());
}

bool IsZombie(pid_t pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = stat.readAll();
    return text.mid(text.lastIndexOf(')') + 2, 1) == "Z";
}

} // namespace

class TestPlatformProcess : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void listing_data();
    void listing();
    void listingIsAscendingAndHoldsUs();
    void zombieIsNotListed();
    void otherUsersProcessIsNamedFromItsArguments();
    void refusedIds_data();
    void refusedIds();

private:
    std::unique_ptr<QTemporaryDir> m_pDir;
    std::unique_ptr<CStandinGroup> m_pStandins;
};

void TestPlatformProcess::init()
{
    m_pDir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_pDir->isValid());
    m_pStandins = std::make_unique<CStandinGroup>(m_pDir->filePath("standin.log"));
}

void TestPlatformProcess::cleanup()
{
    m_pStandins.reset();
    m_pDir.reset();
}

void TestPlatformProcess::listing_data()
{
    QTest::addColumn<QString>("standin");
    QTest::addColumn<QString>("folder"); // below the temporary folder
    QTest::addColumn<bool>("deleteFile");

    QTest::newRow("19 characters, beyond the kernel's 15-character comm") << "ZoRezivirArerur.exe" << "" << false;
    QTest::newRow("executable removed while it runs keeps its name and path")
        << "ZoRezivirArerur.exe" << "" << true;
    QTest::newRow("folder with spaces and a suffix-like name")
        << "ZoRezivirArerur.exe" << "Corvel Client (deleted)" << false;
}

void TestPlatformProcess::listing()
{
    QFETCH(QString, standin);
    QFETCH(QString, folder);
    QFETCH(bool, deleteFile);

    QVERIFY(QDir(m_pDir->path()).mkpath(folder.isEmpty() ? QStringLiteral(".") : folder));
    const QString copy = QDir(m_pDir->filePath(folder)).filePath(standin);
    QVERIFY(QFile::copy(StandinPath(standin), copy));
    const QString expectedPath = QFileInfo(copy).canonicalFilePath();
    QProcess* process = m_pStandins->Start(copy);
    QVERIFY(process);
    if (deleteFile)
        QVERIFY(QFile::remove(copy));

    const ProcessEntry entry = EntryOf(process->processId());
    QCOMPARE(QString::fromLocal8Bit(entry.exeName.c_str()), standin);
    QCOMPARE(QFile::decodeName(entry.exePath.c_str()), expectedPath);
}

void TestPlatformProcess::listingIsAscendingAndHoldsUs()
{
    const std::vector<ProcessEntry> processes = ListProcesses();
    QVERIFY(!processes.empty());
    for (size_t i = 1; i < processes.size(); ++i)
        QVERIFY2(processes[i - 1].pid < processes[i].pid, "listed by ascending id, each once");
    QCOMPARE(NameOf(QCoreApplication::applicationPid()),
             QFileInfo(QCoreApplication::applicationFilePath()).fileName());
}

void TestPlatformProcess::zombieIsNotListed()
{
    const pid_t child = fork();
    QVERIFY(child >= 0);
    if (child == 0)
        _exit(0);
    QTRY_VERIFY_WITH_TIMEOUT(IsZombie(child) || !QFile::exists(QStringLiteral("/proc/%1").arg(child)), 5000);
    const bool zombie = IsZombie(child);
    const QString name = NameOf(child);
    waitpid(child, nullptr, 0);
    if (!zombie)
        QSKIP("the child was reaped before it could be looked at");
    QVERIFY2(name.isEmpty(), qPrintable(name));
}

// Another user cannot read /proc/<pid>/exe; the name then comes from argv[0].
void TestPlatformProcess::otherUsersProcessIsNamedFromItsArguments()
{
    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    if (geteuid() != 0 || setpriv.isEmpty())
        QSKIP("needs root and setpriv to look from another user's side");
    QProcess* notifier = m_pStandins->Start(StandinPath(QStringLiteral("ZoRezivirArerur.exe")));
    QVERIFY(notifier);

    QProcess probe;
    probe.start(setpriv, {"--reuid=65534", "--regid=65534", "--clear-groups", PROCESS_LIST_PROBE});
    QVERIFY(probe.waitForFinished(10000));
    if (probe.exitCode() != 0)
        QSKIP("the probe cannot run as nobody here (build folder not readable?)");
    // Named from its arguments; its path unread, so empty.
    const QString expected = QStringLiteral("%1\tZoRezivirArerur.exe\t").arg(notifier->processId());
    QVERIFY2(QString::fromLocal8Bit(probe.readAllStandardOutput()).split('\n').contains(expected),
             qPrintable(expected));
}

void TestPlatformProcess::refusedIds_data()
{
    QTest::addColumn<qlonglong>("pid");

    QTest::newRow("0 is our own process group") << 0LL;
    QTest::newRow("-1 is every process we may signal") << -1LL;
    QTest::newRow("negative is a process group") << -static_cast<qlonglong>(getpgrp());
    QTest::newRow("2^32 wraps to 0 as pid_t") << (1LL << 32);
    QTest::newRow("0xFFFFFFFF wraps to -1 as pid_t") << 0xFFFFFFFFLL;
    QTest::newRow("lowest value") << static_cast<qlonglong>(LLONG_MIN);
}

void TestPlatformProcess::refusedIds()
{
    QFETCH(qlonglong, pid);

    QProcess* sibling = m_pStandins->Start(StandinPath(QStringLiteral("Corvel.exe")));
    QVERIFY(sibling);

    QVERIFY(!TerminateProcessById(pid));
    QVERIFY2(CStandinGroup::StillRunning(sibling), "a stand-in in our process group survives");
}

QTEST_GUILESS_MAIN(TestPlatformProcess)
#include "tst_platform.moc"
