#include "SigningTrust.h"
#include "PackageSignature.h"
#include "PathEntry.h"

#include <QSaveFile>

namespace Update {

namespace {

QString InstallationFile(const QString& installDir, const char* name)
{
    return installDir + QLatin1Char('/') + QLatin1String(name);
}

} // namespace

CSigningTrust CSigningTrust::Load(const QString& installDir)
{
    CSigningTrust trust;
    const QString keyPath = InstallationFile(installDir, kUpdateKeyFileName);
    // A folder or a broken link counts too.
    if (PathEntryAt(keyPath) == EPathEntry::Missing)
        return trust;
    trust.m_bRequired = true;
    const std::optional<QByteArray> keyText = ReadSmallFile(keyPath, kMaxUpdateKeyBytes);
    QList<CUpdateKey> keys;
    if (!keyText || !ParseUpdateKeys(*keyText, &keys)) {
        trust.m_failure = CFailure(EFailure::KeyUnreadable);
        return trust;
    }
    trust.m_keyText = *keyText;
    const QString stampPath = InstallationFile(installDir, kUpdateStampFileName);
    if (PathEntryAt(stampPath) == EPathEntry::Missing)
        return trust;
    const std::optional<QByteArray> stampText = ReadSmallFile(stampPath, kMaxUpdateStampBytes);
    trust.m_installedStamp = stampText ? ParseUpdateStamp(*stampText) : std::nullopt;
    if (!trust.m_installedStamp)
        trust.m_failure = CFailure(EFailure::StampUnreadable);
    return trust;
}

bool StoreInstalledStamp(const QString& installDir, qint64 timestamp)
{
    const QString path = InstallationFile(installDir, kUpdateStampFileName);
    // QSaveFile would write where a link points.
    if (!RemoveLinkAt(path))
        return false;
    QSaveFile file(path);
    const QByteArray text = QByteArray::number(timestamp) + '\n';
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.commit();
}

} // namespace Update
