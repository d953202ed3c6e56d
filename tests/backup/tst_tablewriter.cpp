// The one loop over the tables of a model, in both formats, against the in-memory database and a dump of the test's
// own: which tables each format leaves out, where a stop ends the loop, which step a failure names, and what each
// format writes around a table's rows. tst_backup drives the same writer through SaveAll.

#include "EngineLines.h"
#include "ErrorReport.h"
#include "FakeDialogs.h"
#include "MemoryDatabase.h"
#include "SchemaCatalogue.h"
#include "TableWriter.h"

#include <QTest>

using namespace Qt::Literals::StringLiterals;
using SchemaModel::Column;
using SchemaModel::Table;

namespace {

FieldValue integer(int value)
{
    return FieldValue::ofText(QString::number(value), FieldValue::Kind::Integer);
}

/** A dump whose file is a byte array: a stop can be asked for after a number of tables. */
class TestDump final : public DumpSteps
{
public:
    explicit TestDump(FakeDialogs& dialogs)
        : DumpSteps(dialogs)
    { }

    void pump() override
    {
        flush();
        ++pumps;
        interrupted();
    }
    void reportProgress() override
    {
        if (progress().tablesDone == stopAfterTables)
            stopRequested = true;
    }

    QByteArray file;
    int pumps = 0;
    int stopAfterTables = -1;
    bool stopRequested = false;
    QStringList failures;

protected:
    bool interrupted() override
    {
        if (stopRequested)
            setStopped(true);
        return stopRequested;
    }
    void failed(const QString& firstFailure) override { failures << firstFailure; }
    bool write(const QByteArray& bytes) override
    {
        file += bytes;
        return true;
    }
};

Column column(int id, const QString& name, const QString& type)
{
    Column c;
    c.id = id;
    c.name = name;
    c.type = type;
    return c;
}

/** A table of the model and the same table in the database, with an int "Id" and one row per value. */
Table addTable(MemoryDatabase& db, const QString& name, const QList<int>& ids, const QString& type = u"TABLE"_s)
{
    MemoryDatabase::Table& held = db.addTable(name, {{u"Id"_s, u"int"_s, {}, 10, 0}}, type);
    for (const int id : ids)
        held.rows.push_back({integer(id)});
    Table table;
    table.schema = u"dbo"_s;
    table.name = name;
    table.type = type;
    table.columns = {column(1, u"Id"_s, u"int"_s)};
    return table;
}

QString report(const QString& description, int line)
{
    return composeErrorReport(description, errorReportLocation(u"IntervalSave"_s, u"SaveAll"_s), line);
}

/** The database, a dump and the writer over both, in one format. */
struct Writing
{
    explicit Writing(bool complete)
    {
        if (complete)
            format = std::make_unique<CompleteTableFormat>();
        else
            format = std::make_unique<DefaultTableFormat>();
    }
    bool write(const std::vector<Table>& tables)
    {
        connection = db.createConnection();
        connection->Open(QString());
        const bool whole = TableWriter(dump, *connection, *format).write(tables);
        dump.flush();
        return whole;
    }
    QString script() const { return QString::fromUtf8(dump.file); }

    MemoryDatabase db;
    FakeDialogs dialogs;
    TestDump dump{dialogs};
    std::unique_ptr<TableFormat> format;
    std::unique_ptr<Connection> connection;
};

void bothFormats()
{
    QTest::addColumn<bool>("complete");
    QTest::newRow("default") << false;
    QTest::newRow("complete schema") << true;
}

} // namespace

class TstTableWriter : public QObject
{
    Q_OBJECT

private slots:
    // ---- which tables are written

    void defaultFormatLeavesOutViewsSystemAndTraceTables()
    {
        // Nothing of a left-out table is asked for or written, and no event runs for it; each still counts as done.
        Writing w(false);
        const std::vector<Table> tables
            = {addTable(w.db, u"Orders"_s, {1, 2}), addTable(w.db, u"OrderView"_s, {1}, u"VIEW"_s),
               addTable(w.db, u"syscolumns"_s, {1}, u"SYSTEM TABLE"_s), addTable(w.db, u"audit_Trace_XE"_s, {1})};
        QVERIFY(w.write(tables));
        QCOMPARE(w.db.executed, QStringList{u"SELECT * FROM [Orders]"_s});
        const QString script = w.script();
        QVERIFY2(script.contains(u"CREATE TABLE [Orders] ([Id] INT)\r\n"_s), qPrintable(script));
        QVERIFY(script.contains(u"INSERT INTO [Orders] VALUES('2');\r\n"_s));
        QVERIFY(!script.contains(u"OrderView"_s));
        QVERIFY(!script.contains(u"syscolumns"_s));
        QVERIFY(!script.contains(u"Trace_XE"_s, Qt::CaseInsensitive));
        QCOMPARE(w.dump.pumps, 4); // Orders: before the table, its one column and its two rows
        QCOMPARE(w.dump.progress().tablesDone, 4);
        QCOMPARE(w.dump.progress().tablesTotal, 4);
        QCOMPARE(w.dump.progress().rowsWritten, qint64(2));
    }

