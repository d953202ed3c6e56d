// Dumps a generated table from the in-memory database and prints key=value figures:
//   engine_rows_per_s, engine_mb_per_s, engine_vs_plain_write (1,000,000 rows, best of three dumps against the best
//   of three plain writes of the same bytes), engine_format_vs_plain_write (the dump's time less the in-memory
//   source's own time, over the plain write), engine_peak_rss_mb_10m
//   (10,000,000 rows, measured before anything else is held), engine_max_pump_gap_ms (the longest stretch without
//   events running, over both runs, from the start of the dump to its end), compressed_rows_per_s and compression_ratio
//   (the same 1,000,000 rows with "Compress" on, best of three; plain bytes over compressed bytes),
//   compressed_vs_plain_rows_per_s (compressed over plain rows per second, same run), engine_max_pump_gap_ms_compressed
//   (the longest stretch without events over the compressed dumps, a 10,000,000-row one among them).
// Usage: bench_engine [rows] [memory-rows] [folder]
//        bench_engine --long-value megabytes [folder]
//   dump_long_value_peak_rss_mb: the peak memory of a process that dumps one row holding a varbinary(max) value of
//   that size, handed out in the driver's 32 KiB pieces (the engine's own memory: the source holds no value).

#include "BenchSupport.h"
#include "FakeDialogs.h"
#include "IntervalSave.h"
#include "MemoryDatabase.h"
#include "Views.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <random>

using namespace Qt::Literals::StringLiterals;

namespace {

/** Pools of values, so that the source hands out shared strings and the figures measure the dump. */
struct ValuePools
{
    static constexpr int Size = 4096;
    QStringList names, dates, amounts, notes;

