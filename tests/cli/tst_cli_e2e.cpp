// The real tessaline-backup program against the TDS test server, through unixODBC and FreeTDS.
#include "TdsServer.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

namespace {

struct Result
{
    int exitCode = -1;
    QString out;
    QString err;
};

} // namespace

class TestCliEndToEnd : public QObject
{
    Q_OBJECT

    tds::TdsServer m_server;
    QTemporaryDir m_dir;

    Result run(const QStringList& args, const QString& password = u"pw"_s)
    {
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"XDG_CONFIG_HOME"_s, m_dir.path() + u"/config"_s);
        env.insert(u"TEMP"_s, m_dir.path());
        env.insert(u"TESSALINE_PASSWORD"_s, password);
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(TESSALINE_BINARY_DIR "/cli/tessaline-backup"), args);
        if (!process.waitForFinished(120'000))
            process.kill();
        return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
                QString::fromUtf8(process.readAllStandardOutput()), QString::fromUtf8(process.readAllStandardError())};
    }

    QStringList connectionArgs(const QString& folder) const
    {
        return {u"--server"_s, u"127.0.0.1"_s, u"--port"_s,     QString::number(m_server.port()),
                u"--user"_s,   u"backup"_s,    u"--database"_s, u"Sales"_s,
                u"--folder"_s, folder};
    }

private slots:
    void initTestCase()
    {
        tds::TableSpec people;
        people.name = u"People"_s;
        people.columns = {{u"Id"_s, tds::SqlType::Int}, {u"Name"_s, tds::SqlType::NVarChar, 20}};
        people.rows = {{1, u"Baker's"_s}, {2, QVariant()}};
        m_server.addTable(people);
        m_server.setDefaultDatabase(u"Sales"_s);
        QVERIFY(m_server.start());
    }

    void backupWritesTheFileAndPrintsItsPath()
    {
        const QString folder = m_dir.path() + u"/backups"_s;
        QVERIFY(QDir().mkpath(folder));
        const Result result = run(connectionArgs(folder));
        QCOMPARE(result.exitCode, 0);
        const QString path = result.out.trimmed();
        QVERIFY2(path.startsWith(folder + u"/Sales "_s) && path.endsWith(u".sql"_s), qPrintable(path));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray script = file.readAll();
        QVERIFY(script.startsWith("-- Server: 127.0.0.1    Database: Sales\r\n"));
        QVERIFY(script.contains("INSERT INTO [People] VALUES('1', N'Baker''s');\r\n")
                || script.contains("INSERT INTO [People] VALUES('1', 'Baker''s');\r\n"));
        QVERIFY(script.contains("INSERT INTO [People] VALUES('2', NULL);\r\n"));
        QCOMPARE(m_server.logins().constLast().password, u"pw"_s); // from the environment, not the command line

        QFile log(m_dir.path() + u"/backups.log"_s);
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(log.readAll().contains((path + u" was backup saved at "_s).toUtf8()));
    }

    void refusedLoginExitsWithOneAndSaysWhy()
    {
        m_server.setLoginAccepted(false);
        const Result result = run(connectionArgs(m_dir.path()), u"wrong"_s);
        m_server.setLoginAccepted(true);
        QCOMPARE(result.exitCode, 1);
        QVERIFY2(result.err.contains(u"Login failed for user 'backup'."_s), qPrintable(result.err));
        QVERIFY(result.err.contains(u"IntervalSave.SaveAll at line 124"_s));
        QVERIFY(result.out.isEmpty());
    }

    void missingFolderExitsWithOne()
    {
        const Result result = run(connectionArgs(m_dir.path() + u"/missing"_s));
        QCOMPARE(result.exitCode, 1);
        QVERIFY(result.err.contains(u"IntervalSave.FileCont"_s));
        QVERIFY(!QFileInfo::exists(m_dir.path() + u"/missing"_s));
    }

    void badOptionExitsWithTwo()
    {
        const Result result = run({u"--pasword"_s, u"x"_s});
        QCOMPARE(result.exitCode, 2);
    }

    void restoreSendsTheScriptAsOneBatch()
    {
        const QString script = m_dir.path() + u"/restore.sql"_s;
        QFile file(script);
        QVERIFY(file.open(QIODevice::WriteOnly));
        const QByteArray text
            = "--\r\nUSE [master]\r\n--\r\nCREATE TABLE [T] ([a] INT)\r\nINSERT INTO [T] VALUES('1');\r\n";
        file.write(text);
        file.close();
        m_server.clearRecords();
        QStringList args = connectionArgs(m_dir.path());
        args << u"--restore"_s << script;
        const Result result = run(args);
        QCOMPARE(result.exitCode, 0);
        QVERIFY(result.err.contains(u"Done."_s));
        QVERIFY(m_server.batches().contains(QString::fromUtf8(text)));
    }
};

QTEST_GUILESS_MAIN(TestCliEndToEnd)
#include "tst_cli_e2e.moc"
