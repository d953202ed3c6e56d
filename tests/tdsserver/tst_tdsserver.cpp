// The TDS test server checked through the real driver (unixODBC + FreeTDS) with a bare ODBC client.
#include "OdbcProbe.h"
#include "SqlShapes.h"
#include "TdsServer.h"

#include <QElapsedTimer>
#include <QTest>
#include <QUuid>

using namespace Qt::Literals::StringLiterals;
using namespace tds;

namespace {

TableSpec table(const QString& name, const QList<ColumnSpec>& columns, const QList<Row>& rows = {})
{
    TableSpec t;
    t.name = name;
    t.columns = columns;
    t.rows = rows;
    return t;
}

QByteArray bytesOf(int count)
{
    QByteArray out(count, '\0');
    for (int i = 0; i < count; ++i)
        out[i] = char(i * 7 + 3);
    return out;
}

} // namespace

class TestTdsServer : public QObject
{
    Q_OBJECT

private:
    TdsServer m_server;

    QString connectionString(const QString& user = u"sa"_s) const
    {
        return m_server.connectionString(u"Sales"_s, user, u"p@ss w#"_s);
    }

    // One table holding one value, read back through the driver.
    QVariant roundTrip(const ColumnSpec& column, const QVariant& value)
    {
        m_server.clearTables();
        m_server.addTable(table(u"T"_s, {column}, {{value}}));
        OdbcProbe probe;
        if (!probe.connect(connectionString()))
            return QString(u"connect: "_s + probe.error());
        QList<OdbcProbe::Result> results;
        if (!probe.execute(u"SELECT * FROM [T]"_s, results))
            return QString(u"execute: "_s + probe.error());
        if (results.size() != 1 || results[0].rows.size() != 1)
            return u"no row"_s;
        return results[0].rows[0].value(0);
    }

private slots:
    void initTestCase()
    {
        qputenv("TDSVER", "7.4");
        QVERIFY(m_server.start());
        QVERIFY(m_server.port() != 0);
    }

    void init()
    {
        m_server.clearTables();
        m_server.clearMessageRules();
        m_server.clearRecords();
        m_server.setFaults({});
        m_server.setLoginAccepted(true);
        m_server.setKnownDatabases({});
        m_server.setRecordBatches(true);
        m_server.setContextMessages(true);
        m_server.setDatabaseFilesMissing(false);
        m_server.setDatabaseFiles({});
    }

    void login()
    {
        OdbcProbe probe;
        QVERIFY2(probe.connect(connectionString(u"backup"_s)), qPrintable(probe.error()));
        const QList<LoginRecord> logins = m_server.logins();
        QCOMPARE(logins.size(), 1);
        QCOMPARE(logins[0].userName, u"backup"_s);
        QCOMPARE(logins[0].password, u"p@ss w#"_s); // decoded from the login's scrambled form
        QCOMPARE(logins[0].database, u"Sales"_s);
        QCOMPARE(logins[0].tdsVersion, 0x74000004u);
        QVERIFY(logins[0].serverName.startsWith(u"127.0.0.1"_s));
    }

    void refusedLogin()
    {
        m_server.setLoginAccepted(false);
        OdbcProbe probe;
        QVERIFY(!probe.connect(connectionString(u"nobody"_s)));
        QCOMPARE(probe.error(), u"[FreeTDS][SQL Server]Login failed for user 'nobody'."_s);
    }

    void unknownDatabase()
    {
        // Every database exists until the server is told which do; then a login to another is refused with 4060.
        m_server.setKnownDatabases({u"master"_s});
        OdbcProbe refused;
        QVERIFY(!refused.connect(connectionString(u"backup"_s)));
        // As with SQL Server, FreeTDS puts the login failure first and the reason after it.
        QCOMPARE(refused.error(), u"[FreeTDS][SQL Server]Login failed for user 'backup'."_s);
        QVERIFY(refused.infos().contains(
            u"[FreeTDS][SQL Server]Cannot open database \"Sales\" requested by the login. The login failed."_s));

        // A script that creates the database makes it known.
        OdbcProbe master;
        QVERIFY2(master.connect(connectionString(u"backup"_s).replace(u"Database=Sales"_s, u"Database=MASTER"_s)),
                 qPrintable(master.error()));
        QList<OdbcProbe::Result> results;
        QVERIFY2(master.execute(u"USE [master]\r\nCREATE DATABASE [Sales] ON  PRIMARY \r\n"_s, results),
                 qPrintable(master.error()));
        QCOMPARE(m_server.knownDatabases(), (QStringList{u"master"_s, u"Sales"_s}));
        QVERIFY(master.execute(u"SELECT name FROM master.dbo.sysdatabases WHERE name = N'Sales'"_s, results));
        QCOMPARE(results.size(), 1);
        QCOMPARE(results[0].rows.size(), 1);
        OdbcProbe accepted;
        QVERIFY2(accepted.connect(connectionString(u"backup"_s)), qPrintable(accepted.error()));
    }

