#pragma once

// A fresh installation folder for one test, handed to what the test drives
// as start-up hands the real one; the process's current folder is left
// alone, so a piece that still reads it writes elsewhere and fails. With a
// subfolder name, the installation folder is that subfolder of the temporary
// folder, so a test can watch its neighbours for stray writes.

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
    explicit InstallDir(const QString& subfolder = QString()) : m_pOuter(Innermost())
    {
        m_strPath = subfolder.isEmpty() ? m_root.path() : m_root.filePath(subfolder);
        m_bValid = m_root.isValid() && QDir().mkpath(m_strPath);
        Innermost() = this;
    }
    ~InstallDir() { Innermost() = m_pOuter; }
    InstallDir(const InstallDir&) = delete;
    InstallDir& operator=(const InstallDir&) = delete;

    bool isValid() const { return m_bValid; }
    QString path() const { return m_strPath; }
    // The folder of the test's newest InstallDir still alive, for the test's
    // own helpers; empty when there is none.
    static QString Current() { return Innermost() ? Innermost()->m_strPath : QString(); }
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
    static InstallDir*& Innermost()
    {
        static InstallDir* innermost = nullptr;
        return innermost;
    }

    InstallDir* m_pOuter;
    QTemporaryDir m_root;
    QString m_strPath;
    bool m_bValid = false;
};

} // namespace TestSupport
