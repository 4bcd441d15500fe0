#include "UpdateFailure.h"

#include <QCoreApplication>
#include <QLocale>

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
    case EFailure::ArchiveDamaged:
        return Tr("The package is damaged.");
    case EFailure::UnpackDiskFull:
        return Tr("Not enough disk space to unpack the package.");
    case EFailure::NotEnoughSpace:
        return Tr("Not enough disk space: %1 needed, %2 free.")
            .arg(DataSize(Detail(failure, 0)), DataSize(Detail(failure, 1)));
    }
    return QString();
}

QString FailureText(const CFailure& failure)
{
    const QString reason = FailureReason(failure);
    switch (OpeningOf(failure.kind)) {
    case EOpening::None:
        return reason;
    case EOpening::DownloadFailed:
        return Tr("Update failed, error Type:%1").arg(reason);
    case EOpening::UpdateFailed:
        return Tr("Update failed! %1").arg(reason);
    }
    return reason;
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
    case EFailure::NoInstaller:
    case EFailure::InstallerNotStarted:
        return -1;
    default:
        return 0;
    }
}

} // namespace Update
