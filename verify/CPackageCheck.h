#pragma once

#include "Package.h"
#include "SigningTrust.h"
#include "TlsTrust.h"
#include "UpdateFailure.h"
#include "WorkEnding.h"

#include <QObject>
#include <QUrl>

#include <memory>
#include <optional>

class QNetworkAccessManager;

namespace Update {

class CHeldFile;
class CPackageHashWorker;
class CSignatureFetch;

// What the signature is fetched with: the download's own manager, the URL
// its package was finally served from, its TLS trust and its stall time.
struct CSignatureSource
{
    QNetworkAccessManager* manager = nullptr;
    QUrl servedUrl;
    CTlsTrust tlsTrust;
    int stallMs = 0;
};

// Turns a downloaded package into a verdict. An installation that holds
// "UpdateKey.pub" (minisign public keys) takes only packages whose
// signature, published beside the package as it was finally served with
// ".minisig" appended, verifies against one of those keys, names no other
// file than the one the package URL asks for, and is not older than the
// update last installed; any other installation takes every package.
//
// Made before the download starts and fed by its owner, which knows the
// download: every package file the download (re)starts, with the bytes an
// earlier run left in it, and every chunk as written. It hashes them on a
// thread of its own, so the hash is ready when the download ends. Start then
// fetches the signature, verifies it, deletes a refused package and reports
// once.
class CPackageCheck : public QObject, public CWorkEnding
{
    Q_OBJECT
public:
    // trust: what the installation holds, read when Update was pressed.
    explicit CPackageCheck(const CSigningTrust& trust, QObject* parent = nullptr);
    ~CPackageCheck() override;

    // The installation holds "UpdateKey.pub" (anything by that name, so a
    // damaged key refuses updates instead of turning the check off).
    bool IsRequired() const { return m_trust.IsRequired(); }

    // The download's package file, held, (re)started with bytesOnDisk bytes
    // already in it. Those are hashed away from the GUI thread, then
    // SignalBytesOnDiskTaken tells whether they were; none: nothing is told.
    void TakeFile(const CPackage& package, std::shared_ptr<CHeldFile> file, qint64 bytesOnDisk);

    // Once the download is complete. One SignalEnded follows, from the event
    // loop, never inside this call; a second call does nothing.
    void Start(const CSignatureSource& source);
    // Stop(): no SignalEnded afterwards. A signed installation keeps no
    // package it has not passed: the package file goes too, unless the
    // download kept it to be resumed (it is checked again once complete).
    // Call it after the download has stopped.

    // None: use the package. Otherwise it was refused and is gone from disk.
    CFailure Verdict() const { return Outcome(); }
    // Once passed: the timestamp of its verified trusted comment, to be kept
    // once its installer has started; nothing when it has none.
    std::optional<qint64> SignedTimestamp() const { return m_signedTimestamp; }

signals:
    // Whether the bytes on disk TakeFile was given are in the hash.
    void SignalBytesOnDiskTaken(bool ok);
    // The verdict, as Verdict() tells it.
    void SignalEnded(const Update::CFailure& verdict);

public slots:
    // Each chunk as the download's file took it.
    void OnPackageWritten(const QByteArray& chunk);

private slots:
    void OnSignatureFetched();

private:
    // While it runs. Hashing: what the download writes. Checking: Start was
    // called, the verdict is on its way.
    enum class Stage { Hashing, Checking };

    CFailure Settle(const CFailure& verdict) override;
    void Report(const CFailure& verdict) override;

    CSigningTrust m_trust; // not required: nothing is checked
    std::unique_ptr<CPackageHashWorker> m_pHasher;
    std::unique_ptr<CSignatureFetch> m_pFetch;
    CPackage m_package;
    std::shared_ptr<CHeldFile> m_pFile;
    QString m_strExpectedName; // the file the package URL asks for, which the signature must name
    std::optional<qint64> m_signedTimestamp;
    Stage m_eStage = Stage::Hashing;
};

} // namespace Update
