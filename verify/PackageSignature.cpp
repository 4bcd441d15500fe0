#include "PackageSignature.h"
#include "HeldFile.h"

#include <QFile>
#include <QList>
#include <QUrl>

#include <sodium.h>

#include <algorithm>
#include <cstring>

namespace Update {

const char* const kUpdateKeyFileName = "UpdateKey.pub";
const char* const kUpdateStampFileName = "UpdateKey.stamp";

namespace {

const char kUntrustedPrefix[] = "untrusted comment:";
const char kTrustedPrefix[] = "trusted comment: ";
const int kKeyIdBytes = 8;
const int kAlgorithmBytes = 2;
const int kKeyBlobBytes = kAlgorithmBytes + kKeyIdBytes + int(crypto_sign_PUBLICKEYBYTES);           // 42
const int kSignatureBlobBytes = kAlgorithmBytes + kKeyIdBytes + int(crypto_sign_BYTES);              // 74
const qint64 kFileChunkBytes = 64 * 1024;
const int kMaxStampDigits = 18; // fits qint64 whatever the digits

static_assert(crypto_generichash_BYTES_MAX == kPackageHashBytes, "BLAKE2b-512 is the largest output");

bool SodiumReady()
{
    // Idempotent and thread-safe; later calls return 1 at once.
    return sodium_init() >= 0;
}

// Splits text into lines ended by "\n" or "\r\n"; the last one may lack its
// line break. A NUL byte or a stray "\r" makes the text malformed.
bool SplitLines(const QByteArray& text, QList<QByteArray>* lines)
{
    if (text.contains('\0'))
        return false;
    QList<QByteArray> parts = text.split('\n');
    if (parts.last().isEmpty())
        parts.removeLast();
    for (QByteArray& line : parts) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.contains('\r'))
            return false;
    }
    *lines = parts;
    return true;
}

// Exactly `count` lines; anything after them makes the text malformed.
bool SplitLines(const QByteArray& text, int count, QList<QByteArray>* lines)
{
    return SplitLines(text, lines) && lines->size() == count;
}

// Base64 (standard alphabet, padded) that decodes to exactly `size` bytes.
bool DecodeExact(const QByteArray& line, int size, QByteArray* out)
{
    QByteArray bytes(size, '\0');
    size_t length = 0;
    const char* end = nullptr;
    if (sodium_base642bin(reinterpret_cast<unsigned char*>(bytes.data()), size_t(size), line.constData(),
                          size_t(line.size()), nullptr, &length, &end, sodium_base64_VARIANT_ORIGINAL) != 0)
        return false;
    if (length != size_t(size) || end != line.constData() + line.size())
        return false;
    *out = bytes;
    return true;
}

bool Verifies(const QByteArray& signature, const QByteArray& message, const QByteArray& publicKey)
{
    return crypto_sign_verify_detached(reinterpret_cast<const unsigned char*>(signature.constData()),
                                       reinterpret_cast<const unsigned char*>(message.constData()),
                                       size_t(message.size()),
                                       reinterpret_cast<const unsigned char*>(publicKey.constData()))
        == 0;
}

// The last part of a name that may carry folders, of either separator; a
// name that is only "." or ".." names no file.
QString WithoutFolder(const QString& name)
{
    const int cut = qMax(name.lastIndexOf(QLatin1Char('/')), name.lastIndexOf(QLatin1Char('\\')));
    const QString last = name.mid(cut + 1);
    return last == QLatin1String(".") || last == QLatin1String("..") ? QString() : last;
}

// The value of the tab-separated field `name` ("file:", "timestamp:") of a
// trusted comment; the first one counts.
std::optional<QByteArray> CommentField(const QByteArray& trustedComment, const QByteArray& name)
{
    for (const QByteArray& field : trustedComment.split('\t'))
        if (field.startsWith(name))
            return field.mid(name.size());
    return std::nullopt;
}

std::optional<qint64> PlainDecimal(const QByteArray& digits)
{
    if (digits.isEmpty() || digits.size() > kMaxStampDigits)
        return std::nullopt;
    for (char c : digits)
        if (c < '0' || c > '9')
            return std::nullopt;
    return digits.toLongLong();
}

bool ParseKeyLines(const QByteArray& comment, const QByteArray& line, CUpdateKey* key)
{
    QByteArray blob;
    if (!comment.startsWith(kUntrustedPrefix) || !DecodeExact(line, kKeyBlobBytes, &blob) || !blob.startsWith("Ed"))
        return false;
    key->keyId = blob.mid(kAlgorithmBytes, kKeyIdBytes);
    key->publicKey = blob.mid(kAlgorithmBytes + kKeyIdBytes);
    return true;
}

