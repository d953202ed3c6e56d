#include "BackupFile.h"
#include "FakeClock.h"
#include "FakeDialogs.h"
#include "FakeProcessRunner.h"
#include "Gzip.h"
#include "LoopbackSftp.h"
#include "OffsiteCopy.h"
#include "ScriptText.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <sys/mount.h>

using namespace Qt::Literals::StringLiterals;

namespace {

QByteArray headerFor(const QString& server, const QString& database)
{
    using namespace ScriptText;
    return (serverLine(server, database) + u"\r\n"_s + dashLine() + u"\r\n"_s + generatedByLine() + u"\r\n"_s).toUtf8();
}

/** A backup script of `database` on `server` with some rows after its header; `rows` makes it larger. */
QByteArray scriptFor(const QString& server, const QString& database, int rows = 20)
{
    QByteArray script = headerFor(server, database) + "\r\nUSE [master]\r\n";
    for (int i = 0; i < rows; ++i)
        script += "INSERT INTO [T] VALUES('" + QByteArray::number(i) + "', '"
            + QByteArray::number(QRandomGenerator::global()->generate()) + "');\r\n";
    return script;
}

QByteArray gzipped(const QByteArray& bytes)
{
    GzipCompressor compressor;
    QByteArray compressed = compressor.feed(bytes);
    return compressed + compressor.finish();
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

/** The copy under test with its fakes; `lines` collects the backup log. */
struct Offsite
{
    explicit Offsite(ProcessRunner& runner)
        : copy(runner, dialogs, clock, [this](const QString& line) { lines << line; })
    { }
    FakeDialogs dialogs;
    FakeClock clock;
    QStringList lines;
    OffsiteCopy copy;
};

} // namespace

class TestOffsite : public QObject
{
    Q_OBJECT

private slots:
    void remotePath_data()
    {
        QTest::addColumn<QString>("destination");
        QTest::addColumn<QString>("path");
        const QString name = u"Sales 2021-08-31 930AM.sql"_s;
        QTest::newRow("remote root") << u"nas:"_s << u"nas:"_s + name;
        QTest::newRow("remote folder") << u"nas:backups/sales"_s << u"nas:backups/sales/"_s + name;
        QTest::newRow("remote folder with slash") << u"s3:bucket/sql/"_s << u"s3:bucket/sql/"_s + name;
        QTest::newRow("local folder") << u"/mnt/share"_s << u"/mnt/share/"_s + name;
        QTest::newRow("blanks around") << u"  nas:x "_s << u"nas:x/"_s + name;
    }
    void remotePath()
    {
        QFETCH(QString, destination);
        QFETCH(QString, path);
        QCOMPARE(OffsiteCopy::remotePath(destination, u"Sales 2021-08-31 930AM.sql"_s), path);
    }

    void destinationProblem_data()
    {
        QTest::addColumn<QString>("destination");
        QTest::addColumn<bool>("refused");
        QTest::newRow("remote") << u"nas:backups/sales"_s << false;
        QTest::newRow("remote root") << u"s3:"_s << false;
        QTest::newRow("local folder") << u"/mnt/nas/sql"_s << false;
        QTest::newRow("relative folder") << u"copies"_s << false;
        QTest::newRow("colon after a slash is a folder") << u"/srv/a:b"_s << false;
        QTest::newRow("connection string") << u":sftp,host=h,pass=secret:dir"_s << true;
        QTest::newRow("remote with parameters") << u"nas,pass=secret:dir"_s << true;
        QTest::newRow("remote with a setting") << u"nas,user=x:"_s << true;
        QTest::newRow("line break") << u"nas:a\nb"_s << true;
    }
    void destinationProblem()
    {
        QFETCH(QString, destination);
        QFETCH(bool, refused);
        const QString problem = OffsiteCopy::destinationProblem(destination);
        QCOMPARE(!problem.isEmpty(), refused);
        // The refusal never repeats what may be a password.
        if (destination.contains(u"secret"_s))
            QVERIFY2(problem.contains(u"rclone config"_s), qPrintable(problem));
    }

