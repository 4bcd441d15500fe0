#include "FileBytes.h"
#include "CDownloadClient.h"
#include "DownloadRecorder.h"
#include "DownloadResume.h"
#include "DownloadRetry.h"
#include "InstallDir.h"
#include "LocalHttpServer.h"
#include "LocalSettings.h"
#include "OutsideTarget.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QNetworkReply>
#include <QTemporaryDir>
#include <QtTest>

using namespace Update;
using Update::Test::Bytes;

namespace {

const int kWaitMs = 15000; // upper bound for the one download here

CRawHeaders Headers(std::initializer_list<QPair<QByteArray, QByteArray>> list)
{
    return CRawHeaders(list);
}

} // namespace

Q_DECLARE_METATYPE(ResumeAnswer)
Q_DECLARE_METATYPE(CRawHeaders)
Q_DECLARE_METATYPE(Update::EFailure)

class TestDownloadRetry : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void retriesSetting_data();
    void retriesSetting();
    void failureKind_data();
    void failureKind();
    void waits_data();
    void waits();
    void resumeValidator_data();
    void resumeValidator();
    void judgeAnswer_data();
    void judgeAnswer();
    void partialRecord_data();
    void partialRecord();
    void recordReplacedAndRemoved();
    void recordInPlaceOfALink_data();
    void recordInPlaceOfALink();
    void hostileRecordReachesNoHeader_data();
    void hostileRecordReachesNoHeader();
    void singleAnswer_data();
    void singleAnswer();
    void partOfValidator_data();
    void partOfValidator();

private:
    QScopedPointer<QTemporaryDir> m_pDir;
};

void TestDownloadRetry::init()
{
    m_pDir.reset(new QTemporaryDir);
    QVERIFY(m_pDir->isValid());
}

void TestDownloadRetry::cleanup()
{
    m_pDir.reset();
}

void TestDownloadRetry::retriesSetting_data()
{
    QTest::addColumn<QByteArray>("ini"); // "-" for no file at all
    QTest::addColumn<int>("retries");

    QTest::newRow("no key: off") << QByteArray("[Skin]\nPath=Corvel\n") << 0;
    QTest::newRow("key in another section: off") << QByteArray("[Skin]\nRetries=3\n") << 0;
    QTest::newRow("0: off") << QByteArray("[Update]\nRetries=0\n") << 0;
    QTest::newRow("10") << QByteArray("[Update]\nRetries=10\n") << 10;
    QTest::newRow("11 counts as 10") << QByteArray("[Update]\nRetries=11\n") << 10;
    QTest::newRow("beyond 64 bits still counts as 10")
        << QByteArray("[Update]\nRetries=99999999999999999999999\n") << 10;
    QTest::newRow("leading zeros") << QByteArray("[Update]\nRetries=007\n") << 7;
    QTest::newRow("blanks around") << QByteArray("[Update]\nRetries = 4 \n") << 4;
    QTest::newRow("negative: off") << QByteArray("[Update]\nRetries=-1\n") << 0;
    QTest::newRow("number and text: off") << QByteArray("[Update]\nRetries=3 times\n") << 0;
    QTest::newRow("fraction: off") << QByteArray("[Update]\nRetries=2.5\n") << 0;
    QTest::newRow("empty: off") << QByteArray("[Update]\nRetries=\n") << 0;
    QTest::newRow("a list: off") << QByteArray("[Update]\nRetries=2,3\n") << 0;
}

// What the window hands the download client from the installation's settings.
void TestDownloadRetry::retriesSetting()
{
    QFETCH(QByteArray, ini);
    QFETCH(int, retries);
    if (ini != "-")
        QVERIFY(TestFiles::WriteAll(m_pDir->filePath("Localcfg.ini"), ini));
    QCOMPARE(ReadLocalSettings(m_pDir->path()).retries, retries);
}

