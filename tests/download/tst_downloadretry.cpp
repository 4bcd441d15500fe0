#include "FileBytes.h"
#include "CDownloadClient.h"
#include "DownloadRecorder.h"
#include "DownloadResume.h"
#include "DownloadRetry.h"
#include "InstallDir.h"
#include "LocalHttpServer.h"
#include "LocalSettings.h"
#include "NginxServer.h"
#include "OutsideTarget.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSaveFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace Update;
using Update::Test::Bytes;

namespace {

const int kWaitMs = 15000; // upper bound for any one request in these tests

// One answer as the client would see it.
struct Answer
{
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    QString errorString;
    int status = 0;
    CRawHeaders headers;
    QByteArray body;
};

Answer Get(const QString& url, const QList<QPair<QByteArray, QByteArray>>& requestHeaders = {})
{
    QNetworkAccessManager manager;
    QNetworkRequest request{QUrl(url)};
    for (const auto& header : requestHeaders)
        request.setRawHeader(header.first, header.second);
    QNetworkReply* reply = manager.get(request);
    QSignalSpy finished(reply, &QNetworkReply::finished);
    Answer answer;
    if (!finished.wait(kWaitMs)) {
        answer.error = QNetworkReply::TimeoutError;
        reply->abort();
    }
    answer.error = reply->error();
    answer.errorString = reply->errorString();
    answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    answer.headers = reply->rawHeaderPairs();
    answer.body = reply->readAll();
    delete reply;
    return answer;
}

CRawHeaders Headers(std::initializer_list<QPair<QByteArray, QByteArray>> list)
{
    return CRawHeaders(list);
}

// One step of a download as the client drives the resume state.
struct Step
{
    qint64 expectedFrom;      // what PrepareRequest returns
    int status;               // the answer's status
    CRawHeaders headers;      // the answer's headers
    ResumeAnswer expected;    // what OnAnswer makes of it
    qint64 written;           // bytes of the body written before the attempt ends
};

} // namespace