    ValuePools()
    {
        std::mt19937 random(20210831);
        const QStringList first = {u"Baker's"_s, u"O'Neil"_s, u"Smith"_s, u"D'Arcy"_s, u"Jones"_s, u"Miller"_s};
        const QString words = u"the quick brown fox jumps over the lazy dog while the backup runs "_s;
        for (int i = 0; i < Size; ++i) {
            names << first[i % first.size()] + u" & Sons no. "_s + QString::number(random() % 100000);
            dates << QDateTime(QDate(1990, 1, 1).addDays(random() % 12000), QTime(0, 0).addSecs(random() % 86400))
                         .toString(u"yyyy-MM-dd hh:mm:ss.000"_s);
            amounts << QString::number(double(random() % 100000000) / 100, 'f', 2);
            const int length = 20 + int(random() % 181);
            QString note;
            while (note.size() < length)
                note += words;
            notes << note.left(length);
        }
    }
};

struct RunResult
{
    double seconds = 0;
    qint64 bytes = 0;
    qint64 maxGapMs = 0;
    QString path;
    bool ok = false;
};

void addOrders(MemoryDatabase& db, qint64 rowCount, const ValuePools& pools)
{
    using Kind = FieldValue::Kind;
    auto& table = db.addTable(u"Orders"_s,
                              {{u"Id"_s, u"int"_s, {}, 10, 0},
                               {u"Customer"_s, u"nvarchar"_s, 50, {}, {}},
                               {u"Placed"_s, u"datetime"_s, {}, {}, {}},
                               {u"Amount"_s, u"decimal"_s, {}, 12, 2},
                               {u"Paid"_s, u"bit"_s, {}, {}, {}},
                               {u"Rate"_s, u"float"_s, {}, 53, {}},
                               {u"Note"_s, u"varchar"_s, 200, {}, {}},
                               {u"Ref"_s, u"int"_s, {}, 10, 0}});
    table.generator = [&pools, rowCount](qint64 index, MemoryDatabase::Row& row) {
        if (index >= rowCount)
            return false;
        if (row.size() != 8) {
            row.assign(8, FieldValue());
            row[0].kind = Kind::Integer;
            row[1].kind = Kind::Text;
            row[2].kind = Kind::DateTime;
            row[3].kind = Kind::ExactNumeric;
            row[4].kind = Kind::Bit;
            row[5].kind = Kind::ApproxNumeric;
            row[6].kind = Kind::Text;
        }
        const int pick = int(index % ValuePools::Size);
        row[0].text = QString::number(index + 1);
        row[1].text = pools.names[pick];
        row[2].text = pools.dates[pick];
        row[3].text = pools.amounts[pick];
        row[4].text = index % 2 ? u"1"_s : u"0"_s;
        row[5].number = double(index) / 7.0;
        row[6].text = pools.notes[pick];
        if (index % 3 == 0) {
            row[7] = FieldValue::null();
        } else {
            row[7].kind = Kind::Integer;
            row[7].text = row[0].text;
        }
        return true;
    };
}

/** Seconds the in-memory source alone needs to hand out the rows (part of every dump's time). */
double sourceSeconds(qint64 rowCount, const ValuePools& pools)
{
    MemoryDatabase db;
    addOrders(db, rowCount, pools);
    QElapsedTimer timer;
    timer.start();
    auto connection = db.createConnection();
    connection->Open(QString());
    auto data = connection->Execute(u"SELECT * FROM [Orders]"_s);
    qint64 sum = 0;
    while (!data->Eof()) {
        for (int i = 0; i < data->FieldCount(); ++i)
            sum += data->Fields(i).text.size();
        data->MoveNext();
    }
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    return sum > 0 ? seconds : 0;
}

RunResult dumpOf(MemoryDatabase& db, const QString& folder, bool compress);

RunResult dump(qint64 rowCount, const QString& folder, const ValuePools& pools, bool compress = false)
{
    MemoryDatabase db;
    addOrders(db, rowCount, pools);
    return dumpOf(db, folder, compress);
}

RunResult dumpOf(MemoryDatabase& db, const QString& folder, bool compress)
{
    FakeDialogs dialogs;
    SystemClock clock;
    FixedDumpSource source(u"BENCH"_s, u"Bench"_s, folder);
    source.chosen.compress = compress;
    PlainStatusFrame status;
    RunResult result;
    QElapsedTimer sincePump;
    const EventPump letEventsRun = [&] {
        result.maxGapMs = std::max(result.maxGapMs, sincePump.restart());
        QCoreApplication::processEvents();
    };
    IntervalSave save(BackupContext{db, dialogs, clock, source, letEventsRun, folder + u"/backups.log"_s, {}, {}});

    QElapsedTimer timer;
    timer.start();
    sincePump.start();
    result.ok = save.SaveAll(u"Driver={SQL Server};Server=BENCH;"_s, status);
    result.seconds = double(timer.nsecsElapsed()) / 1e9;
    result.maxGapMs = std::max(result.maxGapMs, sincePump.elapsed());
    result.path = save.lastOutputPath();
    result.bytes = QFileInfo(result.path).size();
    for (const QString& report : dialogs.errorReports())
        std::fprintf(stderr, "error report: %s\n", qPrintable(report));
    return result;
}

/** The same bytes written by a plain loop: one open, 256 KB writes, one close. */
double plainWriteSeconds(const QByteArray& bytes, const QString& path)
{
    constexpr qsizetype chunk = 256 * 1024;
    QElapsedTimer timer;
    timer.start();
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
        return 0;
    for (qsizetype at = 0; at < bytes.size(); at += chunk)
        file.write(bytes.constData() + at, std::min(chunk, bytes.size() - at));
    file.close();
    return double(timer.nsecsElapsed()) / 1e9;
}

} // namespace

