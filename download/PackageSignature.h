#pragma once

// Signed packages: an installation that holds "UpdateKey.pub" (a minisign
// public key) accepts only packages whose minisign signature, published as
// <package URL>.minisig, verifies against that key. Every check is libsodium's.

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <atomic>
#include <memory>
#include <optional>

class QUrl;

namespace Update {

// The key file in the installation folder that opts the installation in.
extern const char* const kUpdateKeyFileName; // "UpdateKey.pub"

// A signature answer longer than this is a bad signature; a key file longer
// than this is unreadable.
constexpr qint64 kMaxSignatureBytes = 4096;
constexpr qint64 kMaxUpdateKeyBytes = 4096;

// BLAKE2b-512, the hash a prehashed minisign signature signs.
constexpr int kPackageHashBytes = 64;

enum class ESignatureCheck {
    Ok,
    NoSignature,         // none was published (for the caller that fetched it)
    SignatureUnreadable, // malformed, empty, or longer than kMaxSignatureBytes
    LegacyFormat,        // "Ed": the whole file signed, no prehash
    OtherKey,            // the key id is not the installation's
    PackageMismatch,     // the signature does not sign these bytes
    CommentMismatch,     // the trusted comment was changed after signing
    KeyUnreadable,       // the installation's key file is missing or malformed
    OtherFile,           // the trusted comment names another file than was served
};

// A public key file: an "untrusted comment:" line, then base64 of "Ed", the
// 8-byte key id and the 32-byte Ed25519 key. Line breaks may be "\n" or "\r\n".
struct CUpdateKey
{
    QByteArray keyId;     // 8 bytes
    QByteArray publicKey; // 32 bytes
};
bool ParseUpdateKey(const QByteArray& text, CUpdateKey* key);

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

// The checks, in this order: the key parses, the signature parses, it is not
// legacy, the key ids are equal, the signature over the package hash
// verifies, the global signature over the signature and the trusted comment
// verifies.
ESignatureCheck VerifyPackageSignature(const QByteArray& keyFileText, const QByteArray& signatureText,
                                       const QByteArray& packageHash);
ESignatureCheck VerifyPackageSignature(const QByteArray& keyFileText, const QByteArray& signatureText,
                                       const CPackageHasher& hasher);

// The name of the file a signature was made for: minisign's default trusted
// comment, "timestamp:<t>\tfile:<name>\thashed", carries it in its "file:"
// field. Nothing when the comment has no such field: the signature is then
// bound to no name, as before.
std::optional<QString> SignedFileName(const QByteArray& trustedComment);

// The name the package was served under: the file name of a
// Content-Disposition header when it has one ("filename*=UTF-8''..." before
// "filename="), else the last segment of the final URL's path after
// redirects, percent-decoded. Any folder part is dropped. Empty when neither
// gives a name.
QString ServedFileName(const QUrl& servedUrl, const QByteArray& contentDisposition = QByteArray());

// OtherFile when the trusted comment of signatureText names a file and that
// is not servedName (exactly, letter case included); Ok otherwise. Only
// meaningful once the signature verified: the comment is trusted only then.
ESignatureCheck CheckSignedFileName(const QByteArray& signatureText, const QString& servedName);

// Where the signature of a package lies: beside the package as it was finally
// served. Without a redirect (servedUrl is packageUrl) that is packageUrl with
// ".minisig" appended, query and all, as it always was; after redirects it is
// the final URL with ".minisig" appended to its path, its query kept.
QString SignatureUrlFor(const QString& packageUrl, const QUrl& servedUrl);

// A key file read with the bound; empty when it cannot be read or is longer
// (which then fails as KeyUnreadable).
QByteArray ReadUpdateKeyFile(const QString& path);

// The same checks, and then the binding to the served name
// (CheckSignedFileName): a genuine signature of an older package served under
// a newer package's name is OtherFile.
ESignatureCheck VerifyPackageSignature(const QByteArray& keyFileText, const QByteArray& signatureText,
                                       const CPackageHasher& hasher, const QString& servedName);

} // namespace Update
