#include "UpdateFailure.h"

#include <QCoreApplication>
#include <QLocale>
#include <QStorageInfo>
#include <QUrl>

namespace Update {

namespace {

const char* const kContext = "Update::CUpdate";

QString Tr(const char* text)
{
    return QCoreApplication::translate(kContext, text);
}

QString Detail(const CFailure& failure, int i)
{
    return failure.details.value(i);
}

QString DataSize(const QString& bytes)
{
    return QLocale().formattedDataSize(bytes.toLongLong());
}

enum class EOpening { None, DownloadFailed, UpdateFailed };

EOpening OpeningOf(EFailure kind)
{
    switch (kind) {
    case EFailure::None:
    case EFailure::Stopped:
    case EFailure::NotEnoughSpace:
        return EOpening::None;
    case EFailure::InvalidAddress:
    case EFailure::Network:
    case EFailure::HttpStatus:
    case EFailure::Stalled:
    case EFailure::ClosedEarly:
    case EFailure::ResumeRefused:
    case EFailure::PackageDiskFull:
    case EFailure::PackageFile:
    case EFailure::CodedAnswer:
    case EFailure::AnswerTooLarge:
    case EFailure::TlsUntrusted:
    case EFailure::TlsExpired:
    case EFailure::TlsNotYetValid:
    case EFailure::TlsOtherHost:
    case EFailure::TlsSelfSigned:
    case EFailure::TlsRefused:
    case EFailure::ProxyRefused:
        return EOpening::DownloadFailed;
    default:
        return EOpening::UpdateFailed;
    }
}

} // namespace

QString FailureReason(const CFailure& failure)
{
    switch (failure.kind) {
    case EFailure::None:
    case EFailure::Stopped:
    case EFailure::NoInstaller:
    case EFailure::InstallerNotStarted:
        return QString();
    case EFailure::InvalidAddress:
        return Tr("Invalid package address");
    case EFailure::Network:
    case EFailure::PackageFile:
    case EFailure::UnpackFile:
        return Detail(failure, 0);
    case EFailure::HttpStatus:
        return Tr("The server answered %1 %2 without a package").arg(Detail(failure, 0), Detail(failure, 1));
    case EFailure::Stalled:
        return Tr("The server stopped sending data.");
    case EFailure::ClosedEarly:
        return Tr("The connection closed before the whole package arrived.");
    case EFailure::ResumeRefused:
        return Tr("The server did not continue the package where it broke.");
    case EFailure::PackageDiskFull:
        return Tr("Not enough disk space to save the package.");
    case EFailure::CodedAnswer:
        return Tr("The server sent the file encoded as %1, which the updater does not accept.").arg(Detail(failure, 0));
    case EFailure::AnswerTooLarge:
        return Tr("The server sent more than the updater accepts.");
    case EFailure::TlsUntrusted:
        return Tr("The certificate of %1 was issued by an authority this computer does not trust.")
            .arg(Detail(failure, 0));
    case EFailure::TlsExpired:
        return Tr("The certificate of %1 has expired.").arg(Detail(failure, 0));
    case EFailure::TlsNotYetValid:
        return Tr("The certificate of %1 is not valid yet.").arg(Detail(failure, 0));
    case EFailure::TlsOtherHost:
        return Tr("%1 presented a certificate made out for another host.").arg(Detail(failure, 0));
    case EFailure::TlsSelfSigned:
        return Tr("The certificate of %1 is self-signed and not trusted.").arg(Detail(failure, 0));
    case EFailure::TlsRefused:
        return Tr("The certificate of %1 cannot be trusted: %2").arg(Detail(failure, 0), Detail(failure, 1));
    case EFailure::ProxyRefused:
        return Tr("The proxy server %1 did not accept the user name and password.").arg(Detail(failure, 0));
    case EFailure::NoSignature:
        return Tr("The update has no signature.");
    case EFailure::SignatureUnreadable:
        return Tr("The update's signature cannot be read.");
    case EFailure::LegacySignature:
        return Tr("The update is signed in the legacy format; sign it again with current minisign.");
    case EFailure::OtherKey:
        return Tr("The update is signed with another key.");
    case EFailure::SignatureMismatch:
        return Tr("The update's signature does not match it.");
    case EFailure::KeyUnreadable:
        return Tr("The installation's update key cannot be read.");
    case EFailure::SignatureOtherFile:
        return Tr("The signature belongs to another file.");
    case EFailure::OlderRelease:
        return Tr("This update is older than the one installed.");
    case EFailure::NoTimestamp:
        return Tr("The update's signature has no timestamp, so it may be older than the one installed.");
    case EFailure::StampUnreadable:
        return Tr("The installation's update stamp UpdateKey.stamp cannot be read.");
    case EFailure::CaFileUnreadable:
        return Tr("The installation's certificate file UpdateCA.pem holds no valid certificate.");
    case EFailure::ArchiveDamaged:
        return Tr("The package is damaged.");
    case EFailure::UnpackDiskFull:
        return Tr("Not enough disk space to unpack the package.");
    case EFailure::PackageChanged:
    case EFailure::InstallerChanged:
        return Tr("The update was changed on disk after it was checked.");
    case EFailure::NotEnoughSpace:
        return Tr("Not enough disk space: %1 needed, %2 free.")
            .arg(DataSize(Detail(failure, 0)), DataSize(Detail(failure, 1)));
    }
    return QString();
}

// Only the opening is translated; the reason follows it as it is, so that a
// translation of these two fixed texts fits whatever comes after them.
QString FailureText(const CFailure& failure)
{
    const QString reason = FailureReason(failure);
    switch (OpeningOf(failure.kind)) {
    case EOpening::None:
        return reason;
    case EOpening::DownloadFailed:
        return Tr("Update failed, error Type:") + reason;
    case EOpening::UpdateFailed:
        return Tr("Update failed! ") + reason;
    }
    return reason;
}

CFailure RoomOnVolume(const QString& folder, qint64 needed)
{
    if (needed <= 0)
        return CFailure();
    const QStorageInfo volume(folder);
    const qint64 available = volume.bytesAvailable();
    if (!volume.isValid() || available < 0 || available >= needed)
        return CFailure();
    return CFailure(EFailure::NotEnoughSpace, {QString::number(needed), QString::number(available)});
}

QString WithoutPassword(const QString& text, const QUrl& url)
{
    QString result = text;
    for (QUrl::ComponentFormattingOption form : {QUrl::FullyDecoded, QUrl::PrettyDecoded, QUrl::FullyEncoded}) {
        const QString password = url.password(form);
        if (!password.isEmpty())
            result.replace(QLatin1Char(':') + password + QLatin1Char('@'), QStringLiteral("@"));
    }
    return result;
}

QString UrlWithoutPassword(const QString& url)
{
    const QUrl parsed(url, QUrl::TolerantMode);
    if (parsed.password().isEmpty())
        return url;
    const QString cut = WithoutPassword(url, parsed);
    // Written in a form none of Qt's matches: Qt's own text of it, then.
    return cut != url ? cut : parsed.toString(QUrl::RemovePassword);
}

int FailureExitCode(EFailure kind)
{
    switch (kind) {
    case EFailure::NoSignature:
    case EFailure::SignatureUnreadable:
    case EFailure::LegacySignature:
    case EFailure::OtherKey:
    case EFailure::SignatureMismatch:
    case EFailure::KeyUnreadable:
    case EFailure::SignatureOtherFile:
    case EFailure::OlderRelease:
    case EFailure::NoTimestamp:
    case EFailure::StampUnreadable:
    case EFailure::CaFileUnreadable:
    case EFailure::NoInstaller:
    case EFailure::InstallerNotStarted:
    case EFailure::InstallerChanged:
        return -1;
    default:
        return 0;
    }
}

int FailureExitCode(EFailure kind, bool signedInstallation)
{
    if (kind == EFailure::PackageChanged && signedInstallation)
        return -1;
    return FailureExitCode(kind);
}

} // namespace Update