    void rcloneReason_data()
    {
        QTest::addColumn<QByteArray>("err");
        QTest::addColumn<QString>("reason");
        QTest::newRow("first error, not the attempts")
            << QByteArray("2026/12/08 17:19:17 NOTICE: Config file \"x\" not found - using defaults\n"
                          "2026/12/08 17:19:17 ERROR : Sales.sql: Failed to copy: permission denied\n"
                          "2026/12/08 17:19:17 ERROR : Attempt 1/3 failed with 1 errors and: permission denied\n"
                          "2026/12/08 17:19:17 Failed to copyto: permission denied\n")
            << u"Sales.sql: Failed to copy: permission denied"_s;
        QTest::newRow("only the failure line")
            << QByteArray("2026/12/08 17:19:17 Failed to create file system for \"nas:\": didn't find section in "
                          "config file\n")
            << u"Failed to create file system for \"nas:\": didn't find section in config file"_s;
        QTest::newRow("no log lines") << QByteArray("usage text\nlast words\n\n") << u"last words"_s;
        QTest::newRow("nothing") << QByteArray() << QString();
    }
    void rcloneReason()
    {
        QFETCH(QByteArray, err);
        QFETCH(QString, reason);
        QCOMPARE(OffsiteCopy::rcloneReason(err), reason);
    }

    void copyThenCheckTheOneFile()
    {
        FakeProcessRunner runner;
        Offsite offsite(runner);
        offsite.copy.setLimits({30, 10, 5000});
        const QString local = u"/b/Sales 2021-08-31 930AM.sql"_s;
        const AfterSaveOutcome outcome = offsite.copy.copy(local, u"nas:sql"_s, u"db1"_s, u"Sales"_s, 0);
        QCOMPARE(outcome.result, AfterSaveOutcome::Result::Passed);
        QCOMPARE(outcome.text, u"copied to nas:sql"_s);
        QCOMPARE(outcome.exitStatus, 0);
        QCOMPARE(runner.commands(), (QStringList{u"copyto"_s, u"check"_s}));
        const QStringList copyArgs = runner.calls[0].arguments;
        QVERIFY(copyArgs.contains(u"--checksum"_s));
        QCOMPARE(copyArgs.mid(copyArgs.size() - 3),
                 (QStringList{u"--"_s, local, u"nas:sql/Sales 2021-08-31 930AM.sql"_s}));
        const QStringList checkArgs = runner.calls[1].arguments;
        QVERIFY(checkArgs.contains(u"--one-way"_s));
        QCOMPARE(checkArgs.mid(checkArgs.size() - 3), (QStringList{u"--"_s, local, u"nas:sql"_s}));
        for (const FakeProcessRunner::Call& call : runner.calls) {
            QCOMPARE(call.program, u"rclone"_s);
            QCOMPARE(call.timeLimitMs, 5000);
            QVERIFY(call.arguments.join(u' ').contains(u"--timeout 30s --contimeout 10s"_s));
            QVERIFY(call.arguments.contains(u"--ask-password=false"_s));
        }
        // No retention asked for: nothing is listed at the destination.
        QCOMPARE(offsite.lines, QStringList());
    }

    void failedCopyIsReportedWithRclonesReason_data()
    {
        QTest::addColumn<ProcessResult>("copyResult");
        QTest::addColumn<ProcessResult>("checkResult");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("runs");
        const ProcessResult ok = FakeProcessRunner::exited(0);
        QTest::newRow("copy refused")
            << FakeProcessRunner::exited(1,
                                         "2026/12/08 10:00:00 ERROR : x: Failed to copy: ssh: unable to authenticate\n")
            << ok << u"not copied to nas:sql: x: Failed to copy: ssh: unable to authenticate (rclone exit status 1)"_s
            << 1;
        QTest::newRow("check differs")
            << ok
            << FakeProcessRunner::exited(1,
                                         "2026/12/08 10:00:00 ERROR : x.sql: sizes differ\n"
                                         "2026/12/08 10:00:00 Failed to check: 1 differences found\n")
            << u"not copied to nas:sql: the check after the copy failed: x.sql: sizes differ (rclone exit status 1)"_s
            << 2;
        ProcessResult hung;
        hung.started = true;
        hung.timedOut = true;
        hung.errorText = u"stopped after 5 s"_s;
        QTest::newRow("copy hangs") << hung << ok
                                    << u"not copied to nas:sql: (rclone stopped after 5 s without finishing)"_s << 1;
        ProcessResult gone;
        gone.errorText = u"No such file or directory"_s;
        QTest::newRow("rclone cannot start")
            << gone << ok << u"not copied to nas:sql: (rclone could not be started: No such file or directory)"_s << 1;
    }
    void failedCopyIsReportedWithRclonesReason()
    {
        QFETCH(ProcessResult, copyResult);
        QFETCH(ProcessResult, checkResult);
        QFETCH(QString, text);
        QFETCH(int, runs);
        FakeProcessRunner runner;
        runner.answers = {copyResult, checkResult};
        Offsite offsite(runner);
        const AfterSaveOutcome outcome
            = offsite.copy.copy(u"/b/Sales 2021-08-31 930AM.sql"_s, u"nas:sql"_s, u"db1"_s, u"Sales"_s, 3);
        QCOMPARE(outcome.result, AfterSaveOutcome::Result::Failed);
        QCOMPARE(outcome.text, text);
        QCOMPARE(outcome.exitStatus, 3);
        // Nothing is removed at a destination the copy did not reach.
        QCOMPARE(int(runner.calls.size()), runs);
        QCOMPARE(offsite.dialogs.shown().size(), 0);
    }

