#include "FileBytes.h"
#include "AppSetup.h"
#include "LocalSettings.h"
#include "InstallDir.h"
#include "LaunchArgs.h"
#include "OutsideTarget.h"
#include "VxMessageBox.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QProcess>
#include <QPushButton>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QSysInfo>
#include <QTextCodec>
#include <QTranslator>
#include <QtTest>

#include <limits>
#include <memory>

using namespace Update;

namespace {

using TestFiles::ReadAll;

QByteArrayList Entries(const QByteArray& url, const QByteArray& size, const QByteArray& major,
                       const QByteArray& pid, const QByteArray& notice = "")
{
    return {"update", url, size, major, "reserved", "notes", pid, notice};
}

// An installation folder as the current folder, as the main routine makes it.
class InstallationFixture : public QObject
{
    Q_OBJECT
protected:
    std::unique_ptr<TestSupport::InstallDir> m_pDir;

    QString Path(const QString& relative) const { return m_pDir->filePath(relative); }

protected slots:
    void init()
    {
        m_pDir = std::make_unique<TestSupport::InstallDir>();
        QVERIFY(m_pDir->isValid());
    }
    void cleanup()
    {
        qDeleteAll(qApp->findChildren<QTranslator*>(QString(), Qt::FindDirectChildrenOnly));
        qApp->setStyleSheet(QString());
        m_pDir.reset();
    }
};

} // namespace

class TestLaunchArgs : public QObject
{
    Q_OBJECT
private slots:
    void readLaunchArgs_data()
    {
        QTest::addColumn<QByteArrayList>("entries");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<bool>("major");
        QTest::addColumn<int>("pid");
        QTest::addColumn<bool>("updatable");
        // The count of entries, the size, the URL and the notice as the real
        // binary meets them are the launch contract's end-to-end rows.
        const QByteArray url = "http://127.0.0.1/p.zip";
        QTest::newRow("eight entries") << Entries(url, "5", "false", "42") << 5LL << false << 42 << true;
        QTest::newRow("letters as size give 0") << Entries(url, "abc", "false", "42") << 0LL << false << 42 << false;
        QTest::newRow("size beyond 64 bits gives 0")
            << Entries(url, "99999999999999999999", "false", "42") << 0LL << false << 42 << false;
        QTest::newRow("hexadecimal is not base 10") << Entries(url, "0x10", "false", "42") << 0LL << false << 42 << false;
        QTest::newRow("smallest 64-bit size") << Entries(url, "-9223372036854775808", "false", "42")
                                              << std::numeric_limits<qint64>::min() << false << 42 << true;
        QTest::newRow("lower-case true is the major flag") << Entries(url, "5", "true", "42") << 5LL << true << 42 << true;
        QTest::newRow("true with a space is not the major flag")
            << Entries(url, "5", "true ", "42") << 5LL << false << 42 << true;
        QTest::newRow("letters as process id give 0") << Entries(url, "5", "true", "abc") << 5LL << true << 0 << true;
        QTest::newRow("process id beyond int gives 0")
            << Entries(url, "5", "true", "2147483648") << 5LL << true << 0 << true;
    }

    void readLaunchArgs()
    {
        QFETCH(QByteArrayList, entries);
        CLaunchArgs args;
        QVERIFY(Update::ReadLaunchArgs(entries, args));
        QTEST(args.nPackageSize, "size");
        QTEST(args.bMajorUpdate, "major");
        QTEST(args.nClientPid, "pid");
        QTEST(args.IsUpdatable(), "updatable");
        QCOMPARE(args.strUrl, QString::fromLatin1(entries.at(1)));
        QCOMPARE(args.strVersionText, QString::fromLatin1(entries.at(2)));
        QCOMPARE(args.strNotice, QString::fromLatin1(entries.at(7)));
    }

