#pragma once

#include "UpdateFailure.h"

#include <QFile>
#include <QString>

namespace Update {

// The folder a package is unpacked into, and the rules that keep every
// entry inside it on every platform: no rooted name, no drive letter or
// stream, no ".." step however Windows would read it, no link on the way.
// Files land flat in it under their base names; folder entries make folders.
class CSafeTarget
{
public:
    explicit CSafeTarget(const QString& dir);

    const QString& Dir() const { return m_strDir; }

    // Removes the plain files directly in the folder (not its subfolders,
    // not hidden ones), then the folder itself if that left it empty.
    void Empty() const;
    // Makes the folder with its missing parents.
    void Create() const;

    // Makes the folder that a folder entry ("a/b/") names, unless the name
    // leads out of the target or through a link. Its result is ignored, as
    // an existing folder is fine.
    void MakeFolder(const QString& entryName) const;

    // Where a file entry is written: its base name directly in the target;
    // empty when that name could lead out, so the entry is skipped.
    QString FilePath(const QString& entryName) const;

    // Whether a name joined to the target stays below it on every platform.
    static bool StaysInside(const QString& name);

private:
    QString m_strDir;
    QString m_strRoot; // m_strDir with a trailing separator
};

// One file being written into the target. What does not complete is
// removed, so a cut file never passes for a good one.
class CTargetFile
{
public:
    // Creates or truncates path for writing. False when a link stands there
    // (it would send the content elsewhere) or the file cannot be opened.
    bool Open(const QString& path);
    // False when not all of it was written; Failure() then tells why.
    bool Write(const char* data, qint64 size);
    // Closes a complete file and gives it the mode that a Unix zipper
    // recorded (st_mode, 0 for none). False when closing failed.
    bool Finish(quint32 unixMode);
    // Closes and removes what was written.
    void Discard();

    // Why the last write failed: UnpackDiskFull when the volume has no room
    // left for it, otherwise UnpackFile with the file's error text.
    const CFailure& Failure() const { return m_failure; }

private:
    void NoteWriteFailure(qint64 unwritten);

    QFile m_file;
    CFailure m_failure;
};

} // namespace Update