    void missingRcloneIsNamedWithItsPackage()
    {
        FakeProcessRunner runner;
        runner.installed = false;
        Offsite offsite(runner);
        QVERIFY(offsite.copy.rcloneProblem().contains(u"apt install rclone"_s));
        QVERIFY(offsite.copy.problemFor(u"nas:sql"_s).contains(u"apt install rclone"_s));
        QCOMPARE(offsite.copy.problemFor(u"/mnt/nas/sql"_s), QString()); // a folder is copied without it
        const AfterSaveOutcome outcome
            = offsite.copy.copy(u"/b/Sales 2021-08-31 930AM.sql"_s, u"nas:sql"_s, u"db1"_s, u"Sales"_s, 0);
        QCOMPARE(outcome.result, AfterSaveOutcome::Result::Failed);
        QVERIFY2(outcome.text.contains(u"apt install rclone"_s), qPrintable(outcome.text));
        QVERIFY_THROWS_EXCEPTION(Failure, offsite.copy.listRemotes());
        QCOMPARE(int(runner.calls.size()), 0);

        runner.installed = true;
        QCOMPARE(offsite.copy.rcloneProblem(), QString());
    }

    void workingFileIsNeverCopied()
    {
        FakeProcessRunner runner;
        Offsite offsite(runner);
        const AfterSaveOutcome outcome
            = offsite.copy.copy(u"/b/Sales 2021-08-31 930AM.sql.partial"_s, u"nas:sql"_s, u"db1"_s, u"Sales"_s, 0);
        QCOMPARE(outcome.result, AfterSaveOutcome::Result::Failed);
        QCOMPARE(int(runner.calls.size()), 0);
    }

    void stepWithoutDestinationDoesNothing()
    {
        FakeProcessRunner runner;
        Offsite offsite(runner);
        SavedBackup backup{u"/b/Sales 2021-08-31 930AM.sql"_s, u"db1"_s, u"Sales"_s, {}};
        const AfterSaveStep step = offsite.copy.step();
        QCOMPARE(step(backup).text, QString());
        QCOMPARE(int(runner.calls.size()), 0);
        backup.options.copyTo = u"nas:sql"_s;
        QCOMPARE(step(backup).text, u"copied to nas:sql"_s);
    }

    void listRemotes()
    {
        FakeProcessRunner runner;
        runner.answers = {FakeProcessRunner::exited(0, {}, "nas:\ns3:\n\n")};
        Offsite offsite(runner);
        QCOMPARE(offsite.copy.listRemotes(), (QStringList{u"nas:"_s, u"s3:"_s}));
        QCOMPARE(runner.commands(), QStringList{u"listremotes"_s});
        runner.answers = {FakeProcessRunner::exited(1, "2026/12/08 10:00:00 Failed to load config file\n")};
        QVERIFY_THROWS_EXCEPTION(Failure, offsite.copy.listRemotes());
    }

