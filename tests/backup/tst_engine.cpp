// The pieces of a dump on their own: the file's life (DumpFile), the steps after a save (AfterSaveRun) and the
// engine's reports. tst_backup drives them together through SaveAll.

#include "AfterSaveRun.h"
#include "DumpFile.h"
#include "EngineLines.h"
#include "EngineState.h"
#include "FakeClock.h"
#include "FakeDialogs.h"
#include "MemoryDatabase.h"
#include "Retention.h"
#include "ScriptText.h"
#include "StopRequest.h"
#include "TestFiles.h"
#include "Views.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <thread>

using namespace Qt::Literals::StringLiterals;

namespace {

const QString Server = u"DBHOST\\SQLEXPRESS"_s;
const QString Database = u"Sales"_s;

/** A backup folder with its log, the engine's state over it, and a stop that the engine heeds. */
struct Setup
{
    MemoryDatabase db;
    FakeDialogs dialogs;
    FakeClock clock;
    FixedDumpSource source{Server, Database, QString()};
    QTemporaryDir dir;
    StopRequest stop;
    EngineState engine{BackupContext{db, dialogs, clock, source, {}, dir.filePath(u"backups.log"_s), {}, {}}};

    Setup() { engine.reports.setStopRequest(&stop); }
    QString folder() const { return dir.path(); }
    QString backupPath() const { return dir.filePath(u"Sales 2021-08-31 930AM.sql"_s); }
    /** The backup's path as the log writes it: with the system's separators. */
    QString loggedPath() const { return QDir::toNativeSeparators(backupPath()); }
    QByteArray log() const { return readBytes(engine.context.log.path()); }
    /** The files of the folder other than the log. */
    QStringList files() const
    {
        QStringList names = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name);
        names.removeAll(u"backups.log"_s);
        return names;
    }
    /** A dump's file, named and open, with a first line in its working file. */
    std::unique_ptr<DumpFile> openFile()
    {
        auto file = std::make_unique<DumpFile>(engine.context, engine.reports);
        file->removeOnForcedEnd(stop);
        file->name(folder(), Database, false);
        file->open(folder(), Database, engine.retention());
        file->append("-- one\r\n");
        return file;
    }
    /** SaveAll's steps as the dump runs them: a step that throws is a failure of the dump. */
    SaveAllStep steps(DumpOutcome& outcome, QList<int>& failedLines)
    {
        return [failed = &outcome.failed, lines = &failedLines](int line, const std::function<void()>& statement) {
            try {
                statement();
                return true;
            } catch (const std::exception&) {
                *lines << line;
                *failed = true;
                return false;
            }
        };
    }
};

AfterSaveOutcome said(const QString& text, AfterSaveOutcome::Result result = AfterSaveOutcome::Result::Passed)
{
    return AfterSaveOutcome{result, text, 0};
}

} // namespace

class TestEngine : public QObject
{
    Q_OBJECT

private slots:
    // ---- the file of a dump

    void committedFileStandsUnderItsName()
    {
        Setup s;
        // An older backup of the same minute passed the drill; the new script under its name has not.
        writeBytes(s.backupPath(), "-- older\r\n");
        writeBytes(Retention::verifiedMarkPath(s.backupPath()), "8/31/2021 9:29:00 AM");
        std::unique_ptr<DumpFile> file = s.openFile();
        QCOMPARE(file->path(), s.backupPath());
        QVERIFY(file->append("-- two\r\n"));
        QVERIFY(file->finish());
        QVERIFY(!file->isPastCommit());
        file->commit(1000);
        file->close();
        QVERIFY(file->isPastCommit());
        QCOMPARE(readBytes(s.backupPath()), QByteArray("-- older\r\n-- one\r\n-- two\r\n"));
        QCOMPARE(s.files(), QStringList{u"Sales 2021-08-31 930AM.sql"_s});
        // Past the commit a stop, even a forced end of the process, leaves the backup and says nothing.
        s.stop.request(SIGTERM);
        std::thread([&] { s.stop.forceEnd(); }).join();
        QCOMPARE(s.files(), QStringList{u"Sales 2021-08-31 930AM.sql"_s});
        QCOMPARE(s.log(), QByteArray());
        QCOMPARE(s.dialogs.errorReports(), QStringList());
    }

    void uncommittedFileLeavesNothing()
    {
        Setup s;
        std::unique_ptr<DumpFile> file = s.openFile();
        QCOMPARE(s.files().size(), 1); // the working file
        QVERIFY(file->finish());
        file->close(); // a failed dump: no commit
        QVERIFY(!file->isPastCommit());
        QCOMPARE(s.files(), QStringList());
        QCOMPARE(s.log(), QByteArray());
    }

    void interruptedEndIsLoggedOnce_data()
    {
        QTest::addColumn<bool>("forcedFirst");
        QTest::newRow("the dump ends it") << false;
        QTest::newRow("the forced end comes first") << true;
    }

    void interruptedEndIsLoggedOnce()
    {
        QFETCH(bool, forcedFirst);
        Setup s;
        std::unique_ptr<DumpFile> file = s.openFile();
        s.stop.request(SIGINT);
        if (forcedFirst)
            std::thread([&] { s.stop.forceEnd(); }).join();
        file->endInterrupted();
        std::thread([&] { s.stop.forceEnd(); }).join();
        QCOMPARE(s.files(), QStringList());
        QCOMPARE(QString::fromUtf8(s.log()),
                 s.loggedPath() + u" backup failed at 8/31/2021 9:30:12 AM: interrupted\r\n"_s);
    }