Q_DECLARE_METATYPE(QList<Step>)
Q_DECLARE_METATYPE(CPartialRecord)
Q_DECLARE_METATYPE(ResumeAnswer)
Q_DECLARE_METATYPE(CRawHeaders)
Q_DECLARE_METATYPE(QList<LocalHttpRoute>)
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
    void resumeState_data();
    void resumeState();
    void partialRecord_data();
    void partialRecord();
    void recordReplacedAndRemoved();
    void recordInPlaceOfALink_data();
    void recordInPlaceOfALink();
    void hostileRecordReachesNoHeader_data();
    void hostileRecordReachesNoHeader();
    void rangeAnswers_data();
    void rangeAnswers();
    void singleAnswer_data();
    void singleAnswer();
    void partOfValidator_data();
    void partOfValidator();
    void codedAnswers_data();
    void codedAnswers();

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

    QTest::newRow("no Localcfg.ini: off") << QByteArray("-") << 0;
    QTest::newRow("no key: off") << QByteArray("[Skin]\nPath=Corvel\n") << 0;
    QTest::newRow("key in another section: off") << QByteArray("[Skin]\nRetries=3\n") << 0;
    QTest::newRow("0: off") << QByteArray("[Update]\nRetries=0\n") << 0;
    QTest::newRow("1") << QByteArray("[Update]\nRetries=1\n") << 1;
    QTest::newRow("3, beside other keys") << QByteArray("[Skin]\nPath=Corvel\n[Update]\nRetries=3\n") << 3;
    QTest::newRow("10") << QByteArray("[Update]\nRetries=10\n") << 10;
    QTest::newRow("11 counts as 10") << QByteArray("[Update]\nRetries=11\n") << 10;
    QTest::newRow("1000 counts as 10") << QByteArray("[Update]\nRetries=1000\n") << 10;
    QTest::newRow("beyond 64 bits still counts as 10")
        << QByteArray("[Update]\nRetries=99999999999999999999999\n") << 10;
    QTest::newRow("leading zeros") << QByteArray("[Update]\nRetries=007\n") << 7;
    QTest::newRow("blanks around") << QByteArray("[Update]\nRetries = 4 \n") << 4;
    QTest::newRow("negative: off") << QByteArray("[Update]\nRetries=-1\n") << 0;
    QTest::newRow("large negative: off") << QByteArray("[Update]\nRetries=-99999999999999999999\n") << 0;
    QTest::newRow("not a number: off") << QByteArray("[Update]\nRetries=many\n") << 0;
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
    QTest::newRow("body short of its length, though Qt said success")
        << EFailure::ClosedEarly << E::NoError << 200 << true;
    QTest::newRow("the server would not continue the bytes on disk")
        << EFailure::ResumeRefused << E::NoError << 416 << true;
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
    QTest::newRow("first retry: 1 s") << 1 << QByteArray() << now << 1000;
    QTest::newRow("second: 2 s") << 2 << QByteArray() << now << 2000;
    QTest::newRow("third: 4 s") << 3 << QByteArray() << now << 4000;
    QTest::newRow("fifth: 16 s") << 5 << QByteArray() << now << 16000;
    QTest::newRow("sixth: capped at 30 s") << 6 << QByteArray() << now << 30000;
    QTest::newRow("tenth: capped") << 10 << QByteArray() << now << 30000;
    QTest::newRow("far beyond: no overflow") << 64 << QByteArray() << now << 30000;
    QTest::newRow("attempt 0 is read as the first") << 0 << QByteArray() << now << 1000;

    QTest::newRow("Retry-After 5 replaces the backoff") << 1 << QByteArray("5") << now << 5000;
    QTest::newRow("Retry-After 0: at once") << 4 << QByteArray("0") << now << 0;
    QTest::newRow("Retry-After 30: the longest honoured") << 1 << QByteArray("30") << now << 30000;
    QTest::newRow("Retry-After 31: backoff instead") << 2 << QByteArray("31") << now << 2000;
    QTest::newRow("Retry-After with leading zeros") << 1 << QByteArray("00012") << now << 12000;
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

void TestDownloadRetry::resumeValidator_data()
{
    QTest::addColumn<CRawHeaders>("headers");
    QTest::addColumn<QByteArray>("validator");

    const QByteArray date("Wed, 12 Mar 2025 08:00:00 GMT");
    QTest::newRow("ranges and a strong ETag")
        << Headers({{"Accept-Ranges", "bytes"}, {"ETag", "\"v1\""}, {"Last-Modified", date}}) << QByteArray("\"v1\"");
    QTest::newRow("ranges and only Last-Modified")
        << Headers({{"Accept-Ranges", "bytes"}, {"Last-Modified", date}}) << date;
    QTest::newRow("weak ETag: Last-Modified instead")
        << Headers({{"Accept-Ranges", "bytes"}, {"ETag", "W/\"v1\""}, {"Last-Modified", date}}) << date;
    QTest::newRow("weak ETag alone: no resume")
        << Headers({{"Accept-Ranges", "bytes"}, {"ETag", "W/\"v1\""}}) << QByteArray();
    QTest::newRow("no validator: no resume") << Headers({{"Accept-Ranges", "bytes"}}) << QByteArray();
    QTest::newRow("no Accept-Ranges: no resume") << Headers({{"ETag", "\"v1\""}}) << QByteArray();
    QTest::newRow("Accept-Ranges none: no resume")
        << Headers({{"Accept-Ranges", "none"}, {"ETag", "\"v1\""}}) << QByteArray();
    QTest::newRow("header names in any case")
        << Headers({{"accept-ranges", "Bytes"}, {"etag", "\"v2\""}}) << QByteArray("\"v2\"");
    QTest::newRow("gzip-coded body: its offsets are not the file's")
        << Headers({{"Accept-Ranges", "bytes"}, {"ETag", "\"v1\""}, {"Content-Encoding", "gzip"}}) << QByteArray();
    QTest::newRow("identity coding is no coding")
        << Headers({{"Accept-Ranges", "bytes"}, {"ETag", "\"v1\""}, {"Content-Encoding", "identity"}})
        << QByteArray("\"v1\"");
}

