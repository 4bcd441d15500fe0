#pragma once

// The real minisign tool for tests: key pairs and signatures made at test
// time, never kept in the tree. Every run is bounded in time.
//
//     Minisign tool;
//     if (!tool.Available()) QSKIP("minisign is not installed");
//     QVERIFY(tool.MakeKeyPair(dir.filePath("A")));          // A.pub, A.key
//     QVERIFY(tool.Sign(dir.filePath("A"), package, package + ".minisig"));

#include <QProcess>
#include <QStandardPaths>
#include <QStringList>

class Minisign
{
public:
    static constexpr int kToolWaitMs = 30000; // upper bound for one run

    Minisign() : m_strPath(QStandardPaths::findExecutable(QStringLiteral("minisign"))) {}

    bool Available() const { return !m_strPath.isEmpty(); }

    // Exit status 0 within the bound.
    bool Run(const QStringList& args) const
    {
        if (!Available())
            return false;
        QProcess process;
        process.setProgram(m_strPath);
        process.setArguments(args);
        process.setStandardInputFile(QProcess::nullDevice());
        process.start();
        if (!process.waitForFinished(kToolWaitMs)) {
            process.kill();
            process.waitForFinished(kToolWaitMs);
            return false;
        }
        return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    }

    // <base>.pub and <base>.key, the secret key without a password.
    bool MakeKeyPair(const QString& base) const
    {
        return Run({QStringLiteral("-G"), QStringLiteral("-W"), QStringLiteral("-p"), base + QStringLiteral(".pub"),
                    QStringLiteral("-s"), base + QStringLiteral(".key")});
    }

    // Signs `file` with <keyBase>.key into sigPath; extra adds options such
    // as -t (trusted comment) or -l (legacy).
    bool Sign(const QString& keyBase, const QString& file, const QString& sigPath,
              const QStringList& extra = QStringList()) const
    {
        return Run(QStringList{QStringLiteral("-S"), QStringLiteral("-s"), keyBase + QStringLiteral(".key"),
                               QStringLiteral("-m"), file, QStringLiteral("-x"), sigPath}
                   + extra);
    }

private:
    QString m_strPath;
};