void TestDownloadRetry::failureKind_data()
{
    QTest::addColumn<EFailure>("kind");
    QTest::addColumn<QNetworkReply::NetworkError>("error");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("transient");

    using E = QNetworkReply::NetworkError;
    const EFailure network = EFailure::Network;
    // What a real server does is in the client's retry table; these are the
    // mixed cases, where the kind must win over the network's verdict.
    QTest::newRow("416 outside a resume") << network << E::UnknownContentError << 416 << false;
    QTest::newRow("a cancel") << network << E::OperationCanceledError << 0 << false;
    QTest::newRow("disk error while the network also broke")
        << EFailure::PackageFile << E::RemoteHostClosedError << 200 << false;
    QTest::newRow("disk full while the server was busy")
        << EFailure::PackageDiskFull << E::ServiceUnavailableError << 503 << false;
    QTest::newRow("no package name in the URL") << EFailure::InvalidAddress << E::NoError << 0 << false;
}

void TestDownloadRetry::failureKind()
{
    QFETCH(EFailure, kind);
    QFETCH(QNetworkReply::NetworkError, error);
    QFETCH(int, status);
    QFETCH(bool, transient);
    CDownloadFailure failure;
    failure.failure = CFailure(kind);
    failure.networkError = error;
    failure.httpStatus = status;
    QCOMPARE(IsTransientFailure(failure), transient);
}

void TestDownloadRetry::waits_data()
{
    QTest::addColumn<int>("attempt");
    QTest::addColumn<QByteArray>("retryAfter");
    QTest::addColumn<QDateTime>("now");
    QTest::addColumn<int>("waitMs");

    const QDateTime now(QDate(2025, 3, 14), QTime(12, 0, 0), Qt::UTC); // a Friday
    QTest::newRow("third: 4 s") << 3 << QByteArray() << now << 4000;
    QTest::newRow("sixth: capped at 30 s") << 6 << QByteArray() << now << 30000;
    QTest::newRow("far beyond: no overflow") << 64 << QByteArray() << now << 30000;
    QTest::newRow("attempt 0 is read as the first") << 0 << QByteArray() << now << 1000;

    QTest::newRow("Retry-After 0: at once") << 4 << QByteArray("0") << now << 0;
    QTest::newRow("Retry-After 30: the longest honoured") << 1 << QByteArray("30") << now << 30000;
    QTest::newRow("Retry-After 31: backoff instead") << 2 << QByteArray("31") << now << 2000;
    QTest::newRow("Retry-After beyond 64 bits: backoff")
        << 3 << QByteArray("99999999999999999999999") << now << 4000;
    QTest::newRow("Retry-After negative: backoff") << 1 << QByteArray("-5") << now << 1000;
    QTest::newRow("Retry-After fraction: backoff") << 1 << QByteArray("1.5") << now << 1000;
    QTest::newRow("Retry-After garbage: backoff") << 2 << QByteArray("soon") << now << 2000;
    QTest::newRow("Retry-After with blanks") << 1 << QByteArray(" 7 ") << now << 7000;

    QTest::newRow("date, IMF form, 10 s ahead")
        << 1 << QByteArray("Fri, 14 Mar 2025 12:00:10 GMT") << now << 10000;
    QTest::newRow("date, RFC 850 form, 20 s ahead")
        << 1 << QByteArray("Friday, 14-Mar-25 12:00:20 GMT") << now << 20000;
    QTest::newRow("date, asctime form, 25 s ahead")
        << 1 << QByteArray("Fri Mar 14 12:00:25 2025") << now << 25000;
    const QDateTime early(QDate(2025, 3, 2), QTime(12, 0, 0), Qt::UTC); // a Sunday
    QTest::newRow("date, asctime form with a padded day")
        << 1 << QByteArray("Sun Mar  2 12:00:03 2025") << early << 3000;
    QTest::newRow("date 31 s ahead: backoff") << 3 << QByteArray("Fri, 14 Mar 2025 12:00:31 GMT") << now << 4000;
    QTest::newRow("date a day ahead: backoff") << 1 << QByteArray("Sat, 15 Mar 2025 12:00:00 GMT") << now << 1000;
    QTest::newRow("date already past: at once") << 5 << QByteArray("Fri, 14 Mar 2025 11:59:00 GMT") << now << 0;
    QTest::newRow("unreadable date: backoff") << 2 << QByteArray("Fri, 14 Mar 2025 25:61:00 GMT") << now << 2000;
}

