#pragma once

#include <QThread>

#include <atomic>

namespace Update {

// Empties the package's folder and unpacks <installation>/<name>.zip into it,
// on its own thread. One signal per run that has a name.
class CCompressClient : public QThread
{
    Q_OBJECT
public:
    explicit CCompressClient(QObject* parent = nullptr);
    ~CCompressClient() override;

    // Also clears a stop request of an earlier run: called before every start().
    void SetPackageName(const QString& name);
    static bool UnCompress(const QString& zipPath, const QString& targetDir);

    // Asks a running run() to stop at its next chunk or entry, from any
    // thread. It removes the file it was writing and emits neither signal.
    // The owner still waits for the thread to end.
    void RequestStop();

signals:
    void SignalFinishCompress();
    void SignalCompressFailed();

protected:
    void run() override;

private:
    void Extract();
    static bool UnCompressUntil(const QString& zipPath, const QString& targetDir,
                                const std::atomic<bool>& stop);

    QString m_strPackageName;
    std::atomic<bool> m_bStopRequested {false};
    // Set as run() returns. wait() orders the thread's work before the
    // waiter through Qt's own locks, which race checkers cannot see; reading
    // this after wait() states the same order in the language's terms.
    std::atomic<bool> m_bRunReturned {false};
};

} // namespace Update
