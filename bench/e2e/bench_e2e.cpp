// The whole path, timed: a complete dump (SaveAll) through unixODBC and FreeTDS from the TDS test server, against
// unixODBC's own client exporting the same table through the same driver from the same server. Prints key=value:
//   e2e_rows_per_s        rows of the table divided by the dump's seconds
//   e2e_vs_isql           the dump's seconds divided by those of `isql -b -d, -c` running SELECT * FROM the table
//   e2e_cpu_vs_isql       the dump's client CPU seconds (user + system of this process during SaveAll) divided by
//                         those of isql (its rusage as a waited-for child)
//   e2e_long_rows_per_s, e2e_long_vs_isql, e2e_long_cpu_vs_isql
//                         the same for a table of one varchar(max) column (read value by value, not in blocks)
//   e2e_peak_rss_mb       the dump process's peak resident memory (VmHWM); the server runs in a child process
// Each figure is the best of the repetitions; wall times depend on the machine's load, CPU times much less.
// Usage: bench_e2e [rows] [repetitions]      (defaults: 1000000 rows, best of 3)
//        bench_e2e --serve rows [long]       (the child: serves the table, prints "port=<n>", ends when stdin ends)

#include "BenchSupport.h"
#include "FakeClock.h"
#include "FakeDialogs.h"
#include "IntervalSave.h"
#include "OdbcConnection.h"
#include "TdsServer.h"
#include "Views.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <cstdio>
#include <iostream>
#include <random>
#include <string>

using namespace Qt::Literals::StringLiterals;

namespace {

const QString TableName = u"BenchRows"_s;
const QString Database = u"Bench"_s;

/** Pools of values, so that generating a row costs little next to sending it. */
struct ValuePools
{
    static constexpr int Size = 4096;
    QVariantList names, dates, amounts, notes, extras;

