#pragma once

#include "Package.h"
#include "SigningTrust.h"
#include "UpdateFailure.h"
#include "WorkEnding.h"

#include <QObject>
#include <QPointer>

#include <memory>
#include <optional>

namespace Update {

class CDownloadClient;
class CPackageHashWorker;
class CSignatureFetch;

// Turns a downloaded package into a verdict. An installation that holds
// "UpdateKey.pub" (minisign public keys) takes only packages whose
// signature, published beside the package as it was finally served with
// ".minisig" appended, verifies against one of those keys, names no other
// file than the one the package URL asks for, and is not older than the
// update last installed; any other installation takes every package.
//
// Made together with the download client, before the download starts: it
// hashes every byte as the client writes it (on a thread of its own, the
// bytes of an earlier run included), so the hash is ready when the download
// ends. Start then fetches the signature through the client's manager,
// verifies it, deletes a refused package and reports once.
class CPackageCheck : public QObject, public CWorkEnding
{
    Q_OBJECT
public:
    // trust: what the installation holds, read when Update was pressed.
    explicit CPackageCheck(CDownloadClient* client, const CSigningTrust& trust,
                           QObject* parent = nullptr);
    ~CPackageCheck() override;

    // The installation holds "UpdateKey.pub" (anything by that name, so a
    // damaged key refuses updates instead of turning the check off).
    bool IsRequired() const { return m_trust.IsRequired(); }

    // After the client's SignalFinishDownload. One SignalEnded follows,
    // from the event loop, never inside this call; a second call does nothing.
    void Start(const CPackage& package);
    // Stop(): no SignalEnded afterwards. A signed installation keeps no
    // package it has not passed: the client's package file goes too, unless
    // the client kept it to be resumed (it is checked again once complete).
    // Call it after the client has stopped.

    // None: use the package. Otherwise it was refused and is gone from disk.
    CFailure Verdict() const { return Outcome(); }
    // Once passed: the timestamp of its verified trusted comment, to be kept
    // once its installer has started; nothing when it has none.
    std::optional<qint64> SignedTimestamp() const { return m_signedTimestamp; }

signals:
    // The verdict, as Verdict() tells it.
    void SignalEnded(const Update::CFailure& verdict);

private slots:
    void OnPackageWritten(const QByteArray& chunk);
    void OnDownloadRestarted(qint64 bytesOnDisk);
    void OnSignatureFetched();
    void OnBytesOnDiskHashed(bool ok);

private:
    // While it runs. Hashing: what the download writes. Checking: Start was
    // called, the verdict is on its way.
    enum class Stage { Hashing, Checking };

    void ReadBytesOnDisk(const QString& path, qint64 bytes);
    CFailure Settle(const CFailure& verdict) override;
    void Report(const CFailure& verdict) override;

    QPointer<CDownloadClient> m_pClient;
    CSigningTrust m_trust; // not required: nothing is checked
    std::unique_ptr<CPackageHashWorker> m_pHasher;
    std::unique_ptr<CSignatureFetch> m_pFetch;
    CPackage m_package;
    QString m_strExpectedName; // the file the package URL asks for, which the signature must name
    std::optional<qint64> m_signedTimestamp;
    Stage m_eStage = Stage::Hashing;
};

} // namespace Update