void TestDownloadRetry::waits()
{
    QFETCH(int, attempt);
    QFETCH(QByteArray, retryAfter);
    QFETCH(QDateTime, now);
    QFETCH(int, waitMs);
    QCOMPARE(RetryWaitMs(attempt, retryAfter, now), waitMs);
}

// The validator to resume with, and the coding that refuses an answer whose
// body is not the file as stored (its offsets are not the file's either).
void TestDownloadRetry::resumeValidator_data()
{
    QTest::addColumn<CRawHeaders>("headers");
    QTest::addColumn<QByteArray>("validator");
    QTest::addColumn<QByteArray>("coding"); // what AnswerCoding reports

    const auto row = [](const char* name, const CRawHeaders& headers, const QByteArray& validator,
                        const QByteArray& coding = QByteArray()) {
        QTest::newRow(name) << headers << validator << coding;
    };
    const QByteArray date("Wed, 12 Mar 2025 08:00:00 GMT");
    const QPair<QByteArray, QByteArray> ranges{"Accept-Ranges", "bytes"};
    const QPair<QByteArray, QByteArray> tag{"ETag", "\"v1\""};
    row("ranges and a strong ETag", Headers({ranges, tag, {"Last-Modified", date}}), "\"v1\"");
    row("ranges and only Last-Modified", Headers({ranges, {"Last-Modified", date}}), date);
    row("weak ETag: Last-Modified instead", Headers({ranges, {"ETag", "W/\"v1\""}, {"Last-Modified", date}}), date);
    row("weak ETag alone: no resume", Headers({ranges, {"ETag", "W/\"v1\""}}), QByteArray());
    row("no validator: no resume", Headers({ranges}), QByteArray());
    row("no Accept-Ranges: no resume", Headers({tag}), QByteArray());
    row("Accept-Ranges none: no resume", Headers({{"Accept-Ranges", "none"}, tag}), QByteArray());
    row("header names in any case", Headers({{"accept-ranges", "Bytes"}, {"etag", "\"v2\""}}), "\"v2\"");
    row("gzip-coded body", Headers({ranges, tag, {"Content-Encoding", "gzip"}}), QByteArray(), "gzip");
    row("br-coded body", Headers({ranges, tag, {"Content-Encoding", "br"}}), QByteArray(), "br");
    row("two codings", Headers({ranges, tag, {"Content-Encoding", "gzip, identity"}}), QByteArray(),
        "gzip, identity");
    row("identity coding is no coding", Headers({ranges, tag, {"Content-Encoding", "Identity"}}), "\"v1\"");
}

void TestDownloadRetry::resumeValidator()
{
    QFETCH(CRawHeaders, headers);
    QFETCH(QByteArray, validator);
    QFETCH(QByteArray, coding);
    QCOMPARE(ResumeValidator(headers), validator);
    QCOMPARE(AnswerCoding(headers), coding);
}

