#include "AutoBackup.h"
#include "FakeClock.h"
#include "FakeDialogs.h"
#include "FakeViews.h"
#include "IntervalSave.h"
#include "MemoryDatabase.h"
#include "Mssql.h"
#include "ScriptRestore.h"
#include "SettingsStore.h"
#include "WorkGuard.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace Qt::Literals::StringLiterals;

namespace {

const QString Countdown = u"Next backup will occur in 00:04:00"_s;
const QString CouldNotConnect = QString::fromLatin1(CouldNotConnectMessage);
const QString MasterNotice = u"Changed database context to 'master'."_s;

class FakeSource : public DumpSource
{
public:
    QString serverName() const override { return u"srv"_s; }
    QString databaseName() const override { return u"Sales"_s; }
    QString backupFolder() const override { return QDir::tempPath(); }
};

/** The restore over fakes, with automatic backup on and counting. */
struct Harness
{
    QTemporaryDir dir;
    FakeMainView view;
    FakeConnectionView connection;
    FakeDialogs dialogs;
    SettingsStore store{dir.filePath(u"config"_s)};
    MemoryDatabase db;
    FakeClock clock;
    FakeSource source;
    WorkGuard guard;
    IntervalSave engine{BackupContext{db, dialogs, clock, source, {}, dir.filePath(u"backups.log"_s), {}}};
    ScriptRestore restore{RestoreContext{view, connection, dialogs, store, db, engine, guard}};

    Harness()
    {
        connection.settings.Server = u"srv"_s;
        connection.settings.Database = u"Sales"_s;
        connection.settings.UserName = u"sa"_s;
        connection.settings.Password = u"pw"_s;
        view.timer = AutoBackupTimerInterval;
        view.buttonCaption = TurnOffAutoBackupCaption;
        view.status = Countdown;
        store.save(SettingKeys::StartStopState, u"On"_s);
    }

    /** Copies the sample script into the temporary folder and puts its path into Text7. */
    QString useSample()
    {
        const QString path = dir.filePath(u"sample.sql"_s);
        QFile::copy(QStringLiteral(TESSALINE_TEST_DATA "/restore/sample.sql"), path);
        view.restorePath = path;
        return path;
    }

    QString write(const QString& name, const QByteArray& bytes)
    {
        const QString path = dir.filePath(name);
        QFile file(path);
        if (file.open(QIODevice::WriteOnly))
            file.write(bytes);
        return path;
    }

    void verifyAutoBackupOff() const
    {
        QCOMPARE(view.status, AutoBackupTurnedOffStatus);
        QCOMPARE(view.buttonCaption, TurnOnAutoBackupCaption);
        QCOMPARE(view.timer, 0);
        QCOMPARE(store.get(SettingKeys::StartStopState), u"Off"_s);
    }

