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

    void SetPackageName(const QString& name);
    static bool UnCompress(const QString& zipPath, const QString& targetDir);

signals:
    void SignalFinishCompress();
    void SignalCompressFailed();

protected:
    void run() override;

private:
    void Extract();

    QString m_strPackageName;
    // Set as run() returns. wait() orders the thread's work before the
    // waiter through Qt's own locks, which race checkers cannot see; reading
    // this after wait() states the same order in the language's terms.
    std::atomic<bool> m_bRunReturned {false};
};

} // namespace Update
