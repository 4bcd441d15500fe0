#include "CCompressClient.h"
#include "ThreadEndMark.h"
#include "CDownloadClient.h"
#include "Package.h"
#include "FaultSupport.h"
#include "HeldFile.h"
#include "LocalHttpServer.h"
#include "ZipWriter.h"

#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

using namespace Update;
using namespace TestZip;
using Faults::Snapshot;
using Entries = QList<Entry>;

Q_DECLARE_METATYPE(Update::EFailure)

namespace {

const unsigned long kWaitMs = 60000; // upper bound for one extraction or transfer here

QByteArray Filler(int size, char seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(seed + (i * 7) % 251);
    return bytes;
}

} // namespace

// Extractions that meet a full disk or a package that went missing after the
// download: each ends in one failure signal with its reason, leaves no file
// that differs from its entry, and touches nothing outside its folder.
class TestExtractFaults : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void diskFills_data();
    void diskFills();
    void packageGoneBeforeExtraction_data();
    void packageGoneBeforeExtraction();

private:
    QString Inst() const { return m_pDir->path(); }
    QString Zip() const { return Inst() + QStringLiteral("/client_v2.zip"); }
    QString Target() const { return Inst() + QStringLiteral("/client_v2"); }
    QStringList AllButTarget() const;
    CFailure RunWorker(int& finished, int& failed, std::shared_ptr<CHeldFile> archive = nullptr) const;

    std::unique_ptr<TestSupport::InstallDir> m_pDir;
};

void TestExtractFaults::init()
{
    m_pDir = Faults::WatchedInstallation();
    QVERIFY(m_pDir);
}

void TestExtractFaults::cleanup()
{
    m_pDir.reset();
}

QStringList TestExtractFaults::AllButTarget() const
{
    return Faults::Outside(Snapshot(m_pDir->root()), {QStringLiteral("inst/client_v2/")});
}

// One run of the worker thread, as the window starts it; why it failed.
CFailure TestExtractFaults::RunWorker(int& finished, int& failed, std::shared_ptr<CHeldFile> archive) const
{
    CCompressClient worker{TestSupport::InstallDir::Current()};
    ThreadEndMark mark(&worker);
    QSignalSpy finishSpy(&worker, SIGNAL(SignalFinishCompress()));
    QSignalSpy failSpy(&worker, SIGNAL(SignalCompressFailed()));
    worker.SetPackage(CPackage(QStringLiteral("http://127.0.0.1/pkg/client_v2.zip"), Inst()), std::move(archive));
    worker.start(QThread::InheritPriority);
    finished = -1;
    failed = -1;
    if (!mark.Wait(kWaitMs))
        return CFailure();
    finished = finishSpy.count();
    failed = failSpy.count();
    return worker.Failure();
}

void TestExtractFaults::diskFills_data()
{
    QTest::addColumn<Entries>("entries");
    QTest::addColumn<int>("limit");     // bytes a file may take, or the size of the volume
    QTest::addColumn<bool>("volume");   // a small volume that fills, not a file size limit
    QTest::addColumn<EFailure>("failure");

    Entry big = File("bin/big.bin", Filler(3 * 1024 * 1024, 'a'));
    Entry bigStored = big;
    bigStored.deflate = false;
    const Entries small{File("a.txt", "A"), File("setup.exe", Filler(40 * 1024, 's'))};
    const int mib = 1024 * 1024;
    // The volume stays roomy: the write failed for another reason.
    const EFailure file = EFailure::UnpackFile;
    QTest::newRow("limit reached in a stored entry") << Entries{bigStored} << mib << false << file;
    QTest::newRow("limit reached after small entries were written") << (small + Entries{big}) << mib << false
                                                                     << file;
    QTest::newRow("limit reached by one byte") << Entries{big} << 3 * mib - 1 << false << file;
    QTest::newRow("largest entry exactly as large as the limit: complete") << (small + Entries{big}) << 3 * mib
                                                                            << false << EFailure::None;

    const EFailure full = EFailure::UnpackDiskFull;
    QTest::newRow("volume full in the first entry") << Entries{big} << mib << true << full;
    // The stored archive itself takes 3 MiB of the volume.
    QTest::newRow("volume full in a stored entry") << Entries{bigStored} << 4 * mib << true << full;
    QTest::newRow("volume full after small entries were written") << (small + Entries{big}) << mib << true
                                                                   << full;
}

