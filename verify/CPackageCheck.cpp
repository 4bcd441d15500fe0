#include "CPackageCheck.h"
#include "CDownloadClient.h"
#include "CSignatureFetch.h"
#include "HeldFile.h"
#include "PackageHashWorker.h"
#include "PackageSignature.h"

#include <QFile>
#include <QFileInfo>

namespace Update {

namespace {

// The one place where the outcome of a signature check becomes what the
// user is told.
CFailure SignatureFailure(ESignatureCheck check)
{
    switch (check) {
    case ESignatureCheck::Ok:
        return CFailure();
    case ESignatureCheck::NoSignature:
        return CFailure(EFailure::NoSignature);
    case ESignatureCheck::SignatureUnreadable:
        return CFailure(EFailure::SignatureUnreadable);
    case ESignatureCheck::LegacyFormat:
        return CFailure(EFailure::LegacySignature);
    case ESignatureCheck::OtherKey:
        return CFailure(EFailure::OtherKey);
    case ESignatureCheck::PackageMismatch:
    case ESignatureCheck::CommentMismatch:
        return CFailure(EFailure::SignatureMismatch);
    case ESignatureCheck::KeyUnreadable:
        return CFailure(EFailure::KeyUnreadable);
    case ESignatureCheck::OtherFile:
        return CFailure(EFailure::SignatureOtherFile);
    case ESignatureCheck::Older:
        return CFailure(EFailure::OlderRelease);
    case ESignatureCheck::NoTimestamp:
        return CFailure(EFailure::NoTimestamp);
    }
    return CFailure(EFailure::SignatureUnreadable);
}

} // namespace

CPackageCheck::CPackageCheck(CDownloadClient* client, const CSigningTrust& trust, QObject* parent)
    : QObject(parent), CWorkEnding(EReuse::Never), m_pClient(client), m_trust(trust)
{
    Begin();
    // Without a key nothing is hashed and no signature is asked for.
    if (!IsRequired())
        return;
    m_pHasher = std::make_unique<CPackageHashWorker>();
    m_pFetch = std::make_unique<CSignatureFetch>();
    // Queued: the verdict comes from the event loop, not from inside the
    // signature reply's own signal.
    connect(m_pFetch.get(), SIGNAL(SignalSignatureFetched()), this, SLOT(OnSignatureFetched()),
            Qt::QueuedConnection);
    if (!client)
        return;
    connect(client, SIGNAL(SignalPackageWritten(QByteArray)), this, SLOT(OnPackageWritten(QByteArray)));
    connect(client, SIGNAL(SignalDownloadRestarted(qint64)), this, SLOT(OnDownloadRestarted(qint64)));
    client->SetBytesOnDiskReader([this](const QString& path, qint64 bytes) { ReadBytesOnDisk(path, bytes); });
}

CPackageCheck::~CPackageCheck()
{
    // A client that outlives us must not call into us.
    if (m_pClient && IsRequired())
        m_pClient->SetBytesOnDiskReader(nullptr);
}

void CPackageCheck::Start(const CPackage& package)
{
    if (m_eStage != Stage::Hashing || !IsRunning())
        return;
    m_eStage = Stage::Checking;
    m_package = package;
    if (IsRequired() && m_pClient) {
        // What the client asked for, whatever the server answered.
        m_strExpectedName = ExpectedFileName(package.Url());
        m_pFetch->SetStallTimeout(m_pClient->StallTimeout());
        // Beside the package as it was finally served: wherever it comes
        // from, it is verified and bound to the name asked for.
        m_pFetch->Start(m_pClient->NetworkManager(), SignatureUrlFor(package.Url(), m_pClient->ServedUrl()),
                        m_pClient->TlsTrust());
        return;
    }
    // Nothing to check; or, with the client gone, no way to fetch the signature.
    const CFailure verdict = IsRequired() ? CFailure(EFailure::NoSignature) : CFailure();
    QMetaObject::invokeMethod(this, [this, verdict] { Finish(verdict); }, Qt::QueuedConnection);
}

// Hashed as written, so the check reads nothing again.
void CPackageCheck::OnPackageWritten(const QByteArray& chunk)
{
    m_pHasher->AddData(chunk);
}

// The bytes an earlier run left come in through ReadBytesOnDisk instead.
void CPackageCheck::OnDownloadRestarted(qint64 bytesOnDisk)
{
    if (bytesOnDisk == 0)
        m_pHasher->Reset();
}

// The hashing thread reads them, a large file must not hold the window,
// from the file the client holds, whatever its name names meanwhile. Its
// answer crosses back as the argument of a queued call, which Qt copies:
// nothing of ours is shared between the threads but that hold, which the
// client does not touch until the answer is in.
void CPackageCheck::ReadBytesOnDisk(const QString& path, qint64 bytes)
{
    auto done = [this](bool ok) {
        QMetaObject::invokeMethod(this, "OnBytesOnDiskHashed", Qt::QueuedConnection, Q_ARG(bool, ok));
    };
    const std::shared_ptr<CHeldFile> held = m_pClient ? m_pClient->PackageFile() : nullptr;
    if (held)
        m_pHasher->ResetFromFile(std::shared_ptr<const CHeldFile>(held), bytes, done);
    else
        m_pHasher->ResetFromFile(path, bytes, done);
}

void CPackageCheck::OnBytesOnDiskHashed(bool ok)
{
    if (m_pClient)
        m_pClient->OnBytesOnDiskRead(ok);
}

void CPackageCheck::OnSignatureFetched()
{
    if (m_pFetch->Failure().IsFailure()) {
        Finish(m_pFetch->Failure());
        return;
    }
    ESignatureCheck check = m_pFetch->Result();
    if (check == ESignatureCheck::Ok && m_trust.Failure().IsFailure()) {
        Finish(m_trust.Failure());
        return;
    }
    const QByteArray signature = m_pFetch->SignatureText();
    if (check == ESignatureCheck::Ok)
        check = VerifyPackageSignature(m_trust.KeyText(), signature, m_pHasher->Hasher(), m_strExpectedName,
                                       m_trust.InstalledStamp());
    // Trusted only now that the global signature verified.
    CSignatureFile verified;
    if (check == ESignatureCheck::Ok && ParseSignatureFile(signature, &verified))
        m_signedTimestamp = Update::SignedTimestamp(verified.trustedComment);
    Finish(SignatureFailure(check));
}

// However the check ends. A refused package is deleted before anyone
// hears, so it cannot be started while the user reads why.
CFailure CPackageCheck::Settle(const CFailure& verdict)
{
    if (m_pFetch)
        m_pFetch->Stop();
    if (verdict.kind == EFailure::Stopped) {
        if (!IsRequired() || !m_pClient)
            return verdict;
        const CPackage& package = m_pClient->Package();
        if (package.IsValid() && !QFileInfo::exists(package.ResumeRecordPath()))
            m_pClient->DiscardPackageFile();
        return verdict;
    }
    if (verdict.IsFailure() && m_pClient)
        m_pClient->DiscardPackageFile();
    else if (verdict.IsFailure())
        QFile::remove(m_package.FilePath());
    return verdict;
}

void CPackageCheck::Report(const CFailure& verdict)
{
    emit SignalEnded(verdict);
}

} // namespace Update