void TestDownloadRetry::judgeAnswer_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<qint64>("from");
    QTest::addColumn<QByteArray>("contentRange");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<ResumeAnswer>("answer");

    using A = ResumeAnswer;
    QTest::newRow("206, size not known before") << 206 << qint64(500) << QByteArray("bytes 500-999/1000")
                                                << qint64(-1) << A::Append;
    QTest::newRow("206, size unknown to the server") << 206 << qint64(500) << QByteArray("bytes 500-999/*")
                                                     << qint64(1000) << A::Append;
    QTest::newRow("206, unit in capitals") << 206 << qint64(500) << QByteArray("BYTES 500-999/1000")
                                           << qint64(1000) << A::Append;
    QTest::newRow("206 from elsewhere") << 206 << qint64(500) << QByteArray("bytes 400-999/1000") << qint64(1000)
                                        << A::StartOver;
    QTest::newRow("206 that stops short of the end")
        << 206 << qint64(500) << QByteArray("bytes 500-799/1000") << qint64(1000) << A::StartOver;
    QTest::newRow("206 of a package of another size")
        << 206 << qint64(500) << QByteArray("bytes 500-1999/2000") << qint64(1000) << A::StartOver;
    QTest::newRow("206 without Content-Range (several parts)")
        << 206 << qint64(500) << QByteArray() << qint64(1000) << A::StartOver;
    QTest::newRow("206, range past its own total")
        << 206 << qint64(500) << QByteArray("bytes 500-1000/1000") << qint64(-1) << A::StartOver;
    QTest::newRow("206, last before first") << 206 << qint64(500) << QByteArray("bytes 500-499/1000")
                                            << qint64(-1) << A::StartOver;
    QTest::newRow("206, other unit") << 206 << qint64(500) << QByteArray("items 500-999/1000") << qint64(-1)
                                     << A::StartOver;
    QTest::newRow("206, garbled") << 206 << qint64(500) << QByteArray("bytes 500-x/1000") << qint64(-1)
                                  << A::StartOver;
}

void TestDownloadRetry::judgeAnswer()
{
    QFETCH(int, status);
    QFETCH(qint64, from);
    QFETCH(QByteArray, contentRange);
    QFETCH(qint64, total);
    QFETCH(ResumeAnswer, answer);
    QCOMPARE(JudgeAnswer(status, from, contentRange, total), answer);
}

void TestDownloadRetry::partialRecord_data()
{
    QTest::addColumn<QString>("recordUrl");
    QTest::addColumn<QByteArray>("recordValidator");
    QTest::addColumn<qint64>("recordBytes");
    QTest::addColumn<QByteArray>("rawRecord"); // written instead when not empty
    QTest::addColumn<int>("packageSize");      // -1: no partial package
    QTest::addColumn<QString>("askedUrl");
    QTest::addColumn<bool>("loaded");

    const QString url("http://127.0.0.1:8080/pkg/client_v2.zip");
    const QByteArray tag("\"5f1e-8a3\"");
    QTest::newRow("same URL, same size") << url << tag << qint64(300) << QByteArray() << 300 << url << true;
    QTest::newRow("URL differing in case") << url << tag << qint64(300) << QByteArray() << 300 << url.toUpper()
                                           << false;
    QTest::newRow("partial package shorter than recorded") << url << tag << qint64(300) << QByteArray() << 299
                                                           << url << false;
    QTest::newRow("no partial package") << url << tag << qint64(300) << QByteArray() << -1 << url << false;
    QTest::newRow("no validator") << url << QByteArray() << qint64(300) << QByteArray() << 300 << url << false;
    QTest::newRow("0 bytes") << url << tag << qint64(0) << QByteArray() << 0 << url << false;

    const QString odd = QString::fromUtf8("http://127.0.0.1/p k%20g/\xe5\x8c\x85=1/client_v2.zip?a=b&c=%25#f");
    QTest::newRow("URL with blanks, escapes, non-ASCII: read back whole")
        << odd << QByteArray("\"a=b c%\"") << qint64(10) << QByteArray() << 10 << odd << true;
    // What a record says goes back to the server: one holding what no answer
    // could have given is no record (validators: hostileRecordReachesNoHeader).
    const QString broken = url + QStringLiteral("\r\nX-Injected: 1");
    QTest::newRow("URL with a line break") << broken << tag << qint64(300) << QByteArray() << 300 << broken << false;
    const QString c1 = url + QChar(0x85);
    QTest::newRow("URL with a C1 control character") << c1 << tag << qint64(300) << QByteArray() << 300 << c1
                                                     << false;
    QTest::newRow("Last-Modified as validator")
        << url << QByteArray("Wed, 12 Mar 2025 08:00:00 GMT") << qint64(300) << QByteArray() << 300 << url << true;

    QTest::newRow("garbage record") << url << tag << qint64(300) << QByteArray("\x01\x02garbage\n") << 300 << url
                                    << false;
    QTest::newRow("record without bytes")
        << url << tag << qint64(300) << QByteArray("url=" + url.toUtf8() + "\nvalidator=%22v%22\n") << 300 << url
        << false;
    QTest::newRow("record with a bad byte count")
        << url << tag << qint64(300) << QByteArray("url=" + url.toUtf8() + "\nvalidator=%22v%22\nbytes=3x\n")
        << 300 << url << false;
    QTest::newRow("record too big to be ours")
        << url << tag << qint64(300)
        << QByteArray("url=" + url.toUtf8() + "\nvalidator=%22v%22\nbytes=300\n" + QByteArray(70000, '#')) << 300
        << url << false;
}