void TestExtractFaults::diskFills()
{
    QFETCH(Entries, entries);
    QFETCH(int, limit);
    QFETCH(bool, volume);
    QFETCH(EFailure, failure);
    if (volume && !Faults::SmallVolume::IsInside()) {
        Faults::SmallVolume::RunCurrentRowInside(limit, int(kWaitMs));
        return;
    }
    QVERIFY(WriteZip(Zip(), entries));
    const QStringList before = AllButTarget();

    int finished = 0;
    int failed = 0;
    CFailure why;
    if (volume) {
        why = RunWorker(finished, failed);
    } else {
        Faults::FileSizeLimit full{rlim_t(limit)};
        QVERIFY(full.IsSet());
        why = RunWorker(finished, failed);
    }

    const bool fits = failure == EFailure::None;
    QCOMPARE(finished + failed, 1);
    QCOMPARE(finished, fits ? 1 : 0);
    QCOMPARE(int(why.kind), int(failure));
    if (failure == EFailure::UnpackFile)
        QVERIFY2(!why.details.value(0).isEmpty(), "the file's error text");
    QCOMPARE(AllButTarget(), before);
    // Whatever is in the folder is whole: a cut file would pass for a good one.
    for (const Entry& entry : entries) {
        const QString base = QString::fromUtf8(entry.name.mid(entry.name.lastIndexOf('/') + 1));
        QFile out(Target() + QLatin1Char('/') + base);
        if (!out.exists()) {
            QVERIFY2(!fits, qPrintable(base + " missing"));
            continue;
        }
        QVERIFY(out.open(QIODevice::ReadOnly));
        QVERIFY2(out.readAll() == entry.data, qPrintable(base + " is not its entry"));
    }
}

void TestExtractFaults::packageGoneBeforeExtraction_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<EFailure>("failure");

    const EFailure changed = EFailure::PackageChanged;
    QTest::newRow("package deleted") << "delete" << changed;
    QTest::newRow("package emptied") << "empty" << changed;
    QTest::newRow("package cut short") << "truncate" << changed;
    QTest::newRow("a folder in place of the package") << "folder" << changed;
    QTest::newRow("another package in its place") << "swap" << changed;
    QTest::newRow("a byte written over in place, same size") << "overwrite" << changed;
    QTest::newRow("package left as it was: unpacked from the file held") << "none" << EFailure::None;
}

// The real hand-over: a download that finished, the package file the client
// holds given to the worker, then the package is changed on disk before the
// worker opens it. Only the bytes written are ever unpacked.
void TestExtractFaults::packageGoneBeforeExtraction()
{
    QFETCH(QString, damage);
    QFETCH(EFailure, failure);
    const QByteArray package = MakeZip({File("setup.exe", Filler(200 * 1024, 'x'))});
    LocalHttpServer server;
    QVERIFY(server.Start());
    server.SetRoute("/pkg/client_v2.zip", LocalHttpRoute::Ok(package));

    CDownloadClient client{TestSupport::InstallDir::Current()};
    QSignalSpy finishedDownload(&client, SIGNAL(SignalFinishDownload()));
    QString url = server.Url("/pkg/client_v2.zip");
    client.StartDownload(url);
    QVERIFY(finishedDownload.wait(int(kWaitMs)));
    QCOMPARE(QFileInfo(Zip()).size(), qint64(package.size()));

    if (damage == "delete" || damage == "folder" || damage == "swap")
        QVERIFY(QFile::remove(Zip()));
    if (damage == "folder")
        QVERIFY(QDir().mkdir(Zip()));
    if (damage == "swap")
        QVERIFY(WriteFile(Zip(), MakeZip({File("setup.exe", Filler(200 * 1024, 'e'))})));
    if (damage == "empty")
        QVERIFY(WriteFile(Zip(), QByteArray()));
    if (damage == "truncate")
        QVERIFY(WriteFile(Zip(), package.left(package.size() / 2)));
    if (damage == "overwrite") {
        QFile inPlace(Zip());
        QVERIFY(inPlace.open(QIODevice::ReadWrite));
        QVERIFY(inPlace.seek(package.size() / 2) && inPlace.write("!") == 1);
    }
    const QStringList before = AllButTarget();

    int finished = 0;
    int failed = 0;
    const CFailure why = RunWorker(finished, failed, client.PackageFile());

    const bool ok = failure == EFailure::None;
    QCOMPARE(finished, ok ? 1 : 0);
    QCOMPARE(failed, ok ? 0 : 1);
    QCOMPARE(int(why.kind), int(failure));
    QCOMPARE(AllButTarget(), before);
    QFile installer(Target() + QStringLiteral("/setup.exe"));
    QCOMPARE(installer.exists(), ok);
    if (ok) {
        QVERIFY(installer.open(QIODevice::ReadOnly));
        QVERIFY2(installer.readAll() == Filler(200 * 1024, 'x'), "the installer is the one downloaded");
    }
}

QTEST_GUILESS_MAIN(TestExtractFaults)
#include "tst_extract.moc"
