#include "HeldFile.h"

#include <QFile>

namespace Update {

Platform::NativePath NativeOf(const QString& path)
{
    QString trimmed = path;
    while (trimmed.size() > 1 && (trimmed.endsWith(QLatin1Char('/')) || trimmed.endsWith(QLatin1Char('\\'))))
        trimmed.chop(1);
    return {QFile::encodeName(trimmed).toStdString(), trimmed.toStdU16String()};
}

Platform::NativePath NativeNameOf(const QString& name)
{
    return {QFile::encodeName(name).toStdString(), name.toStdU16String()};
}

CHeldFile::~CHeldFile()
{
    Release();
}

std::shared_ptr<CHeldFile> CHeldFile::OpenPackage(const QString& path, bool keepBytes, QString* error)
{
    const Platform::FileDescriptor file = Platform::OpenPackageFile(NativeOf(path), keepBytes);
    if (file < 0) {
        if (error)
            *error = qt_error_string();
        return nullptr;
    }
    return std::make_shared<CHeldFile>(file);
}

qint64 CHeldFile::Size() const
{
    const Platform::FileIdentity now = Platform::IdentityOf(m_nFile);
    return now.valid ? now.size : -1;
}

qint64 CHeldFile::ReadAt(qint64 offset, char* data, qint64 size) const
{
    return IsOpen() ? Platform::ReadAt(m_nFile, offset, data, size) : -1;
}

void CHeldFile::Seal()
{
    m_sealed = Platform::IdentityOf(m_nFile);
}

bool CHeldFile::IsUnchangedAt(const QString& path) const
{
    return IsOpen() && Platform::SameFile(Platform::IdentityOf(m_nFile), m_sealed)
        && Platform::SameFile(Platform::IdentityAt(NativeOf(path)), m_sealed);
}

// Giving the execute bit changes the file's change time, so from there on
// the bytes are compared: no one but its owner can set a file's times back.
bool CHeldFile::PrepareForStart(const QString& path)
{
    if (!IsUnchangedAt(path))
        return false;
    Platform::MakeOwnerExecutable(m_nFile);
    if (!Platform::HoldForStart(m_nFile, NativeOf(path)))
        return false;
    const Platform::FileIdentity now = Platform::IdentityOf(m_nFile);
    if (!Platform::SameBytes(now, m_sealed))
        return false;
    m_sealed = now;
    return IsUnchangedAt(path);
}

bool CHeldFile::RemoveAt(const QString& path)
{
    if (!IsOpen())
        return false;
    return Platform::RemoveHeldFile(m_nFile, NativeOf(path));
}

void CHeldFile::Release()
{
    Platform::CloseFile(m_nFile);
    m_nFile = -1;
}

CHeldFolder::CHeldFolder(const QString& path, const Platform::Patience& patience)
    : m_strPath(path), m_handle(Platform::OpenFolder(NativeOf(path), patience))
{
}

CHeldFolder::~CHeldFolder()
{
    Release();
}

bool CHeldFolder::IsStillAt() const
{
    return IsOpen() && Platform::IsFolderAt(m_handle, NativeOf(m_strPath));
}

void CHeldFolder::Release()
{
    Platform::CloseFolder(m_handle);
    m_handle = Platform::kNoFolder;
}

} // namespace Update