void TestDownloadRetry::partialRecord()
{
    QFETCH(QString, recordUrl);
    QFETCH(QByteArray, recordValidator);
    QFETCH(qint64, recordBytes);
    QFETCH(QByteArray, rawRecord);
    QFETCH(int, packageSize);
    QFETCH(QString, askedUrl);
    QFETCH(bool, loaded);

    // The package of the URL asked for, and a record for recordUrl beside it.
    const CPackage package(askedUrl, m_pDir->path());
    if (packageSize >= 0)
        QVERIFY(TestFiles::WriteAll(package.FilePath(), Bytes(packageSize, 4)));
    CPartialRecord record;
    record.url = recordUrl;
    record.validator = recordValidator;
    record.bytes = recordBytes;
    if (rawRecord.isEmpty())
        QVERIFY(SavePartialRecord(package, record));
    else
        QVERIFY(TestFiles::WriteAll(package.ResumeRecordPath(), rawRecord));

    const std::optional<CPartialRecord> read = LoadPartialRecord(package);
    QCOMPARE(read.has_value(), loaded);
    if (!loaded)
        return;
    QCOMPARE(read->url, recordUrl);
    QCOMPARE(read->validator, recordValidator);
    QCOMPARE(read->bytes, recordBytes);
}

// A newer record replaces the older whole; removal leaves nothing behind;
// a record that cannot be written says so.
void TestDownloadRetry::recordReplacedAndRemoved()
{
    CPartialRecord record;
    record.url = "http://127.0.0.1/pkg/client_v2.zip";
    const CPackage package(record.url, m_pDir->path());
    QVERIFY(TestFiles::WriteAll(package.FilePath(), Bytes(500, 5)));
    record.validator = "\"a-very-long-first-validator-that-the-second-one-is-much-shorter-than\"";
    record.bytes = 200;
    QVERIFY(SavePartialRecord(package, record));
    record.validator = "\"b\"";
    record.bytes = 500;
    QVERIFY(SavePartialRecord(package, record));
    const std::optional<CPartialRecord> read = LoadPartialRecord(package);
    QVERIFY(read.has_value());
    QCOMPARE(read->validator, QByteArray("\"b\""));
    QCOMPARE(read->bytes, qint64(500));

    RemovePartialRecord(package);
    QVERIFY(!QFile::exists(package.ResumeRecordPath()));
    QVERIFY(!LoadPartialRecord(package).has_value());
    QCOMPARE(QDir(m_pDir->path()).entryList(QDir::Files | QDir::Hidden), QStringList{"client_v2.zip"});
    RemovePartialRecord(package); // nothing there: no harm

    QVERIFY(!SavePartialRecord(CPackage(record.url, m_pDir->filePath("missing-folder")), record));
}