    void retentionAtTheDestinationKeepsOursOnly()
    {
        // The destination as rclone would list it: ours, another database's, a foreign file named like ours, one
        // whose head cannot be read, and names that only look alike.
        const QMap<QString, QByteArray> heads = {
            {u"Sales 2021-08-31 930AM.sql"_s, headerFor(u"db1"_s, u"Sales"_s)},
            {u"Sales 2021-08-31 925AM.sql.gz"_s, gzipped(scriptFor(u"db1"_s, u"Sales"_s))},
            {u"Sales 2021-08-31 920AM.sql"_s, headerFor(u"db1"_s, u"Sales"_s)},
            {u"Sales 2021-08-31 915AM.sql"_s, headerFor(u"other"_s, u"Sales"_s)},
            {u"Sales 2021-08-31 910AM.sql"_s, QByteArray("just text\r\n")},
            {u"Sales 2021-08-30 1130PM.sql"_s, QByteArray()}, // unreadable: goes by its name
            {u"Sales 2021-08-29 905AM.sql"_s, headerFor(u"db1"_s, u"Sales"_s)},
            {u"Salesx 2021-08-29 905AM.sql"_s, headerFor(u"db1"_s, u"Salesx"_s)},
            {u"Sales 2021-08-29 905AM.sql.bak"_s, headerFor(u"db1"_s, u"Sales"_s)},
            {u"notes.txt"_s, QByteArray("x")},
        };
        FakeProcessRunner runner;
        runner.answer = [&heads](const FakeProcessRunner::Call& call) {
            const QString command = call.arguments.value(0);
            if (command == u"lsf"_s)
                return FakeProcessRunner::exited(0, {}, QStringList(heads.keys()).join(u'\n').toUtf8() + '\n');
            const QString name = call.arguments.constLast().mid(QStringLiteral("nas:sql/").size());
            if (command == u"cat"_s)
                return heads.value(name).isEmpty() ? FakeProcessRunner::exited(3, "ERROR : no read permission\n")
                                                   : FakeProcessRunner::exited(0, {}, heads.value(name));
            return FakeProcessRunner::exited(0);
        };
        Offsite offsite(runner);
        const AfterSaveOutcome outcome
            = offsite.copy.copy(u"/b/Sales 2021-08-31 930AM.sql"_s, u"nas:sql"_s, u"db1"_s, u"Sales"_s, 2);
        QCOMPARE(outcome.result, AfterSaveOutcome::Result::Passed);
        QStringList deleted;
        for (const FakeProcessRunner::Call& call : runner.calls) {
            if (call.arguments.value(0) == u"deletefile"_s)
                deleted << call.arguments.constLast();
        }
        // Newest two of ours stay (930 and 925); the rest of ours go, the oldest first.
        QCOMPARE(deleted,
                 (QStringList{u"nas:sql/Sales 2021-08-29 905AM.sql"_s, u"nas:sql/Sales 2021-08-30 1130PM.sql"_s,
                              u"nas:sql/Sales 2021-08-31 920AM.sql"_s}));
        QCOMPARE(offsite.lines.size(), 3);
        QCOMPARE(offsite.lines.constFirst(),
                 u"nas:sql/Sales 2021-08-29 905AM.sql was removed at 8/31/2021 9:30:12 AM (keeping 2)"_s);
        QCOMPARE(offsite.dialogs.shown().size(), 0);
    }

    void hostileNamesAtTheDestinationAreCountedAsOurs_data()
    {
        QTest::addColumn<QString>("database");
        QTest::newRow("line feed") << u"Sales\nNorth"_s;
        QTest::newRow("carriage return and tab") << u"Sales\r\tNorth"_s;
        QTest::newRow("128 Chinese") << QString(128, QChar(0x6570));
    }

    void hostileNamesAtTheDestinationAreCountedAsOurs()
    {
        // The copies carry the file names the backups were written under: rclone lists each on one line.
        QFETCH(QString, database);
        const QString stem = BackupFile::fileNameStem(database);
        const QStringList names = {stem + u" 2021-08-31 930AM.sql"_s, stem + u" 2021-08-31 929AM.sql.gz"_s,
                                   stem + u" 2021-08-30 929AM.sql"_s};
        FakeProcessRunner runner;
        runner.answer = [&](const FakeProcessRunner::Call& call) {
            const QString command = call.arguments.value(0);
            if (command == u"lsf"_s)
                return FakeProcessRunner::exited(0, {}, names.join(u'\n').toUtf8() + '\n');
            if (command == u"cat"_s) {
                const QByteArray head = headerFor(u"db1"_s, database);
                return FakeProcessRunner::exited(0, {},
                                                 call.arguments.constLast().endsWith(u".gz"_s) ? gzipped(head) : head);
            }
            return FakeProcessRunner::exited(0);
        };
        Offsite offsite(runner);
        const AfterSaveOutcome outcome = offsite.copy.copy(u"/b/"_s + names[0], u"nas:sql"_s, u"db1"_s, database, 1);
        QCOMPARE(outcome.result, AfterSaveOutcome::Result::Passed);
        QStringList deleted;
        for (const FakeProcessRunner::Call& call : runner.calls) {
            if (call.arguments.value(0) == u"deletefile"_s)
                deleted << call.arguments.constLast();
        }
        QCOMPARE(deleted, (QStringList{u"nas:sql/"_s + names[2], u"nas:sql/"_s + names[1]}));
        QCOMPARE(offsite.dialogs.shown().size(), 0);
    }