    void decideLaunch_data()
    {
        QTest::addColumn<QByteArrayList>("entries");
        QTest::addColumn<bool>("confirm");
        QTest::addColumn<bool>("asked");
        QTest::addColumn<int>("decision");
        const QByteArray url = "http://127.0.0.1/p.zip";
        QTest::newRow("empty notice: nothing asked") << Entries(url, "5", "false", "1") << false << false
                                           << int(LaunchDecision::Update);
        QTest::newRow("minus zero is 0") << Entries(url, "-0", "false", "1") << true << false
                                         << int(LaunchDecision::NotUpdatable);
        QTest::newRow("size 1 is enough") << Entries(url, "1", "false", "1") << true << false
                                          << int(LaunchDecision::Update);
    }

    void decideLaunch()
    {
        QFETCH(QByteArrayList, entries);
        QFETCH(bool, confirm);
        QFETCH(bool, asked);
        QFETCH(int, decision);
        CLaunchArgs args;
        int asks = 0;
        int reads = 0;
        const LaunchDecision actual = Update::DecideLaunch(
            entries, args, [&](const QString&) { ++asks; return confirm; },
            [&](const CLaunchArgs&) { QCOMPARE(asks, 0); ++reads; });
        QCOMPARE(int(actual), decision);
        QCOMPARE(asks, asked ? 1 : 0);
        QCOMPARE(reads, decision == int(LaunchDecision::TooFewArguments) ? 0 : 1);
    }

    void entriesInLocalEncoding()
    {
        QTextCodec* pBefore = QTextCodec::codecForLocale();
        QTextCodec::setCodecForLocale(QTextCodec::codecForName("GBK"));
        CLaunchArgs args;
        const bool read = Update::ReadLaunchArgs(
            Entries("u", "5", "false", "1", "\xB8\xFC\xD0\xC2"), args); // the word "update"
        QTextCodec::setCodecForLocale(pBefore);
        QVERIFY(read);
        QCOMPARE(args.strNotice, QString::fromUtf8("\xE6\x9B\xB4\xE6\x96\xB0"));
    }

    void argumentsCopiedAsGiven()
    {
        char a0[] = "update", a1[] = "", a2[] = "-reverse";
        char* argv[] = {a0, a1, a2, nullptr};
        QCOMPARE(CopyArguments(3, argv), (QByteArrayList{"update", "", "-reverse"}));
    }
};

class TestTranslations : public InstallationFixture
{
    Q_OBJECT
private slots:
    void loadTranslations_data()
    {
        // Settings: null = no such file, empty = a file without the key.
        QTest::addColumn<QString>("lowerCaseIni");
        QTest::addColumn<QString>("upperCaseIni");
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QString>("seen"); // the notice, the box's button and a text both files hold
        const QStringList both{"Language/Language_de/update_de.qm", "Language/Language_de/DaRoz_de.qm"};
        const QString none = "Notice OK Shared";
        QTest::newRow("both files; the library's wins") << "de" << QString() << both << "U-Notice D-OK D-Shared";
        QTest::newRow("only the library's file") << "de" << QString() << QStringList{both.at(1)} << "Notice D-OK D-Shared";
        QTest::newRow("only the updater's file") << "de" << QString() << QStringList{both.at(0)} << "U-Notice OK U-Shared";
        QTest::newRow("another language's files unused") << "fr" << QString() << both << none;
        QTest::newRow("folder and file both named after the language")
            << "de" << QString() << QStringList{"Language/Language_de/update_fr.qm", "Language/de/DaRoz_de.qm"} << none;
        QTest::newRow("no settings file") << QString() << QString() << both << none;
        QTest::newRow("no language key") << "" << QString() << both << none;
        QTest::newRow("language only in ./Localcfg.ini") << QString() << "de" << both << "U-Notice D-OK D-Shared";
        QTest::newRow("./Localcfg.ini first when both exist, as for every other key") << "de" << "fr" << both << none;
    }

