#pragma once

#include "PlatformFile.h"

#include <QString>

#include <memory>

namespace Update {

// A file the update wrote and holds open until it uses it: the package from
// its first byte to the unpacking or the start, an installer from the
// unpacking to its start. Once sealed, the file as it stood then is the one
// the update may use: the checks compare the held file and the name it goes
// by with that. Shared by whoever uses it in turn (the download, the
// unpacking, the window); used by one thread at a time.
class CHeldFile
{
public:
    explicit CHeldFile(Platform::FileDescriptor file = -1) : m_nFile(file) {}
    ~CHeldFile();
    CHeldFile(const CHeldFile&) = delete;
    CHeldFile& operator=(const CHeldFile&) = delete;

    // The package file at path, for reading and writing; with keepBytes an
    // earlier run's bytes stay when they are this user's alone. Whatever else
    // stands there (a link, a second name of another file) is removed as a
    // name and a new file made. Null, with the reason in error, on failure.
    static std::shared_ptr<CHeldFile> OpenPackage(const QString& path, bool keepBytes, QString* error);

    bool IsOpen() const { return m_nFile >= 0; }
    // For QFile::open(int), which must not close it.
    Platform::FileDescriptor Descriptor() const { return m_nFile; }
    qint64 Size() const;
    // Up to size bytes at offset; what a writer of the descriptor goes by
    // does not move. The count read, 0 at the end, -1 on failure.
    qint64 ReadAt(qint64 offset, char* data, qint64 size) const;

    // The file as it stands now becomes the one to use.
    void Seal();
    // path names this very file, and nothing of it changed since Seal().
    bool IsUnchangedAt(const QString& path) const;
    // Right before path is started as a program: it is unchanged, gets the
    // owner's execute bit, and is held for reading alone from here on (a
    // system starts no program open for writing), still refusing writes,
    // renames and deletes on Windows. False when anything of that failed:
    // the file is not to be started.
    bool PrepareForStart(const QString& path);
    // Removes it as the name path, while that still names it, and lets go.
    bool RemoveAt(const QString& path);
    void Release();

private:
    Platform::FileDescriptor m_nFile = -1;
    Platform::FileIdentity m_sealed;
};

// A folder the update writes into, held open so that each step goes from
// it, whatever takes its name meanwhile; on Windows it can be neither
// renamed nor removed while held.
class CHeldFolder
{
public:
    // Refuses a link at path: IsOpen() is then false. Waits with patience
    // while another program holds the folder.
    explicit CHeldFolder(const QString& path, const Platform::Patience& patience = Platform::Patience());
    ~CHeldFolder();
    CHeldFolder(const CHeldFolder&) = delete;
    CHeldFolder& operator=(const CHeldFolder&) = delete;

    bool IsOpen() const { return m_handle != Platform::kNoFolder; }
    const QString& Path() const { return m_strPath; }
    Platform::FolderHandle Handle() const { return m_handle; }
    // Its path still names this very folder, not a link or another folder.
    bool IsStillAt() const;
    void Release();

private:
    QString m_strPath;
    Platform::FolderHandle m_handle = Platform::kNoFolder;
};

// A path as the platform calls take it; a trailing separator would make the
// system look through a link.
Platform::NativePath NativeOf(const QString& path);
// One name in a folder, as it is.
Platform::NativePath NativeNameOf(const QString& name);

} // namespace Update