void TestDownloadRetry::resumeValidator()
{
    QFETCH(CRawHeaders, headers);
    QFETCH(QByteArray, validator);
    QCOMPARE(ResumeValidator(headers), validator);
}

void TestDownloadRetry::judgeAnswer_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<qint64>("from");
    QTest::addColumn<QByteArray>("contentRange");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<ResumeAnswer>("answer");

    using A = ResumeAnswer;
    QTest::newRow("206 continuing the file") << 206 << qint64(500) << QByteArray("bytes 500-999/1000")
                                             << qint64(1000) << A::Append;
    QTest::newRow("206, size not known before") << 206 << qint64(500) << QByteArray("bytes 500-999/1000")
                                                << qint64(-1) << A::Append;
    QTest::newRow("206, size unknown to the server") << 206 << qint64(500) << QByteArray("bytes 500-999/*")
                                                     << qint64(1000) << A::Append;
    QTest::newRow("206, unit in capitals") << 206 << qint64(500) << QByteArray("BYTES 500-999/1000")
                                           << qint64(1000) << A::Append;
    QTest::newRow("200: the whole file again") << 200 << qint64(500) << QByteArray() << qint64(1000)
                                               << A::WholeBody;
    QTest::newRow("416") << 416 << qint64(1000) << QByteArray("bytes */1000") << qint64(1000) << A::StartOver;
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
    QTest::newRow("503 is no body") << 503 << qint64(500) << QByteArray() << qint64(1000) << A::NotBody;
    QTest::newRow("404 is no body") << 404 << qint64(0) << QByteArray() << qint64(-1) << A::NotBody;
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