    void batchSizesWithoutTexts()
    {
        m_server.setRecordBatches(false);
        OdbcProbe probe;
        QVERIFY(probe.connect(connectionString()));
        QList<OdbcProbe::Result> results;
        QVERIFY2(probe.execute(u"SET DATEFORMAT mdy"_s, results), qPrintable(probe.error()));
        QVERIFY2(probe.execute(u"INSERT INTO [T] VALUES('\u00e9');\r\n"_s, results), qPrintable(probe.error()));
        QCOMPARE(m_server.batches(), QStringList());
        QCOMPARE(m_server.batchBytes(), (QList<qsizetype>{18 * 2, 30 * 2}));
    }

    void values_data()
    {
        QTest::addColumn<ColumnSpec>("column");
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QVariant>("expected");

        auto col = [](SqlType type, int length = 0, int precision = 18, int scale = -1) {
            return ColumnSpec{u"c"_s, type, length, precision, scale};
        };
        const QString longText = QString(u"0123456789abcdef"_s).repeated(4000);
        const QString longUnicode = QString(u"Grüße ☃ 日本 "_s).repeated(5000);
        QTest::newRow("int") << col(SqlType::Int) << QVariant(-2147483647 - 1) << QVariant(u"-2147483648"_s);
        QTest::newRow("bigint") << col(SqlType::BigInt) << QVariant(Q_INT64_C(9223372036854775807))
                                << QVariant(u"9223372036854775807"_s);
        QTest::newRow("smallint") << col(SqlType::SmallInt) << QVariant(-32768) << QVariant(u"-32768"_s);
        QTest::newRow("tinyint") << col(SqlType::TinyInt) << QVariant(255) << QVariant(u"255"_s);
        QTest::newRow("bit") << col(SqlType::Bit) << QVariant(true) << QVariant(u"1"_s);
        QTest::newRow("decimal") << col(SqlType::Decimal, 0, 10, 2) << QVariant(u"12.50"_s) << QVariant(u"12.50"_s);
        QTest::newRow("decimal negative")
            << col(SqlType::Decimal, 0, 5, 3) << QVariant(u"-0.125"_s) << QVariant(u"-0.125"_s);
        QTest::newRow("decimal 38 digits")
            << col(SqlType::Decimal, 0, 38, 4) << QVariant(u"-1234567890123456789012345678901234.5678"_s)
            << QVariant(u"-1234567890123456789012345678901234.5678"_s);
        QTest::newRow("numeric 19") << col(SqlType::Numeric, 0, 19, 0) << QVariant(u"9999999999999999999"_s)
                                    << QVariant(u"9999999999999999999"_s);
        QTest::newRow("float") << col(SqlType::Float) << QVariant(0.5) << QVariant(u"0.5"_s);
        QTest::newRow("real") << col(SqlType::Real) << QVariant(-1.25) << QVariant(u"-1.25"_s);
        QTest::newRow("money") << col(SqlType::Money) << QVariant(u"-922337203685477.5808"_s)
                               << QVariant(u"-922337203685477.5808"_s);
        QTest::newRow("smallmoney") << col(SqlType::SmallMoney) << QVariant(u"3.5"_s) << QVariant(u"3.5000"_s);
        QTest::newRow("datetime") << col(SqlType::DateTime) << QVariant(u"2020-01-02 03:04:05.123"_s)
                                  << QVariant(u"2020-01-02 03:04:05.123"_s);
        QTest::newRow("datetime 1753") << col(SqlType::DateTime) << QVariant(u"1753-01-01"_s)
                                       << QVariant(u"1753-01-01 00:00:00.000"_s);
        QTest::newRow("smalldatetime") << col(SqlType::SmallDateTime) << QVariant(u"2079-06-06 23:59"_s)
                                       << QVariant(u"2079-06-06 23:59:00"_s);
        QTest::newRow("date") << col(SqlType::Date) << QVariant(u"2020-02-29"_s) << QVariant(u"2020-02-29"_s);
        QTest::newRow("time") << col(SqlType::Time) << QVariant(u"10:11:12.5"_s) << QVariant(u"10:11:12.5000000"_s);
        QTest::newRow("time(0)") << col(SqlType::Time, 0, 18, 0) << QVariant(u"23:59:59"_s) << QVariant(u"23:59:59"_s);
        QTest::newRow("datetime2") << col(SqlType::DateTime2) << QVariant(u"2020-01-02 03:04:05.1234567"_s)
                                   << QVariant(u"2020-01-02 03:04:05.1234567"_s);
        QTest::newRow("datetimeoffset") << col(SqlType::DateTimeOffset)
                                        << QVariant(u"2020-01-02 00:30:00.0000000 +01:00"_s)
                                        << QVariant(u"2020-01-02 00:30:00.0000000 +01:00"_s);
        QTest::newRow("varchar cp1252") << col(SqlType::VarChar, 20) << QVariant(u"Grüße €"_s)
                                        << QVariant(u"Grüße €"_s);
        QTest::newRow("varchar beyond cp1252") << col(SqlType::VarChar, 20) << QVariant(u"a☃b"_s) << QVariant(u"a?b"_s);
        QTest::newRow("varchar(max)") << col(SqlType::VarChar, MaxLength) << QVariant(longText) << QVariant(longText);
        QTest::newRow("nvarchar") << col(SqlType::NVarChar, 20) << QVariant(u"日本語 ☃ it's"_s)
                                  << QVariant(u"日本語 ☃ it's"_s);
        QTest::newRow("nvarchar(max)") << col(SqlType::NVarChar, MaxLength) << QVariant(longUnicode)
                                       << QVariant(longUnicode);
        QTest::newRow("empty nvarchar(max)") << col(SqlType::NVarChar, MaxLength) << QVariant(u""_s) << QVariant(u""_s);
        QTest::newRow("char") << col(SqlType::Char, 5) << QVariant(u"ab"_s) << QVariant(u"ab   "_s);
        QTest::newRow("nchar") << col(SqlType::NChar, 3) << QVariant(u"é"_s) << QVariant(u"é  "_s);
        QTest::newRow("text") << col(SqlType::Text) << QVariant(u"line 1\r\nline 2"_s)
                              << QVariant(u"line 1\r\nline 2"_s);
        QTest::newRow("ntext") << col(SqlType::NText) << QVariant(u"ÿ → ✓"_s) << QVariant(u"ÿ → ✓"_s);
        QTest::newRow("xml") << col(SqlType::Xml) << QVariant(u"<a b=\"1\">ü</a>"_s) << QVariant(u"<a b=\"1\">ü</a>"_s);
        QTest::newRow("uniqueidentifier")
            << col(SqlType::UniqueIdentifier) << QVariant(QUuid(u"6F9619FF-8B86-D011-B42D-00C04FC964FF"_s))
            << QVariant(u"6F9619FF-8B86-D011-B42D-00C04FC964FF"_s);
        QTest::newRow("binary pads") << col(SqlType::Binary, 4) << QVariant(QByteArray("\x01\x02", 2))
                                     << QVariant(QByteArray("\x01\x02\x00\x00", 4));
        QTest::newRow("varbinary") << col(SqlType::VarBinary, 10) << QVariant(bytesOf(10)) << QVariant(bytesOf(10));
        QTest::newRow("varbinary(max)") << col(SqlType::VarBinary, MaxLength) << QVariant(bytesOf(100000))
                                        << QVariant(bytesOf(100000));
        QTest::newRow("image") << col(SqlType::Image) << QVariant(bytesOf(3000)) << QVariant(bytesOf(3000));
        QTest::newRow("rowversion") << col(SqlType::RowVersion) << QVariant(bytesOf(8)) << QVariant(bytesOf(8));
    }

