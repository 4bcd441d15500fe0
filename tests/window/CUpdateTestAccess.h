#pragma once

#include "CUpdate.h"

class QTimer;

namespace Update {

// Reaches the window's private state for the tests; nothing else uses it.
class CUpdateTestAccess
{
public:
    static TitleBar* TitleBarOf(CUpdate& window) { return window.m_pTitleBar; }
    static QTimer* BackgroundTimer(CUpdate& window) { return window.m_pBackgroundTimer; }
    static CDownloadClient* DownloadClient(CUpdate& window) { return window.m_pDownloadClient; }
    static CCompressClient* CompressClient(CUpdate& window) { return window.m_pCompressClient; }
    static int ClientPid(const CUpdate& window) { return window.m_nClientPid; }
    static qint64 PackageSize(const CUpdate& window) { return window.m_nPackageSize; }
    static bool IsExePackage(const CUpdate& window) { return window.m_bExePackage; }
    static QString PackageName(const CUpdate& window) { return window.m_strPackageName; }
    static QString Url(const CUpdate& window) { return window.m_strUrl; }
    static QString ReservedArg(const CUpdate& window) { return window.m_strReservedArg; }
    static QString UpdateContent(const CUpdate& window) { return window.m_strUpdateContent; }

    // The state a finished download leaves behind, without a download.
    static void SetDownloaded(CUpdate& window, const QString& packageName, bool exePackage)
    {
        window.m_strPackageName = packageName;
        window.m_bExePackage = exePackage;
    }
};

} // namespace Update