// Whole downloads as the client will drive the state: prepare, answer, write,
// break, prepare again ...
void TestDownloadRetry::resumeState_data()
{
    QTest::addColumn<CPartialRecord>("record"); // bytes 0: a fresh download
    QTest::addColumn<QList<Step>>("steps");
    QTest::addColumn<qint64>("bytesOnDisk");    // at the end
    QTest::addColumn<bool>("canResume");
    QTest::addColumn<bool>("complete");     // the file holds the whole package

    using A = ResumeAnswer;
    const CRawHeaders v1{{"Accept-Ranges", "bytes"}, {"ETag", "\"v1\""}, {"Content-Length", "1000"}};
    const CRawHeaders v2{{"Accept-Ranges", "bytes"}, {"ETag", "\"v2\""}, {"Content-Length", "1200"}};
    const CRawHeaders plain{{"Content-Length", "1000"}};
    const CRawHeaders dated{{"Accept-Ranges", "bytes"}, {"Last-Modified", "Wed, 12 Mar 2025 08:00:00 GMT"},
                            {"Content-Length", "1000"}};
    const CRawHeaders rest{{"Content-Range", "bytes 400-999/1000"}, {"ETag", "\"v1\""}};
    const CRawHeaders restBare{{"Content-Range", "bytes 400-999/1000"}};
    const CRawHeaders retry{{"Retry-After", "1"}};

    QTest::newRow("dropped, then resumed with 206")
        << CPartialRecord() << QList<Step>{{0, 200, v1, A::WholeBody, 400}, {400, 206, rest, A::Append, 600}}
        << qint64(1000) << true << true;
    QTest::newRow("a 503 in between keeps the resume point")
        << CPartialRecord()
        << QList<Step>{{0, 200, v1, A::WholeBody, 400}, {400, 503, retry, A::NotBody, 0},
                       {400, 206, restBare, A::Append, 600}}
        << qint64(1000) << true << true;
    QTest::newRow("changed file: 200 starts over from 0")
        << CPartialRecord() << QList<Step>{{0, 200, v1, A::WholeBody, 400}, {400, 200, v2, A::WholeBody, 1200}}
        << qint64(1200) << true << true;
    QTest::newRow("changed file, broken again: resumes the new one")
        << CPartialRecord()
        << QList<Step>{{0, 200, v1, A::WholeBody, 400}, {400, 200, v2, A::WholeBody, 100},
                       {100, 206, {{"Content-Range", "bytes 100-1199/1200"}}, A::Append, 1100}}
        << qint64(1200) << true << true;
    QTest::newRow("no ranges: every attempt from 0")
        << CPartialRecord() << QList<Step>{{0, 200, plain, A::WholeBody, 400}, {0, 200, plain, A::WholeBody, 300}}
        << qint64(300) << false << false;
    QTest::newRow("Last-Modified as the validator")
        << CPartialRecord() << QList<Step>{{0, 200, dated, A::WholeBody, 400}, {400, 206, restBare, A::Append, 600}}
        << qint64(1000) << true << true;
    QTest::newRow("nothing written before the break: from 0")
        << CPartialRecord() << QList<Step>{{0, 200, v1, A::WholeBody, 0}, {0, 200, v1, A::WholeBody, 1000}}
        << qint64(1000) << true << true;
    QTest::newRow("416 starts over once, at once")
        << CPartialRecord()
        << QList<Step>{{0, 200, v1, A::WholeBody, 400}, {400, 416, {{"Content-Range", "bytes */300"}}, A::StartOver, 0},
                       {0, 200, v1, A::WholeBody, 1000}}
        << qint64(1000) << true << true;
    QTest::newRow("a second 416 is a failed attempt")
        << CPartialRecord()
        << QList<Step>{{0, 200, v1, A::WholeBody, 400}, {400, 416, {}, A::StartOver, 0},
                       {0, 200, v1, A::WholeBody, 400}, {400, 416, {}, A::Refused, 0},
                       {0, 200, v1, A::WholeBody, 1000}}
        << qint64(1000) << true << true;
    QTest::newRow("206 that does not fit starts over")
        << CPartialRecord()
        << QList<Step>{{0, 200, v1, A::WholeBody, 400},
                       {400, 206, {{"Content-Range", "bytes 0-999/1000"}}, A::StartOver, 0},
                       {0, 200, v1, A::WholeBody, 1000}}
        << qint64(1000) << true << true;
    QTest::newRow("206 of another size starts over")
        << CPartialRecord()
        << QList<Step>{{0, 200, v1, A::WholeBody, 400},
                       {400, 206, {{"Content-Range", "bytes 400-1199/1200"}}, A::StartOver, 0}}
        << qint64(0) << false << true;

    const CRawHeaders restOfV2{{"Content-Range", "bytes 400-999/1000"}, {"ETag", "\"v2\""}};
    QTest::newRow("206 of another ETag: If-Range ignored, start over")
        << CPartialRecord()
        << QList<Step>{{0, 200, v1, A::WholeBody, 400}, {400, 206, restOfV2, A::StartOver, 0},
                       {0, 200, v2, A::WholeBody, 1200}}
        << qint64(1200) << true << true;
    QTest::newRow("206 of another Last-Modified: start over")
        << CPartialRecord()
        << QList<Step>{{0, 200, dated, A::WholeBody, 400},
                       {400, 206, {{"Content-Range", "bytes 400-999/1000"},
                                   {"Last-Modified", "Thu, 13 Mar 2025 08:00:00 GMT"}}, A::StartOver, 0}}
        << qint64(0) << false << true;
    QTest::newRow("206 of another ETag twice: a failed attempt")
        << CPartialRecord()
        << QList<Step>{{0, 200, v1, A::WholeBody, 400}, {400, 206, restOfV2, A::StartOver, 0},
                       {0, 200, v1, A::WholeBody, 400}, {400, 206, restOfV2, A::Refused, 0}}
        << qint64(0) << false << true;

    CPartialRecord record;
    record.url = "http://127.0.0.1/pkg/client_v2.zip";
    record.validator = "\"v1\"";
    record.bytes = 400;
    QTest::newRow("across runs: the first request already resumes")
        << record << QList<Step>{{400, 206, rest, A::Append, 600}} << qint64(1000) << true << true;
    QTest::newRow("across runs, broken again: incomplete, still resumable")
        << record << QList<Step>{{400, 206, rest, A::Append, 100}} << qint64(500) << true << false;
    QTest::newRow("across runs, file changed meanwhile: 200 from 0")
        << record << QList<Step>{{400, 200, v2, A::WholeBody, 1200}} << qint64(1200) << true << true;
    QTest::newRow("across runs, a 206 of the new build is not joined to the old half")
        << record << QList<Step>{{400, 206, restOfV2, A::StartOver, 0}} << qint64(0) << false << true;
}