    void loadTranslations()
    {
        QFETCH(QString, lowerCaseIni);
        QFETCH(QString, upperCaseIni);
        QFETCH(QStringList, files);
        const QList<QPair<QString, QString>> inis{{"localcfg.ini", lowerCaseIni},
                                                  {"Localcfg.ini", upperCaseIni}};
        for (const auto& ini : inis) {
            if (ini.second.isNull())
                continue;
            const QString key = ini.second.isEmpty() ? "" : "[Type]\nLanguage=" + ini.second;
            QVERIFY(m_pDir->write(ini.first, "[Skin]\nPath=Blue\n" + key.toUtf8() + "\n"));
        }
        for (const QString& file : files) {
            const QString source = file.contains("DaRoz") ? "DaRoz_test.qm" : "update_test.qm";
            QVERIFY(QDir().mkpath(QFileInfo(Path(file)).path()));
            QVERIFY(QFile::copy(QString(APP_TEST_QM_DIR) + "/" + source, Path(file)));
        }

        Update::LoadTranslations(m_pDir->installation());

        DAROZ::VxMessageBox box(nullptr, "t", "x", DAROZ::VxMessageBox::Ok);
        QTEST(QStringList({QCoreApplication::translate("QObject", "Notice"),
                           box.findChild<QPushButton*>("VxMessageBoxOkButton")->text(),
                           QCoreApplication::translate("QObject", "Shared")}).join(' '), "seen");
    }
};

class TestAppStyleSheet : public InstallationFixture
{
    Q_OBJECT
private slots:
    void loadAppStyleSheet_data()
    {
        QTest::addColumn<QString>("skin");
        QTest::addColumn<QStringList>("files"); // "path=contents"
        QTest::addColumn<QStringList>("sheets");
        const QString css = "Skin/RizuvIzaz/DAROZ/CSS/";
        QTest::newRow("a.CSS and b.css both read")
            << "RizuvIzaz" << QStringList{css + "a.CSS=A{}", css + "b.css=B{}"}
            << QStringList{"A{}", "B{}"};
        QTest::newRow("other files and folders ignored")
            << "RizuvIzaz"
            << QStringList{css + "a.CSS=A{}", css + "c.qss=C{}", css + "d.CSS.bak=D{}",
                           css + "sub.CSS/e.CSS=E{}"}
            << QStringList{"A{}"};
        QTest::newRow("another skin keeps the folder")
            << "Blue" << QStringList{"Skin/Blue/DAROZ/CSS/blue.CSS=X{}", css + "a.CSS=A{}"}
            << QStringList{"A{}"};
        QTest::newRow("missing folder gives no sheet")
            << "Blue" << QStringList{"Skin/Blue/DAROZ/CSS/blue.CSS=X{}"} << QStringList{};
        QTest::newRow("read as UTF-8")
            << "RizuvIzaz" << QStringList{css + "a.CSS=QLabel{font-family:\"\xE5\xAD\x97\"}"}
            << QStringList{QString::fromUtf8("QLabel{font-family:\"\xE5\xAD\x97\"}")};
    }

    void loadAppStyleSheet()
    {
        QFETCH(QString, skin);
        QFETCH(QStringList, files);
        QFETCH(QStringList, sheets);
        QVERIFY(m_pDir->write("Localcfg.ini", "[Skin]\nPath=" + skin.toUtf8() + "\n"));
        for (const QString& file : files) {
            const int eq = file.indexOf('=');
            QVERIFY(m_pDir->write(file.left(eq), file.mid(eq + 1).toUtf8()));
        }
        qApp->setStyleSheet("Stale{}");

        Update::LoadAppStyleSheet(m_pDir->installation());

        // Directory order is the file system's: compare as a set.
        QStringList actual = qApp->styleSheet().split(QLatin1Char('\n'));
        actual.removeAll(QString());
        actual.sort();
        QCOMPARE(actual, sheets);
    }
};

