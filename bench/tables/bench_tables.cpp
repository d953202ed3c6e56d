// Many small tables, through unixODBC and FreeTDS into one server: the T-SQL server that TESSALINE_TEST_SERVER names
// (with TESSALINE_TEST_USER and TESSALINE_TEST_PASSWORD; scripts/bench starts the bundled peer), else the TDS test
// server in this process. Prints key=value:
//   many_tables_server              "named" or "tds_test_server"
//   many_tables_dump_s              a complete dump (SaveAll) of a database of `tables` tables, 3 columns x 5 rows
//   many_tables_plain_client_s      a plain client on the same driver: one catalogue query, then SELECT * of each table
//   many_tables_vs_plain_client     the first over the second (best of the repetitions each)
//   round_trips_before_first_row    the statements the dump sends before its first SELECT of data, for 3 tables
//   many_tables_table_list_s, many_tables_columns_s
//                                   the catalogue's two reads alone (the table list, every column), best of the runs
// Usage: bench_tables [tables] [repetitions]      (defaults: 1000 tables, best of 3)

#include "FakeClock.h"
#include "FakeDialogs.h"
#include "IntervalSave.h"
#include "OdbcConnection.h"
#include "SchemaCatalogue.h"
#include "TdsServer.h"
#include "Views.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <optional>

using namespace Qt::Literals::StringLiterals;

namespace {

QString tableName(int i)
{
    return u"t%1"_s.arg(i, 4, 10, QLatin1Char('0'));
}

/** Where the tables live: a named server reached by its connection values, or the TDS test server. */
struct Target
{
    QString server; ///< "host,port"
    QString user;
    QString password;
    std::optional<tds::TdsServer> local;

    QString connectionString(const QString& database) const
    {
        return u"Driver={SQL Server};Server=%1;Database=%2;Uid=%3;Pwd=%4;"_s.arg(server, database, user, password);
    }
};

/** Makes the database of `tables` tables on the named server (dropped first when it is there). */
bool createOnServer(OdbcConnectionFactory& factory, const Target& target, const QString& database, int tables)
{
    try {
        {
            const std::unique_ptr<Connection> master = factory.createConnection();
            master->Open(target.connectionString(u"master"_s));
            master->Execute(u"IF DB_ID('%1') IS NOT NULL DROP DATABASE [%1]"_s.arg(database));
            master->Execute(u"CREATE DATABASE [%1]"_s.arg(database));
            master->Close();
        }
        const std::unique_ptr<Connection> db = factory.createConnection();
        db->Open(target.connectionString(database));
        QString batch;
        for (int i = 1; i <= tables; ++i) {
            const QString t = tableName(i);
            batch += u"CREATE TABLE [%1] ([id] INT, [name] VARCHAR(20), [amount] DECIMAL(9,2))\n"_s.arg(t);
            batch += u"INSERT INTO [%1] VALUES (1, 'a''1', 1.50), (2, 'b', NULL), (3, NULL, -2.25), (4, 'd', 4), "
                     u"(5, 'e', 5.05)\n"_s.arg(t);
            if (i % 50 == 0 || i == tables) {
                db->Execute(batch);
                batch.clear();
            }
        }
        db->Close();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_tables: the database could not be made: %s\n", e.what());
        return false;
    }
    return true;
}

void addToTestServer(tds::TdsServer& server, int tables)
{
    server.clearTables();
    for (int i = 1; i <= tables; ++i) {
        tds::TableSpec t;
        t.name = tableName(i);
        t.columns = {{u"id"_s, tds::SqlType::Int},
                     {u"name"_s, tds::SqlType::VarChar, 20},
                     {u"amount"_s, tds::SqlType::Decimal, 0, 9, 2}};
        t.rows = {{1, u"a'1"_s, u"1.50"_s},
                  {2, u"b"_s, QVariant()},
                  {3, QVariant(), u"-2.25"_s},
                  {4, u"d"_s, u"4.00"_s},
                  {5, u"e"_s, u"5.05"_s}};
        server.addTable(t);
    }
}

/** Counts what the dump sends: every command text and table list, in order. */
class CountingFactory : public ConnectionFactory
{
public:
    explicit CountingFactory(ConnectionFactory& inner)
        : m_inner(inner)
    { }
    QStringList sent;

