// Bytes -> <installation>/pkg.zip, unpacked into <installation>/pkg twice: by
// UnCompress directly and by a run of the worker thread, as the window starts
// it. Nothing may appear, change or vanish outside the target folder, and
// the target may hold no link (ScratchInstallation.h); every thread run ends
// in exactly one outcome signal, the same one the direct call gave, and a
// failed run names a reason that unpacking can have. A file size limit plays
// a full disk and keeps a zip bomb's output small.
//
// fuzz_zip_reader and fuzz_safe_target take the two halves apart.

#include "CCompressClient.h"
#include "Package.h"
#include "ScratchInstallation.h"

#include <sys/resource.h>

#include <atomic>
#include <csignal>
#include <cstdint>

using namespace Scratch;
using Update::CCompressClient;
using Update::EFailure;

namespace {

const rlim_t kFileSizeLimit = 8 * 1024 * 1024;

bool IsUnpackingFailure(EFailure kind)
{
    return kind == EFailure::ArchiveDamaged || kind == EFailure::UnpackDiskFull || kind == EFailure::UnpackFile;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    Make("fuzz_extract");
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit {};
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = kFileSizeLimit;
    setrlimit(RLIMIT_FSIZE, &limit);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 1024 * 1024)
        return 0;
    RemoveTarget();
    WriteOrDie(Zip(), QByteArray(reinterpret_cast<const char*>(data), int(size)));

    const bool direct = CCompressClient::UnCompress(Zip(), Target());
    CheckOutside("after UnCompress");
    CheckTarget();

    std::atomic<int> finished {0};
    std::atomic<int> failed {0};
    Update::CFailure failure;
    {
        CCompressClient worker(g_strInst);
        QObject::connect(&worker, &CCompressClient::SignalFinishCompress, [&finished] { ++finished; });
        QObject::connect(&worker, &CCompressClient::SignalCompressFailed, [&failed] { ++failed; });
        worker.SetPackage(Update::CPackage(QStringLiteral("http://127.0.0.1/pkg.zip"), g_strInst));
        worker.start();
        if (!worker.wait(60000))
            Fail("worker still running after a minute");
        failure = worker.Failure();
    }
    if (finished + failed != 1)
        Fail("not exactly one outcome signal", QString::number(finished) + "/" + QString::number(failed));
    if ((finished == 1) != direct)
        Fail("thread run and direct call disagree");
    if (failed == 1 && !IsUnpackingFailure(failure.kind))
        Fail("a failed run without an unpacking reason", QString::number(int(failure.kind)));
    if (finished == 1 && failure.IsFailure())
        Fail("a finished run with a failure", QString::number(int(failure.kind)));
    CheckOutside("after the thread run");
    CheckTarget();
    return 0;
}