    void writeFailuresAreFileContsAndTheFirstIsTheDumps()
    {
        Setup s;
        DumpOutcome outcome;
        QCOMPARE(s.engine.reports.setOutcome(&outcome), nullptr);
        const QString gone = s.dir.filePath(u"gone"_s);
        DumpFile file(s.engine.context, s.engine.reports);
        file.name(gone, Database, false);
        file.open(gone, Database, s.engine.retention());
        QVERIFY(!file.append("-- one\r\n"));
        const QStringList reports = s.dialogs.errorReports();
        QCOMPARE(reports.size(), 2);
        const QString reason = reports[0].section(u"\r\n"_s, 0, 0);
        QVERIFY(reports[0].contains(u"IntervalSave.FileCont at line %1"_s.arg(FileContLine::OpenToAppend)));
        QVERIFY(reports[1].startsWith(FileNotOpenText));
        QVERIFY(reports[1].contains(u"IntervalSave.FileCont at line %1"_s.arg(FileContLine::Append)));
        QVERIFY(outcome.failed);
        QCOMPARE(outcome.firstFailure, reason);
        // Once a stop was requested the failures it causes are not reported; the first failure stays the dump's.
        s.stop.request(SIGTERM);
        QVERIFY(!file.append("-- two\r\n"));
        QCOMPARE(s.dialogs.errorReports(), reports);
        QCOMPARE(outcome.firstFailure, reason);
        QCOMPARE(s.engine.reports.setOutcome(nullptr), &outcome);
    }

    // ---- the steps after a save

    void stepsAfterTheSaveAreLoggedAndShown()
    {
        Setup s;
        SavedBackup seen;
        s.engine.context.afterSave = {
            [](const SavedBackup&) { return said(u"verified"_s); },
            {},
            [](const SavedBackup&) { return said(QString()); }, // switched off: says nothing
            [&](const SavedBackup& backup) {
                seen = backup;
                return said(u"not copied to nas:sql: no route"_s, AfterSaveOutcome::Result::Failed);
            },
        };
        s.engine.lastAfterSave = {said(u"from the dump before"_s)};
        PlainStatusFrame status;
        status.setCaption(u"Auto Backup Complete at 8/31/2021 9:30:12 AM"_s);
        DumpOutcome outcome;
        QList<int> failedLines;
        BackupOptions options;
        options.copyTo = u"nas:sql"_s;
        AfterSaveRun(s.engine, s.steps(outcome, failedLines))
            .run(SavedBackup{s.backupPath(), Server, Database, options}, s.folder(), status, outcome);
        QCOMPARE(s.engine.lastAfterSave.size(), 2u);
        QCOMPARE(s.engine.lastAfterSave[0].text, u"verified"_s);
        QCOMPARE(s.engine.lastAfterSave[1].result, AfterSaveOutcome::Result::Failed);
        QCOMPARE(QString::fromUtf8(s.log()),
                 s.loggedPath() + u" verified at 8/31/2021 9:30:12 AM\r\n"_s + s.loggedPath()
                     + u" not copied to nas:sql: no route at 8/31/2021 9:30:12 AM\r\n"_s);
        QCOMPARE(status.caption(),
                 u"Auto Backup Complete at 8/31/2021 9:30:12 AM; verified; not copied to nas:sql: no route"_s);
        QCOMPARE(seen.path, s.backupPath());
        QCOMPARE(seen.server, Server);
        QCOMPARE(seen.options.copyTo, u"nas:sql"_s);
        QCOMPARE(failedLines, QList<int>());
        QVERIFY(!s.engine.interrupted);
    }

    void oldBackupsGoOnlyAfterAWholeRun_data()
    {
        QTest::addColumn<QString>("ending");
        QTest::addColumn<bool>("removed");
        QTest::newRow("every step done") << u"done"_s << true;
        QTest::newRow("the dump failed") << u"dump failed"_s << false;
        QTest::newRow("a step's log line failed") << u"log failed"_s << false;
        QTest::newRow("a stop during a step") << u"stop"_s << false;
    }

    void oldBackupsGoOnlyAfterAWholeRun()
    {
        QFETCH(QString, ending);
        QFETCH(bool, removed);
        Setup s;
        const QString older = s.dir.filePath(u"Sales 2021-08-30 930AM.sql"_s);
        writeBytes(older, ScriptText::headerBytes(Server, Database));
        writeBytes(s.backupPath(), ScriptText::headerBytes(Server, Database));
        int ran = 0;
        s.engine.context.afterSave = {[&](const SavedBackup&) {
            ++ran;
            if (ending == u"stop"_s)
                s.stop.request(SIGINT);
            return said(u"verified"_s);
        }};
        if (ending == u"log failed"_s)
            s.engine.context.log = BackupLog(s.dir.filePath(u"missing/backups.log"_s));
        DumpOutcome outcome;
        outcome.failed = ending == u"dump failed"_s;
        QList<int> failedLines;
        s.engine.lastAfterSave = {said(u"from the dump before"_s)};
        PlainStatusFrame status;
        BackupOptions options;
        options.keep = 1;
        AfterSaveRun(s.engine, s.steps(outcome, failedLines))
            .run(SavedBackup{s.backupPath(), Server, Database, options}, s.folder(), status, outcome);
        QCOMPARE(ran, ending == u"dump failed"_s ? 0 : 1);
        QCOMPARE(int(s.engine.lastAfterSave.size()), ran);
        QCOMPARE(s.engine.interrupted, ending == u"stop"_s);
        QCOMPARE(failedLines, ending == u"log failed"_s ? QList<int>{SaveAllLine::LogLine} : QList<int>());
        QCOMPARE(QFile::exists(older), !removed);
        QVERIFY(QFile::exists(s.backupPath()));
        QCOMPARE(s.log().contains("was removed at"), removed);
    }
};

QTEST_GUILESS_MAIN(TestEngine)
#include "tst_engine.moc"
