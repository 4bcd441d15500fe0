#pragma once

// A folder outside the installation, with a file and a subfolder of known
// bytes, for links that a test plants in the installation to point at; and a
// picture of it (every entry with its bytes) to prove that it was left
// byte-for-byte untouched.

#include "FolderTree.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace TestSupport {

class OutsideTarget
{
public:
    OutsideTarget()
    {
        m_bValid = m_dir.isValid() && Write(QStringLiteral("victim.txt"), QByteArray("not the updater's\n").repeated(40))
            && QDir(m_dir.path()).mkpath(QStringLiteral("inner"))
            && Write(QStringLiteral("inner/deep.bin"), QByteArray(3000, '\x5a'));
    }

    bool isValid() const { return m_bValid; }
    QString Folder() const { return m_dir.path(); }
    QString File() const { return m_dir.filePath(QStringLiteral("victim.txt")); }

    // Every entry with its size and hash, links named as links.
    QStringList Picture() const
    {
        return FolderTree(m_dir.path(), [](const QString& path, const QFileInfo& info) {
            QFile file(path);
            const QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("?");
            return QStringLiteral(" %1 %2").arg(info.size()).arg(
                QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex()));
        });
    }

private:
    bool Write(const QString& relative, const QByteArray& bytes)
    {
        QFile file(m_dir.filePath(relative));
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
    }

    QTemporaryDir m_dir;
    bool m_bValid = false;
};

} // namespace TestSupport
