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
// Usage: bench_peer [rows] [long-value-megabytes]
//        bench_peer --long-value megabytes      (the child: one backup of the long-value database)

#include "BenchSupport.h"
#include "ConnectionSettings.h"
#include "FakeClock.h"
#include "FakeDialogs.h"
#include "IntervalSave.h"
#include "OdbcConnection.h"
#include "Views.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>

using namespace Qt::Literals::StringLiterals;

namespace {

const QString RowsDatabase = u"benchrows"_s;
const QString LongDatabase = u"benchlong"_s;

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
};

Backup backUp(OdbcConnectionFactory& factory, const Peer& peer, const QString& database, const QString& folder)
{
    FakeDialogs dialogs;
    SystemClock clock;
    FixedDumpSource source(u"PEER"_s, database, folder);
    PlainStatusFrame status;
    QElapsedTimer timer;
    Backup backup;
    // The dump lets the window's events run first just before it asks for the first table's rows.
    const auto firstEvents = [&] {
        if (backup.beforeFirstRow == 0)
            backup.beforeFirstRow = double(timer.nsecsElapsed()) / 1e9;
    };
    IntervalSave save(BackupContext{factory, dialogs, clock, source, firstEvents, folder + u"/backups.log"_s, {}, {}});
    timer.start();
    backup.ok = save.SaveAll(peer.connectionString(database), status);
    backup.seconds = double(timer.nsecsElapsed()) / 1e9;
    backup.bytes = QFileInfo(save.lastOutputPath()).size();
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
QStringList ordersBatches(qint64 rows)
{
    return {u"CREATE TABLE orders (Id INT, Customer NVARCHAR(50), Placed DATETIME, Amount DECIMAL(12,2), Paid BIT, "
            u"Rate FLOAT, Note VARCHAR(200), Ref INT)"_s,
            u"WITH d AS (SELECT 0 AS n UNION ALL SELECT 1 UNION ALL SELECT 2 UNION ALL SELECT 3 UNION ALL SELECT 4 "
            u"UNION ALL SELECT 5 UNION ALL SELECT 6 UNION ALL SELECT 7 UNION ALL SELECT 8 UNION ALL SELECT 9), "
            u"i AS (SELECT a.n + 10 * b.n + 100 * c.n + 1000 * e.n + 10000 * f.n + 100000 * g.n + 1 AS n "
            u"FROM d a CROSS JOIN d b CROSS JOIN d c CROSS JOIN d e CROSS JOIN d f CROSS JOIN d g) "
            u"INSERT INTO orders SELECT n, CONCAT(CASE n % 3 WHEN 0 THEN 'Baker''s' WHEN 1 THEN 'O''Neil' ELSE "
            u"'Smith' END, ' & Sons no. ', n % 100000), DATEADD(SECOND, n % 86400, DATEADD(DAY, n % 12000, "
            u"CAST('1990-01-01' AS DATETIME))), CAST((CAST(n AS BIGINT) * 7919) % 100000000 AS DECIMAL(12,2)) / 100, "
            u"n % 2, "
            u"n / 7.0E0, LEFT(REPLICATE('the quick brown fox jumps over the lazy dog ', 5), 20 + n % 181), "
            u"CASE WHEN n % 3 = 0 THEN NULL ELSE n END FROM i WHERE n <= %1"_s.arg(rows)};
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

    const qint64 rows = args.size() > 1 ? args[1].toLongLong() : 300'000;
    const qint64 longMegabytes = args.size() > 2 ? args[2].toLongLong() : 200;
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
    return 0;
}
