// The restore, timed: a generated script in the program's own format (several tables) restored by ExecuteScript
// through unixODBC and FreeTDS, with one connection and with two (--jobs 2), against today's restore kept here as the
// baseline (the same batches, each in autocommit, on one connection), in the same run. Into the TDS test server,
// which answers at once (the figures show the client's own cost), and into a real T-SQL server when
// TESSALINE_TEST_SERVER (with TESSALINE_TEST_USER and TESSALINE_TEST_PASSWORD) names one (scripts/bench starts the
// bundled peer). Prints key=value; for the real server the same keys begin with "peer_":
//   restore_script_mb              the size of the script restored
//   restore_rows_per_s             INSERT statements divided by the restore's seconds, one connection
//   restore_rows_per_s_jobs2       the same over two connections
//   restore_vs_autocommit          the restore's seconds over the baseline's, one connection
//   restore_vs_autocommit_jobs2    the same over two connections
//   restore_peak_rss_mb            the restoring process's largest peak resident memory (VmHWM, reset before each
//                                  restore) over both; the server runs in a child process; _jobs1 and _jobs2 each
//   restore_max_batch_bytes        the largest batch the TDS server received from the restore, in bytes (UTF-16)
//   restore_batches                batches the TDS server received from the restore, one connection
//   restore_vs_fisql               on a smaller script of the same kind: the restore's seconds divided by those of
//                                  `fisql -i` on that script with GO lines (fisql reads its input slowly)
//   restore_gzip_inflate_s, restore_gzip_expand_s
//                                  the compressed script: decompressing it once, and decompressing it into a private
//                                  temporary file (what --jobs does with it)
// Usage: bench_restore [megabytes] [fisql-megabytes] [peer-rows]   (defaults 256, 16 and 300000)
//        bench_restore --serve         (the child: prints "port=<n>"; "stats" on stdin answers
//                                       "batches=<n> max=<bytes>" and forgets them; ends when stdin ends)

#include "BenchSupport.h"
#include "Clock.h"
#include "ExecuteScript.h"
#include "FakeDialogs.h"
#include "Gzip.h"
#include "OdbcConnection.h"
#include "ParallelRestore.h"
#include "ScriptBatcher.h"
#include "ScriptRestore.h"
#include "TdsServer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStringDecoder>
#include <QTemporaryDir>
#include <QTemporaryFile>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <iostream>
#include <string>

using namespace Qt::Literals::StringLiterals;

namespace {

const QByteArray Database = "BenchRestore";

int serve()
{
    tds::TdsServer server;
    server.setRecordBatches(false); // a gigabyte of batches would be held otherwise
    if (!server.start())
        return 1;
    std::printf("port=%u\n", unsigned(server.port()));
    std::fflush(stdout);
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line == "stats") {
            const QList<qsizetype> sizes = server.batchBytes();
            const qsizetype largest = sizes.isEmpty() ? 0 : *std::max_element(sizes.begin(), sizes.end());
            std::printf("batches=%lld max=%lld\n", static_cast<long long>(sizes.size()),
                        static_cast<long long>(largest));
            std::fflush(stdout);
            server.clearRecords();
        }
    }
    server.stop();
    return 0;
}