    ValuePools()
    {
        std::mt19937 random(20210831);
        const QStringList first = {u"Baker's"_s, u"O'Neil"_s, u"Smith"_s, u"D'Arcy"_s, u"Jones"_s, u"Miller"_s};
        const QString words = u"the quick brown fox jumps over the lazy dog while the backup runs "_s;
        for (int i = 0; i < Size; ++i) {
            names << QString(first[i % first.size()] + u" & Sons no. "_s + QString::number(random() % 100000));
            dates << QDateTime(QDate(1990, 1, 1).addDays(random() % 12000), QTime(0, 0).addSecs(random() % 86400));
            amounts << QString::number(double(random() % 100000000) / 100, 'f', 2);
            const int length = 20 + int(random() % 181);
            QString note;
            while (note.size() < length)
                note += words;
            notes << note.left(length);
            extras << QString(u"extra "_s + QString::number(random() % 1000));
        }
    }
};

/** One varchar(max) column of the same notes: the long-column path. */
tds::TableSpec longTable(qint64 rows)
{
    tds::TableSpec t;
    t.name = TableName;
    t.columns = {{u"Note"_s, tds::SqlType::VarChar, tds::MaxLength}};
    t.generatedRows = rows;
    auto pools = std::make_shared<ValuePools>();
    t.generator = [pools](qint64 i, tds::Row& row) { row[0] = pools->notes[(i * 31) % ValuePools::Size]; };
    return t;
}

tds::TableSpec benchTable(qint64 rows)
{
    tds::TableSpec t;
    t.name = TableName;
    t.columns = {{u"Id"_s, tds::SqlType::Int},
                 {u"Name"_s, tds::SqlType::NVarChar, 50},
                 {u"Created"_s, tds::SqlType::DateTime},
                 {u"Amount"_s, tds::SqlType::Decimal, 0, 12, 2},
                 {u"Active"_s, tds::SqlType::Bit},
                 {u"Ratio"_s, tds::SqlType::Float},
                 {u"Note"_s, tds::SqlType::VarChar, 200},
                 {u"Extra"_s, tds::SqlType::NVarChar, 30}};
    t.generatedRows = rows;
    auto pools = std::make_shared<ValuePools>();
    t.generator = [pools](qint64 i, tds::Row& row) {
        const auto k = qsizetype(i % ValuePools::Size);
        row[0] = i + 1;
        row[1] = pools->names[k];
        row[2] = pools->dates[(k * 7) % ValuePools::Size];
        row[3] = pools->amounts[(k * 13) % ValuePools::Size];
        row[4] = (i % 2) == 0;
        row[5] = double(i) / 7.0;
        row[6] = pools->notes[(k * 31) % ValuePools::Size];
        row[7] = (i % 3) == 2 ? QVariant() : pools->extras[k];
    };
    return t;
}

int serve(qint64 rows, bool longColumn)
{
    tds::TdsServer server;
    server.addTable(longColumn ? longTable(rows) : benchTable(rows));
    if (!server.start())
        return 1;
    std::printf("port=%u\n", unsigned(server.port()));
    std::fflush(stdout);
    std::string line;
    while (std::getline(std::cin, line)) { }
    server.stop();
    return 0;
}

// CPU seconds (user + system) of this process or of its waited-for children.
double cpuSeconds(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

qint64 countLines(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    qint64 lines = 0;
    QByteArray buffer(1 << 20, '\0');
    for (;;) {
        const qint64 n = file.read(buffer.data(), buffer.size());
        if (n <= 0)
            break;
        lines += std::count(buffer.constData(), buffer.constData() + n, '\n');
    }
    return lines;
}

struct Figures
{
    double dumpSeconds = 0, isqlSeconds = 0, dumpCpu = 0, isqlCpu = 0, rss = 0;
};

/** Best-of-`repetitions` figures of the dump and of isql against a server child serving one table. */
bool measure(const QString& program, qint64 rows, int repetitions, bool longColumn, Figures& best)
{
    QProcess server;
    server.setProgram(program);
    QStringList serverArguments{u"--serve"_s, QString::number(rows)};
    if (longColumn)
        serverArguments << u"long"_s;
    server.setArguments(serverArguments);
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.start();
    if (!server.waitForStarted() || !server.waitForReadyRead(30'000)) {
        std::fprintf(stderr, "bench_e2e: the server did not start\n");
        return false;
    }
    const QString port = QString::fromLatin1(server.readLine()).trimmed().section(u'=', 1);

    QTemporaryDir dir;
    OdbcConnectionFactory factory(30);
    FakeDialogs dialogs;
    FakeClock clock;
    FixedDumpSource source(u"127.0.0.1"_s, Database, dir.path());
    PlainStatusFrame status;
    const QString connectionString
        = u"Driver={SQL Server};Server=127.0.0.1,%1;Database=%2;Uid=bench;Pwd=bench;"_s.arg(port, Database);

    // The same driver, the same server, for unixODBC's isql: a DSN in a throwaway odbc.ini.
    const QString odbcIni = dir.filePath(u"odbc.ini"_s);
    {
        QFile ini(odbcIni);
        if (!ini.open(QIODevice::WriteOnly))
            return false;
        ini.write(u"[bench]\nDriver = SQL Server\nServer = 127.0.0.1\nPort = %1\nDatabase = %2\nTDS_Version = 7.4\n"_s
                      .arg(port, Database)
                      .toUtf8());
    }
    QProcessEnvironment isqlEnvironment = QProcessEnvironment::systemEnvironment();
    isqlEnvironment.insert(u"ODBCINI"_s, odbcIni);
    isqlEnvironment.insert(u"TDSVER"_s, u"7.4"_s);

    const char* const label = longColumn ? "varchar(max)" : "8 columns";
    for (int run = 0; run < repetitions; ++run) {
        clock.advanceMs(60'000); // a new file each run
        IntervalSave engine(
            BackupContext{factory, dialogs, clock, source, [] {}, dir.filePath(u"backups.log"_s), {}, {}});
        QElapsedTimer timer;
        const double dumpCpuBefore = cpuSeconds(RUSAGE_SELF);
        timer.start();
        const bool ok = engine.SaveAll(connectionString, status);
        const double dumpSeconds = double(timer.nsecsElapsed()) / 1e9;
        const double dumpCpu = cpuSeconds(RUSAGE_SELF) - dumpCpuBefore;
        best.rss = qMax(best.rss, peakRssMb());
        const qint64 insertLines = countLines(engine.lastOutputPath());
        if (!ok || !dialogs.errorReports().isEmpty() || insertLines < rows) {
            std::fprintf(stderr, "bench_e2e: the dump failed (%lld lines): %s\n", static_cast<long long>(insertLines),
                         qPrintable(dialogs.errorReports().join(u'\n')));
            return false;
        }
        QFile::remove(engine.lastOutputPath());

        const QString exported = dir.filePath(u"isql.csv"_s);
        QProcess isql;
        isql.setProcessEnvironment(isqlEnvironment);
        isql.setStandardOutputFile(exported);
        isql.setProcessChannelMode(QProcess::SeparateChannels);
        const double isqlCpuBefore = cpuSeconds(RUSAGE_CHILDREN);
        timer.restart();
        isql.start(u"isql"_s, {u"-b"_s, u"-d,"_s, u"-c"_s, u"bench"_s, u"bench"_s, u"bench"_s});
        if (!isql.waitForStarted()) {
            std::fprintf(stderr, "bench_e2e: isql did not start\n");
            return false;
        }
        isql.write(u"SELECT * FROM [%1]\n"_s.arg(TableName).toUtf8());
        isql.closeWriteChannel();
        isql.waitForFinished(-1);
        const double isqlSeconds = double(timer.nsecsElapsed()) / 1e9;
        const double isqlCpu = cpuSeconds(RUSAGE_CHILDREN) - isqlCpuBefore;
        const qint64 exportedLines = countLines(exported);
        if (isql.exitCode() != 0 || exportedLines < rows) {
            std::fprintf(stderr, "bench_e2e: isql failed (%lld lines): %s\n", static_cast<long long>(exportedLines),
                         isql.readAllStandardError().constData());
            return false;
        }
        QFile::remove(exported);
        const bool first = run == 0;
        best.dumpSeconds = first ? dumpSeconds : qMin(best.dumpSeconds, dumpSeconds);
        best.isqlSeconds = first ? isqlSeconds : qMin(best.isqlSeconds, isqlSeconds);
        best.dumpCpu = first ? dumpCpu : qMin(best.dumpCpu, dumpCpu);
        best.isqlCpu = first ? isqlCpu : qMin(best.isqlCpu, isqlCpu);
        // Other work on the machine stretches wall-clock times; the CPU times show each client's own cost.
        std::fprintf(stderr, "bench_e2e: %s, run %d: dump %.2f s (cpu %.2f s), isql %.2f s (cpu %.2f s)\n", label,
                     run + 1, dumpSeconds, dumpCpu, isqlSeconds, isqlCpu);
    }
    server.closeWriteChannel();
    server.waitForFinished(10'000);
    return true;
}

void print(const char* prefix, qint64 rows, const Figures& f)
{
    std::printf("%s_rows_per_s=%.0f\n", prefix, double(rows) / f.dumpSeconds);
    std::printf("%s_vs_isql=%.2f\n", prefix, f.dumpSeconds / f.isqlSeconds);
    std::printf("%s_cpu_vs_isql=%.2f\n", prefix, f.isqlCpu > 0 ? f.dumpCpu / f.isqlCpu : 0.0);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.value(1) == u"--serve"_s)
        return serve(args.value(2).toLongLong(), args.value(3) == u"long"_s);

    const qint64 rows = args.size() > 1 ? args[1].toLongLong() : 1'000'000;
    const int repetitions = args.size() > 2 ? qMax(1, args[2].toInt()) : 3;

    Figures bench, longColumn;
    if (!measure(app.applicationFilePath(), rows, repetitions, false, bench)
        || !measure(app.applicationFilePath(), rows, repetitions, true, longColumn))
        return 1;
    print("e2e", rows, bench);
    print("e2e_long", rows, longColumn);
    std::printf("e2e_peak_rss_mb=%.1f\n", qMax(bench.rss, longColumn.rss));
    return 0;
}
