#pragma once

// Shared by the fault tests: a picture of a folder tree to prove that nothing
// changed where nothing may change, a file size limit that plays a full disk
// for this process, and a small volume that really fills up.

#include "FolderTree.h"
#include "InstallDir.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <memory>

namespace Faults {

// "relative/path/" for folders, "relative/path@" for links,
// "relative/path=<size>:<sha1>" for files; sorted.
inline QStringList Snapshot(const QString& root)
{
    return FolderTree(root, [](const QString& path, const QFileInfo& info) {
        QFile file(path);
        QCryptographicHash hash(QCryptographicHash::Sha1);
        if (file.open(QIODevice::ReadOnly))
            hash.addData(&file);
        return QStringLiteral("=%1:%2").arg(info.size()).arg(QString::fromLatin1(hash.result().toHex()));
    });
}

// The items of a snapshot that lie under none of the given prefixes.
inline QStringList Outside(const QStringList& snapshot, const QStringList& prefixes)
{
    QStringList rest;
    for (const QString& item : snapshot) {
        if (std::none_of(prefixes.begin(), prefixes.end(), [&item](const QString& prefix) { return item.startsWith(prefix); }))
            rest << item;
    }
    return rest;
}

// The installation folder "inst", holding the client, beside a neighbour
// "outside/keep.txt"; a fault must change neither the client nor the neighbour.
inline std::unique_ptr<TestSupport::InstallDir> WatchedInstallation()
{
    auto dir = std::make_unique<TestSupport::InstallDir>(QStringLiteral("inst"));
    const bool made = dir->isValid() && dir->write(QStringLiteral("Corvel.exe"), "client")
        && dir->write(QStringLiteral("../outside/keep.txt"), "keep");
    return made ? std::move(dir) : nullptr;
}

// Files of this process may not grow past `bytes` while it lives; a write
// beyond fails with EFBIG as on a full disk instead of raising SIGXFSZ.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        m_bOk = getrlimit(RLIMIT_FSIZE, &m_saved) == 0;
        m_previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limited = m_saved;
        limited.rlim_cur = bytes;
        m_bOk = m_bOk && setrlimit(RLIMIT_FSIZE, &limited) == 0;
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &m_saved);
        std::signal(SIGXFSZ, m_previousHandler);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

    bool IsSet() const { return m_bOk; }

private:
    rlimit m_saved {};
    void (*m_previousHandler)(int) = SIG_DFL;
    bool m_bOk = false;
};

// A volume that really runs out of room, for code that tells a full disk by
// the volume's free space: a tmpfs of a given size, mounted in a user and
// mount namespace of a child process (unshare), so that nothing outside that
// child sees it. The child is this test binary again, running only the
// current function and row with the volume as its temporary folder.
//
//     if (!Faults::SmallVolume::IsInside()) {
//         Faults::SmallVolume::RunCurrentRowInside(1024 * 1024, 60000);
//         return;
//     }
//     ...the row's own steps, on the small volume...
class SmallVolume
{
public:
    static bool IsInside() { return qEnvironmentVariableIsSet(kInside); }

    // Runs the current row in the child and fails the test when the child's
    // row fails; skips it where namespaces or unshare are not available.
    static void RunCurrentRowInside(qint64 bytes, int timeoutMs)
    {
        QTemporaryDir mountPoint;
        QVERIFY(mountPoint.isValid());
        if (!Run(bytes, mountPoint.path(), {QStringLiteral("true")}, timeoutMs).ok)
            QSKIP("no user and mount namespaces here (unshare) for a small volume");
        const QString row = QStringLiteral("%1:%2").arg(QString::fromLatin1(QTest::currentTestFunction()),
                                                        QString::fromLatin1(QTest::currentDataTag()));
        const Outcome child = Run(bytes, mountPoint.path(), {QCoreApplication::applicationFilePath(), row},
                                  timeoutMs);
        QVERIFY2(child.ok, child.output.constData());
    }

private:
    static constexpr const char* kInside = "UPDATE_TEST_ON_SMALL_VOLUME";

    struct Outcome
    {
        bool ok = false;
        QByteArray output;
    };

    static Outcome Run(qint64 bytes, const QString& mountPoint, const QStringList& command, int timeoutMs)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TMPDIR"), mountPoint);
        env.insert(QLatin1String(kInside), QStringLiteral("1"));
        QProcess child;
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::MergedChannels);
        const QString script = QStringLiteral("mount -t tmpfs -o size=\"$1\" tmpfs \"$2\" || exit 1; shift 2; exec \"$@\"");
        child.start(QStringLiteral("unshare"),
                    QStringList{QStringLiteral("--user"), QStringLiteral("--map-root-user"), QStringLiteral("--mount"),
                                QStringLiteral("sh"), QStringLiteral("-c"), script, QStringLiteral("sh"),
                                QString::number(bytes), mountPoint} + command);
        Outcome outcome;
        if (!child.waitForFinished(timeoutMs)) {
            child.kill();
            child.waitForFinished(5000);
            outcome.output = "the child did not end in time\n";
        }
        outcome.output += child.readAll();
        outcome.ok = child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0;
        return outcome;
    }
};

} // namespace Faults