std::optional<QByteArray> TrustedCommentOf(const QByteArray& signatureText)
{
    CSignatureFile signature;
    if (!ParseSignatureFile(signatureText, &signature))
        return std::nullopt;
    return signature.trustedComment;
}

} // namespace

bool ParseUpdateKeys(const QByteArray& text, QList<CUpdateKey>* keys)
{
    QList<QByteArray> lines;
    if (text.size() > kMaxUpdateKeyBytes || !SplitLines(text, &lines))
        return false;
    QList<CUpdateKey> found;
    for (int i = 0; i < lines.size();) {
        if (lines[i].isEmpty()) {
            ++i;
            continue;
        }
        CUpdateKey key;
        if (i + 1 >= lines.size() || !ParseKeyLines(lines[i], lines[i + 1], &key))
            return false;
        found.append(key);
        i += 2;
    }
    if (found.isEmpty())
        return false;
    *keys = found;
    return true;
}

bool ParseSignatureFile(const QByteArray& text, CSignatureFile* signature)
{
    QList<QByteArray> lines;
    if (text.size() > kMaxSignatureBytes || !SplitLines(text, 4, &lines))
        return false;
    QByteArray blob;
    QByteArray global;
    if (!lines[0].startsWith(kUntrustedPrefix) || !DecodeExact(lines[1], kSignatureBlobBytes, &blob)
        || !lines[2].startsWith(kTrustedPrefix) || !DecodeExact(lines[3], int(crypto_sign_BYTES), &global))
        return false;
    const QByteArray algorithm = blob.left(kAlgorithmBytes);
    if (algorithm != "ED" && algorithm != "Ed")
        return false;
    signature->prehashed = algorithm == "ED";
    signature->keyId = blob.mid(kAlgorithmBytes, kKeyIdBytes);
    signature->signature = blob.mid(kAlgorithmBytes + kKeyIdBytes);
    signature->trustedComment = lines[2].mid(int(sizeof(kTrustedPrefix)) - 1);
    signature->globalSignature = global;
    return true;
}

struct CPackageHasher::CState
{
    crypto_generichash_state state;
};

CPackageHasher::CPackageHasher()
    : m_pState(new CState)
{
    SodiumReady();
    Reset();
}

CPackageHasher::~CPackageHasher() = default;

void CPackageHasher::Reset()
{
    crypto_generichash_init(&m_pState->state, nullptr, 0, kPackageHashBytes);
    m_nBytes = 0;
}

bool CPackageHasher::ResetFromFile(const QString& path, qint64 size, const std::atomic<bool>* stop)
{
    Reset();
    QFile file(path);
    if (size < 0 || !file.open(QIODevice::ReadOnly))
        return false;
    QByteArray chunk;
    while (m_nBytes < size) {
        chunk = file.read(qMin(kFileChunkBytes, size - m_nBytes));
        if (chunk.isEmpty() || (stop && stop->load())) {
            Reset();
            return false;
        }
        AddData(chunk);
    }
    return true;
}

bool CPackageHasher::ResetFromFile(const CHeldFile& file, qint64 size, const std::atomic<bool>* stop)
{
    Reset();
    if (size < 0)
        return false;
    QByteArray chunk(int(qMin(kFileChunkBytes, qMax<qint64>(size, 1))), Qt::Uninitialized);
    while (m_nBytes < size) {
        const qint64 got = file.ReadAt(m_nBytes, chunk.data(), qMin<qint64>(chunk.size(), size - m_nBytes));
        if (got <= 0 || (stop && stop->load())) {
            Reset();
            return false;
        }
        AddData(chunk.constData(), got);
    }
    return true;
}

void CPackageHasher::AddData(const char* data, qint64 size)
{
    if (size <= 0)
        return;
    crypto_generichash_update(&m_pState->state, reinterpret_cast<const unsigned char*>(data),
                              static_cast<unsigned long long>(size));
    m_nBytes += size;
}

void CPackageHasher::AddData(const QByteArray& data)
{
    AddData(data.constData(), data.size());
}

qint64 CPackageHasher::BytesHashed() const
{
    return m_nBytes;
}

QByteArray CPackageHasher::Result() const
{
    // The state is plain data: finishing a copy leaves this one open for more.
    CState copy = *m_pState;
    QByteArray hash(kPackageHashBytes, '\0');
    crypto_generichash_final(&copy.state, reinterpret_cast<unsigned char*>(hash.data()), size_t(hash.size()));
    sodium_memzero(&copy, sizeof copy);
    return hash;
}

