#pragma once

#include <QMetaType>
#include <QString>
#include <QStringList>

class QUrl;

namespace Update {

// Why an update ended. Every worker reports one of these with its details;
// FailureText() alone turns it into the sentence the user reads.
enum class EFailure {
    None,
    // Getting the package: "Update failed, error Type:" and the reason.
    InvalidAddress,  // no package name follows from the URL
    Network,         // details: the network library's text
    HttpStatus,      // details: status code, reason phrase
    Stalled,         // the server stopped sending
    ClosedEarly,     // the body ended short of its announced size
    ResumeRefused,   // the server would not continue the bytes on disk
    PackageDiskFull, // the disk filled while the package was written
    PackageFile,     // details: the package file's error text
    CodedAnswer,     // details: the answer's Content-Encoding; never decoded
    AnswerTooLarge,  // an answer that is not the package grew past its bound
    // The server's certificate was refused; details: the host.
    TlsUntrusted,    // issued by no authority this computer trusts
    TlsExpired,
    TlsNotYetValid,
    TlsOtherHost,    // made out for another host
    TlsSelfSigned,
    TlsRefused,      // anything else; details: the host, Qt's text
    ProxyRefused,    // details: the proxy as host:port
    // Checking it: "Update failed! " and the reason.
    NoSignature,
    SignatureUnreadable,
    LegacySignature,
    OtherKey,
    SignatureMismatch,
    KeyUnreadable,
    SignatureOtherFile, // the signature names another file than was asked for
    OlderRelease,       // signed before the update last installed
    NoTimestamp,        // a stamp is kept, and the signature carries no timestamp
    StampUnreadable,    // "UpdateKey.stamp" holds no stamp
    CaFileUnreadable,   // "UpdateCA.pem" holds no certificate
    // Unpacking it: "Update failed! " and the reason.
    ArchiveDamaged,  // not a zip, or an entry that cannot be read back whole
    UnpackDiskFull,  // a write ran out of room on the volume
    UnpackFile,      // details: the file's error text
    Stopped,         // the owner asked the worker to stop: nothing to show
    // The package or its installer was changed or swapped on disk after it
    // was written and checked: "Update failed! " and the reason.
    PackageChanged,  // found before the unpacking
    InstallerChanged, // found right before the start
    // Around them.
    NotEnoughSpace,  // details: bytes needed, bytes free
    NoInstaller,
    InstallerNotStarted,
};

struct CFailure
{
    EFailure kind = EFailure::None;
    QStringList details;

    CFailure() = default;
    CFailure(EFailure k, QStringList d = {}) : kind(k), details(std::move(d)) {}
    bool IsFailure() const { return kind != EFailure::None; }
};

// The text of the notice box: the translated opening (context
// "Update::CUpdate") followed by the reason; empty for None and Stopped.
QString FailureText(const CFailure& failure);

// The reason alone, without its "Update failed..." opening (what the
// download client's error signal carries).
QString FailureReason(const CFailure& failure);

// NotEnoughSpace with the numbers when the volume holding `folder` has fewer
// than `needed` bytes free; None when it has room, `needed` is 0 or less, or
// the volume cannot be read (the write itself then tells).
CFailure RoomOnVolume(const QString& folder, qint64 needed);

// text with the password of url's user info taken out wherever it stands in
// a URL ("user:password@" becomes "user@"), in any of the forms Qt writes it.
// Qt's error texts carry the URL they failed on.
QString WithoutPassword(const QString& text, const QUrl& url);

// The URL text as it came, but without the password of its user info.
QString UrlWithoutPassword(const QString& url);

// The updater's exit status after the failure: -1 when a package was refused
// or the installer could not be started, 0 otherwise.
int FailureExitCode(EFailure kind);
// The same in an installation that is signed (or not): a signed one refuses
// a package changed before its unpacking with -1 as well.
int FailureExitCode(EFailure kind, bool signedInstallation);

// The exit status of every refusal of a signed installation's package,
// whatever the check's reason (a signature that could not be fetched over
// TLS or came coded included).
constexpr int kPackageRefusedExitCode = -1;

} // namespace Update

Q_DECLARE_METATYPE(Update::CFailure)
