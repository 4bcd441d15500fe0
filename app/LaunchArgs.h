#pragma once

#include <QByteArrayList>
#include <QString>

#include <functional>

namespace Update {

// The client's seven launch arguments, after the program path.
struct CLaunchArgs
{
    QString strUrl;           // 1: package URL
    QString strVersionText;   // 2: as received; logged
    qint64 nPackageSize = 0;  // 2: as a number, 0 when not one
    bool bMajorUpdate = false; // 3: exactly "true"
    QString strReservedArg;   // 4
    QString strUpdateContent; // 5
    int nClientPid = 0;       // 6: 0 when not a number
    QString strNotice;        // 7: confirmed before anything else when not empty

    // A package to fetch: a URL and a size other than 0. A size below 0 is a
    // client's way of saying it does not know the size.
    bool IsUpdatable() const { return !strUrl.isEmpty() && nPackageSize != 0; }
};

// The process arguments as bytes, program path first.
QByteArrayList CopyArguments(int argc, char** argv);

// Reads the entries (local 8-bit text). False when there are fewer than 8;
// entries after the eighth are ignored.
bool ReadLaunchArgs(const QByteArrayList& entries, CLaunchArgs& args);

// What start-up does with its arguments. Every outcome but Update ends the
// process with exit code 0 before a window exists.
enum class LaunchDecision {
    TooFewArguments, // notice "Get ... failed!! "
    NoticeRefused,   // no further message
    NotUpdatable,    // notice "Update ... failed!! ": no URL, or a size of 0 (or not a number)
    Update,          // the window is shown
};

// Reads the entries into args and decides. afterRead (if set) runs once they
// are read, before anything is asked. confirmNotice is asked only for a
// non-empty notice, and before the URL and size are looked at, so a refused
// notice ends start-up even when the rest is bad.
LaunchDecision DecideLaunch(const QByteArrayList& entries, CLaunchArgs& args,
                            const std::function<bool(const QString& notice)>& confirmNotice,
                            const std::function<void(const CLaunchArgs& args)>& afterRead = {});

} // namespace Update
