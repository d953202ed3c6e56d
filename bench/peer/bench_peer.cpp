// Backups from a real T-SQL server (the bundled peer, or the server TESSALINE_TEST_SERVER names, with
// TESSALINE_TEST_USER and TESSALINE_TEST_PASSWORD), through unixODBC and FreeTDS. Prints key=value:
//   dump_vs_freebcp        a full backup (SaveAll) of a database holding one 300,000-row table of the engine
//                          benchmark's 8-column shape, in wall seconds, over those of FreeTDS's `freebcp queryout -c`
//                          of the same table; best of three each
//   dump_before_first_row_s
//                          of that backup, the seconds before the table's rows are asked for (login, snapshot, file
//                          names, catalogue); best of three
//   dump_long_value_peak_rss_mb_peer
//                          the peak memory of a process that backs up a table holding one varbinary(max) value of
//                          200 MB (measured in a child process of its own, so nothing else is counted)
//   dump_complete_vs_default
//                          a database of four tables of that shape (240,000 rows: 40, 30, 20 and 10 per cent), the
//                          complete-schema backup's wall seconds over the default backup's, best of three each, taken
//                          in turn in the same run
//   dump_complete_vs_default_rows
//                          the same from the moment each backup asks for its first rows (after the catalogue, which
//                          the complete schema reads in about 30 queries of the catalogue views)
//   dump_complete_vs_default_cpu
//                          the processor seconds the whole machine spent on each backup (the server on it included,
//                          from /proc/stat), complete schema over default, best of three each
//   dump_complete_floor_vs_default
//                          the lowest dump_complete_vs_default these processors allow: the complete-schema backup's
//                          processor seconds spread over every processor, over the default backup's wall seconds
//   restore_vs_autocommit_complete_jobs2
//                          the complete-schema backup of it (multi-row INSERTs) restored by ExecuteScriptAs with two
//                          connections, over the default backup's batches sent each in autocommit on one connection
//                          (the restore before batches of rows went into transactions), both into a scratch database
// Usage: bench_peer [rows] [long-value-megabytes] [multi-row-rows]
//        bench_peer --multi-row [rows]         (only the last two figures)
//        bench_peer --long-value megabytes      (the child: one backup of the long-value database)

#include "BenchSupport.h"
#include "ConnectionSettings.h"
#include "ExecuteScript.h"
#include "FakeClock.h"
#include "FakeDialogs.h"
#include "IntervalSave.h"
#include "OdbcConnection.h"
#include "RestoreAs.h"
#include "ScriptBatcher.h"
#include "ScriptRestore.h"
#include "Views.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStringDecoder>
#include <QTemporaryDir>

#include <cstdio>

using namespace Qt::Literals::StringLiterals;

namespace {

const QString RowsDatabase = u"benchrows"_s;
const QString LongDatabase = u"benchlong"_s;
const QString MultiDatabase = u"benchmulti"_s;
const QString MultiCopy = u"benchmulti_copy"_s;
const QStringList MultiTables = {u"orders_a"_s, u"orders_b"_s, u"orders_c"_s, u"orders_d"_s};

struct Peer
{
    QString host;
    QString port;
    QString user;
    QString password;

