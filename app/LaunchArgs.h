#pragma once

#include <QByteArrayList>
#include <QString>

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

    // A package to fetch: a URL and a non-zero size.
    bool IsUpdatable() const { return !strUrl.isEmpty() && nPackageSize != 0; }
};

// The process arguments as bytes, program path first.
QByteArrayList CopyArguments(int argc, char** argv);

// Reads the entries (local 8-bit text). False when there are fewer than 8;
// entries after the eighth are ignored.
bool ReadLaunchArgs(const QByteArrayList& entries, CLaunchArgs& args);

} // namespace Update
