#include "AppSetup.h"

#include "CInstallation.h"
#include "PathEntry.h"
#include "PlatformProcess.h"
#include "VxFile.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QStringList>
#include <QSysInfo>
#include <QTextCodec>
#include <QTranslator>

namespace Update {

void EnableHighDpiScaling()
{
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
#if QT_VERSION >= QT_VERSION_CHECK(5, 14, 0)
    // Earlier Qt rounds 150 % to 200 %; a 680-pixel window then covers 1360.
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
#endif
}

void LoadTranslations(const CInstallation& installation)
{
    // The library's file comes last so that, being consulted first, it wins.
    for (const QString& strFile : installation.TranslationFiles()) {
        auto* pTranslator = new QTranslator(QCoreApplication::instance());
        if (pTranslator->load(strFile))
            QCoreApplication::installTranslator(pTranslator);
        else
            delete pTranslator;
    }
}

void LoadAppStyleSheet(const CInstallation& installation)
{
    const QString strFolder = installation.AppStyleSheetFolder();
    // Without QDir::CaseSensitive the filter also takes "*.css".
    const QStringList names =
        QDir(strFolder).entryList(QStringList("*.CSS"), QDir::Files, QDir::NoSort);
    qApp->setStyleSheet(QString::fromUtf8(DAROZ::VxFile::ReadAll(names, strFolder)));
}

// The bytes are the GBK form of the word; read with the local encoding they
// would give a different name on every system that is not set to GBK.
QString ApplicationIdentityName()
{
    if (QTextCodec* pGbk = QTextCodec::codecForName("GBK"))
        return pGbk->toUnicode("\xC9\xFD\xBC\xB6");
    return QString(QChar(0x5347)) + QChar(0x7EA7);
}

void SetApplicationIdentity()
{
    const QString strName = ApplicationIdentityName();
    QCoreApplication::setOrganizationName(strName);
    QCoreApplication::setApplicationName(strName);
}

namespace {

// A link is never followed, and an empty folder holds no one; what else
// stands in the lock file's place is not ours to remove. True when the
// place is free for a lock file, or holds one.
bool ClearLockPlace(const QString& path)
{
    RemoveLinkAt(path);
    if (PathEntryAt(path) == EPathEntry::Folder)
        QDir().rmdir(path);
    const EPathEntry entry = PathEntryAt(path);
    return entry == EPathEntry::Missing || entry == EPathEntry::File;
}

// Whether the live process a lock names may be an updater of this
// installation. The lock of an updater that died can name a process id that
// another program, or another folder's updater, has since been given: Qt
// looks at the executable's file name alone, and would let that block every
// update. A process we may not ask about (another user's) may be ours.
bool MayBeOurUpdater(qint64 pid)
{
    const std::string exe = Platform::ExecutablePathOf(pid);
    if (exe.empty())
        return true;
    return QFileInfo(QFile::decodeName(QByteArray::fromStdString(exe)))
        == QFileInfo(QCoreApplication::applicationFilePath());
}

// What a lock that Qt did not take over names: a live process, or no one (a
// file left by a crash between its creation and its first write).
bool HeldByUpdater(const QLockFile& lock)
{
    qint64 pid = 0;
    QString host;
    QString app;
    if (!lock.getLockInfo(&pid, &host, &app))
        return false;
    // Another computer's process id means nothing here.
    if (!host.isEmpty() && host != QSysInfo::machineHostName())
        return true;
    return MayBeOurUpdater(pid);
}

std::unique_ptr<QLockFile> TakeLock(const QString& path)
{
    auto lock = std::make_unique<QLockFile>(path);
    // No age makes a lock stale: an update may take long. Only an owner
    // that no longer runs gives it up, and that is seen at once.
    lock->setStaleLockTime(0);
    if (lock->tryLock(0) || lock->error() != QLockFile::LockFailedError)
        return lock;
    // An updater may have made this file a moment ago and not yet written
    // itself into it, or just taken it over. A time in the future (a clock
    // put back) makes no file young for ever.
    if (qAbs(QFileInfo(path).lastModified().secsTo(QDateTime::currentDateTime())) < 2)
        return nullptr;
    // Judged and removed under the guard of Qt's own takeover, so that two
    // updaters starting together never remove the lock one of them has just
    // made.
    QLockFile guard(path + QLatin1String(".rmlock"));
    if (!guard.tryLock(0) || HeldByUpdater(*lock))
        return nullptr;
    lock->removeStaleLockFile();
    if (lock->tryLock(0) || lock->error() != QLockFile::LockFailedError)
        return lock;
    return nullptr;
}

} // namespace

CInstallationLock LockInstallation(const CInstallation& installation)
{
    const QString path = installation.LockPath();
    CInstallationLock result;
    if (!ClearLockPlace(path)) {
        result.strRefusal = QObject::tr("The update cannot start: %1 is in the way of its lock file. "
                                        "Remove it and try again.")
                                .arg(QDir::toNativeSeparators(path));
        return result;
    }
    result.pLock = TakeLock(path);
    if (!result.pLock)
        result.strRefusal = QObject::tr("An update is already running.");
    return result;
}

} // namespace Update
