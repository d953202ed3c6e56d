// The complete schema's sections, written from models built by hand: exact types, column definitions, the frame of
// the rows, the objects after the data and their order. The server side is tested on a real server (conformance).
#include "SchemaScript.h"

#include <QTest>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;
using namespace SchemaModel;

namespace {

Column column(const QString& name, const QString& type, int maxLength = 0, int precision = 0, int scale = 0)
{
    Column c;
    c.name = name;
    c.type = type;
    c.maxLength = maxLength;
    c.precision = precision;
    c.scale = scale;
    return c;
}

Column identity(const QString& name, std::optional<QString> last)
{
    Column c = column(name, u"int"_s);
    c.nullable = false;
    c.identity = true;
    c.identitySeed = u"1"_s;
    c.identityIncrement = u"5"_s;
    c.identityLast = std::move(last);
    return c;
}

Module module(qint64 id, const QString& name, const QString& type = u"V"_s)
{
    Module m;
    m.id = id;
    m.schema = u"s"_s;
    m.name = name;
    m.type = type;
    m.definition = u"CREATE VIEW s."_s + name + u" AS SELECT 1 AS a\r\n"_s;
    return m;
}

const QByteArray Prefix = "INSERT INTO [s].[T] ([n], [t]) VALUES ";

QString joined(const QStringList& lines)
{
    return lines.join(u"\r\n"_s);
}

/** Pairs of (referencing, referenced) module ids. */
using Uses = QList<QPair<qint64, qint64>>;

} // namespace

class TstSchemaScript : public QObject
{
    Q_OBJECT

private slots:
    void typeTexts_data()
    {
        QTest::addColumn<Column>("column");
        QTest::addColumn<QString>("expected");
        QTest::newRow("int") << column(u"c"_s, u"int"_s, 4, 10) << u"INT"_s;
        QTest::newRow("nvarchar: length in characters") << column(u"c"_s, u"nvarchar"_s, 200) << u"NVARCHAR(100)"_s;
        QTest::newRow("nchar") << column(u"c"_s, u"nchar"_s, 20) << u"NCHAR(10)"_s;
        QTest::newRow("varchar") << column(u"c"_s, u"varchar"_s, 8000) << u"VARCHAR(8000)"_s;
        QTest::newRow("varchar max") << column(u"c"_s, u"varchar"_s, -1) << u"VARCHAR(max)"_s;
        QTest::newRow("nvarchar max") << column(u"c"_s, u"nvarchar"_s, -1) << u"NVARCHAR(max)"_s;
        QTest::newRow("binary") << column(u"c"_s, u"binary"_s, 4) << u"BINARY(4)"_s;
        QTest::newRow("decimal") << column(u"c"_s, u"decimal"_s, 9, 10, 2) << u"DECIMAL(10,2)"_s;
        QTest::newRow("numeric") << column(u"c"_s, u"numeric"_s, 17, 38, 0) << u"NUMERIC(38,0)"_s;
        QTest::newRow("datetime2(0) stays") << column(u"c"_s, u"datetime2"_s, 6, 19, 0) << u"DATETIME2(0)"_s;
        QTest::newRow("time(3)") << column(u"c"_s, u"time"_s, 4, 12, 3) << u"TIME(3)"_s;
        QTest::newRow("datetimeoffset(7)") << column(u"c"_s, u"datetimeoffset"_s, 10, 34, 7) << u"DATETIMEOFFSET(7)"_s;
        QTest::newRow("datetime") << column(u"c"_s, u"datetime"_s, 8, 23, 3) << u"DATETIME"_s;
        QTest::newRow("text") << column(u"c"_s, u"text"_s, 16) << u"TEXT"_s;
        Column alias = column(u"c"_s, u"Phone"_s, 40);
        alias.aliasType = true;
        alias.typeSchema = u"it's]"_s;
        QTest::newRow("alias type, two-part name") << alias << u"[it's]]].[Phone]"_s;
    }
    void typeTexts()
    {
        QFETCH(Column, column);
        QFETCH(QString, expected);
        QCOMPARE(SchemaScript::typeText(column), expected);
    }

