#include "Minisign.h"
#include "PackageHashWorker.h"
#include "PathEntry.h"
#include "PackageSignature.h"
#include "ZipWriter.h"

#include "InstallDir.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>

#include <sodium.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace Update;

namespace {

// What a row does to the package, the signature or the key after a good
// signature was made. Everything starts from files the real minisign made.
enum ETamper {
    None,
    CustomTrustedComment,   // signed with -t
    CrLfLineBreaks,         // key and signature passed through a Windows editor
    NoFinalLineBreak,
    FlipPackageByte,
    SignedByOtherKey,
    SignatureOfOtherFile,
    EditTrustedComment,     // an old signature passed off as a newer one
    FlipSignatureByte,
    FlipGlobalSignatureByte,
    FlipKeyId,
    Legacy,                 // minisign -l
    UnknownAlgorithm,
    EmptyAnswer,
    OversizedValid,         // a valid signature beyond the bound
    OversizedPage,          // an error page served with 200
    MissingLine,
    ExtraLine,
    BlankLineInside,
    NotBase64,
    TrustedPrefixChanged,
    NulInComment,
};

QByteArray RandomBytes(int size)
{
    QByteArray bytes(size, '\0');
    randombytes_buf(bytes.data(), size_t(size));
    return bytes;
}

QByteArray FileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool WriteBytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

QByteArray OneShotHash(const QByteArray& data)
{
    QByteArray hash(kPackageHashBytes, '\0');
    crypto_generichash(reinterpret_cast<unsigned char*>(hash.data()), size_t(hash.size()),
                       reinterpret_cast<const unsigned char*>(data.constData()), size_t(data.size()), nullptr, 0);
    return hash;
}

// Hashes a file as the download client would: chunk by chunk.
QByteArray StreamedHash(const QString& path)
{
    CPackageHasher hasher;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    while (!file.atEnd())
        hasher.AddData(file.read(16384));
    return hasher.Result();
}

QList<QByteArray> Lines(const QByteArray& text)
{
    QList<QByteArray> lines = text.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

QByteArray JoinLines(const QList<QByteArray>& lines)
{
    return lines.join('\n') + '\n';
}

// Decodes the base64 line `index`, lets `edit` change the bytes, encodes again.
template <typename Edit>
QByteArray EditBlob(const QByteArray& text, int index, Edit edit)
{
    QList<QByteArray> lines = Lines(text);
    QByteArray blob = QByteArray::fromBase64(lines[index]);
    edit(blob);
    lines[index] = blob.toBase64();
    return JoinLines(lines);
}

} // namespace

class TestPackageSignature : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void verify_data();
    void verify();
    void malformedKey_data();
    void malformedKey();
    void hashInChunks();
    void hashResumedFromFile_data();
    void hashResumedFromFile();
    void hashFromFileLeavesCallerFree();
    void signedFileName_data();
    void signedFileName();
    void expectedFileName_data();
    void expectedFileName();
    void signatureUrl_data();
    void signatureUrl();
    void boundToAskedName_data();
    void boundToAskedName();
    void readSmallFile_data();
    void readSmallFile();

private:
    bool Run(const QStringList& args) { return m_minisign.Run(args); }
    QString Sign(const QString& keyName, const QString& file, const QString& sigPath,
                 const QStringList& extra = QStringList());

    Minisign m_minisign;
    QTemporaryDir m_keys;                   // key pairs A and B, made once
    std::unique_ptr<TestSupport::InstallDir> m_pDir; // this case's files
};

QString TestPackageSignature::Sign(const QString& keyName, const QString& file, const QString& sigPath,
                                   const QStringList& extra)
{
    return m_minisign.Sign(m_keys.filePath(keyName), file, sigPath, extra) ? sigPath : QString();
}

void TestPackageSignature::initTestCase()
{
    QVERIFY(sodium_init() >= 0);
    QVERIFY(m_keys.isValid());
    if (!m_minisign.Available())
        return; // the tests that need it skip
    for (const QString& name : {QStringLiteral("A"), QStringLiteral("B")})
        QVERIFY(m_minisign.MakeKeyPair(m_keys.filePath(name)));
}