// A link where the record belongs is replaced on saving and dropped on
// loading; what it points to stays byte for byte.
void TestDownloadRetry::recordInPlaceOfALink_data()
{
    QTest::addColumn<QString>("pointsTo"); // "file", "folder", "nothing"
    QTest::addColumn<bool>("save");        // else load

    for (const char* target : {"file", "folder", "nothing"}) {
        const char* article = QByteArray(target) == "nothing" ? "" : "a ";
        QTest::addRow("saved where a link to %s%s is", article, target) << QString(target) << true;
        QTest::addRow("loaded where a link to %s%s is", article, target) << QString(target) << false;
    }
}

void TestDownloadRetry::recordInPlaceOfALink()
{
    QFETCH(QString, pointsTo);
    QFETCH(bool, save);

    TestSupport::OutsideTarget outside;
    QVERIFY(outside.isValid());
    const CPackage package("http://127.0.0.1/pkg/client_v2.zip", m_pDir->path());
    QVERIFY(TestFiles::WriteAll(package.FilePath(), Bytes(300, 4)));
    CPartialRecord record;
    record.url = package.Url();
    record.validator = "\"v1\"";
    record.bytes = 300;
    if (pointsTo == "file") {
        // A record that would load, were the link followed.
        QVERIFY(SavePartialRecord(package, record));
        QVERIFY(QFile::remove(outside.File()) && QFile::rename(package.ResumeRecordPath(), outside.File()));
    }
    const QString target = pointsTo == "file" ? outside.File()
        : pointsTo == "folder"                ? outside.Folder()
                                              : outside.Folder() + "/missing";
    QVERIFY(QFile::link(target, package.ResumeRecordPath()));
    const QStringList picture = outside.Picture();

    if (save) {
        QVERIFY(SavePartialRecord(package, record));
        QVERIFY2(!QFileInfo(package.ResumeRecordPath()).isSymLink(), "the record is a file of its own");
        QVERIFY(LoadPartialRecord(package).has_value());
    } else {
        QVERIFY(!LoadPartialRecord(package).has_value());
        QVERIFY2(!QFileInfo(package.ResumeRecordPath()).isSymLink(), "the link is gone");
    }
    QVERIFY2(outside.Picture() == picture, "what the link pointed to was changed");
}

// A planted record with a validator that would end its header: the real
// client ignores it, asks for the whole package, and sends nothing of it.
void TestDownloadRetry::hostileRecordReachesNoHeader_data()
{
    QTest::addColumn<QByteArray>("validator"); // as the record holds it, percent-encoded

    QTest::newRow("CR LF and a header") << QByteArray("%22v1%22%0D%0AX-Injected:%201");
    QTest::newRow("LF and a header") << QByteArray("%22v1%22%0AX-Injected:%201");
    QTest::newRow("CR and a header") << QByteArray("%22v1%22%0DX-Injected:%201");
    QTest::newRow("NUL, then more") << QByteArray("%22v1%22%00X-Injected:%201");
    QTest::newRow("a tab") << QByteArray("%22v%09w%22");
    QTest::newRow("DEL") << QByteArray("%22v%7F%22");
    QTest::newRow("bytes beyond ASCII") << QByteArray("%22v%C3%A9%22");
}