    void columnDefinitions_data()
    {
        QTest::addColumn<Column>("column");
        QTest::addColumn<QString>("expected");
        Column plain = column(u"Name"_s, u"nvarchar"_s, 200);
        plain.nullable = false;
        plain.collation = u"SQL_Latin1_General_CP1_CI_AS"_s;
        QTest::newRow("collation of the database left out") << plain << u"[Name] NVARCHAR(100) NOT NULL"_s;
        Column collated = plain;
        collated.collation = u"Latin1_General_BIN"_s;
        QTest::newRow("another collation written")
            << collated << u"[Name] NVARCHAR(100) COLLATE Latin1_General_BIN NOT NULL"_s;
        QTest::newRow("identity") << identity(u"Id"_s, u"7"_s) << u"[Id] INT IDENTITY(1, 5) NOT NULL"_s;
        Column withDefault = column(u"Credit"_s, u"decimal"_s, 9, 10, 2);
        withDefault.defaultName = u"DF_x]y"_s;
        withDefault.defaultDefinition = u"((0))"_s;
        QTest::newRow("named default as stored")
            << withDefault << u"[Credit] DECIMAL(10,2) NULL CONSTRAINT [DF_x]]y] DEFAULT ((0))"_s;
        withDefault.defaultDefinition = u"getdate()"_s;
        QTest::newRow("a default stored bare gets its parentheses")
            << withDefault << u"[Credit] DECIMAL(10,2) NULL CONSTRAINT [DF_x]]y] DEFAULT (getdate())"_s;
        Column computed = column(u"Total"_s, u"numeric"_s, 17, 38, 2);
        computed.computed = true;
        computed.computedDefinition = u"([Qty]*[Price])"_s;
        QTest::newRow("computed") << computed << u"[Total] AS ([Qty]*[Price])"_s;
        computed.persisted = true;
        QTest::newRow("computed, persisted") << computed << u"[Total] AS ([Qty]*[Price]) PERSISTED"_s;
        computed.nullable = false;
        QTest::newRow("computed, persisted, not null")
            << computed << u"[Total] AS ([Qty]*[Price]) PERSISTED NOT NULL"_s;
    }
    void columnDefinitions()
    {
        QFETCH(Column, column);
        QFETCH(QString, expected);
        QCOMPARE(SchemaScript::columnDefinition(column, u"SQL_Latin1_General_CP1_CI_AS"_s), expected);
    }

    void dependencyOrder_data()
    {
        QTest::addColumn<QList<qint64>>("made"); // module ids in the order they were made
        QTest::addColumn<Uses>("uses"); // (referencing, referenced)
        QTest::addColumn<QList<qint64>>("expected");
        QTest::newRow("no dependencies: the order they were made")
            << QList<qint64>{3, 1, 2} << Uses{} << QList<qint64>{3, 1, 2};
        QTest::newRow("a view on a view made later")
            << QList<qint64>{1, 2, 3} << Uses{{1, 3}} << QList<qint64>{3, 1, 2};
        QTest::newRow("a chain") << QList<qint64>{1, 2, 3} << Uses{{1, 2}, {2, 3}} << QList<qint64>{3, 2, 1};
        QTest::newRow("tables and other objects are no modules")
            << QList<qint64>{1, 2} << Uses{{1, 99}, {98, 2}, {2, 2}} << QList<qint64>{1, 2};
        QTest::newRow("a cycle is broken where it was made")
            << QList<qint64>{1, 2, 3} << Uses{{1, 2}, {2, 1}, {3, 1}} << QList<qint64>{2, 1, 3};
    }
    void dependencyOrder()
    {
        QFETCH(QList<qint64>, made);
        QFETCH(Uses, uses);
        QFETCH(QList<qint64>, expected);
        std::vector<Module> modules;
        for (const qint64 id : made)
            modules.push_back(module(id, u"m"_s + QString::number(id)));
        std::vector<std::pair<qint64, qint64>> pairs;
        for (const auto& [from, to] : uses)
            pairs.emplace_back(from, to);
        QList<qint64> ids;
        for (const Module& m : SchemaModel::dependencyOrder(modules, pairs))
            ids << m.id;
        QCOMPARE(ids, expected);
    }

