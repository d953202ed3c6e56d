#include "BackupFile.h"
#include "ErrorReport.h"
#include "FakeClock.h"
#include "FakeDialogs.h"
#include "Gzip.h"
#include "IntervalSave.h"
#include "MemoryDatabase.h"
#include "TestFiles.h"
#include "Views.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <csignal>
#include <cstring>
#include <semaphore>

#include <sys/resource.h>

using namespace Qt::Literals::StringLiterals;

// The file writer of backups: bytes reach the file through its writer thread, in order, plain or through gzip; the
// caller waits only for a bounded number of buffers, with events running; the thread's failures reach the dump's
// report with FileCont's steps.

namespace {

/** What the system's gzip makes of the file (-dc), or "<gzip failed>". */
QByteArray systemGunzip(const QString& path)
{
    QProcess gzip;
    gzip.start(u"gzip"_s, {u"-dc"_s, path});
    if (!gzip.waitForFinished(60'000) || gzip.exitStatus() != QProcess::NormalExit || gzip.exitCode() != 0)
        return "<gzip failed>";
    return gzip.readAllStandardOutput();
}

/** Script-like bytes that do not repeat, so that compressed output grows with them. */
QByteArray scriptBytes(qsizetype size, int seed = 1)
{
    QByteArray out;
    out.reserve(size + 100);
    for (qint64 i = seed; out.size() < size; ++i)
        out += "INSERT INTO [T] VALUES('" + QByteArray::number(i * 2654435761u % 1000003) + "', 'Baker''s "
            + QByteArray::number(i) + "');\r\n";
    out.truncate(size);
    return out;
}

QStringList filesIn(const QString& folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

/** A stage that holds the writer thread until released, and counts what it took. */
class HeldStage : public ByteStage
{
public:
    QByteArray put(const char* data, std::size_t size) override
    {
        if (!released.load())
            gate.acquire();
        staged += qint64(size);
        return QByteArray(data, qsizetype(size));
    }
    QByteArray finish() override { return {}; }
    void release()
    {
        if (!released.exchange(true))
            gate.release();
    }

    std::atomic<bool> released = false;
    std::atomic<qint64> staged = 0;
    std::binary_semaphore gate{0};
};

/** A stage that fails at its n-th piece, as a full disk or a failing compressor would. */
class FailingStage : public ByteStage
{
public:
    explicit FailingStage(int failAt)
        : m_failAt(failAt)
    { }
    QByteArray put(const char* data, std::size_t size) override
    {
        if (++m_pieces >= m_failAt)
            throw Failure(u"No space left on device"_s, 61);
        return QByteArray(data, qsizetype(size));
    }
    QByteArray finish() override { return {}; }

private:
    int m_failAt;
    int m_pieces = 0;
};

/** The process may write files of at most `bytes` while it lives; a longer write fails with EFBIG. */
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &m_old);
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = m_old;
        limit.rlim_cur = bytes;
        m_set = setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_oldHandler);
    }
    bool isSet() const { return m_set; }

private:
    rlimit m_old{};
    void (*m_oldHandler)(int) = nullptr;
    bool m_set = false;
};

} // namespace

