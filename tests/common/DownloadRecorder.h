#pragma once

// Shared by the download tests: random package bytes and a record of
// everything a download client tells its owner.

#include "CDownloadClient.h"

#include <QByteArray>
#include <QList>
#include <QRandomGenerator>
#include <QStringList>

#include <numeric>

namespace Update {
namespace Test {

inline QByteArray Bytes(int size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator random(seed);
    for (char& byte : bytes)
        byte = char(random.bounded(256));
    return bytes;
}

struct Recorder
{
    QList<qint64> progress;
    QStringList errors;
    int finishes = 0;
    QList<int> retries;     // attempt of each SignalRetrying, checked against its total
    QList<qint64> restarts; // bytes on disk of each SignalDownloadRestarted
    int retryTotal = 0;

    void Attach(CDownloadClient* client)
    {
        QObject::connect(client, &CDownloadClient::SignalDownloadProgress, client,
                         [this](qint64 size) { progress.append(size); });
        QObject::connect(client, &CDownloadClient::SgnDownloadError, client,
                         [this](QString& text) { errors.append(text); });
        QObject::connect(client, &CDownloadClient::SignalFinishDownload, client, [this] { ++finishes; });
        QObject::connect(client, &CDownloadClient::SignalRetrying, client, [this](int attempt, int attempts) {
            retries.append(attempt);
            retryTotal = attempts;
        });
        QObject::connect(client, &CDownloadClient::SignalDownloadRestarted, client,
                         [this](qint64 bytes) { restarts.append(bytes); });
    }

    bool Ended() const { return finishes + errors.size() > 0; }
    qint64 Total() const { return std::accumulate(progress.begin(), progress.end(), qint64(0)); }
};

} // namespace Test
} // namespace Update