void TestPackageSignature::init()
{
    m_pDir = std::make_unique<TestSupport::InstallDir>();
    QVERIFY(m_pDir->isValid());
}

void TestPackageSignature::cleanup()
{
    m_pDir.reset();
}

void TestPackageSignature::verify_data()
{
    QTest::addColumn<bool>("exePackage");
    QTest::addColumn<int>("tamper");
    QTest::addColumn<int>("expected");
    // What minisign -V says of the same files: our verdict never accepts
    // what the tool refuses, and refuses on purpose what it accepts.
    QTest::addColumn<bool>("toolAccepts");

    const int ok = int(ESignatureCheck::Ok);
    const int unreadable = int(ESignatureCheck::SignatureUnreadable);
    const int mismatch = int(ESignatureCheck::PackageMismatch);
    QTest::newRow("good zip") << false << int(None) << ok << true;
    QTest::newRow("good, CRLF line breaks") << false << int(CrLfLineBreaks) << ok << true;
    QTest::newRow("good, no final line break") << false << int(NoFinalLineBreak) << ok << true;
    QTest::newRow("one flipped byte in the zip") << false << int(FlipPackageByte) << mismatch << false;
    QTest::newRow("key id changed") << false << int(FlipKeyId) << int(ESignatureCheck::OtherKey) << false;
    QTest::newRow("signature of another file") << false << int(SignatureOfOtherFile) << mismatch << false;
    QTest::newRow("signature bytes changed") << false << int(FlipSignatureByte) << mismatch << false;
    QTest::newRow("trusted comment edited") << false << int(EditTrustedComment)
                                            << int(ESignatureCheck::CommentMismatch) << false;
    QTest::newRow("global signature changed") << false << int(FlipGlobalSignatureByte)
                                              << int(ESignatureCheck::CommentMismatch) << false;
    QTest::newRow("legacy signature") << false << int(Legacy) << int(ESignatureCheck::LegacyFormat) << true;
    QTest::newRow("unknown algorithm") << false << int(UnknownAlgorithm) << unreadable << false;
    QTest::newRow("empty answer") << false << int(EmptyAnswer) << unreadable << false;
    QTest::newRow("valid but oversized") << false << int(OversizedValid) << unreadable << true;
    QTest::newRow("oversized error page") << false << int(OversizedPage) << unreadable << false;
    QTest::newRow("global signature line missing") << false << int(MissingLine) << unreadable << false;
    QTest::newRow("extra line") << false << int(ExtraLine) << unreadable << true;
    QTest::newRow("blank line inside") << false << int(BlankLineInside) << unreadable << false;
    QTest::newRow("signature line not base64") << false << int(NotBase64) << unreadable << false;
    QTest::newRow("trusted comment prefix changed") << false << int(TrustedPrefixChanged) << unreadable << false;
    QTest::newRow("NUL inside the trusted comment") << false << int(NulInComment) << unreadable << false;
}

