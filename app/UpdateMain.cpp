#include "UpdateMain.h"

#include "AppSetup.h"
#include "CUpdate.h"
#include "LaunchArgs.h"
#include "VxMessageBox.h"

#include <QApplication>
#include <QDir>
#include <QIcon>
#include <QSettings>

namespace Update {

namespace {

DAROZ::VxMessageBox::StandardButton ShowNotice(const QString& strText)
{
    return DAROZ::VxMessageBox::ShowInformation(
        nullptr, QObject::tr("Notice"), strText,
        DAROZ::VxMessageBox::Ok | DAROZ::VxMessageBox::Cancel);
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
    const QString strAppDir = QCoreApplication::applicationDirPath();
    QDir::setCurrent(strAppDir);
    QCoreApplication::addLibraryPath(QString("%1/plugins").arg(strAppDir));

    QSettings settings("./Localcfg.ini", QSettings::IniFormat);
    const QString strSkin = settings.value("Skin/Path", QString()).toString();
    QApplication::setWindowIcon(QIcon(strAppDir + QString("/Skin/%1/update.ico").arg(strSkin)));
    SetApplicationIdentity();

    LoadTranslations();
    LoadAppStyleSheet();

    CLaunchArgs args;
    const LaunchDecision decision = DecideLaunch(
        entries, args,
        [](const QString& strNotice) { return ShowNotice(strNotice) == DAROZ::VxMessageBox::Ok; },
        [](const CLaunchArgs& read) {
            QMessageLogger().debug("url[%s]", read.strUrl.toUtf8().constData());
            QMessageLogger().debug("version[%s]", read.strVersionText.toUtf8().constData());
        });
    switch (decision) {
    case LaunchDecision::TooFewArguments:
        ShowNotice(QObject::tr("Get Tarnwick New ClientVersion failed!! "));
        return 0;
    case LaunchDecision::NoticeRefused:
        return 0;
    case LaunchDecision::NotUpdatable:
        ShowNotice(QObject::tr("Update Tarnwick New ClientVersion failed!! "));
        return 0;
    case LaunchDecision::Update:
        break;
    }

    // Before anything is touched: two updaters on one folder would write the
    // same package and empty each other's folder. Held until the process ends.
    const std::unique_ptr<QLockFile> pLock = LockInstallation();
    if (!pLock) {
        ShowNotice(QObject::tr("An update is already running."));
        return 0;
    }

    CUpdate window;
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
    const int nLoopResult = app.exec();
    // A failed hand-over ends with the window's own code.
    return window.ExitCode() != 0 ? window.ExitCode() : nLoopResult;
}

} // namespace Update