    void rowsFrame_data()
    {
        QTest::addColumn<std::optional<QString>>("last"); // the identity's last value; none without identity use
        QTest::addColumn<bool>("hasIdentity");
        QTest::addColumn<qint64>("rows");
        QTest::addColumn<QString>("header");
        QTest::addColumn<QString>("footer");
        const QString comment = u"--\r\n-- Dumping data for table [s].[T]]x]\r\n--\r\n"_s;
        QTest::newRow("no identity") << std::optional<QString>() << false << qint64(3) << comment << u"GO\r\n"_s;
        QTest::newRow("identity with rows: reseed to the last value")
            << std::optional<QString>(u"42"_s) << true << qint64(2)
            << comment + u"\r\nSET IDENTITY_INSERT [s].[T]]x] ON"_s
            << u"SET IDENTITY_INSERT [s].[T]]x] OFF\r\nDBCC CHECKIDENT ('[s].[T]]x]', RESEED, 42)\r\nGO\r\n"_s;
        QTest::newRow("identity, rows all gone: the next row gets last + increment")
            << std::optional<QString>(u"42"_s) << true << qint64(0)
            << comment + u"\r\nSET IDENTITY_INSERT [s].[T]]x] ON"_s
            << u"SET IDENTITY_INSERT [s].[T]]x] OFF\r\nDBCC CHECKIDENT ('[s].[T]]x]', RESEED, 47)\r\nGO\r\n"_s;
        QTest::newRow("identity never used: the seed stands")
            << std::optional<QString>() << true << qint64(0) << comment + u"\r\nSET IDENTITY_INSERT [s].[T]]x] ON"_s
            << u"SET IDENTITY_INSERT [s].[T]]x] OFF\r\nGO\r\n"_s;
    }
    void rowsFrame()
    {
        QFETCH(std::optional<QString>, last);
        QFETCH(bool, hasIdentity);
        QFETCH(qint64, rows);
        QFETCH(QString, header);
        QFETCH(QString, footer);
        Table table{1, u"s"_s, u"T]x"_s, {column(u"a"_s, u"int"_s)}};
        if (hasIdentity)
            table.columns.push_back(identity(u"Id"_s, last));
        QCOMPARE(joined(SchemaScript::rowsHeader(table)), header);
        QCOMPARE(joined(SchemaScript::rowsFooter(table, rows)), footer);
    }

    void reseedKeepsNamesWholeInTheLiteral()
    {
        Table table{1, u"Ω's"_s, u"T"_s, {identity(u"Id"_s, u"1"_s)}};
        QVERIFY(joined(SchemaScript::rowsFooter(table, 1)).contains(u"DBCC CHECKIDENT (N'[Ω''s].[T]', RESEED, 1)"_s));
    }

    void computedAndRowVersionColumnsTakeNoValue()
    {
        Column computed = column(u"Total"_s, u"numeric"_s);
        computed.computed = true;
        Table table{
            1,
            u"s"_s,
            u"T"_s,
            {identity(u"Id"_s, u"1"_s), computed, column(u"Stamp"_s, u"timestamp"_s), column(u"b]"_s, u"int"_s)}};
        QCOMPARE(SchemaScript::dataQuery(table), u"SELECT [Id], [b]]] FROM [s].[T]"_s);
        QCOMPARE(SchemaScript::insertPrefix(table), QByteArray("INSERT INTO [s].[T] ([Id], [b]]]) VALUES "));
    }