void TestPackageSignature::verify()
{
    if (!m_minisign.Available())
        QSKIP("minisign is not installed");
    QFETCH(bool, exePackage);
    QFETCH(int, tamper);
    QFETCH(int, expected);
    QFETCH(bool, toolAccepts);

    // GIVEN a real package and its signature by key A, made by minisign
    const QString package = m_pDir->filePath(exePackage ? "client_update.exe" : "client_update.zip");
    const QByteArray packageBytes = exePackage
        ? "MZ" + RandomBytes(3 * 1024 * 1024)
        : TestZip::MakeZip({TestZip::File("bin/setup.exe", "MZ" + RandomBytes(200000)),
                            TestZip::Folder("bin/"), TestZip::File("notes.txt", "What is new.\n")});
    QVERIFY(WriteBytes(package, packageBytes));
    const QString sigPath = package + ".minisig";
    QString keyPath = m_keys.filePath("A.pub");

    QStringList extra;
    if (tamper == CustomTrustedComment || tamper == EditTrustedComment)
        extra << "-t" << "version 2.1.0 for everyone";
    if (tamper == OversizedValid)
        extra << "-t" << QString(4000, QLatin1Char('v'));
    if (tamper == Legacy)
        extra << "-l";
    const QString signer = tamper == SignedByOtherKey ? "B" : "A";
    QString signedFile = package;
    if (tamper == SignatureOfOtherFile) {
        signedFile = m_pDir->filePath("readme.txt");
        QVERIFY(WriteBytes(signedFile, "another file\n"));
    }
    QVERIFY(!Sign(signer, signedFile, sigPath, extra).isEmpty());
    QByteArray sig = FileBytes(sigPath);
    QVERIFY(!sig.isEmpty());

    // WHEN it is tampered with as the row says
    QByteArray data = packageBytes;
    switch (tamper) {
    case CrLfLineBreaks: {
        sig.replace("\n", "\r\n");
        const QString crlfKey = m_pDir->filePath("crlf.pub");
        QVERIFY(WriteBytes(crlfKey, FileBytes(keyPath).replace("\n", "\r\n")));
        keyPath = crlfKey;
        break;
    }
    case NoFinalLineBreak: sig.chop(1); break;
    case FlipPackageByte: data[data.size() / 2] = char(data[data.size() / 2] ^ 0x01); break;
    case EditTrustedComment: sig.replace("version 2.1.0", "version 2.2.0"); break;
    case FlipSignatureByte: sig = EditBlob(sig, 1, [](QByteArray& b) { b[40] = char(b[40] ^ 0x20); }); break;
    case FlipGlobalSignatureByte: sig = EditBlob(sig, 3, [](QByteArray& b) { b[5] = char(b[5] ^ 0x20); }); break;
    case FlipKeyId: sig = EditBlob(sig, 1, [](QByteArray& b) { b[3] = char(b[3] ^ 0x01); }); break;
    case UnknownAlgorithm: sig = EditBlob(sig, 1, [](QByteArray& b) { b[1] = 'X'; }); break;
    case EmptyAnswer: sig.clear(); break;
    case OversizedPage: sig = "<html><body>" + QByteArray(5000, 'x') + "</body></html>\n"; break;
    case MissingLine: sig = JoinLines(Lines(sig).mid(0, 3)); break;
    case ExtraLine: sig += "untrusted comment: one more\n"; break;
    case BlankLineInside: {
        QList<QByteArray> lines = Lines(sig);
        lines.insert(2, QByteArray());
        sig = JoinLines(lines);
        break;
    }
    case NotBase64: {
        QList<QByteArray> lines = Lines(sig);
        lines[1][10] = '*';
        sig = JoinLines(lines);
        break;
    }
    case TrustedPrefixChanged: sig.replace("trusted comment: ", "trusted comment:"); break;
    case NulInComment: sig.replace("timestamp:", QByteArray("time\0stamp:", 11)); break;
    default: break;
    }
    QVERIFY(WriteBytes(package, data));
    QVERIFY(WriteBytes(sigPath, sig));

    // THEN the verdict, on the hash made while streaming, is the row's
    const QByteArray key = FileBytes(keyPath);
    const QByteArray hash = StreamedHash(package);
    QCOMPARE(hash, OneShotHash(data));
    const ESignatureCheck result = VerifyPackageSignature(key, sig, hash);
    QCOMPARE(int(result), expected);

    // and the real tool judges the same files as the row says
    QCOMPARE(Run({"-V", "-q", "-p", keyPath, "-x", sigPath, "-m", package}), toolAccepts);
}

// What lies in UpdateKey.pub: one damage anywhere refuses it whole; a
// publisher rotating its key ships the old and the new one, and a package
// signed by either passes, chosen by key id.
void TestPackageSignature::malformedKey_data()
{
    QTest::addColumn<QByteArray>("edit");
    QTest::addColumn<int>("expected");

    const auto row = [](const char* name, const char* edit, ESignatureCheck expected = ESignatureCheck::KeyUnreadable) {
        QTest::newRow(name) << QByteArray(edit) << int(expected);
    };
    row("empty file", "empty");
    row("comment line missing", "no comment");
    row("key line missing", "no key");
    row("key too long", "long");
    row("key too short", "short");
    row("prehashed algorithm in a key", "ED");
    row("unknown algorithm", "Xx");
    row("key line not base64", "not base64");
    row("base64 without padding rules", "space");
    row("trailing garbage line", "extra");
    row("a signature file instead", "signature");
    row("oversized comment", "oversized");
    row("a good key, then a damaged one", "good, damaged");
    row("a damaged key, then a good one", "damaged, good");
    row("a good key, then a comment without its key", "good, comment");
    row("the first of two keys signs", "good, other", ESignatureCheck::Ok);
    row("the second of two keys signs", "other, good", ESignatureCheck::Ok);
    row("a blank line between them", "other, blank, good", ESignatureCheck::Ok);
    row("two keys with Windows line breaks", "other, good, crlf", ESignatureCheck::Ok);
    row("neither of two keys signs", "other, other", ESignatureCheck::OtherKey);
}

