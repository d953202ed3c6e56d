// The dump and the restore end to end: the program's ODBC layer, unixODBC and FreeTDS against the TDS test server.
#include "AutoBackup.h"
#include "DumpHarness.h"
#include "ErrorReport.h"
#include "FakeClock.h"
#include "FakeDialogs.h"
#include "FakeViews.h"
#include "Gzip.h"
#include "IntervalSave.h"
#include "Mssql.h"
#include "OdbcConnection.h"
#include "ScriptRestore.h"
#include "SettingsStore.h"
#include "TdsServer.h"
#include "WorkGuard.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QUuid>

using namespace Qt::Literals::StringLiterals;
using namespace tds;

namespace {

const QString Database = u"Sales"_s;
const QString User = u"sa"_s;
const QString Password = u"Secret1!"_s;

TableSpec table(const QString& name, const QList<ColumnSpec>& columns, const QList<Row>& rows = {})
{
    TableSpec t;
    t.name = name;
    t.columns = columns;
    t.rows = rows;
    return t;
}

/** The text between "VALUES(" and ");" of the one INSERT line of table V (it may span lines). */
QString insertedValues(const QByteArray& script)
{
    const QString text = QString::fromUtf8(script);
    const QString start = u"INSERT INTO [V] VALUES("_s;
    const qsizetype from = text.indexOf(start);
    if (from < 0)
        return u"<no INSERT line>"_s;
    const qsizetype to = text.indexOf(u");\r\n\r\n"_s, from);
    return text.mid(from + start.size(), to - from - start.size());
}

QString hex(const QByteArray& bytes)
{
    return u"0x"_s + QString::fromLatin1(bytes.toHex().toUpper());
}

QByteArray bytesOf(int count)
{
    QByteArray out(count, '\0');
    for (int i = 0; i < count; ++i)
        out[i] = char(i * 13 + 1);
    return out;
}

void compareWithExpected(const QByteArray& actual, const QString& name)
{
    const QString path = QStringLiteral(TESSALINE_TEST_DATA "/e2e/") + name;
    if (qEnvironmentVariableIsSet("TESSALINE_UPDATE_EXPECTED")) {
        QFile out(path);
        QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        out.write(actual);
    }
    const QByteArray expected = readBytes(path);
    QVERIFY2(!expected.isEmpty(), qPrintable(u"missing expected file "_s + path));
    const QList<QByteArray> a = actual.split('\n');
    const QList<QByteArray> e = expected.split('\n');
    for (qsizetype i = 0; i < std::min(a.size(), e.size()); ++i) {
        if (a[i] != e[i])
            QCOMPARE(a[i], e[i]);
    }
    QCOMPARE(a.size(), e.size());
    QCOMPARE(actual, expected);
}

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

private:
    TdsServer m_server;
    std::unique_ptr<OdbcConnectionFactory> m_factory;

    QString connectionString() const { return m_server.connectionString(Database, User, Password); }

    ConnectionSettings settings() const
    {
        ConnectionSettings s;
        s.Server = u"127.0.0.1"_s;
        s.Port = QString::number(m_server.port());
        s.Database = Database;
        s.UserName = User;
        s.Password = Password;
        return s;
    }

