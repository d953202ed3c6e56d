// The reader of the complete schema against a connection that answers its catalogue queries from tables given here:
// which queries it sends for which database, and where their answers land in the model. The real server's answers
// are tested in the conformance tier.
#include "SchemaCatalogue.h"

#include "DataAccess.h"

#include <QTest>

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

/** Answers a query with the rows of the first entry whose key it contains; every other query has no rows. */
class CatalogueConnection : public Connection
{
public:
    QList<std::pair<QString, QList<Row>>> answers;
    QStringList executed;

    void setCursorLocation(int) override { }
    void Open(const QString&) override { }
    std::unique_ptr<RecordSet> Execute(const QString& query) override
    {
        executed << query;
        for (const auto& [key, rows] : answers) {
            if (query.contains(key))
                return std::make_unique<RowsResult>(rows);
        }
        return std::make_unique<RowsResult>(QList<Row>());
    }
    std::unique_ptr<RecordSet> OpenSchema(int) override { return std::make_unique<RowsResult>(QList<Row>()); }
    void Close() override { }
    QStringList infoMessages() const override { return {}; }

    QStringList sent(const QString& view) const { return executed.filter(view); }
};

const QString Census = u"GROUP BY type"_s;
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

} // namespace

class TstSchemaCatalogue : public QObject
{
    Q_OBJECT

private slots:
    void columnDetailsAreAskedOnlyForTheTablesThatHaveThem()
    {
        CatalogueConnection c;
        c.answers = {{Census, {{u"U"_s, u"1"_s, u"3"_s}}},
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
        c.answers = {{Census, census}, {u"FROM sys.schemas"_s, SchemaRows}, {Types, TypeRows}};
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
};

QTEST_GUILESS_MAIN(TstSchemaCatalogue)
#include "tst_schemacatalogue.moc"