void TestPackageSignature::malformedKey()
{
    if (!m_minisign.Available())
        QSKIP("minisign is not installed");
    QFETCH(QByteArray, edit);
    QFETCH(int, expected);

    const QString package = m_pDir->filePath("client_update.zip");
    QVERIFY(WriteBytes(package, TestZip::MakeZip({TestZip::File("setup.exe", "MZ" + RandomBytes(4096))})));
    QVERIFY(!Sign("A", package, package + ".minisig").isEmpty());
    const QByteArray sig = FileBytes(package + ".minisig");
    const QByteArray hash = StreamedHash(package);
    const QByteArray good = FileBytes(m_keys.filePath("A.pub"));
    // The untouched key accepts, so each row fails by its edit alone.
    QCOMPARE(VerifyPackageSignature(good, sig, hash), ESignatureCheck::Ok);

    const QList<QByteArray> lines = Lines(good);
    const QByteArray damaged = EditBlob(good, 1, [](QByteArray& b) { b.chop(3); });
    const QByteArray other = FileBytes(m_keys.filePath("B.pub"));
    const QMap<QByteArray, QByteArray> keys = {
        {"empty", QByteArray()},
        {"no comment", lines[1] + '\n'},
        {"no key", lines[0] + '\n'},
        {"long", EditBlob(good, 1, [](QByteArray& b) { b += "xyz"; })},
        {"short", damaged},
        {"ED", EditBlob(good, 1, [](QByteArray& b) { b.replace(0, 2, "ED"); })},
        {"Xx", EditBlob(good, 1, [](QByteArray& b) { b.replace(0, 2, "Xx"); })},
        {"not base64", lines[0] + '\n' + lines[1].left(20) + '!' + lines[1].mid(21) + '\n'},
        {"space", lines[0] + '\n' + lines[1].left(20) + ' ' + lines[1].mid(20) + '\n'},
        {"extra", good + "anything\n"},
        {"signature", sig},
        {"oversized", lines[0] + QByteArray(int(kMaxUpdateKeyBytes), 'c') + '\n' + lines[1] + '\n'},
        {"good, damaged", good + damaged},
        {"damaged, good", damaged + good},
        {"good, comment", good + lines[0] + '\n'},
        {"good, other", good + other},
        {"other, good", other + good},
        {"other, blank, good", other + '\n' + good},
        {"other, good, crlf", QByteArray(other + good).replace("\n", "\r\n")},
        {"other, other", other + other},
    };
    QVERIFY(keys.contains(edit));
    const QByteArray key = keys.value(edit);
    QVERIFY(key != good);

    QList<CUpdateKey> parsed;
    QCOMPARE(ParseUpdateKeys(key, &parsed), expected != int(ESignatureCheck::KeyUnreadable));
    QCOMPARE(int(VerifyPackageSignature(key, sig, hash)), expected);
}

