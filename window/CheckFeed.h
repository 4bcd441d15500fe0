#pragma once

namespace Update {

class CDownloadClient;
class CPackageCheck;
struct CSignatureSource;

// The check hashes what the download writes: each file it (re)starts, the
// bytes an earlier run left in it first (the download waits for them), then
// every chunk. Both live on the GUI thread; either may go first.
void FeedCheck(CDownloadClient* client, CPackageCheck* check);

// Where the check fetches the signature of what the client downloaded.
CSignatureSource SignatureSourceOf(CDownloadClient& client);

} // namespace Update
