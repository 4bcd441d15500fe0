#pragma once

#include <QString>

class QUrl;

namespace Update {

// The support log an installation can ask for ("Update/Log"): "update.log"
// in the installation folder, one line per event with its local time
// stamp, appended run after run. It never grows past kMaxBytes: the line
// that would take it there first moves it to "update.log.1" (replacing an
// older one) and starts a new one. A link in its place is removed, never
// written through. A log that cannot be written is dropped quietly: it
// never fails the update.
//
// One log per process, written from any thread. Nothing reaches it that
// names a credential: every URL in a line loses its user name and
// password, and callers log no header and nothing the proxy dialog held.
class CUpdateLog
{
public:
    static const qint64 kMaxBytes = 1024 * 1024;

    // Starts the log in folder. False when it cannot be written there.
    static bool Open(const QString& folder);
    static void Close();
    static bool IsOpen();

    // One line; nothing while the log is closed.
    static void Write(const QString& event);

    // A URL as the log shows it: without its user name and password.
    static QString Url(const QUrl& url);
};

} // namespace Update
