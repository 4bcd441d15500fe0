#pragma once

// What every answer of an update is read with: its headers, and the one
// coding of a body we take (none).

#include <QByteArray>
#include <QList>
#include <QPair>

class QNetworkRequest;

namespace Update {

// Header name and value, as QNetworkReply::rawHeaderPairs() gives them.
using CRawHeaders = QList<QPair<QByteArray, QByteArray>>;

// The value of the first header called name (any letter case); empty if none.
QByteArray HeaderValue(const CRawHeaders& headers, const QByteArray& name);

// Every request of an update asks for the bytes as stored:
// "Accept-Encoding: identity". Qt then decodes nothing by itself either.
void AskForIdentityEncoding(QNetworkRequest& request);

// The coding of an answer's body that is coded anyway (its Content-Encoding,
// "gzip", "br" ...); empty when it is not coded or "identity". A coded answer
// is a failure (EFailure::CodedAnswer with this value): it is never decoded,
// so neither a cut-off gzip stream nor a small bomb gets past the bounds and
// the size checks, which count the bytes as sent.
QByteArray AnswerCoding(const CRawHeaders& headers);

} // namespace Update
