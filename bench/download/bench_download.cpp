// bench_download [--hash] URL DIR: fetches URL with the updater's download
// client into DIR (made the current folder, as the installation folder is for
// the updater). --hash hashes the package as it streams, on the hashing
// thread fed from the client's written chunks as the package check of a
// signed installation feeds it, and prints the hash. Exit 0 when the package is
// complete, 1 on a reported failure.
//
// bench_download --hash-file FILE: the same hash of a file on disk, alone,
// with nothing downloading: no download that hashes can end sooner.

#include "CDownloadClient.h"
#include "PackageHashWorker.h"
#include "PackageSignature.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTimer>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments();
    if (args.size() == 3 && args.at(1) == QLatin1String("--hash-file")) {
        Update::CPackageHasher hasher;
        const QFileInfo file(args.at(2));
        if (!hasher.ResetFromFile(file.filePath(), file.size())) {
            std::fprintf(stderr, "cannot hash %s\n", qPrintable(file.filePath()));
            return 1;
        }
        std::printf("%s\n", hasher.Result().toHex().constData());
        return 0;
    }
    const bool hash = args.removeAll(QStringLiteral("--hash")) > 0;
    if (args.size() != 3) {
        std::fprintf(stderr, "usage: bench_download [--hash] URL DIR | --hash-file FILE\n");
        return 2;
    }
    if (!QDir::setCurrent(args.at(2))) {
        std::fprintf(stderr, "cannot enter %s\n", qPrintable(args.at(2)));
        return 2;
    }

    Update::CDownloadClient client(QDir::currentPath());
    Update::CPackageHashWorker hasher;
    if (hash) {
        QObject::connect(&client, &Update::CDownloadClient::SignalPackageWritten, &app,
                         [&hasher](const QByteArray& chunk) { hasher.AddData(chunk); });
        QObject::connect(&client, &Update::CDownloadClient::SignalDownloadRestarted, &app,
                         [&hasher](qint64) { hasher.Reset(); });
    }
    QObject::connect(&client, &Update::CDownloadClient::SignalFinishDownload, &app, [&hasher, hash] {
        if (hash)
            std::printf("%s\n", hasher.Hasher().Result().toHex().constData());
        QCoreApplication::exit(0);
    });
    QObject::connect(&client, &Update::CDownloadClient::SgnDownloadError, &app, [](QString& text) {
        std::fprintf(stderr, "%s\n", qPrintable(text));
        QCoreApplication::exit(1);
    });
    // Ends by itself even against a server that never answers.
    QTimer::singleShot(10 * 60 * 1000, &app, [] {
        std::fprintf(stderr, "timed out\n");
        QCoreApplication::exit(3);
    });
    QString url = args.at(1);
    // Started from the loop: a failure reported at once must find it running.
    QTimer::singleShot(0, &client, [&client, &url] { client.StartDownload(url); });
    return app.exec();
}
