#pragma once

#include <QObject>
#include <QTimer>

namespace Update {

// Qt reads some answers whole into its own memory before it tells anyone of
// them, whatever read buffer the reply has: the body of a 401 or 407 (it
// looks for a challenge in it) and a head that never ends. While such an
// answer may be arriving (a request whose head has not been judged yet),
// this watches the process: once it has grown by more than kGrowthBound
// since Start, SignalExceeded comes, and the owner ends the request, which
// makes Qt drop what it read.
class CMemoryGuard : public QObject
{
    Q_OBJECT
public:
    // Far beyond anything a challenge page or a head needs, and small enough
    // that the whole download stays well under 64 MiB.
    static const qint64 kGrowthBound = 16 * 1024 * 1024;
    // At a fast line's 100 MB/s that lets 2 MB more in before we look.
    static const int kPollMs = 20;

    explicit CMemoryGuard(QObject* parent = nullptr);

    // From what the process holds now; again from then on a second call. A
    // system that does not tell its memory is not watched.
    void Start();
    void Stop();

signals:
    void SignalExceeded();

private slots:
    void OnPoll();

private:
    QTimer m_timer;
    qint64 m_nBaseline = -1;
};

} // namespace Update
