// The reader of the complete schema against a connection that answers its catalogue queries from tables given here:
// which queries it sends for which database, and where their answers land in the model. The real server's answers
// are tested in the conformance tier.
#include "SchemaCatalogue.h"

#include "DataAccess.h"
#include "SchemaReader.h"
#include "StopRequest.h"

#include <QTest>

#include <atomic>
#include <condition_variable>
#include <mutex>

using namespace Qt::Literals::StringLiterals;
using namespace SchemaModel;

namespace {

using Row = QStringList; ///< one row; "NULL" is SQL NULL

class RowsResult : public RecordSet
{
public:
    explicit RowsResult(QList<Row> rows)
        : m_rows(std::move(rows))
    { }
    bool Eof() override { return m_at >= m_rows.size(); }
    void MoveNext() override { ++m_at; }
    int FieldCount() const override { return m_rows.isEmpty() ? 0 : int(m_rows.first().size()); }
    QString FieldName(int) const override { return QString(); }
    const FieldValue& Fields(int index) override
    {
        const QString& value = m_rows.at(m_at).at(index);
        m_field = value == u"NULL"_s ? FieldValue::null() : FieldValue::ofText(value);
        return m_field;
    }
    const FieldValue& Fields(const QString&) override { throw DbError(u"no field names here"_s, 3265); }
    qint64 RecordCount() override { return m_rows.size(); }
    void Close() override { }

private:
    QList<Row> m_rows;
    qsizetype m_at = 0;
    FieldValue m_field;
};

/**
 * Answers a query with the rows of the first entry whose key it contains; every other query has no rows. A query that
 * contains `failing` throws; one that contains `blocking` waits until the gate opens or the connection is cancelled.
 */
class CatalogueConnection : public Connection
{
public:
    QList<std::pair<QString, QList<Row>>> answers;
    QStringList executed;
    QString failing;
    QString refuseLogin;
    QString openedWith;
    bool closed = false;

    QString blocking;
    std::mutex mutex;
    std::condition_variable changed;
    bool gateOpen = false;
    bool waiting = false;
    bool cancelled = false;
    std::atomic<bool>* cancelNote = nullptr; ///< set on cancel, for a test that outlives the connection

    void setCursorLocation(int) override { }
    void Open(const QString& connectionString) override
    {
        if (!refuseLogin.isEmpty())
            throw DbError(refuseLogin, 18456, u"28000"_s);
        openedWith = connectionString;
    }
    std::unique_ptr<RecordSet> Execute(const QString& query) override
    {
        executed << query;
        if (!failing.isEmpty() && query.contains(failing))
            throw DbError(u"[Catalogue][SQL Server]Invalid object name."_s, 208, u"42S02"_s);
        if (!blocking.isEmpty() && query.contains(blocking)) {
            std::unique_lock lock(mutex);
            waiting = true;
            changed.notify_all();
            changed.wait(lock, [&] { return gateOpen || cancelled; });
            if (cancelled)
                throw DbError(u"[Catalogue]Operation canceled"_s, 0, u"HY008"_s);
        }
        for (const auto& [key, rows] : answers) {
            if (query.contains(key))
                return std::make_unique<RowsResult>(rows);
        }
        return std::make_unique<RowsResult>(QList<Row>());
    }
    std::unique_ptr<RecordSet> OpenSchema(int) override { return std::make_unique<RowsResult>(QList<Row>()); }
    void Close() override { closed = true; }
    QStringList infoMessages() const override { return {}; }
    void cancel() noexcept override
    {
        const std::lock_guard lock(mutex);
        cancelled = true;
        if (cancelNote)
            *cancelNote = true;
        changed.notify_all();
    }

    void waitUntilBlocked()
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return waiting; });
    }
    void openGate()
    {
        const std::lock_guard lock(mutex);
        gateOpen = true;
        changed.notify_all();
    }

    QStringList sent(const QString& view) const { return executed.filter(view); }
};

/** Makes the second connection of a SchemaReader: the one given here, or none (throwing `refuse`). */
class SideFactory : public ConnectionFactory
{
public:
    std::unique_ptr<CatalogueConnection> next = std::make_unique<CatalogueConnection>();
    CatalogueConnection* side = next.get(); ///< lives as long as the reader that took it
    QString refuse;