    void retentionFailuresAreReportedOnce()
    {
        FakeProcessRunner runner;
        runner.answer = [](const FakeProcessRunner::Call& call) {
            const QString command = call.arguments.value(0);
            if (command == u"lsf"_s)
                return FakeProcessRunner::exited(
                    0, {}, "Sales 2021-08-31 930AM.sql\nSales 2021-08-31 920AM.sql\nSales 2021-08-31 910AM.sql\n");
            if (command == u"cat"_s)
                return FakeProcessRunner::exited(0, {}, headerFor(u"db1"_s, u"Sales"_s));
            if (command == u"deletefile"_s)
                return FakeProcessRunner::exited(1, "2026/12/08 10:00:00 ERROR : permission denied\n");
            return FakeProcessRunner::exited(0);
        };
        Offsite offsite(runner);
        const AfterSaveOutcome outcome
            = offsite.copy.copy(u"/b/Sales 2021-08-31 930AM.sql"_s, u"nas:sql"_s, u"db1"_s, u"Sales"_s, 1);
        // The copy itself is good; the removals that failed are shown in one report and not logged as done.
        QCOMPARE(outcome.result, AfterSaveOutcome::Result::Passed);
        QCOMPARE(offsite.lines, QStringList());
        const QStringList reports = offsite.dialogs.errorReports();
        QCOMPARE(reports.size(), 1);
        QVERIFY2(reports[0].contains(u"nas:sql/Sales 2021-08-31 910AM.sql could not be removed: permission denied "
                                     u"(rclone exit status 1) (and 1 more)"_s),
                 qPrintable(reports[0]));
    }

    void processRunnerStopsAProgramAtItsLimit()
    {
        int pumped = 0;
        QProcessRunner runner([&pumped] { ++pumped; });
        const ProcessResult result = runner.run(u"sleep"_s, {u"30"_s}, 300);
        QVERIFY(result.started);
        QVERIFY(result.timedOut);
        QCOMPARE(result.errorText, u"stopped after 1 s"_s);
        // The window's events ran while it waited.
        QVERIFY(pumped > 0);

        const ProcessResult missing = runner.run(u"/nonexistent/rclone"_s, {}, 300);
        QVERIFY(!missing.started);
        QVERIFY(!missing.errorText.isEmpty());
        const ProcessResult ended = runner.run(u"sh"_s, {u"-c"_s, u"echo out; echo err >&2; exit 4"_s}, 0);
        QCOMPARE(ended.exitCode, 4);
        QCOMPARE(ended.standardOutput, QByteArray("out\n"));
        QCOMPARE(ended.standardError, QByteArray("err\n"));
    }

    // With the real rclone.

    void initTestCase()
    {
        QVERIFY2(!QStandardPaths::findExecutable(u"rclone"_s).isEmpty(),
                 "rclone is not installed (scripts/setup installs it)");
        QVERIFY(m_dir.isValid());
        // A configuration of our own, never the user's.
        m_config = m_dir.filePath(u"rclone.conf"_s);
        qputenv("RCLONE_CONFIG", QFile::encodeName(m_config));
    }

    void cleanup() { m_sftp.stop(); }

