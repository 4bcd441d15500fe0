// The [Update] switches of Localcfg.ini as the window reads them, and the
// speed beside the status: its text at its boundaries from a clock the test
// holds, and what a screen reader hears while a real download runs.

#include "CUpdate.h"
#include "DownloadSpeed.h"
#include "LocalSettings.h"
#include "WindowTestSupport.h"

#include <QLabel>
#include <QProgressBar>
#include <QRegularExpression>
#include <QtTest>

using Update::CDownloadSpeed;
using Update::CUpdate;
using WindowTest::HeldServer;
using WindowTest::InstallDir;
using WindowTest::RunUntilExit;

class TestUpdateOptions : public QObject
{
    Q_OBJECT

private slots:
    void switches_data();
    void switches();
    void speedText_data();
    void speedText();
    void speedReadWithTheStatus();
};

void TestUpdateOptions::switches_data()
{
    QTest::addColumn<QByteArray>("ini"); // "-": no Localcfg.ini
    QTest::addColumn<bool>("on");
    QTest::newRow("no file") << QByteArray("-") << false;
    QTest::newRow("no [Update] keys") << QByteArray("[Update]\nRetries=3\n") << false;
    QTest::newRow("true") << QByteArray("true") << true;
    QTest::newRow("any letter case, blanks around") << QByteArray("  True ") << true;
    QTest::newRow("1") << QByteArray("1") << true;
    QTest::newRow("yes is not a switch") << QByteArray("yes") << false;
    QTest::newRow("false") << QByteArray("false") << false;
    QTest::newRow("a list") << QByteArray("true,1") << false;
}

void TestUpdateOptions::switches()
{
    QFETCH(QByteArray, ini);
    QFETCH(bool, on);
    InstallDir dir;
    QVERIFY(dir.isValid());
    if (ini != "-") {
        const QByteArray text = ini.startsWith('[') ? ini
            : "[Update]\nRestartClient=" + ini + "\nLog=" + ini + "\nShowSpeed=" + ini + '\n';
        QVERIFY(dir.write(QStringLiteral("Localcfg.ini"), text));
    }
    const Update::CLocalSettings settings = Update::ReadLocalSettings(dir.path());
    QCOMPARE(settings.restartClient, on);
    QCOMPARE(settings.log, on);
    QCOMPARE(settings.showSpeed, on);
}

void TestUpdateOptions::speedText_data()
{
    // Counts "ms:bytes" as the download reported them, the clock when the
    // text is asked for, the size (0 or less: unknown), the text.
    QTest::addColumn<QString>("counts");
    QTest::addColumn<qint64>("now");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<QString>("text");
    const qint64 MiB = 1024 * 1024;
    QTest::newRow("nothing received yet") << "" << qint64(3000) << 10 * MiB << "calculating...";
    QTest::newRow("the first second") << "0:0 400:900000 800:1800000" << qint64(999) << 10 * MiB
                                      << "calculating...";
    QTest::newRow("one second in") << "0:0 1000:3355443" << qint64(1000) << 100 * MiB
                                   << "3.2 MB/s, 31 s left";
    QTest::newRow("unknown size") << "0:0 1000:3355443" << qint64(1000) << qint64(0) << "3.2 MB/s";
    QTest::newRow("a negative size is unknown") << "0:0 1000:3355443" << qint64(1000) << qint64(-1) << "3.2 MB/s";
    QTest::newRow("minutes and seconds") << "0:0 1000:3355443" << qint64(1000) << qint64(3355443) * 73
                                         << "3.2 MB/s, 1 min 12 s left";
    QTest::newRow("hours and minutes") << "0:0 2000:2048" << qint64(2000) << qint64(2048 + 7500 * 1024)
                                       << "1.0 KB/s, 2 h 5 min left";
    QTest::newRow("59 s is still seconds") << "0:0 1000:1000" << qint64(1000) << qint64(60000) << "1000 B/s, 59 s left";
    QTest::newRow("bytes, whole") << "0:0 2000:1024" << qint64(2000) << qint64(0) << "512 B/s";
    QTest::newRow("ten and more without tenths") << "0:0 1000:870400" << qint64(1000) << qint64(0) << "850 KB/s";
    QTest::newRow("all there") << "0:0 1000:1048576" << qint64(1000) << MiB << "1.0 MB/s, 0 s left";
    QTest::newRow("more than announced: no time left") << "0:0 1000:2097152" << qint64(1000) << MiB << "2.0 MB/s";
    // 1 MB/s for 5 s, then 1 MB in 200 ms: the last chunks alone would say 5 MB/s.
    QTest::newRow("smoothed over the last five seconds")
        << "0:0 1000:1048576 2000:2097152 3000:3145728 4000:4194304 5000:5242880 5200:6291456" << qint64(5200)
        << qint64(0) << "1.2 MB/s";
    // A burst long ago no longer counts.
    QTest::newRow("older counts leave the window")
        << "0:0 1000:104857600 2000:105906176 3000:106954752 4000:108003328 5000:109051904 6000:110100480 "
           "7000:111149056"
        << qint64(7000) << qint64(0) << "1.0 MB/s";
    QTest::newRow("a stalled download slows to nothing, no time left")
        << "0:0 1000:1048576 2000:2097152 3000:3145728 4000:4194304 5000:5242880" << qint64(10000) << 10 * MiB
        << "0 B/s";
    QTest::newRow("the file started over: measured afresh") << "0:0 2000:5242880 2500:0" << qint64(3000)
                                                            << 10 * MiB << "calculating...";
    QTest::newRow("and a second later") << "0:0 2000:5242880 2500:0 3500:1048576" << qint64(3500) << qint64(0)
                                        << "1.0 MB/s";
}

