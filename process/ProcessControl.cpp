#include "ProcessControl.h"

#include "PlatformProcess.h"
#include "VxDir.h"

#include <QFile>
#include <QProcess>
#include <QStringList>

namespace Update {

const char* const kClientExeName = "Corvel.exe";
const char* const kNotifierExeName = "ZoRezivirArerur.exe";
const char* const kClientStartArgument = "StopQueryVer";

namespace {

// The system lists executable names in the local 8-bit encoding.
std::string ToLocalName(const QString& exeName)
{
    return QFile::encodeName(exeName).toStdString();
}

} // namespace

bool KillProcessById(int pid)
{
    if (pid <= 0)
        return false;
    return Platform::TerminateProcessById(pid);
}

bool KillFirstProcessByName(const QString& exeName)
{
    if (exeName.isEmpty())
        return false;
    const std::string wanted = ToLocalName(exeName);
    for (const Platform::ProcessEntry& entry : Platform::ListProcesses()) {
        if (entry.exeName == wanted)
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

bool StartClientUnlessRunning(int clientPid)
{
    if (IsProcessRunning(QString::fromLatin1(kClientExeName), clientPid))
        return false;
    const QString program = DAROZ::VxDir::GetCurrentPath() + "/" + QString::fromLatin1(kClientExeName);
    return QProcess::startDetached(program, QStringList{QString::fromLatin1(kClientStartArgument)});
}

} // namespace Update
