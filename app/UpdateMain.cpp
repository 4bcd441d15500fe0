#include "UpdateMain.h"

#include "AppSetup.h"
#include "CInstallation.h"
#include "CProxyAuth.h"
#include "CUpdate.h"
#include "LaunchArgs.h"
#include "LocalSettings.h"
#include "Notice.h"
#include "UpdateLog.h"
#include "UpdateFailure.h"
#include "VxDir.h"

#include <QApplication>
#include <QDir>
#include <QIcon>
#include <QUrl>

namespace Update {

namespace {

bool ShowStartupNotice(const QString& strText)
{
    return ShowNotice(QObject::tr("Notice"), strText);
}

// The launch as the support log keeps it: the arguments without the notes
// and the client's notice, the URL without its user name and password.
QString LaunchLine(const CLaunchArgs& args)
{
    return QStringLiteral("launch: url %1, size %2, mandatory %3, reserved \"%4\", client pid %5, notes %6 chars, %7")
        .arg(CUpdateLog::Url(QUrl(args.strUrl, QUrl::TolerantMode)), args.strVersionText,
             args.bMajorUpdate ? QStringLiteral("yes") : QStringLiteral("no"), args.strReservedArg)
        .arg(args.nClientPid)
        .arg(args.strUpdateContent.size())
        .arg(args.strNotice.isEmpty() ? QStringLiteral("no notice") : QStringLiteral("a notice"));
}

int Ended(int status)
{
    CUpdateLog::Write(QStringLiteral("exit status %1").arg(status));
    return status;
}

} // namespace

int UpdateMain(int argc, char** argv)
{
    const QByteArrayList entries = CopyArguments(argc, argv);
    // The client's arguments are never options of the toolkit ("-reverse"
    // would mirror the window, "-platform x" end the process): it is given
    // the program path alone. QApplication keeps a reference to its count.
    static char strNoProgramPath[] = "update";
    int nQtArgc = 1;
    char* qtArgv[] = {argc > 0 && argv[0] ? argv[0] : strNoProgramPath, nullptr};
    EnableHighDpiScaling();
    QApplication app(nQtArgc, qtArgv);
    // The window ends the loop itself, with the update's exit status; closing
    // it, or the last notice box, must not end it with 0 first.
    QApplication::setQuitOnLastWindowClosed(false);
    const QString strAppDir = QCoreApplication::applicationDirPath();
    QDir::setCurrent(strAppDir);
    QCoreApplication::addLibraryPath(QString("%1/plugins").arg(strAppDir));

    // The one reading of where the installation is; every piece is handed it.
    const CInstallation installation(DAROZ::VxDir::GetCurrentPath());
    if (installation.Settings().log)
        CUpdateLog::Open(installation.Root());
    QApplication::setWindowIcon(QIcon(installation.AppIconPath()));
    SetApplicationIdentity();

    LoadTranslations(installation);
    LoadAppStyleSheet(installation);

    CLaunchArgs args;
    const LaunchDecision decision = DecideLaunch(
        entries, args,
        [](const QString& notice) { return ShowUnloggedNotice(QObject::tr("Notice"), notice); },
        [](const CLaunchArgs& read) {
            // A password in the URL's user info is not for the log.
            QMessageLogger().debug("url[%s]", UrlWithoutPassword(read.strUrl).toUtf8().constData());
            QMessageLogger().debug("version[%s]", read.strVersionText.toUtf8().constData());
            CUpdateLog::Write(LaunchLine(read));
        });
    switch (decision) {
    case LaunchDecision::TooFewArguments:
        CUpdateLog::Write(QStringLiteral("launch: %1 arguments, 7 needed").arg(qMax(0, entries.size() - 1)));
        ShowStartupNotice(QObject::tr("Get Tarnwick New ClientVersion failed!! "));
        return Ended(0);
    case LaunchDecision::NoticeRefused:
        return Ended(0);
    case LaunchDecision::NotUpdatable:
        ShowStartupNotice(QObject::tr("Update Tarnwick New ClientVersion failed!! "));
        return Ended(0);
    case LaunchDecision::Update:
        break;
    }

    // Before anything is touched: two updaters on one folder would write the
    // same package and empty each other's folder. Held until the process ends.
    const CInstallationLock lock = LockInstallation(installation);
    if (!lock.pLock) {
        ShowStartupNotice(lock.strRefusal);
        return Ended(0);
    }

    // Before the first request: every request goes the way the system says.
    UseSystemProxies();
    CUpdate window(installation);
    window.OnGetClientSize(args.nPackageSize);
    window.SetUrl(args.strUrl);
    window.SetReservedArg(args.strReservedArg);
    window.SetUpdateContent(args.strUpdateContent);
    window.SetClientPid(args.nClientPid);
    if (args.bMajorUpdate) {
        window.SetMajorUpdate();
        window.KillClientByPid();
    }
    window.show();
    return Ended(app.exec());
}

} // namespace Update
