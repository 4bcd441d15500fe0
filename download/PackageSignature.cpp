#include "PackageSignature.h"
#include "HeldFile.h"

#include <QFile>
#include <QList>
#include <QPair>
#include <QUrl>

#include <sodium.h>

#include <cstring>

namespace Update {

const char* const kUpdateKeyFileName = "UpdateKey.pub";

namespace {

const char kUntrustedPrefix[] = "untrusted comment:";
const char kTrustedPrefix[] = "trusted comment: ";
const int kKeyIdBytes = 8;
const int kAlgorithmBytes = 2;
const int kKeyBlobBytes = kAlgorithmBytes + kKeyIdBytes + int(crypto_sign_PUBLICKEYBYTES);           // 42
const int kSignatureBlobBytes = kAlgorithmBytes + kKeyIdBytes + int(crypto_sign_BYTES);              // 74
const qint64 kFileChunkBytes = 64 * 1024;

static_assert(crypto_generichash_BYTES_MAX == kPackageHashBytes, "BLAKE2b-512 is the largest output");

bool SodiumReady()
{
    // Idempotent and thread-safe; later calls return 1 at once.
    return sodium_init() >= 0;
}

// Splits text into exactly `count` lines ended by "\n" or "\r\n"; the last
// one may lack its line break. Anything after them, a NUL byte or a stray
// "\r" makes the text malformed.
bool SplitLines(const QByteArray& text, int count, QList<QByteArray>* lines)
{
    if (text.contains('\0'))
        return false;
    QList<QByteArray> parts = text.split('\n');
    if (parts.size() == count + 1 && parts.last().isEmpty())
        parts.removeLast();
    if (parts.size() != count)
        return false;
    for (QByteArray& line : parts) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.contains('\r'))
            return false;
    }
    *lines = parts;
    return true;
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

// The parameters of a header value such as
// `attachment; filename="a;b.zip"; filename*=UTF-8''a%3Bb.zip`, names in
// lower case, quoted values unquoted. Items without "=" (the type) are skipped.
QList<QPair<QByteArray, QByteArray>> HeaderParameters(const QByteArray& value)
{
    QList<QPair<QByteArray, QByteArray>> parameters;
    const int size = value.size();
    const auto endOfItem = [&value, size](int from) {
        const int semicolon = value.indexOf(';', from);
        return semicolon < 0 ? size : semicolon;
    };
    int at = 0;
    while (at < size) {
        const int end = endOfItem(at);
        const int equals = value.indexOf('=', at);
        if (equals < 0 || equals > end) {
            at = end + 1;
            continue;
        }
        const QByteArray name = value.mid(at, equals - at).trimmed().toLower();
        at = equals + 1;
        while (at < size && (value[at] == ' ' || value[at] == '\t'))
            ++at;
        QByteArray text;
        if (at < size && value[at] == '"') {
            // A quoted value may hold ';'; a backslash takes the next byte as it is.
            for (++at; at < size && value[at] != '"'; ++at) {
                if (value[at] == '\\' && at + 1 < size)
                    ++at;
                text += value[at];
            }
            at = endOfItem(at) + 1;
        } else {
            const int stop = endOfItem(at);
            text = value.mid(at, stop - at).trimmed();
            at = stop + 1;
        }
        parameters.append(qMakePair(name, text));
    }
    return parameters;
}

// "UTF-8'<language>'<percent-encoded>" (or ISO-8859-1); empty for any other
// character set or form.
QString ExtendedValue(const QByteArray& value)
{
    const int first = value.indexOf('\'');
    const int second = first < 0 ? -1 : value.indexOf('\'', first + 1);
    if (second < 0)
        return QString();
    const QByteArray charset = value.left(first).trimmed().toLower();
    const QByteArray bytes = QByteArray::fromPercentEncoding(value.mid(second + 1));
    if (charset == "utf-8")
        return QString::fromUtf8(bytes);
    if (charset == "iso-8859-1")
        return QString::fromLatin1(bytes);
    return QString();
}

QString DispositionFileName(const QByteArray& contentDisposition)
{
    QString plain;
    QString extended;
    for (const auto& parameter : HeaderParameters(contentDisposition)) {
        if (parameter.first == "filename*" && extended.isEmpty())
            extended = WithoutFolder(ExtendedValue(parameter.second));
        else if (parameter.first == "filename" && plain.isEmpty())
            plain = WithoutFolder(QString::fromUtf8(parameter.second));
    }
    return extended.isEmpty() ? plain : extended;
}

} // namespace

bool ParseUpdateKey(const QByteArray& text, CUpdateKey* key)
{
    QList<QByteArray> lines;
    if (text.size() > kMaxUpdateKeyBytes || !SplitLines(text, 2, &lines))
        return false;
    QByteArray blob;
    if (!lines[0].startsWith(kUntrustedPrefix) || !DecodeExact(lines[1], kKeyBlobBytes, &blob))
        return false;
    if (!blob.startsWith("Ed"))
        return false;
    key->keyId = blob.mid(kAlgorithmBytes, kKeyIdBytes);
    key->publicKey = blob.mid(kAlgorithmBytes + kKeyIdBytes);
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
    CUpdateKey key;
    if (!ParseUpdateKey(keyFileText, &key))
        return ESignatureCheck::KeyUnreadable;
    CSignatureFile signature;
    if (!ParseSignatureFile(signatureText, &signature))
        return ESignatureCheck::SignatureUnreadable;
    if (!signature.prehashed)
        return ESignatureCheck::LegacyFormat;
    if (signature.keyId != key.keyId)
        return ESignatureCheck::OtherKey;
    if (packageHash.size() != kPackageHashBytes || !Verifies(signature.signature, packageHash, key.publicKey))
        return ESignatureCheck::PackageMismatch;
    if (!Verifies(signature.globalSignature, signature.signature + signature.trustedComment, key.publicKey))
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
    for (const QByteArray& field : trustedComment.split('\t'))
        if (field.startsWith("file:"))
            return QString::fromUtf8(field.mid(5));
    return std::nullopt;
}

QString ServedFileName(const QUrl& servedUrl, const QByteArray& contentDisposition)
{
    const QString disposed = DispositionFileName(contentDisposition);
    if (!disposed.isEmpty())
        return disposed;
    // Cut before decoding, then drop what an encoded slash or backslash made a folder.
    const QByteArray path = servedUrl.path(QUrl::FullyEncoded).toUtf8();
    const QByteArray segment = path.mid(path.lastIndexOf('/') + 1);
    return WithoutFolder(QString::fromUtf8(QByteArray::fromPercentEncoding(segment)));
}

ESignatureCheck CheckSignedFileName(const QByteArray& signatureText, const QString& servedName)
{
    CSignatureFile signature;
    if (!ParseSignatureFile(signatureText, &signature))
        return ESignatureCheck::SignatureUnreadable;
    const std::optional<QString> signedName = SignedFileName(signature.trustedComment);
    return !signedName || *signedName == servedName ? ESignatureCheck::Ok : ESignatureCheck::OtherFile;
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

QByteArray ReadUpdateKeyFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    const QByteArray text = file.read(kMaxUpdateKeyBytes + 1);
    return text.size() > kMaxUpdateKeyBytes ? QByteArray() : text;
}

ESignatureCheck VerifyPackageSignature(const QByteArray& keyFileText, const QByteArray& signatureText,
                                       const CPackageHasher& hasher, const QString& servedName)
{
    const ESignatureCheck result = VerifyPackageSignature(keyFileText, signatureText, hasher);
    return result == ESignatureCheck::Ok ? CheckSignedFileName(signatureText, servedName) : result;
}

} // namespace Update
