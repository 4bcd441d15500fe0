#include "CUpdate.h"

namespace Update {

void CUpdate::OnStartRetailClient() { StopWorkersAndClose(); }
void CUpdate::OnStartDownLoad() {}
void CUpdate::OnBtnCloseClicked() {}
void CUpdate::OnStartDownload(QString&) {}
void CUpdate::OnUpdateProgress(qint64) {}
void CUpdate::OnFinishDownload() {}
void CUpdate::OnDownloadFailed(QString&) {}
void CUpdate::OnFinishCompress() {}
void CUpdate::OnCompressFailed() {}
void CUpdate::StopWorkersAndClose() { close(); }

} // namespace Update