    void realCopyToAFolder_data()
    {
        QTest::addColumn<bool>("compressed");
        QTest::newRow("plain") << false;
        QTest::newRow("compressed") << true;
    }
    void realCopyToAFolder()
    {
        QFETCH(bool, compressed);
        const QString name = compressed ? u"Sales 2021-08-31 930AM.sql.gz"_s : u"Sales 2021-08-31 930AM.sql"_s;
        const QString local = newFolder(u"local"_s) + u'/' + name;
        const QByteArray bytes
            = compressed ? gzipped(scriptFor(u"db1"_s, u"Sales"_s, 5000)) : scriptFor(u"db1"_s, u"Sales"_s);
        QVERIFY(writeFile(local, bytes));
        const QString dest = newFolder(u"copies"_s);
        QProcessRunner runner;
        Offsite offsite(runner);
        const AfterSaveOutcome outcome = offsite.copy.copy(local, dest, u"db1"_s, u"Sales"_s, 0);
        QCOMPARE(outcome.text, u"copied to "_s + dest);
        QCOMPARE(readFile(dest + u'/' + name), bytes);
        QCOMPARE(readFile(local), bytes);

        // A second script in the same minute: the combined file is copied again.
        const QByteArray combined
            = bytes + (compressed ? gzipped(scriptFor(u"db1"_s, u"Sales"_s)) : scriptFor(u"db1"_s, u"Sales"_s));
        QVERIFY(writeFile(local, combined));
        QCOMPARE(offsite.copy.copy(local, dest, u"db1"_s, u"Sales"_s, 0).result, AfterSaveOutcome::Result::Passed);
        QCOMPARE(readFile(dest + u'/' + name), combined);
    }

    void realCopyOverSftpWithRetention()
    {
        const QString served = newFolder(u"served"_s);
        const quint16 port = startSftp(served, u"backup"_s, u"s3cret-pw"_s, {});
        QVERIFY(port != 0);
        writeConfig(u"nas"_s, port, u"backup"_s, u"s3cret-pw"_s);
        QDir(served).mkpath(u"sql"_s);
        // Older copies of ours beside foreign files: another database, another server's Sales, a stranger's file.
        const QStringList ours
            = {u"Sales 2021-08-31 920AM.sql"_s, u"Sales 2021-08-31 910AM.sql.gz"_s, u"Sales 2021-08-30 905AM.sql"_s};
        QVERIFY(writeFile(served + u"/sql/"_s + ours[0], scriptFor(u"db1"_s, u"Sales"_s)));
        QVERIFY(writeFile(served + u"/sql/"_s + ours[1], gzipped(scriptFor(u"db1"_s, u"Sales"_s))));
        QVERIFY(writeFile(served + u"/sql/"_s + ours[2], scriptFor(u"db1"_s, u"Sales"_s)));
        const QStringList foreign = {u"Sales 2021-08-29 900AM.sql"_s, u"Orders 2021-08-29 900AM.sql"_s,
                                     u"Sales 2021-08-28 900AM.sql"_s, u"readme.txt"_s};
        QVERIFY(writeFile(served + u"/sql/"_s + foreign[0], scriptFor(u"db2"_s, u"Sales"_s)));
        QVERIFY(writeFile(served + u"/sql/"_s + foreign[1], scriptFor(u"db1"_s, u"Orders"_s)));
        QVERIFY(writeFile(served + u"/sql/"_s + foreign[2], "not a backup\r\n"));
        QVERIFY(writeFile(served + u"/sql/"_s + foreign[3], "hello"));

        const QString name = u"Sales 2021-08-31 930AM.sql.gz"_s;
        const QString local = newFolder(u"local"_s) + u'/' + name;
        const QByteArray bytes = gzipped(scriptFor(u"db1"_s, u"Sales"_s, 3000));
        QVERIFY(writeFile(local, bytes));
        QProcessRunner runner;
        Offsite offsite(runner);
        const AfterSaveOutcome outcome = offsite.copy.copy(local, u"nas:sql"_s, u"db1"_s, u"Sales"_s, 2);
        QCOMPARE(outcome.result, AfterSaveOutcome::Result::Passed);
        QCOMPARE(outcome.text, u"copied to nas:sql"_s);
        QCOMPARE(readFile(served + u"/sql/"_s + name), bytes);
        QStringList left = QDir(served + u"/sql"_s).entryList(QDir::Files);
        left.sort();
        QStringList expected = foreign + QStringList{name, ours[0]};
        expected.sort();
        QCOMPARE(left, expected);
        QCOMPARE(
            offsite.lines,
            (QStringList{u"nas:sql/Sales 2021-08-30 905AM.sql was removed at 8/31/2021 9:30:12 AM (keeping 2)"_s,
                         u"nas:sql/Sales 2021-08-31 910AM.sql.gz was removed at 8/31/2021 9:30:12 AM (keeping 2)"_s}));
        QCOMPARE(offsite.dialogs.shown().size(), 0);
        // Nothing of the password reaches what we say.
        QVERIFY(!outcome.text.contains(u"s3cret"_s));

        QCOMPARE(offsite.copy.listRemotes(), QStringList{u"nas:"_s});
    }

