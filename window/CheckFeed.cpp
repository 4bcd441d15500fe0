#include "CheckFeed.h"
#include "CDownloadClient.h"
#include "CPackageCheck.h"

namespace Update {

void FeedCheck(CDownloadClient* client, CPackageCheck* check)
{
    client->SetWaitsForBytesOnDisk(check->IsRequired());
    QObject::connect(client, &CDownloadClient::SignalPackageWritten, check, &CPackageCheck::OnPackageWritten);
    QObject::connect(client, &CDownloadClient::SignalDownloadRestarted, check, [client, check](qint64 bytesOnDisk) {
        check->TakeFile(client->Package(), client->PackageFile(), bytesOnDisk);
    });
    QObject::connect(check, &CPackageCheck::SignalBytesOnDiskTaken, client, &CDownloadClient::OnBytesOnDiskRead);
}

CSignatureSource SignatureSourceOf(CDownloadClient& client)
{
    return CSignatureSource{client.NetworkManager(), client.ServedUrl(), client.TlsTrust(), client.StallTimeout()};
}

} // namespace Update