    void completeSchemaWritesEveryTableOfItsModel()
    {
        // Its model holds only the tables it writes: a view or trace name there is written like any table.
        Writing w(true);
        const std::vector<Table> tables
            = {addTable(w.db, u"audit_trace_xe"_s, {1}), addTable(w.db, u"V"_s, {2}, u"VIEW"_s)};
        QVERIFY(w.write(tables));
        QCOMPARE(w.db.executed,
                 (QStringList{u"SELECT [Id] FROM [dbo].[audit_trace_xe]"_s, u"SELECT [Id] FROM [dbo].[V]"_s}));
    }

    // ---- where the loop ends

    void stopBetweenTablesEndsTheLoop_data() { bothFormats(); }
    void stopBetweenTablesEndsTheLoop()
    {
        // A stop that comes after the first table: the first is whole in the file, nothing of the second is asked
        // for or written, and the stop is no failure.
        QFETCH(bool, complete);
        Writing w(complete);
        w.dump.stopAfterTables = 1;
        const std::vector<Table> tables = {addTable(w.db, u"First"_s, {1}), addTable(w.db, u"Second"_s, {2})};
        QVERIFY(!w.write(tables));
        QCOMPARE(w.db.executed.size(), 1);
        QVERIFY(w.db.executed[0].contains(u"[First]"_s));
        const QString script = w.script();
        QVERIFY2(script.endsWith(complete ? u"GO\r\n\r\n"_s : u"('1');\r\n\r\n"_s), qPrintable(script));
        QVERIFY(!script.contains(u"Second"_s));
        QCOMPARE(w.dialogs.errorReports(), QStringList());
        QCOMPARE(w.dump.failures, QStringList());
    }

    void failedDataQueryIsReportedAndTheNextTableWritten_data() { bothFormats(); }
    void failedDataQueryIsReportedAndTheNextTableWritten()
    {
        // A table whose rows cannot be read is reported at the data query's step; its text around the rows stands
        // and the loop goes on with the next table.
        QFETCH(bool, complete);
        Writing w(complete);
        w.db.failCommandContaining = u"[Broken]"_s;
        const std::vector<Table> tables = {addTable(w.db, u"Broken"_s, {1}), addTable(w.db, u"Next"_s, {7})};
        QVERIFY(w.write(tables));
        QCOMPARE(w.dialogs.errorReports(), QStringList{report(w.db.failText, SaveAllLine::DataQuery)});
        QCOMPARE(w.dump.failures, QStringList{w.db.failText});
        QCOMPARE(w.dump.progress().rowsWritten, qint64(1));
        // The script is the one of a database whose first table has no rows.
        Writing empty(complete);
        QVERIFY(empty.write({addTable(empty.db, u"Broken"_s, {}), addTable(empty.db, u"Next"_s, {7})}));
        QVERIFY(empty.script().contains(u"('7');\r\n"_s));
        QCOMPARE(w.script(), empty.script());
    }

    void rowsThatDisagreeWithTheModelAreReported_data() { bothFormats(); }
    void rowsThatDisagreeWithTheModelAreReported()
    {
        // The model names (Id, Name), the rows have (Id, Other): a value would be restored into the wrong column.
        QFETCH(bool, complete);
        Writing w(complete);
        w.db.addTable(u"T"_s, {{u"Id"_s, u"int"_s, {}, 10, 0}, {u"Other"_s, u"int"_s, {}, 10, 0}}).rows
            = {{integer(1), integer(2)}};
        Table table;
        table.schema = u"dbo"_s;
        table.name = u"T"_s;
        table.columns = {column(1, u"Id"_s, u"int"_s), column(2, u"Name"_s, u"int"_s)};
        QVERIFY(w.write({table}));
        const QStringList reports = w.dialogs.errorReports();
        QCOMPARE(reports.size(), 1);
        if (complete) { // its data query names the columns: the server refuses the one it does not have
            QCOMPARE(reports[0], report(u"[Memory][SQL Server]Invalid column name 'Name'."_s, SaveAllLine::DataQuery));
        } else {
            QCOMPARE(reports[0],
                     report(u"The rows of [T] have the columns (Id, Other) but its column list is (Id, Name). The "
                            u"backup cannot hold this table."_s,
                            SaveAllLine::CheckColumns));
        }
        QVERIFY(!w.script().contains(u"('1'"_s));
    }

    // ---- what each format writes around the rows

