// download_probe package|signature URL DIR STALL_MS: one download (or
// signature fetch) by the real client, into DIR, as its own process, so a
// test can see what it costs in memory. Prints "failure=<EFailure>" and
// "peak=<peak resident KiB>" when it ends; ends by itself after a minute.
// Certificates in DIR/UpdateCA.pem are trusted, as an installation's are.

#include "CDownloadClient.h"
#include "CSignatureFetch.h"
#include "Package.h"
#include "TlsTrust.h"

#include <QDir>
#include <QCoreApplication>
#include <QFile>
#include <QTimer>

#include <cstdio>

namespace {

long PeakResidentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return -1;
}

void Report(Update::EFailure failure)
{
    std::printf("failure=%d\npeak=%ld\n", int(failure), PeakResidentKiB());
    std::fflush(stdout);
    QCoreApplication::exit(0);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 5) {
        std::fprintf(stderr, "usage: download_probe package|signature URL DIR STALL_MS\n");
        return 2;
    }
    const QString url = args.at(2);
    const int stallMs = args.at(4).toInt();
    QTimer::singleShot(60000, &app, [] { QCoreApplication::exit(3); });

    const Update::CTlsTrust trust = Update::CTlsTrust::Load(args.at(3) + QStringLiteral("/UpdateCA.pem"));
    Update::CDownloadClient client{args.at(3)};
    client.SetStallTimeout(stallMs);
    client.SetTlsTrust(trust);
    Update::CSignatureFetch fetch;
    fetch.SetStallTimeout(stallMs);
    if (args.at(1) == QLatin1String("signature")) {
        QObject::connect(&fetch, &Update::CSignatureFetch::SignalSignatureFetched, &app, [&fetch] {
            Report(fetch.Failure().IsFailure() ? fetch.Failure().kind : Update::EFailure::NoSignature);
        });
        QTimer::singleShot(0, &app, [&] { fetch.Start(client.NetworkManager(), url, trust); });
    } else {
        QObject::connect(&client, &Update::CDownloadClient::SignalFinishDownload, &app,
                         [] { Report(Update::EFailure::None); });
        QObject::connect(&client, &Update::CDownloadClient::SgnDownloadError, &app,
                         [&client](QString&) { Report(client.Failure().kind); });
        QTimer::singleShot(0, &app, [&] { client.StartDownload(Update::CPackage(url, args.at(3))); });
    }
    return app.exec();
}
