#pragma once

// Shared by the fault tests: a picture of a folder tree to prove that nothing
// changed where nothing may change, and a file size limit that plays a full
// disk for this process.

#include "FolderTree.h"
#include "InstallDir.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QStringList>

#include <sys/resource.h>

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
        bool inside = false;
        for (const QString& prefix : prefixes)
            inside = inside || item.startsWith(prefix);
        if (!inside)
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

} // namespace Faults