    void values()
    {
        QFETCH(ColumnSpec, column);
        QFETCH(QVariant, value);
        QFETCH(QVariant, expected);
        const QVariant got = roundTrip(column, value);
        if (got.typeId() == QMetaType::QString && expected.typeId() == QMetaType::QString)
            QCOMPARE(got.toString(), expected.toString());
        else
            QCOMPARE(got.toByteArray(), expected.toByteArray());
    }

    void nullsOfEveryType()
    {
        QList<ColumnSpec> columns;
        for (int t = int(SqlType::Int); t <= int(SqlType::RowVersion); ++t) {
            const auto type = SqlType(t);
            if (type == SqlType::RowVersion)
                continue; // never NULL
            const int length = (type == SqlType::VarChar || type == SqlType::NVarChar || type == SqlType::VarBinary)
                ? (t % 2 ? MaxLength : 10)
                : 10;
            columns.append(ColumnSpec{u"c%1"_s.arg(t), type, length, 12, 2});
        }
        m_server.addTable(table(u"Nulls"_s, columns, {Row(columns.size()), {1}}));
        OdbcProbe probe;
        QVERIFY(probe.connect(connectionString()));
        QList<OdbcProbe::Result> results;
        QVERIFY2(probe.execute(u"SELECT * FROM [Nulls]"_s, results), qPrintable(probe.error()));
        QCOMPARE(results.size(), 1);
        QCOMPARE(results[0].rows.size(), 2);
        QCOMPARE(results[0].rowCount, 2);
        for (const QVariant& v : results[0].rows[0])
            QVERIFY(!v.isValid());
        QCOMPARE(results[0].rows[1].value(0).toString(), u"1"_s);
    }