    void rowsGoIntoStatementsOfSeveralRows_data()
    {
        QTest::addColumn<QByteArrayList>("rows");
        QTest::addColumn<int>("maxRows");
        QTest::addColumn<qsizetype>("maxBytes");
        QTest::addColumn<QByteArray>("expected");
        const QByteArray p = Prefix;
        const QByteArrayList three = {"1, 'a'", "2, NULL", "3"};
        const qsizetype big = qsizetype(SchemaScript::InsertStatements::MaxBytes);
        QTest::newRow("three rows, one statement") << three << 1000 << big << p + "(1, 'a'),\r\n(2, NULL),\r\n(3);\r\n";
        QTest::newRow("one row") << QByteArrayList{"1, 'a'"} << 1000 << big << p + "(1, 'a');\r\n";
        QTest::newRow("no rows, no statement") << QByteArrayList{} << 1000 << big << QByteArray();
        QTest::newRow("cut after the most rows")
            << three << 2 << big << p + "(1, 'a'),\r\n(2, NULL);\r\nGO\r\n" + p + "(3);\r\n";
        QTest::newRow("one row a statement")
            << three << 1 << big << p + "(1, 'a');\r\nGO\r\n" + p + "(2, NULL);\r\nGO\r\n" + p + "(3);\r\n";
        // The bound counts the whole statement with its ";" and line end: two rows that just fit stay together.
        const QByteArray two = p + "(1, 'a'),\r\n(2, NULL);\r\n";
        QTest::newRow("bytes: two rows fill the bound exactly")
            << three << 1000 << two.size() << two.chopped(3) + ";\r\nGO\r\n" + p + "(3);\r\n";
        QTest::newRow("bytes: one byte less moves the second row")
            << three << 1000 << two.size() - 1 << p + "(1, 'a');\r\nGO\r\n" + p + "(2, NULL),\r\n(3);\r\n";
        // A row longer than the bound stands alone, and the rows after it begin a new statement.
        const QByteArray longValue = "2, '" + QByteArray(300, 'x') + "'";
        QTest::newRow("bytes: a row over the bound stands alone")
            << QByteArrayList{"1, 'a'", longValue, "3, 'c'"} << 1000 << qsizetype(100)
            << p + "(1, 'a');\r\nGO\r\n" + p + "(" + longValue + ");\r\nGO\r\n" + p + "(3, 'c');\r\n";
        QTest::newRow("bytes: a long first row stands alone")
            << QByteArrayList{longValue, "3, 'c'"} << 1000 << qsizetype(100)
            << p + "(" + longValue + ");\r\nGO\r\n" + p + "(3, 'c');\r\n";
    }
    void rowsGoIntoStatementsOfSeveralRows()
    {
        QFETCH(QByteArrayList, rows);
        QFETCH(int, maxRows);
        QFETCH(qsizetype, maxBytes);
        QFETCH(QByteArray, expected);
        // Written in pieces of `piece` bytes, as a long value comes, with the buffer going to the file whenever it
        // holds `flushAt` bytes and may: the file is the same whatever the pieces, and the buffer stays bounded.
        for (const qsizetype piece : {qsizetype(1000), qsizetype(1), qsizetype(7)}) {
            for (const std::size_t flushAt : {std::size_t(1) << 30, std::size_t(1), std::size_t(16)}) {
                ScriptBuffer buffer;
                QByteArray file;
                std::size_t largest = 0;
                SchemaScript::InsertStatements statements(buffer, Prefix, maxRows, std::size_t(maxBytes));
                const auto flush = [&] {
                    largest = std::max(largest, buffer.size());
                    if (buffer.size() < flushAt || !statements.mayFlush())
                        return;
                    statements.flushing();
                    file += buffer.toByteArray();
                    buffer.clear();
                };
                for (const QByteArray& row : rows) {
                    statements.beginRow();
                    for (qsizetype at = 0; at < row.size(); at += piece) {
                        buffer.append(row.mid(at, piece));
                        flush();
                    }
                    statements.endRow();
                    flush();
                }
                statements.finish();
                file += buffer.toByteArray();
                QCOMPARE(file, expected);
                QCOMPARE(statements.statements(), qint64(expected.count(Prefix)));
                // A row that may still move is held, and no more: the statement's bound, a prefix and a piece.
                if (flushAt <= 16)
                    QVERIFY2(largest <= std::size_t(maxBytes) + std::size_t(Prefix.size() + 16 + piece),
                             qPrintable(QString::number(largest)));
            }
        }
    }

    void statementsHoldAtMostAThousandRows()
    {
        // 2,500 rows: two statements of 1,000 and a short one of 500, each but the last followed by GO.
        ScriptBuffer buffer;
        SchemaScript::InsertStatements statements(buffer, Prefix);
        for (int i = 0; i < 2500; ++i) {
            statements.beginRow();
            buffer.append(QByteArray::number(i));
            statements.endRow();
        }
        statements.finish();
        const QList<QByteArray> parts = buffer.toByteArray().split('G');
        QCOMPARE(parts.size(), 3);
        QCOMPARE(statements.statements(), 3);
        const QList<int> rows = {1000, 1000, 500};
        int first = 0;
        for (qsizetype i = 0; i < parts.size(); ++i) {
            const QByteArray statement = i == 0 ? parts[i] : parts[i].mid(3); // "O\r\n" of the GO line
            QVERIFY(statement.startsWith(QByteArray(Prefix + "(" + QByteArray::number(first) + "),\r\n")));
            QVERIFY(statement.endsWith(QByteArray(",\r\n(" + QByteArray::number(first + rows[i] - 1) + ");\r\n")));
            QCOMPARE(statement.count("\r\n"), rows[i]);
            first += rows[i];
        }
    }

