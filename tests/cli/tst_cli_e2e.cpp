// The real tessaline-backup program against the TDS test server, through unixODBC and FreeTDS.
#include "CutProxy.h"
#include "LoopbackSftp.h"
#include "TdsServer.h"
#include "TestFiles.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace {

struct Result
{
    int exitCode = -1;
    QString out;
    QString err;
};

QString binary()
{
    return QStringLiteral(TESSALINE_BINARY_DIR "/cli/tessaline-backup");
}

/** Every file of a folder, hidden ones too, by name. */
QStringList filesIn(const QString& folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
}

/** A table of `rows` rows whose INSERT lines are about 100 bytes each. */
tds::TableSpec fillTable(const QString& name, qint64 rows)
{
    tds::TableSpec t;
    t.name = name;
    t.columns = {{u"Id"_s, tds::SqlType::Int}, {u"Text"_s, tds::SqlType::VarChar, 100}};
    t.generatedRows = rows;
    t.generator = [](qint64 i, tds::Row& row) {
        row[0] = i;
        row[1] = QString(u"row %1 "_s.arg(qlonglong(i), 6, 10, QChar(u'0')) + QString(70, u'x'));
    };
    return t;
}

/** The scripts in a backup file: each starts at a server line. */
QList<QByteArray> scriptsIn(const QByteArray& file)
{
    QList<QByteArray> scripts;
    const QByteArray start = "-- Server: ";
    qsizetype at = file.indexOf(start);
    while (at >= 0) {
        const qsizetype next = file.indexOf(QByteArray("\r\n" + start), at);
        scripts.append(file.mid(at, next < 0 ? -1 : next + 2 - at));
        at = next < 0 ? -1 : next + 2;
    }
    return scripts;
}

/** A complete script of the Fill table: every row once, in order, and the table's closing empty line. */
bool isCompleteFillScript(const QByteArray& script, qint64 rows)
{
    const QList<QByteArray> lines = script.split('\n');
    qint64 next = 0;
    for (const QByteArray& line : lines) {
        if (!line.startsWith("INSERT INTO [Fill] VALUES('"))
            continue;
        if (!line.startsWith(QByteArray("INSERT INTO [Fill] VALUES('" + QByteArray::number(next) + "', 'row ")))
            return false;
        ++next;
    }
    return next == rows && script.endsWith(");\r\n\r\n");
}

} // namespace

class TestCliEndToEnd : public QObject
{
    Q_OBJECT

    tds::TdsServer m_server;
    QTemporaryDir m_dir;

