#include "DownloadResume.h"
#include "PathEntry.h"

#include <QFile>
#include <QFileInfo>
#include <QNetworkRequest>
#include <QSaveFile>

namespace Update {

namespace {

// A record is three short lines; anything bigger was not written by us.
const qint64 kMaxRecordSize = 64 * 1024;

// Kept readable in the file; '%' and line breaks are always encoded.
const QByteArray kRecordUnencoded(":/?#[]@!$&'()*+,;=");

// The validator goes back to the server in a header: only visible ASCII and
// blanks, nothing that could end the header or start another.
bool IsHeaderSafe(const QByteArray& value)
{
    for (const char c : value) {
        if (c < 0x20 || c > 0x7E)
            return false;
    }
    return true;
}

// A URL that we saved holds no control characters.
bool IsPlainText(const QString& text)
{
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 0x20 || (u >= 0x7F && u <= 0x9F))
            return false;
    }
    return true;
}

// Whether a loaded record may be used: what it says reaches the next
// request, so it must be what a server's answer could have told us.
bool IsUsableRecord(const CPartialRecord& record)
{
    return !record.validator.isEmpty() && IsHeaderSafe(record.validator) && IsPlainText(record.url)
        && record.bytes > 0;
}

bool HasToken(const QByteArray& list, const QByteArray& token)
{
    for (const QByteArray& item : list.split(','))
        if (item.trimmed().toLower() == token)
            return true;
    return false;
}

// A body sent with a content coding counts its ranges in coded bytes.
bool IsEncoded(const CRawHeaders& headers)
{
    return !AnswerCoding(headers).isEmpty();
}

bool IsEntityTag(const QByteArray& validator)
{
    return validator.startsWith('"') || validator.startsWith("W/");
}

// The strong ETag, else the Last-Modified, whatever the answer says of ranges.
QByteArray ValidatorOf(const CRawHeaders& headers)
{
    const QByteArray tag = HeaderValue(headers, "ETag").trimmed();
    if (!tag.isEmpty() && !tag.startsWith("W/"))
        return tag;
    return HeaderValue(headers, "Last-Modified").trimmed();
}

qint64 ContentLength(const CRawHeaders& headers)
{
    bool ok = false;
    const qint64 length = HeaderValue(headers, "Content-Length").trimmed().toLongLong(&ok);
    return ok && length >= 0 && !IsEncoded(headers) ? length : -1;
}

} // namespace

bool PartOfValidator(const CRawHeaders& headers, const QByteArray& validator)
{
    if (validator.isEmpty())
        return true;
    const QByteArray theirs = HeaderValue(headers, IsEntityTag(validator) ? "ETag" : "Last-Modified").trimmed();
    return theirs.isEmpty() || theirs == validator;
}

QByteArray ResumeValidator(const CRawHeaders& headers)
{
    if (!HasToken(HeaderValue(headers, "Accept-Ranges"), "bytes") || IsEncoded(headers))
        return QByteArray();
    return ValidatorOf(headers);
}

std::optional<CContentRange> ParseContentRange(const QByteArray& value)
{
    const QByteArray text = value.trimmed();
    const int space = text.indexOf(' ');
    if (space < 0 || text.left(space).toLower() != "bytes")
        return std::nullopt;
    const QByteArray bounds = text.mid(space + 1).trimmed();
    const int dash = bounds.indexOf('-');
    const int slash = bounds.indexOf('/');
    if (dash <= 0 || slash < dash)
        return std::nullopt;
    bool firstOk = false, lastOk = false, totalOk = false;
    CContentRange range;
    range.first = bounds.left(dash).toLongLong(&firstOk);
    range.last = bounds.mid(dash + 1, slash - dash - 1).toLongLong(&lastOk);
    const QByteArray total = bounds.mid(slash + 1);
    range.total = total == "*" ? -1 : total.toLongLong(&totalOk);
    totalOk = totalOk || total == "*";
    if (!firstOk || !lastOk || !totalOk || range.first < 0 || range.last < range.first)
        return std::nullopt;
    if (range.total >= 0 && range.last >= range.total)
        return std::nullopt;
    return range;
}

ResumeAnswer JudgeAnswer(int status, qint64 from, const QByteArray& contentRange, qint64 total)
{
    if (status == 200)
        return ResumeAnswer::WholeBody;
    if (status == 416)
        return ResumeAnswer::StartOver;
    if (status != 206)
        return ResumeAnswer::NotBody;
    const std::optional<CContentRange> range = ParseContentRange(contentRange);
    if (!range || range->first != from)
        return ResumeAnswer::StartOver;
    // We ask for everything from `from` on: a shorter part would leave a hole.
    if (range->total >= 0 && range->last != range->total - 1)
        return ResumeAnswer::StartOver;
    if (total >= 0 && range->total >= 0 && range->total != total)
        return ResumeAnswer::StartOver;
    return ResumeAnswer::Append;
}

ResumeAnswer JudgeSingleAnswer(int status, const QByteArray& contentRange)
{
    const ResumeAnswer answer = JudgeAnswer(status, 0, contentRange, -1);
    return answer == ResumeAnswer::StartOver ? ResumeAnswer::Refused : answer;
}

