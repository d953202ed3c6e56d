#include "BackupCommand.h"
#include "FakeClock.h"
#include "MemoryDatabase.h"
#include "SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>

using namespace Qt::Literals::StringLiterals;

namespace {

/** One run of the command against an in-memory database, a throwaway store and folders. */
struct Run
{
    QTemporaryDir dir;
    MemoryDatabase db;
    SettingsStore settings{dir.path() + u"/config"_s};
    FakeClock clock;
    QString outText;
    QString errText;
    std::optional<QString> envPassword;

    Run()
    {
        QDir(dir.path()).mkpath(u"backups"_s);
        settings.save(SettingKeys::MSServer, u"db1"_s);
        settings.save(SettingKeys::MSUser, u"sa"_s);
        settings.save(SettingKeys::MSPassword, u"stored"_s);
        settings.save(SettingKeys::MSDatabase, u"Sales"_s);
        settings.save(SettingKeys::Path, backups());
        auto& people = db.addTable(u"People"_s, {{u"Id"_s, u"int"_s, {}, {}, {}}});
        people.rows.push_back({FieldValue::ofText(u"1"_s, FieldValue::Kind::Integer)});
    }

    QString backups() const { return dir.path() + u"/backups/"_s; }
    QString logPath() const { return dir.path() + u"/backups.log"_s; }

    int operator()(QStringList args)
    {
        args.prepend(u"tessaline-backup"_s);
        QTextStream out(&outText);
        QTextStream err(&errText);
        CommandEnvironment env{db, settings, clock, out, err, [this] { return envPassword; }, logPath()};
        return runBackupCommand(args, env);
    }

    QString log() const
    {
        QFile file(logPath());
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
};

} // namespace

class TestCli : public QObject
{
    Q_OBJECT

private slots:
    void backupWithStoredValuesPrintsThePath()
    {
        Run run;
        QCOMPARE(run(QStringList()), int(ExitSuccess));
        // The stored folder ends with a separator, as the window stores it; the engine adds its own.
        const QString expected = run.backups() + u"/Sales 2021-08-31 930AM.sql"_s;
        QCOMPARE(run.outText, expected + u'\n');
        QVERIFY(QFile::exists(expected));
        QCOMPARE(run.db.connectionStrings.value(0),
                 u"Driver={SQL Server};Server=db1,1433;Database=Sales;Uid=sa;Pwd=stored;"_s);
        QVERIFY(run.log().startsWith(expected + u" was backup saved at 8/31/2021 9:30:12 AM\r\n"_s));
        QVERIFY(run.errText.contains(u"rows written"_s)); // progress on standard error
    }

    void optionsOverrideTheStoreAndChangeNothingStored()
    {
        Run run;
        QTemporaryDir other;
        run.envPassword = u"from;env"_s;
        QCOMPARE(run({u"--server"_s, u"db2"_s, u"--port"_s, u"1500"_s, u"--user"_s, u"backup"_s, u"--database"_s,
                      u"Stock"_s, u"--folder"_s, other.path()}),
                 int(ExitSuccess));
        QCOMPARE(run.db.connectionStrings.value(0),
                 u"Driver={SQL Server};Server=db2,1500;Database=Stock;Uid=backup;Pwd={from;env};"_s);
        QVERIFY(QFile::exists(other.path() + u"/Stock 2021-08-31 930AM.sql"_s));
        QCOMPARE(run.settings.get(SettingKeys::MSServer), u"db1"_s);

        Run local;
        QCOMPARE(local({u"--local"_s}), int(ExitSuccess));
        QCOMPARE(local.db.connectionStrings.value(0),
                 u"Driver={SQL Server};Server=db1;Database=Sales;Uid=sa;Pwd=stored;"_s);
    }

