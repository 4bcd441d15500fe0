#include "HttpAnswer.h"

#include <QNetworkRequest>

namespace Update {

QByteArray HeaderValue(const CRawHeaders& headers, const QByteArray& name)
{
    for (const auto& header : headers)
        if (header.first.compare(name, Qt::CaseInsensitive) == 0)
            return header.second;
    return QByteArray();
}

void AskForIdentityEncoding(QNetworkRequest& request)
{
    request.setRawHeader("Accept-Encoding", "identity");
}

QByteArray AnswerCoding(const CRawHeaders& headers)
{
    const QByteArray coding = HeaderValue(headers, "Content-Encoding").trimmed();
    return coding.isEmpty() || coding.toLower() == "identity" ? QByteArray() : coding;
}

} // namespace Update