    void realDestinationFailures_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("reason");
        QTest::newRow("wrong password") << u"password"_s << u"unable to authenticate"_s;
        QTest::newRow("read-only") << u"read-only"_s << u"Read only file system"_s;
        QTest::newRow("full folder") << u"full"_s << u"No space left on device"_s; // copied without rclone
        QTest::newRow("stops answering") << u"silent"_s << u"i/o timeout"_s;
        QTest::newRow("no such remote") << u"unknown"_s << u"didn't find section in config file"_s;
    }
    void realDestinationFailures()
    {
        QFETCH(QString, kind);
        QFETCH(QString, reason);
        const QString served = newFolder(u"served"_s);
        QString dest = u"nas:sql"_s;
        QTcpServer silent;
        if (kind == u"password"_s || kind == u"read-only"_s) {
            const QStringList extra = kind == u"read-only"_s ? QStringList{u"--read-only"_s} : QStringList();
            const quint16 port = startSftp(served, u"backup"_s, u"right"_s, extra);
            QVERIFY(port != 0);
            writeConfig(u"nas"_s, port, u"backup"_s, kind == u"password"_s ? u"wrong"_s : u"right"_s);
        } else if (kind == u"silent"_s) {
            // Accepts the connection (the kernel does) and never says a word.
            QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
            writeConfig(u"nas"_s, silent.serverPort(), u"backup"_s, u"right"_s);
        } else if (kind == u"full"_s) {
            dest = served;
            if (::mount("tmpfs", QFile::encodeName(served).constData(), "tmpfs", 0, "size=64k,mode=0755") != 0)
                QSKIP("mounting a small file system needs root");
        } else {
            writeConfig(u"other"_s, 1, u"backup"_s, u"right"_s);
        }
        const auto unmount = qScopeGuard([&] {
            if (kind == u"full"_s)
                ::umount2(QFile::encodeName(served).constData(), MNT_DETACH);
        });

        const QString name = u"Sales 2021-08-31 930AM.sql"_s;
        const QString local = newFolder(u"local"_s) + u'/' + name;
        const QByteArray bytes = scriptFor(u"db1"_s, u"Sales"_s, 4000); // about 150 KB: more than the full disk
        QVERIFY(writeFile(local, bytes));
        QProcessRunner runner;
        Offsite offsite(runner);
        offsite.copy.setLimits({2, 2, 60'000});
        const AfterSaveOutcome outcome = offsite.copy.copy(local, dest, u"db1"_s, u"Sales"_s, 1);
        qInfo("%s", qPrintable(outcome.text));
        QCOMPARE(outcome.result, AfterSaveOutcome::Result::Failed);
        QCOMPARE(outcome.exitStatus, 3);
        QVERIFY2(outcome.text.startsWith(u"not copied to "_s + dest + u": "_s), qPrintable(outcome.text));
        QVERIFY2(outcome.text.contains(reason, Qt::CaseInsensitive), qPrintable(outcome.text));
        QVERIFY2(outcome.text.contains(u"(rclone exit status "_s) == (kind != u"full"_s), qPrintable(outcome.text));
        QVERIFY(!outcome.text.contains(u"right"_s) && !outcome.text.contains(u"wrong"_s));
        // The backup stands; nothing whole arrived and nothing was removed.
        QCOMPARE(readFile(local), bytes);
        QVERIFY(readFile(served + u"/sql/"_s + name) != bytes && readFile(served + u'/' + name) != bytes);
        if (kind == u"full"_s) // nor does half a copy stay
            QCOMPARE(QDir(served).entryList(QDir::Files | QDir::Hidden), QStringList());
        QCOMPARE(offsite.lines, QStringList());
    }

private:
    QString newFolder(const QString& name)
    {
        const QString path = m_dir.filePath(name + QString::number(++m_folders));
        QDir().mkpath(path);
        return path;
    }

    quint16 startSftp(const QString& root, const QString& user, const QString& password, const QStringList& extra)
    {
        return m_sftp.start(root, user, password, m_dir.filePath(u"cache"_s), extra);
    }
    void writeConfig(const QString& remote, quint16 port, const QString& user, const QString& password)
    {
        QVERIFY(LoopbackSftp::writeConfig(m_config, remote, port, user, password));
    }

    QTemporaryDir m_dir;
    QString m_config;
    int m_folders = 0;
    LoopbackSftp m_sftp;
};

QTEST_GUILESS_MAIN(TestOffsite)
#include "tst_offsite.moc"