    void badUsageExitsWithTwo_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("unknown option") << QStringList{u"--bogus"_s};
        QTest::newRow("password on the command line") << QStringList{u"--password"_s, u"x"_s};
        QTest::newRow("missing value") << QStringList{u"--folder"_s};
        QTest::newRow("stray argument") << QStringList{u"now"_s};
    }

    void badUsageExitsWithTwo()
    {
        QFETCH(QStringList, args);
        Run run;
        QCOMPARE(run(args), int(ExitUsage));
        QVERIFY(run.errText.contains(u"--help"_s));
        QCOMPARE(run.db.connectionStrings.size(), 0);
    }

    void helpDescribesEveryOption()
    {
        Run run;
        QCOMPARE(run({u"--help"_s}), int(ExitSuccess));
        for (const auto& option : {u"--server"_s, u"--port"_s, u"--user"_s, u"--database"_s, u"--local"_s,
                                   u"--folder"_s, u"--restore"_s, u"--timeout"_s, u"TESSALINE_PASSWORD"_s})
            QVERIFY2(run.outText.contains(option), qPrintable(option));
    }

    void noServerStoredIsBadUsage()
    {
        Run run;
        run.settings.save(SettingKeys::MSServer, QString());
        QCOMPARE(run(QStringList()), int(ExitUsage));
    }

    void refusedLoginFailsWithTheDriversTextAndIsLogged()
    {
        Run run;
        run.db.refuseLogin = u"[FreeTDS][SQL Server]Login failed for user 'sa'."_s;
        QCOMPARE(run(QStringList()), int(ExitFailure));
        QVERIFY(run.errText.contains(u"[FreeTDS][SQL Server]Login failed for user 'sa'.\n"_s
                                     u"in Quorvane2021/08/31.IntervalSave.SaveAll at line 124"_s));
        QVERIFY(run.outText.isEmpty());
        QVERIFY(run.log().contains(u" backup failed at "_s));
        // A cron log gets the failure, the place and the line, not the window's request for a screenshot.
        QVERIFY2(!run.errText.contains(u"screenshot"_s), qPrintable(run.errText));
        QVERIFY(!run.errText.contains(u"support@"_s));
    }

    void portMustBeAWholeNumberInRange_data()
    {
        QTest::addColumn<QString>("port");
        QTest::addColumn<bool>("accepted");
        for (const char* bad : {"abc", "0", "65536", "-1", "+5", " 5", "5 ", "5.0", "1e3", "", "99999999999"})
            QTest::newRow(bad) << QString::fromLatin1(bad) << false;
        for (const char* good : {"1", "1433", "65535", "01433"})
            QTest::newRow(good) << QString::fromLatin1(good) << true;
    }

    void portMustBeAWholeNumberInRange()
    {
        QFETCH(QString, port);
        QFETCH(bool, accepted);
        Run run;
        const int status = run({u"--port"_s, port});
        if (!accepted) {
            QCOMPARE(status, int(ExitUsage));
            QVERIFY2(run.errText.contains(u"--port must be a whole number from 1 to 65535"_s), qPrintable(run.errText));
            QCOMPARE(run.db.connectionStrings.size(), 0);
            return;
        }
        QCOMPARE(status, int(ExitSuccess));
        QCOMPARE(run.db.connectionStrings.value(0),
                 u"Driver={SQL Server};Server=db1,"_s + port + u";Database=Sales;Uid=sa;Pwd=stored;"_s);
    }