    /** The database of the expected file: every table kind the list can hold, the worked example, all types. */
    void buildSalesDatabase()
    {
        m_server.addTable(table(
            u"People"_s, {{u"Id"_s, SqlType::Int}, {u"Name"_s, SqlType::NVarChar, 20}, {u"Born"_s, SqlType::DateTime}},
            {{1, u"Baker's"_s, u"1970-05-01"_s}, {2, QVariant(), QVariant()}}));
        TableSpec view = table(u"PeopleView"_s, {{u"Id"_s, SqlType::Int}}, {{1}});
        view.type = u"VIEW"_s;
        m_server.addTable(view);
        TableSpec system = table(u"sysdiagrams"_s, {{u"name"_s, SqlType::NVarChar, 128}}, {{u"d"_s}});
        system.type = u"SYSTEM TABLE"_s;
        m_server.addTable(system);
        m_server.addTable(table(u"Trace_XE_Event_Map"_s, {{u"Id"_s, SqlType::Int}}, {{1}}));
        m_server.addTable(table(u"Empty"_s, {{u"Id"_s, SqlType::Int}, {u"Note"_s, SqlType::VarChar, 8000}}));
        m_server.addTable(table(u"Odd]Name's"_s, {{u"Id"_s, SqlType::Int}}, {{3}}));
        const QList<ColumnSpec> all = {{u"i"_s, SqlType::Int},
                                       {u"bi"_s, SqlType::BigInt},
                                       {u"si"_s, SqlType::SmallInt},
                                       {u"ti"_s, SqlType::TinyInt},
                                       {u"b"_s, SqlType::Bit},
                                       {u"d"_s, SqlType::Decimal, 0, 12, 2},
                                       {u"n"_s, SqlType::Numeric, 0, 5, 0},
                                       {u"f"_s, SqlType::Float},
                                       {u"r"_s, SqlType::Real},
                                       {u"m"_s, SqlType::Money},
                                       {u"sm"_s, SqlType::SmallMoney},
                                       {u"dt"_s, SqlType::DateTime},
                                       {u"sdt"_s, SqlType::SmallDateTime},
                                       {u"da"_s, SqlType::Date},
                                       {u"t"_s, SqlType::Time},
                                       {u"dt2"_s, SqlType::DateTime2},
                                       {u"dto"_s, SqlType::DateTimeOffset},
                                       {u"vc"_s, SqlType::VarChar, 20},
                                       {u"nvc"_s, SqlType::NVarChar, MaxLength},
                                       {u"c"_s, SqlType::Char, 5},
                                       {u"nc"_s, SqlType::NChar, 3},
                                       {u"tx"_s, SqlType::Text},
                                       {u"ntx"_s, SqlType::NText},
                                       {u"x"_s, SqlType::Xml},
                                       {u"g"_s, SqlType::UniqueIdentifier},
                                       {u"bin"_s, SqlType::Binary, 4},
                                       {u"vb"_s, SqlType::VarBinary, MaxLength},
                                       {u"img"_s, SqlType::Image},
                                       {u"rv"_s, SqlType::RowVersion}};
        const Row values = {42,
                            Q_INT64_C(-9000000000),
                            -7,
                            255,
                            true,
                            u"-12.50"_s,
                            u"99999"_s,
                            0.1,
                            1.5,
                            u"12.3456"_s,
                            u"-3.5"_s,
                            u"2020-01-02 03:04:05.123"_s,
                            u"2020-01-02 03:04"_s,
                            u"2020-02-29"_s,
                            u"10:11:12.5"_s,
                            u"2020-01-02 03:04:05.1234567"_s,
                            u"2020-01-02 03:04:05 +01:00"_s,
                            u"Grüße, it's"_s,
                            u"日本語 ✓"_s,
                            u"ab"_s,
                            u"é"_s,
                            u"C:\\dir\r\nsecond line"_s,
                            u"|myseparaterz|"_s,
                            u"<a b=\"1\"/>"_s,
                            QUuid(u"6F9619FF-8B86-D011-B42D-00C04FC964FF"_s),
                            QByteArray("\x01\x02", 2),
                            QByteArray("\x00\xFF", 2),
                            QByteArray("GIF8"),
                            QByteArray::fromHex("00000000000007D1")};
        Row nulls(all.size());
        nulls.last() = QByteArray::fromHex("00000000000007D2");
        m_server.addTable(table(u"AllTypes"_s, all, {values, nulls}));
        m_server.setDatabaseFiles({{u"D:\\SQLData\\Sales.mdf"_s, 0}, {u"E:\\SQLLogs\\Sales_log.ldf"_s, 1}});
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_server.start());
        m_factory = std::make_unique<OdbcConnectionFactory>(10);
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
        m_server.setDatabaseFiles({});
        m_server.setDatabaseFilesMissing(false);
        m_server.setSnapshotIsolation(false);
    }

    void dumpMatchesExpectedFile_data()
    {
        QTest::addColumn<bool>("shuffledCatalogue");
        QTest::newRow("catalogue in order") << false;
        QTest::newRow("catalogue shuffled") << true;
    }

    void dumpMatchesExpectedFile()
    {
        QFETCH(bool, shuffledCatalogue);
        Faults faults;
        faults.shuffleCatalogue = shuffledCatalogue;
        m_server.setFaults(faults);
        buildSalesDatabase();
        DumpHarness h(*m_factory, u"127.0.0.1"_s, Database);
        QVERIFY(h.dump(connectionString()));
        QCOMPARE(h.dialogs.errorReports(), QStringList());
        compareWithExpected(h.output(), u"sales.sql"_s);
        QCOMPARE(h.status.caption(), u"Auto Backup Complete at 8/31/2021 9:30:12 AM"_s);
        QCOMPARE(h.log(), h.outputPath + u" was backup saved at 8/31/2021 9:30:12 AM\r\n"_s);
        // What the driver was asked: the login as given, then the catalogue and data queries, no stray statements.
        const QList<LoginRecord> logins = m_server.logins();
        QCOMPARE(logins.size(), 1);
        QCOMPARE(logins[0].userName, User);
        QCOMPARE(logins[0].password, Password);
        QCOMPARE(logins[0].database, Database);
        for (const QString& batch : m_server.batches())
            QVERIFY2(batch.startsWith(u"SELECT "_s), qPrintable(batch));
    }

    void columnListFollowsTheRowsOrder()
    {
        // A catalogue that answers in another order than the columns': the script still lists them as SELECT * does.
        Faults faults;
        faults.shuffleCatalogue = true;
        m_server.setFaults(faults);
        m_server.addTable(table(u"events"_s,
                                {{u"id"_s, SqlType::Int},
                                 {u"at"_s, SqlType::DateTime2, 0, 18, 0},
                                 {u"t"_s, SqlType::Time, 0, 18, 0},
                                 {u"v"_s, SqlType::VarChar, 10},
                                 {u"nv"_s, SqlType::NVarChar, 10},
                                 {u"d"_s, SqlType::Decimal, 0, 9, 2},
                                 {u"last"_s, SqlType::Int}},
                                {{1, u"2020-01-02 03:04:05"_s, u"10:11:12"_s, u"a"_s, u"b"_s, u"1.50"_s, 7}}));
        DumpHarness h(*m_factory, u"127.0.0.1"_s, Database);
        QVERIFY(h.dump(connectionString()));
        QCOMPARE(h.dialogs.errorReports(), QStringList());
        const QString script = QString::fromUtf8(h.output());
        QVERIFY2(script.contains(u"CREATE TABLE [events] ([id] INT,[at] DATETIME2,[t] TIME,[v] VARCHAR(10),"
                                 u"[nv] NVARCHAR(10),[d] DECIMAL(9,2),[last] INT)\r\n"_s),
                 qPrintable(script));
        QVERIFY2(script.contains(u"INSERT INTO [events] VALUES('1', '2020-01-02 03:04:05', '10:11:12', 'a', 'b', "
                                 u"'1.50', '7');"_s),
                 qPrintable(script));
    }

    void rowsWhoseColumnsDifferFromTheCatalogueAreRefused()
    {
        ColumnSpec renamed{u"at"_s, SqlType::DateTime};
        renamed.catalogueName = u"t"_s;
        ColumnSpec other{u"t"_s, SqlType::DateTime};
        other.catalogueName = u"at"_s;
        m_server.addTable(
            table(u"Swapped"_s, {{u"id"_s, SqlType::Int}, renamed, other}, {{1, QVariant(), QVariant()}}));
        m_server.addTable(table(u"Fine"_s, {{u"id"_s, SqlType::Int}}, {{2}}));
        DumpHarness h(*m_factory, u"127.0.0.1"_s, Database);
        QVERIFY(!h.dump(connectionString()));
        const QString text = u"The rows of [Swapped] have the columns (id, at, t) but its column list is (id, t, at). "
                             u"The backup cannot hold this table."_s;
        QCOMPARE(h.dialogs.errorReports(),
                 QStringList{composeErrorReport(text, errorReportLocation(u"IntervalSave"_s, u"SaveAll"_s), 260)});
        QVERIFY(m_server.batches().contains(u"SELECT * FROM [Fine]"_s)); // the dump went on with the next table
        QVERIFY(!QFileInfo::exists(h.outputPath)); // but writes no file
        QVERIFY2(h.log().contains(u" backup failed at "_s), qPrintable(h.log()));
    }

    void tablesOfEverySchemaThroughTheDriver()
    {
        // The driver's table list names each table's schema; two tables of one name in two schemas are both kept.
        Faults faults;
        faults.shuffleCatalogue = true;
        m_server.setFaults(faults);
        m_server.addTable(table(u"Orders"_s, {{u"Id"_s, SqlType::Int}, {u"Total"_s, SqlType::Int}}, {{1, 5}}));
        TableSpec sales = table(u"Orders"_s, {{u"Code"_s, SqlType::VarChar, 8}}, {{u"x'y"_s}});
        sales.schema = u"sales"_s;
        m_server.addTable(sales);
        DumpHarness h(*m_factory, u"127.0.0.1"_s, Database);
        QVERIFY(h.dump(connectionString()));
        QCOMPARE(h.dialogs.errorReports(), QStringList());
        const QString script = QString::fromUtf8(h.output());
        for (const QString& line : {u"\r\nCREATE TABLE [Orders] ([Id] INT,[Total] INT)\r\n"_s,
                                    u"\r\nINSERT INTO [Orders] VALUES('1', '5');\r\n"_s,
                                    u"\r\nIF SCHEMA_ID(N'sales') IS NULL EXEC(N'CREATE SCHEMA [sales]')\r\n"_s,
                                    u"\r\n-- Table structure for table [sales].[Orders]\r\n"_s,
                                    u"\r\nCREATE TABLE [sales].[Orders] ([Code] VARCHAR(8))\r\n"_s,
                                    u"\r\nINSERT INTO [sales].[Orders] VALUES('x''y');\r\n"_s})
            QVERIFY2(script.contains(line), qPrintable(line));
    }

    void valueTexts_data()
    {
        QTest::addColumn<ColumnSpec>("column");
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QString>("expected");
        auto col = [](SqlType type, int length = 0, int precision = 18, int scale = -1) {
            return ColumnSpec{u"c"_s, type, length, precision, scale};
        };
        const QString longText = QString(u"It's a long line; "_s).repeated(3000); // 54,000 characters
        QString longQuoted = longText;
        longQuoted.replace(u"'"_s, u"''"_s);
        const QString longUnicode = QString(u"Grüße ☃ "_s).repeated(6000);
        QTest::newRow("NULL int") << col(SqlType::Int) << QVariant() << u"NULL"_s;
        QTest::newRow("NULL nvarchar") << col(SqlType::NVarChar, 10) << QVariant() << u"NULL"_s;
        QTest::newRow("NULL datetime") << col(SqlType::DateTime) << QVariant() << u"NULL"_s;
        QTest::newRow("NULL varbinary(max)") << col(SqlType::VarBinary, MaxLength) << QVariant() << u"NULL"_s;
        QTest::newRow("empty text is not NULL") << col(SqlType::VarChar, 10) << QVariant(u""_s) << u"''"_s;
        QTest::newRow("int") << col(SqlType::Int) << QVariant(-2147483647 - 1) << u"'-2147483648'"_s;
        QTest::newRow("bigint") << col(SqlType::BigInt) << QVariant(Q_INT64_C(9223372036854775807))
                                << u"'9223372036854775807'"_s;
        QTest::newRow("bit") << col(SqlType::Bit) << QVariant(false) << u"'False'"_s;
        QTest::newRow("decimal keeps its scale")
            << col(SqlType::Decimal, 0, 10, 2) << QVariant(u"12.50"_s) << u"'12.50'"_s;
        QTest::newRow("decimal 38") << col(SqlType::Decimal, 0, 38, 0)
                                    << QVariant(u"99999999999999999999999999999999999999"_s)
                                    << u"'99999999999999999999999999999999999999'"_s;
        QTest::newRow("money") << col(SqlType::Money) << QVariant(u"-12.3456"_s) << u"'-12.3456'"_s;
        QTest::newRow("float shortest") << col(SqlType::Float) << QVariant(0.1) << u"'0.1'"_s;
        QTest::newRow("real shortest") << col(SqlType::Real) << QVariant(1.1) << u"'1.1'"_s;
        QTest::newRow("datetime midnight") << col(SqlType::DateTime) << QVariant(u"1970-05-01"_s) << u"'5/1/1970'"_s;
        QTest::newRow("datetime afternoon")
            << col(SqlType::DateTime) << QVariant(u"2021-12-24 15:04:05"_s) << u"'12/24/2021 3:04:05 PM'"_s;
        QTest::newRow("datetime fraction")
            << col(SqlType::DateTime) << QVariant(u"2020-01-02 03:04:05.123"_s) << u"'2020-01-02T03:04:05.123'"_s;
        QTest::newRow("smalldatetime") << col(SqlType::SmallDateTime) << QVariant(u"2020-01-02 03:04"_s)
                                       << u"'1/2/2020 3:04:00 AM'"_s;
        QTest::newRow("date") << col(SqlType::Date) << QVariant(u"2020-02-29"_s) << u"'2020-02-29'"_s;
        QTest::newRow("date in year 1 keeps four year digits")
            << col(SqlType::Date) << QVariant(u"0001-01-01"_s) << u"'0001-01-01'"_s;
        QTest::newRow("datetime2 in year 999")
            << col(SqlType::DateTime2) << QVariant(u"0999-12-31 23:59:59.5"_s) << u"'0999-12-31 23:59:59.5000000'"_s;
        QTest::newRow("time") << col(SqlType::Time) << QVariant(u"10:11:12.5"_s) << u"'10:11:12.5000000'"_s;
        QTest::newRow("datetime2") << col(SqlType::DateTime2) << QVariant(u"2020-01-02 03:04:05.1234567"_s)
                                   << u"'2020-01-02 03:04:05.1234567'"_s;
        QTest::newRow("datetimeoffset") << col(SqlType::DateTimeOffset) << QVariant(u"2020-01-02 03:04:05 +01:00"_s)
                                        << u"'2020-01-02 03:04:05.0000000 +01:00'"_s;
        QTest::newRow("uniqueidentifier")
            << col(SqlType::UniqueIdentifier) << QVariant(QUuid(u"6F9619FF-8B86-D011-B42D-00C04FC964FF"_s))
            << u"'6F9619FF-8B86-D011-B42D-00C04FC964FF'"_s;
        QTest::newRow("apostrophe") << col(SqlType::VarChar, 20) << QVariant(u"Baker's"_s) << u"'Baker''s'"_s;
        QTest::newRow("western varchar") << col(SqlType::VarChar, 20) << QVariant(u"Grüße €"_s) << u"'Grüße €'"_s;
        QTest::newRow("non-western nvarchar") << col(SqlType::NVarChar, 20) << QVariant(u"日本's"_s) << u"N'日本''s'"_s;
        QTest::newRow("line break") << col(SqlType::NText) << QVariant(u"a\r\nb\\c"_s) << u"'a\r\nb\\c'"_s;
        QTest::newRow("marker stays one value")
            << col(SqlType::VarChar, 40) << QVariant(u"x|myseparaterz|y"_s) << u"'x|myseparaterz|y'"_s;
        QTest::newRow("xml") << col(SqlType::Xml) << QVariant(u"<a>1</a>"_s) << u"'<a>1</a>'"_s;
        QTest::newRow("varchar(max) long")
            << col(SqlType::VarChar, MaxLength) << QVariant(longText) << u"'"_s + longQuoted + u"'"_s;
        QTest::newRow("nvarchar(max) long")
            << col(SqlType::NVarChar, MaxLength) << QVariant(longUnicode) << u"N'"_s + longUnicode + u"'"_s;
        QTest::newRow("binary") << col(SqlType::Binary, 3) << QVariant(QByteArray("\x00\x01", 2)) << u"0x000100"_s;
        QTest::newRow("varbinary(max) long")
            << col(SqlType::VarBinary, MaxLength) << QVariant(bytesOf(70000)) << hex(bytesOf(70000));
        QTest::newRow("image") << col(SqlType::Image) << QVariant(bytesOf(9000)) << hex(bytesOf(9000));
        QTest::newRow("rowversion") << col(SqlType::RowVersion) << QVariant(bytesOf(8)) << u"DEFAULT"_s;
    }

    void valueTexts()
    {
        QFETCH(ColumnSpec, column);
        QFETCH(QVariant, value);
        QFETCH(QString, expected);
        m_server.addTable(table(u"V"_s, {column}, {{value}}));
        DumpHarness h(*m_factory, u"127.0.0.1"_s, Database);
        QVERIFY(h.dump(connectionString()));
        QCOMPARE(h.dialogs.errorReports(), QStringList());
        const QString got = insertedValues(h.output());
        if (got.size() > 200 || expected.size() > 200) {
            QCOMPARE(got.size(), expected.size());
            QVERIFY(got == expected);
        } else {
            QCOMPARE(got, expected);
        }
    }

    void fileFoldersFromOldServer()
    {
        m_server.addTable(table(u"People"_s, {{u"Id"_s, SqlType::Int}}, {{1}}));
        m_server.setDatabaseFilesMissing(true);
        m_server.setDatabaseFiles({{u"C:\\Old\\Data\\Sales.mdf"_s, 0}, {u"C:\\Old\\Log\\Sales.ldf"_s, 1}});
        DumpHarness h(*m_factory, u"127.0.0.1"_s, Database);
        QVERIFY(h.dump(connectionString()));
        QCOMPARE(h.dialogs.errorReports(), QStringList());
        const QString script = QString::fromUtf8(h.output());
        QVERIFY(script.contains(u"FILENAME = N'C:\\Old\\Data\\Sales_Data.MDF'"_s));
        QVERIFY(script.contains(u"FILENAME = N'C:\\Old\\Log\\Sales_Log.LDF'"_s));
    }

    void refusedLoginIsReportedAt124()
    {
        m_server.setLoginAccepted(false);
        DumpHarness h(*m_factory, u"127.0.0.1"_s, Database);
        QVERIFY(!h.dump(connectionString()));
        const QString driverText = u"[FreeTDS][SQL Server]Login failed for user 'sa'."_s;
        const QStringList reports = h.dialogs.errorReports();
        QVERIFY(!reports.isEmpty());
        QCOMPARE(reports.first(),
                 composeErrorReport(driverText, errorReportLocation(u"IntervalSave"_s, u"SaveAll"_s), 124));
        QVERIFY2(h.log().contains(u" backup failed at 8/31/2021 9:30:12 AM: "_s + driverText), qPrintable(h.log()));
        QCOMPARE(h.status.caption(), u"Auto Backup Failed at 8/31/2021 9:30:12 AM"_s);
    }

    void connectionClosedMidDump()
    {
        m_server.addTable(table(u"First"_s, {{u"Id"_s, SqlType::Int}}, {{1}}));
        TableSpec big = table(u"Big"_s, {{u"Id"_s, SqlType::Int}, {u"Name"_s, SqlType::NVarChar, 50}});
        big.generatedRows = 50'000;
        big.generator = [](qint64 i, Row& row) {
            row[0] = i;
            row[1] = u"name %1"_s.arg(i);
        };
        m_server.addTable(big);
        m_server.setFaults({.closeAfterRows = 20'000});

        DumpHarness h(*m_factory, u"127.0.0.1"_s, Database);
        QVERIFY(!h.dump(connectionString()));
        QVERIFY(!h.dialogs.errorReports().isEmpty());
        QVERIFY2(h.log().contains(u" backup failed at "_s), qPrintable(h.log()));
        QVERIFY(h.status.caption().startsWith(u"Auto Backup Failed at "_s));
        // What was read before the break is not kept: the folder holds the log and no script.
        QCOMPARE(QDir(h.dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{u"backups.log"_s});

        // The program is usable after: the next dump (a minute later) is complete.
        m_server.setFaults({});
        h.clock.advanceMs(60'000);
        h.dialogs.clear();
        QVERIFY(h.dump(connectionString()));
        QCOMPARE(h.dialogs.errorReports(), QStringList());
        const QString whole = QString::fromUtf8(h.output());
        QCOMPARE(whole.count(u"INSERT INTO [Big] VALUES("_s), 50'000);
        QVERIFY(whole.contains(u"INSERT INTO [Big] VALUES('49999', 'name 49999');\r\n\r\n"_s));
    }

    void stalledServerEndsWithinTheLoginTimeout()
    {
        m_server.setFaults({.stall = true});
        OdbcConnectionFactory shortWait(2);
        DumpHarness h(shortWait, u"127.0.0.1"_s, Database);
        QVERIFY(!h.dump(connectionString())); // returns: the wait is bounded
        const QStringList reports = h.dialogs.errorReports();
        QVERIFY(!reports.isEmpty());
        const QString location = errorReportLocation(u"IntervalSave"_s, u"SaveAll"_s);
        // The driver's own text, reported at the login step.
        QVERIFY2(reports.first().startsWith(u"[FreeTDS]"_s), qPrintable(reports.first()));
        QVERIFY2(reports.first().contains(u"\r\n"_s + location + u"at line 124\r\r"_s), qPrintable(reports.first()));
        QVERIFY(h.log().contains(u" backup failed at "_s));
        QCOMPARE(QDir(h.dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{u"backups.log"_s});
    }

    void snapshotReadsArriveInOrder()
    {
        buildSalesDatabase();
        m_server.setSnapshotIsolation(true);
        DumpHarness h(*m_factory, u"127.0.0.1"_s, Database);
        QVERIFY(h.dump(connectionString()));
        m_server.setSnapshotIsolation(false);
        QCOMPARE(h.dialogs.errorReports(), QStringList());
        compareWithExpected(h.output(), u"sales.sql"_s); // the same bytes as without a snapshot
        const QStringList requests = m_server.requests();
        const qsizetype set = requests.indexOf(u"batch: SET TRANSACTION ISOLATION LEVEL SNAPSHOT"_s);
        const qsizetype begin = requests.indexOf(u"batch: BEGIN TRANSACTION"_s);
        const qsizetype commit = requests.indexOf(u"batch: COMMIT"_s);
        QVERIFY2(set >= 1 && begin == set + 1 && commit == requests.size() - 1, qPrintable(requests.join(u'\n')));
        QVERIFY(requests[set - 1].contains(u"sys.databases"_s));
        // The table list, every column query and every data query come between BEGIN and COMMIT.
        for (qsizetype i = 0; i < requests.size(); ++i) {
            const QString& r = requests[i];
            if (r.contains(u"sp_tables"_s) || r.contains(u"information_schema"_s) || r.contains(u"SELECT * FROM"_s))
                QVERIFY2(i > begin && i < commit, qPrintable(r));
        }
        QVERIFY(requests.filter(u"SELECT * FROM [AllTypes]"_s).size() == 1);
    }

    void slowRowsKeepEventsRunning()
    {
        TableSpec slow = table(u"Slow"_s, {{u"Id"_s, SqlType::Int}});
        slow.generatedRows = 80;
        slow.generator = [](qint64 i, Row& row) { row[0] = i; };
        m_server.addTable(slow);
        m_server.setFaults({.rowDelayMs = 10});
        DumpHarness h(*m_factory, u"127.0.0.1"_s, Database);
        SystemClock realTime; // the engine lets events run at most every 10 ms of its clock
        h.engineClock = &realTime;
        QVERIFY(h.dump(connectionString()));
        QCOMPARE(QString::fromUtf8(h.output()).count(u"INSERT INTO [Slow]"_s), 80);
        // Rows 10 ms apart for 0.8 s: events ran again and again while the dump waited for them (a generous bound:
        // the engine looks at its clock every few rows, and rows may bunch up on a busy machine).
        QVERIFY2(h.pumps >= 5, qPrintable(QString::number(h.pumps)));
    }

    void blockReadsGiveTheValuesOfRowReads()
    {
        // The same rows twice: of bounded columns only, read in blocks, and with a long column after them, read value
        // by value. Every value comes out the same both ways, NULLs of every type and texts at their length too.
        const QList<ColumnSpec> bounded = {{u"i"_s, SqlType::Int},
                                           {u"bi"_s, SqlType::BigInt},
                                           {u"si"_s, SqlType::SmallInt},
                                           {u"ti"_s, SqlType::TinyInt},
                                           {u"b"_s, SqlType::Bit},
                                           {u"d"_s, SqlType::Decimal, 0, 38, 4},
                                           {u"n"_s, SqlType::Numeric, 0, 5, 0},
                                           {u"f"_s, SqlType::Float},
                                           {u"r"_s, SqlType::Real},
                                           {u"m"_s, SqlType::Money},
                                           {u"sm"_s, SqlType::SmallMoney},
                                           {u"dt"_s, SqlType::DateTime},
                                           {u"sdt"_s, SqlType::SmallDateTime},
                                           {u"da"_s, SqlType::Date},
                                           {u"t"_s, SqlType::Time},
                                           {u"dt2"_s, SqlType::DateTime2},
                                           {u"dto"_s, SqlType::DateTimeOffset},
                                           {u"vc"_s, SqlType::VarChar, 8000},
                                           {u"nvc"_s, SqlType::NVarChar, 4000},
                                           {u"c"_s, SqlType::Char, 5},
                                           {u"nc"_s, SqlType::NChar, 3},
                                           {u"g"_s, SqlType::UniqueIdentifier},
                                           {u"bin"_s, SqlType::Binary, 4},
                                           {u"vb"_s, SqlType::VarBinary, 8000},
                                           {u"dt20"_s, SqlType::DateTime2, 0, 18, 0},
                                           {u"dt23"_s, SqlType::DateTime2, 0, 18, 3}};
        const Row values = {-2147483647 - 1,
                            Q_INT64_C(-9223372036854775807) - 1,
                            -32768,
                            255,
                            false,
                            u"-1234567890123456789012345678901234.5678"_s,
                            u"99999"_s,
                            0.1,
                            1.1,
                            u"-922337203685477.5808"_s,
                            u"-214748.3648"_s,
                            u"1753-01-01 00:00:00.003"_s,
                            u"2079-06-06 23:59"_s,
                            u"0001-01-01"_s,
                            u"23:59:59.9999999"_s,
                            u"0999-12-31 23:59:59.5"_s,
                            u"0050-01-02 03:04:05 -14:00"_s,
                            QString(8000, u'x'),
                            QString(u"日本's ✓"_s).repeated(500),
                            u"abcde"_s,
                            u"é"_s,
                            QUuid(u"6f9619ff-8b86-d011-b42d-00c04fc964ff"_s),
                            QByteArray("\x00\x01\x02\x03", 4),
                            bytesOf(8000),
                            u"0001-01-01 00:00:00"_s,
                            u"0999-12-31 23:59:59.999"_s};
        const Row small = {0,
                           0,
                           0,
                           0,
                           true,
                           u"0.5"_s,
                           u"0"_s,
                           -0.0,
                           3.4e38,
                           u"0.01"_s,
                           u"0"_s,
                           u"2020-01-02 03:04:05"_s,
                           u"1900-01-01"_s,
                           u"9999-12-31"_s,
                           u"00:00:00"_s,
                           u"2020-01-02 03:04:05"_s,
                           u"2020-01-02 03:04:05.1234567 +01:00"_s,
                           u""_s,
                           u"'"_s,
                           u"a"_s,
                           u""_s,
                           QUuid(u"00000000-0000-0000-0000-00000000000a"_s),
                           QByteArray(),
                           QByteArray(1, '\xFF'),
                           u"9999-12-31 23:59:59"_s,
                           u"2020-01-02 03:04:05.5"_s};
        const Row nulls(bounded.size());
        QList<Row> rows;
        for (int i = 0; i < 700; ++i)
            rows.append(i % 3 == 0 ? values : i % 3 == 1 ? nulls : small);
        m_server.addTable(table(u"Blocks"_s, bounded, rows));
        QList<Row> longRows = rows;
        for (Row& row : longRows)
            row.append(u"long"_s);
        m_server.addTable(table(u"Pieces"_s, bounded + QList<ColumnSpec>{{u"tx"_s, SqlType::NText}}, longRows));

        auto connection = m_factory->createConnection();
        connection->Open(connectionString());
        const int columns = int(bounded.size());
        auto blocks = connection->Execute(u"SELECT * FROM [Blocks]"_s);
        QVERIFY(dynamic_cast<OdbcRecordSet&>(*blocks).readsBlocks());
        const QList<QList<FieldValue>> fromBlocks = readAll(*blocks, columns);
        auto pieces = connection->Execute(u"SELECT * FROM [Pieces]"_s);
        QVERIFY(!dynamic_cast<OdbcRecordSet&>(*pieces).readsBlocks());
        const QList<QList<FieldValue>> fromPieces = readAll(*pieces, columns);

        QCOMPARE(fromBlocks.size(), rows.size());
        QCOMPARE(fromPieces.size(), rows.size());
        for (qsizetype r = 0; r < rows.size(); ++r) {
            for (int c = 0; c < columns; ++c) {
                const QString why = difference(fromBlocks[r][c], fromPieces[r][c]);
                QVERIFY2(why.isEmpty(), qPrintable(u"row %1, column %2: %3"_s.arg(r).arg(bounded[c].name, why)));
            }
        }
        // NULLs are NULL, and the texts at their declared length come whole.
        QCOMPARE(fromBlocks[1][0].kind, FieldValue::Kind::Null);
        QCOMPARE(fromBlocks[1][17].kind, FieldValue::Kind::Null);
        QCOMPARE(fromBlocks[0][17].text.size(), 8000);
        QCOMPARE(fromBlocks[0][18].text, values[18].toString());
        QCOMPARE(fromBlocks[0][23].bytes, bytesOf(8000));
        QCOMPARE(fromBlocks[0][13].text, u"0001-01-01"_s);
    }

    void blockReadsWalkEveryRow_data()
    {
        QTest::addColumn<int>("rows");
        QTest::newRow("empty") << 0;
        QTest::newRow("one") << 1;
        QTest::newRow("more than a block, not a multiple of it") << 2000;
    }

    void blockReadsWalkEveryRow()
    {
        QFETCH(int, rows);
        TableSpec numbers = table(u"Numbers"_s, {{u"Id"_s, SqlType::Int}, {u"Name"_s, SqlType::NVarChar, 20}});
        numbers.generatedRows = rows;
        numbers.generator = [](qint64 i, Row& row) {
            row[0] = i;
            row[1] = i % 5 == 4 ? QVariant() : QVariant(u"n%1"_s.arg(i));
        };
        m_server.addTable(numbers);
        auto connection = m_factory->createConnection();
        connection->Open(connectionString());
        auto rs = connection->Execute(u"SELECT * FROM [Numbers]"_s);
        auto& odbc = dynamic_cast<OdbcRecordSet&>(*rs);
        QCOMPARE(rs->FieldCount(), 2);
        QCOMPARE(rs->FieldName(1), u"Name"_s);
        qint64 seen = 0;
        for (; !rs->Eof(); rs->MoveNext(), ++seen) {
            QCOMPARE(odbc.rowsInMemory(), 1);
            QCOMPARE(rs->Fields(0).text, QString::number(seen));
            QCOMPARE(rs->Fields(u"name"_s).text, seen % 5 == 4 ? QString() : u"n%1"_s.arg(seen));
            QCOMPARE(rs->Fields(1).isNull(), seen % 5 == 4);
        }
        QCOMPARE(seen, rows);
        if (rows > 0)
            QVERIFY(!odbc.isStreaming()); // moving past the last row ended the batch
        QVERIFY_THROWS_EXCEPTION(DbError, rs->MoveNext());

        // Read whole half-way, because the connection is asked for another command: the rest stays walkable.
        auto again = connection->Execute(u"SELECT * FROM [Numbers]"_s);
        const int half = rows / 2;
        for (int i = 0; i < half; ++i)
            again->MoveNext();
        auto other = connection->Execute(u"SELECT * FROM [Numbers]"_s);
        QVERIFY(!dynamic_cast<OdbcRecordSet&>(*again).isStreaming());
        QCOMPARE(again->RecordCount(), rows);
        for (qint64 i = half; i < rows; ++i, again->MoveNext())
            QCOMPARE(again->Fields(0).text, QString::number(i));
        QVERIFY(again->Eof());
        QCOMPARE(other->RecordCount(), rows);

        // A batch of two results: the first comes in blocks, the second is walked past at its end.
        auto batch = connection->Execute(u"SELECT * FROM [Numbers]; SELECT * FROM [Numbers]"_s);
        QCOMPARE(batch->RecordCount(), rows);
        auto last = connection->Execute(u"SELECT * FROM [Numbers]"_s);
        QCOMPARE(last->RecordCount(), rows);
    }

    void restore_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("message");
        const QString done = u"Done."_s;
        const QString failed = QString::fromLatin1(CouldNotConnectMessage);
        QTest::newRow("context message as information") << u"info"_s << done;
        QTest::newRow("no context message") << u"silent"_s << done;
        QTest::newRow("context message as an error") << u"context error"_s << done;
        QTest::newRow("failing statement") << u"statement error"_s << failed;
        QTest::newRow("refused login") << u"refused"_s << failed;
        QTest::newRow("database not there yet") << u"missing"_s << done;
        QTest::newRow("database there, login refused") << u"refused, database there"_s << failed;
    }

    void restore()
    {
        QFETCH(QString, mode);
        QFETCH(QString, message);
        // A real backup of the scripted database is the script to restore.
        buildSalesDatabase();
        DumpHarness dump(*m_factory, u"127.0.0.1"_s, Database);
        QVERIFY(dump.dump(connectionString()));
        const QByteArray script = dump.output();
        QVERIFY(!script.isEmpty());

        m_server.clearRecords();
        if (mode == u"silent"_s) {
            m_server.setContextMessages(false);
        } else if (mode == u"context error"_s) {
            m_server.setContextMessages(false);
            m_server.addMessageRule({u"USE [master]"_s, 5701, u"Changed database context to 'master'."_s, 16});
        } else if (mode == u"statement error"_s) {
            // The first table's rows: the tables after it are not sent.
            m_server.addMessageRule(
                {u"INSERT INTO [People]"_s, 245, u"Conversion failed when converting the value."_s, 16});
        } else if (mode == u"refused"_s) {
            m_server.setLoginAccepted(false);
        } else if (mode == u"missing"_s) {
            m_server.setKnownDatabases({u"master"_s});
        } else if (mode == u"refused, database there"_s) {
            // Refused with 4060, and master cannot tell whether the database is there: the refusal stands.
            m_server.setKnownDatabases({u"master"_s});
            m_server.addMessageRule(
                {u"sysdatabases"_s, 229, u"The SELECT permission was denied on the object 'sysdatabases'."_s, 14});
        }

        QTemporaryDir configDir;
        SettingsStore settingsStore(configDir.path());
        FakeMainView view;
        view.restorePath = dump.outputPath;
        view.buttonCaption = TurnOffAutoBackupCaption;
        view.timer = AutoBackupTimerInterval;
        FakeConnectionView connection;
        connection.settings = settings();
        FakeDialogs dialogs;
        WorkGuard guard;
        ScriptRestore restore(
            RestoreContext{view, connection, dialogs, settingsStore, *m_factory, guard, dump.clock, {}});
        restore.PushButton9_Click();

        QCOMPARE(dialogs.messages(), QStringList{message});
        QCOMPARE(dialogs.errorReports(), QStringList());
        QCOMPARE(view.buttonCaption, TurnOnAutoBackupCaption);
        QCOMPARE(view.timer, 0);
        const QStringList batches = m_server.batches();
        QStringList logins;
        for (const LoginRecord& login : m_server.logins())
            logins.append(login.database);
        if (mode == u"refused"_s) {
            // Master refuses the login too: the refusal stands and nothing is sent.
            QCOMPARE(logins, (QStringList{Database, u"master"_s}));
            QCOMPARE(batches, QStringList());
            return;
        }
        if (mode == u"refused, database there"_s) {
            QCOMPARE(logins, (QStringList{Database, u"master"_s}));
            QCOMPARE(batches.size(), 1);
            QVERIFY(batches[0].contains(u"master.dbo.sysdatabases WHERE name = N'Sales'"_s));
            return;
        }
        QCOMPARE(logins, (mode == u"missing"_s ? QStringList{Database, u"master"_s} : QStringList{Database}));
        qsizetype at = 0;
        if (mode == u"missing"_s) {
            QVERIFY(batches[0].contains(u"sysdatabases"_s));
            at = 1;
        }
        // The date order first, in a batch of its own; then the file in the batches of its statements, in order.
        QCOMPARE(batches.value(at), u"SET DATEFORMAT mdy"_s);
        const QStringList scriptBatches = batches.mid(at + 1);
        QVERIFY(scriptBatches.first().startsWith(u"-- Server: 127.0.0.1    Database: Sales\r\n"_s));
        QVERIFY(scriptBatches.first().contains(u"USE [master]"_s));
        QVERIFY(scriptBatches.first().trimmed().endsWith(u"SET TORN_PAGE_DETECTION ON"_s));
        QVERIFY(scriptBatches[1].contains(u"\r\nUSE [Sales]\r\n"_s));
        if (mode == u"statement error"_s) {
            // The batch with the refused INSERT was the last one sent.
            QVERIFY(scriptBatches.last().contains(u"INSERT INTO [People]"_s));
            QVERIFY(!scriptBatches.join(QString()).contains(u"CREATE TABLE [Empty]"_s));
            QVERIFY(QString::fromUtf8(script).startsWith(scriptBatches.join(QString())));
            QVERIFY(scriptBatches.join(QString()).size() < QString::fromUtf8(script).size());
        } else {
            QVERIFY(scriptBatches.size() > 4);
            QVERIFY(scriptBatches.join(QString()) == QString::fromUtf8(script));
        }
    }

    void restoreInBoundedBatches()
    {
        // A script larger than a batch: rows of 5,000 characters, one value above the whole limit.
        QTemporaryDir dir;
        const QString path = dir.filePath(u"large.sql"_s);
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(
            "-- Server: 127.0.0.1    Database: Big\r\n-- ------------------------------------------------------\r\n"
            "-- Generated By: Tessaline\r\n--\r\nUSE [master]\r\n--\r\nCREATE DATABASE [Big]\r\n--\r\n"
            "USE [Big]\r\n--\r\nCREATE TABLE [T] ([a] INT,[b] NTEXT)\r\n\r\n");
        const QByteArray filler(5000, 'x');
        const int rows = 2500;
        for (int i = 0; i < rows; ++i) {
            file.write("INSERT INTO [T] VALUES('" + QByteArray::number(i) + "', '" + filler + "');\r\n");
            if (i == 1234)
                file.write("INSERT INTO [T] VALUES('-1', '" + QByteArray(5 * 1024 * 1024, 'y') + "');\r\n");
        }
        file.close();

        FakeDialogs dialogs;
        ExecuteScript(*m_factory, dialogs, m_server.connectionString(u"Big"_s, User, Password), path);

        const QList<qsizetype> sizes = m_server.batchBytes();
        const QStringList batches = m_server.batches();
        QCOMPARE(sizes.size(), batches.size());
        QCOMPARE(batches[0], u"SET DATEFORMAT mdy"_s);
        qint64 inserts = 0;
        int alone = 0;
        for (qsizetype i = 1; i < batches.size(); ++i) {
            const qsizetype count = batches[i].count(u"INSERT INTO [T]"_s);
            inserts += count;
            QVERIFY(count <= 1000);
            if (sizes[i] > 8 * 1024 * 1024) {
                // The one statement above the limit went alone.
                QCOMPARE(count, 1);
                QVERIFY(batches[i].contains(u"'-1'"_s));
                ++alone;
            } else {
                QCOMPARE(sizes[i], batches[i].size() * 2);
            }
        }
        QCOMPARE(inserts, rows + 1);
        QCOMPARE(alone, 1);
        // 12.5 M characters of rows: more than three batches of 4 Mi characters.
        QVERIFY2(batches.size() >= 1 + 2 + 4, qPrintable(QString::number(batches.size())));
        QVERIFY(QString::fromUtf8(readBytes(path)) == batches.mid(1).join(QString()));
    }

    void compressedAndPlainBackupsRestore_data()
    {
        QTest::addColumn<bool>("compress");
        QTest::newRow("plain") << false;
        QTest::newRow("compressed") << true;
    }

    void compressedAndPlainBackupsRestore()
    {
        QFETCH(bool, compress);
        buildSalesDatabase();
        DumpHarness plain(*m_factory, u"127.0.0.1"_s, Database);
        QVERIFY(plain.dump(connectionString()));
        DumpHarness dump(*m_factory, u"127.0.0.1"_s, Database);
        dump.source.compress = compress;
        QVERIFY(dump.dump(connectionString()));
        QCOMPARE(dump.dialogs.errorReports(), QStringList());
        QCOMPARE(dump.outputPath.endsWith(u".sql.gz"_s), compress);
        QFile file(dump.outputPath);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray script = readScriptBytes(file, dump.outputPath);
        QVERIFY(script == plain.output()); // the same script, compressed or not

        m_server.clearRecords();
        QTemporaryDir configDir;
        SettingsStore settingsStore(configDir.path());
        FakeMainView view;
        view.restorePath = dump.outputPath;
        FakeConnectionView connection;
        connection.settings = settings();
        FakeDialogs dialogs;
        WorkGuard guard;
        ScriptRestore restore(
            RestoreContext{view, connection, dialogs, settingsStore, *m_factory, guard, dump.clock, {}});
        restore.PushButton9_Click();

        QCOMPARE(dialogs.messages(), QStringList{u"Done."_s});
        QCOMPARE(dialogs.errorReports(), QStringList());
        // DATEFORMAT first, then the batches, which together are the whole script, compressed or not.
        const QStringList batches = m_server.batches();
        QVERIFY(batches.size() > 2);
        QCOMPARE(batches.first(), u"SET DATEFORMAT mdy"_s);
        QVERIFY(batches.mid(1).join(QString()) == QString::fromUtf8(script));
    }

    void scriptReturningRowsStillRaisesALaterFailure()
    {
        buildSalesDatabase();
        QTemporaryDir dir;
        const QString path = dir.filePath(u"rows-then-error.sql"_s);
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("SELECT * FROM [People]\r\nSELECT * FROM [Nope]\r\n");
        file.close();

        FakeDialogs dialogs;
        try {
            ExecuteScript(*m_factory, dialogs, connectionString(), path);
            QFAIL("the failing statement after the rows was not raised");
        } catch (const DbError& error) {
            QVERIFY2(error.description().contains(u"Nope"_s), qPrintable(error.description()));
        }
    }

    void contextMessageArrivesAsInformation()
    {
        std::unique_ptr<Connection> connection = m_factory->createConnection();
        connection->Open(connectionString());
        connection->Execute(u"USE [master]\r\nCREATE DATABASE [X]\r\n"_s);
        QVERIFY2(connection->infoMessages().contains(u"[FreeTDS][SQL Server]Changed database context to 'master'."_s),
                 qPrintable(connection->infoMessages().join(u'\n')));
        connection->Close();
    }

    void cleanupTestCase()
    {
        m_factory.reset();
        m_server.stop();
    }
};

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_e2e.moc"