    QString connectionString(const QString& database) const
    {
        ConnectionSettings s;
        s.Server = host;
        s.Port = port;
        s.UserName = user;
        s.Password = password;
        s.Database = database;
        return BuildConnectionString(s);
    }
};

std::optional<Peer> namedPeer()
{
    const QString server = qEnvironmentVariable("TESSALINE_TEST_SERVER").trimmed();
    if (server.isEmpty())
        return std::nullopt;
    const qsizetype comma = server.lastIndexOf(u',');
    return Peer{comma < 0 ? server : server.left(comma), comma < 0 ? u"1433"_s : server.mid(comma + 1),
                qEnvironmentVariable("TESSALINE_TEST_USER"), qEnvironmentVariable("TESSALINE_TEST_PASSWORD")};
}

/** Runs batches in the database; the first error's text, or "". */
QString execute(OdbcConnectionFactory& factory, const Peer& peer, const QString& database, const QStringList& batches)
{
    try {
        std::unique_ptr<Connection> connection = factory.createConnection();
        connection->Open(peer.connectionString(database));
        for (const QString& batch : batches) {
            if (std::unique_ptr<RecordSet> result = connection->Execute(batch))
                result->Close();
        }
        connection->Close();
        return QString();
    } catch (const Failure& failure) {
        return failure.description();
    }
}

/** The first value of a query as a number; -1 when it fails. */
qint64 number(OdbcConnectionFactory& factory, const Peer& peer, const QString& database, const QString& query)
{
    try {
        std::unique_ptr<Connection> connection = factory.createConnection();
        connection->Open(peer.connectionString(database));
        std::unique_ptr<RecordSet> result = connection->Execute(query);
        const qint64 value = result->Eof() ? -1 : result->Fields(0).text.trimmed().toLongLong();
        result->Close();
        connection->Close();
        return value;
    } catch (const Failure&) {
        return -1;
    }
}

/** Makes the database with its one table unless it is there with the rows already. */
bool ensureDatabase(OdbcConnectionFactory& factory,
                    const Peer& peer,
                    const QString& database,
                    const QString& countQuery,
                    qint64 expected,
                    const QStringList& fill)
{
    if (number(factory, peer, database, countQuery) == expected)
        return true;
    execute(factory, peer, u"master"_s, {u"DROP DATABASE "_s + database});
    QString error = execute(factory, peer, u"master"_s, {u"CREATE DATABASE "_s + database});
    if (error.isEmpty())
        error = execute(factory, peer, database, fill);
    if (!error.isEmpty()) {
        std::fprintf(stderr, "bench_peer: the database %s could not be made: %s\n", qPrintable(database),
                     qPrintable(error));
        return false;
    }
    return number(factory, peer, database, countQuery) == expected;
}

struct Backup
{
    bool ok = false;
    double seconds = 0;
    double beforeFirstRow = 0; ///< from the start to the first table's rows being asked for
    qint64 bytes = 0;
    double busySeconds = 0; ///< what every processor of the machine spent on it, the server's share included
};

/** One backup; the file is removed, or moved to `keepAs` when that is given. */
Backup backUp(OdbcConnectionFactory& factory,
              const Peer& peer,
              const QString& database,
              const QString& folder,
              bool complete = false,
              const QString& keepAs = QString())
{
    FakeDialogs dialogs;
    SystemClock clock;
    FixedDumpSource source(u"PEER"_s, database, folder);
    source.chosen.complete = complete;
    PlainStatusFrame status;
    QElapsedTimer timer;
    Backup backup;
    // The dump lets the window's events run first just before it asks for the first table's rows.
    const auto firstEvents = [&] {
        if (backup.beforeFirstRow == 0)
            backup.beforeFirstRow = double(timer.nsecsElapsed()) / 1e9;
    };
    IntervalSave save(BackupContext{factory, dialogs, clock, source, firstEvents, folder + u"/backups.log"_s, {}, {}});
    const double busyBefore = machineBusySeconds();
    timer.start();
    backup.ok = save.SaveAll(peer.connectionString(database), status);
    backup.seconds = double(timer.nsecsElapsed()) / 1e9;
    backup.busySeconds = machineBusySeconds() - busyBefore;
    backup.bytes = QFileInfo(save.lastOutputPath()).size();
    if (!keepAs.isEmpty()) {
        QFile::remove(keepAs);
        QFile::rename(save.lastOutputPath(), keepAs);
    }
    QFile::remove(save.lastOutputPath());
    for (const QString& report : dialogs.errorReports())
        std::fprintf(stderr, "bench_peer: error report: %s\n", qPrintable(report));
    return backup;
}

/** `freebcp "SELECT * FROM dbo.orders" queryout <file> -c` through a freetds.conf entry for the peer; seconds or -1. */
double freebcpSeconds(const Peer& peer, const QString& folder, qint64 rows)
{
    const QString conf = folder + u"/freetds.conf"_s;
    {
        QFile file(conf);
        if (!file.open(QIODevice::WriteOnly))
            return -1;
        file.write(
            u"[benchpeer]\n\thost = %1\n\tport = %2\n\ttds version = 7.4\n"_s.arg(peer.host, peer.port).toUtf8());
    }
    const QString out = folder + u"/orders.txt"_s;
    QProcess bcp;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"FREETDSCONF"_s, conf);
    bcp.setProcessEnvironment(environment);
    bcp.setProcessChannelMode(QProcess::MergedChannels);
    QElapsedTimer timer;
    timer.start();
    bcp.start(u"freebcp"_s,
              {u"SELECT * FROM dbo.orders"_s, u"queryout"_s, out, u"-c"_s, u"-S"_s, u"benchpeer"_s, u"-U"_s, peer.user,
               u"-P"_s, peer.password, u"-D"_s, RowsDatabase});
    if (!bcp.waitForFinished(600'000) || bcp.exitStatus() != QProcess::NormalExit || bcp.exitCode() != 0) {
        std::fprintf(stderr, "bench_peer: freebcp failed: %s\n", bcp.readAll().constData());
        return -1;
    }
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    QFile file(out);
    qint64 lines = 0;
    if (file.open(QIODevice::ReadOnly)) {
        while (!file.atEnd())
            lines += file.readLine().isEmpty() ? 0 : 1;
    }
    QFile::remove(out);
    if (lines != rows) {
        std::fprintf(stderr, "bench_peer: freebcp wrote %lld lines, not %lld\n", static_cast<long long>(lines),
                     static_cast<long long>(rows));
        return -1;
    }
    return seconds;
}

/** The 8 columns of the engine benchmark's table, filled on the server in one statement. */
QStringList ordersBatches(qint64 rows, const QString& table = u"orders"_s)
{
    return {u"CREATE TABLE %1 (Id INT, Customer NVARCHAR(50), Placed DATETIME, Amount DECIMAL(12,2), Paid BIT, "
            u"Rate FLOAT, Note VARCHAR(200), Ref INT)"_s.arg(table),
            u"WITH d AS (SELECT 0 AS n UNION ALL SELECT 1 UNION ALL SELECT 2 UNION ALL SELECT 3 UNION ALL SELECT 4 "
            u"UNION ALL SELECT 5 UNION ALL SELECT 6 UNION ALL SELECT 7 UNION ALL SELECT 8 UNION ALL SELECT 9), "
            u"i AS (SELECT a.n + 10 * b.n + 100 * c.n + 1000 * e.n + 10000 * f.n + 100000 * g.n + 1 AS n "
            u"FROM d a CROSS JOIN d b CROSS JOIN d c CROSS JOIN d e CROSS JOIN d f CROSS JOIN d g) "
            u"INSERT INTO %2 SELECT n, CONCAT(CASE n % 3 WHEN 0 THEN 'Baker''s' WHEN 1 THEN 'O''Neil' ELSE "
            u"'Smith' END, ' & Sons no. ', n % 100000), DATEADD(SECOND, n % 86400, DATEADD(DAY, n % 12000, "
            u"CAST('1990-01-01' AS DATETIME))), CAST((CAST(n AS BIGINT) * 7919) % 100000000 AS DECIMAL(12,2)) / 100, "
            u"n % 2, "
            u"n / 7.0E0, LEFT(REPLICATE('the quick brown fox jumps over the lazy dog ', 5), 20 + n % 181), "
            u"CASE WHEN n % 3 = 0 THEN NULL ELSE n END FROM i WHERE n <= %1"_s.arg(rows)
                .arg(table)};
}

/** The rows of the four tables together. */
QString multiCountQuery()
{
    QStringList counts;
    for (const QString& table : MultiTables)
        counts << u"(SELECT COUNT(*) FROM %1)"_s.arg(table);
    return u"SELECT "_s + counts.join(u" + "_s);
}

/**
 * The restore before batches of rows went into transactions, kept as the baseline: the script's batches sent one
 * after the other on one connection to master, each in autocommit, renamed into `target`.
 */
bool restoreInAutocommit(OdbcConnectionFactory& factory, const Peer& peer, const QString& path, const QString& target)
{
    try {
        std::unique_ptr<Connection> connection = factory.createConnection();
        connection->Open(peer.connectionString(u"master"_s));
        connection->Execute(u"SET DATEFORMAT mdy"_s)->Close();
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            throw Failure(file.errorString());
        QStringDecoder decoder(QStringConverter::Utf8);
        ScriptBatcher batcher;
        DatabaseRenamer renamer(target);
        QByteArray piece(256 * 1024, Qt::Uninitialized);
        const auto send = [&] {
            while (batcher.hasBatch()) {
                ScriptBatch batch = batcher.takeBatch();
                renamer.rewrite(batch);
                try {
                    connection->Execute(batch.text)->Close();
                } catch (const Failure& error) {
                    if (!IsContextChangeToMaster(error))
                        throw;
                }
            }
        };
        for (qint64 read = 0; (read = file.read(piece.data(), piece.size())) > 0;) {
            batcher.feed(QString(decoder.decode(QByteArrayView(piece.constData(), read))));
            send();
        }
        batcher.finish();
        send();
        connection->Close();
        return true;
    } catch (const Failure& error) {
        std::fprintf(stderr, "bench_peer: the autocommit restore failed: %s\n", qPrintable(error.description()));
        return false;
    }
}

/** The complete-schema dump against the default one, and the restore of its multi-row INSERTs over two connections. */
int multiRow(OdbcConnectionFactory& factory, const Peer& peer, qint64 rows)
{
    QStringList fill;
    qint64 filled = 0;
    for (qsizetype t = 0; t < MultiTables.size(); ++t) {
        const qint64 tableRows = t + 1 == MultiTables.size() ? rows - filled : rows * (4 - t) / 10;
        fill << ordersBatches(tableRows, MultiTables[t]);
        filled += tableRows;
    }
    if (!ensureDatabase(factory, peer, MultiDatabase, multiCountQuery(), rows, fill))
        return 1;
    QTemporaryDir dir;
    const QString plain = dir.filePath(u"default.sql"_s);
    const QString complete = dir.filePath(u"complete.sql"_s);
    double dumpDefault = -1;
    double dumpComplete = -1;
    double rowsDefault = -1;
    double rowsComplete = -1;
    double busyDefault = -1;
    double busyComplete = -1;
    for (int round = 0; round < 3; ++round) {
        const Backup one = backUp(factory, peer, MultiDatabase, dir.path(), false, plain);
        const Backup other = backUp(factory, peer, MultiDatabase, dir.path(), true, complete);
        if (!one.ok || !other.ok)
            return 1;
        std::fprintf(stderr,
                     "bench_peer: round %d: default backup %.2f s (%.1f MB, %.2f s before the first rows), complete "
                     "schema %.2f s (%.1f MB, %.2f s before the first rows); processor seconds, server included: "
                     "%.2f and %.2f\n",
                     round + 1, one.seconds, double(one.bytes) / 1e6, one.beforeFirstRow, other.seconds,
                     double(other.bytes) / 1e6, other.beforeFirstRow, one.busySeconds, other.busySeconds);
        busyDefault = round == 0 ? one.busySeconds : std::min(busyDefault, one.busySeconds);
        busyComplete = round == 0 ? other.busySeconds : std::min(busyComplete, other.busySeconds);
        dumpDefault = round == 0 ? one.seconds : std::min(dumpDefault, one.seconds);
        dumpComplete = round == 0 ? other.seconds : std::min(dumpComplete, other.seconds);
        rowsDefault
            = round == 0 ? one.seconds - one.beforeFirstRow : std::min(rowsDefault, one.seconds - one.beforeFirstRow);
        rowsComplete = round == 0 ? other.seconds - other.beforeFirstRow
                                  : std::min(rowsComplete, other.seconds - other.beforeFirstRow);
    }
    std::printf("dump_complete_vs_default=%.2f\n", dumpComplete / dumpDefault);
    // The complete schema's catalogue takes a fixed time, whatever the rows; from the first rows on, the two compare.
    std::printf("dump_complete_vs_default_rows=%.2f\n", rowsComplete / rowsDefault);
    // Where the server shares the machine, the processor time both take bounds the wall time from below: the complete
    // dump cannot take less than its processor seconds spread over every processor.
    if (busyDefault > 0 && busyComplete > 0) {
        const long processors = sysconf(_SC_NPROCESSORS_ONLN);
        std::printf("dump_complete_vs_default_cpu=%.2f\n", busyComplete / busyDefault);
        std::printf("dump_complete_floor_vs_default=%.2f\n", busyComplete / double(processors) / dumpDefault);
    }
    std::fflush(stdout);

    const auto restored = [&] {
        const qint64 count = number(factory, peer, MultiCopy, multiCountQuery());
        if (count != rows)
            std::fprintf(stderr, "bench_peer: %lld rows restored of %lld\n", static_cast<long long>(count),
                         static_cast<long long>(rows));
        return count == rows;
    };
    QElapsedTimer timer;
    timer.start();
    if (!restoreInAutocommit(factory, peer, plain, MultiCopy) || !restored())
        return 1;
    const double baseline = double(timer.nsecsElapsed()) / 1e9;
    FakeDialogs dialogs;
    RestoreOptions options;
    options.jobs = 2;
    ConnectionSettings settings;
    settings.Server = peer.host;
    settings.Port = peer.port;
    settings.UserName = peer.user;
    settings.Password = peer.password;
    settings.Database = u"master"_s;
    timer.restart();
    try {
        ExecuteScriptAs(factory, dialogs, settings, complete, MultiCopy, true, options);
    } catch (const Failure& error) {
        std::fprintf(stderr, "bench_peer: the restore failed: %s\n", qPrintable(error.description()));
        return 1;
    }
    const double jobs2 = double(timer.nsecsElapsed()) / 1e9;
    if (!restored())
        return 1;
    execute(factory, peer, u"master"_s, {u"DROP DATABASE "_s + MultiCopy});
    std::fprintf(stderr, "bench_peer: %lld rows: autocommit baseline %.2f s, complete schema with --jobs 2 %.2f s\n",
                 static_cast<long long>(rows), baseline, jobs2);
    std::printf("restore_vs_autocommit_complete_jobs2=%.2f\n", jobs2 / baseline);
    std::fflush(stdout);
    return 0;
}

int longValueChild(const Peer& peer, qint64 megabytes)
{
    OdbcConnectionFactory factory;
    const qint64 bytes = megabytes * 1024 * 1024;
    const QStringList fill
        = {u"CREATE TABLE documents (Id INT, Body VARBINARY(MAX))"_s,
           u"INSERT INTO documents VALUES (1, CONVERT(VARBINARY(MAX), REPLICATE(CONVERT(VARCHAR(MAX), "
           u"'0123456789abcdef'), %1)))"_s.arg(bytes / 16)};
    if (!ensureDatabase(factory, peer, LongDatabase, u"SELECT DATALENGTH(Body) FROM documents"_s, bytes, fill))
        return 1;
    QTemporaryDir dir;
    const double before = peakRssMb();
    const Backup backup = backUp(factory, peer, LongDatabase, dir.path());
    if (!backup.ok || backup.bytes < 2 * bytes) {
        std::fprintf(stderr, "bench_peer: the long-value backup failed\n");
        return 1;
    }
    std::fprintf(stderr, "bench_peer: %lld MB value backed up in %.1f s (%.1f MB before the backup)\n",
                 static_cast<long long>(megabytes), backup.seconds, before);
    std::printf("dump_long_value_peak_rss_mb_peer=%.1f\n", peakRssMb());
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const std::optional<Peer> peer = namedPeer();
    if (!peer) {
        std::fprintf(stderr, "bench_peer: no server named by TESSALINE_TEST_SERVER; nothing measured\n");
        return 0;
    }
    if (args.value(1) == u"--long-value"_s)
        return longValueChild(*peer, args.value(2, u"200"_s).toLongLong());
    if (args.value(1) == u"--multi-row"_s) {
        OdbcConnectionFactory factory;
        return multiRow(factory, *peer, args.value(2, u"240000"_s).toLongLong());
    }

    const qint64 rows = args.size() > 1 ? args[1].toLongLong() : 300'000;
    const qint64 longMegabytes = args.size() > 2 ? args[2].toLongLong() : 200;
    const qint64 multiRows = args.size() > 3 ? args[3].toLongLong() : 240'000;
    OdbcConnectionFactory factory;
    if (!ensureDatabase(factory, *peer, RowsDatabase, u"SELECT COUNT(*) FROM orders"_s, rows, ordersBatches(rows)))
        return 1;
    QTemporaryDir dir;
    double dump = -1;
    double bcp = -1;
    double beforeFirstRow = -1;
    for (int round = 0; round < 3; ++round) {
        const Backup backup = backUp(factory, *peer, RowsDatabase, dir.path());
        const double bcpSeconds = freebcpSeconds(*peer, dir.path(), rows);
        if (!backup.ok || bcpSeconds <= 0)
            return 1;
        std::fprintf(stderr,
                     "bench_peer: round %d: backup %.2f s (%.1f MB; %.2f s before the first row), freebcp %.2f s\n",
                     round + 1, backup.seconds, double(backup.bytes) / 1e6, backup.beforeFirstRow, bcpSeconds);
        beforeFirstRow = round == 0 ? backup.beforeFirstRow : std::min(beforeFirstRow, backup.beforeFirstRow);
        dump = round == 0 ? backup.seconds : std::min(dump, backup.seconds);
        bcp = round == 0 ? bcpSeconds : std::min(bcp, bcpSeconds);
    }
    std::printf("dump_vs_freebcp=%.2f\n", dump / bcp);
    std::printf("dump_before_first_row_s=%.2f\n", beforeFirstRow);
    std::fflush(stdout);

    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(), {u"--long-value"_s, QString::number(longMegabytes)});
    if (!child.waitForFinished(1'800'000) || child.exitCode() != 0) {
        std::fprintf(stderr, "bench_peer: the long-value backup did not finish\n");
        return 1;
    }
    std::printf("%s", child.readAllStandardOutput().constData());
    std::fflush(stdout);
    return multiRow(factory, *peer, multiRows);
}
