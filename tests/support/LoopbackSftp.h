#pragma once

#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

/**
 * `rclone serve sftp` of a folder on 127.0.0.1 at a free port, with one user and password, for tests of the copy to
 * another place; stopped when the object goes. Header only: the tests that use it link Qt Network themselves.
 */
class LoopbackSftp
{
public:
    LoopbackSftp() = default;
    LoopbackSftp(const LoopbackSftp&) = delete;
    LoopbackSftp& operator=(const LoopbackSftp&) = delete;
    ~LoopbackSftp() { stop(); }

    /** Starts the server; `cacheDir` receives its host keys. Returns the port, 0 when it did not come up. */
    quint16 start(const QString& root,
                  const QString& user,
                  const QString& password,
                  const QString& cacheDir,
                  const QStringList& extra = {})
    {
        stop();
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        const quint16 port = probe.serverPort();
        probe.close();
        m_process.setStandardErrorFile(QProcess::nullDevice());
        m_process.start(QStringLiteral("rclone"),
                        QStringList{QStringLiteral("serve"), QStringLiteral("sftp"), QStringLiteral("--addr"),
                                    QStringLiteral("127.0.0.1:") + QString::number(port), QStringLiteral("--user"),
                                    user, QStringLiteral("--pass"), password, QStringLiteral("--cache-dir"), cacheDir}
                            + extra + QStringList{root});
        if (!m_process.waitForStarted())
            return 0;
        for (int i = 0; i < 300 && m_process.state() == QProcess::Running; ++i) {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, port);
            if (socket.waitForConnected(100))
                return port;
            QTest::qWait(50);
        }
        return 0;
    }

    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.kill();
        m_process.waitForFinished(5000);
    }

    /**
     * Writes an rclone configuration with one SFTP remote at 127.0.0.1:`port`, its password as `rclone obscure` gives
     * it (as `rclone config` stores it). Returns false when rclone could not obscure it or the file not be written.
     */
    static bool
    writeConfig(const QString& path, const QString& remote, quint16 port, const QString& user, const QString& password)
    {
        QProcess obscure;
        obscure.start(QStringLiteral("rclone"), {QStringLiteral("obscure"), password});
        if (!obscure.waitForFinished(20000) || obscure.exitCode() != 0)
            return false;
        const QByteArray obscured = obscure.readAllStandardOutput().trimmed();
        const QByteArray text = "[" + remote.toUtf8() + "]\ntype = sftp\nhost = 127.0.0.1\nport = "
            + QByteArray::number(port) + "\nuser = " + user.toUtf8() + "\npass = " + obscured + "\nshell_type = none\n";
        QFile file(path);
        return !obscured.isEmpty() && file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
    }

private:
    QProcess m_process;
};
