#pragma once

#include <QThread>

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
    QString m_strPackageName;
};

} // namespace Update