void TestUpdateOptions::speedText()
{
    QFETCH(QString, counts);
    QFETCH(qint64, now);
    QFETCH(qint64, total);
    QFETCH(QString, text);
    CDownloadSpeed speed;
    for (const QString& count : counts.split(QLatin1Char(' '), Qt::SkipEmptyParts))
        speed.Sample(count.section(QLatin1Char(':'), 0, 0).toLongLong(), count.section(QLatin1Char(':'), 1).toLongLong());
    QCOMPARE(speed.Text(now, total), text);
}

// A real download from a server that sends 64 KiB every 100 ms: the status
// label, and with it the progress bar's name, says "calculating..." first,
// then the speed and the time left; the percentage label keeps its percentage.
// (Without ShowSpeed the end-to-end update shows no speed.)
void TestUpdateOptions::speedReadWithTheStatus()
{
    InstallDir dir;
    QVERIFY(dir.write(QStringLiteral("Localcfg.ini"), "[Update]\nShowSpeed=true\n"));
    HeldServer server;
    CUpdate window(dir.installation());
    const qint64 size = 64 * 1024 * 1024;
    window.OnGetClientSize(size);
    auto* bar = window.findChild<QProgressBar*>(QStringLiteral("m_pProgress"));
    auto* percentage = window.findChild<QLabel*>(QStringLiteral("m_pLabProgress"));
    QString url = server.url(QStringLiteral("pkg.zip"));
    emit window.sgnStartDownload(url);
    QCOMPARE(bar->accessibleName(), QStringLiteral("downloading... calculating..."));
    QTRY_COMPARE_WITH_TIMEOUT(server.connections(), 1, 3000);
    server.Send(HeldServer::Head(size));
    QTimer sender;
    connect(&sender, &QTimer::timeout, [&server]() { server.Send(QByteArray(64 * 1024, 'x')); });
    sender.start(100);

    static const QRegularExpression speed(
        QStringLiteral("^downloading\\.\\.\\. \\d+(\\.\\d)? (KB|MB)/s, (\\d+ s|\\d+ min \\d+ s) left$"));
    QTRY_VERIFY_WITH_TIMEOUT(speed.match(bar->accessibleName()).hasMatch(), 6000);
    QVERIFY2(percentage->text().endsWith(QLatin1Char('%')) && !percentage->text().contains(QLatin1String("/s")),
             qPrintable(percentage->text()));
    sender.stop();
    QCOMPARE(RunUntilExit(5000, [&]() { window.StopWorkersAndClose(); }), 0);
    // Gone with the download: the label's own text is back.
    QCOMPARE(bar->accessibleName(), QStringLiteral("downloading..."));
}

QTEST_MAIN(TestUpdateOptions)
#include "tst_options.moc"