    std::unique_ptr<Connection> createConnection() override
    {
        if (!refuse.isEmpty())
            throw Failure(refuse);
        return std::move(next);
    }
};

const QString CensusQuery = u"GROUP BY type"_s;
const QString Tables = u"FROM sys.tables t WHERE"_s;
const QString Columns = u"FROM sys.columns c ORDER BY"_s;
const QString Types = u"FROM sys.types ORDER BY"_s;

/** sys.types: int (56), nvarchar (231) and the alias type dbo.Phone over nvarchar (257). */
const QList<Row> TypeRows = {
    {u"56"_s, u"4"_s, u"int"_s, u"56"_s, u"0"_s, u"0"_s, u"0"_s, u"4"_s, u"10"_s, u"0"_s, u"1"_s},
    {u"231"_s, u"4"_s, u"nvarchar"_s, u"231"_s, u"0"_s, u"0"_s, u"0"_s, u"8000"_s, u"0"_s, u"0"_s, u"1"_s},
    {u"257"_s, u"1"_s, u"Phone"_s, u"231"_s, u"1"_s, u"0"_s, u"0"_s, u"40"_s, u"0"_s, u"0"_s, u"1"_s},
};
const QList<Row> SchemaRows = {{u"1"_s, u"dbo"_s, u"1"_s}, {u"4"_s, u"sys"_s, u"1"_s}, {u"5"_s, u"sales"_s, u"0"_s}};

/** sys.columns' row: table, column, name, type, nullable, identity, computed, default object. */
Row column(int table, int id, const QString& name, int type, bool identity, bool computed, int defaultId)
{
    return {QString::number(table),
            QString::number(id),
            name,
            QString::number(type),
            u"4"_s,
            u"10"_s,
            u"0"_s,
            u"0"_s,
            identity ? u"1"_s : u"0"_s,
            computed ? u"1"_s : u"0"_s,
            u"NULL"_s,
            QString::number(defaultId)};
}

/**
 * A database with something of every kind after the data: dbo.Alpha (id 20) and dbo.Beta (id 10), each with a key,
 * a check on Beta, a foreign key from Alpha to Beta, a trigger on Alpha, a view; and a key, check, foreign key and
 * trigger of an object that is not a written table (99).
 */
