#include "InstallDir.h"
#include "PackagePaths.h"

#include <QDir>
#include <QFile>
#include <QtTest>

#include <memory>

using namespace Update;
using TestSupport::InstallDir;

// The path functions, run with a temporary folder as the installation folder.
class TestPackagePaths : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void packageName_data();
    void packageName();
    void exePackageUrl_data();
    void exePackageUrl();
    void pathBuilders_data();
    void pathBuilders();
    void findFirstExe_data();
    void findFirstExe();

private:
    std::unique_ptr<InstallDir> m_pDir;
};

void TestPackagePaths::init()
{
    m_pDir = std::make_unique<InstallDir>();
    QVERIFY(m_pDir->isValid());
}

void TestPackagePaths::cleanup()
{
    m_pDir.reset();
}

void TestPackagePaths::packageName_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("name");

    QTest::newRow("plain zip") << "https://example.invalid/pkg/client_v2.zip" << "client_v2";
    QTest::newRow("cut at first dot") << "https://example.invalid/pkg/client_v2.beta.zip" << "client_v2";
    QTest::newRow("exe package") << "https://example.invalid/pkg/setup.exe" << "setup";
    QTest::newRow("leading dot does not cut") << "https://example.invalid/pkg/.hidden.zip" << ".hidden.zip";
    QTest::newRow("query does not count") << "https://example.invalid/pkg/download?id=7" << "download";
    QTest::newRow("slash and name inside the query") << "https://example.invalid/get?f=a/b.zip" << "get";
    QTest::newRow("file named in the query") << "https://example.invalid/get?file=client_update.zip" << "get";
    QTest::newRow("query naming an installer") << "https://example.invalid/pkg/client_update.zip?via=setup.exe"
                                                << "client_update";
    QTest::newRow("fragment does not count") << "https://example.invalid/pkg/client_v2.zip#x/y.exe" << "client_v2";
    QTest::newRow("fragment before a question mark") << "https://example.invalid/pkg/a.zip#b?c/d.zip" << "a";
    QTest::newRow("query right after the host") << "https://example.invalid?f=/pkg/a.zip" << "example";
    QTest::newRow("empty query after a trailing slash") << "https://example.invalid/pkg/?" << "";
    QTest::newRow("no path: host up to its dot") << "https://example.invalid" << "example";
    QTest::newRow("trailing slash") << "https://example.invalid/pkg/" << "";
    QTest::newRow("no slash") << "client_v2.zip" << "";
    QTest::newRow("only a leading slash") << "/client_v2.zip" << "";
    QTest::newRow("empty") << "" << "";
    QTest::newRow("percent escapes kept") << "https://example.invalid/pkg/a%20b.zip" << "a%20b";
    QTest::newRow("dot-dot alone") << "/.." << "";
    QTest::newRow("parent folder escapes the installation") << "https://example.invalid/pkg/.." << "";
    QTest::newRow("current folder") << "https://example.invalid/pkg/." << "";
    QTest::newRow("backslash splits a Windows path") << "https://example.invalid/pkg/a\\b.zip" << "";
    QTest::newRow("backslash climbing out") << "https://example.invalid/pkg/..\\..\\evil.zip" << "";
    QTest::newRow("dot-dot-zip is a plain name") << "https://example.invalid/pkg/..zip" << "..zip";
    QTest::newRow("three dots: Windows reads the installation folder itself")
        << "https://example.invalid/pkg/..." << "";
    QTest::newRow("dot-dot and a space: Windows reads the parent folder")
        << "https://example.invalid/pkg/.. " << "";
    QTest::newRow("dots and spaces only") << "https://example.invalid/pkg/. . " << "";
    QTest::newRow("trailing space after a name is kept") << "https://example.invalid/pkg/setup " << "setup ";
    QTest::newRow("drive letter: a path of its own on Windows") << "https://example.invalid/pkg/C:" << "";
    QTest::newRow("drive letter and a name") << "https://example.invalid/pkg/C:evil.zip" << "";
    QTest::newRow("colon: a stream of another file on Windows") << "https://example.invalid/pkg/a:b.zip" << "";
    QTest::newRow("NUL: the system reads a shorter name")
        << QStringLiteral("https://example.invalid/pkg/a") + QChar(0) + QStringLiteral("b.zip") << "";
    for (const char* c : {"<", ">", "\"", "|", "*"})
        QTest::addRow("Windows refuses %s in file names", c)
            << QStringLiteral("https://example.invalid/pkg/a%1b.zip").arg(QLatin1String(c)) << "";
    QTest::newRow("tab, a control character") << "https://example.invalid/pkg/a\tb.zip" << "";
    QTest::newRow("line feed, a control character") << "https://example.invalid/pkg/setup\n.zip" << "";
    QTest::newRow("refused character after the first dot is cut away")
        << "https://example.invalid/pkg/client.<v2>.zip" << "client";
    QTest::newRow("non-ASCII name is fine") << QStringLiteral("https://example.invalid/pkg/\u5347\u7EA7.zip")
                                            << QStringLiteral("\u5347\u7EA7");
}

