#include "CPackageCheck.h"
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

CPackageCheck::CPackageCheck(const CSigningTrust& trust, QObject* parent)
    : QObject(parent), CWorkEnding(EReuse::Never), m_trust(trust)
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
}

CPackageCheck::~CPackageCheck() = default;

// The hashing thread reads the bytes on disk, a large file must not hold the
// window, from the file held, whatever its name names meanwhile. Its answer
// crosses back as the argument of a queued signal, which Qt copies: nothing
// of ours is shared between the threads but that hold, which the download
// does not touch until the answer is in.
void CPackageCheck::TakeFile(const CPackage& package, std::shared_ptr<CHeldFile> file, qint64 bytesOnDisk)
{
    auto done = [this](bool ok) {
        QMetaObject::invokeMethod(this, "SignalBytesOnDiskTaken", Qt::QueuedConnection, Q_ARG(bool, ok));
    };
    // Past hashing, nothing is taken in; a download waiting for the answer
    // is told so and starts its file over rather than wait for ever.
    if (m_eStage != Stage::Hashing || !IsRunning() || !IsRequired()) {
        if (bytesOnDisk > 0)
            done(false);
        return;
    }
    m_package = package;
    m_pFile = std::move(file);
    if (bytesOnDisk == 0) {
        m_pHasher->Reset();
        return;
    }
    if (m_pFile)
        m_pHasher->ResetFromFile(std::shared_ptr<const CHeldFile>(m_pFile), bytesOnDisk, done);
    else
        m_pHasher->ResetFromFile(package.FilePath(), bytesOnDisk, done);
}

void CPackageCheck::Start(const CSignatureSource& source)
{
    if (m_eStage != Stage::Hashing || !IsRunning())
        return;
    m_eStage = Stage::Checking;
    if (IsRequired() && source.manager) {
        // What the client asked for, whatever the server answered.
        m_strExpectedName = ExpectedFileName(m_package.Url());
        m_pFetch->SetStallTimeout(source.stallMs);
        // Beside the package as it was finally served: wherever it comes
        // from, it is verified and bound to the name asked for.
        m_pFetch->Start(source.manager, SignatureUrlFor(m_package.Url(), source.servedUrl), source.tlsTrust);
        return;
    }
    // Nothing to check; or, with no manager, no way to fetch the signature.
    const CFailure verdict = IsRequired() ? CFailure(EFailure::NoSignature) : CFailure();
    QMetaObject::invokeMethod(this, [this, verdict] { Finish(verdict); }, Qt::QueuedConnection);
}

// Hashed as written, so the check reads nothing again.
void CPackageCheck::OnPackageWritten(const QByteArray& chunk)
{
    if (m_pHasher)
        m_pHasher->AddData(chunk);
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
    const bool discard = verdict.kind == EFailure::Stopped
        ? IsRequired() && m_package.IsValid() && !QFileInfo::exists(m_package.ResumeRecordPath())
        : verdict.IsFailure() && m_package.IsValid();
    if (discard && m_pFile && m_pFile->IsOpen())
        m_pFile->RemoveAt(m_package.FilePath());
    else if (discard)
        QFile::remove(m_package.FilePath());
    m_pFile.reset();
    return verdict;
}

void CPackageCheck::Report(const CFailure& verdict)
{
    emit SignalEnded(verdict);
}

} // namespace Update