QList<std::pair<QString, QList<Row>>> keyedDatabase()
{
    const Row none = {u"0"_s, u"0"_s, u"0"_s, u"0"_s, u"0"_s, u"0"_s, u"0"_s, u"0"_s, u"0"_s, u"0"_s, u"0"_s};
    return {
        {u"SELECT (SELECT COUNT(*)"_s, {}}, // what is not written: nothing
        {u"FROM sys.databases"_s, {Row{u"Latin1_General_CI_AS"_s} + none}},
        {CensusQuery,
         {{u"U"_s, u"1"_s, u"2"_s},
          {u"PK"_s, u"0"_s, u"3"_s},
          {u"C"_s, u"0"_s, u"2"_s},
          {u"F"_s, u"0"_s, u"2"_s},
          {u"TR"_s, u"0"_s, u"2"_s},
          {u"V"_s, u"1"_s, u"1"_s}}},
        {u"FROM sys.schemas"_s, SchemaRows},
        {Types, TypeRows},
        {Tables, {{u"20"_s, u"dbo"_s, u"Alpha"_s}, {u"10"_s, u"dbo"_s, u"Beta"_s}}},
        {Columns, {column(10, 1, u"b"_s, 56, false, false, 0), column(20, 1, u"a"_s, 56, false, false, 0)}},
        {u"i.is_primary_key"_s,
         {{u"10"_s, u"1"_s, u"PK_Beta"_s, u"1"_s, u"1"_s, u"1"_s, u"0"_s, u"0"_s, u"NULL"_s, u"0"_s},
          {u"20"_s, u"1"_s, u"PK_Alpha"_s, u"1"_s, u"1"_s, u"1"_s, u"0"_s, u"0"_s, u"NULL"_s, u"0"_s},
          {u"99"_s, u"1"_s, u"PK_Other"_s, u"1"_s, u"1"_s, u"1"_s, u"0"_s, u"0"_s, u"NULL"_s, u"0"_s}}},
        {u"FROM sys.index_columns"_s,
         {{u"10"_s, u"1"_s, u"b"_s, u"1"_s, u"0"_s, u"0"_s}, {u"20"_s, u"1"_s, u"a"_s, u"1"_s, u"1"_s, u"0"_s}}},
        {u"sys.check_constraints"_s,
         {{u"10"_s, u"CK_Beta"_s, u"([b]>(0))"_s, u"0"_s, u"0"_s}, {u"99"_s, u"CK_Other"_s, u"(1)"_s, u"0"_s, u"0"_s}}},
        {u"FROM sys.foreign_keys"_s,
         {{u"30"_s, u"20"_s, u"10"_s, u"FK_Alpha_Beta"_s, u"1"_s, u"0"_s, u"0"_s, u"0"_s, u"0"_s},
          {u"31"_s, u"99"_s, u"10"_s, u"FK_Other"_s, u"0"_s, u"0"_s, u"0"_s, u"0"_s, u"0"_s}}},
        {u"FROM sys.foreign_key_columns"_s, {{u"30"_s, u"a"_s, u"b"_s}, {u"31"_s, u"x"_s, u"b"_s}}},
        {u"m.uses_ansi_nulls"_s,
         {{u"40"_s, u"dbo"_s, u"TrAlpha"_s, u"TR"_s, u"20"_s, u"CREATE TRIGGER TrAlpha"_s, u"1"_s, u"1"_s, u"0"_s},
          {u"41"_s, u"dbo"_s, u"TrOther"_s, u"TR"_s, u"99"_s, u"CREATE TRIGGER TrOther"_s, u"1"_s, u"1"_s, u"0"_s},
          {u"42"_s, u"dbo"_s, u"V"_s, u"V"_s, u"0"_s, u"CREATE VIEW V"_s, u"1"_s, u"1"_s, u"0"_s}}},
    };
}

/** What the script is written from, one line per object, in the model's order. */
QStringList summary(const Database& db)
{
    QStringList lines = {u"collation "_s + db.collation};
    for (const Table& table : db.tables)
        lines << u"table "_s + table.name + u' ' + QString::number(table.columns.size());
    for (const Index& index : db.indexes)
        lines << u"index "_s + index.name + u' ' + index.keys.at(0).name
                + (index.keys.at(0).descending ? u"-"_s : u"+"_s);
    for (const Check& check : db.checks)
        lines << u"check "_s + check.name + u' ' + check.definition;
    for (const ForeignKey& key : db.foreignKeys)
        lines << u"key "_s + key.name + u' ' + key.columns.join(u',') + u'>' + key.referencedColumns.join(u',') + u' '
                + QString::number(key.onDelete);
    for (const Module& module : db.modules)
        lines << u"module "_s + module.name;
    for (const Module& trigger : db.triggers)
        lines << u"trigger "_s + trigger.name;
    return lines;
}

/** The queries of the tables and their columns, which the dump's own connection reads. */
const QStringList TableQueries = {u"FROM sys.schemas"_s, Types, Tables, Columns};
/** The queries of the rest, which the second connection reads. */
const QStringList SideQueries = {u"FROM sys.databases"_s,      CensusQuery,
                                 u"SELECT (SELECT COUNT(*)"_s, u"i.is_primary_key"_s,
                                 u"sys.check_constraints"_s,   u"FROM sys.foreign_keys"_s,
                                 u"m.uses_ansi_nulls"_s};

} // namespace