void TestPackagePaths::exePackageUrl_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<bool>("exe");

    QTest::newRow("zip package") << "https://example.invalid/pkg/client_v2.zip" << false;
    QTest::newRow("executable package") << "https://example.invalid/pkg/setup.exe" << true;
    QTest::newRow("executable with a query") << "https://example.invalid/pkg/Setup.exe?x=1" << true;
    QTest::newRow(".exe in a folder of the path") << "https://example.invalid/a.exe/client_v2.zip" << true;
    QTest::newRow("upper-case .EXE does not count") << "https://example.invalid/pkg/SETUP.EXE" << false;
    QTest::newRow(".exe only in the query") << "https://example.invalid/pkg/client_update.zip?via=setup.exe" << false;
    QTest::newRow(".exe only in the fragment") << "https://example.invalid/pkg/client_v2.zip#setup.exe" << false;
    QTest::newRow("file named in the query") << "https://example.invalid/get?file=setup.exe" << false;
    QTest::newRow("empty") << "" << false;
}

void TestPackagePaths::exePackageUrl()
{
    QFETCH(QString, url);
    QFETCH(bool, exe);
    QCOMPARE(IsExePackageUrl(url), exe);
}

void TestPackagePaths::packageName()
{
    QFETCH(QString, url);
    QFETCH(QString, name);
    QCOMPARE(GetPackageName(url), name);
}

void TestPackagePaths::pathBuilders_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    QTest::addColumn<QString>("expected"); // "<dir>" stands for the installation folder

    QTest::newRow("zip package file") << "file" << "client_v2" << "zip" << "<dir>/client_v2.zip";
    QTest::newRow("exe package file") << "file" << "setup" << "exe" << "<dir>/setup.exe";
    QTest::newRow("empty name is not checked") << "file" << "" << "zip" << "<dir>/.zip";
    QTest::newRow("extraction folder") << "dir" << "client_v2" << "" << "<dir>/client_v2";
    QTest::newRow("empty folder name") << "dir" << "" << "" << "<dir>/";
    QTest::newRow("installer inside zip package") << "zipInstaller" << "client_v2" << "setup.exe"
                                                  << "<dir>/client_v2/setup.exe";
    QTest::newRow("exe package is its own installer") << "exeInstaller" << "D:/Apps/Client" << "client_v2"
                                                      << "D:/Apps/Client/client_v2.exe";
    // A name that itself holds a place marker must come through as written.
    QTest::newRow("name holding %1 stays as it is") << "file" << "pkg%1x" << "zip" << "<dir>/pkg%1x.zip";
    QTest::newRow("folder name holding %2") << "dir" << "a%2b" << "" << "<dir>/a%2b";
    QTest::newRow("installer name holding %1") << "zipInstaller" << "p%1" << "s%1.exe" << "<dir>/p%1/s%1.exe";
}

void TestPackagePaths::pathBuilders()
{
    QFETCH(QString, kind);
    QFETCH(QString, first);
    QFETCH(QString, second);
    QFETCH(QString, expected);
    expected.replace(QLatin1String("<dir>"), QDir::currentPath());

    QString actual;
    if (kind == "file")
        actual = GetPackageFilePath(first, second);
    else if (kind == "dir")
        actual = GetPackageDir(first);
    else
        actual = GetInstallerPath(first, second, kind == "exeInstaller");
    QCOMPARE(actual, expected);
}

void TestPackagePaths::findFirstExe_data()
{
    QTest::addColumn<QStringList>("entries"); // a trailing "/" makes a folder
    QTest::addColumn<QString>("expected");

    QTest::newRow("none") << QStringList{"readme.txt", "setup.exe.bak"} << "";
    QTest::newRow("empty folder") << QStringList{} << "";
    QTest::newRow("one") << QStringList{"readme.txt", "setup.exe"} << "setup.exe";
    QTest::newRow("several: smallest name wins") << QStringList{"c.exe", "b.exe", "d.exe"} << "b.exe";
    QTest::newRow("order ignores case") << QStringList{"b.exe", "A_setup.exe"} << "A_setup.exe";
    QTest::newRow("upper-case suffix matches") << QStringList{"SETUP.EXE"} << "SETUP.EXE";
    QTest::newRow("folder named like an installer is skipped") << QStringList{"a.exe/", "z.exe"} << "z.exe";
    QTest::newRow("only a folder") << QStringList{"a.exe/"} << "";
    QTest::newRow("missing folder") << QStringList{"<missing>"} << "";
}

void TestPackagePaths::findFirstExe()
{
    QFETCH(QStringList, entries);
    QFETCH(QString, expected);

    const QString dir = GetPackageDir("client_v2");
    if (!entries.contains("<missing>"))
        QVERIFY(QDir().mkpath(dir));
    for (const QString& entry : entries) {
        if (entry == "<missing>")
            continue;
        if (entry.endsWith('/')) {
            QVERIFY(QDir(dir).mkpath(entry));
            continue;
        }
        QFile file(dir + '/' + entry);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    QCOMPARE(FindFirstExe(dir), expected);
}

QTEST_GUILESS_MAIN(TestPackagePaths)
#include "tst_packagepaths.moc"
