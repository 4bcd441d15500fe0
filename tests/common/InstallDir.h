#pragma once

// A fresh installation folder for one test, made the current folder as
// start-up makes it; the previous current folder comes back when it goes.
// With a subfolder name, the installation folder is that subfolder of the
// temporary folder, so a test can watch its neighbours for stray writes.

#include "CInstallation.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QTemporaryDir>

namespace TestSupport {

class InstallDir
{
public:
    explicit InstallDir(const QString& subfolder = QString())
        : m_strPrevious(QDir::currentPath())
    {
        m_strPath = subfolder.isEmpty() ? m_root.path() : m_root.filePath(subfolder);
        m_bValid = m_root.isValid() && QDir().mkpath(m_strPath) && QDir::setCurrent(m_strPath);
    }
    ~InstallDir() { QDir::setCurrent(m_strPrevious); }
    InstallDir(const InstallDir&) = delete;
    InstallDir& operator=(const InstallDir&) = delete;

    bool isValid() const { return m_bValid; }
    // The installation folder, which is the current folder.
    QString path() const { return m_strPath; }
    // The temporary folder that holds it (the same unless a subfolder was asked for).
    QString root() const { return m_root.path(); }
    QString filePath(const QString& relative) const { return QDir(m_strPath).filePath(relative); }
    // The installation value on this folder, read from what it holds now.
    Update::CInstallation installation() const { return Update::CInstallation(m_strPath); }

    // Writes a file under the installation folder, making its folders.
    bool write(const QString& relative, const QByteArray& bytes) const
    {
        const QString target = filePath(relative);
        if (!QDir().mkpath(QFileInfo(target).absolutePath()))
            return false;
        QFile file(target);
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush();
    }

private:
    QString m_strPrevious;
    QTemporaryDir m_root;
    QString m_strPath;
    bool m_bValid = false;
};

} // namespace TestSupport
