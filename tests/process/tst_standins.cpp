#include "StandinProcess.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

using StandinTest::StandinPath;

// The stand-ins are what other tests and the demo measure the updater by, so
// what they record must be right.
class TestStandins : public QObject
{
    Q_OBJECT

private slots:
    void installerRecordsItsRun_data();
    void installerRecordsItsRun();
    void standinEndsByItself();
};

void TestStandins::installerRecordsItsRun_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("expected");

    QTest::newRow("started without arguments, as the updater does") << QStringList() << QString();
    QTest::newRow("arguments kept whole, spaces included")
        << QStringList{"/S", "two words"} << QStringLiteral("arg=/S\narg=two words\n");
}

void TestStandins::installerRecordsItsRun()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, expected);

    QTemporaryDir package;
    QTemporaryDir workDir;
    QVERIFY(package.isValid() && workDir.isValid());
    const QString installer = package.filePath(QStringLiteral("setup.exe"));
    QVERIFY(QFile::copy(StandinPath(QStringLiteral("setup.exe")), installer));

    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("STANDIN_LOG"), workDir.filePath(QStringLiteral("standin.log")));
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(workDir.path());
    process.start(installer, arguments);
    QVERIFY(process.waitForStarted(10000));
    const qint64 pid = process.processId();
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);

    QFile record(package.filePath(QStringLiteral("installer-ran.txt")));
    QVERIFY2(record.open(QIODevice::ReadOnly), "written beside the installer, not in its working folder");
    QCOMPARE(QString::fromLocal8Bit(record.readAll()), QStringLiteral("cwd=%1\n").arg(workDir.path()) + expected);
    const QList<StandinTest::LogLine> log = StandinTest::ReadLog(env.value(QStringLiteral("STANDIN_LOG")));
    QCOMPARE(log.size(), 1);
    QCOMPARE(log.first().pid, pid);
    QCOMPARE(log.first().arguments, arguments);
}

void TestStandins::standinEndsByItself()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    StandinTest::CStandinGroup standins(dir.filePath(QStringLiteral("standin.log")), 1);
    QProcess* client = standins.Start(StandinPath(QStringLiteral("Corvel.exe")), {"StopQueryVer"});
    QVERIFY(client);
    QVERIFY2(client->waitForFinished(15000), "STANDIN_SECONDS bounds its life");
    QCOMPARE(client->exitStatus(), QProcess::NormalExit);
    QCOMPARE(client->exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestStandins)
#include "tst_standins.moc"