ESignatureCheck VerifyPackageSignature(const QByteArray& keyFileText, const QByteArray& signatureText,
                                       const QByteArray& packageHash)
{
    if (!SodiumReady())
        return ESignatureCheck::SignatureUnreadable;
    QList<CUpdateKey> keys;
    if (!ParseUpdateKeys(keyFileText, &keys))
        return ESignatureCheck::KeyUnreadable;
    CSignatureFile signature;
    if (!ParseSignatureFile(signatureText, &signature))
        return ESignatureCheck::SignatureUnreadable;
    if (!signature.prehashed)
        return ESignatureCheck::LegacyFormat;
    const auto key = std::find_if(keys.cbegin(), keys.cend(),
                                  [&signature](const CUpdateKey& k) { return k.keyId == signature.keyId; });
    if (key == keys.cend())
        return ESignatureCheck::OtherKey;
    if (packageHash.size() != kPackageHashBytes || !Verifies(signature.signature, packageHash, key->publicKey))
        return ESignatureCheck::PackageMismatch;
    if (!Verifies(signature.globalSignature, signature.signature + signature.trustedComment, key->publicKey))
        return ESignatureCheck::CommentMismatch;
    return ESignatureCheck::Ok;
}

ESignatureCheck VerifyPackageSignature(const QByteArray& keyFileText, const QByteArray& signatureText,
                                       const CPackageHasher& hasher)
{
    return VerifyPackageSignature(keyFileText, signatureText, hasher.Result());
}

std::optional<QString> SignedFileName(const QByteArray& trustedComment)
{
    const std::optional<QByteArray> name = CommentField(trustedComment, "file:");
    return name ? std::optional<QString>(QString::fromUtf8(*name)) : std::nullopt;
}

std::optional<qint64> SignedTimestamp(const QByteArray& trustedComment)
{
    const std::optional<QByteArray> digits = CommentField(trustedComment, "timestamp:");
    return digits ? PlainDecimal(*digits) : std::nullopt;
}

QString ExpectedFileName(const QString& packageUrl)
{
    // Cut before decoding, then drop what an encoded slash or backslash made a folder.
    const QByteArray path = QUrl(packageUrl, QUrl::TolerantMode).path(QUrl::FullyEncoded).toUtf8();
    const QByteArray segment = path.mid(path.lastIndexOf('/') + 1);
    return WithoutFolder(QString::fromUtf8(QByteArray::fromPercentEncoding(segment)));
}

ESignatureCheck CheckSignedFileName(const QByteArray& signatureText, const QString& expectedName)
{
    const std::optional<QByteArray> comment = TrustedCommentOf(signatureText);
    if (!comment)
        return ESignatureCheck::SignatureUnreadable;
    const std::optional<QString> signedName = SignedFileName(*comment);
    if (!signedName)
        return ESignatureCheck::Ok;
    return !expectedName.isEmpty() && *signedName == expectedName ? ESignatureCheck::Ok : ESignatureCheck::OtherFile;
}

std::optional<qint64> ParseUpdateStamp(const QByteArray& text)
{
    if (text.size() > kMaxUpdateStampBytes)
        return std::nullopt;
    QByteArray digits = text;
    if (digits.endsWith('\n'))
        digits.chop(1);
    if (digits.endsWith('\r'))
        digits.chop(1);
    return PlainDecimal(digits);
}

ESignatureCheck CheckNotOlder(const QByteArray& signatureText, std::optional<qint64> installedStamp)
{
    if (!installedStamp)
        return ESignatureCheck::Ok;
    const std::optional<QByteArray> comment = TrustedCommentOf(signatureText);
    if (!comment)
        return ESignatureCheck::SignatureUnreadable;
    const std::optional<qint64> signedAt = SignedTimestamp(*comment);
    if (!signedAt)
        return ESignatureCheck::NoTimestamp;
    return *signedAt < *installedStamp ? ESignatureCheck::Older : ESignatureCheck::Ok;
}

QString SignatureUrlFor(const QString& packageUrl, const QUrl& servedUrl)
{
    if (servedUrl.isEmpty() || !servedUrl.isValid() || servedUrl == QUrl(packageUrl, QUrl::TolerantMode))
        return packageUrl + QLatin1String(".minisig");
    QUrl url = servedUrl;
    url.setFragment(QString());
    url.setPath(url.path(QUrl::FullyEncoded) + QLatin1String(".minisig"), QUrl::TolerantMode);
    return url.toString(QUrl::FullyEncoded);
}

ESignatureCheck VerifyPackageSignature(const QByteArray& keyFileText, const QByteArray& signatureText,
                                       const CPackageHasher& hasher, const QString& expectedName,
                                       std::optional<qint64> installedStamp)
{
    ESignatureCheck result = VerifyPackageSignature(keyFileText, signatureText, hasher);
    if (result == ESignatureCheck::Ok)
        result = CheckSignedFileName(signatureText, expectedName);
    if (result == ESignatureCheck::Ok)
        result = CheckNotOlder(signatureText, installedStamp);
    return result;
}

} // namespace Update