    void timeoutSetsTheStatementBound_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("seconds"); // -1: refused
        QTest::newRow("default") << QStringList() << 600;
        QTest::newRow("none") << QStringList{u"--timeout"_s, u"0"_s} << 0;
        QTest::newRow("thirty") << QStringList{u"--timeout"_s, u"30"_s} << 30;
        for (const char* bad : {"abc", "-1", "1.5", "", "10s"})
            QTest::newRow(bad) << QStringList{u"--timeout"_s, QString::fromLatin1(bad)} << -1;
    }

    void timeoutSetsTheStatementBound()
    {
        QFETCH(QStringList, args);
        QFETCH(int, seconds);
        Run run;
        run.db.setStatementTimeout(12345); // not the default: what the command leaves shows
        const int status = run(args);
        if (seconds < 0) {
            QCOMPARE(status, int(ExitUsage));
            QVERIFY2(run.errText.contains(u"--timeout must be a whole number of seconds"_s), qPrintable(run.errText));
            QCOMPARE(run.db.connectionStrings.size(), 0);
            return;
        }
        QCOMPARE(status, int(ExitSuccess));
        QCOMPARE(run.db.statementTimeout(), args.isEmpty() ? 12345 : seconds);
        QCOMPARE(MemoryDatabase().statementTimeout(), 600); // every factory starts with ten minutes
    }

    void missingFolderFails()
    {
        Run run;
        QCOMPARE(run({u"--folder"_s, run.dir.path() + u"/nowhere"_s}), int(ExitFailure));
        QVERIFY(run.errText.contains(u"IntervalSave.FileCont"_s));
        QVERIFY(!QDir(run.dir.path() + u"/nowhere"_s).exists());
    }

    void restoreSendsTheFileAndKeepsSettings()
    {
        Run run;
        const QString script = run.dir.path() + u"/s.sql"_s;
        QFile file(script);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("USE [master]\r\nSELECT 1\r\n");
        file.close();

        QCOMPARE(run({u"--restore"_s, script}), int(ExitSuccess));
        QCOMPARE(run.db.batches, QStringList{u"USE [master]\r\nSELECT 1\r\n"_s});
        QVERIFY(run.errText.contains(u"Done."_s));
        QCOMPARE(run.settings.get(SettingKeys::StartStopState, u"unset"_s), u"unset"_s);
    }

    void restoreRefusesAWorkingFile()
    {
        Run run;
        const QString partial = run.backups() + u"Sales 2021-08-31 930AM.sql.77-0badc0de.partial"_s;
        QFile file(partial);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("USE [master]\r\nDROP DATABASE [Sales]\r\n");
        file.close();
        QCOMPARE(run({u"--restore"_s, partial}), int(ExitFailure));
        QVERIFY2(run.errText.contains(u"Not restored: "_s + partial
                                      + u" is the working file of a backup that did not finish"_s),
                 qPrintable(run.errText));
        QCOMPARE(run.db.opened, 0);
        QVERIFY(run.db.batches.isEmpty());
    }

    void databaseNameStaysInsideTheFolder()
    {
        Run run;
        QCOMPARE(run({u"--database"_s, u"../escaped"_s}), int(ExitSuccess));
        const QString expected = run.backups() + u"/.._escaped 2021-08-31 930AM.sql"_s;
        QCOMPARE(run.outText, expected + u'\n');
        QVERIFY(QFile::exists(expected));
        QCOMPARE(QDir(run.dir.path()).entryList({u"*.sql"_s}, QDir::Files | QDir::Hidden), QStringList());
    }

    void restoreFailures()
    {
        Run missing;
        QCOMPARE(missing({u"--restore"_s, missing.dir.path() + u"/none.sql"_s}), int(ExitFailure));
        QVERIFY(missing.errText.contains(u"Restore file not found."_s));
        QCOMPARE(missing.db.opened, 0);

        Run failing;
        const QString script = failing.dir.path() + u"/s.sql"_s;
        QFile file(script);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("CREATE TABLE x (a int)\r\n");
        file.close();
        failing.db.failCommandContaining = u"CREATE TABLE"_s;
        failing.db.failText = u"[FreeTDS][SQL Server]There is already an object named 'x' in the database."_s;
        QCOMPARE(failing({u"--restore"_s, script}), int(ExitFailure));
        QVERIFY(failing.errText.contains(u"There is already an object named 'x'"_s));
        QVERIFY(failing.errText.contains(u"Could not connect. Please check with your administrator."_s));
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
