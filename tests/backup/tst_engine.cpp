// The pieces of a dump on their own: the file's life (DumpFile) and the engine's reports. tst_backup drives them
// together through SaveAll.

#include "DumpFile.h"
#include "EngineLines.h"
#include "EngineState.h"
#include "FakeClock.h"
#include "FakeDialogs.h"
#include "MemoryDatabase.h"
#include "Retention.h"
#include "ScriptText.h"
#include "StopRequest.h"
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

QByteArray readBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeBytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    QCOMPARE(file.write(bytes), bytes.size());
}

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
};

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
                 s.backupPath() + u" backup failed at 8/31/2021 9:30:12 AM: interrupted\r\n"_s);
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
};

QTEST_GUILESS_MAIN(TestEngine)
#include "tst_engine.moc"
