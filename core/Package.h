#pragma once

#include <QString>

namespace Update {

// Everything one update knows about where its package lives, settled once
// from the URL and the installation folder: every worker takes it (or the
// paths it needs) instead of building paths of its own.
class CPackage
{
public:
    CPackage() = default;
    CPackage(const QString& url, const QString& installDir);

    // A name follows from the URL, and neither the package file nor its
    // unpack folder would take the place of one of the installation's own
    // items (IsInstallationItem), by its own name or as the 8.3 short name
    // of one. Otherwise nothing may be written, and no path is given.
    bool IsValid() const { return !m_strFilePath.isEmpty(); }

    const QString& Url() const { return m_strUrl; }
    const QString& Name() const { return m_strName; }
    bool IsExe() const { return m_bExe; }
    const QString& InstallDir() const { return m_strInstallDir; }

    // <installation>/<name>.exe or .zip
    const QString& FilePath() const { return m_strFilePath; }
    // <installation>/<name>: where a zip package is unpacked
    const QString& UnpackDir() const { return m_strUnpackDir; }
    // The package URL with ".minisig" appended, query and all.
    QString SignatureUrl() const;
    // <package file>.resume, beside the partial package.
    QString ResumeRecordPath() const;

    // What the install step starts: the package itself, or the first *.exe
    // of the unpack folder; empty when there is none.
    QString InstallerPath() const;

private:
    QString m_strUrl;
    QString m_strName;
    QString m_strInstallDir;
    QString m_strFilePath;
    QString m_strUnpackDir;
    bool m_bExe = false;
};

} // namespace Update