    void beforeData()
    {
        Database db;
        db.collation = u"SQL_Latin1_General_CP1_CI_AS"_s;
        db.schemas = QStringList{u"sales"_s};
        db.aliasTypes.push_back(AliasType{u"dbo"_s, u"Phone"_s, u"nvarchar"_s, 40, 0, 0, false});
        db.sequences.push_back(Sequence{u"sales"_s, u"No"_s, u"int"_s, 10, 0, u"100"_s, u"5"_s, u"1"_s, u"2147483647"_s,
                                        u"135"_s, false, 50});
        db.sequences.push_back(Sequence{u"sales"_s, u"Fresh"_s, u"bigint"_s, 19, 0, u"1"_s, u"1"_s, u"1"_s,
                                        u"9223372036854775807"_s, u"1"_s, true, std::nullopt});
        db.tables.push_back(Table{1, u"sales"_s, u"Customers"_s, {identity(u"Id"_s, u"3"_s)}});
        db.tables[0].columns.push_back(column(u"Name"_s, u"nvarchar"_s, 200));
        const QString expected
            = u"--\r\n-- Schema [sales]\r\n--\r\n\r\nCREATE SCHEMA [sales]\r\nGO\r\n\r\n"
              u"--\r\n-- Type [dbo].[Phone]\r\n--\r\n\r\nCREATE TYPE [dbo].[Phone] FROM NVARCHAR(20) NOT "
              u"NULL\r\nGO\r\n\r\n"
              u"--\r\n-- Sequence [sales].[No]\r\n--\r\n\r\n"
              u"CREATE SEQUENCE [sales].[No] AS INT START WITH 100 INCREMENT BY 5 MINVALUE 1 MAXVALUE 2147483647 "
              u"NO CYCLE CACHE 50\r\nGO\r\nALTER SEQUENCE [sales].[No] RESTART WITH 135\r\nGO\r\n\r\n"
              u"--\r\n-- Sequence [sales].[Fresh]\r\n--\r\n\r\n"
              u"CREATE SEQUENCE [sales].[Fresh] AS BIGINT START WITH 1 INCREMENT BY 1 MINVALUE 1 "
              u"MAXVALUE 9223372036854775807 CYCLE NO CACHE\r\nGO\r\n\r\n"
              u"--\r\n-- Table structure for table [sales].[Customers]\r\n--\r\n\r\n"
              u"CREATE TABLE [sales].[Customers] (\r\n    [Id] INT IDENTITY(1, 5) NOT NULL,\r\n"
              u"    [Name] NVARCHAR(100) NULL\r\n)\r\nGO\r\n"_s;
        QCOMPARE(joined(SchemaScript::beforeData(db)), expected);
    }