class TstSchemaCatalogue : public QObject
{
    Q_OBJECT

private slots:
    void columnDetailsAreAskedOnlyForTheTablesThatHaveThem()
    {
        CatalogueConnection c;
        c.answers = {{CensusQuery, {{u"U"_s, u"1"_s, u"3"_s}}},
                     {u"FROM sys.schemas"_s, SchemaRows},
                     {Types, TypeRows},
                     {Tables,
                      {{u"10"_s, u"sales"_s, u"Plain"_s},
                       {u"11"_s, u"sales"_s, u"Keyed"_s},
                       {u"12"_s, u"sales"_s, u"Figures"_s}}},
                     {Columns,
                      {column(10, 1, u"a"_s, 56, false, false, 0), column(10, 2, u"p"_s, 257, false, false, 0),
                       column(11, 1, u"id"_s, 56, true, false, 0), column(11, 2, u"b"_s, 56, false, false, 0),
                       column(12, 1, u"x"_s, 56, false, false, 90), column(12, 3, u"twice"_s, 56, false, true, 0),
                       // a column of an object that is not a user table, and one of a type sys.types lacks
                       column(99, 1, u"other"_s, 56, true, true, 91), column(10, 3, u"odd"_s, 4242, false, false, 0)}},
                     {u"sys.identity_columns"_s, {{u"11"_s, u"1"_s, u"100"_s, u"5"_s, u"NULL"_s}}},
                     {u"sys.computed_columns"_s, {{u"12"_s, u"3"_s, u"([x]*(2))"_s, u"1"_s}}},
                     {u"sys.default_constraints"_s, {{u"12"_s, u"1"_s, u"DF_x"_s, u"((0))"_s}}}};
        const Database db = readDatabase(c);

        // Each detail query runs once, for the tables whose flags ask for it and only those.
        QCOMPARE(c.sent(u"sys.identity_columns"_s).size(), 1);
        QVERIFY(c.sent(u"sys.identity_columns"_s).first().endsWith(u"IN (11)"_s));
        QCOMPARE(c.sent(u"sys.computed_columns"_s).size(), 1);
        QVERIFY(c.sent(u"sys.computed_columns"_s).first().endsWith(u"IN (12)"_s));
        QCOMPARE(c.sent(u"sys.default_constraints"_s).size(), 1);
        QVERIFY(c.sent(u"sys.default_constraints"_s).first().endsWith(u"IN (12)"_s));
        // One query of sys.types names the columns' types and gives the alias types with their base type.
        QCOMPARE(c.sent(u"sys.types"_s).size(), 1);
        QCOMPARE(db.aliasTypes.size(), std::size_t(1));
        QCOMPARE(db.aliasTypes[0].schema, u"dbo"_s);
        QCOMPARE(db.aliasTypes[0].baseType, u"nvarchar"_s);
        QCOMPARE(db.schemas, QStringList{u"sales"_s});

        QCOMPARE(db.tables.size(), std::size_t(3));
        const Table& plain = db.tables[0];
        QCOMPARE(plain.columns.size(), std::size_t(2)); // the column of an unknown type is left out
        QCOMPARE(plain.columns[1].type, u"Phone"_s);
        QVERIFY(plain.columns[1].aliasType);
        QCOMPARE(plain.columns[1].typeSchema, u"dbo"_s);
        QCOMPARE(plain.identityColumn(), nullptr);
        const Column* id = db.tables[1].identityColumn();
        QVERIFY(id);
        QCOMPARE(id->name, u"id"_s);
        QCOMPARE(id->identitySeed, u"100"_s);
        QCOMPARE(id->identityIncrement, u"5"_s);
        QCOMPARE(id->identityLast, std::nullopt);
        const Table& figures = db.tables[2];
        QCOMPARE(figures.columns[0].defaultName, u"DF_x"_s);
        QCOMPARE(figures.columns[0].defaultDefinition, u"((0))"_s);
        QVERIFY(figures.columns[1].computed);
        QCOMPARE(figures.columns[1].computedDefinition, u"([x]*(2))"_s);
        QVERIFY(figures.columns[1].persisted);
        QVERIFY(figures.columns[1].defaultName.isEmpty());
    }