    void verifyAutoBackupUntouched() const
    {
        QCOMPARE(view.status, Countdown);
        QCOMPARE(view.buttonCaption, TurnOffAutoBackupCaption);
        QCOMPARE(view.timer, AutoBackupTimerInterval);
        QCOMPARE(store.get(SettingKeys::StartStopState), u"On"_s);
    }
};

QByteArray sampleBytes()
{
    QFile file(QStringLiteral(TESSALINE_TEST_DATA "/restore/sample.sql"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TstRestore : public QObject
{
    Q_OBJECT

private slots:
    void restoreFileExists_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("exists");
        QTest::newRow("normal file") << u"file"_s << true;
        QTest::newRow("link to a normal file") << u"link"_s << true;
        QTest::newRow("folder") << u"folder"_s << false;
        QTest::newRow("hidden file") << u"hidden"_s << false;
        QTest::newRow("missing") << u"missing"_s << false;
        QTest::newRow("empty path") << u"empty"_s << false;
        QTest::newRow("pipe") << u"pipe"_s << false;
        QTest::newRow("pattern") << u"pattern"_s << false;
    }
    void restoreFileExists()
    {
        QFETCH(QString, kind);
        QFETCH(bool, exists);
        QTemporaryDir dir;
        const QString file = dir.filePath(u"backup.sql"_s);
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.close();

        QString path;
        if (kind == u"file"_s) {
            path = file;
        } else if (kind == u"link"_s) {
            path = dir.filePath(u"link.sql"_s);
            QVERIFY(QFile::link(file, path));
        } else if (kind == u"folder"_s) {
            path = dir.filePath(u"folder.sql"_s);
            QVERIFY(QDir().mkdir(path));
        } else if (kind == u"hidden"_s) {
            path = dir.filePath(u".hidden.sql"_s);
            QVERIFY(QFile::copy(file, path));
        } else if (kind == u"missing"_s) {
            path = dir.filePath(u"missing.sql"_s);
        } else if (kind == u"pipe"_s) {
            path = dir.filePath(u"pipe.sql"_s);
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        } else if (kind == u"pattern"_s) {
            path = dir.filePath(u"*.sql"_s);
        }
        QCOMPARE(RestoreFileExists(path), exists);
    }

    void contextChangeRule_data()
    {
        QTest::addColumn<QString>("description");
        QTest::addColumn<bool>("driverError");
        QTest::addColumn<bool>("success");
        QTest::newRow("Windows driver's exact text")
            << u"[Microsoft][ODBC SQL Server Driver][SQL Server]"_s + MasterNotice << true << true;
        QTest::newRow("FreeTDS prefix") << u"[FreeTDS][SQL Server]"_s + MasterNotice << true << true;
        QTest::newRow("no prefix") << MasterNotice << true << true;
        QTest::newRow("another database")
            << u"[FreeTDS][SQL Server]Changed database context to 'Sales'."_s << true << false;
        QTest::newRow("case differs") << u"[FreeTDS][SQL Server]changed database context to 'master'."_s << true
                                      << false;
        QTest::newRow("more text after") << u"[FreeTDS][SQL Server]"_s + MasterNotice + u" Login failed."_s << true
                                         << false;
        QTest::newRow("blank after prefix") << u"[FreeTDS][SQL Server] "_s + MasterNotice << true << false;
        QTest::newRow("unclosed prefix") << u"[FreeTDS"_s + MasterNotice << true << false;
        QTest::newRow("not a driver error") << u"[FreeTDS][SQL Server]"_s + MasterNotice << false << false;
        QTest::newRow("exact text from anywhere")
            << u"[Microsoft][ODBC SQL Server Driver][SQL Server]"_s + MasterNotice << false << true;
    }
    void contextChangeRule()
    {
        QFETCH(QString, description);
        QFETCH(bool, driverError);
        QFETCH(bool, success);
        if (driverError)
            QCOMPARE(IsContextChangeToMaster(DbError(description, 5701)), success);
        else
            QCOMPARE(IsContextChangeToMaster(Failure(description)), success);
    }

    void missingFileChangesNothing_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("missing") << u"missing.sql"_s;
        QTest::newRow("folder") << u"folder"_s;
        QTest::newRow("empty field") << QString();
    }
    void missingFileChangesNothing()
    {
        QFETCH(QString, name);
        Harness h;
        QVERIFY(QDir().mkdir(h.dir.filePath(u"folder"_s)));
        h.view.restorePath = name.isEmpty() ? QString() : h.dir.filePath(name);

        h.restore.PushButton9_Click();

        QCOMPARE(h.dialogs.messages(), QStringList{RestoreFileNotFoundMessage});
        QCOMPARE(h.dialogs.shown().size(), 1);
        QVERIFY(h.db.connectionStrings.isEmpty());
        h.verifyAutoBackupUntouched();
    }

    void scriptIsSentUnchangedAsOneBatch_data()
    {
        QTest::addColumn<bool>("local");
        QTest::addColumn<QString>("connectionString");
        QTest::newRow("with port") << false << u"Driver={SQL Server};Server=srv,1433;Database=Sales;Uid=sa;Pwd=pw;"_s;
        QTest::newRow("local") << true << u"Driver={SQL Server};Server=srv;Database=Sales;Uid=sa;Pwd=pw;"_s;
    }
    void scriptIsSentUnchangedAsOneBatch()
    {
        QFETCH(bool, local);
        QFETCH(QString, connectionString);
        Harness h;
        h.connection.settings.LocalConnection = local;
        const QString path = h.useSample();
        int timerWhenSent = -1;
        h.db.batchHandler = [&](const QString&, QStringList&) { timerWhenSent = h.view.timer; };

        h.restore.PushButton9_Click();

        const QString expected = QString::fromUtf8(sampleBytes());
        QVERIFY(expected.contains(u"\r\n\r\n"_s));
        QVERIFY(expected.contains(u"Renée"_s));
        QCOMPARE(h.db.executed, QStringList{expected});
        QCOMPARE(h.db.connectionStrings, QStringList{connectionString});
        QCOMPARE(h.db.opened, 1);
        QCOMPARE(h.db.closed, 1);
        QCOMPARE(h.db.lastCursorLocation, 0);
        QCOMPARE(timerWhenSent, 0); // automatic backup is off before the script goes out
        QCOMPARE(h.dialogs.messages(), QStringList{RestoreDoneMessage});
        QVERIFY(h.dialogs.errorReports().isEmpty());
        h.verifyAutoBackupOff();
        QCOMPARE(h.view.restorePath, path);
    }

    void contextChangeReportedByTheDriver_data()
    {
        QTest::addColumn<QString>("description");
        QTest::addColumn<bool>("asError");
        QTest::addColumn<QString>("message");
        QTest::newRow("Windows driver's error")
            << u"[Microsoft][ODBC SQL Server Driver][SQL Server]"_s + MasterNotice << true << RestoreDoneMessage;
        QTest::newRow("FreeTDS error") << u"[FreeTDS][SQL Server]"_s + MasterNotice << true << RestoreDoneMessage;
        QTest::newRow("informational message")
            << u"[FreeTDS][SQL Server]"_s + MasterNotice << false << RestoreDoneMessage;
        QTest::newRow("another database as error")
            << u"[FreeTDS][SQL Server]Changed database context to 'Sales'."_s << true << CouldNotConnect;
    }
    void contextChangeReportedByTheDriver()
    {
        QFETCH(QString, description);
        QFETCH(bool, asError);
        QFETCH(QString, message);
        Harness h;
        h.useSample();
        h.db.batchHandler = [&](const QString&, QStringList& info) {
            if (asError)
                throw DbError(description, 5701);
            info.append(description);
        };

        h.restore.PushButton9_Click();

        QCOMPARE(h.dialogs.messages(), QStringList{message});
        QVERIFY(h.dialogs.errorReports().isEmpty());
        QCOMPARE(h.db.batches.size(), 1);
        // An error ends the script's run before Close; the connection is let go all the same.
        QCOMPARE(h.db.closed, asError ? 0 : 1);
        QCOMPARE(h.db.released, 1);
        h.verifyAutoBackupOff();
    }

    void failuresSayCouldNotConnect_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("executed");
        QTest::newRow("login refused") << u"login"_s << 0;
        QTest::newRow("statement in the middle fails") << u"statement"_s << 1;
        QTest::newRow("no connection object") << u"create"_s << 0;
        QTest::newRow("connection value refused") << u"value"_s << 0;
    }
    void failuresSayCouldNotConnect()
    {
        QFETCH(QString, fault);
        QFETCH(int, executed);
        Harness h;
        h.useSample();
        h.view.currentPointer = MousePointer::Custom;
        if (fault == u"login"_s)
            h.db.refuseLogin = u"[FreeTDS][SQL Server]Login failed for user 'sa'."_s;
        else if (fault == u"statement"_s)
            h.db.failCommandContaining = u"CREATE TABLE [Kunden]"_s;
        else if (fault == u"create"_s)
            h.db.refuseCreate = u"The driver manager is missing."_s;
        else
            h.connection.settings.Password = u"a};b"_s;

        h.restore.PushButton9_Click();

        QCOMPARE(h.dialogs.messages(), QStringList{CouldNotConnect});
        QVERIFY(h.dialogs.errorReports().isEmpty());
        QCOMPARE(h.db.executed.size(), executed);
        QCOMPARE(h.db.closed, 0);
        QCOMPARE(h.view.currentPointer, MousePointer::Default);
        h.verifyAutoBackupOff();
    }

    void unreadableFile()
    {
        // The file is there when tested but gone when read: FileCont reports, the empty script then fails.
        Harness h;
        const QString path = h.useSample();
        h.view.onStatus = [&](const QString& caption) {
            if (caption == AutoBackupTurnedOffStatus)
                QFile::remove(path);
        };

        h.restore.PushButton9_Click();

        const QStringList reports = h.dialogs.errorReports();
        QVERIFY(!reports.isEmpty());
        for (const QString& report : reports)
            QVERIFY(report.contains(u"in Quorvane2021/08/31.IntervalSave.FileCont at line "_s));
        QCOMPARE(h.dialogs.messages(), QStringList{CouldNotConnect});
        QVERIFY(h.db.batches.isEmpty());
        QCOMPARE(h.db.opened, 1);
        h.verifyAutoBackupOff();
    }

    void emptyFile()
    {
        Harness h;
        h.view.restorePath = h.write(u"empty.sql"_s, QByteArray());

        h.restore.PushButton9_Click();

        QVERIFY(h.dialogs.errorReports().isEmpty());
        QCOMPARE(h.dialogs.messages(), QStringList{CouldNotConnect});
        QVERIFY(h.db.executed.isEmpty());
        h.verifyAutoBackupOff();
    }

    void refusedWhileADumpRuns()
    {
        Harness h;
        h.useSample();
        {
            WorkGuard::Scope running(h.guard);
            h.restore.PushButton9_Click();
        }
        QCOMPARE(h.dialogs.messages(), QStringList{QString::fromLatin1(BackupAlreadyRunningMessage)});
        QVERIFY(h.db.connectionStrings.isEmpty());
        h.verifyAutoBackupUntouched();

        // Once the dump is over the same click restores.
        h.dialogs.clear();
        h.restore.PushButton9_Click();
        QCOMPARE(h.dialogs.messages(), QStringList{RestoreDoneMessage});
    }

    void chooseFile_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<int>("changes");
        QTest::newRow("chosen") << u"/data/Sales 2021-08-31 930AM.sql"_s << u"/data/Sales 2021-08-31 930AM.sql"_s << 1;
        QTest::newRow("cancelled") << QString() << u"/old/previous.sql"_s << 0;
    }
    void chooseFile()
    {
        QFETCH(QString, answer);
        QFETCH(QString, expected);
        QFETCH(int, changes);
        Harness h;
        h.view.restorePath = u"/old/previous.sql"_s;
        if (!answer.isEmpty())
            h.dialogs.setNextPath(answer);

        h.restore.PushButton10_Click();

        QCOMPARE(h.dialogs.texts(FakeDialogs::Kind::OpenFile), QStringList{u"Select backup file"_s});
        QCOMPARE(h.dialogs.lastFilter(), u"MSSQL Backup File (*.sql)"_s);
        QCOMPARE(h.view.restorePath, expected);
        QCOMPARE(h.view.restoreFileChanges, changes);
        QCOMPARE(h.dialogs.shown().size(), 1);
        h.verifyAutoBackupUntouched();
    }
};

QTEST_GUILESS_MAIN(TstRestore)
#include "tst_restore.moc"
