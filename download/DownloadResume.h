#pragma once

// Resuming a package download that broke: which bytes to ask for next, what
// to make of the server's answer, and the small record that lets the next run
// of the updater go on where this one stopped.

#include "HttpAnswer.h"
#include "Package.h"

#include <QByteArray>
#include <QString>

#include <optional>

class QNetworkRequest;

namespace Update {

// Whether a 206 comes from the version of the file that the request's
// If-Range named: false when it carries a validator of the same kind (an ETag
// for an ETag, a Last-Modified for a date) that differs, so the server
// ignored If-Range and sent part of another build. True when validator is
// empty or the answer carries none to compare.
bool PartOfValidator(const CRawHeaders& headers, const QByteArray& validator);

// The validator that lets a download of this answer's body be resumed: its
// ETag (a strong one: a weak tag may not guard a range), else its
// Last-Modified. Empty when the answer does not offer "Accept-Ranges: bytes",
// carries neither, or its body is encoded (its offsets are not the file's).
QByteArray ResumeValidator(const CRawHeaders& headers);

// "bytes <first>-<last>/<total>" of a 206 answer; total is -1 for "*".
struct CContentRange
{
    qint64 first = -1;
    qint64 last = -1;
    qint64 total = -1;
};
std::optional<CContentRange> ParseContentRange(const QByteArray& value);

// What to do with the body of an answer to a request that started at from.
enum class ResumeAnswer {
    Append,     // 206 that continues the bytes on disk: write on after them
    WholeBody,  // 200: the whole package follows; empty the file, count from 0
    StartOver,  // 416, or a 206 that does not continue the file: drop this
                // answer, empty the file and ask again from 0 at once
    Refused,    // the same a second time in one download: a failed attempt
                // (transient); the next one asks from 0
    NotBody,    // any other status: no package in it; the failure as usual
};

// The plain decision for one answer. total is the package's size as a former
// answer gave it, -1 when unknown; a 206 must end at the package's end.
ResumeAnswer JudgeAnswer(int status, qint64 from, const QByteArray& contentRange, qint64 total);

// The same decision for a download without retries ("Update/Retries" off):
// one request without a Range, and nothing is asked again. 200 is
// WholeBody; a 206 that holds the whole file from byte 0 is Append (at 0);
// a 416, or a 206 that does not start at 0 or stops short, is Refused: the
// update fails at once, as an HTTP status (EFailure::HttpStatus with the
// status and its reason phrase). Anything else is NotBody.
ResumeAnswer JudgeSingleAnswer(int status, const QByteArray& contentRange);

// The across-runs record: the partial package of url holds the first bytes
// of the body that validator names.
struct CPartialRecord
{
    QString url;
    QByteArray validator;
    qint64 bytes = 0;
};

// The record lives at package.ResumeRecordPath(), beside the partial package.
// Replaces it at once (never half written); a link in its place is replaced,
// never written through. False when it could not be written; the next run
// then starts over, nothing worse.
bool SavePartialRecord(const CPackage& package, const CPartialRecord& record);

// The package's record when it is a file of its own (a link there is
// removed), is for the package's URL, names a validator and a byte count
// above 0, and the partial package holds exactly that many bytes; nothing
// otherwise (the partial package is then to be replaced). A validator that
// could not go into a request header as it is (control characters, line
// breaks, bytes beyond ASCII), or a URL holding control characters, makes it
// no record.
std::optional<CPartialRecord> LoadPartialRecord(const CPackage& package);

// Removes the record, on success and whenever the partial package is replaced.
void RemovePartialRecord(const CPackage& package);

// One download's knowledge about resuming, carried from attempt to attempt:
//
//     CResumeState state(*LoadPartialRecord(package));   // or CResumeState()
//     from = state.PrepareRequest(request);  // file opened: from > 0 appends,
//                                            // 0 empties it
//     on the answer's head:  switch (state.OnAnswer(status, reply->rawHeaderPairs()))
//     on every write:        state.OnWritten(bytes)
//     on a transient failure with attempts left, or the last one:
//                            SavePartialRecord(package, state.Record(url)) if CanResume()
class CResumeState
{
public:
    CResumeState() = default;
    // Goes on with the partial package that record describes.
    explicit CResumeState(const CPartialRecord& record);

    // Puts "Range: bytes=<n>-" and "If-Range: <validator>" on request when the
    // bytes on disk can be continued, and asks for the body as stored (no
    // compression, whose offsets would not be the file's). Returns where the
    // answer's body starts: the bytes on disk, or 0 (empty the file first).
    qint64 PrepareRequest(QNetworkRequest& request);

    // The head of an answer to the request prepared last: what to do with its
    // body. Learns the validator and the size from a package answer, and
    // counts from 0 again when the file is to be emptied. A 206 of another
    // version than the validator sent (PartOfValidator) starts over like a
    // 206 that does not fit.
    ResumeAnswer OnAnswer(int status, const CRawHeaders& headers);

    // Bytes of the body written to the file.
    void OnWritten(qint64 bytes);

    qint64 BytesOnDisk() const { return m_nBytesOnDisk; }
    qint64 Total() const { return m_nTotal; }
    QByteArray Validator() const { return m_strValidator; }

    // True when the bytes on disk can be continued by a later request.
    bool CanResume() const;

    // False while the file holds fewer bytes than the package's known size.
    // Check it when a transfer ends without error: Qt may report a body cut
    // short by the server as complete, and that is a failure closed early.
    bool Complete() const;

    CPartialRecord Record(const QString& url) const;

    // The bytes on disk are dropped (the file is emptied to take a whole
    // body): nothing is left to resume.
    void Discard() { Forget(); }

private:
    void Forget();

    qint64 m_nBytesOnDisk = 0;
    qint64 m_nTotal = -1;
    qint64 m_nRequestedFrom = 0;
    QByteArray m_strValidator;
    bool m_bStartedOver = false;
};

} // namespace Update