bool SavePartialRecord(const CPackage& package, const CPartialRecord& record)
{
    const QString path = package.ResumeRecordPath();
    // QSaveFile would write through a link to where it points.
    if (!RemoveLinkAt(path))
        return false;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const QByteArray text = "url=" + record.url.toUtf8().toPercentEncoding(kRecordUnencoded) + '\n'
        + "validator=" + record.validator.toPercentEncoding(kRecordUnencoded) + '\n'
        + "bytes=" + QByteArray::number(record.bytes) + '\n';
    file.write(text);
    return file.commit();
}

std::optional<CPartialRecord> LoadPartialRecord(const CPackage& package)
{
    const QString path = package.ResumeRecordPath();
    // A record is ours only as a file of its own; a link is dropped.
    if (!RemoveLinkAt(path))
        return std::nullopt;
    QFile file(path);
    if (file.size() > kMaxRecordSize || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    CPartialRecord record;
    bool hasUrl = false, hasValidator = false, hasBytes = false;
    for (const QByteArray& line : file.readAll().split('\n')) {
        const int equals = line.indexOf('=');
        const QByteArray key = line.left(equals);
        const QByteArray value = line.mid(equals + 1);
        if (equals < 0)
            continue;
        if (key == "url") {
            record.url = QString::fromUtf8(QByteArray::fromPercentEncoding(value));
            hasUrl = true;
        } else if (key == "validator") {
            record.validator = QByteArray::fromPercentEncoding(value);
            hasValidator = true;
        } else if (key == "bytes") {
            record.bytes = value.toLongLong(&hasBytes);
        }
    }
    if (!hasUrl || !hasValidator || !hasBytes || record.url != package.Url() || !IsUsableRecord(record))
        return std::nullopt;
    // Bytes the record does not know of (a later run killed mid-write) or
    // fewer than it claims: no telling which bytes they are.
    const QFileInfo partial(package.FilePath());
    if (!partial.isFile() || partial.size() != record.bytes)
        return std::nullopt;
    return record;
}

void RemovePartialRecord(const CPackage& package)
{
    QFile::remove(package.ResumeRecordPath());
}

CResumeState::CResumeState(const CPartialRecord& record)
    : m_nBytesOnDisk(qMax<qint64>(0, record.bytes)), m_strValidator(record.validator)
{
}

bool CResumeState::CanResume() const
{
    return m_nBytesOnDisk > 0 && !m_strValidator.isEmpty();
}

bool CResumeState::Complete() const
{
    return m_nTotal < 0 || m_nBytesOnDisk == m_nTotal;
}

qint64 CResumeState::PrepareRequest(QNetworkRequest& request)
{
    AskForIdentityEncoding(request);
    if (!CanResume()) {
        m_nBytesOnDisk = 0;
        m_nRequestedFrom = 0;
        return 0;
    }
    request.setRawHeader("Range", "bytes=" + QByteArray::number(m_nBytesOnDisk) + '-');
    request.setRawHeader("If-Range", m_strValidator);
    m_nRequestedFrom = m_nBytesOnDisk;
    return m_nRequestedFrom;
}

ResumeAnswer CResumeState::OnAnswer(int status, const CRawHeaders& headers)
{
    ResumeAnswer answer = JudgeAnswer(status, m_nRequestedFrom, HeaderValue(headers, "Content-Range"), m_nTotal);
    if (answer == ResumeAnswer::Append && m_nRequestedFrom > 0 && !PartOfValidator(headers, m_strValidator))
        answer = ResumeAnswer::StartOver;
    switch (answer) {
    case ResumeAnswer::Append: {
        // A 206 need not repeat Accept-Ranges: it is one.
        const QByteArray validator = ValidatorOf(headers);
        if (!validator.isEmpty())
            m_strValidator = validator;
        const std::optional<CContentRange> range = ParseContentRange(HeaderValue(headers, "Content-Range"));
        if (range && range->total >= 0)
            m_nTotal = range->total;
        return answer;
    }
    case ResumeAnswer::WholeBody:
        m_nBytesOnDisk = 0;
        m_strValidator = ResumeValidator(headers);
        m_nTotal = ContentLength(headers);
        return answer;
    case ResumeAnswer::StartOver: {
        const bool again = m_bStartedOver;
        m_bStartedOver = true;
        Forget();
        return again ? ResumeAnswer::Refused : ResumeAnswer::StartOver;
    }
    case ResumeAnswer::Refused:
    case ResumeAnswer::NotBody:
        break;
    }
    return answer;
}

void CResumeState::OnWritten(qint64 bytes)
{
    if (bytes > 0)
        m_nBytesOnDisk += bytes;
}

CPartialRecord CResumeState::Record(const QString& url) const
{
    CPartialRecord record;
    record.url = url;
    record.validator = m_strValidator;
    record.bytes = m_nBytesOnDisk;
    return record;
}

void CResumeState::Forget()
{
    m_nBytesOnDisk = 0;
    m_nTotal = -1;
    m_strValidator.clear();
}

} // namespace Update