// The same feed straight and through the hashing thread of downloads: more
// than that thread queues, in chunks off its block size, after a restart, and
// a look at the hash halfway that does not disturb the rest.
void TestPackageSignature::hashInChunks()
{
    const int size = 20 * 1024 * 1024 + 3;
    const int chunk = 65537;
    const QByteArray data = RandomBytes(size);
    CPackageHasher hasher;
    CPackageHashWorker worker;
    const QByteArray junk = RandomBytes(5000);
    hasher.AddData(junk);
    worker.AddData(junk);
    hasher.Reset();
    worker.Reset();
    for (int at = 0; at < size; at += chunk) {
        hasher.AddData(data.mid(at, chunk));
        worker.AddData(data.mid(at, chunk));
        if (at <= size / 2 && at + chunk > size / 2) {
            QCOMPARE(hasher.Result(), OneShotHash(data.left(at + chunk)));
            QCOMPARE(worker.Hasher().Result(), OneShotHash(data.left(at + chunk)));
        }
    }
    QCOMPARE(hasher.BytesHashed(), qint64(size));
    QCOMPARE(hasher.Result(), OneShotHash(data));
    QCOMPARE(worker.Hasher().BytesHashed(), qint64(size));
    QCOMPARE(worker.Hasher().Result(), OneShotHash(data));
}

void TestPackageSignature::hashResumedFromFile_data()
{
    QTest::addColumn<int>("onDisk");   // bytes already on disk when the download resumes
    QTest::addColumn<bool>("resumes");

    QTest::newRow("all on disk") << 300000 << true;
    QTest::newRow("more asked than the file holds") << 300001 << false;
    QTest::newRow("negative size") << -1 << false;
}

void TestPackageSignature::hashResumedFromFile()
{
    QFETCH(int, onDisk);
    QFETCH(bool, resumes);

    const QByteArray data = RandomBytes(300000);
    const QString partial = m_pDir->filePath("client_update.zip");
    QVERIFY(WriteBytes(partial, data.left(qMax(onDisk, 0))));

    CPackageHasher hasher;
    hasher.AddData("stale bytes of an earlier attempt");
    QCOMPARE(hasher.ResetFromFile(partial, onDisk), resumes);
    // The same through the hashing thread of downloads, which reads the file
    // on that thread and says when it is done.
    CPackageHashWorker worker;
    worker.AddData("stale bytes of an earlier attempt");
    std::promise<bool> read;
    std::future<bool> readDone = read.get_future();
    worker.ResetFromFile(partial, onDisk, [&read](bool ok) { read.set_value(ok); });
    QVERIFY(readDone.wait_for(std::chrono::seconds(20)) == std::future_status::ready);
    QCOMPARE(readDone.get(), resumes);
    if (!resumes) {
        QCOMPARE(hasher.BytesHashed(), qint64(0));
        QCOMPARE(hasher.Result(), OneShotHash(QByteArray()));
        QCOMPARE(worker.Hasher().BytesHashed(), qint64(0));
        return;
    }
    QCOMPARE(hasher.BytesHashed(), qint64(onDisk));
    hasher.AddData(data.mid(onDisk));
    worker.AddData(data.mid(onDisk));
    QCOMPARE(hasher.Result(), OneShotHash(data));
    QCOMPARE(worker.Hasher().BytesHashed(), qint64(data.size()));
    QCOMPARE(worker.Hasher().Result(), OneShotHash(data));
}

