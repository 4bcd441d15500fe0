#pragma once

#include "UpdateFailure.h"

#include "PlatformFile.h"

#include <QFile>
#include <QString>

#include <atomic>
#include <memory>

namespace Update {

class CHeldFile;
class CHeldFolder;

// The folder a package is unpacked into, and the rules that keep every
// entry inside it on every platform: no rooted name, no drive letter or
// stream, no ".." step however Windows would read it, no link on the way.
// Files land flat in it under their base names; folder entries make folders.
// Once made, the folder is held open and every file and folder is made from
// there one step at a time, refusing a link at each: a link that takes the
// folder's name, or a step's, while the package is unpacked leads nowhere.
// What another program holds open for a moment (a scanner, an indexer) is
// waited for, up to 10 s each, unless stop is set.
class CSafeTarget
{
public:
    explicit CSafeTarget(const QString& dir, const std::atomic<bool>* stop = nullptr);

    const QString& Dir() const { return m_strDir; }
    // How each file and folder open waits for another program's hold.
    Platform::Patience Patience() const;

    // Removes the plain files directly in the folder (not its subfolders,
    // not hidden ones), then the folder itself if that left it empty. A link
    // in the folder's place is removed; what it names stays.
    void Empty() const;
    // Makes the folder with its missing parents, a link in its place
    // removed, and holds it. False when no folder can be held there (then
    // why is in Failure()).
    bool Create();
    // The folder that Create() holds; null before.
    std::shared_ptr<CHeldFolder> Folder() const { return m_pFolder; }
    CFailure Failure() const { return m_failure; }

    // Makes the folder that a folder entry ("a/b/") names, unless the name
    // leads out of the target or a step is a link. Its result is ignored, as
    // an existing folder is fine.
    void MakeFolder(const QString& entryName) const;

    // The name a file entry is written under: its base name, directly in the
    // target; empty when that name could lead out, so the entry is skipped.
    QString FileName(const QString& entryName) const;
    // The same joined to the target folder's path.
    QString FilePath(const QString& entryName) const;

    // Whether a name joined to the target stays below it on every platform.
    static bool StaysInside(const QString& name);

private:
    QString m_strDir;
    QString m_strRoot; // m_strDir with a trailing separator
    std::shared_ptr<CHeldFolder> m_pFolder;
    CFailure m_failure;
    const std::atomic<bool>* m_pStop;
};

// One file being written into the target. What does not complete is
// removed, so a cut file never passes for a good one.
class CTargetFile
{
public:
    // Creates the file name (a FileName()) in the target's held folder for
    // writing. Whatever stands there but a folder (a link, a second name of
    // another file) is removed as a name first, never written through.
    // False when it cannot be made.
    bool Open(const CSafeTarget& target, const QString& name);
    // False when not all of it was written; Failure() then tells why.
    bool Write(const char* data, qint64 size);
    // Closes a complete file and gives it the mode that a Unix zipper
    // recorded (st_mode, 0 for none). False when closing failed.
    bool Finish(quint32 unixMode);
    // Closes and removes what was written.
    void Discard();
    // The finished file, still held open and sealed as written; after it
    // the file is no longer this object's.
    std::shared_ptr<CHeldFile> TakeFile();

    // Why the last write failed: UnpackDiskFull when the volume has no room
    // left for it, otherwise UnpackFile with the file's error text.
    const CFailure& Failure() const { return m_failure; }

private:
    void NoteWriteFailure(qint64 unwritten);

    QFile m_file; // writes through m_pHeld
    std::shared_ptr<CHeldFile> m_pHeld;
    std::shared_ptr<CHeldFolder> m_pFolder;
    QString m_strName;
    QString m_strPath;
    CFailure m_failure;
};

} // namespace Update