void TestDownloadRetry::resumeState()
{
    QFETCH(CPartialRecord, record);
    QFETCH(QList<Step>, steps);
    QFETCH(qint64, bytesOnDisk);
    QFETCH(bool, canResume);
    QFETCH(bool, complete);

    CResumeState state = record.bytes > 0 ? CResumeState(record) : CResumeState();
    for (int i = 0; i < steps.size(); ++i) {
        const Step& step = steps.at(i);
        const QByteArray where = "step " + QByteArray::number(i);
        QNetworkRequest request(QUrl("http://127.0.0.1/pkg/client_v2.zip"));
        QCOMPARE(state.PrepareRequest(request), step.expectedFrom);
        QVERIFY2(request.rawHeader("Accept-Encoding") == "identity", where.constData());
        if (step.expectedFrom > 0) {
            QCOMPARE(request.rawHeader("Range"), "bytes=" + QByteArray::number(step.expectedFrom) + '-');
            QCOMPARE(request.rawHeader("If-Range"), state.Validator());
            QVERIFY2(!state.Validator().isEmpty(), where.constData());
        } else {
            QVERIFY2(!request.hasRawHeader("Range") && !request.hasRawHeader("If-Range"), where.constData());
            QCOMPARE(state.BytesOnDisk(), qint64(0));
        }
        QCOMPARE(state.OnAnswer(step.status, step.headers), step.expected);
        if (step.expected == ResumeAnswer::WholeBody || step.expected == ResumeAnswer::StartOver
            || step.expected == ResumeAnswer::Refused)
            QCOMPARE(state.BytesOnDisk(), qint64(0));
        state.OnWritten(step.written);
    }
    QCOMPARE(state.BytesOnDisk(), bytesOnDisk);
    QCOMPARE(state.CanResume(), canResume);
    QCOMPARE(state.Complete(), complete);
    const CPartialRecord saved = state.Record("http://127.0.0.1/x.zip");
    QCOMPARE(saved.bytes, bytesOnDisk);
    QCOMPARE(saved.validator, state.Validator());
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
    QTest::newRow("another URL") << url << tag << qint64(300) << QByteArray() << 300
                                 << QString("http://127.0.0.1:8080/pkg/client_v3.zip") << false;
    QTest::newRow("URL differing in case") << url << tag << qint64(300) << QByteArray() << 300 << url.toUpper()
                                           << false;
    QTest::newRow("partial package shorter than recorded") << url << tag << qint64(300) << QByteArray() << 299
                                                           << url << false;
    QTest::newRow("partial package longer than recorded") << url << tag << qint64(300) << QByteArray() << 301
                                                          << url << false;
    QTest::newRow("no partial package") << url << tag << qint64(300) << QByteArray() << -1 << url << false;
    QTest::newRow("no validator") << url << QByteArray() << qint64(300) << QByteArray() << 300 << url << false;
    QTest::newRow("0 bytes") << url << tag << qint64(0) << QByteArray() << 0 << url << false;

    const QString odd = QString::fromUtf8("http://127.0.0.1/p k%20g/\xe5\x8c\x85=1/client_v2.zip?a=b&c=%25#f");
    QTest::newRow("URL with blanks, escapes, non-ASCII: read back whole")
        << odd << QByteArray("\"a=b c%\"") << qint64(10) << QByteArray() << 10 << odd << true;
    // What a record says goes back to the server: one that no answer could
    // have given is no record, whoever wrote it.
    const QByteArray injected = "url=" + url.toUtf8() + "\nvalidator=%22v%22%0D%0AX-Injected:%201\nbytes=300\n";
    QTest::newRow("validator ending the header and starting another")
        << url << tag << qint64(300) << injected << 300 << url << false;
    QTest::newRow("validator with a line feed") << url << QByteArray("\"v\"\nX-Injected: 1") << qint64(300)
                                                << QByteArray() << 300 << url << false;
    QTest::newRow("validator with a carriage return") << url << QByteArray("\"v\"\r") << qint64(300) << QByteArray()
                                                      << 300 << url << false;
    QTest::newRow("validator with a NUL") << url << QByteArray("\"v\0w\"", 6) << qint64(300) << QByteArray() << 300
                                          << url << false;
    QTest::newRow("validator with a tab") << url << QByteArray("\"v\tw\"") << qint64(300) << QByteArray() << 300
                                          << url << false;
    QTest::newRow("validator with DEL") << url << QByteArray("\"v\x7f\"") << qint64(300) << QByteArray() << 300
                                        << url << false;
    QTest::newRow("validator with bytes beyond ASCII") << url << QByteArray("\"v\xc3\xa9\"") << qint64(300)
                                                       << QByteArray() << 300 << url << false;
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
    QCOMPARE(package.ResumeRecordPath(), package.FilePath() + ".resume");

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
}