    void afterData()
    {
        Database db;
        db.tables.push_back(Table{1, u"s"_s, u"Orders"_s, {}});
        db.tables.push_back(Table{2, u"s"_s, u"Customers"_s, {}});
        Index pk;
        pk.tableId = 1;
        pk.name = u"PK_Orders"_s;
        pk.clustered = true;
        pk.unique = pk.primaryKey = true;
        pk.keys = {{u"Id"_s, false}};
        Index uq = pk;
        uq.name = u"UQ_Orders"_s;
        uq.clustered = uq.primaryKey = false;
        uq.uniqueConstraint = true;
        uq.keys = {{u"No"_s, false}, {u"Day"_s, true}};
        Index ix;
        ix.tableId = 1;
        ix.name = u"IX_Orders"_s;
        ix.unique = true;
        ix.keys = {{u"Customer"_s, true}};
        ix.included = QStringList{u"Qty"_s, u"Price"_s};
        ix.filter = u"([Customer] IS NOT NULL)"_s;
        Index heap; // a heap has no keys: nothing to write
        heap.tableId = 1;
        db.indexes = {pk, uq, ix, heap};
        db.checks.push_back(Check{2, u"CK_Credit"_s, u"([Credit]>=(0))"_s, true, true});
        ForeignKey fk;
        fk.tableId = 1;
        fk.referencedTableId = 2;
        fk.name = u"FK_Orders_Customers"_s;
        fk.columns = QStringList{u"Customer"_s};
        fk.referencedColumns = QStringList{u"Id"_s};
        fk.onDelete = 1;
        fk.onUpdate = 2;
        db.foreignKeys.push_back(fk);
        Module view = module(7, u"V"_s);
        view.quotedIdentifier = false;
        db.modules.push_back(view);
        Module trigger = module(8, u"Tr"_s, u"TR"_s);
        trigger.definition
            = u"CREATE TRIGGER s.Tr ON s.Orders AFTER INSERT AS\r\nINSERT INTO s.Log VALUES (1)\r\n\r\n"_s;
        trigger.parentId = 1;
        trigger.disabled = true;
        db.triggers.push_back(trigger);

        const QString expected
            = u"--\r\n-- Primary key [PK_Orders] of [s].[Orders]\r\n--\r\n\r\n"
              u"ALTER TABLE [s].[Orders] ADD CONSTRAINT [PK_Orders] PRIMARY KEY CLUSTERED ([Id] ASC)\r\nGO\r\n\r\n"
              u"--\r\n-- Unique constraint [UQ_Orders] of [s].[Orders]\r\n--\r\n\r\n"
              u"ALTER TABLE [s].[Orders] ADD CONSTRAINT [UQ_Orders] UNIQUE NONCLUSTERED ([No] ASC, [Day] DESC)\r\n"
              u"GO\r\n\r\n"
              u"--\r\n-- Index [IX_Orders] of [s].[Orders]\r\n--\r\n\r\n"
              u"CREATE UNIQUE NONCLUSTERED INDEX [IX_Orders] ON [s].[Orders] ([Customer] DESC) INCLUDE ([Qty], "
              u"[Price]) WHERE ([Customer] IS NOT NULL)\r\nGO\r\n\r\n"
              u"--\r\n-- Check constraint [CK_Credit] of [s].[Customers]\r\n--\r\n\r\n"
              u"ALTER TABLE [s].[Customers] WITH NOCHECK ADD CONSTRAINT [CK_Credit] CHECK ([Credit]>=(0))\r\nGO\r\n"
              u"ALTER TABLE [s].[Customers] NOCHECK CONSTRAINT [CK_Credit]\r\nGO\r\n\r\n"
              u"--\r\n-- Foreign key [FK_Orders_Customers] of [s].[Orders]\r\n--\r\n\r\n"
              u"ALTER TABLE [s].[Orders] ADD CONSTRAINT [FK_Orders_Customers] FOREIGN KEY ([Customer]) REFERENCES "
              u"[s].[Customers] ([Id]) ON DELETE CASCADE ON UPDATE SET NULL\r\nGO\r\n\r\n"
              u"--\r\n-- View [s].[V]\r\n--\r\n\r\nSET ANSI_NULLS ON\r\nSET QUOTED_IDENTIFIER OFF\r\nGO\r\n"
              u"CREATE VIEW s.V AS SELECT 1 AS a\r\nGO\r\n\r\n"
              u"--\r\n-- Trigger [s].[Tr]\r\n--\r\n\r\nSET ANSI_NULLS ON\r\nSET QUOTED_IDENTIFIER ON\r\nGO\r\n"
              u"CREATE TRIGGER s.Tr ON s.Orders AFTER INSERT AS\r\nINSERT INTO s.Log VALUES (1)\r\nGO\r\n\r\n"
              u"DISABLE TRIGGER [s].[Tr] ON [s].[Orders]\r\nGO\r\n"_s;
        QCOMPARE(joined(SchemaScript::afterData(db)), expected);
    }

    void unscripted_data()
    {
        QTest::addColumn<QList<int>>("counts"); // synonyms, full-text indexes, users
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("comment");
        QTest::newRow("everything written") << QList<int>{0, 0, 0} << QString() << QString();
        QTest::newRow("plural and singular") << QList<int>{2, 1, 0} << u"2 synonyms, 1 full-text index"_s
                                             << u"--\r\n-- Not scripted: 2 synonyms, 1 full-text index\r\n--\r\n"_s;
        QTest::newRow("one user") << QList<int>{0, 0, 1} << u"1 user"_s << u"--\r\n-- Not scripted: 1 user\r\n--\r\n"_s;
    }
    void unscripted()
    {
        QFETCH(QList<int>, counts);
        QFETCH(QString, text);
        QFETCH(QString, comment);
        Database db;
        db.unscripted = {{u"synonym"_s, u"synonyms"_s, counts[0]},
                         {u"full-text index"_s, u"full-text indexes"_s, counts[1]},
                         {u"user"_s, u"users"_s, counts[2]}};
        QCOMPARE(db.unscriptedText(), text);
        QCOMPARE(joined(SchemaScript::unscriptedComment(db)), comment);
    }
};

QTEST_GUILESS_MAIN(TstSchemaScript)
#include "tst_schemascript.moc"
