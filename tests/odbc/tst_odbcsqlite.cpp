// The ODBC layer against a real driver: SQLite's ODBC driver, registered as "SQLite3".

#include "OdbcConnection.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

Q_DECLARE_METATYPE(FieldValue::Kind)

namespace {

// Non-ASCII text for this driver. SQLite's ODBC driver on Debian has no wide entry points, so the driver manager
// converts our UTF-16 to ISO 8859-1 on the way in and back on the way out: only Latin-1 survives that trip. (FreeTDS
// has the wide entry points; there, every character arrives as sent.)
const QString Mixed = u"Grüße, déjà vu, ½ Æsir ÿ ok"_s;

QString describe(const DbError& e)
{
    return e.description() + u" ("_s + QString::number(e.number()) + u")"_s;
}

/** Why two values differ ("" when they are the same in every part the engine reads). */
QString difference(const FieldValue& a, const FieldValue& b)
{
    if (a.kind != b.kind)
        return u"kind %1 against %2"_s.arg(int(a.kind)).arg(int(b.kind));
    if (a.text != b.text)
        return u"text '%1' against '%2'"_s.arg(a.text.left(60), b.text.left(60));
    if (a.bytes != b.bytes)
        return u"bytes %1 against %2"_s.arg(QString::fromLatin1(a.bytes.left(30).toHex()),
                                            QString::fromLatin1(b.bytes.left(30).toHex()));
    if (a.number != b.number || a.singlePrecision != b.singlePrecision)
        return u"number %1 against %2"_s.arg(a.number).arg(b.number);
    return QString();
}

} // namespace