    std::unique_ptr<Connection> createConnection() override
    {
        return std::make_unique<Counting>(m_inner.createConnection(), sent);
    }

private:
    class Counting : public Connection
    {
    public:
        Counting(std::unique_ptr<Connection> inner, QStringList& sent)
            : m_inner(std::move(inner))
            , m_sent(sent)
        { }
        void setCursorLocation(int location) override { m_inner->setCursorLocation(location); }
        void Open(const QString& connectionString) override { m_inner->Open(connectionString); }
        std::unique_ptr<RecordSet> Execute(const QString& commandText) override
        {
            m_sent << commandText;
            return m_inner->Execute(commandText);
        }
        std::unique_ptr<RecordSet> OpenSchema(int schema) override
        {
            m_sent << u"(the table list: SQLTables)"_s;
            return m_inner->OpenSchema(schema);
        }
        void Close() override { m_inner->Close(); }
        QStringList infoMessages() const override { return m_inner->infoMessages(); }

    private:
        std::unique_ptr<Connection> m_inner;
        QStringList& m_sent;
    };
    ConnectionFactory& m_inner;
};

/** One dump into the folder; its seconds, or a negative number when it failed. */
double dump(ConnectionFactory& factory,
            const QString& connectionString,
            const QString& database,
            const QString& folder,
            FakeClock& clock)
{
    FakeDialogs dialogs;
    FixedDumpSource source(u"bench"_s, database, folder);
    PlainStatusFrame status;
    clock.advanceMs(60'000); // a new file each run
    IntervalSave engine(BackupContext{factory, dialogs, clock, source, [] {}, folder + u"/backups.log"_s, {}, {}});
    QElapsedTimer timer;
    timer.start();
    const bool ok = engine.SaveAll(connectionString, status);
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    QFile::remove(engine.lastOutputPath());
    if (!ok || !dialogs.errorReports().isEmpty()) {
        std::fprintf(stderr, "bench_tables: the dump failed: %s\n", qPrintable(dialogs.errorReports().join(u'\n')));
        return -1;
    }
    return seconds;
}

/** The plain client: one catalogue query for every column, then SELECT * of each table, every value read. */
double plainClient(ConnectionFactory& factory, const QString& connectionString, int tables)
{
    QElapsedTimer timer;
    timer.start();
    qint64 values = 0;
    try {
        const std::unique_ptr<Connection> connection = factory.createConnection();
        connection->Open(connectionString);
        QStringList names;
        {
            const std::unique_ptr<RecordSet> columns = connection->Execute(
                u"SELECT TABLE_SCHEMA, TABLE_NAME, COLUMN_NAME, DATA_TYPE, CHARACTER_MAXIMUM_LENGTH FROM "
                u"information_schema.COLUMNS ORDER BY TABLE_SCHEMA, TABLE_NAME, ORDINAL_POSITION"_s);
            while (!columns->Eof()) {
                const QString name = columns->Fields(1).text;
                if (name.startsWith(u't') && (names.isEmpty() || names.last() != name))
                    names << name;
                columns->MoveNext();
            }
            columns->Close();
        }
        for (const QString& name : names) {
            const std::unique_ptr<RecordSet> rows = connection->Execute(u"SELECT * FROM [%1]"_s.arg(name));
            const int fields = rows->FieldCount();
            while (!rows->Eof()) {
                for (int i = 0; i < fields; ++i)
                    values += rows->Fields(i).isNull() ? 0 : 1;
                rows->MoveNext();
            }
            rows->Close();
        }
        connection->Close();
        if (names.size() != tables) {
            std::fprintf(stderr, "bench_tables: the plain client found %lld tables\n",
                         static_cast<long long>(names.size()));
            return -1;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_tables: the plain client failed: %s\n", e.what());
        return -1;
    }
    return values > 0 ? double(timer.nsecsElapsed()) / 1e9 : -1;
}

/** The seconds of the catalogue's two reads, each on its own connection; false when one failed. */
bool catalogueReads(ConnectionFactory& factory, const QString& connectionString, double& tableList, double& columns)
{
    try {
        const std::unique_ptr<Connection> connection = factory.createConnection();
        connection->setCursorLocation(adUseClient);
        connection->Open(connectionString);
        QElapsedTimer timer;
        timer.start();
        std::vector<SchemaModel::Table> catalogue = SchemaModel::readTableList(*connection);
        tableList = double(timer.nsecsElapsed()) / 1e9;
        timer.restart();
        SchemaModel::readListedColumns(*connection, catalogue);
        columns = double(timer.nsecsElapsed()) / 1e9;
        connection->Close();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_tables: the catalogue could not be read: %s\n", e.what());
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int tables = args.size() > 1 ? args[1].toInt() : 1000;
    const int repetitions = args.size() > 2 ? qMax(1, args[2].toInt()) : 3;
    if (qEnvironmentVariableIsEmpty("TDSVER"))
        qputenv("TDSVER", "7.4");

    Target target;
    target.server = qEnvironmentVariable("TESSALINE_TEST_SERVER");
    const bool named = !target.server.isEmpty();
    if (named) {
        target.user = qEnvironmentVariable("TESSALINE_TEST_USER");
        target.password = qEnvironmentVariable("TESSALINE_TEST_PASSWORD");
    } else {
        target.local.emplace();
        if (!target.local->start()) {
            std::fprintf(stderr, "bench_tables: the TDS test server did not start\n");
            return 1;
        }
        target.server = u"127.0.0.1,%1"_s.arg(target.local->port());
        target.user = u"bench"_s;
        target.password = u"bench"_s;
    }

    OdbcConnectionFactory factory(30);
    QTemporaryDir dir;
    FakeClock clock;

    // The statements before the first row, for a small database.
    const QString small = u"benchthree"_s;
    if (named ? !createOnServer(factory, target, small, 3) : (addToTestServer(*target.local, 3), false))
        return 1;
    CountingFactory counting(factory);
    if (dump(counting, target.connectionString(small), small, dir.path(), clock) < 0)
        return 1;
    qsizetype beforeFirstRow = 0;
    while (beforeFirstRow < counting.sent.size() && !counting.sent[beforeFirstRow].startsWith(u"SELECT * FROM"_s))
        ++beforeFirstRow;
    for (qsizetype i = 0; i < beforeFirstRow; ++i)
        std::fprintf(stderr, "bench_tables: before the first row: %s\n", qPrintable(counting.sent[i]));

    const QString many = u"benchtables"_s;
    QElapsedTimer setup;
    setup.start();
    if (named ? !createOnServer(factory, target, many, tables) : (addToTestServer(*target.local, tables), false))
        return 1;
    std::fprintf(stderr, "bench_tables: %d tables made in %.1f s\n", tables, double(setup.elapsed()) / 1000);

    double bestDump = -1;
    double bestPlain = -1;
    double bestList = -1;
    double bestColumns = -1;
    for (int run = 0; run < repetitions; ++run) {
        const double d = dump(factory, target.connectionString(many), many, dir.path(), clock);
        const double p = plainClient(factory, target.connectionString(many), tables);
        if (d < 0 || p < 0)
            return 1;
        double list = 0;
        double columns = 0;
        if (!catalogueReads(factory, target.connectionString(many), list, columns))
            return 1;
        std::fprintf(stderr,
                     "bench_tables: run %d: dump %.2f s, plain client %.2f s (table list %.2f s, columns %.2f s)\n",
                     run + 1, d, p, list, columns);
        bestDump = bestDump < 0 ? d : qMin(bestDump, d);
        bestPlain = bestPlain < 0 ? p : qMin(bestPlain, p);
        bestList = bestList < 0 ? list : qMin(bestList, list);
        bestColumns = bestColumns < 0 ? columns : qMin(bestColumns, columns);
    }
    if (named) {
        try {
            const std::unique_ptr<Connection> master = factory.createConnection();
            master->Open(target.connectionString(u"master"_s));
            master->Execute(u"DROP DATABASE [%1]"_s.arg(many));
            master->Execute(u"DROP DATABASE [%1]"_s.arg(small));
            master->Close();
        } catch (const std::exception&) {
            // Left for the next run, which drops it first.
        }
    }
    std::printf("many_tables_server=%s\n", named ? "named" : "tds_test_server");
    std::printf("many_tables_dump_s=%.2f\n", bestDump);
    std::printf("many_tables_plain_client_s=%.2f\n", bestPlain);
    std::printf("many_tables_vs_plain_client=%.2f\n", bestDump / bestPlain);
    std::printf("many_tables_table_list_s=%.2f\n", bestList);
    std::printf("many_tables_columns_s=%.2f\n", bestColumns);
    std::printf("round_trips_before_first_row=%lld\n", static_cast<long long>(beforeFirstRow));
    return 0;
}