class TestInstallationLock : public InstallationFixture
{
    Q_OBJECT
private slots:
    void LockInstallation_data()
    {
        QTest::addColumn<QString>("held");     // folder whose lock another holder keeps, empty: none
        QTest::addColumn<QString>("planted");  // what lies where the lock file belongs, empty: nothing
        QTest::addColumn<QString>("refusal");  // "", "running" or "in the way"

        QTest::newRow("free folder") << QString() << QString() << "";
        QTest::newRow("held in this folder") << "." << QString() << "running";
        QTest::newRow("held in another folder") << "other" << QString() << "";
        QTest::newRow("empty file left by a crash") << QString() << "empty file" << "";
        QTest::newRow("unreadable owner left by a crash") << QString() << "junk file" << "";
        QTest::newRow("empty file made a moment ago: its owner may be writing it")
            << QString() << "young empty file" << "running";
        // A lock names an updater of this installation or no one: a process
        // id given since to another program blocks nothing, though Qt sees
        // the program's own name in the lock.
        QTest::newRow("naming a live process of another program") << QString() << "another program" << "";
        QTest::newRow("naming a live updater of this installation, its lock file not held")
            << QString() << "this updater" << "running";
        QTest::newRow("naming another program, a moment ago") << QString() << "young another program"
                                                               << "running";
        // Nothing that is not a lock file blocks updates for ever.
        QTest::newRow("empty folder: replaced") << QString() << "empty folder" << "";
        QTest::newRow("link to a file elsewhere: replaced") << QString() << "file link" << "";
        QTest::newRow("link to a folder elsewhere: replaced") << QString() << "folder link" << "";
        QTest::newRow("dangling link: replaced") << QString() << "dangling link" << "";
        QTest::newRow("link to the lock another folder's updater holds: replaced")
            << "other" << "other lock link" << "";
        QTest::newRow("folder with a file: in the way") << QString() << "full folder" << "in the way";
        QTest::newRow("named pipe: in the way") << QString() << "pipe" << "in the way";
    }