/** Dumps one row holding a long varbinary(max) value, generated piece by piece; prints the peak memory. */
int longValue(qint64 megabytes, const QString& base)
{
    QTemporaryDir dir(base + u"/tessaline-bench-XXXXXX"_s);
    if (!dir.isValid())
        return 1;
    constexpr qsizetype PieceBytes = 32 * 1024;
    const qint64 pieces = megabytes * 1024 * 1024 / PieceBytes;
    MemoryDatabase db;
    auto& table
        = db.addTable(u"Documents"_s, {{u"Id"_s, u"int"_s, {}, 10, 0}, {u"Body"_s, u"varbinary"_s, -1, {}, {}}});
    table.rows.push_back({FieldValue::ofText(u"1"_s, FieldValue::Kind::Integer), FieldValue()});
    QByteArray bytes(PieceBytes, Qt::Uninitialized);
    table.longValues = [&](qint64, int, qint64 piece, FieldValue& out) {
        for (qsizetype i = 0; i < bytes.size(); ++i)
            bytes[i] = char((piece * 131 + i * 7) & 0xFF);
        out = FieldValue::ofBytes(bytes);
        return piece < pieces;
    };
    const RunResult run = dumpOf(db, dir.path(), false);
    const double rssMb = peakRssMb();
    const qint64 expected = 2 * pieces * PieceBytes;
    if (!run.ok || run.bytes < expected) {
        std::fprintf(stderr, "the long-value dump failed (%lld bytes)\n", static_cast<long long>(run.bytes));
        return 1;
    }
    std::fprintf(stderr, "long value: %lld MB dumped in %.2f s, max pump gap %lld ms\n",
                 static_cast<long long>(megabytes), run.seconds, static_cast<long long>(run.maxGapMs));
    std::printf("dump_long_value_peak_rss_mb=%.1f\n", rssMb);
    return 0;
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.value(1) == u"--long-value"_s)
        return longValue(args.value(2, u"200"_s).toLongLong(), args.size() > 3 ? args[3] : QDir::tempPath());
    const qint64 rows = args.size() > 1 ? args[1].toLongLong() : 1'000'000;
    const qint64 memoryRows = args.size() > 2 ? args[2].toLongLong() : 10'000'000;
    const QString base = args.size() > 3 ? args[3] : QDir::tempPath();
    QTemporaryDir dir(base + u"/tessaline-bench-XXXXXX"_s);
    if (!dir.isValid()) {
        std::fprintf(stderr, "cannot make a folder in %s\n", qPrintable(base));
        return 1;
    }
    const ValuePools pools;

    // Memory first, before this process holds anything big.
    const RunResult large = dump(memoryRows, dir.path(), pools);
    const double rssMb = peakRssMb();
    QFile::remove(large.path);

    // Three rounds of the dump and of the plain write of its bytes, interleaved; the best of each counts.
    RunResult run;
    double plain = 0;
    qint64 maxGapMs = large.maxGapMs;
    bool ok = large.ok;
    for (int round = 0; round < 3; ++round) {
        const RunResult attempt = dump(rows, dir.path(), pools);
        ok = ok && attempt.ok;
        maxGapMs = std::max(maxGapMs, attempt.maxGapMs);
        if (round == 0 || attempt.seconds < run.seconds)
            run = attempt;
        QByteArray bytes;
        {
            QFile file(attempt.path);
            if (file.open(QIODevice::ReadOnly))
                bytes = file.readAll();
        }
        QFile::remove(attempt.path);
        const double seconds = plainWriteSeconds(bytes, dir.filePath(u"plain.sql"_s));
        QFile::remove(dir.filePath(u"plain.sql"_s));
        if (round == 0 || seconds < plain)
            plain = seconds;
    }

    // The same dumps through gzip: the large one for the window's pauses, then the timed ones.
    const RunResult largeCompressed = dump(memoryRows, dir.path(), pools, true);
    ok = ok && largeCompressed.ok;
    qint64 maxGapCompressedMs = largeCompressed.maxGapMs;
    QFile::remove(largeCompressed.path);
    RunResult compressed;
    for (int round = 0; round < 3; ++round) {
        const RunResult attempt = dump(rows, dir.path(), pools, true);
        ok = ok && attempt.ok && attempt.path.endsWith(u".sql.gz"_s);
        maxGapCompressedMs = std::max(maxGapCompressedMs, attempt.maxGapMs);
        if (round == 0 || attempt.seconds < compressed.seconds)
            compressed = attempt;
        QFile::remove(attempt.path);
    }

    if (!ok || plain <= 0 || compressed.bytes <= 0) {
        std::fprintf(stderr, "the benchmark dump failed\n");
        return 1;
    }
    // The source's own share of the dump time, best of three like the dump.
    double source = 0;
    for (int round = 0; round < 3; ++round) {
        const double seconds = sourceSeconds(rows, pools);
        source = round == 0 ? seconds : std::min(source, seconds);
    }
    std::fprintf(stderr, "source alone: %.3f s, dump: %.3f s, plain write: %.3f s\n", source, run.seconds, plain);
    std::printf("engine_rows_per_s=%.0f\n", double(rows) / run.seconds);
    std::printf("engine_mb_per_s=%.1f\n", double(run.bytes) / 1e6 / run.seconds);
    std::printf("engine_vs_plain_write=%.2f\n", run.seconds / plain);
    std::printf("engine_format_vs_plain_write=%.2f\n", std::max(0.0, run.seconds - source) / plain);
    std::printf("engine_peak_rss_mb_10m=%.1f\n", rssMb);
    std::printf("engine_max_pump_gap_ms=%lld\n", static_cast<long long>(maxGapMs));
    std::printf("compressed_rows_per_s=%.0f\n", double(rows) / compressed.seconds);
    std::printf("compression_ratio=%.2f\n", double(run.bytes) / double(compressed.bytes));
    std::printf("compressed_vs_plain_rows_per_s=%.2f\n", run.seconds / compressed.seconds);
    std::printf("engine_max_pump_gap_ms_compressed=%lld\n", static_cast<long long>(maxGapCompressedMs));
    return 0;
}