void TestDownloadRetry::hostileRecordReachesNoHeader()
{
    QFETCH(QByteArray, validator);

    TestSupport::InstallDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(dir.write("Localcfg.ini", "[Update]\nRetries=1\n"));
    const QByteArray body = Bytes(64 * 1024, 9);
    LocalHttpServer server;
    server.SetRoute("/pkg/client_v2.zip", LocalHttpRoute::Resumable(body, "\"v1\""));
    QVERIFY(server.Start());
    QString url = server.Url("/pkg/client_v2.zip");
    // A partial package the record fits, so that only its content refuses it.
    QVERIFY(dir.write("client_v2.zip", body.left(1000)));
    QVERIFY(dir.write("client_v2.zip.resume",
                      "url=" + url.toUtf8() + "\nvalidator=" + validator + "\nbytes=1000\n"));

    CDownloadClient client{QDir::currentPath()};
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

// Both test servers answer ranges the way the resume decisions expect, so a
// test of the client can rely on either.
void TestDownloadRetry::rangeAnswers_data()
{
    QTest::addColumn<QString>("server");    // "local", "local, ranges ignored", "local, advertised only", "nginx"
    QTest::addColumn<qint64>("from");       // -1: no Range
    QTest::addColumn<QString>("ifRange");   // "", "validator", "last-modified", "other"
    QTest::addColumn<int>("status");
    QTest::addColumn<ResumeAnswer>("answer");

    using A = ResumeAnswer;
    const qint64 size = 64 * 1024;
    for (const QString& server : {QString("local"), QString("nginx")}) {
        auto row = [&server](const char* name) -> QTestData& {
            return QTest::newRow(qPrintable(server + ": " + name)) << server;
        };
        row("whole") << qint64(-1) << QString() << 200 << A::WholeBody;
        row("the rest, If-Range the ETag") << size / 2 << QString("validator") << 206 << A::Append;
        row("the rest, If-Range the Last-Modified") << size / 2 << QString("last-modified") << 206 << A::Append;
        row("the rest, no If-Range") << size / 3 << QString() << 206 << A::Append;
        row("changed: If-Range another ETag") << size / 2 << QString("other") << 200 << A::WholeBody;
        row("from the end: 416") << size << QString("validator") << 416 << A::StartOver;
        row("beyond the end: 416") << size + 100 << QString("validator") << 416 << A::StartOver;
    }
    QTest::newRow("local, ranges ignored")
        << QString("local, ranges ignored") << size / 2 << QString() << 200 << A::WholeBody;
    QTest::newRow("local, advertised only")
        << QString("local, advertised only") << size / 2 << QString("validator") << 200 << A::WholeBody;
}

void TestDownloadRetry::rangeAnswers()
{
    QFETCH(QString, server);
    QFETCH(qint64, from);
    QFETCH(QString, ifRange);
    QFETCH(int, status);
    QFETCH(ResumeAnswer, answer);

    const QByteArray body = Bytes(64 * 1024, 6);
    LocalHttpServer local;
    NginxServer nginx;
    QString url;
    if (server == "nginx") {
        if (NginxServer::Program().isEmpty())
            QSKIP("nginx is not installed (scripts/deps.sh installs nginx-light)");
        QVERIFY(nginx.AddFile("client_v2.zip", body));
        QVERIFY2(nginx.Start(), qPrintable(nginx.ErrorText()));
        url = nginx.Url("/client_v2.zip");
    } else {
        LocalHttpRoute route = LocalHttpRoute::Resumable(body, "\"v1\"");
        route.lastModified = "Wed, 12 Mar 2025 08:00:00 GMT";
        if (server.endsWith("ignored"))
            route.ranges = LocalHttpRoute::Ranges::Ignore;
        if (server.endsWith("advertised only"))
            route.ranges = LocalHttpRoute::Ranges::AdvertiseOnly;
        local.SetRoute("/pkg/client_v2.zip", route);
        QVERIFY(local.Start());
        url = local.Url("/pkg/client_v2.zip");
    }

    // The first answer names the validator to resume with.
    const Answer whole = Get(url);
    QCOMPARE(whole.status, 200);
    QVERIFY(whole.body == body);
    const QByteArray validator = ResumeValidator(whole.headers);
    QCOMPARE(validator.isEmpty(), server.endsWith("ignored"));

    QList<QPair<QByteArray, QByteArray>> request;
    if (from >= 0)
        request.append({"Range", "bytes=" + QByteArray::number(from) + '-'});
    if (ifRange == "validator")
        request.append({"If-Range", validator});
    if (ifRange == "last-modified")
        request.append({"If-Range", HeaderValue(whole.headers, "Last-Modified")});
    if (ifRange == "other")
        request.append({"If-Range", QByteArray("\"something-else\"")});
    const Answer again = Get(url, request);
    QCOMPARE(again.status, status);
    QCOMPARE(JudgeAnswer(again.status, qMax<qint64>(0, from), HeaderValue(again.headers, "Content-Range"), body.size()),
             answer);
    if (status == 206)
        QVERIFY2(again.body == body.mid(int(from)), "the rest differs from the file's end");
    if (status == 200)
        QVERIFY2(again.body == body, "the whole body differs");
}

// "Update/Retries" off: one request from byte 0, and nothing asked again.
void TestDownloadRetry::singleAnswer_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("contentRange");
    QTest::addColumn<ResumeAnswer>("answer");

    using A = ResumeAnswer;
    QTest::newRow("200") << 200 << QByteArray() << A::WholeBody;
    QTest::newRow("206 of the whole file") << 206 << QByteArray("bytes 0-999/1000") << A::Append;
    QTest::newRow("206 of the whole file, size unknown") << 206 << QByteArray("bytes 0-999/*") << A::Append;
    QTest::newRow("206 from elsewhere: fails, no second request") << 206 << QByteArray("bytes 500-999/1000")
                                                                  << A::Refused;
    QTest::newRow("206 stopping short: fails") << 206 << QByteArray("bytes 0-499/1000") << A::Refused;
    QTest::newRow("206 without Content-Range: fails") << 206 << QByteArray() << A::Refused;
    QTest::newRow("416: fails, no second request") << 416 << QByteArray("bytes */1000") << A::Refused;
    QTest::newRow("404: an error answer") << 404 << QByteArray() << A::NotBody;
    QTest::newRow("503: an error answer") << 503 << QByteArray() << A::NotBody;
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
    QTest::newRow("same ETag") << Headers({{"ETag", "\"v1\""}}) << QByteArray("\"v1\"") << true;
    QTest::newRow("another ETag") << Headers({{"ETag", "\"v2\""}}) << QByteArray("\"v1\"") << false;
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

// A server that codes its answer although identity was asked for: the body
// arrives as sent, never decoded, and its coding names the failure.
void TestDownloadRetry::codedAnswers_data()
{
    QTest::addColumn<QByteArray>("coding"); // the Content-Encoding sent; "" for none
    QTest::addColumn<QByteArray>("failure"); // what AnswerCoding reports

    QTest::newRow("no coding") << QByteArray() << QByteArray();
    QTest::newRow("identity") << QByteArray("identity") << QByteArray();
    QTest::newRow("Identity in capitals") << QByteArray("Identity") << QByteArray();
    QTest::newRow("gzip") << QByteArray("gzip") << QByteArray("gzip");
    QTest::newRow("deflate") << QByteArray("deflate") << QByteArray("deflate");
    QTest::newRow("br") << QByteArray("br") << QByteArray("br");
    QTest::newRow("two codings") << QByteArray("gzip, identity") << QByteArray("gzip, identity");
}

void TestDownloadRetry::codedAnswers()
{
    QFETCH(QByteArray, coding);
    QFETCH(QByteArray, failure);
    // 1 MB of zeros as a gzip stream cut before its trailer: small on the
    // wire, and what a coded answer cut short looks like.
    const QByteArray plain(1024 * 1024, '\0');
    QByteArray wire = qCompress(plain);
    wire = QByteArray("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", 10) + wire.mid(6, wire.size() - 10);
    LocalHttpRoute route = LocalHttpRoute::Ok(wire);
    if (!coding.isEmpty())
        route.headers.append(qMakePair(QByteArray("Content-Encoding"), coding));
    LocalHttpServer server;
    server.SetRoute("/pkg/client_v2.zip.minisig", route);
    QVERIFY(server.Start());

    QNetworkRequest request{QUrl(server.Url("/pkg/client_v2.zip.minisig"))};
    AskForIdentityEncoding(request);
    QList<QPair<QByteArray, QByteArray>> headers;
    for (const QByteArray& name : request.rawHeaderList())
        headers.append({name, request.rawHeader(name)});
    const Answer answer = Get(server.Url("/pkg/client_v2.zip.minisig"), headers);
    QCOMPARE(answer.error, QNetworkReply::NoError);
    QCOMPARE(server.RequestHeader(0, "Accept-Encoding"), QByteArray("identity"));
    QVERIFY2(answer.body == wire, "the body was decoded");
    QCOMPARE(AnswerCoding(answer.headers), failure);
    // Its offsets are not the file's: never a validator to resume with.
    CRawHeaders ranged = answer.headers;
    ranged.append(qMakePair(QByteArray("Accept-Ranges"), QByteArray("bytes")));
    ranged.append(qMakePair(QByteArray("ETag"), QByteArray("\"v1\"")));
    QCOMPARE(ResumeValidator(ranged).isEmpty(), !failure.isEmpty());
}

QTEST_MAIN(TestDownloadRetry)
#include "tst_downloadretry.moc"