// Resuming a large package must not hold the window while the bytes already
// on disk are hashed. A named pipe stands in for a slow disk: nothing can be
// read from it until the test writes, which it does only once the call has
// returned (or after 10 s, for a call that waits for the bytes).
void TestPackageSignature::hashFromFileLeavesCallerFree()
{
#ifndef Q_OS_UNIX
    QSKIP("needs a named pipe");
#else
    const QByteArray data = RandomBytes(32 * 1024); // within a pipe's buffer: one write, never blocked
    const QByteArray pipe = QFile::encodeName(m_pDir->filePath("slow-disk"));
    QVERIFY(mkfifo(pipe.constData(), 0600) == 0);
    std::promise<void> go;
    std::atomic<bool> written {false};
    std::thread writer([&go, &written, &pipe, &data] {
        go.get_future().wait_for(std::chrono::seconds(10));
        int fd = -1;
        for (int i = 0; i < 1000 && fd < 0; ++i) { // until a reader has it open, 10 s at most
            fd = ::open(pipe.constData(), O_WRONLY | O_NONBLOCK);
            if (fd < 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (fd < 0)
            return;
        written = ::write(fd, data.constData(), size_t(data.size())) == data.size();
        ::close(fd);
    });
    CPackageHashWorker worker;
    std::promise<bool> read;
    std::future<bool> readDone = read.get_future();
    worker.ResetFromFile(QFile::decodeName(pipe), data.size(), [&read](bool ok) { read.set_value(ok); });
    const bool callerHeld = written.load();
    go.set_value();
    writer.join();
    QVERIFY2(!callerHeld, "the call waited until the bytes on disk were read");
    QVERIFY(written.load());
    QVERIFY(readDone.wait_for(std::chrono::seconds(20)) == std::future_status::ready);
    QVERIFY(readDone.get());
    QCOMPARE(worker.Hasher().Result(), OneShotHash(data));
#endif
}

void TestPackageSignature::readSmallFile_data()
{
    QTest::addColumn<QString>("what"); // what lies at the path
    QTest::addColumn<bool>("read");
    QTest::addColumn<QByteArray>("bytes");

    const QByteArray atBound(int(kMaxUpdateKeyBytes), 'k');
    QTest::newRow("a file at the bound") << "file at bound" << true << atBound;
    QTest::newRow("an empty file") << "empty file" << true << QByteArray();
    QTest::newRow("a link to a file is followed") << "link to file" << true << atBound;
    QTest::newRow("a link to a device, which reads as empty") << "link to /dev/null" << false << QByteArray();
    QTest::newRow("a pipe a writer holds open, never closing it") << "pipe with writer" << false << QByteArray();
}

// A small file of the installation is read whole, never past its bound, and
// only when it is a regular file. Nothing in its place holds the caller: a
// pipe would, read as a file, until a writer came and went. (Over the bound,
// a folder, a broken link: TestNetwork::caFile; a pipe nobody writes to: the
// end-to-end rows.)
void TestPackageSignature::readSmallFile()
{
    QFETCH(QString, what);
    QFETCH(bool, read);
    QFETCH(QByteArray, bytes);

    const QString path = m_pDir->filePath("UpdateKey.pub");
    const QString target = m_pDir->filePath("target.pub");
    const QByteArray atBound(int(kMaxUpdateKeyBytes), 'k');
    if (what == "file at bound")
        QVERIFY(WriteBytes(path, atBound));
    else if (what == "empty file")
        QVERIFY(WriteBytes(path, QByteArray()));
#ifdef Q_OS_UNIX
    else if (what == "link to file")
        QVERIFY(WriteBytes(target, atBound) && QFile::link(target, path));
    else if (what == "link to /dev/null")
        QVERIFY(QFile::link("/dev/null", path));
    int writer = -1;
    if (what == "pipe with writer") {
        QVERIFY(mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
        writer = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NONBLOCK);
        QVERIFY(writer >= 0);
        QVERIFY(::write(writer, "untrusted comment:", 18) == 18);
    }
#else
    else
        QSKIP("links and pipes are tried on POSIX systems");
#endif

    auto result = std::async(std::launch::async, [&path] { return ReadSmallFile(path, kMaxUpdateKeyBytes); });
    const bool returned = result.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
#ifdef Q_OS_UNIX
    // The writer goes: a reader it held lets go.
    if (writer >= 0)
        ::close(writer);
#endif
    const std::optional<QByteArray> text = result.get();
    QVERIFY2(returned, "the read waited on what lies in the file's place");
    QCOMPARE(text.has_value(), read);
    if (read)
        QCOMPARE(*text, bytes);
}

void TestPackageSignature::signedFileName_data()
{
    QTest::addColumn<QByteArray>("comment");
    QTest::addColumn<bool>("bound");
    QTest::addColumn<QString>("name");

    QTest::newRow("older default, without hashed") << QByteArray("timestamp:1\tfile:client_2.1.zip") << true
                                                   << "client_2.1.zip";
    QTest::newRow("blanks in the name") << QByteArray("timestamp:1\tfile:client v2.1.zip\thashed") << true
                                        << "client v2.1.zip";
    QTest::newRow("UTF-8 name") << QByteArray("timestamp:1\tfile:\xe5\xae\xa2\xe6\x88\xb7.zip\thashed") << true
                                << QString::fromUtf8("\xe5\xae\xa2\xe6\x88\xb7.zip");
    QTest::newRow("file: first") << QByteArray("file:setup.exe") << true << "setup.exe";
    QTest::newRow("file: inside a field is no field") << QByteArray("see file:client_2.1.zip") << false << "";
    QTest::newRow("another field ending in file:") << QByteArray("timestamp:1\tmyfile:client_2.1.zip") << false << "";
    QTest::newRow("empty comment") << QByteArray() << false << "";
}

void TestPackageSignature::signedFileName()
{
    QFETCH(QByteArray, comment);
    QFETCH(bool, bound);
    QFETCH(QString, name);
    const std::optional<QString> found = SignedFileName(comment);
    QCOMPARE(found.has_value(), bound);
    if (bound)
        QCOMPARE(*found, name);
}

void TestPackageSignature::expectedFileName_data()
{
    QTest::addColumn<QString>("url"); // the package URL given at launch
    QTest::addColumn<QString>("name");

    QTest::newRow("fragment is not the name") << "https://updates.example.test/pkg/client_2.1.zip#old/client_2.0.zip"
                                              << "client_2.1.zip";
    QTest::newRow("a script whose query names a file") << "https://updates.example.test/get?f=a/b.zip" << "get";
    QTest::newRow("percent-decoded") << "https://updates.example.test/pkg/client%20v2.1.zip" << "client v2.1.zip";
    QTest::newRow("UTF-8, percent-encoded") << "https://updates.example.test/pkg/%E5%AE%A2%E6%88%B7.zip"
                                            << QString::fromUtf8("\xe5\xae\xa2\xe6\x88\xb7.zip");
    QTest::newRow("a lone % is itself") << "https://updates.example.test/pkg/50%.zip" << "50%.zip";
    QTest::newRow("encoded slash is no folder") << "https://updates.example.test/pkg/old%2Fclient_2.1.zip"
                                                << "client_2.1.zip";
    QTest::newRow("encoded backslash is no folder") << "https://updates.example.test/pkg/old%5Cclient_2.1.zip"
                                                    << "client_2.1.zip";
    QTest::newRow("folder URL: no name") << "https://updates.example.test/pkg/" << "";
}

void TestPackageSignature::expectedFileName()
{
    QFETCH(QString, url);
    QFETCH(QString, name);
    QCOMPARE(ExpectedFileName(url), name);
}

void TestPackageSignature::signatureUrl_data()
{
    QTest::addColumn<QString>("packageUrl");
    QTest::addColumn<QString>("servedUrl"); // after redirects; "" when none is known
    QTest::addColumn<QString>("signatureUrl");

    const QString package("https://updates.example.test/pkg/client_2.1.zip");
    QTest::newRow("redirected to a mirror, query kept")
        << package << "https://mirror.example.test/c/client_2.1.zip?token=a%2Fb"
        << "https://mirror.example.test/c/client_2.1.zip.minisig?token=a%2Fb";
    QTest::newRow("redirected, fragment dropped") << package << "https://mirror.example.test/client_2.1.zip#top"
                                                  << "https://mirror.example.test/client_2.1.zip.minisig";
    QTest::newRow("redirected, encoded path stays encoded")
        << package << "https://mirror.example.test/client%20v2.1.zip"
        << "https://mirror.example.test/client%20v2.1.zip.minisig";
}

void TestPackageSignature::signatureUrl()
{
    QFETCH(QString, packageUrl);
    QFETCH(QString, servedUrl);
    QFETCH(QString, signatureUrl);
    QCOMPARE(SignatureUrlFor(packageUrl, servedUrl.isEmpty() ? QUrl() : QUrl(servedUrl)), signatureUrl);
}

// Real signatures by minisign, checked against the name the package URL
// asks for and the installation's stamp: a genuine signature of another file
// is refused on purpose, where minisign itself would accept it; the
// timestamp counts only once the global signature verified.
void TestPackageSignature::boundToAskedName_data()
{
    QTest::addColumn<QString>("signedAs");  // the file name minisign signed
    QTest::addColumn<QString>("comment");   // -t, or "" for minisign's default
    QTest::addColumn<QString>("packageUrl");
    QTest::addColumn<qint64>("stamp");      // kept by the installation; -1: none yet
    QTest::addColumn<QString>("edit");      // "package": a byte changed; "timestamp": raised after signing
    QTest::addColumn<int>("expected");

    const int ok = int(ESignatureCheck::Ok);
    const int other = int(ESignatureCheck::OtherFile);
    const QString files("https://updates.example.test/files/");
    const QString t200("timestamp:200\tfile:client_2.1.zip\thashed");
    const qint64 none = -1;
    QTest::newRow("an older signed package for the new URL")
        << "client_2.0.zip" << "" << files + "client_2.1.zip" << none << "" << other;
    QTest::newRow("the name with a query after it")
        << "client_2.1.zip" << "" << files + "client_2.1.zip?mirror=3" << none << "" << ok;
    QTest::newRow("a download script, signed as its name")
        << "get.php" << "" << "https://updates.example.test/get.php?id=7" << none << "" << ok;
    QTest::newRow("a download script, signed as the file it sends")
        << "client_2.1.zip" << "" << "https://updates.example.test/get.php?id=7" << none << "" << other;
    QTest::newRow("the name in another letter case")
        << "client_2.1.zip" << "" << files + "Client_2.1.zip" << none << "" << other;
    QTest::newRow("a URL without a file name matches no name, not even an empty one")
        << "client_2.1.zip" << "timestamp:1\tfile:\thashed" << "https://updates.example.test" << none << "" << other;
    QTest::newRow("changed bytes fail before the name")
        << "client_2.0.zip" << "" << files + "client_2.1.zip" << none << "package" << int(ESignatureCheck::PackageMismatch);
    QTest::newRow("newer than the installed one") << "x.zip" << t200 << files + "client_2.1.zip" << qint64(199) << ""
                                                  << ok;
    QTest::newRow("older, its timestamp raised after signing")
        << "x.zip" << t200 << files + "client_2.1.zip" << qint64(201) << "timestamp"
        << int(ESignatureCheck::CommentMismatch);
    QTest::newRow("a timestamp that is no number") << "x.zip" << "timestamp:2xx\tfile:client_2.1.zip"
                                                   << files + "client_2.1.zip" << qint64(1) << ""
                                                   << int(ESignatureCheck::NoTimestamp);
    QTest::newRow("a signed name is checked before the age") << "x.zip" << "timestamp:100\tfile:client_2.0.zip"
                                                             << files + "client_2.1.zip" << qint64(200) << "" << other;
}

void TestPackageSignature::boundToAskedName()
{
    if (!m_minisign.Available())
        QSKIP("minisign is not installed");
    QFETCH(QString, signedAs);
    QFETCH(QString, comment);
    QFETCH(QString, packageUrl);
    QFETCH(qint64, stamp);
    QFETCH(QString, edit);
    QFETCH(int, expected);

    const QString package = m_pDir->filePath(signedAs);
    QByteArray bytes = TestZip::MakeZip({TestZip::File("setup.exe", "MZ" + RandomBytes(8192))});
    QVERIFY(WriteBytes(package, bytes));
    const QStringList extra = comment.isEmpty() ? QStringList() : QStringList{"-t", comment};
    QVERIFY(!Sign("A", package, package + ".minisig", extra).isEmpty());
    QByteArray signature = FileBytes(package + ".minisig");
    if (edit == "package")
        bytes[bytes.size() / 2] = char(bytes[bytes.size() / 2] ^ 0x01);
    if (edit == "timestamp")
        signature.replace("timestamp:200", "timestamp:300");
    CPackageHasher hasher;
    hasher.AddData(bytes);

    const QByteArray key = FileBytes(m_keys.filePath("A.pub"));
    const std::optional<qint64> installed = stamp < 0 ? std::nullopt : std::optional<qint64>(stamp);
    QCOMPARE(int(VerifyPackageSignature(key, signature, hasher, ExpectedFileName(packageUrl), installed)),
             expected);
    if (expected == int(ESignatureCheck::OtherFile)) {
        QCOMPARE(int(VerifyPackageSignature(key, signature, hasher)), int(ESignatureCheck::Ok));
        QVERIFY(Run({"-V", "-q", "-p", m_keys.filePath("A.pub"), "-x", package + ".minisig", "-m", package}));
    }
}

QTEST_GUILESS_MAIN(TestPackageSignature)
#include "tst_packagesignature.moc"