class TestBackupFile : public QObject
{
    Q_OBJECT

private slots:
    void bytesReachTheFileInOrder_data()
    {
        QTest::addColumn<bool>("gzip");
        QTest::addColumn<qsizetype>("size");
        QTest::addColumn<qsizetype>("piece");
        for (const bool gzip : {false, true}) {
            const char* kind = gzip ? "gzip" : "plain";
            QTest::addRow("%s, nothing", kind) << gzip << qsizetype(0) << qsizetype(1);
            QTest::addRow("%s, one line", kind) << gzip << qsizetype(40) << qsizetype(40);
            QTest::addRow("%s, exactly one buffer", kind)
                << gzip << qsizetype(BackupFile::BufferBytes) << qsizetype(4096);
            QTest::addRow("%s, many buffers in odd pieces", kind) << gzip << qsizetype(3'300'001) << qsizetype(77'777);
            QTest::addRow("%s, pieces larger than a buffer", kind)
                << gzip << qsizetype(2'500'000) << qsizetype(1'500'000);
        }
    }

    void bytesReachTheFileInOrder()
    {
        QFETCH(bool, gzip);
        QFETCH(qsizetype, size);
        QFETCH(qsizetype, piece);
        QTemporaryDir dir;
        const QString path = dir.filePath(gzip ? u"b.sql.gz"_s : u"b.sql"_s);
        const QByteArray script = scriptBytes(size);
        BackupFile file(path, gzip ? makeGzipStage() : nullptr);
        file.create();
        for (qsizetype at = 0; at < script.size(); at += piece)
            file.append(QByteArray::fromRawData(script.constData() + at, std::min(piece, script.size() - at)));
        file.commit(1000);
        QVERIFY(file.isCommitted());
        QCOMPARE(filesIn(dir.path()), QStringList{QFileInfo(path).fileName()});
        if (gzip)
            QVERIFY(systemGunzip(path) == script);
        else
            QVERIFY(readBytes(path) == script);
    }

    void workingFileIsHeldWhileItsProcessHasItOpen()
    {
        // This process's own working file, from its creation to its removal.
        QTemporaryDir dir;
        BackupFile file(dir.filePath(u"b.sql"_s));
        file.create();
        const QString working = file.workingPath();
        QVERIFY(BackupFile::isWorkingFileHeld(working));
        file.append(QByteArray("-- rows\r\n"));
        file.finishWriting();
        QVERIFY(BackupFile::isWorkingFileHeld(working));
        file.abandon();
        QVERIFY(!QFile::exists(working));

        // Another process's: held while it runs, free once it is killed.
        const QString other = dir.filePath(u"b.sql.4242-0badf00d.partial"_s);
        {
            QFile left(other);
            QVERIFY(left.open(QIODevice::WriteOnly));
            QCOMPARE(left.write("-- Server"), 9);
        }
        QVERIFY(!BackupFile::isWorkingFileHeld(other));
        QProcess holder;
        holder.start(u"sh"_s, {u"-c"_s, u"exec 9<>\"$0\"; flock -x 9; echo held; exec sleep 60"_s, other});
        QVERIFY(holder.waitForReadyRead(10'000));
        QVERIFY(BackupFile::isWorkingFileHeld(other));
        holder.kill();
        QVERIFY(holder.waitForFinished(10'000));
        QVERIFY(!BackupFile::isWorkingFileHeld(other));
    }

    void sameNameAppendsAMember()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"b.sql.gz"_s);
        const QByteArray first = scriptBytes(3'000'000, 1);
        const QByteArray second = scriptBytes(2'500'000, 7);
        for (const QByteArray* script : {&first, &second}) {
            BackupFile file(path, makeGzipStage());
            file.create();
            file.append(*script);
            file.commit(1000);
        }
        QVERIFY(systemGunzip(path) == first + second);
        QCOMPARE(filesIn(dir.path()), QStringList{u"b.sql.gz"_s});
    }

    void appendWaitsOnlyForAFewBuffersWithEventsRunning()
    {
        QTemporaryDir dir;
        auto owned = std::make_unique<HeldStage>();
        HeldStage& stage = *owned;
        BackupFile file(dir.filePath(u"b.sql"_s), std::move(owned));
        qint64 appended = 0;
        qint64 aheadWhenWaiting = -1;
        int waits = 0;
        file.setWhileWaiting([&] {
            if (++waits == 1)
                aheadWhenWaiting = appended - stage.staged.load();
            if (waits == 3)
                stage.release(); // the disk catches up
        });
        file.create();
        const QByteArray piece = scriptBytes(64 * 1024);
        const qint64 total = 12 * qint64(BackupFile::BufferBytes);
        for (; appended < total; appended += piece.size())
            file.append(piece);
        stage.release();
        file.commit(1000);
        // While the writer was held, the caller waited with events running, and no more than the buffers in flight,
        // the one the writer holds and the one being filled were ahead of it.
        QVERIFY(waits >= 3);
        QVERIFY(aheadWhenWaiting > 0);
        QVERIFY2(aheadWhenWaiting <= qint64(BackupFile::BuffersInFlight + 2) * qint64(BackupFile::BufferBytes),
                 qPrintable(QString::number(aheadWhenWaiting)));
        QCOMPARE(QFileInfo(file.finalPath()).size(), appended);
    }

    void writerFailureIsThrownByTheNextCallAndNothingStays()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"b.sql"_s);
        {
            BackupFile file(path, std::make_unique<FailingStage>(2));
            file.create();
            bool thrown = false;
            try {
                for (int i = 0; i < 64 && !thrown; ++i)
                    file.append(scriptBytes(qsizetype(BackupFile::BufferBytes)));
            } catch (const Failure& failure) {
                thrown = true;
                QCOMPARE(failure.description(), u"No space left on device"_s);
                QCOMPARE(failure.number(), 61);
            }
            QVERIFY(thrown);
            QVERIFY_THROWS_EXCEPTION(Failure, file.finishWriting()); // and it stays failed
            QVERIFY_THROWS_EXCEPTION(Failure, file.commit(1000));
            QVERIFY(!file.isCommitted());
        }
        QCOMPARE(filesIn(dir.path()), QStringList()); // the working file went with the failed backup
    }

    void fullDiskIsReportedWithFileContsSteps_data()
    {
        QTest::addColumn<bool>("compress");
        QTest::newRow("plain") << false;
        QTest::newRow("compressed") << true;
    }

    void fullDiskIsReportedWithFileContsSteps()
    {
        QFETCH(bool, compress);
        MemoryDatabase db;
        auto& table = db.addTable(u"Fill"_s, {{u"n"_s, u"int"_s, {}, 10, 0}, {u"t"_s, u"varchar"_s, 200, {}, {}}});
        table.generator = [](qint64 index, MemoryDatabase::Row& row) {
            if (index >= 400'000)
                return false;
            row = {FieldValue::ofText(QString::number(index * 2654435761u % 1000003), FieldValue::Kind::Integer),
                   FieldValue::ofText(u"note "_s + QString::number(index * 40503u % 65521))};
            return true;
        };
        QTemporaryDir dir;
        FakeDialogs dialogs;
        FakeClock clock;
        FixedDumpSource source(u"HOST"_s, u"Sales"_s, dir.path());
        source.chosen.compress = compress;
        PlainStatusFrame status;
        int pumps = 0;
        IntervalSave save(
            BackupContext{db, dialogs, clock, source, [&] { ++pumps; }, dir.filePath(u"backups.log"_s), {}, {}});
        bool saved = true;
        {
            // The working file may not pass 512 KB: its writes fail as on a full disk, on the writer thread.
            const FileSizeLimit limit(512 * 1024);
            QVERIFY(limit.isSet());
            saved = save.SaveAll(u"Driver={SQL Server};"_s, status);
        }
        QVERIFY(!saved);
        const QString reason = QString::fromLocal8Bit(std::strerror(EFBIG));
        const QStringList reports = dialogs.errorReports();
        QCOMPARE(reports.size(), 1);
        QCOMPARE(reports[0], composeErrorReport(reason, errorReportLocation(u"IntervalSave"_s, u"FileCont"_s), 128));
        QCOMPARE(filesIn(dir.path()), QStringList{u"backups.log"_s});
        QVERIFY(readBytes(dir.filePath(u"backups.log"_s)).endsWith((u": "_s + reason + u"\r\n"_s).toUtf8()));
        QCOMPARE(status.caption(), u"Auto Backup Failed at 8/31/2021 9:30:12 AM"_s);
    }
};

QTEST_GUILESS_MAIN(TestBackupFile)
#include "tst_backupfile.moc"