class TstOdbcSqlite : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_path;
    std::unique_ptr<OdbcConnectionFactory> m_factory;
    int m_databases = 0;

    QString connectionString() const { return u"Driver={SQLite3};Database="_s + m_path + u";"_s; }

    std::unique_ptr<Connection> open()
    {
        auto connection = m_factory->createConnection();
        connection->Open(connectionString());
        return connection;
    }

    static OdbcRecordSet& odbc(std::unique_ptr<RecordSet>& rs) { return dynamic_cast<OdbcRecordSet&>(*rs); }

    static QStringList column(RecordSet& rs, const QString& name)
    {
        QStringList values;
        for (; !rs.Eof(); rs.MoveNext())
            values.append(rs.Fields(name).text);
        return values;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_factory = std::make_unique<OdbcConnectionFactory>();
    }

    void init()
    {
        // A fresh database file for every test.
        m_path = m_dir.filePath(u"db%1.sqlite"_s.arg(++m_databases));
    }

    void tableList()
    {
        auto connection = open();
        connection->Execute(u"CREATE TABLE [Orders] (id INTEGER)"_s);
        connection->Execute(u"CREATE TABLE [Order Lines] (id INTEGER)"_s);
        connection->Execute(u"CREATE VIEW [Big Orders] AS SELECT * FROM [Orders]"_s);

        auto tables = connection->OpenSchema(adSchemaTables);
        QVERIFY(!odbc(tables).isStreaming());
        QCOMPARE(tables->RecordCount(), 3);
        QMap<QString, QString> found;
        for (; !tables->Eof(); tables->MoveNext())
            found.insert(tables->Fields(u"TABLE_NAME"_s).text, tables->Fields(u"table_type"_s).text);
        const QMap<QString, QString> expected{
            {u"Orders"_s, u"TABLE"_s}, {u"Order Lines"_s, u"TABLE"_s}, {u"Big Orders"_s, u"VIEW"_s}};
        QCOMPARE(found, expected);
        // The list stays readable after its end: the count is still exact.
        QCOMPARE(tables->RecordCount(), 3);

        try {
            connection->OpenSchema(4);
            QFAIL("a schema other than the table list must be refused");
        } catch (const DbError& e) {
            QVERIFY(e.number() != 0);
        }
    }

    void values_data()
    {
        QTest::addColumn<QString>("declared");
        QTest::addColumn<QString>("literal");
        QTest::addColumn<FieldValue::Kind>("kind");
        QTest::addColumn<QString>("text");

        using Kind = FieldValue::Kind;
        QTest::newRow("null text") << u"TEXT"_s << u"NULL"_s << Kind::Null << QString();
        QTest::newRow("null integer") << u"INTEGER"_s << u"NULL"_s << Kind::Null << QString();
        QTest::newRow("null blob") << u"BLOB"_s << u"NULL"_s << Kind::Null << QString();
        QTest::newRow("empty text is not null") << u"TEXT"_s << u"''"_s << Kind::Text << QString();
        QTest::newRow("non-ascii text") << u"TEXT"_s << u"'"_s + Mixed + u"'"_s << Kind::Text << Mixed;
        QTest::newRow("apostrophe") << u"VARCHAR(20)"_s << u"'O''Brien'"_s << Kind::Text << u"O'Brien"_s;
        QTest::newRow("integer") << u"INTEGER"_s << u"-42"_s << Kind::Integer << u"-42"_s;
        QTest::newRow("bigint") << u"BIGINT"_s << u"9007199254740993"_s << Kind::Integer << u"9007199254740993"_s;
        QTest::newRow("smallint") << u"SMALLINT"_s << u"7"_s << Kind::Integer << u"7"_s;
        QTest::newRow("bit") << u"BIT"_s << u"1"_s << Kind::Bit << u"1"_s;
        QTest::newRow("unknown declared type") << u"WIDGET"_s << u"'abc'"_s << Kind::Text << u"abc"_s;
    }

    void values()
    {
        QFETCH(QString, declared);
        QFETCH(QString, literal);
        QFETCH(FieldValue::Kind, kind);
        QFETCH(QString, text);

        auto connection = open();
        connection->Execute(u"CREATE TABLE t (v "_s + declared + u")"_s);
        connection->Execute(u"INSERT INTO t VALUES ("_s + literal + u")"_s);
        auto rs = connection->Execute(u"SELECT v FROM t"_s);
        QVERIFY(!rs->Eof());
        const FieldValue& value = rs->Fields(0);
        QCOMPARE(value.kind, kind);
        QCOMPARE(value.isNull(), kind == FieldValue::Kind::Null);
        QCOMPARE(value.text, text);
        rs->MoveNext();
        QVERIFY(rs->Eof());
    }

    void numbersAndBytes()
    {
        auto connection = open();
        connection->Execute(u"CREATE TABLE t (d DOUBLE, r REAL, b BLOB)"_s);
        connection->Execute(u"INSERT INTO t VALUES (0.1, 2.5, X'00FF7F80')"_s);
        auto rs = connection->Execute(u"SELECT * FROM t"_s);
        QCOMPARE(rs->FieldCount(), 3);
        QCOMPARE(rs->FieldName(2), u"b"_s);
        QCOMPARE(rs->Fields(u"D"_s).kind, FieldValue::Kind::ApproxNumeric);
        QCOMPARE(rs->Fields(u"D"_s).number, 0.1);
        QCOMPARE(rs->Fields(u"D"_s).singlePrecision, false);
        QCOMPARE(rs->Fields(1).kind, FieldValue::Kind::ApproxNumeric);
        QCOMPARE(rs->Fields(1).number, 2.5);
        QCOMPARE(rs->Fields(2).kind, FieldValue::Kind::Binary);
        QCOMPARE(rs->Fields(2).bytes, QByteArray::fromHex("00FF7F80"));
    }

    void longValuesComeWhole()
    {
        // 200,000 characters of text and 100,000 bytes: many SQLGetData pieces each.
        QString longText;
        while (longText.size() < 200000)
            longText += Mixed;
        longText.truncate(200000);
        QByteArray bytes(100000, '\0');
        for (int i = 0; i < bytes.size(); ++i)
            bytes[i] = char(i * 7 % 256);

        auto connection = open();
        connection->Execute(u"CREATE TABLE t (t TEXT, b BLOB)"_s);
        connection->Execute(u"INSERT INTO t VALUES ('"_s + longText + u"', X'"_s + QString::fromLatin1(bytes.toHex())
                            + u"')"_s);
        auto rs = connection->Execute(u"SELECT t, b, length(t) AS n FROM t"_s);
        QCOMPARE(rs->Fields(0).text.size(), longText.size());
        QVERIFY(rs->Fields(0).text == longText);
        QCOMPARE(rs->Fields(1).bytes.size(), bytes.size());
        QVERIFY(rs->Fields(1).bytes == bytes);
        // Piece truncation notices are not messages for the caller.
        QVERIFY2(connection->infoMessages().isEmpty(), qPrintable(connection->infoMessages().join(u'\n')));
    }

    void errorsCarryTheDriversText()
    {
        auto connection = open();
        try {
            connection->Execute(u"SELECT * FROM [no such table]"_s);
            QFAIL("the query must fail");
        } catch (const DbError& e) {
            qInfo().noquote() << describe(e);
            QVERIFY2(e.description().startsWith(u"[SQLite]"_s), qPrintable(describe(e)));
            QVERIFY2(e.description().contains(u"no such table: no such table"_s), qPrintable(describe(e)));
            QVERIFY(e.number() != 0);
        }
        // The connection is still usable after a failed command.
        auto rs = connection->Execute(u"SELECT 1 AS one"_s);
        QCOMPARE(rs->Fields(u"one"_s).text, u"1"_s);

        auto bad = m_factory->createConnection();
        try {
            bad->Open(u"Driver={SQLite3};Database="_s + m_dir.filePath(u"missing/folder/x.db"_s) + u";"_s);
            QFAIL("a database in a missing folder cannot be opened");
        } catch (const DbError& e) {
            qInfo().noquote() << describe(e);
            QVERIFY2(e.description().startsWith(u"[SQLite]"_s), qPrintable(describe(e)));
        }
    }

    void batchWalksEveryStatement()
    {
        auto connection = open();
        // The statements before the failing one have run; the error of the third is raised.
        try {
            connection->Execute(u"CREATE TABLE a (x INTEGER);\r\nINSERT INTO a VALUES (1);\r\n"
                                "INSERT INTO [missing] VALUES (2);\r\nINSERT INTO a VALUES (3);"_s);
            QFAIL("the batch must raise the error of its third statement");
        } catch (const DbError& e) {
            qInfo().noquote() << describe(e);
            QVERIFY2(e.description().contains(u"missing"_s), qPrintable(describe(e)));
        }
        auto rs = connection->Execute(u"SELECT x FROM a ORDER BY x"_s);
        QCOMPARE(column(*rs, u"x"_s), QStringList{u"1"_s});

        // A batch without a result that has columns gives an empty result set.
        auto empty = connection->Execute(u"CREATE TABLE b (x INTEGER); INSERT INTO b VALUES (5);"_s);
        QCOMPARE(empty->FieldCount(), 0);
        QVERIFY(empty->Eof());
        QCOMPARE(empty->RecordCount(), 0);
        auto b = connection->Execute(u"SELECT x FROM b"_s);
        QCOMPARE(column(*b, u"x"_s), QStringList{u"5"_s});
    }

    void resultsWalkedSideBySide()
    {
        auto connection = open();
        connection->Execute(u"CREATE TABLE t (n INTEGER, name TEXT)"_s);
        for (int i = 1; i <= 5; ++i)
            connection->Execute(u"INSERT INTO t VALUES (%1, 'n%1')"_s.arg(i));

        auto first = connection->Execute(u"SELECT n FROM t ORDER BY n"_s);
        QVERIFY(odbc(first).isStreaming());
        QCOMPARE(odbc(first).rowsInMemory(), 1);
        QCOMPARE(first->Fields(0).text, u"1"_s);
        first->MoveNext();

        // A second command while the first still streams: the first is read whole and stays walkable.
        auto second = connection->Execute(u"SELECT name FROM t ORDER BY n DESC"_s);
        QVERIFY(!odbc(first).isStreaming());
        QCOMPARE(odbc(first).rowsInMemory(), 4);
        auto third = connection->Execute(u"SELECT count(*) AS c FROM t"_s);
        QCOMPARE(third->Fields(u"c"_s).text, u"5"_s);

        QStringList pairs;
        for (; !first->Eof(); first->MoveNext(), second->MoveNext())
            pairs.append(first->Fields(0).text + second->Fields(0).text);
        QCOMPARE(pairs, (QStringList{u"2n5"_s, u"3n4"_s, u"4n3"_s, u"5n2"_s}));
        QCOMPARE(first->RecordCount(), 5);

        // RecordCount of a streaming result reads the rest and keeps the current row.
        auto counted = connection->Execute(u"SELECT n FROM t ORDER BY n"_s);
        counted->MoveNext();
        QVERIFY(odbc(counted).isStreaming());
        QCOMPARE(counted->RecordCount(), 5);
        QCOMPARE(counted->Fields(0).text, u"2"_s);
        QCOMPARE(column(*counted, u"N"_s), (QStringList{u"2"_s, u"3"_s, u"4"_s, u"5"_s}));
    }

    void largeResultStreamsInBoundedMemory()
    {
        const int rows = 300000;
        auto connection = open();
        connection->Execute(u"CREATE TABLE big (id INTEGER, label TEXT)"_s);
        connection->Execute(u"INSERT INTO big WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c "
                            "WHERE x < %1) SELECT x, 'row ' || x FROM c"_s.arg(rows));

        QElapsedTimer timer;
        timer.start();
        auto rs = connection->Execute(u"SELECT * FROM [big]"_s);
        auto& streaming = odbc(rs);
        qint64 seen = 0, sum = 0, mostHeld = 0;
        QString last;
        for (; !rs->Eof(); rs->MoveNext()) {
            mostHeld = qMax(mostHeld, streaming.rowsInMemory());
            sum += rs->Fields(0).text.toLongLong();
            last = rs->Fields(1).text;
            ++seen;
        }
        const qint64 ms = timer.elapsed();
        QCOMPARE(seen, rows);
        QCOMPARE(sum, qint64(rows) * (rows + 1) / 2);
        QCOMPARE(last, u"row %1"_s.arg(rows));
        QCOMPARE(mostHeld, 1);
        QCOMPARE(streaming.rowsInMemory(), 0);
        QVERIFY(!streaming.isStreaming()); // the end released the statement
        qInfo("streamed %d rows of 2 columns in %lld ms (%.0f rows/s), at most %lld row held", rows, ms,
              ms > 0 ? rows * 1000.0 / double(ms) : 0.0, mostHeld);
    }

    void blockReadsGiveTheValuesOfRowReads()
    {
        // The bounded columns alone are read in blocks; with a TEXT column (long) after them, value by value. 1000
        // rows are more than a block and no multiple of one; every column type holds NULLs; texts and bytes reach
        // their declared length.
        auto connection = open();
        connection->Execute(u"CREATE TABLE t (i INTEGER, bi BIGINT, b BIT, d DOUBLE, r REAL, n NUMERIC(10,2), "
                            "v VARCHAR(250), e VARCHAR(5), bl BLOB, dt DATETIME, long TEXT)"_s);
        connection->Execute(
            u"INSERT INTO t WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 1000) SELECT "
            "CASE x % 3 WHEN 0 THEN NULL ELSE -x END, CASE x % 3 WHEN 0 THEN NULL ELSE x * 1000000000007 END, "
            "CASE x % 3 WHEN 0 THEN NULL ELSE x % 2 END, CASE x % 3 WHEN 0 THEN NULL ELSE x / 7.0 END, "
            "CASE x % 3 WHEN 0 THEN NULL ELSE x * 0.5 END, CASE x % 3 WHEN 0 THEN NULL ELSE x / 100.0 END, "
            "CASE x % 3 WHEN 0 THEN NULL WHEN 1 THEN hex(zeroblob(125)) ELSE 'Grüße ' || x END, "
            "CASE x % 3 WHEN 0 THEN NULL ELSE 'abcde' END, "
            "CASE x % 3 WHEN 0 THEN NULL WHEN 1 THEN zeroblob(255) ELSE X'00FF' END, "
            "CASE x % 3 WHEN 0 THEN NULL ELSE '2020-01-02 03:04:05' END, 'long' FROM c"_s);
        const QString columns = u"i, bi, b, d, r, n, v, e, bl, dt"_s;
        const int count = 10;

        auto blocks = connection->Execute(u"SELECT "_s + columns + u" FROM t ORDER BY rowid"_s);
        QVERIFY(odbc(blocks).readsBlocks());
        QList<QList<FieldValue>> fromBlocks;
        for (; !blocks->Eof(); blocks->MoveNext()) {
            QList<FieldValue> row;
            for (int c = 0; c < count; ++c)
                row.append(blocks->Fields(c)); // copies outlive the block they came from
            fromBlocks.append(row);
        }
        auto pieces = connection->Execute(u"SELECT "_s + columns + u", long FROM t ORDER BY rowid"_s);
        QVERIFY(!odbc(pieces).readsBlocks());
        qsizetype r = 0;
        for (; !pieces->Eof(); pieces->MoveNext(), ++r) {
            QVERIFY(r < fromBlocks.size());
            for (int c = 0; c < count; ++c) {
                const QString why = difference(fromBlocks[r][c], pieces->Fields(c));
                QVERIFY2(why.isEmpty(), qPrintable(u"row %1, column %2: %3"_s.arg(r).arg(c).arg(why)));
            }
        }
        QCOMPARE(r, 1000);
        QCOMPARE(fromBlocks.size(), 1000);
        QCOMPARE(fromBlocks[0][6].text, QString(250, u'0'));
        QCOMPARE(fromBlocks[1][6].text, u"Grüße 2"_s);
        QCOMPARE(fromBlocks[0][8].bytes, QByteArray(255, '\0'));
        QCOMPARE(fromBlocks[2][0].kind, FieldValue::Kind::Null);
        QCOMPARE(fromBlocks[2][8].kind, FieldValue::Kind::Null);
    }

    void blockReadsOfEmptyResultsAndBatches()
    {
        auto connection = open();
        connection->Execute(u"CREATE TABLE e (i INTEGER, v VARCHAR(10))"_s);
        auto empty = connection->Execute(u"SELECT * FROM e"_s);
        QCOMPARE(empty->FieldCount(), 2);
        QCOMPARE(empty->FieldName(1), u"v"_s);
        QVERIFY(empty->Eof());
        QVERIFY_THROWS_EXCEPTION(DbError, empty->Fields(0));
        QCOMPARE(empty->RecordCount(), 0);
    }

    void valueBeyondItsDeclaredSizeIsNeverCut()
    {
        // SQLite takes declared lengths as hints. A value longer than the block's buffer cannot be fetched again, so
        // the read fails rather than hand out part of it; with a long column in the result it comes whole.
        auto connection = open();
        connection->Execute(u"CREATE TABLE s (v VARCHAR(3), t TEXT)"_s);
        connection->Execute(u"INSERT INTO s VALUES ('abcdef', 'x')"_s);
        try {
            auto rs = connection->Execute(u"SELECT v FROM s"_s);
            QFAIL(qPrintable(u"read as '"_s + rs->Fields(0).text + u"'"_s));
        } catch (const DbError& e) {
            QVERIFY2(e.description().contains(u"column v"_s), qPrintable(describe(e)));
        }
        auto whole = connection->Execute(u"SELECT v, t FROM s"_s);
        QCOMPARE(whole->Fields(0).text, u"abcdef"_s);
    }

    void lifetimesAndClosedObjects()
    {
        std::unique_ptr<RecordSet> streaming;
        std::unique_ptr<RecordSet> whole;
        {
            auto connection = open();
            connection->Execute(u"CREATE TABLE t (n INTEGER)"_s);
            connection->Execute(u"INSERT INTO t VALUES (1); "_s);
            connection->Execute(u"INSERT INTO t VALUES (2); "_s);
            whole = connection->OpenSchema(adSchemaTables);
            streaming = connection->Execute(u"SELECT n FROM t"_s);
            QVERIFY(dynamic_cast<OdbcRecordSet&>(*streaming).isStreaming());

            connection->Close();
            // The streaming result ended with its connection; the table list was read whole and stays.
            QVERIFY_THROWS_EXCEPTION(DbError, streaming->Eof());
            QVERIFY_THROWS_EXCEPTION(DbError, streaming->MoveNext());
            QCOMPARE(whole->Fields(u"TABLE_NAME"_s).text, u"t"_s);

            QVERIFY_THROWS_EXCEPTION(DbError, connection->Close());
            QVERIFY_THROWS_EXCEPTION(DbError, connection->Execute(u"SELECT 1"_s));
            QVERIFY_THROWS_EXCEPTION(DbError, connection->OpenSchema(adSchemaTables));

            // A closed connection opens again.
            connection->Open(connectionString());
            auto again = connection->Execute(u"SELECT count(*) FROM t"_s);
            QCOMPARE(again->Fields(0).text, u"2"_s);
            QVERIFY_THROWS_EXCEPTION(DbError, connection->Open(connectionString()));
            streaming = connection->Execute(u"SELECT n FROM t"_s);
            // The connection is destroyed while its result still streams, without Close.
        }
        QVERIFY_THROWS_EXCEPTION(DbError, streaming->Fields(0));
        streaming.reset(); // destroyed after its connection: must not touch freed handles
        QCOMPARE(whole->RecordCount(), 1);

        auto connection = open();
        auto rs = connection->Execute(u"SELECT 1 AS a"_s);
        QVERIFY_THROWS_EXCEPTION(DbError, rs->Fields(u"b"_s));
        QVERIFY_THROWS_EXCEPTION(DbError, rs->Fields(1));
        QVERIFY_THROWS_EXCEPTION(DbError, rs->Fields(-1));
        rs->MoveNext();
        QVERIFY(rs->Eof());
        QVERIFY_THROWS_EXCEPTION(DbError, rs->Fields(0));
        QVERIFY_THROWS_EXCEPTION(DbError, rs->MoveNext());
        rs->Close();
        QVERIFY_THROWS_EXCEPTION(DbError, rs->Close());
        QVERIFY_THROWS_EXCEPTION(DbError, rs->Eof());

        // A result closed while streaming frees the connection for the next command.
        auto first = connection->Execute(u"SELECT 1 UNION ALL SELECT 2"_s);
        first->Close();
        auto next = connection->Execute(u"SELECT 3"_s);
        QCOMPARE(next->Fields(0).text, u"3"_s);
    }
};

QTEST_GUILESS_MAIN(TstOdbcSqlite)
#include "tst_odbcsqlite.moc"
