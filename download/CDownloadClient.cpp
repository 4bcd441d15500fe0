#include "CDownloadClient.h"

#include <QFile>

namespace Update {

CDownloadClient::CDownloadClient(QObject* parent) : QObject(parent) {}
CDownloadClient::~CDownloadClient() = default;
void CDownloadClient::StartDownload(QString&) {}
void CDownloadClient::StopDownload() {}
void CDownloadClient::GetClientSize(const QString&) {}
void CDownloadClient::OnFinishedDowndload() {}
void CDownloadClient::onHttpError(QNetworkReply::NetworkError) {}
void CDownloadClient::OnHttpReadyRead() {}

} // namespace Update