    void defaultFormatWritesOneRowAStatement()
    {
        // DROP and CREATE TABLE from information_schema's type facts, a schema made before its first table only, an
        // INSERT line a row and DEFAULT for the rowversion column.
        Writing w(false);
        MemoryDatabase::Table& held = w.db.addTable(u"Items"_s,
                                                    {{u"Id"_s, u"int"_s, {}, 10, 0},
                                                     {u"Ver"_s, u"timestamp"_s, {}, {}, {}},
                                                     {u"Price"_s, u"decimal"_s, {}, 9, 2}});
        held.schema = u"shop"_s;
        held.rows
            = {{integer(1), FieldValue::ofBytes("\x01"), FieldValue::ofText(u"2.50"_s, FieldValue::Kind::ExactNumeric)},
               {integer(2), FieldValue::ofBytes("\x02"), FieldValue::null()}};
        w.db.addTable(u"Tags"_s, {{u"Id"_s, u"int"_s, {}, 10, 0}}).schema = u"shop"_s;
        Table items;
        items.schema = u"shop"_s;
        items.name = u"Items"_s;
        items.columns
            = {column(1, u"Id"_s, u"int"_s), column(2, u"Ver"_s, u"timestamp"_s), column(3, u"Price"_s, u"decimal"_s)};
        items.columns[2].numericPrecision = 9;
        items.columns[2].numericScale = 2;
        items.columns[2].precision = 1; // sys.columns' facts are the complete schema's, not this format's
        Table tags;
        tags.schema = u"shop"_s;
        tags.name = u"Tags"_s;
        tags.columns = {column(1, u"Id"_s, u"int"_s)};
        QVERIFY(w.write({items, tags}));
        const QString script = w.script();
        QCOMPARE(script.count(u"CREATE SCHEMA"_s), 1);
        QVERIFY2(script.contains(u"CREATE TABLE [shop].[Items] ([Id] INT,[Ver] TIMESTAMP,[Price] DECIMAL(9,2))\r\n"_s),
                 qPrintable(script));
        QVERIFY2(script.contains(u"INSERT INTO [shop].[Items] VALUES('1', DEFAULT, '2.50');\r\n"
                                 u"INSERT INTO [shop].[Items] VALUES('2', DEFAULT, NULL);\r\n"_s),
                 qPrintable(script));
        QVERIFY(script.indexOf(u"CREATE SCHEMA"_s) < script.indexOf(u"[shop].[Items]"_s));
        QCOMPARE(w.db.executed, (QStringList{u"SELECT * FROM [shop].[Items]"_s, u"SELECT * FROM [shop].[Tags]"_s}));
    }

    void completeSchemaWritesSeveralRowsAStatement()
    {
        // The inserted columns only (no computed or rowversion column), rows in one statement, and each table's
        // footer told its own number of rows: an empty table with a used identity reseeds one step on.
        Writing w(true);
        w.db.addTable(u"A"_s, {{u"Id"_s, u"int"_s, {}, 10, 0}, {u"Ver"_s, u"timestamp"_s, {}, {}, {}}}).rows
            = {{integer(1), FieldValue::ofBytes("\x01")}, {integer(2), FieldValue::ofBytes("\x02")}};
        w.db.addTable(u"B"_s, {{u"Id"_s, u"int"_s, {}, 10, 0}});
        const auto identityTable = [](const QString& name) {
            Table table;
            table.id = name == u"A"_s ? 1 : 2;
            table.schema = u"dbo"_s;
            table.name = name;
            table.columns = {column(1, u"Id"_s, u"int"_s)};
            table.columns[0].identity = true;
            table.columns[0].identitySeed = u"1"_s;
            table.columns[0].identityIncrement = u"1"_s;
            table.columns[0].identityLast = u"5"_s;
            return table;
        };
        Table a = identityTable(u"A"_s);
        a.columns.push_back(column(2, u"Ver"_s, u"timestamp"_s));
        Column total = column(3, u"Total"_s, u"int"_s);
        total.computed = true;
        a.columns.push_back(total);
        QVERIFY(w.write({a, identityTable(u"B"_s)}));
        const QString script = w.script();
        QVERIFY2(script.contains(u"SET IDENTITY_INSERT [dbo].[A] ON\r\n"
                                 u"INSERT INTO [dbo].[A] ([Id]) VALUES ('1'),\r\n('2');\r\n"
                                 u"SET IDENTITY_INSERT [dbo].[A] OFF\r\n"
                                 u"DBCC CHECKIDENT ('[dbo].[A]', RESEED, 5)\r\nGO\r\n"_s),
                 qPrintable(script));
        QVERIFY(
            script.contains(u"SET IDENTITY_INSERT [dbo].[B] OFF\r\nDBCC CHECKIDENT ('[dbo].[B]', RESEED, 6)\r\n"_s));
        QVERIFY(!script.contains(u"DEFAULT"_s));
        QCOMPARE(w.db.executed, (QStringList{u"SELECT [Id] FROM [dbo].[A]"_s, u"SELECT [Id] FROM [dbo].[B]"_s}));
        QCOMPARE(w.dump.progress().rowsWritten, qint64(2));
    }
};

QTEST_GUILESS_MAIN(TstTableWriter)
#include "tst_tablewriter.moc"