    void queriesFollowWhatTheDatabaseHas_data()
    {
        QTest::addColumn<QStringList>("types"); // the census' object types
        QTest::addColumn<bool>("withTables");
        QTest::addColumn<QStringList>("asked"); // views that must be asked
        QTest::addColumn<QStringList>("notAsked");
        const QStringList details
            = {u"sys.identity_columns"_s, u"sys.computed_columns"_s, u"sys.default_constraints"_s};
        QTest::newRow("nothing") << QStringList() << false << QStringList{u"sys.types"_s}
                                 << QStringList{Columns,
                                                u"i.is_primary_key"_s,
                                                u"sys.check_constraints"_s,
                                                u"sys.foreign_keys"_s,
                                                u"sys.sql_modules m"_s,
                                                u"sys.sequences s"_s}
                + details;
        QTest::newRow("plain tables") << QStringList{u"U"_s} << true << QStringList{Columns, u"i.is_primary_key"_s}
                                      << QStringList{u"sys.check_constraints"_s, u"sys.foreign_keys"_s,
                                                     u"sys.sql_modules m"_s}
                + details;
        QTest::newRow("checks, keys, a view")
            << QStringList{u"U"_s, u"C"_s, u"F"_s, u"V"_s} << true
            << QStringList{u"sys.check_constraints"_s, u"sys.foreign_keys"_s, u"sys.sql_modules m"_s} << details;
    }
    void queriesFollowWhatTheDatabaseHas()
    {
        QFETCH(QStringList, types);
        QFETCH(bool, withTables);
        QFETCH(QStringList, asked);
        QFETCH(QStringList, notAsked);
        CatalogueConnection c;
        QList<Row> census;
        for (const QString& type : types)
            census << Row{type, u"1"_s, u"1"_s};
        c.answers = {{CensusQuery, census}, {u"FROM sys.schemas"_s, SchemaRows}, {Types, TypeRows}};
        if (withTables)
            c.answers << std::pair{Tables, QList<Row>{{u"10"_s, u"dbo"_s, u"T"_s}}}
                      << std::pair{Columns, QList<Row>{column(10, 1, u"a"_s, 56, false, false, 0)}};
        const Database db = readDatabase(c);
        QCOMPARE(db.tables.size(), std::size_t(withTables ? 1 : 0));
        for (const QString& view : asked)
            QVERIFY2(!c.sent(view).isEmpty(), qPrintable(view));
        for (const QString& view : notAsked)
            QVERIFY2(c.sent(view).isEmpty(), qPrintable(view));
    }

    void twoConnectionsReadWhatOneDoes()
    {
        CatalogueConnection one;
        one.answers = keyedDatabase();
        const QStringList expected = summary(readDatabase(one));
        // The objects of the table the script does not write stay out; the rest go by table, in the tables' order.
        QCOMPARE(expected,
                 (QStringList{u"collation Latin1_General_CI_AS"_s, u"table Alpha 1"_s, u"table Beta 1"_s,
                              u"index PK_Alpha a-"_s, u"index PK_Beta b+"_s, u"check CK_Beta ([b]>(0))"_s,
                              u"key FK_Alpha_Beta a>b 1"_s, u"module V"_s, u"trigger TrAlpha"_s}));

        CatalogueConnection dumps;
        dumps.answers = keyedDatabase();
        SideFactory factory;
        factory.side->answers = keyedDatabase();
        // The objects after the data are still being read when the tables are there.
        factory.side->blocking = u"i.is_primary_key"_s;
        CatalogueConnection& side = *factory.side;
        {
            SchemaReader reader(factory, u"DRIVER={x};DATABASE=d"_s, nullptr);
            Database db = reader.readBeforeData(dumps);
            QCOMPARE(db.tables.size(), std::size_t(2));
            QCOMPARE(db.collation, u"Latin1_General_CI_AS"_s);
            QVERIFY(db.indexes.empty());
            side.waitUntilBlocked();
            side.openGate();
            reader.readAfterData(dumps, db);
            QCOMPARE(summary(db), expected);
            QCOMPARE(side.openedWith, u"DRIVER={x};DATABASE=d"_s);
            QVERIFY(side.closed);
            for (const QString& query : TableQueries) {
                QVERIFY2(!dumps.sent(query).isEmpty(), qPrintable(query));
                QVERIFY2(side.sent(query).isEmpty(), qPrintable(query));
            }
            for (const QString& query : SideQueries) {
                QVERIFY2(dumps.sent(query).isEmpty(), qPrintable(query));
                QVERIFY2(!side.sent(query).isEmpty(), qPrintable(query));
            }
        }
    }

