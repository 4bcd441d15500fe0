#pragma once

#include "UpdateFailure.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace Update {

// What a signed installation trusts and remembers, read once when the
// Update button is pressed, before the client is stopped:
//
//     const CSigningTrust trust = CSigningTrust::Load(installDir);
//     if (trust.Failure().IsFailure())  -> one box, before the client is stopped
//     CPackageCheck check(client, trust);
//
// "UpdateKey.pub" holds the keys (anything by that name opts in, so a
// damaged key refuses updates instead of turning the check off);
// "UpdateKey.stamp" beside it the newest signed timestamp handed over to an
// installer. Both are read without ever waiting: a pipe or a folder in
// their place is refused.
class CSigningTrust
{
public:
    // Nothing is checked.
    CSigningTrust() = default;

    static CSigningTrust Load(const QString& installDir);
    // Of the installation the updater runs for.

    // The installation holds "UpdateKey.pub": every package must be signed.
    bool IsRequired() const { return m_bRequired; }
    // None, KeyUnreadable (not a file, too long, a damaged key among
    // them), or StampUnreadable (anything at the stamp's place that is not
    // a stamp: it cannot be told whether an update is older).
    const CFailure& Failure() const { return m_failure; }
    // The key file as read; its keys parse.
    const QByteArray& KeyText() const { return m_keyText; }
    // Nothing when no stamp is kept yet.
    std::optional<qint64> InstalledStamp() const { return m_installedStamp; }

private:
    bool m_bRequired = false;
    CFailure m_failure;
    QByteArray m_keyText;
    std::optional<qint64> m_installedStamp;
};

// Keeps `timestamp` in <installDir>/UpdateKey.stamp, replaced whole
// (QSaveFile), a link in its place removed first and never written
// through. Call it only once the verified package's installer has started.
// False when it could not be written.
bool StoreInstalledStamp(const QString& installDir, qint64 timestamp);

} // namespace Update