    void tableList()
    {
        m_server.addTable(table(u"People"_s, {{u"Id"_s, SqlType::Int}}));
        TableSpec view = table(u"PeopleView"_s, {{u"Id"_s, SqlType::Int}});
        view.type = u"VIEW"_s;
        m_server.addTable(view);
        TableSpec system = table(u"sysdiagrams"_s, {{u"Id"_s, SqlType::Int}});
        system.type = u"SYSTEM TABLE"_s;
        m_server.addTable(system);
        OdbcProbe probe;
        QVERIFY(probe.connect(connectionString()));
        OdbcProbe::Result result;
        QVERIFY2(probe.tables(result), qPrintable(probe.error()));
        const qsizetype name = result.columns.indexOf(u"TABLE_NAME"_s);
        const qsizetype type = result.columns.indexOf(u"TABLE_TYPE"_s);
        QVERIFY2(name >= 0 && type >= 0, qPrintable(result.columns.join(u',')));
        QCOMPARE(result.rows.size(), 3);
        QStringList seen;
        for (const QVariantList& row : result.rows)
            seen.append(row[name].toString() + u':' + row[type].toString());
        QCOMPARE(seen, (QStringList{u"People:TABLE"_s, u"PeopleView:VIEW"_s, u"sysdiagrams:SYSTEM TABLE"_s}));
        QVERIFY(!m_server.rpcs().isEmpty() || !m_server.batches().isEmpty());
    }