    void LockInstallation()
    {
        QFETCH(QString, held);
        QFETCH(QString, planted);
        QFETCH(QString, refusal);

        const QString lockPath = Path("update.lock");
        TestSupport::OutsideTarget outside;
        QVERIFY(outside.isValid());
        std::unique_ptr<QLockFile> pOther;
        if (!held.isEmpty()) {
            QVERIFY(QDir().mkpath(Path(held)));
            pOther = std::make_unique<QLockFile>(Path(held + "/update.lock"));
            QVERIFY(pOther->tryLock(0));
            // Past the moment in which any lock holds.
            QVERIFY(Age(Path(held + "/update.lock")));
        }
        QProcess program;
        const auto stopProgram = qScopeGuard([&program] {
            program.kill();
            program.waitForFinished(5000);
        });
        if (planted.endsWith("another program") || planted == "this updater") {
            // This very program stands for the updater that holds the lock.
            qint64 pid = QCoreApplication::applicationPid();
            QString exe = QCoreApplication::applicationFilePath();
            if (planted != "this updater") {
                exe = QFileInfo(QStandardPaths::findExecutable("sleep")).canonicalFilePath();
                if (exe.isEmpty())
                    QSKIP("no sleep program to name in the lock");
                program.start(exe, {"60"});
                QVERIFY(program.waitForStarted(10000));
                pid = program.processId();
            }
            // As QLockFile writes it, but held by no one: the process id, the
            // executable's file name, the host.
            const QString text =
                QString("%1\n%2\n%3\n").arg(pid).arg(QFileInfo(exe).fileName(), QSysInfo::machineHostName());
            QVERIFY(m_pDir->write("update.lock", text.toUtf8()));
            QVERIFY(planted.startsWith("young") || Age(lockPath));
        } else if (planted.endsWith("file")) {
            QVERIFY(m_pDir->write("update.lock", planted == "junk file" ? QByteArray("junk\n") : QByteArray("")));
            QVERIFY(planted.startsWith("young") || Age(lockPath));
        } else if (planted.endsWith("folder")) {
            QVERIFY(planted == "full folder" ? m_pDir->write("update.lock/keep.txt", "someone's") : QDir().mkpath(lockPath));
        } else if (planted.endsWith("link")) {
            const QString target = planted == "file link" ? outside.File()
                : planted == "folder link"                ? outside.Folder()
                : planted == "dangling link"              ? outside.Folder() + "/missing"
                                                          : Path("other/update.lock");
            QVERIFY(QFile::link(target, lockPath));
        } else if (planted == "pipe" && QProcess::execute("mkfifo", {lockPath}) != 0) {
            QSKIP("mkfifo is not available");
        }
        const QStringList outsidePicture = outside.Picture();
        const QByteArray otherLock = held.isEmpty() ? QByteArray() : ReadAll(Path(held + "/update.lock"));

        CInstallationLock lock = Update::LockInstallation(m_pDir->installation());
        QVERIFY2(outside.Picture() == outsidePicture, "what a link pointed to was changed");
        if (!held.isEmpty())
            QCOMPARE(ReadAll(Path(held + "/update.lock")), otherLock);
        QCOMPARE(!lock.pLock, !refusal.isEmpty());
        if (refusal == "running")
            QCOMPARE(lock.strRefusal, QString("An update is already running."));
        if (refusal == "in the way") {
            QVERIFY2(lock.strRefusal.contains(QDir::toNativeSeparators(lockPath)) && lock.strRefusal.contains("in the way"),
                     qPrintable(lock.strRefusal));
            if (planted == "full folder")
                QCOMPARE(ReadAll(lockPath + "/keep.txt"), QByteArray("someone's"));
        }
        if (!lock.pLock)
            return;
        QVERIFY(lock.pLock->isLocked() && lock.strRefusal.isEmpty());
        QVERIFY2(QFileInfo(lockPath).isFile() && !QFileInfo(lockPath).isSymLink(), "the lock is a file of its own");
        QVERIFY2(!Update::LockInstallation(m_pDir->installation()).pLock, "a second updater is refused while the first holds the lock");
        lock.pLock.reset();
        QVERIFY2(!QFile::exists(lockPath), "the lock file goes with its owner");
        QVERIFY2(Update::LockInstallation(m_pDir->installation()).pLock, "a later updater takes the lock again");
    }

private:
    static bool Age(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadWrite)
            && file.setFileTime(QDateTime::currentDateTime().addSecs(-60), QFileDevice::FileModificationTime);
    }
};

class TestIdentity : public QObject
{
    Q_OBJECT
private slots:
    void sameNameOnEverySystem_data()
    {
        QTest::addColumn<QByteArray>("localEncoding");
        QTest::newRow("Latin-1 system") << QByteArray("ISO-8859-1");
        QTest::newRow("UTF-8 system") << QByteArray("UTF-8");
        QTest::newRow("GBK system") << QByteArray("GBK");
    }

    void sameNameOnEverySystem()
    {
        QFETCH(QByteArray, localEncoding);
        QTextCodec* pBefore = QTextCodec::codecForLocale();
        QTextCodec::setCodecForLocale(QTextCodec::codecForName(localEncoding));
        SetApplicationIdentity();
        QTextCodec::setCodecForLocale(pBefore);
        const QString upgrade = QString::fromUtf8("\xE5\x8D\x87\xE7\xBA\xA7");
        QCOMPARE(QCoreApplication::organizationName(), upgrade);
        QCOMPARE(QCoreApplication::applicationName(), upgrade);
    }
};

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    TestLaunchArgs launchArgs;
    TestTranslations translations;
    TestAppStyleSheet styleSheet;
    TestIdentity identity;
    TestInstallationLock installationLock;
    int failed = 0;
    for (QObject* pTest : std::initializer_list<QObject*>{&launchArgs, &translations, &styleSheet,
                                                          &identity, &installationLock})
        failed += QTest::qExec(pTest, argc, argv);
    return failed;
}

#include "tst_startup.moc"
