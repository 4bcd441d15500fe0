#pragma once

#include <QString>

namespace Update {

// More attempts than this only keep a user waiting on a server that is gone.
const int kMaxDownloadRetries = 10;

// The installation's own settings, read once from its "Localcfg.ini".
struct CLocalSettings
{
    QString skin;     // "Skin/Path": the skin folder's name, empty when missing
    bool hasSkin = false; // "Skin/Path" is there, even if empty
    QString language; // "Type/Language"
    int retries = 0;  // "Update/Retries", as DownloadRetriesFromText reads it
    // Opt-in switches of [Update], as SwitchFromText reads them.
    bool restartClient = false; // "Update/RestartClient": the client comes back when no installer runs
    bool log = false;           // "Update/Log": the support log "update.log"
    bool showSpeed = false;     // "Update/ShowSpeed": speed and time left while downloading

    // The skin whose style sheets the window takes: without the key, the
    // sample skin "Corvel" (the icons then come from an empty name).
    QString SheetSkin() const { return hasSkin ? skin : QStringLiteral("Corvel"); }
};

// "<installation>/Localcfg.ini"; where only "localcfg.ini" exists (the
// same file on a system whose names ignore letter case), that one.
QString LocalSettingsPath(const QString& installDir);

CLocalSettings ReadLocalSettings(const QString& installDir);

// How many further attempts a transient failure may use: 0 (no retry) when
// the text is not a whole number, 0 or negative; at most kMaxDownloadRetries.
int DownloadRetriesFromText(const QString& text);

// An [Update] switch: on for "true" or "1", letter case and surrounding
// blanks aside; off for anything else, a missing key included.
bool SwitchFromText(const QString& text);

} // namespace Update
