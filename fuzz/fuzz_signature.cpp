// Bytes -> a key file, a signature file and a package, split at the first two
// separators (a missing one leaves the rest empty). The parsers must not crash,
// and an accepted signature must be one that libsodium itself verifies when
// the fields are taken from the text here, independently of the parsers: a
// prehashed Ed25519 signature of the package's BLAKE2b-512 hash by the key,
// and a global signature over it and the trusted comment.

#include "PackageSignature.h"

#include <QByteArray>
#include <QList>

#include <sodium.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

const QByteArray kSeparator("\n=====\n");

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

QByteArray Line(const QByteArray& text, int index)
{
    const QList<QByteArray> lines = text.split('\n');
    if (index >= lines.size())
        return QByteArray();
    QByteArray line = lines[index];
    if (line.endsWith('\r'))
        line.chop(1);
    return line;
}

QByteArray Decode(const QByteArray& line)
{
    unsigned char out[128];
    size_t length = 0;
    if (sodium_base642bin(out, sizeof out, line.constData(), size_t(line.size()), nullptr, &length, nullptr,
                          sodium_base64_VARIANT_ORIGINAL)
        != 0)
        return QByteArray();
    return QByteArray(reinterpret_cast<const char*>(out), int(length));
}

bool Verifies(const QByteArray& signature, const QByteArray& message, const QByteArray& key)
{
    return signature.size() == crypto_sign_BYTES && key.size() == crypto_sign_PUBLICKEYBYTES
        && crypto_sign_verify_detached(reinterpret_cast<const unsigned char*>(signature.constData()),
                                       reinterpret_cast<const unsigned char*>(message.constData()),
                                       size_t(message.size()),
                                       reinterpret_cast<const unsigned char*>(key.constData()))
        == 0;
}

// The key of the file (one or several, any line may hold one) whose id the
// signature names.
QByteArray KeyOfId(const QByteArray& keyText, const QByteArray& keyId)
{
    const int lines = keyText.count('\n') + 1;
    for (int i = 0; i < lines; ++i) {
        const QByteArray key = Decode(Line(keyText, i));
        if (key.size() == 42 && key.startsWith("Ed") && key.mid(2, 8) == keyId)
            return key;
    }
    return QByteArray();
}

void CheckAccepted(const QByteArray& keyText, const QByteArray& sigText, const QByteArray& package)
{
    const QByteArray sig = Decode(Line(sigText, 1));
    const QByteArray global = Decode(Line(sigText, 3));
    const QByteArray comment = Line(sigText, 2);
    if (sig.size() != 74 || !sig.startsWith("ED"))
        Fail("accepted a signature that is not prehashed");
    const QByteArray key = KeyOfId(keyText, sig.mid(2, 8));
    if (key.isEmpty())
        Fail("accepted a signature whose key id is none of the keys'");
    if (!comment.startsWith("trusted comment: "))
        Fail("accepted without a trusted comment");
    QByteArray hash(crypto_generichash_BYTES_MAX, '\0');
    crypto_generichash(reinterpret_cast<unsigned char*>(hash.data()), size_t(hash.size()),
                       reinterpret_cast<const unsigned char*>(package.constData()), size_t(package.size()),
                       nullptr, 0);
    if (!Verifies(sig.mid(10), hash, key.mid(10)))
        Fail("accepted a signature that does not sign the package");
    if (!Verifies(global, sig.mid(10) + comment.mid(17), key.mid(10)))
        Fail("accepted a trusted comment that the global signature does not cover");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    return sodium_init() < 0 ? 1 : 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 3 * 4096)
        return 0;
    const QByteArray input = QByteArray::fromRawData(reinterpret_cast<const char*>(data), int(size));
    const int first = input.indexOf(kSeparator);
    const int second = first < 0 ? -1 : input.indexOf(kSeparator, first + kSeparator.size());
    const QByteArray keyText = first < 0 ? input : input.left(first);
    const QByteArray sigText = first < 0 ? input
        : second < 0                     ? input.mid(first + kSeparator.size())
                                         : input.mid(first + kSeparator.size(), second - first - kSeparator.size());
    const QByteArray package = second < 0 ? QByteArray() : input.mid(second + kSeparator.size());

    QList<Update::CUpdateKey> keys;
    if (Update::ParseUpdateKeys(keyText, &keys)) {
        if (keys.isEmpty())
            Fail("parsed a key file without a key");
        for (const Update::CUpdateKey& key : keys)
            if (key.keyId.size() != 8 || key.publicKey.size() != 32)
                Fail("parsed key of the wrong size");
    }
    Update::CSignatureFile signature;
    if (Update::ParseSignatureFile(sigText, &signature)
        && (signature.keyId.size() != 8 || signature.signature.size() != 64
            || signature.globalSignature.size() != 64 || sigText.size() > Update::kMaxSignatureBytes))
        Fail("parsed signature of the wrong size");

    // Fed in two uneven halves: the streamed hash must be the one-shot hash.
    Update::CPackageHasher hasher;
    hasher.AddData(package.left(package.size() / 3));
    hasher.AddData(package.mid(package.size() / 3));
    const Update::ESignatureCheck result = Update::VerifyPackageSignature(keyText, sigText, hasher);
    if (result == Update::ESignatureCheck::Ok)
        CheckAccepted(keyText, sigText, package);
    return 0;
}