void resetPeakRss()
{
    QFile clear(u"/proc/self/clear_refs"_s);
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

/** VmHWM: the peak resident memory since the last reset, in MiB. */
double peakRssSinceReset()
{
    QFile status(u"/proc/self/status"_s);
    if (!status.open(QIODevice::ReadOnly))
        return peakRssMb();
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    return peakRssMb();
}

double cpuSeconds(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

const QStringList Tables = {u"BenchA"_s, u"BenchB"_s, u"BenchC"_s, u"BenchD"_s};

/**
 * Writes a script of the program's own format with `rows` rows over four tables (40, 30, 20 and 10 per cent) to
 * `path`, and (unless `goPath` is empty) the same script with a GO line after the database block, after the USE, after
 * each table's structure and after every 1,000 INSERT statements to `goPath`. Its header and database block are those
 * of the worked example in tests/data, for the database BenchRestore. Returns the rows, -1 when it cannot write.
 */
qint64 writeScripts(const QString& path, const QString& goPath, qint64 rows)
{
    QFile out(path);
    QFile go(goPath);
    QFile example(QStringLiteral(TESSALINE_TEST_DATA "/backup/worked-example.sql"));
    if (!out.open(QIODevice::WriteOnly) || (!goPath.isEmpty() && !go.open(QIODevice::WriteOnly))
        || !example.open(QIODevice::ReadOnly))
        return -1;
    const auto both = [&](const QByteArray& text) {
        out.write(text);
        if (go.isOpen())
            go.write(text);
    };
    const auto goLine = [&] {
        if (go.isOpen())
            go.write("GO\r\n");
    };
    const QList<QByteArray> lines = example.readAll().split('\n');
    QByteArray head;
    for (qsizetype i = 0; i < 48 && i < lines.size(); ++i)
        head += lines[i] + '\n';
    head.replace("Sales", Database);
    const qsizetype use = head.indexOf(QByteArray("\r\n\r\n--\r\nUSE [" + Database + "]"));
    both(head.left(use));
    goLine();
    both(head.mid(use));
    goLine();

    const QByteArray words = "the quick brown fox jumps over the lazy dog while the backup runs, line\r\nbreaks too ";
    qint64 written = 0;
    for (qsizetype t = 0; t < Tables.size(); ++t) {
        const QByteArray name = Tables[t].toLatin1();
        both("--\r\n-- Table structure for table [" + name
             + "]\r\n--\r\n\r\n"
               "IF  EXISTS (SELECT * FROM dbo.sysobjects WHERE id = OBJECT_ID(N'[dbo].["
             + name
             + "]') AND "
               "OBJECTPROPERTY(id, N'IsUserTable') = 1) DROP TABLE [dbo].["
             + name
             + "] \r\n"
               "CREATE TABLE ["
             + name
             + "] ([Id] INT,[Name] NVARCHAR(50),[Created] DATETIME,[Amount] DECIMAL,"
               "[Active] BIT,[Ratio] FLOAT,[Note] VARCHAR(200),[Extra] NVARCHAR(30))\r\n");
        goLine();
        both("\r\n--\r\n-- Dumping data for table [" + name + "]\r\n--\r\n\r\n");
        const qint64 tableRows = t + 1 == Tables.size() ? rows - written : rows * (4 - t) / 10;
        QByteArray chunk;
        for (qint64 r = 0; r < tableRows; ++r) {
            const qint64 i = written++;
            chunk += "INSERT INTO [" + name + "] VALUES('" + QByteArray::number(i + 1) + "', 'Baker''s & Sons no. "
                + QByteArray::number(i % 100000) + "', '" + QByteArray::number(1 + i % 12) + "/"
                + QByteArray::number(1 + i % 28) + "/1995 " + QByteArray::number(1 + i % 12) + ":"
                + QByteArray::number(10 + i % 50) + ":00 PM', '" + QByteArray::number(double(i % 100000) / 100, 'f', 2)
                + "', '" + (i % 2 == 0 ? "True" : "False") + "', '" + QByteArray::number(double(i) / 7.0, 'g', 15)
                + "', '" + words.left(20 + int(i % 81)) + "', '" + (i % 3 == 2 ? QByteArray() : "extra") + "');\r\n";
            if ((r + 1) % 1000 == 0) {
                both(chunk);
                goLine();
                chunk.clear();
            }
        }
        chunk += "\r\n";
        both(chunk);
        goLine();
    }
    return written;
}

/** Today's restore, kept as the baseline: the same batches on one connection, each in autocommit. */
void restoreInAutocommit(ConnectionFactory& factory, const QString& connectionString, const QString& path)
{
    std::unique_ptr<Connection> connection = factory.createConnection();
    connection->Open(connectionString);
    connection->Execute(u"SET DATEFORMAT mdy"_s)->Close();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw Failure(file.errorString());
    QStringDecoder decoder(QStringConverter::Utf8);
    ScriptBatcher batcher;
    QByteArray piece(256 * 1024, Qt::Uninitialized);
    const auto send = [&] {
        while (batcher.hasBatch()) {
            try {
                connection->Execute(batcher.takeBatch().text)->Close();
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
}

struct Timing
{
    double seconds = 0;
    double cpu = 0;
    double rssMb = 0;
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.value(1) == u"--serve"_s)
        return serve();
    const qint64 megabytes = args.size() > 1 ? args[1].toLongLong() : 256;
    const qint64 fisqlMegabytes = args.size() > 2 ? args[2].toLongLong() : 16;
    const qint64 peerRows = args.size() > 3 ? args[3].toLongLong() : 300'000;
    // About 230 bytes a row in the generated script.
    const qint64 bytesPerRow = 230;

    QProcess server;
    server.setProgram(app.applicationFilePath());
    server.setArguments({u"--serve"_s});
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.start();
    if (!server.waitForStarted() || !server.waitForReadyRead(30'000)) {
        std::fprintf(stderr, "bench_restore: the server did not start\n");
        return 1;
    }
    const QString port = QString::fromLatin1(server.readLine()).trimmed().section(u'=', 1);
    const auto serverStats = [&server](qint64& batches, qint64& largest) {
        server.write("stats\n");
        server.waitForReadyRead(30'000);
        const QString line = QString::fromLatin1(server.readLine()).trimmed();
        batches = line.section(u' ', 0, 0).section(u'=', 1).toLongLong();
        largest = line.section(u' ', 1, 1).section(u'=', 1).toLongLong();
    };

    QTemporaryDir dir;
    OdbcConnectionFactory factory(30);
    FakeDialogs dialogs;
    SystemClock clock;
    ConnectionSettings connection;
    connection.Server = u"127.0.0.1"_s;
    connection.Port = port;
    connection.Database = QString::fromLatin1(Database);
    connection.UserName = u"bench"_s;
    connection.Password = u"bench"_s;
    qint64 discard = 0;
    serverStats(discard, discard);
    // One restore of a file: by today's batches in autocommit (jobs 0) or by ExecuteScript over `jobs` connections.
    const auto restore = [&](const ConnectionSettings& target, const QString& path, int jobs, Timing& timing) {
        RestoreOptions options;
        options.clock = &clock;
        options.jobs = jobs;
        resetPeakRss();
        QElapsedTimer timer;
        const double cpuBefore = cpuSeconds(RUSAGE_SELF);
        timer.start();
        try {
            if (jobs == 0)
                restoreInAutocommit(factory, BuildConnectionString(target), path);
            else
                ExecuteScript(factory, dialogs, target, path, options);
        } catch (const Failure& error) {
            std::fprintf(stderr, "bench_restore: the restore failed: %s\n", qPrintable(error.description()));
            return false;
        }
        timing.seconds = double(timer.nsecsElapsed()) / 1e9;
        timing.cpu = cpuSeconds(RUSAGE_SELF) - cpuBefore;
        timing.rssMb = peakRssSinceReset();
        std::fprintf(stderr, "bench_restore: %s: %.2f s (cpu %.2f s, peak %.1f MiB)\n",
                     jobs == 0 ? "autocommit baseline" : qPrintable(u"--jobs %1"_s.arg(jobs)), timing.seconds,
                     timing.cpu, timing.rssMb);
        return true;
    };
    // The three restores of a script, and their figures under `prefix`.
    const auto compare = [&](const QString& prefix, const ConnectionSettings& target, const QString& path, qint64 rows,
                             const std::function<bool()>& check, QStringList& figures) {
        Timing baseline;
        Timing one;
        Timing two;
        if (!restore(target, path, 0, baseline) || !check())
            return false;
        if (!restore(target, path, 1, one) || !check())
            return false;
        qint64 batches = 0;
        qint64 largest = 0;
        serverStats(batches, largest);
        if (!restore(target, path, 2, two) || !check())
            return false;
        serverStats(discard, discard);
        const auto figure = [&](const char* key, double value, int decimals) {
            figures.append(u"%1%2=%3"_s.arg(prefix, QString::fromLatin1(key), QString::number(value, 'f', decimals)));
        };
        figure("restore_script_mb", double(QFile(path).size()) / (1024.0 * 1024.0), 0);
        figure("restore_rows_per_s", double(rows) / one.seconds, 0);
        figure("restore_rows_per_s_jobs2", double(rows) / two.seconds, 0);
        figure("restore_vs_autocommit", one.seconds / baseline.seconds, 2);
        figure("restore_vs_autocommit_jobs2", two.seconds / baseline.seconds, 2);
        figure("restore_peak_rss_mb", std::max(one.rssMb, two.rssMb), 1);
        figure("restore_peak_rss_mb_jobs1", one.rssMb, 1);
        figure("restore_peak_rss_mb_jobs2", two.rssMb, 1);
        if (prefix.isEmpty()) {
            figure("restore_max_batch_bytes", double(largest), 0);
            figure("restore_batches", double(batches), 0);
        }
        return true;
    };

    QStringList figures;
    const QString script = dir.filePath(u"restore.sql"_s);
    const qint64 rows = writeScripts(script, QString(), megabytes * 1024 * 1024 / bytesPerRow);
    if (rows <= 0) {
        std::fprintf(stderr, "bench_restore: the script could not be written\n");
        return 1;
    }
    std::fprintf(stderr, "bench_restore: TDS test server: %.0f MiB script, %lld rows in %lld tables\n",
                 double(QFile(script).size()) / (1024.0 * 1024.0), static_cast<long long>(rows),
                 static_cast<long long>(Tables.size()));
    if (!compare(
            QString(), connection, script, rows, [] { return true; }, figures))
        return 1;

    // A compressed script: decompressed once, and into the private file that --jobs restores from.
    {
        const QString packed = dir.filePath(u"restore.sql.gz"_s);
        QFile in(script);
        QFile out(packed);
        if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly))
            return 1;
        GzipCompressor compressor;
        while (!in.atEnd())
            out.write(compressor.feed(in.read(1024 * 1024)));
        out.write(compressor.finish());
        out.close();
        QElapsedTimer timer;
        timer.start();
        const std::unique_ptr<QIODevice> reader = openScriptFile(packed);
        QByteArray piece(256 * 1024, Qt::Uninitialized);
        while (reader->read(piece.data(), piece.size()) > 0) { }
        figures.append(u"restore_gzip_inflate_s=%1"_s.arg(double(timer.nsecsElapsed()) / 1e9, 0, 'f', 2));
        timer.restart();
        ExpandScript(packed, QFile(script).size()).reset();
        figures.append(u"restore_gzip_expand_s=%1"_s.arg(double(timer.nsecsElapsed()) / 1e9, 0, 'f', 2));
        QFile::remove(packed);
    }
    QFile::remove(script);

    // The comparison on a smaller script: the same kind of rows, once without and once with GO lines.
    const QString small = dir.filePath(u"small.sql"_s);
    const QString smallGo = dir.filePath(u"small-go.sql"_s);
    const qint64 smallRows = writeScripts(small, smallGo, fisqlMegabytes * 1024 * 1024 / bytesPerRow);
    Timing smallTiming;
    if (smallRows <= 0 || !restore(connection, small, 1, smallTiming))
        return 1;
    serverStats(discard, discard);
    // fisql speaks db-lib; its server entry comes from a throwaway freetds.conf.
    const QString conf = dir.filePath(u"freetds.conf"_s);
    {
        QFile file(conf);
        if (!file.open(QIODevice::WriteOnly))
            return 1;
        file.write(u"[bench]\n\thost = 127.0.0.1\n\tport = %1\n\ttds version = 7.4\n"_s.arg(port).toUtf8());
    }
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"FREETDSCONF"_s, conf);
    QProcess fisql;
    fisql.setProcessEnvironment(environment);
    fisql.setStandardOutputFile(QProcess::nullDevice());
    const double fisqlCpuBefore = cpuSeconds(RUSAGE_CHILDREN);
    QElapsedTimer timer;
    timer.start();
    fisql.start(
        u"fisql"_s,
        {u"-U"_s, u"bench"_s, u"-P"_s, u"bench"_s, u"-S"_s, u"bench"_s, u"-D"_s, u"master"_s, u"-i"_s, smallGo});
    if (!fisql.waitForStarted()) {
        std::fprintf(stderr, "bench_restore: fisql did not start\n");
        return 1;
    }
    fisql.waitForFinished(-1);
    const double fisqlSeconds = double(timer.nsecsElapsed()) / 1e9;
    const double fisqlCpu = cpuSeconds(RUSAGE_CHILDREN) - fisqlCpuBefore;
    qint64 fisqlBatches = 0;
    qint64 fisqlLargest = 0;
    serverStats(fisqlBatches, fisqlLargest);
    if (fisql.exitCode() != 0 || fisqlBatches < smallRows / 1000) {
        std::fprintf(stderr, "bench_restore: fisql failed (exit %d, %lld batches): %s\n", fisql.exitCode(),
                     static_cast<long long>(fisqlBatches), fisql.readAllStandardError().constData());
        return 1;
    }
    // Other work on the machine stretches wall-clock times; the CPU times show each client's own cost.
    std::fprintf(stderr,
                 "bench_restore: %.0f MiB script: restore %.2f s (cpu %.2f s), fisql %.2f s (cpu %.2f s, %lld "
                 "batches)\n",
                 double(QFile(small).size()) / (1024.0 * 1024.0), smallTiming.seconds, smallTiming.cpu, fisqlSeconds,
                 fisqlCpu, static_cast<long long>(fisqlBatches));

    figures.append(u"restore_vs_fisql=%1"_s.arg(smallTiming.seconds / fisqlSeconds, 0, 'f', 2));

    // A real T-SQL server: the script of `peerRows` rows, into a database it drops and re-creates each time.
    const QString peer = qEnvironmentVariable("TESSALINE_TEST_SERVER");
    if (!peer.isEmpty()) {
        ConnectionSettings target;
        target.Server = peer.section(u',', 0, 0);
        target.Port = peer.section(u',', 1, 1);
        target.Database = u"master"_s;
        target.UserName = qEnvironmentVariable("TESSALINE_TEST_USER");
        target.Password = qEnvironmentVariable("TESSALINE_TEST_PASSWORD");
        const QString peerScript = dir.filePath(u"peer.sql"_s);
        const qint64 written = writeScripts(peerScript, QString(), peerRows);
        std::fprintf(stderr, "bench_restore: %s: %.0f MiB script, %lld rows in %lld tables\n", qPrintable(peer),
                     double(QFile(peerScript).size()) / (1024.0 * 1024.0), static_cast<long long>(written),
                     static_cast<long long>(Tables.size()));
        // Every row arrived.
        const auto check = [&] {
            qint64 count = 0;
            try {
                std::unique_ptr<Connection> counter = factory.createConnection();
                counter->Open(BuildConnectionString(target.withDatabase(QString::fromLatin1(Database))));
                for (const QString& table : Tables) {
                    std::unique_ptr<RecordSet> result = counter->Execute(u"SELECT COUNT(*) FROM ["_s + table + u"]"_s);
                    count += result->Fields(0).text.toLongLong();
                    result->Close();
                }
                counter->Close();
            } catch (const Failure& error) {
                std::fprintf(stderr, "bench_restore: counting rows failed: %s\n", qPrintable(error.description()));
                return false;
            }
            if (count != written)
                std::fprintf(stderr, "bench_restore: %lld rows restored of %lld\n", static_cast<long long>(count),
                             static_cast<long long>(written));
            return count == written;
        };
        if (written <= 0 || !compare(u"peer_"_s, target, peerScript, written, check, figures))
            return 1;
    } else {
        std::fprintf(stderr, "bench_restore: no real server (TESSALINE_TEST_SERVER): the peer_ figures are left out\n");
    }

    server.closeWriteChannel();
    server.waitForFinished(10'000);
    for (const QString& figure : figures)
        std::printf("%s\n", qPrintable(figure));
    return 0;
}