void TestDownloadRetry::hostileRecordReachesNoHeader()
{
    QFETCH(QByteArray, validator);

    TestSupport::InstallDir dir;
    QVERIFY(dir.isValid());
    const QByteArray body = Bytes(64 * 1024, 9);
    LocalHttpServer server;
    server.SetRoute("/pkg/client_v2.zip", LocalHttpRoute::Resumable(body, "\"v1\""));
    QVERIFY(server.Start());
    QString url = server.Url("/pkg/client_v2.zip");
    // A partial package the record fits, so that only its content refuses it.
    QVERIFY(dir.write("client_v2.zip", body.left(1000)));
    QVERIFY(dir.write("client_v2.zip.resume",
                      "url=" + url.toUtf8() + "\nvalidator=" + validator + "\nbytes=1000\n"));

    CDownloadClient client{dir.path()};
    client.SetRetries(1); // a record is read only with retries on
    Test::Recorder recorder;
    recorder.Attach(&client);
    client.StartDownload(url);
    QTRY_VERIFY_WITH_TIMEOUT(recorder.Ended(), kWaitMs);

    QCOMPARE(recorder.errors, QStringList());
    QCOMPARE(server.Requests().size(), 1);
    QCOMPARE(server.RequestHeader(0, "X-Injected"), QByteArray());
    QCOMPARE(server.RequestHeader(0, "If-Range"), QByteArray());
    QCOMPARE(server.RequestHeader(0, "Range"), QByteArray());
    QFile package(dir.filePath("client_v2.zip"));
    QVERIFY(package.open(QIODevice::ReadOnly));
    QVERIFY2(package.readAll() == body, "the partial package was replaced by the whole one");
    QVERIFY(!QFile::exists(dir.filePath("client_v2.zip.resume")));
}

// "Update/Retries" off: one request from byte 0, and nothing asked again.
void TestDownloadRetry::singleAnswer_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("contentRange");
    QTest::addColumn<ResumeAnswer>("answer");

    using A = ResumeAnswer;
    QTest::newRow("206 of the whole file") << 206 << QByteArray("bytes 0-999/1000") << A::Append;
    QTest::newRow("206 of the whole file, size unknown") << 206 << QByteArray("bytes 0-999/*") << A::Append;
    QTest::newRow("206 stopping short: fails") << 206 << QByteArray("bytes 0-499/1000") << A::Refused;
    QTest::newRow("206 without Content-Range: fails") << 206 << QByteArray() << A::Refused;
}

void TestDownloadRetry::singleAnswer()
{
    QFETCH(int, status);
    QFETCH(QByteArray, contentRange);
    QFETCH(ResumeAnswer, answer);
    QCOMPARE(JudgeSingleAnswer(status, contentRange), answer);
}

void TestDownloadRetry::partOfValidator_data()
{
    QTest::addColumn<CRawHeaders>("headers"); // of a 206
    QTest::addColumn<QByteArray>("validator"); // sent in If-Range
    QTest::addColumn<bool>("same");

    const QByteArray date("Wed, 12 Mar 2025 08:00:00 GMT");
    const QByteArray later("Thu, 13 Mar 2025 08:00:00 GMT");
    QTest::newRow("the weak form of the tag sent") << Headers({{"ETag", "W/\"v1\""}}) << QByteArray("\"v1\"") << false;
    QTest::newRow("same Last-Modified") << Headers({{"Last-Modified", date}}) << date << true;
    QTest::newRow("another Last-Modified") << Headers({{"Last-Modified", later}}) << date << false;
    QTest::newRow("ETag sent, only a Last-Modified back: nothing to compare")
        << Headers({{"Last-Modified", later}}) << QByteArray("\"v1\"") << true;
    QTest::newRow("date sent, another ETag back: nothing to compare")
        << Headers({{"ETag", "\"v2\""}}) << date << true;
    QTest::newRow("ETag sent, both back, the tag the same")
        << Headers({{"ETag", "\"v1\""}, {"Last-Modified", later}}) << QByteArray("\"v1\"") << true;
    QTest::newRow("no validator back") << Headers({{"Content-Range", "bytes 5-9/10"}}) << QByteArray("\"v1\"") << true;
    QTest::newRow("nothing sent") << Headers({{"ETag", "\"v2\""}}) << QByteArray() << true;
}

void TestDownloadRetry::partOfValidator()
{
    QFETCH(CRawHeaders, headers);
    QFETCH(QByteArray, validator);
    QFETCH(bool, same);
    QCOMPARE(PartOfValidator(headers, validator), same);
}

QTEST_MAIN(TestDownloadRetry)
#include "tst_downloadretry.moc"