    void failuresOfTheSecondConnectionReachTheReader_data()
    {
        QTest::addColumn<QString>("failing"); // a query of the second connection that fails
        QTest::addColumn<bool>("beforeData"); // the failure comes before the rows, else after them
        QTest::newRow("census") << CensusQuery << true;
        QTest::newRow("foreign keys") << u"FROM sys.foreign_keys"_s << false;
    }
    void failuresOfTheSecondConnectionReachTheReader()
    {
        QFETCH(QString, failing);
        QFETCH(bool, beforeData);
        CatalogueConnection dumps;
        dumps.answers = keyedDatabase();
        SideFactory factory;
        factory.side->answers = keyedDatabase();
        factory.side->failing = failing;
        SchemaReader reader(factory, u"DRIVER={x}"_s, nullptr);
        QString reported;
        Database db;
        try {
            db = reader.readBeforeData(dumps);
            QVERIFY(!beforeData);
            QCOMPARE(db.tables.size(), std::size_t(2));
            reader.readAfterData(dumps, db);
        } catch (const Failure& failure) {
            reported = failure.description();
        }
        QCOMPARE(reported, u"[Catalogue][SQL Server]Invalid object name."_s);
        QVERIFY(db.indexes.empty());
        // The dump's connection does not read again what the second one failed at.
        QVERIFY(dumps.sent(failing).isEmpty());
    }

    void aRefusedSecondConnectionLeavesTheReadsToTheDumps_data()
    {
        QTest::addColumn<QString>("refuseCreate");
        QTest::addColumn<QString>("refuseLogin");
        QTest::newRow("not made") << u"No driver."_s << QString();
        // What SQL Server answers when the database admits one user at a time and the dump is that user.
        QTest::newRow("login refused") << QString()
                                       << u"[Catalogue]Database 'd' is already open and can only have one user at a "
                                          u"time."_s;
    }
    void aRefusedSecondConnectionLeavesTheReadsToTheDumps()
    {
        QFETCH(QString, refuseCreate);
        QFETCH(QString, refuseLogin);
        CatalogueConnection one;
        one.answers = keyedDatabase();
        const QStringList expected = summary(readDatabase(one));

        CatalogueConnection dumps;
        dumps.answers = keyedDatabase();
        SideFactory factory;
        factory.refuse = refuseCreate;
        factory.side->answers = keyedDatabase();
        factory.side->refuseLogin = refuseLogin;
        SchemaReader reader(factory, u"DRIVER={x}"_s, nullptr);
        Database db = reader.readBeforeData(dumps);
        QCOMPARE(db.collation, u"Latin1_General_CI_AS"_s);
        // The objects after the data wait for the rows, as on one connection.
        QVERIFY(dumps.sent(u"i.is_primary_key"_s).isEmpty());
        reader.readAfterData(dumps, db);
        QCOMPARE(summary(db), expected);
        QCOMPARE(dumps.executed, one.executed);
    }

    void aStopCancelsTheSecondConnection()
    {
        CatalogueConnection dumps;
        dumps.answers = keyedDatabase();
        SideFactory factory;
        factory.side->answers = keyedDatabase();
        factory.side->blocking = u"i.is_primary_key"_s; // opens only when cancelled
        CatalogueConnection& side = *factory.side;
        StopRequest stop;
        SchemaReader reader(factory, u"DRIVER={x}"_s, &stop);
        Database db = reader.readBeforeData(dumps);
        side.waitUntilBlocked();
        stop.request(15);
        QVERIFY(side.cancelled);
        QVERIFY_THROWS_EXCEPTION(Failure, reader.readAfterData(dumps, db));
        // Nothing more was asked after the cancelled query.
        QVERIFY(side.executed.last().contains(u"i.is_primary_key"_s));
        QVERIFY(db.indexes.empty());
    }

    void aReaderThatGoesEndsItsThread()
    {
        // A dump that ends before the rows (a failure, a full disk) takes the reader down while the second
        // connection still reads: it is cancelled and its thread waited for.
        SideFactory factory;
        factory.side->answers = keyedDatabase();
        factory.side->blocking = CensusQuery;
        std::atomic<bool> cancelled = false;
        factory.side->cancelNote = &cancelled;
        CatalogueConnection& side = *factory.side;
        {
            SchemaReader reader(factory, u"DRIVER={x}"_s, nullptr);
            side.waitUntilBlocked();
        }
        QVERIFY(cancelled);
    }
};

QTEST_GUILESS_MAIN(TstSchemaCatalogue)
#include "tst_schemacatalogue.moc"
