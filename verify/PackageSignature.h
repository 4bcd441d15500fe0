#pragma once

// Signed packages: an installation that holds "UpdateKey.pub" (one or more
// minisign public keys) accepts only packages whose minisign signature,
// published as <package URL>.minisig, verifies against one of those keys,
// names the file the client asked for and is not older than the last one
// installed. Every check is libsodium's.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <atomic>
#include <memory>
#include <optional>

class QUrl;

namespace Update {

// The key file in the installation folder that opts the installation in.
extern const char* const kUpdateKeyFileName; // "UpdateKey.pub"
// Beside it, the newest signed timestamp handed over to an installer.
extern const char* const kUpdateStampFileName; // "UpdateKey.stamp"

// A signature answer longer than this is a bad signature; a key file or a
// stamp file longer than this is unreadable. A key takes about 120 bytes.
constexpr qint64 kMaxSignatureBytes = 4096;
constexpr qint64 kMaxUpdateKeyBytes = 16384;
constexpr qint64 kMaxUpdateStampBytes = 32;

// BLAKE2b-512, the hash a prehashed minisign signature signs.
constexpr int kPackageHashBytes = 64;

enum class ESignatureCheck {
    Ok,
    NoSignature,         // none was published (for the caller that fetched it)
    SignatureUnreadable, // malformed, empty, or longer than kMaxSignatureBytes
    LegacyFormat,        // "Ed": the whole file signed, no prehash
    OtherKey,            // the key id is none of the installation's
    PackageMismatch,     // the signature does not sign these bytes
    CommentMismatch,     // the trusted comment was changed after signing
    KeyUnreadable,       // the installation's key file is missing or malformed
    OtherFile,           // the trusted comment names another file than was asked for
    Older,               // its timestamp is older than the one last installed
    NoTimestamp,         // a stamp is kept, and the trusted comment has no timestamp
};

// A public key: an "untrusted comment:" line, then base64 of "Ed", the
// 8-byte key id and the 32-byte Ed25519 key. Line breaks may be "\n" or "\r\n".
struct CUpdateKey
{
    QByteArray keyId;     // 8 bytes
    QByteArray publicKey; // 32 bytes
};
// A key file holds one key or several, one after the other (blank lines
// between them are allowed): a publisher rotating its key ships the old and
// the new one. Fails when any of them is damaged, so a bad edit never
// leaves the installation trusting fewer keys than meant; and when there
// is none.
bool ParseUpdateKeys(const QByteArray& text, QList<CUpdateKey>* keys);

// A signature file: "untrusted comment:" line; base64 of the algorithm ("ED"
// or "Ed"), the key id and the 64-byte signature; "trusted comment: " and the
// comment; base64 of the 64-byte global signature over the signature followed
// by the comment.
struct CSignatureFile
{
    bool prehashed = false;   // "ED"; false for the legacy "Ed"
    QByteArray keyId;         // 8 bytes
    QByteArray signature;     // 64 bytes
    QByteArray trustedComment;
    QByteArray globalSignature; // 64 bytes
};
// Fails for anything else, and for text longer than kMaxSignatureBytes.
bool ParseSignatureFile(const QByteArray& text, CSignatureFile* signature);

class CHeldFile;

// BLAKE2b-512 of a package fed chunk by chunk as it streams to disk.
class CPackageHasher
{
public:
    CPackageHasher();
    ~CPackageHasher();
    CPackageHasher(const CPackageHasher&) = delete;
    CPackageHasher& operator=(const CPackageHasher&) = delete;

    // Back to the hash of nothing: a download that starts again from byte 0.
    void Reset();
    // Reset, then hash the first `size` bytes of the file at `path` (a
    // download that resumes after them). False when the file is shorter or
    // cannot be read, or when *stop turns true first; the hasher is then
    // reset and holds nothing.
    bool ResetFromFile(const QString& path, qint64 size, const std::atomic<bool>* stop = nullptr);
    // The same from a file held open, read where it is held, whatever its
    // name names meanwhile.
    bool ResetFromFile(const CHeldFile& file, qint64 size, const std::atomic<bool>* stop = nullptr);

    void AddData(const char* data, qint64 size);
    void AddData(const QByteArray& data);

    qint64 BytesHashed() const;
    // The hash of everything fed so far (kPackageHashBytes bytes). Feeding may
    // go on afterwards.
    QByteArray Result() const;

private:
    struct CState;
    std::unique_ptr<CState> m_pState;
    qint64 m_nBytes = 0;
};

// The checks, in this order: the keys parse, the signature parses, it is not
// legacy, a key has its key id (the first such key is used), the signature
// over the package hash verifies, the global signature over the signature
// and the trusted comment verifies.
ESignatureCheck VerifyPackageSignature(const QByteArray& keyFileText, const QByteArray& signatureText,
                                       const QByteArray& packageHash);
ESignatureCheck VerifyPackageSignature(const QByteArray& keyFileText, const QByteArray& signatureText,
                                       const CPackageHasher& hasher);

// The name of the file a signature was made for: minisign's default trusted
// comment, "timestamp:<t>\tfile:<name>\thashed", carries it in its "file:"
// field. Nothing when the comment has no such field: the signature is then
// bound to no name, as before.
std::optional<QString> SignedFileName(const QByteArray& trustedComment);

// When it was signed: the seconds of the "timestamp:" field of minisign's
// default trusted comment. Nothing without such a field, or when it is not
// a plain decimal number.
std::optional<qint64> SignedTimestamp(const QByteArray& trustedComment);

// The name the client asked for, which the signature must name: the last
// segment of the package URL's path, percent-decoded, without query or
// fragment (a download script https://host/get.php?id=7 asks for get.php).
// What the server answers (redirects, Content-Disposition) never changes it.
// Any folder part an encoded slash makes is dropped. Empty when the URL
// has no such segment.
QString ExpectedFileName(const QString& packageUrl);

// OtherFile when the trusted comment of signatureText names a file and that
// is not expectedName (exactly, letter case included; an empty expectedName
// matches no name); Ok otherwise. Only meaningful once the signature
// verified: the comment is trusted only then.
ESignatureCheck CheckSignedFileName(const QByteArray& signatureText, const QString& expectedName);

// The stamp kept in "UpdateKey.stamp": decimal seconds, a line break after
// them allowed. Nothing for anything else.
std::optional<qint64> ParseUpdateStamp(const QByteArray& text);

// Against the stamp of the last installed update (nothing when none is
// kept): Older when the trusted comment's timestamp is below it, NoTimestamp
// when it has none (it cannot show it is not older), Ok otherwise; an equal
// timestamp is the same release again. Only meaningful once the signature
// verified.
ESignatureCheck CheckNotOlder(const QByteArray& signatureText, std::optional<qint64> installedStamp);

// Where the signature of a package lies: beside the package as it was finally
// served. Without a redirect (servedUrl is packageUrl) that is packageUrl with
// ".minisig" appended, query and all, as it always was; after redirects it is
// the final URL with ".minisig" appended to its path, its query kept. Where
// it comes from proves nothing: it is verified, and bound to the name asked
// for.
QString SignatureUrlFor(const QString& packageUrl, const QUrl& servedUrl);

// The same checks, then the binding to the name asked for
// (CheckSignedFileName) and the age (CheckNotOlder): a genuine signature of
// an older package served for a newer package's URL is OtherFile, and one
// of an older release under the right name is Older.
ESignatureCheck VerifyPackageSignature(const QByteArray& keyFileText, const QByteArray& signatureText,
                                       const CPackageHasher& hasher, const QString& expectedName,
                                       std::optional<qint64> installedStamp);

} // namespace Update
