#include "CCompressClient.h"

namespace Update {

CCompressClient::CCompressClient(QObject* parent) : QThread(parent) {}
CCompressClient::~CCompressClient() = default;
void CCompressClient::SetPackageName(const QString& name) { m_strPackageName = name; }
bool CCompressClient::UnCompress(const QString&, const QString&) { return false; }
void CCompressClient::run() {}

} // namespace Update
