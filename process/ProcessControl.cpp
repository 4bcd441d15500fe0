#include "ProcessControl.h"

#include "PlatformProcess.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStringList>

namespace Update {

const char* const kClientStartArgument = "StopQueryVer";

namespace {

// The system lists executable names in the local 8-bit encoding.
std::string ToLocalName(const QString& exeName)
{
    return QFile::encodeName(exeName).toStdString();
}

// Folders compared as the file system names them: canonical (links and
// "." steps resolved), letter case ignored where the system ignores it.
bool IsSameFolder(const QFileInfo& a, const QFileInfo& b)
{
    return !a.canonicalFilePath().isEmpty() && a == b;
}

// The executable lies in the installation folder or in a folder below it.
// Each folder above the executable is compared whole, so that a neighbour
// whose name merely begins like the installation's never counts.
bool IsOfInstallation(const Platform::ProcessEntry& entry, const QFileInfo& installation)
{
    if (entry.exePath.empty())
        return true;
    const QString exePath = QFile::decodeName(QByteArray::fromStdString(entry.exePath));
    for (QString folder = QFileInfo(exePath).absolutePath();;) {
        if (IsSameFolder(QFileInfo(folder), installation))
            return true;
        const QString parent = QFileInfo(folder).absolutePath();
        if (parent == folder)
            return false;
        folder = parent;
    }
}

} // namespace

bool KillProcessById(int pid)
{
    if (pid <= 0)
        return false;
    return Platform::TerminateProcessById(pid);
}

bool KillClientProcess(int pid)
{
    if (!IsProcessRunning(QString::fromLatin1(kClientExeName), pid))
        return false;
    return Platform::TerminateProcessById(pid);
}

bool KillFirstProcessByName(const QString& exeName, const QString& installDir)
{
    if (exeName.isEmpty())
        return false;
    const std::string wanted = ToLocalName(exeName);
    const QFileInfo installation(installDir);
    for (const Platform::ProcessEntry& entry : Platform::ListProcesses()) {
        if (entry.exeName == wanted && IsOfInstallation(entry, installation))
            return Platform::TerminateProcessById(entry.pid);
    }
    return false;
}

bool IsProcessRunning(const QString& exeName, int pid)
{
    if (exeName.isEmpty() || pid <= 0)
        return false;
    const std::string wanted = ToLocalName(exeName);
    for (const Platform::ProcessEntry& entry : Platform::ListProcesses()) {
        if (entry.pid == pid && entry.exeName == wanted)
            return true;
    }
    return false;
}

bool StartClientUnlessRunning(int clientPid, const QString& installDir)
{
    if (IsProcessRunning(QString::fromLatin1(kClientExeName), clientPid))
        return false;
    const QString program = installDir + "/" + QString::fromLatin1(kClientExeName);
    return QProcess::startDetached(program, QStringList{QString::fromLatin1(kClientStartArgument)});
}

} // namespace Update