    void columnCatalogue_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<QStringList>("expected");
        const QString where = u" FROM information_schema.Columns WHERE table_name='Baker''s'"_s;
        QTest::newRow("names") << u"SELECT column_name"_s + where
                               << QStringList{u"Id"_s, u"Name"_s, u"Price"_s, u"Notes"_s, u"Doc"_s, u"Raw"_s};
        QTest::newRow("types") << u"SELECT data_type"_s
                + where << QStringList{u"int"_s, u"nvarchar"_s, u"decimal"_s, u"text"_s, u"xml"_s, u"varbinary"_s};
        QTest::newRow("lengths") << u"SELECT character_maximum_length"_s + where
                                 << QStringList{u"NULL"_s, u"20"_s, u"NULL"_s, u"2147483647"_s, u"-1"_s, u"-1"_s};
        QTest::newRow("precision") << u"SELECT numeric_precision"_s + where
                                   << QStringList{u"10"_s, u"NULL"_s, u"12"_s, u"NULL"_s, u"NULL"_s, u"NULL"_s};
        QTest::newRow("scale")
            << u"select NUMERIC_SCALE from INFORMATION_SCHEMA.COLUMNS where TABLE_NAME = N'Baker''s'"_s
            << QStringList{u"0"_s, u"NULL"_s, u"2"_s, u"NULL"_s, u"NULL"_s, u"NULL"_s};
        QTest::newRow("other table") << u"SELECT column_name FROM information_schema.Columns WHERE table_name='Other'"_s
                                     << QStringList{u"X"_s};
        QTest::newRow("no such table")
            << u"SELECT column_name FROM information_schema.Columns WHERE table_name='Baker'"_s << QStringList{};
    }

    void columnCatalogue()
    {
        QFETCH(QString, query);
        QFETCH(QStringList, expected);
        m_server.addTable(table(u"Baker's"_s,
                                {{u"Id"_s, SqlType::Int},
                                 {u"Name"_s, SqlType::NVarChar, 20},
                                 {u"Price"_s, SqlType::Decimal, 0, 12, 2},
                                 {u"Notes"_s, SqlType::Text},
                                 {u"Doc"_s, SqlType::Xml},
                                 {u"Raw"_s, SqlType::VarBinary, MaxLength}}));
        m_server.addTable(table(u"Other"_s, {{u"X"_s, SqlType::Bit}}));
        OdbcProbe probe;
        QVERIFY(probe.connect(connectionString()));
        QList<OdbcProbe::Result> results;
        QVERIFY2(probe.execute(query, results), qPrintable(probe.error()));
        QCOMPARE(results.size(), 1);
        QStringList got;
        for (const QVariantList& row : results[0].rows)
            got.append(row[0].isValid() ? row[0].toString() : u"NULL"_s);
        QCOMPARE(got, expected);
    }

    void shuffledCatalogueStillHonoursOrderBy_data()
    {
        QTest::addColumn<bool>("shuffle");
        QTest::addColumn<bool>("orderBy");
        QTest::newRow("plain") << false << false;
        QTest::newRow("plain, ordered") << false << true;
        QTest::newRow("shuffled") << true << false;
        QTest::newRow("shuffled, ordered") << true << true;
    }

    void shuffledCatalogueStillHonoursOrderBy()
    {
        QFETCH(bool, shuffle);
        QFETCH(bool, orderBy);
        QList<ColumnSpec> columns;
        QStringList declared;
        for (int i = 0; i < 12; ++i) {
            columns.append({u"c%1"_s.arg(i), SqlType::Int});
            declared.append(u"c%1"_s.arg(i));
        }
        m_server.addTable(table(u"Wide"_s, columns));
        Faults faults;
        faults.shuffleCatalogue = shuffle;
        m_server.setFaults(faults);
        OdbcProbe probe;
        QVERIFY(probe.connect(connectionString()));
        QList<OdbcProbe::Result> results;
        const QString query = u"SELECT column_name, ordinal_position FROM information_schema.Columns"_s
            + (orderBy ? u" ORDER BY table_schema, table_name, ordinal_position ASC"_s : QString());
        QVERIFY2(probe.execute(query, results), qPrintable(probe.error()));
        QStringList got;
        for (const QVariantList& row : results.value(0).rows)
            got.append(row[0].toString());
        QCOMPARE(got.size(), declared.size());
        if (shuffle && !orderBy)
            QVERIFY2(got != declared, qPrintable(got.join(u',')));
        else
            QCOMPARE(got, declared);
    }

    void databaseFiles()
    {
        m_server.setDatabaseFiles({{u"D:\\Data\\Sales.mdf"_s, 0}, {u"E:\\Logs\\Sales_log.ldf"_s, 1}});
        OdbcProbe probe;
        QVERIFY(probe.connect(connectionString()));
        QList<OdbcProbe::Result> results;
        QVERIFY2(probe.execute(u"SELECT physical_name, type FROM sys.database_files"_s, results),
                 qPrintable(probe.error()));
        QCOMPARE(results.size(), 1);
        QCOMPARE(results[0].columns, (QStringList{u"physical_name"_s, u"type"_s}));
        QCOMPARE(results[0].rows.size(), 2);
        QCOMPARE(results[0].rows[1].value(0).toString(), u"E:\\Logs\\Sales_log.ldf"_s);
        QCOMPARE(results[0].rows[1].value(1).toString(), u"1"_s);

        m_server.setDatabaseFilesMissing(true);
        results.clear();
        QVERIFY(!probe.execute(u"SELECT physical_name, type FROM sys.database_files"_s, results));
        QCOMPARE(probe.error(), u"[FreeTDS][SQL Server]Invalid object name 'sys.database_files'."_s);
        // The old servers' list still answers, the log file marked by status 0x40.
        results.clear();
        QVERIFY2(probe.execute(u"SELECT filename, status FROM sysfiles"_s, results), qPrintable(probe.error()));
        QCOMPARE(results.value(0).rows.size(), 2);
        QCOMPARE(results[0].rows[0].value(0).toString().trimmed(), u"D:\\Data\\Sales.mdf"_s);
        QCOMPARE(results[0].rows[1].value(1).toInt() & 0x40, 0x40);
        QCOMPARE(results[0].rows[0].value(1).toInt() & 0x40, 0);
    }

    void snapshotIsolationAndTransactions()
    {
        m_server.addTable(table(u"People"_s, {{u"Id"_s, SqlType::Int}}, {{1}}));
        OdbcProbe probe;
        QVERIFY(probe.connect(connectionString()));
        const QString query = u"SELECT snapshot_isolation_state FROM sys.databases WHERE name = N'Sales'"_s;
        for (const bool allowed : {false, true}) {
            m_server.setSnapshotIsolation(allowed);
            QList<OdbcProbe::Result> results;
            QVERIFY2(probe.execute(query, results), qPrintable(probe.error()));
            QCOMPARE(results.value(0).rows, (QList<QVariantList>{{allowed ? u"1"_s : u"0"_s}}));
        }
        QList<OdbcProbe::Result> results;
        QVERIFY2(probe.execute(u"SELECT snapshot_isolation_state FROM sys.databases WHERE name = 'master'"_s, results),
                 qPrintable(probe.error()));
        QCOMPARE(results.value(0).rows, (QList<QVariantList>{{u"1"_s}}));

        m_server.clearRecords();
        for (const QString& statement : {u"SET TRANSACTION ISOLATION LEVEL SNAPSHOT"_s, u"BEGIN TRANSACTION"_s,
                                         u"SELECT * FROM [People]"_s, u"COMMIT"_s}) {
            results.clear();
            QVERIFY2(probe.execute(statement, results), qPrintable(statement + u": "_s + probe.error()));
        }
        QCOMPARE(m_server.requests(),
                 (QStringList{u"batch: SET TRANSACTION ISOLATION LEVEL SNAPSHOT"_s, u"batch: BEGIN TRANSACTION"_s,
                              u"batch: SELECT * FROM [People]"_s, u"batch: COMMIT"_s}));
        // Not allowed: the level, the transaction and the catalogue pass; the first read of a table is refused.
        m_server.setSnapshotIsolation(false);
        for (const QString& statement : {u"SET TRANSACTION ISOLATION LEVEL SNAPSHOT"_s, u"BEGIN TRANSACTION"_s,
                                         u"SELECT physical_name, type FROM sys.database_files"_s}) {
            results.clear();
            QVERIFY2(probe.execute(statement, results), qPrintable(statement + u": "_s + probe.error()));
        }
        results.clear();
        QVERIFY(!probe.execute(u"SELECT * FROM [People]"_s, results));
        QCOMPARE(probe.error(),
                 u"[FreeTDS][SQL Server]Snapshot isolation transaction failed accessing database "
                 u"'Sales' because snapshot isolation is not allowed in this database. Use ALTER "
                 u"DATABASE to allow snapshot isolation."_s);
        for (const QString& statement : {u"ROLLBACK TRANSACTION"_s, u"SET TRANSACTION ISOLATION LEVEL READ COMMITTED"_s,
                                         u"SELECT * FROM [People]"_s}) {
            results.clear();
            QVERIFY2(probe.execute(statement, results), qPrintable(statement + u": "_s + probe.error()));
        }
        QCOMPARE(results.value(0).rows, (QList<QVariantList>{{u"1"_s}}));
        // A COMMIT without a transaction is an error, as on SQL Server; the session goes on.
        results.clear();
        QVERIFY(!probe.execute(u"COMMIT TRANSACTION"_s, results));
        QCOMPARE(probe.error(),
                 u"[FreeTDS][SQL Server]The COMMIT TRANSACTION request has no corresponding BEGIN TRANSACTION."_s);
        results.clear();
        QVERIFY2(probe.execute(u"BEGIN TRAN; ROLLBACK"_s, results), qPrintable(probe.error()));
    }

    void errors_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<QString>("error");
        QTest::newRow("unknown statement") << u"SELEC 1"_s << u"Incorrect syntax near 'SELEC'."_s;
        QTest::newRow("unknown table") << u"SELECT * FROM [Missing]"_s << u"Invalid object name 'Missing'."_s;
        QTest::newRow("unknown column") << u"SELECT Nope FROM [People]"_s << u"Invalid column name 'Nope'."_s;
        QTest::newRow("unclosed name") << u"SELECT * FROM [People"_s << u"Incorrect syntax near '[People'."_s;
        QTest::newRow("apostrophe breaks the query")
            << u"SELECT column_name FROM information_schema.Columns WHERE table_name='Baker's'"_s
            << u"Incorrect syntax near 's'."_s;
    }

    void errors()
    {
        QFETCH(QString, query);
        QFETCH(QString, error);
        m_server.addTable(table(u"People"_s, {{u"Id"_s, SqlType::Int}}, {{1}}));
        OdbcProbe probe;
        QVERIFY(probe.connect(connectionString()));
        QList<OdbcProbe::Result> results;
        QVERIFY(!probe.execute(query, results));
        QCOMPARE(probe.error(), u"[FreeTDS][SQL Server]"_s + error);
        // The connection stays usable after a statement error.
        results.clear();
        QVERIFY2(probe.execute(u"SELECT * FROM [People]"_s, results), qPrintable(probe.error()));
        QCOMPARE(results.value(0).rows.size(), 1);
    }

    void selectShapes()
    {
        m_server.addTable(table(u"A]b"_s, {{u"Id"_s, SqlType::Int}, {u"Name"_s, SqlType::NVarChar, 10}},
                                {{1, u"one"_s}, {2, u"two"_s}, {3, u"two"_s}}));
        OdbcProbe probe;
        QVERIFY(probe.connect(connectionString()));
        QList<OdbcProbe::Result> results;
        QVERIFY2(probe.execute(u"SELECT Name, Id FROM dbo.[A]]b] WHERE Name = N'two'; SELECT 1 AS one, 'x'"_s, results),
                 qPrintable(probe.error()));
        QCOMPARE(results.size(), 2);
        QCOMPARE(results[0].columns, (QStringList{u"Name"_s, u"Id"_s}));
        QCOMPARE(results[0].rows, (QList<QVariantList>{{u"two"_s, u"2"_s}, {u"two"_s, u"3"_s}}));
        QCOMPARE(results[1].columns.value(0), u"one"_s);
        QCOMPARE(results[1].rows.value(0), (QVariantList{u"1"_s, u"x"_s}));
    }

    void scriptIsRecordedWhole()
    {
        const QString script = u"-- Server: s    Database: Sales\r\nUSE [master]\r\n--\r\n"
                               "CREATE DATABASE [Sales]\r\nUSE [Sales]\r\n"
                               "INSERT INTO [People] VALUES('1', N'日本', 'it''s');\r\n"
                               "INSERT INTO [People] VALUES('2', NULL, 'x');\r\n"_s;
        OdbcProbe probe;
        QVERIFY(probe.connect(connectionString()));
        QList<OdbcProbe::Result> results;
        QVERIFY2(probe.execute(script, results), qPrintable(probe.error()));
        QCOMPARE(m_server.batches().size(), 1);
        QCOMPARE(m_server.batches().constFirst(), script);
        const QString infos = probe.infos().join(u'\n');
        QVERIFY2(infos.contains(u"[FreeTDS][SQL Server]Changed database context to 'master'."_s), qPrintable(infos));
        QVERIFY2(infos.contains(u"Changed database context to 'Sales'."_s), qPrintable(infos));
    }

    void scriptWithoutContextMessages()
    {
        m_server.setContextMessages(false);
        OdbcProbe probe;
        QVERIFY(probe.connect(connectionString()));
        QList<OdbcProbe::Result> results;
        QVERIFY2(probe.execute(u"USE [master]\r\nCREATE DATABASE [X]\r\n"_s, results), qPrintable(probe.error()));
        QVERIFY(!probe.infos().join(u'\n').contains(u"Changed database context"_s));
    }

    void scriptErrorAtStatement()
    {
        m_server.addMessageRule({u"VALUES('2'"_s, 2627, u"Violation of PRIMARY KEY constraint 'PK_People'."_s, 14});
        OdbcProbe probe;
        QVERIFY(probe.connect(connectionString()));
        QList<OdbcProbe::Result> results;
        const QString script = u"USE [master]\r\nINSERT INTO [People] VALUES('1');\r\n"
                               "INSERT INTO [People] VALUES('2');\r\nINSERT INTO [People] VALUES('3');\r\n"_s;
        QVERIFY(!probe.execute(script, results));
        QCOMPARE(probe.error(), u"[FreeTDS][SQL Server]Violation of PRIMARY KEY constraint 'PK_People'."_s);
        QCOMPARE(m_server.batches(), QStringList{script});
    }

    void closeInTheMiddleOfRows()
    {
        TableSpec big = table(u"Big"_s, {{u"Id"_s, SqlType::Int}, {u"Pad"_s, SqlType::VarChar, 100}});
        big.generatedRows = 100000;
        big.generator = [](qint64 i, Row& row) {
            row[0] = i;
            row[1] = QString(100, u'x');
        };
        m_server.addTable(big);
        m_server.setFaults({.closeAfterRows = 5000});
        OdbcProbe probe;
        QVERIFY(probe.connect(connectionString()));
        QList<OdbcProbe::Result> results;
        QVERIFY(!probe.execute(u"SELECT * FROM [Big]"_s, results));
        QVERIFY(!probe.error().isEmpty());

        // A fresh connection reads the whole table once the fault is gone.
        m_server.setFaults({});
        OdbcProbe again;
        QVERIFY(again.connect(connectionString()));
        results.clear();
        QVERIFY2(again.execute(u"SELECT * FROM [Big]"_s, results), qPrintable(again.error()));
        QCOMPARE(results.value(0).rows.size(), 100000);
        QCOMPARE(results[0].rows.last().value(0).toString(), u"99999"_s);
    }

    void stalledServerTimesOut()
    {
        m_server.setFaults({.stall = true});
        OdbcProbe probe;
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!probe.connect(connectionString(), 1));
        QVERIFY(!probe.error().isEmpty());
        QVERIFY(timer.elapsed() < 60'000); // bounded: the login timeout ended the wait
    }

    void cancelWhileRowsAreSlow()
    {
        TableSpec slow = table(u"Slow"_s, {{u"Id"_s, SqlType::Int}});
        slow.generatedRows = 1'000'000;
        slow.generator = [](qint64 i, Row& row) { row[0] = i; };
        m_server.addTable(slow);
        m_server.setFaults({.rowDelayMs = 20});
        OdbcProbe probe;
        QVERIFY(probe.connect(connectionString()));
        QVERIFY2(probe.fetchThenCancel(u"SELECT * FROM [Slow]"_s, 2), qPrintable(probe.error()));
        QCOMPARE(m_server.attentionCount(), 1);
        // The connection is in step again: the next query is answered.
        m_server.setFaults({});
        m_server.addTable(table(u"One"_s, {{u"Id"_s, SqlType::Int}}, {{7}}));
        QList<OdbcProbe::Result> results;
        QVERIFY2(probe.execute(u"SELECT * FROM [One]"_s, results), qPrintable(probe.error()));
        QCOMPARE(results.value(0).rows.value(0).value(0).toString(), u"7"_s);
    }

    void parser_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("parsed");
        QTest::addColumn<QString>("object");
        QTest::newRow("star") << u"SELECT * FROM [T]"_s << true << u"T"_s;
        QTest::newRow("bracket escape") << u"select * from [a]]b]"_s << true << u"a]b"_s;
        QTest::newRow("qualified") << u"SELECT x FROM master.dbo.[T 1] WHERE a=1 AND b=N'q'"_s << true << u"T 1"_s;
        QTest::newRow("comment") << u"/* c */ SELECT 1 -- tail"_s << true << QString();
        QTest::newRow("insert") << u"INSERT INTO T VALUES(1)"_s << false << QString();
        QTest::newRow("dangling where") << u"SELECT * FROM T WHERE"_s << false << QString();
        QTest::newRow("two statements") << u"SET NOCOUNT ON SELECT * FROM T"_s << true << QString();
        QTest::newRow("begin transaction") << u"BEGIN TRANSACTION"_s << true << QString();
        QTest::newRow("commit work") << u"COMMIT WORK"_s << true << QString();
        QTest::newRow("bare begin") << u"BEGIN SELECT 1 END"_s << false << QString();
    }

    void parser()
    {
        QFETCH(QString, text);
        QFETCH(bool, parsed);
        QFETCH(QString, object);
        QList<sql::Statement> statements;
        QString near;
        QCOMPARE(sql::parseBatch(text, statements, near), parsed);
        if (parsed && !object.isEmpty())
            QCOMPARE(statements.last().object.last(), object);
    }

    void cleanupTestCase() { m_server.stop(); }
};

QTEST_GUILESS_MAIN(TestTdsServer)
#include "tst_tdsserver.moc"