    /** The command's environment: settings and the log (TEMP) in `home`, the password from the environment. */
    static QProcessEnvironment environment(const QString& home, const QString& password = u"pw"_s)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"XDG_CONFIG_HOME"_s, home + u"/config"_s);
        env.insert(u"TEMP"_s, home);
        env.insert(u"TESSALINE_PASSWORD"_s, password);
        return env;
    }

    static Result finish(QProcess& process)
    {
        if (!process.waitForFinished(120'000))
            process.kill();
        return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
                QString::fromUtf8(process.readAllStandardOutput()), QString::fromUtf8(process.readAllStandardError())};
    }

    Result run(const QStringList& args,
               const QString& password = u"pw"_s,
               const QList<QPair<QString, QString>>& extraEnvironment = {})
    {
        QProcess process;
        QProcessEnvironment env = environment(m_dir.path(), password);
        for (const auto& [name, value] : extraEnvironment)
            env.insert(name, value);
        process.setProcessEnvironment(env);
        process.start(binary(), args);
        return finish(process);
    }

    /** Runs a program that starts the command itself (a different user, a file size limit). */
    Result runThrough(const QString& program, const QStringList& args, const QProcessEnvironment& env)
    {
        QProcess process;
        process.setProcessEnvironment(env);
        process.start(program, args);
        return finish(process);
    }

    QStringList connectionArgs(const QString& folder, quint16 port = 0) const
    {
        return {u"--server"_s, u"127.0.0.1"_s, u"--port"_s,     QString::number(port ? port : m_server.port()),
                u"--user"_s,   u"backup"_s,    u"--database"_s, u"Sales"_s,
                u"--folder"_s, folder};
    }

    QString log() const { return QString::fromUtf8(readBytes(m_dir.path() + u"/backups.log"_s)); }
    QString lastLogLine() const { return log().trimmed().section(u"\r\n"_s, -1); }

    /** A new empty backup folder. */
    QString newFolder(const QString& name)
    {
        const QString folder = m_dir.path() + u'/' + name;
        QDir(folder).removeRecursively();
        return QDir().mkpath(folder) ? folder : QString();
    }

    void useTables(const QList<tds::TableSpec>& tables)
    {
        m_server.clearTables();
        for (const tds::TableSpec& t : tables)
            m_server.addTable(t);
    }

    tds::TableSpec m_people;

    /**
     * Waits until the server was asked for the rows of [Fill] and the folder has a working file; its path, or empty
     * after 20 seconds. (What the file holds tells nothing: the dump hands its bytes over in pieces.)
     */
    QString waitForFillRows(const QString& folder)
    {
        for (int i = 0; i < 2000; ++i) {
            if (!m_server.batches().filter(u"[Fill]"_s).isEmpty()) {
                for (const QString& name : filesIn(folder)) {
                    if (name.endsWith(u".partial"_s))
                        return folder + u'/' + name;
                }
            }
            QThread::msleep(10);
        }
        return {};
    }

    /** Starts the command with `args`; the test sends it signals. */
    void start(QProcess& process, const QStringList& args, const QList<QPair<QString, QString>>& extra = {})
    {
        QProcessEnvironment env = environment(m_dir.path());
        for (const auto& [name, value] : extra)
            env.insert(name, value);
        process.setProcessEnvironment(env);
        process.start(binary(), args);
    }

private slots:
    void initTestCase()
    {
        tds::TableSpec people;
        people.name = u"People"_s;
        people.columns = {{u"Id"_s, tds::SqlType::Int}, {u"Name"_s, tds::SqlType::NVarChar, 20}};
        people.rows = {{1, u"Baker's"_s}, {2, QVariant()}};
        m_people = people;
        m_server.addTable(people);
        m_server.setDefaultDatabase(u"Sales"_s);
        QVERIFY(m_server.start());
    }

    void init()
    {
        useTables({m_people});
        m_server.setFaults({});
        m_server.setLoginAccepted(true);
        m_server.setSnapshotIsolation(false);
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
        QCOMPARE(filesIn(m_dir.path()).filter(QRegularExpression(u"^Sales "_s)), QStringList()); // no empty database
        QVERIFY(lastLogLine().contains(u" backup failed at "_s));
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

    void refusedTdsVersionExitsWithTwoBeforeAnyConnection_data()
    {
        QTest::addColumn<QString>("tdsver");
        for (const char* value : {"auto", "5.0", "4.2", "8.0"})
            QTest::newRow(value) << QString::fromLatin1(value);
    }

    void refusedTdsVersionExitsWithTwoBeforeAnyConnection()
    {
        QFETCH(QString, tdsver);
        const int connections = m_server.connectionCount();
        const Result result = run(connectionArgs(m_dir.path()), u"pw"_s, {{u"TDSVER"_s, tdsver}});
        QCOMPARE(result.exitCode, 2);
        QVERIFY2(result.err.contains(u"TDSVER is set to \""_s + tdsver + u'"'), qPrintable(result.err));
        QVERIFY(result.err.contains(u"clear text"_s));
        QCOMPARE(m_server.connectionCount(), connections);
    }

    void silentServerFailsTheStepAfterTheTimeout_data()
    {
        QTest::addColumn<bool>("restore");
        QTest::newRow("backup") << false;
        QTest::newRow("restore") << true;
    }

    void silentServerFailsTheStepAfterTheTimeout()
    {
        QFETCH(bool, restore);
        const QString folder = m_dir.path() + u"/stalled"_s;
        QVERIFY(QDir().mkpath(folder));
        QStringList args = connectionArgs(folder);
        args << u"--timeout"_s << u"2"_s;
        if (restore) {
            // The script reads the table too, so the server falls silent in the middle of the restore's batch.
            const QString script = folder + u"/restore.sql"_s;
            QFile file(script);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("SELECT * FROM [People]");
            file.close();
            args << u"--restore"_s << script;
        }
        m_server.setFaults({.stallAfterRows = 1});
        const Result result = run(args);
        m_server.setFaults({});
        QCOMPARE(result.exitCode, 1);
        QVERIFY2(result.err.contains(u"[FreeTDS][SQL Server]Timeout expired"_s), qPrintable(result.err));
        if (restore) {
            // The server fell silent: the connection is at fault, not the script, and the design's text says so last.
            const QStringList lines = result.err.trimmed().split(u'\n');
            QCOMPARE(lines.last(), u"Could not connect. Please check with your administrator."_s);
            QVERIFY2(result.err.contains(u"The connection failed while this batch ran; no batch of the script ran "
                                         u"before it, and no more were sent."_s),
                     qPrintable(result.err));
            QVERIFY(!result.err.contains(u"refused"_s));
            QVERIFY(!result.err.contains(u"Done."_s));
            return;
        }
        QVERIFY(result.err.contains(u"IntervalSave.SaveAll at line 268"_s));
        QFile log(m_dir.path() + u"/backups.log"_s);
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(log.readAll().contains(" backup failed at "));
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

    void refusedBatchIsSaidToBeRefused()
    {
        // A script of another origin in three batches; the server refuses the third, as SQL Server refuses a name
        // that is taken.
        const QString script = m_dir.path() + u"/refused.sql"_s;
        QFile file(script);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("SELECT 1\r\nGO\r\nSELECT 2\r\nGO\r\n\r\nCREATE TABLE [x] ([a] INT)\r\nGO\r\nSELECT 3\r\n");
        file.close();
        m_server.clearRecords();
        m_server.addMessageRule(
            {u"CREATE TABLE [x]"_s, 2714, u"There is already an object named 'x' in the database."_s, 16});
        QStringList args = connectionArgs(m_dir.path());
        args << u"--restore"_s << script;
        const Result result = run(args);
        m_server.clearMessageRules();

        QCOMPARE(result.exitCode, 1);
        const QStringList lines = result.err.trimmed().split(u'\n');
        QVERIFY2(lines.size() >= 3, qPrintable(result.err));
        // The server's text through the driver, where the batch begins, and how far the script got, last.
        QCOMPARE(lines.mid(lines.size() - 3),
                 (QStringList{u"[FreeTDS][SQL Server]There is already an object named 'x' in the database."_s,
                              u"The failing batch begins at line 5 of "_s + script,
                              u"Restore failed: the server refused this batch; 2 batches of the script ran before it "
                              u"and stay done, and no more were sent."_s}));
        QVERIFY(!result.err.contains(u"Could not connect"_s));
        QVERIFY(!m_server.batches().join(QString()).contains(u"SELECT 3"_s));
    }

    // ---- backup files that are complete or absent

    void cutConnectionLeavesNoBackup_data()
    {
        QTest::addColumn<qint64>("cutAfter"); // bytes from the server; negative: never
        QTest::newRow("during the pre-login") << qint64(20);
        QTest::newRow("during the login") << qint64(300);
        QTest::newRow("in the catalogue") << qint64(4'000);
        QTest::newRow("early in the rows") << qint64(40'000);
        QTest::newRow("late in the rows") << qint64(900'000);
        QTest::newRow("never: the control") << qint64(-1);
    }

    void cutConnectionLeavesNoBackup()
    {
        QFETCH(qint64, cutAfter);
        const qint64 rows = 12'000; // about 1.2 MB of rows on the wire
        useTables({m_people, fillTable(u"Fill"_s, rows)});
        tds::CutProxy proxy(m_server.port(), cutAfter);
        QVERIFY(proxy.start());
        const QString folder = newFolder(u"cut"_s);
        const Result result = run(connectionArgs(folder, proxy.port()));
        if (cutAfter < 0) {
            QCOMPARE(result.exitCode, 0);
            const QStringList files = filesIn(folder);
            QCOMPARE(files.size(), 1);
            QVERIFY(files[0].endsWith(u".sql"_s));
            QVERIFY(isCompleteFillScript(readBytes(folder + u'/' + files[0]), rows));
            QVERIFY(lastLogLine().contains(u" was backup saved at "_s));
            return;
        }
        QVERIFY(proxy.cuts() >= 1);
        QCOMPARE(result.exitCode, 1);
        QVERIFY(result.out.isEmpty());
        QVERIFY2(result.err.contains(u"Error: "_s), qPrintable(result.err));
        QCOMPARE(filesIn(folder), QStringList());
        QVERIFY2(lastLogLine().startsWith(folder + u"/Sales "_s) && lastLogLine().contains(u".sql backup failed at "_s),
                 qPrintable(lastLogLine()));
    }

    void killedBackupLeavesOnlyAWorkingFile()
    {
        const int signal = SIGKILL; // the termination signals stop the backup instead (below)
        useTables({m_people, fillTable(u"Fill"_s, 4'000)});
        m_server.setFaults({.rowDelayMs = 5}); // some 20 s of rows: the kill comes in the middle
        const QString folder = newFolder(u"killed"_s);
        const QString logBefore = log();
        QProcess process;
        process.setProcessEnvironment(environment(m_dir.path()));
        process.start(binary(), connectionArgs(folder));
        QVERIFY(process.waitForStarted());
        // Wait until rows reach the working file.
        QString partial;
        for (int i = 0; i < 2000 && partial.isEmpty(); ++i) {
            QThread::msleep(10);
            for (const QString& name : filesIn(folder)) {
                if (name.endsWith(u".partial"_s) && readBytes(folder + u'/' + name).contains("INSERT INTO [Fill]"))
                    partial = folder + u'/' + name;
            }
        }
        QVERIFY2(!partial.isEmpty(), qPrintable(filesIn(folder).join(u", "_s)));
        QCOMPARE(::kill(pid_t(process.processId()), signal), 0);
        QVERIFY(process.waitForFinished(30'000));
        QCOMPARE(process.exitStatus(), QProcess::CrashExit);
        m_server.setFaults({});

        // At most the working file; no name that the restore's file dialog (*.sql) offers.
        QCOMPARE(filesIn(folder), QStringList{QFileInfo(partial).fileName()});
        QVERIFY(QFileInfo(partial).fileName().startsWith(u"Sales "_s));
        QCOMPARE(log(), logBefore);

        // And the command refuses to restore it.
        QThread::msleep(100); // the killed session's last requests reach the server's records
        m_server.clearRecords();
        QStringList args = connectionArgs(folder);
        args << u"--restore"_s << partial;
        const Result restore = run(args);
        QCOMPARE(restore.exitCode, 1);
        QVERIFY2(restore.err.contains(u"Not restored: "_s + partial), qPrintable(restore.err));
        QCOMPARE(m_server.batches(), QStringList());
        QVERIFY(QFile::exists(partial));

        // The next backup of the database leaves it while it is recent, and removes it once it is an hour old.
        useTables({m_people});
        const Result recent = run(connectionArgs(folder));
        QCOMPARE(recent.exitCode, 0);
        QVERIFY(QFile::exists(partial));
        QFile(recent.out.trimmed()).remove();
        QFile file(partial);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(-3601), QFileDevice::FileModificationTime));
        file.close();
        const Result next = run(connectionArgs(folder));
        QCOMPARE(next.exitCode, 0);
        QCOMPARE(filesIn(folder), QStringList{QFileInfo(next.out.trimmed()).fileName()});
        QVERIFY2(log().contains(partial + u" was removed at "_s), qPrintable(log()));
        QVERIFY(log().indexOf(partial + u" was removed at "_s)
                < log().lastIndexOf(next.out.trimmed() + u" was backup"_s));
    }

    // ---- database names that file names cannot show as they are

    void hostileDatabaseNamesAreBackedUpListedAndRestored_data()
    {
        QTest::addColumn<QString>("database");
        QTest::newRow("carriage return") << u"Sales\rNorth"_s;
        QTest::newRow("line feed") << u"Sales\nNorth"_s;
        QTest::newRow("tab") << u"Sales\tNorth"_s;
        QTest::newRow("128 Chinese") << QString(128, QChar(0x6570));
        QTest::newRow("128 Cyrillic") << QString(128, QChar(0x0416));
    }

    void hostileDatabaseNamesAreBackedUpListedAndRestored()
    {
        QFETCH(QString, database);
        const QString folder = newFolder(u"names"_s);
        QStringList args = connectionArgs(folder);
        args[args.indexOf(u"--database"_s) + 1] = database;
        // Two backups a minute apart cannot be made here: the second, in the same minute, goes after the first in the
        // same file, and retention keeps that one file.
        const Result first = run(args + QStringList{u"--keep"_s, u"1"_s});
        QCOMPARE(first.exitCode, 0);
        QVERIFY2(!first.err.contains(u"Error"_s), qPrintable(first.err));
        // One line on standard output, a file name within the file system's limit, and nothing else in the folder.
        const QString path = first.out.chopped(1);
        QVERIFY2(!path.contains(u'\n') && !path.contains(u'\r') && !path.contains(u'\t'), qPrintable(first.out));
        QCOMPARE(first.out.count(u'\n'), 1);
        const QString name = QFileInfo(path).fileName();
        QVERIFY(name.toUtf8().size() <= 255);
        QCOMPARE(filesIn(folder), QStringList{name});
        QVERIFY2(lastLogLine().startsWith(path + u" was backup saved at "_s), qPrintable(lastLogLine()));
        // The script holds the exact name.
        const QByteArray script = readBytes(path);
        QVERIFY(script.contains(QByteArray("CREATE DATABASE [" + database.toUtf8() + "]")));

        // Retention counts it as a backup of the database: an older one beside it goes.
        const QString older = folder + u'/' + name.section(u' ', 0, -3) + u" 2020-01-01 900AM.sql"_s;
        QVERIFY(QFile::copy(path, older));
        const Result second = run(args + QStringList{u"--keep"_s, u"1"_s});
        QCOMPARE(second.exitCode, 0);
        QVERIFY2(!QFile::exists(older), qPrintable(filesIn(folder).join(u" | "_s)));
        QVERIFY(log().contains(older + u" was removed at "_s));
        // (The first backup's file too, when the minute changed between the two.)
        const QString newest = second.out.chopped(1);
        QCOMPARE(filesIn(folder), QStringList{QFileInfo(newest).fileName()});

        // And it restores: the server gets the script's statements with the exact name.
        m_server.clearRecords();
        QStringList restore = args;
        restore << u"--restore"_s << newest;
        const Result restored = run(restore);
        QCOMPARE(restored.exitCode, 0);
        QVERIFY2(restored.err.contains(u"Done."_s), qPrintable(restored.err));
        QVERIFY(!m_server.batches().filter(u"CREATE DATABASE ["_s + database + u']').isEmpty());
    }

    void twoProcessesInTheSameMinuteKeepBothScriptsWhole()
    {
        const qint64 rows = 300;
        useTables({fillTable(u"Fill"_s, rows)});
        m_server.setFaults({.rowDelayMs = 2}); // both dumps run at the same time for a while
        const QString folder = newFolder(u"twice"_s);
        QProcess first;
        QProcess second;
        for (QProcess* p : {&first, &second}) {
            p->setProcessEnvironment(environment(m_dir.path()));
            p->start(binary(), connectionArgs(folder));
        }
        const Result a = finish(first);
        const Result b = finish(second);
        m_server.setFaults({});
        QCOMPARE(a.exitCode, 0);
        QCOMPARE(b.exitCode, 0);
        const QStringList files = filesIn(folder);
        for (const QString& name : files)
            QVERIFY2(name.endsWith(u".sql"_s), qPrintable(name));
        if (a.out != b.out) {
            // The minute changed between the two: two files, each one whole script.
            QCOMPARE(files.size(), 2);
            for (const QString& name : files) {
                const QList<QByteArray> scripts = scriptsIn(readBytes(folder + u'/' + name));
                QCOMPARE(scripts.size(), 1);
                QVERIFY(isCompleteFillScript(scripts[0], rows));
            }
            return;
        }
        QCOMPARE(files.size(), 1);
        const QByteArray both = readBytes(a.out.trimmed());
        const QList<QByteArray> scripts = scriptsIn(both);
        QCOMPARE(scripts.size(), 2);
        QCOMPARE(scripts[0].size() + scripts[1].size(), both.size());
        for (const QByteArray& script : scripts)
            QVERIFY(isCompleteFillScript(script, rows));
        QCOMPARE(log().count(a.out.trimmed() + u" was backup saved at "_s), 2);
    }

    void secondProcessWaitsForTheFolderLock()
    {
        const QString folder = newFolder(u"locked"_s);
        // Another backup is committing into the folder: it holds the folder's lock.
        const int other = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        QVERIFY(other >= 0);
        QCOMPARE(::flock(other, LOCK_EX | LOCK_NB), 0);
        QProcess process;
        process.setProcessEnvironment(environment(m_dir.path()));
        process.start(binary(), connectionArgs(folder));
        QVERIFY(process.waitForStarted());
        QString err;
        // The dump's last progress line comes before it commits.
        for (int i = 0; i < 3000 && !err.contains(u"Tables 1 of "_s) && process.state() == QProcess::Running; ++i) {
            process.waitForReadyRead(10);
            err += QString::fromUtf8(process.readAllStandardError());
        }
        QVERIFY2(err.contains(u"Tables 1 of "_s), qPrintable(err + QString::fromUtf8(process.readAllStandardOutput())));
        QThread::msleep(300);
        const bool waited = process.state() == QProcess::Running;
        const QStringList whileWaiting = filesIn(folder);
        ::close(other);
        const Result result = finish(process);
        QVERIFY(waited);
        QCOMPARE(whileWaiting.size(), 1);
        QVERIFY2(whileWaiting[0].endsWith(u".partial"_s), qPrintable(whileWaiting[0]));
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(filesIn(folder), QStringList{QFileInfo(result.out.trimmed()).fileName()});
    }

    void fullDiskLeavesNoFileAndSaysSo_data()
    {
        QTest::addColumn<bool>("sameMinute"); // a first backup fits, the second beside it does not
        QTest::newRow("one dump bigger than the disk") << false;
        QTest::newRow("the second of the minute does not fit beside the first") << true;
    }

    void fullDiskLeavesNoFileAndSaysSo()
    {
        QFETCH(bool, sameMinute);
        // About 90 KB of script on a 256 KB file system: one fits, the working file of a second too, not the
        // combined file of both; 12,000 rows never fit.
        useTables({fillTable(u"Fill"_s, sameMinute ? 900 : 12'000)});
        const QString folder = newFolder(u"full"_s);
        const bool mounted
            = ::mount("tmpfs", QFile::encodeName(folder).constData(), "tmpfs", 0, "size=256k,mode=0755") == 0;
        QString expectedText = u"No space left on device"_s;
        QString program = binary();
        QStringList args = connectionArgs(folder);
        if (!mounted) {
            // Mounting needs root: a file size limit makes the writes fail instead, with the system's own text.
            qWarning("no tmpfs (%s): a file size limit of 128 KB stands in for the full disk", std::strerror(errno));
            expectedText = QString::fromLocal8Bit(std::strerror(EFBIG));
            program = u"/bin/sh"_s;
            args.prepend(binary());
            args.prepend(u"trap '' XFSZ; ulimit -f 128; exec \"$0\" \"$@\""_s);
            args.prepend(u"-c"_s);
        }
        const auto cleanup = qScopeGuard([&] {
            if (mounted)
                ::umount2(QFile::encodeName(folder).constData(), MNT_DETACH);
        });
        QByteArray firstBackup;
        if (sameMinute) {
            const Result first = runThrough(program, args, environment(m_dir.path()));
            QCOMPARE(first.exitCode, 0);
            firstBackup = readBytes(first.out.trimmed());
            QVERIFY(isCompleteFillScript(firstBackup, 900));
        }
        const Result result = runThrough(program, args, environment(m_dir.path()));
        if (sameMinute && filesIn(folder).size() == 1 && result.exitCode == 0)
            QSKIP("the minute changed between the two backups"); // the second went into a file of its own
        QCOMPARE(result.exitCode, 1);
        QVERIFY2(result.err.contains(u"Error: "_s + expectedText + u'\n'), qPrintable(result.err));
        QVERIFY2(lastLogLine().endsWith(u": "_s + expectedText), qPrintable(lastLogLine()));
        if (!sameMinute) {
            QCOMPARE(filesIn(folder), QStringList());
            QVERIFY(result.err.contains(u"IntervalSave.FileCont at line 128"_s));
            return;
        }
        // The first backup is untouched; nothing else is left.
        QVERIFY(result.err.contains(u"IntervalSave.SaveAll at line 336"_s));
        const QStringList files = filesIn(folder);
        QCOMPARE(files.size(), 1);
        QCOMPARE(readBytes(folder + u'/' + files[0]), firstBackup);
    }

    void unwritableFolderAsAnotherUser()
    {
        // Root may write anywhere: as root the command runs as nobody; otherwise as this user.
        const bool root = ::geteuid() == 0;
        QTemporaryDir home;
        QVERIFY(home.isValid());
        const QString folder = home.path() + u"/backups"_s;
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(QFile::setPermissions(home.path(),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                          | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther | QFile::WriteOther
                                          | QFile::ExeOther));
        QVERIFY(QFile::setPermissions(folder,
                                      QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup
                                          | QFile::ReadOther | QFile::ExeOther)
                | (root ? QFile::WriteOwner : QFile::Permissions()));
        QStringList args = connectionArgs(folder);
        QString program = binary();
        if (root) {
            args = QStringList{u"--reuid=65534"_s, u"--regid=65534"_s, u"--clear-groups"_s, binary()} + args;
            program = u"setpriv"_s;
        }
        const Result result = runThrough(program, args, environment(home.path()));
        const QString permission = QString::fromLocal8Bit(std::strerror(EACCES));
        QCOMPARE(result.exitCode, 1);
        QVERIFY2(result.err.contains(u"Error: "_s + permission
                                     + u"\nin Quorvane2021/08/31.IntervalSave.FileCont at line 124"_s),
                 qPrintable(result.err));
        QVERIFY(result.err.contains(u"IntervalSave.FileCont at line 128"_s));
        QCOMPARE(filesIn(folder), QStringList());
        const QString logText = QString::fromUtf8(readBytes(home.path() + u"/backups.log"_s));
        QVERIFY2(logText.startsWith(folder + u"/Sales "_s) && logText.contains(u" backup failed at "_s)
                     && logText.trimmed().endsWith(u": "_s + permission),
                 qPrintable(logText));
    }
    void copyToTheLoopbackSftpServer()
    {
        // An SFTP server of our own, the remote "nas" in a configuration of our own; older copies of ours there beside
        // another database's, another server's and a stranger's files.
        const QString served = newFolder(u"served"_s);
        QVERIFY(QDir(served).mkpath(u"sql"_s));
        LoopbackSftp sftp;
        const quint16 port = sftp.start(served, u"backup"_s, u"Sftp-Pw1"_s, m_dir.path() + u"/cache"_s);
        QVERIFY(port != 0);
        const QString config = m_dir.path() + u"/rclone.conf"_s;
        QVERIFY(LoopbackSftp::writeConfig(config, u"nas"_s, port, u"backup"_s, u"Sftp-Pw1"_s));
        const auto header = [](const QByteArray& server, const QByteArray& database) -> QByteArray {
            return "-- Server: " + server + "    Database: " + database + "\r\n-- " + QByteArray(54, '-')
                + "\r\n-- Generated By: Tessaline\r\n";
        };
        const QMap<QString, QByteArray> before = {
            {u"Sales 2021-08-31 920AM.sql"_s, header("127.0.0.1", "Sales")},
            {u"Sales 2021-08-30 920AM.sql"_s, header("127.0.0.1", "Sales")},
            {u"Sales 2021-08-29 920AM.sql"_s, header("127.0.0.1", "Sales")},
            {u"Sales 2021-08-28 920AM.sql"_s, header("db2", "Sales")},
            {u"Stock 2021-08-28 920AM.sql"_s, header("127.0.0.1", "Stock")},
            {u"notes.txt"_s, "hello"},
        };
        for (auto it = before.begin(); it != before.end(); ++it) {
            QFile file(served + u"/sql/"_s + it.key());
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(it.value()) == it.value().size());
        }

        const QString folder = newFolder(u"copied"_s);
        const Result result = run(connectionArgs(folder)
                                      + QStringList{u"--copy-to"_s, u"nas:sql"_s, u"--keep"_s, u"2"_s, u"--compress"_s},
                                  u"pw"_s, {{u"RCLONE_CONFIG"_s, config}});
        QCOMPARE(result.exitCode, 0);
        const QString path = result.out.trimmed();
        const QString name = QFileInfo(path).fileName();
        QVERIFY2(name.endsWith(u".sql.gz"_s), qPrintable(path));
        QCOMPARE(readBytes(served + u"/sql/"_s + name), readBytes(path));
        QVERIFY(!readBytes(path).isEmpty());
        QVERIFY2(result.err.contains(u"; copied to nas:sql\n"_s), qPrintable(result.err));
        QVERIFY(log().contains(path + u" copied to nas:sql at "_s));
        // The newest two of this database on this server stay there; everything else that is not ours stays too.
        QStringList expected{name, u"Sales 2021-08-28 920AM.sql"_s, u"Sales 2021-08-31 920AM.sql"_s,
                             u"Stock 2021-08-28 920AM.sql"_s, u"notes.txt"_s};
        expected.sort();
        QCOMPARE(filesIn(served + u"/sql"_s), expected);
        QVERIFY(log().contains(u"nas:sql/Sales 2021-08-29 920AM.sql was removed at "_s));
        QVERIFY(log().contains(u"nas:sql/Sales 2021-08-30 920AM.sql was removed at "_s));
        // The password stays in rclone's configuration.
        QVERIFY(!log().contains(u"Sftp-Pw1"_s) && !result.err.contains(u"Sftp-Pw1"_s));
    }

    void failedCopyExitsWithThreeAndKeepsTheBackup_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("reason");
        QTest::newRow("wrong password") << u"password"_s << u"unable to authenticate"_s;
        QTest::newRow("read-only") << u"read-only"_s << u"Read only file system"_s;
        QTest::newRow("stops answering") << u"silent"_s << u"i/o timeout"_s;
    }
    void failedCopyExitsWithThreeAndKeepsTheBackup()
    {
        QFETCH(QString, kind);
        QFETCH(QString, reason);
        const QString served = newFolder(u"served"_s);
        LoopbackSftp sftp;
        QTcpServer silent; // accepts (the kernel does) and never says a word
        quint16 port = 0;
        if (kind == u"silent"_s) {
            QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
            port = silent.serverPort();
        } else {
            const QStringList extra = kind == u"read-only"_s ? QStringList{u"--read-only"_s} : QStringList();
            port = sftp.start(served, u"backup"_s, u"right"_s, m_dir.path() + u"/cache"_s, extra);
            QVERIFY(port != 0);
        }
        const QString config = m_dir.path() + u"/rclone.conf"_s;
        QVERIFY(LoopbackSftp::writeConfig(config, u"nas"_s, port, u"backup"_s,
                                          kind == u"password"_s ? u"wrong"_s : u"right"_s));

        const QString folder = newFolder(u"notcopied"_s);
        const Result result
            = run(connectionArgs(folder) + QStringList{u"--copy-to"_s, u"nas:sql"_s, u"--timeout"_s, u"3"_s}, u"pw"_s,
                  {{u"RCLONE_CONFIG"_s, config}});
        QCOMPARE(result.exitCode, 3);
        const QString path = result.out.trimmed();
        QVERIFY2(result.err.contains(u"The backup is saved in "_s + path + u", but its copy failed."_s),
                 qPrintable(result.err));
        // The status line and the log say why, in rclone's words.
        const QString statusLine = result.err.section(u'\n', -3, -3);
        QVERIFY2(statusLine.startsWith(u"Auto Backup Complete at "_s)
                     && statusLine.contains(u"; not copied to nas:sql: "_s) && statusLine.contains(reason)
                     && statusLine.contains(u"(rclone exit status 1)"_s),
                 qPrintable(result.err));
        QVERIFY2(lastLogLine().startsWith(path + u" not copied to nas:sql: "_s) && lastLogLine().contains(reason),
                 qPrintable(lastLogLine()));
        // The backup stands, whole.
        QCOMPARE(filesIn(folder), QStringList{QFileInfo(path).fileName()});
        QVERIFY(readBytes(path).contains("INSERT INTO [People] VALUES('2', NULL);\r\n"));
        QVERIFY(!QFileInfo::exists(served + u"/sql/"_s + QFileInfo(path).fileName()));
    }

    // ---- termination signals

    void signalStopsTheBackup_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<QString>("server"); // "rows": rows keep coming; "held": the server holds its result until
                                             // cancelled; "dead": it answers nothing more, not even the cancel
        QTest::addColumn<bool>("compress");
        QTest::newRow("SIGTERM, rows coming") << int(SIGTERM) << u"rows"_s << false;
        QTest::newRow("SIGINT, rows coming") << int(SIGINT) << u"rows"_s << false;
        QTest::newRow("SIGHUP, rows coming, compressed") << int(SIGHUP) << u"rows"_s << true;
        QTest::newRow("SIGTERM, statement waiting") << int(SIGTERM) << u"held"_s << false;
        QTest::newRow("SIGINT, statement waiting, compressed") << int(SIGINT) << u"held"_s << true;
        QTest::newRow("SIGHUP, statement waiting") << int(SIGHUP) << u"held"_s << false;
        QTest::newRow("SIGTERM, dead server") << int(SIGTERM) << u"dead"_s << false;
    }

    void signalStopsTheBackup()
    {
        QFETCH(int, signal);
        QFETCH(QString, server);
        QFETCH(bool, compress);
        useTables({m_people, fillTable(u"Fill"_s, 4'000)});
        if (server == u"rows"_s)
            m_server.setFaults({.rowDelayMs = 5});
        else if (server == u"held"_s)
            m_server.setFaults({.holdAfterRows = 200});
        else
            m_server.setFaults({.stallAfterRows = 200});
        const auto noFaults = qScopeGuard([this] { m_server.setFaults({}); });
        const QString folder = newFolder(u"signalled"_s);
        m_server.clearRecords();
        const int attentionsBefore = m_server.attentionCount();
        const qsizetype interruptionsBefore = log().count(u"interrupted"_s);
        QProcess process;
        start(process, connectionArgs(folder) + (compress ? QStringList{u"--compress"_s} : QStringList()));
        QVERIFY(process.waitForStarted());
        const QString partial = waitForFillRows(folder);
        QVERIFY2(!partial.isEmpty(), qPrintable(filesIn(folder).join(u", "_s)));
        QThread::msleep(300); // the dump reaches the rows (or the rows that do not come)
        QElapsedTimer sinceSignal;
        sinceSignal.start();
        QCOMPARE(::kill(pid_t(process.processId()), signal), 0);
        const Result result = finish(process);
        const qint64 stoppedAfterMs = sinceSignal.elapsed();
        m_server.setFaults({});

        QCOMPARE(result.exitCode, 128 + signal);
        // The grace of a server that does not answer the cancel is five seconds; the others stop at once.
        QVERIFY2(stoppedAfterMs < 10'000, qPrintable(QString::number(stoppedAfterMs)));
        QCOMPARE(filesIn(folder), QStringList());
        const QString finalPath = partial.section(u".partial"_s, 0, 0).section(u'.', 0, -2);
        QVERIFY2(lastLogLine().startsWith(finalPath + u" backup failed at "_s)
                     && lastLogLine().endsWith(u": interrupted"_s),
                 qPrintable(lastLogLine() + u" / "_s + finalPath));
        QCOMPARE(log().count(u"interrupted"_s), interruptionsBefore + 1);
        QVERIFY(result.out.isEmpty());
        QVERIFY2(!result.err.contains(u"Error: "_s), qPrintable(result.err));
        if (server == u"dead"_s) {
            // Nothing came back from the driver: the process ended after its grace, without the dump.
            QVERIFY2(!result.err.contains(u"Auto Backup Failed"_s), qPrintable(result.err));
        } else {
            QVERIFY2(result.err.contains(u"Auto Backup Failed at "_s), qPrintable(result.err));
            QVERIFY2(result.err.contains(u"Stopped by signal %1."_s.arg(signal)), qPrintable(result.err));
        }
        if (server == u"held"_s)
            QCOMPARE(m_server.attentionCount(), attentionsBefore + 1); // the statement was cancelled on the server
        qInfo("%s: exit %d after %lld ms; folder: [%s]; log: %s", QTest::currentDataTag(), result.exitCode,
              stoppedAfterMs, qPrintable(filesIn(folder).join(u", "_s)), qPrintable(lastLogLine()));
    }

    void secondSignalEndsAtOnce()
    {
        // The server answers nothing, so the first signal's stop cannot finish; a second one ends the process at once,
        // with its own number, before the grace of the first runs out.
        useTables({m_people, fillTable(u"Fill"_s, 4'000)});
        m_server.setFaults({.stallAfterRows = 200});
        const QString folder = newFolder(u"twice-signalled"_s);
        m_server.clearRecords();
        QProcess process;
        start(process, connectionArgs(folder));
        QVERIFY(process.waitForStarted());
        const QString partial = waitForFillRows(folder);
        QVERIFY(!partial.isEmpty());
        QThread::msleep(300);
        QElapsedTimer sinceSignal;
        sinceSignal.start();
        QCOMPARE(::kill(pid_t(process.processId()), SIGTERM), 0);
        QThread::msleep(300);
        QCOMPARE(::kill(pid_t(process.processId()), SIGINT), 0);
        const Result result = finish(process);
        m_server.setFaults({});
        QCOMPARE(result.exitCode, 128 + SIGINT);
        QVERIFY2(sinceSignal.elapsed() < 4'000, qPrintable(QString::number(sinceSignal.elapsed())));
        QCOMPARE(filesIn(folder), QStringList());
        QVERIFY2(lastLogLine().endsWith(u": interrupted"_s), qPrintable(lastLogLine()));
    }

    void signalStopsTheRestore_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<bool>("dead"); // the server answers nothing more, not even the cancel
        QTest::newRow("SIGTERM") << int(SIGTERM) << false;
        QTest::newRow("SIGINT") << int(SIGINT) << false;
        QTest::newRow("SIGHUP") << int(SIGHUP) << false;
        QTest::newRow("SIGTERM, dead server") << int(SIGTERM) << true;
    }

    void signalStopsTheRestore()
    {
        QFETCH(int, signal);
        QFETCH(bool, dead);
        const QString script = m_dir.path() + u"/held.sql"_s;
        QFile file(script);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("--\r\nUSE [master]\r\nGO\r\nCREATE TABLE [T] ([a] INT)\r\nGO\r\n"
                   "INSERT INTO [T] VALUES('HoldMe');\r\nGO\r\nINSERT INTO [T] VALUES('After');\r\nGO\r\n");
        file.close();
        m_server.clearRecords();
        m_server.setFaults({.holdBatchContaining = u"HoldMe"_s});
        QStringList args = connectionArgs(m_dir.path());
        args << u"--restore"_s << script;
        QProcess process;
        start(process, args);
        QVERIFY(process.waitForStarted());
        const bool held = QTest::qWaitFor([&] { return !m_server.batches().filter(u"HoldMe"_s).isEmpty(); }, 30'000);
        QVERIFY2(held, qPrintable(m_server.batches().join(u" | "_s)));
        if (dead)
            m_server.setFaults({.stall = true});
        QCOMPARE(::kill(pid_t(process.processId()), signal), 0);
        const Result result = finish(process);
        m_server.setFaults({});

        QCOMPARE(result.exitCode, 128 + signal);
        QVERIFY2(lastLogLine().startsWith(script + u" restore failed at "_s)
                     && lastLogLine().endsWith(u": interrupted"_s),
                 qPrintable(lastLogLine()));
        QVERIFY(m_server.batches().filter(u"After"_s).isEmpty()); // no batch after the stopped one
        QVERIFY2(!result.err.contains(u"Could not connect"_s), qPrintable(result.err));
        if (!dead) {
            QVERIFY2(result.err.contains(u"Stopped by signal %1."_s.arg(signal)), qPrintable(result.err));
            // The transaction of the cancelled batch is rolled back before the connection goes.
            const QStringList batches = m_server.batches();
            const qsizetype heldAt = batches.indexOf(batches.filter(u"HoldMe"_s).constFirst());
            QVERIFY2(batches.mid(heldAt).contains(u"IF @@TRANCOUNT > 0 ROLLBACK TRANSACTION"_s),
                     qPrintable(batches.join(u" | "_s)));
        }
        qInfo("%s: exit %d; log: %s", QTest::currentDataTag(), result.exitCode, qPrintable(lastLogLine()));
    }

    void signalStopsEveryConnectionOfAParallelRestore()
    {
        // A backup of two tables, restored over two connections (--jobs 2): both hold their first batch of rows when
        // the signal comes; both are cancelled and rolled back, and nothing more is sent.
        useTables({m_people, fillTable(u"Fill"_s, 3'000)});
        const QString folder = newFolder(u"parallel"_s);
        const Result backup = run(connectionArgs(folder));
        QCOMPARE(backup.exitCode, 0);
        const QString script = backup.out.trimmed();
        m_server.clearRecords();
        const int attentionsBefore = m_server.attentionCount();
        m_server.setFaults({.holdBatchContaining = u"INSERT INTO ["_s});
        QProcess process;
        start(process, connectionArgs(folder) + QStringList{u"--restore"_s, script, u"--jobs"_s, u"2"_s});
        QVERIFY(process.waitForStarted());
        const bool bothHeld
            = QTest::qWaitFor([&] { return m_server.batches().filter(u"INSERT INTO ["_s).size() >= 2; }, 30'000);
        QVERIFY2(bothHeld, qPrintable(m_server.batches().join(u" | "_s).left(2000)));
        QThread::msleep(200);
        QCOMPARE(::kill(pid_t(process.processId()), SIGTERM), 0);
        const Result result = finish(process);
        m_server.setFaults({});

        QCOMPARE(result.exitCode, 128 + SIGTERM);
        QVERIFY2(result.err.contains(u"Stopped by signal %1."_s.arg(SIGTERM)), qPrintable(result.err));
        QCOMPARE(m_server.attentionCount(), attentionsBefore + 2);
        const QStringList batches = m_server.batches();
        QCOMPARE(batches.filter(u"INSERT INTO ["_s).size(), 2); // no batch after the stopped ones
        QCOMPARE(batches.count(u"IF @@TRANCOUNT > 0 ROLLBACK TRANSACTION"_s), 2);
        QVERIFY2(lastLogLine().startsWith(script + u" restore failed at "_s)
                     && lastLogLine().endsWith(u": interrupted"_s),
                 qPrintable(lastLogLine()));
        QCOMPARE(filesIn(folder), QStringList{QFileInfo(script).fileName()});
        qInfo("exit %d; log: %s", result.exitCode, qPrintable(lastLogLine()));
    }

    void signalDuringTheCopyKillsRcloneAndKeepsTheBackup()
    {
        // rclone here is a script that never ends on its own: the signal kills it, the backup stays whole and the log
        // says the copy was interrupted.
        const QString bin = m_dir.path() + u"/slow-rclone"_s;
        QVERIFY(QDir().mkpath(bin));
        const QString pidFile = m_dir.path() + u"/rclone.pid"_s;
        QFile::remove(pidFile);
        {
            QFile rclone(bin + u"/rclone"_s);
            QVERIFY(rclone.open(QIODevice::WriteOnly | QIODevice::Truncate));
            rclone.write("#!/bin/sh\necho $$ > \"" + QFile::encodeName(pidFile) + "\"\nexec sleep 120\n");
            rclone.close();
            QVERIFY(rclone.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        }
        useTables({m_people});
        const QString folder = newFolder(u"copying"_s);
        QProcess process;
        start(process, connectionArgs(folder) + QStringList{u"--copy-to"_s, u"nas:sql"_s},
              {{u"PATH"_s, bin + u':' + qEnvironmentVariable("PATH")}});
        QVERIFY(process.waitForStarted());
        QVERIFY(QTest::qWaitFor([&] { return !readBytes(pidFile).trimmed().isEmpty(); }, 30'000));
        const pid_t rclonePid = pid_t(readBytes(pidFile).trimmed().toInt());
        QCOMPARE(::kill(pid_t(process.processId()), SIGINT), 0);
        const Result result = finish(process);

        QCOMPARE(result.exitCode, 128 + SIGINT);
        QVERIFY2(result.err.contains(u"Stopped by signal %1."_s.arg(SIGINT)), qPrintable(result.err));
        QCOMPARE(::kill(rclonePid, 0), -1); // gone, not left running
        const QStringList files = filesIn(folder);
        QCOMPARE(files.size(), 1);
        const QString path = folder + u'/' + files[0];
        QVERIFY(readBytes(path).contains("INSERT INTO [People] VALUES('2', NULL);\r\n"));
        const QStringList lines = log().trimmed().split(u"\r\n"_s);
        QVERIFY2(lines.size() >= 2 && lines[lines.size() - 2].startsWith(path + u" was backup saved at "_s)
                     && lines.last().startsWith(path + u" not copied to nas:sql: interrupted at "_s),
                 qPrintable(lines.join(u'\n')));
        qInfo("exit %d; folder: [%s]; log: %s", result.exitCode, qPrintable(files.join(u", "_s)),
              qPrintable(lines.last()));
    }

    void missingRcloneRefusesTheCopyBeforeTheBackup()
    {
        const QString folder = newFolder(u"norclone"_s);
        const Result result = run(connectionArgs(folder) + QStringList{u"--copy-to"_s, u"nas:sql"_s}, u"pw"_s,
                                  {{u"PATH"_s, m_dir.path() + u"/empty-path"_s}});
        QCOMPARE(result.exitCode, 2);
        QVERIFY2(result.err.contains(u"apt install rclone"_s), qPrintable(result.err));
        QCOMPARE(filesIn(folder), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestCliEndToEnd)
#include "tst_cli_e2e.moc"
