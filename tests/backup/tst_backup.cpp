#include "BackupFile.h"
#include "DateTimeText.h"
#include "ErrorReport.h"
#include "FakeClock.h"
#include "FakeDialogs.h"
#include "IntervalSave.h"
#include "MemoryDatabase.h"
#include "SchemaCatalogue.h"
#include "ScriptText.h"
#include "StopRequest.h"
#include "TsqlLexer.h"
#include "Views.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <functional>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

Q_DECLARE_METATYPE(FieldValue)

namespace {

using Kind = FieldValue::Kind;
using Column = MemoryDatabase::Column;

struct TestSource : FixedDumpSource
{
    TestSource()
        : FixedDumpSource(u"DBHOST\\SQLEXPRESS"_s, u"Sales"_s, QString())
    { }
};

FieldValue text(const QString& value)
{
    return FieldValue::ofText(value);
}
FieldValue integer(int value)
{
    return FieldValue::ofText(QString::number(value), Kind::Integer);
}
FieldValue of(Kind kind, const QString& value)
{
    return FieldValue::ofText(value, kind);
}

/** Everything one dump needs, with the backup folder and the log in a throwaway folder. */
struct Harness
{
    MemoryDatabase db;
    FakeDialogs dialogs;
    FakeClock clock;
    TestSource source;
    PlainStatusFrame status;
    QTemporaryDir dir;
    EventPump letEventsRun;
    std::function<void(const DumpProgress&)> progress;
    QString logPath;
    std::vector<AfterSaveStep> afterSave;

    Harness()
    {
        source.folder = dir.path();
        logPath = dir.filePath(u"backups.log"_s);
    }
    IntervalSave engine()
    {
        return IntervalSave(BackupContext{db, dialogs, clock, source, letEventsRun, logPath, progress, afterSave});
    }
    bool dump()
    {
        IntervalSave save = engine();
        return save.SaveAll(u"Driver={SQL Server};Server=DBHOST;Database=Sales;Uid=sa;Pwd=pw;"_s, status);
    }
    QString outputPath() const { return dir.filePath(u"Sales 2021-08-31 930AM.sql"_s); }
    QByteArray output() const { return readBytes(outputPath()); }
    /** The files of the backup folder other than the log. */
    QStringList files() const
    {
        QStringList names = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name);
        names.removeAll(u"backups.log"_s);
        return names;
    }
    /** The content of the one working file of a running dump. */
    QByteArray working() const
    {
        const QStringList names = QDir(dir.path()).entryList({u"*.partial"_s}, QDir::Files);
        return names.size() == 1 ? readBytes(dir.filePath(names[0])) : QByteArray("<no single working file>");
    }
    static QByteArray readBytes(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
};

QString expectedPath(const QString& name)
{
    return QStringLiteral(TESSALINE_TEST_DATA "/backup/") + name;
}

/** Compares a script with its expected file byte for byte; on a difference names the first differing line. */
void compareWithExpected(const QByteArray& actual, const QString& name)
{
    const QString path = expectedPath(name);
    if (qEnvironmentVariableIsSet("TESSALINE_UPDATE_EXPECTED")) {
        QFile out(path);
        QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        out.write(actual);
    }
    const QByteArray expected = Harness::readBytes(path);
    QVERIFY2(!expected.isEmpty(), qPrintable(u"missing expected file "_s + path));
    if (actual == expected)
        return;
    const QList<QByteArray> a = actual.split('\n');
    const QList<QByteArray> e = expected.split('\n');
    for (qsizetype i = 0; i < std::min(a.size(), e.size()); ++i)
        if (a[i] != e[i])
            QCOMPARE(a[i], e[i]);
    QCOMPARE(a.size(), e.size());
}

QStringList scriptLines(const QByteArray& script)
{
    QStringList lines = QString::fromUtf8(script).split(u"\r\n"_s);
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast(); // after the last line end
    return lines;
}

QString report(const QString& procedure, const QString& description, int line)
{
    return composeErrorReport(description, errorReportLocation(u"IntervalSave"_s, procedure), line);
}

/** Catalogues of the whole-file cases. */
void buildScenario(const QString& name, MemoryDatabase& db, TestSource& source)
{
    if (name == u"empty-database"_s) {
        db.addTable(u"People"_s, {{u"Id"_s, u"int"_s, {}, 10, 0}}, u"VIEW"_s);
    } else if (name == u"worked-example"_s) {
        auto& people = db.addTable(u"People"_s,
                                   {{u"Id"_s, u"int"_s, {}, 10, 0},
                                    {u"Name"_s, u"nvarchar"_s, 20, {}, {}},
                                    {u"Born"_s, u"datetime"_s, {}, {}, {}}});
        people.rows = {{integer(1), text(u"Baker's"_s), of(Kind::DateTime, u"1970-05-01 00:00:00.000"_s)},
                       {integer(2), FieldValue::null(), FieldValue::null()}};
    } else if (name == u"type-texts"_s) {
        auto& types = db.addTable(u"Types"_s,
                                  {{u"a"_s, u"int"_s, {}, 10, 0},
                                   {u"b"_s, u"char"_s, 8000, {}, {}},
                                   {u"c"_s, u"varchar"_s, -1, {}, {}},
                                   {u"d"_s, u"text"_s, 2147483647, {}, {}},
                                   {u"e"_s, u"nvarchar"_s, 20, {}, {}},
                                   {u"f"_s, u"decimal"_s, {}, 10, 2},
                                   {u"g"_s, u"numeric"_s, {}, 5, 0},
                                   {u"h"_s, u"xml"_s, -1, {}, {}},
                                   {u"i"_s, u"varbinary"_s, -1, {}, {}},
                                   {u"j"_s, u"binary"_s, 4, {}, {}},
                                   {u"k"_s, u"ntext"_s, 1073741823, {}, {}},
                                   {u"l"_s, u"float"_s, {}, 53, {}},
                                   {u"m"_s, u"timestamp"_s, {}, {}, {}},
                                   {u"n"_s, u"datetime2"_s, {}, {}, {}},
                                   {u"o"_s, u"money"_s, {}, 19, 4}});
        types.rows = {{integer(7), text(u"x"_s), text(u"long"_s), text(u"old"_s), text(u"n"_s),
                       of(Kind::ExactNumeric, u"12.50"_s), of(Kind::ExactNumeric, u"-3"_s), text(u"<a b=\"1\"/>"_s),
                       FieldValue::ofBytes(QByteArray::fromHex("00ff10")),
                       FieldValue::ofBytes(QByteArray::fromHex("cafe0001")), text(u"nt"_s), FieldValue::ofNumber(0.1),
                       FieldValue::ofBytes(QByteArray::fromHex("00000000000007d1")),
                       of(Kind::IsoDateTime, u"2020-01-02 03:04:05.1234570"_s), of(Kind::ExactNumeric, u"12.5000"_s)}};
    } else if (name == u"filtered-tables"_s) {
        db.addTable(u"Orders"_s, {{u"Id"_s, u"int"_s, {}, 10, 0}}).rows = {{integer(1)}, {integer(2)}};
        db.addTable(u"OrderView"_s, {{u"Id"_s, u"int"_s, {}, 10, 0}}, u"VIEW"_s).rows = {{integer(1)}};
        db.addTable(u"syscolumns"_s, {{u"id"_s, u"int"_s, {}, 10, 0}}, u"SYSTEM TABLE"_s).rows = {{integer(1)}};
        db.addTable(u"Trace_XE_Event_Map"_s, {{u"Id"_s, u"int"_s, {}, 10, 0}}).rows = {{integer(1)}};
        db.addTable(u"audit_trace_xe"_s, {{u"Id"_s, u"int"_s, {}, 10, 0}}).rows = {{integer(1)}};
        db.addTable(u"Empty"_s, {{u"Note"_s, u"varchar"_s, 50, {}, {}}});
        db.addTable(u"Single"_s, {{u"Note"_s, u"varchar"_s, 50, {}, {}}}).rows = {{FieldValue::null()}, {text({})}};
    } else if (name == u"values"_s) {
        auto& values = db.addTable(u"Vals"_s,
                                   {{u"Txt"_s, u"nvarchar"_s, 100, {}, {}},
                                    {u"Bin"_s, u"varbinary"_s, 16, {}, {}},
                                    {u"At"_s, u"datetime"_s, {}, {}, {}},
                                    {u"Num"_s, u"float"_s, {}, 53, {}},
                                    {u"Flag"_s, u"bit"_s, {}, {}, {}},
                                    {u"Ref"_s, u"uniqueidentifier"_s, {}, {}, {}}});
        const FieldValue null;
        const FieldValue guid = of(Kind::Guid, u"6F9619FF-8B86-D011-B42D-00C04FC964FF"_s);
        values.rows = {
            {text(u"O'Brien's"_s), FieldValue::ofBytes(QByteArray::fromHex("00ff10")),
             of(Kind::DateTime, u"2020-01-02 03:04:05.123"_s), FieldValue::ofNumber(0.1), of(Kind::Bit, u"1"_s), guid},
            {text(u"line1\r\nline2\nline3"_s), FieldValue::ofBytes({}),
             of(Kind::DateTime, u"2020-01-02 15:04:05.000"_s), FieldValue::ofNumber(1e20), of(Kind::Bit, u"0"_s), null},
            {text(u"C:\\dir\\"_s), null, of(Kind::DateTime, u"2020-12-31 23:59:59.997"_s),
             FieldValue::ofNumber(double(0.1f), true), null, null},
            {text(u"a|myseparaterz|b"_s), null, of(Kind::DateTime, u"2021-08-31 00:00:00"_s),
             FieldValue::ofNumber(-2.5), of(Kind::Bit, u"1"_s), null},
            {text(u"Caf\u00e9 \u20ac5 \u2013 \u201cok\u201d"_s), null, of(Kind::DateTime, u"2021-08-31 12:00:00"_s),
             FieldValue::ofNumber(123456789.0), null, null},
            {text(u"\u03a9mega \u2713 \U0001F600 it's"_s), null, null, FieldValue::ofNumber(1e-7), null, null},
            {null, null, null, null, null, null},
            {text({}), null, null, FieldValue::ofNumber(0), null, null},
        };
    } else if (name == u"odd-names"_s) {
        source.database = u"O'Neil]Co"_s;
        auto& odd = db.addTable(u"It's]here"_s, {{u"a]b"_s, u"int"_s, {}, 10, 0}, {u"c'd"_s, u"varchar"_s, 5, {}, {}}});
        odd.rows = {{integer(1), text(u"x"_s)}};
    }
}

/** The script of a dump of database `database` with one table `table` (one column, one row). */
QString dumpOf(const QString& database, const QString& table, const QString& schema = u"dbo"_s)
{
    Harness h;
    h.source.database = database;
    auto& t = h.db.addTable(table, {{u"Id"_s, u"int"_s, {}, 10, 0}});
    t.schema = schema;
    t.rows = {{integer(1)}};
    // A name holding "/" may put the file into a folder of that name: the test makes it.
    QDir().mkpath(QFileInfo(h.dir.filePath(database)).absolutePath());
    IntervalSave save = h.engine();
    if (!save.SaveAll(u"Driver={SQL Server};Server=DBHOST;Database=Sales;Uid=sa;Pwd=pw;"_s, h.status)
        || !h.dialogs.errorReports().isEmpty())
        qWarning("dump failed: %s", qPrintable(h.dialogs.errorReports().join(u'\n')));
    const QString path = save.lastOutputPath();
    return QString::fromUtf8(Harness::readBytes(path));
}

} // namespace

class TestBackup : public QObject
{
    Q_OBJECT

private slots:
    void init() { qunsetenv("TEMP"); }

    // ---- whole scripts, byte for byte

    void scripts_data()
    {
        QTest::addColumn<QString>("scenario");
        for (const char* name : {"empty-database", "worked-example", "type-texts", "filtered-tables", "values"})
            QTest::newRow(name) << QString::fromLatin1(name);
    }

    void scripts()
    {
        QFETCH(QString, scenario);
        Harness h;
        buildScenario(scenario, h.db, h.source);
        QVERIFY(h.dump());
        QCOMPARE(h.dialogs.errorReports(), QStringList());
        compareWithExpected(h.output(), scenario + u".sql"_s);
        QCOMPARE(h.db.lastCursorLocation, adUseClient);
        QCOMPARE(h.db.closed, 1);
    }

    void emptyDatabaseHasFortyEightLines()
    {
        const QStringList lines = scriptLines(Harness::readBytes(expectedPath(u"empty-database.sql"_s)));
        QCOMPARE(lines.size(), 48);
        QCOMPARE(lines[44], u"USE [Sales]"_s);
        QCOMPARE(lines[45], u"--"_s);
    }

    void successfulDumpLogsAndSetsCaption()
    {
        Harness h;
        buildScenario(u"worked-example"_s, h.db, h.source);
        IntervalSave save = h.engine();
        QVERIFY(save.SaveAll(u"Driver={SQL Server};Server=DBHOST;"_s, h.status));
        QCOMPARE(save.lastOutputPath(), h.outputPath());
        QCOMPARE(h.db.connectionStrings, QStringList{u"Driver={SQL Server};Server=DBHOST;"_s});
        QCOMPARE(Harness::readBytes(h.logPath),
                 (h.outputPath() + u" was backup saved at 8/31/2021 9:30:12 AM\r\n"_s).toUtf8());
        QCOMPARE(h.status.caption(), u"Auto Backup Complete at 8/31/2021 9:30:12 AM"_s);
    }

    void stepsAfterSaveRunInOrderOnSavedBackupsOnly()
    {
        for (const bool fail : {false, true}) {
            Harness h;
            buildScenario(u"worked-example"_s, h.db, h.source);
            if (fail)
                h.db.failCommandContaining = u"SELECT * FROM"_s;
            QStringList ran;
            h.afterSave.push_back([&](const SavedBackup& backup) {
                const QString& path = backup.path;
                // the finished file, under its final name
                ran << u"verify "_s + QFileInfo(path).fileName() + (QFileInfo::exists(path) ? u""_s : u" (missing)"_s);
                return AfterSaveOutcome{AfterSaveOutcome::Result::Failed, u"verification failed at line 60"_s, 1};
            });
            h.afterSave.push_back([&](const SavedBackup&) {
                ran << u"copy"_s;
                return AfterSaveOutcome{AfterSaveOutcome::Result::Passed, u"copied to nas:sql"_s, 0};
            });
            IntervalSave save = h.engine();
            QCOMPARE(save.SaveAll(u"Driver={SQL Server};Server=DBHOST;"_s, h.status), !fail);
            if (fail) {
                QCOMPARE(ran, QStringList());
                QVERIFY(save.lastAfterSave().empty());
                continue;
            }
            QCOMPARE(ran, (QStringList{u"verify Sales 2021-08-31 930AM.sql"_s, u"copy"_s}));
            QCOMPARE(save.lastAfterSave().size(), std::size_t(2));
            QCOMPARE(save.lastAfterSave()[0].exitStatus, 1);
            const QString path = h.outputPath();
            QCOMPARE(QString::fromUtf8(Harness::readBytes(h.logPath)),
                     path + u" was backup saved at 8/31/2021 9:30:12 AM\r\n"_s + path
                         + u" verification failed at line 60 at 8/31/2021 9:30:12 AM\r\n"_s + path
                         + u" copied to nas:sql at 8/31/2021 9:30:12 AM\r\n"_s);
            QCOMPARE(
                h.status.caption(),
                u"Auto Backup Complete at 8/31/2021 9:30:12 AM; verification failed at line 60; copied to nas:sql"_s);
        }
    }

    void oddNamesAreEscaped()
    {
        Harness h;
        buildScenario(u"odd-names"_s, h.db, h.source);
        QVERIFY(h.dump());
        QCOMPARE(h.dialogs.errorReports(), QStringList());
        const QByteArray script = Harness::readBytes(h.dir.filePath(u"O'Neil]Co 2021-08-31 930AM.sql"_s));
        compareWithExpected(script, u"odd-names.sql"_s);
        QVERIFY(h.db.executed.contains(u"SELECT * FROM [It's]]here]"_s));
    }

    void tsqlLexer_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("skeleton");
        QTest::addColumn<QStringList>("values"); // of the literals and identifiers, in order

        QTest::newRow("literals") << u"SELECT 'it''s', N'x', n'y'"_s << u"SELECT L, L, L"_s
                                  << QStringList{u"it's"_s, u"x"_s, u"y"_s};
        QTest::newRow("N ending a word is code") << u"nvarchar'a'"_s << u"nvarcharL"_s << QStringList{u"a"_s};
        QTest::newRow("identifiers") << u"USE [a]]b]; [c'd]"_s << u"USE I; I"_s << QStringList{u"a]b"_s, u"c'd"_s};
        QTest::newRow("line comment ends at CR or LF") << u"-- a ' [\rx\n-- b\ny"_s << u"C\rx\nC\ny"_s << QStringList();
        QTest::newRow("block comments nest") << u"/* a /* b */ c */x"_s << u"Cx"_s << QStringList();
        QTest::newRow("comment marks inside literals")
            << u"'--' '/*' [*/]"_s << u"L L I"_s << QStringList{u"--"_s, u"/*"_s, u"*/"_s};
    }

    void tsqlLexer()
    {
        QFETCH(QString, script);
        QFETCH(QString, skeleton);
        QFETCH(QStringList, values);
        const QList<TsqlLexer::Token> tokens = TsqlLexer::tokenize(script);
        QCOMPARE(TsqlLexer::codeSkeleton(tokens), skeleton);
        QStringList seen;
        for (const TsqlLexer::Token& token : tokens)
            if (token.kind == TsqlLexer::Token::Kind::Literal || token.kind == TsqlLexer::Token::Kind::Identifier)
                seen << token.value();
        QCOMPARE(seen, values);
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, TsqlLexer::tokenize(u"/* /* */"_s));
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, TsqlLexer::tokenize(u"'a''"_s));
    }

    void hostileNamesStayInsideLiteralsAndComments_data()
    {
        QTest::addColumn<QString>("database");
        QTest::addColumn<QString>("table");

        const QString db = u"Sales"_s;
        const QString t = u"People"_s;
        const QStringList names = {
            u"a\rEXEC xp_cmdshell 'dir'"_s,
            u"a\nEXEC xp_cmdshell 'dir'"_s,
            u"x\r\nDROP DATABASE Other --"_s,
            u"a--b"_s,
            u"a/*b"_s,
            u"a*/ EXEC xp_cmdshell 'dir' /*"_s,
            u"a/*/b*/*/c"_s,
            u"a]b; DROP DATABASE Other --"_s,
            u"O'Neil'; DROP DATABASE Other --"_s,
            u"\r\n*/ ]] ' -- /* \n"_s,
        };
        for (const QString& name : names) {
            QTest::addRow("database %s", qPrintable(QString(name).replace(u'\r', u"<CR>"_s).replace(u'\n', u"<LF>"_s)))
                << name << t;
            QTest::addRow("table %s", qPrintable(QString(name).replace(u'\r', u"<CR>"_s).replace(u'\n', u"<LF>"_s)))
                << db << name;
        }
        QTest::newRow("both") << u"d*/\r\nGO\r\n"_s << u"t\r\n/*"_s;
    }

    void hostileNamesStayInsideLiteralsAndComments()
    {
        QFETCH(QString, database);
        QFETCH(QString, table);
        using TsqlLexer::Token;

        // The script of plain names is the reference: a hostile name may change what literals, identifiers and
        // comments hold, but not one character of the code around them.
        const QString plainDatabase = u"Plain"_s;
        const QString plainTable = u"Tbl"_s;
        const QList<Token> reference = TsqlLexer::tokenize(dumpOf(plainDatabase, plainTable));
        const QString script = dumpOf(database, table);
        QVERIFY(!script.isEmpty());
        QList<Token> tokens;
        try {
            tokens = TsqlLexer::tokenize(script);
        } catch (const std::runtime_error& e) {
            QFAIL(e.what());
        }
        QCOMPARE(TsqlLexer::codeSkeleton(tokens), TsqlLexer::codeSkeleton(reference));
        QCOMPARE(tokens.size(), reference.size());

        // The statements name exactly the server's names.
        int databaseNames = 0;
        int tableNames = 0;
        for (qsizetype i = 0; i < tokens.size(); ++i) {
            QCOMPARE(tokens[i].kind, reference[i].kind);
            if (tokens[i].kind != Token::Kind::Literal && tokens[i].kind != Token::Kind::Identifier)
                continue;
            if (reference[i].value() == plainDatabase) {
                QCOMPARE(tokens[i].value(), database);
                ++databaseNames;
            } else if (reference[i].value() == plainTable) {
                QCOMPARE(tokens[i].value(), table);
                ++tableNames;
            }
        }
        QCOMPARE(databaseNames, 2 + 1 + 1 + 19 + 1); // two literals; DROP, CREATE, 19 ALTER and USE
        QCOMPARE(tableNames, 3); // DROP TABLE, CREATE TABLE, INSERT INTO

        // Comment lines hold the names on one line; the object line's block comment holds no comment delimiter.
        for (const Token& token : tokens) {
            if (token.kind == Token::Kind::LineComment)
                QVERIFY(!token.text.contains(u'\r') && !token.text.contains(u'\n'));
            if (token.kind == Token::Kind::BlockComment) {
                QVERIFY(!token.text.mid(2, token.text.size() - 4).contains(u"/*"_s));
                QVERIFY(!token.text.mid(2, token.text.size() - 4).contains(u"*/"_s));
            }
        }
    }

    void hostileSchemaNamesStayInsideLiteralsAndComments_data()
    {
        QTest::addColumn<QString>("schema");
        for (const QString& name :
             {u"a\rEXEC xp_cmdshell 'dir'"_s, u"x\r\nDROP DATABASE Other --"_s, u"a*/ b /*"_s,
              u"a]b; DROP DATABASE Other --"_s, u"O'Neil'); DROP DATABASE Other --"_s, u"\r\n*/ ]] ' -- /* \n"_s})
            QTest::addRow("%s", qPrintable(QString(name).replace(u'\r', u"<CR>"_s).replace(u'\n', u"<LF>"_s))) << name;
    }

    void hostileSchemaNamesStayInsideLiteralsAndComments()
    {
        QFETCH(QString, schema);
        using TsqlLexer::Token;
        const QString plain = u"Sch"_s;
        const QList<Token> reference = TsqlLexer::tokenize(dumpOf(u"Sales"_s, u"Tbl"_s, plain));
        QList<Token> tokens;
        try {
            tokens = TsqlLexer::tokenize(dumpOf(u"Sales"_s, u"Tbl"_s, schema));
        } catch (const std::runtime_error& e) {
            QFAIL(e.what());
        }
        QCOMPARE(TsqlLexer::codeSkeleton(tokens), TsqlLexer::codeSkeleton(reference));
        QCOMPARE(tokens.size(), reference.size());
        const QString bracketed = QString(schema).replace(u"]"_s, u"]]"_s);
        int identifiers = 0;
        int literals = 0;
        for (qsizetype i = 0; i < tokens.size(); ++i) {
            QCOMPARE(tokens[i].kind, reference[i].kind);
            const QString value = reference[i].value();
            if (tokens[i].kind == Token::Kind::Identifier && value == plain) {
                QCOMPARE(tokens[i].value(), schema); // DROP TABLE, CREATE TABLE, INSERT INTO
                ++identifiers;
            } else if (tokens[i].kind == Token::Kind::Literal && value == plain) {
                QCOMPARE(tokens[i].value(), schema); // SCHEMA_ID(N'...')
                ++literals;
            } else if (tokens[i].kind == Token::Kind::Literal && value == u"CREATE SCHEMA [Sch]"_s) {
                // The statement that EXEC runs is itself one identifier in code.
                const QList<Token> inner = TsqlLexer::tokenize(tokens[i].value());
                QCOMPARE(TsqlLexer::codeSkeleton(inner), TsqlLexer::codeSkeleton(TsqlLexer::tokenize(value)));
                QCOMPARE(inner.last().value(), schema);
                ++literals;
            } else if (tokens[i].kind == Token::Kind::Literal && value == u"[Sch].[Tbl]"_s) {
                QCOMPARE(tokens[i].value(), u'[' + bracketed + u"].[Tbl]"_s); // OBJECT_ID(N'...')
                ++literals;
            }
        }
        QCOMPARE(identifiers, 3);
        QCOMPARE(literals, 3);
        for (const Token& token : tokens)
            if (token.kind == Token::Kind::LineComment)
                QVERIFY(!token.text.contains(u'\r') && !token.text.contains(u'\n'));
    }

    void commentTexts_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("block");

        QTest::newRow("plain") << u"Sales 1"_s << u"Sales 1"_s << u"Sales 1"_s;
        QTest::newRow("CR LF") << u"a\r\nb\rc\nd"_s << u"a  b c d"_s << u"a  b c d"_s;
        QTest::newRow("comment marks") << u"a/*b*/c--d"_s << u"a/*b*/c--d"_s << u"a/ *b* /c--d"_s;
        QTest::newRow("overlapping marks") << u"/*/**//"_s << u"/*/**//"_s << u"/ * / ** //"_s;
        QTest::newRow("lone slash and star") << u"a/b*c*"_s << u"a/b*c*"_s << u"a/b*c*"_s;
    }

    void commentTexts()
    {
        QFETCH(QString, name);
        QFETCH(QString, line);
        QFETCH(QString, block);
        QCOMPARE(ScriptText::lineCommentText(name), line);
        QCOMPARE(ScriptText::blockCommentText(name), block);
        QCOMPARE(ScriptText::serverLine(name, name), u"-- Server: "_s + line + u"    Database: "_s + line);
        QCOMPARE(ScriptText::createSchemaLine(name), u"-- Create schema "_s + line);
        QCOMPARE(ScriptText::structureHeader(name).value(1), u"-- Table structure for table ["_s + line + u']');
        QCOMPARE(ScriptText::dataHeader(name).value(1), u"-- Dumping data for table ["_s + line + u']');
        QVERIFY(ScriptText::databaseObjectLine(name, QDateTime(QDate(2021, 8, 31), QTime(9, 30)))
                    .startsWith(u"/****** Object:  Database ["_s + block + u"]    Script Date: "_s));
    }

    void twoDumpsInOneMinuteShareOneFile()
    {
        Harness h;
        QVERIFY(h.dump());
        h.clock.advanceMs(20'000); // 9:30:32, the same minute
        QVERIFY(h.dump());
        const QByteArray once = Harness::readBytes(expectedPath(u"empty-database.sql"_s));
        QByteArray twice = once;
        twice.replace("9:30:12 AM", "9:30:32 AM");
        QCOMPARE(h.output(), once + twice);
        QCOMPARE(QDir(h.dir.path()).entryList({u"*.sql"_s}).size(), 1);
    }

    // ---- the data and log file folders of the database block

    void fileFolders_data()
    {
        QTest::addColumn<bool>("serverAnswers");
        QTest::addColumn<QStringList>("files"); // "type|path"
        QTest::addColumn<QString>("dataFolder");
        QTest::addColumn<QString>("logFolder");
        const QString fixed = QString::fromLatin1(ScriptText::FixedFileFolder);
        QTest::newRow("query fails: fixed") << false << QStringList() << fixed << fixed;
        QTest::newRow("no files: fixed") << true << QStringList() << fixed << fixed;
        QTest::newRow("windows folders") << true
                                         << QStringList{u"0|D:\\MSSQL15.SQLEXPRESS\\MSSQL\\DATA\\Sales.mdf"_s,
                                                        u"1|E:\\Logs\\Sales_log.ldf"_s}
                                         << u"D:\\MSSQL15.SQLEXPRESS\\MSSQL\\DATA\\"_s << u"E:\\Logs\\"_s;
        QTest::newRow("linux server keeps its slash")
            << true << QStringList{u"1|/var/opt/mssql/log/Sales_log.ldf"_s, u"0|/var/opt/mssql/data/Sales.mdf"_s}
            << u"/var/opt/mssql/data/"_s << u"/var/opt/mssql/log/"_s;
        QTest::newRow("only a data file")
            << true << QStringList{u"0|D:\\Data\\Sales.mdf"_s} << u"D:\\Data\\"_s << fixed;
        QTest::newRow("first file of each kind, apostrophe doubled")
            << true
            << QStringList{u"2|F:\\Stream\\fs"_s, u"0|D:\\Bob's\\Sales.mdf"_s, u"0|G:\\Second\\Sales2.ndf"_s,
                           u"1|L:\\Sales_log.ldf"_s}
            << u"D:\\Bob''s\\"_s << u"L:\\"_s;
        QTest::newRow("a path without a folder") << true << QStringList{u"0|Sales.mdf"_s} << fixed << fixed;
    }

    void fileFolders()
    {
        QFETCH(bool, serverAnswers);
        QFETCH(QStringList, files);
        QFETCH(QString, dataFolder);
        QFETCH(QString, logFolder);
        Harness h;
        if (serverAnswers) {
            h.db.databaseFiles.emplace();
            for (const QString& file : files)
                h.db.databaseFiles->append({file.section(u'|', 1), file.section(u'|', 0, 0).toInt()});
        }
        QVERIFY(h.dump());
        QCOMPARE(h.dialogs.errorReports(), QStringList());
        const QStringList lines = scriptLines(h.output());
        QCOMPARE(lines.size(), 48);
        QCOMPARE(lines[17],
                 u"( NAME = N'Sales_Data', FILENAME = N'"_s + dataFolder
                     + u"Sales_Data.MDF' , SIZE = 2432KB , MAXSIZE = UNLIMITED, FILEGROWTH = 10%) "_s);
        QCOMPARE(lines[19],
                 u"( NAME = N'Sales_Log', FILENAME = N'"_s + logFolder
                     + u"Sales_Log.LDF' , SIZE = 1024KB , MAXSIZE = UNLIMITED, FILEGROWTH = 10%) "_s);
    }

    // ---- type texts and value texts

    void typeText_data()
    {
        QTest::addColumn<QString>("dataType");
        QTest::addColumn<qint64>("maxLength"); // -2: NULL
        QTest::addColumn<int>("precision"); // -1: NULL
        QTest::addColumn<int>("scale");
        QTest::addColumn<QString>("expected");
        QTest::newRow("int, no length") << u"int"_s << qint64(-2) << 10 << 0 << u"INT"_s;
        QTest::newRow("nvarchar(20)") << u"nvarchar"_s << qint64(20) << -1 << -1 << u"NVARCHAR(20)"_s;
        QTest::newRow("char(8000)") << u"char"_s << qint64(8000) << -1 << -1 << u"CHAR(8000)"_s;
        QTest::newRow("varchar(max)") << u"varchar"_s << qint64(-1) << -1 << -1 << u"VARCHAR(max)"_s;
        QTest::newRow("varbinary(max)") << u"varbinary"_s << qint64(-1) << -1 << -1 << u"VARBINARY(max)"_s;
        QTest::newRow("binary(16)") << u"binary"_s << qint64(16) << -1 << -1 << u"BINARY(16)"_s;
        QTest::newRow("nchar(1)") << u"nchar"_s << qint64(1) << -1 << -1 << u"NCHAR(1)"_s;
        QTest::newRow("text above 8000") << u"text"_s << qint64(2147483647) << -1 << -1 << u"TEXT"_s;
        QTest::newRow("varchar above 8000") << u"varchar"_s << qint64(8001) << -1 << -1 << u"VARCHAR"_s;
        QTest::newRow("xml(-1) bare") << u"xml"_s << qint64(-1) << -1 << -1 << u"XML"_s;
        QTest::newRow("image bare") << u"image"_s << qint64(2147483647) << -1 << -1 << u"IMAGE"_s;
        QTest::newRow("decimal(10,2)") << u"decimal"_s << qint64(-2) << 10 << 2 << u"DECIMAL(10,2)"_s;
        QTest::newRow("numeric(5,0)") << u"numeric"_s << qint64(-2) << 5 << 0 << u"NUMERIC(5,0)"_s;
        QTest::newRow("decimal, precision unknown") << u"decimal"_s << qint64(-2) << -1 << -1 << u"DECIMAL"_s;
        QTest::newRow("float keeps no precision") << u"float"_s << qint64(-2) << 53 << -1 << u"FLOAT"_s;
        QTest::newRow("money keeps no precision") << u"money"_s << qint64(-2) << 19 << 4 << u"MONEY"_s;
    }

    void typeText()
    {
        QFETCH(QString, dataType);
        QFETCH(qint64, maxLength);
        QFETCH(int, precision);
        QFETCH(int, scale);
        QFETCH(QString, expected);
        const auto length = maxLength == -2 ? std::nullopt : std::optional<qint64>(maxLength);
        const auto p = precision < 0 ? std::nullopt : std::optional<int>(precision);
        const auto s = scale < 0 ? std::nullopt : std::optional<int>(scale);
        QCOMPARE(ScriptText::typeText(dataType, length, p, s), expected);
    }

    void valueText_data()
    {
        QTest::addColumn<FieldValue>("value");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("null") << FieldValue::null() << QByteArray("NULL");
        QTest::newRow("empty text") << text({}) << QByteArray("''");
        QTest::newRow("apostrophes doubled") << text(u"'Baker's'"_s) << QByteArray("'''Baker''s'''");
        QTest::newRow("long ascii, apostrophes in and across blocks")
            << text(u"0123456'89abcdefghijklmnopqrstu'"_s) << QByteArray("'0123456''89abcdefghijklmnopqrstu'''");
        QTest::newRow("non-ascii after a long ascii run")
            << text(u"0123456789abcdefghij\u00e9"_s) << QByteArray("'0123456789abcdefghij\xc3\xa9'");
        QTest::newRow("N after a long ascii run")
            << text(u"0123456789abcdef'\u03a9"_s) << QByteArray("N'0123456789abcdef''\xce\xa9'");
        QTest::newRow("marker kept") << text(u"|myseparaterz|"_s) << QByteArray("'|myseparaterz|'");
        QTest::newRow("latin-1 stays plain")
            << text(u"na\u00efve \u00e9t\u00e9"_s) << QByteArray("'na\xc3\xafve \xc3\xa9t\xc3\xa9'");
        QTest::newRow("windows-1252 extras stay plain")
            << text(u"\u20ac \u2122 \u0178 \u2019"_s)
            << QByteArray("'\xe2\x82\xac \xe2\x84\xa2 \xc5\xb8 \xe2\x80\x99'");
        QTest::newRow("greek needs N") << text(u"\u03a9'"_s) << QByteArray("N'\xce\xa9'''");
        QTest::newRow("C1 control needs N") << text(u"\u0081"_s) << QByteArray("N'\xc2\x81'");
        QTest::newRow("emoji needs N") << text(u"\U0001F600"_s) << QByteArray("N'\xf0\x9f\x98\x80'");
        QTest::newRow("backslash kept") << text(u"C:\\dir\\"_s) << QByteArray("'C:\\dir\\'");
        QTest::newRow("line breaks kept") << text(u"a\r\nb\nc"_s) << QByteArray("'a\r\nb\nc'");
        QTest::newRow("backslash before CR LF is cut out of the literal")
            << text(u"C:\\\r\nnext"_s) << QByteArray("CONVERT(nvarchar(max), 'C:\\') + '\r\nnext'");
        QTest::newRow("every backslash before a line break")
            << text(u"a\\\nb\\\n\u03a9'"_s) << QByteArray("CONVERT(nvarchar(max), 'a\\') + '\nb\\' + N'\n\xce\xa9'''");
        QTest::newRow("backslash before CR alone")
            << text(u"\\\r"_s) << QByteArray("CONVERT(nvarchar(max), '\\') + '\r'");
        QTest::newRow("integer") << integer(-42) << QByteArray("'-42'");
        QTest::newRow("exact as given") << of(Kind::ExactNumeric, u"12.50"_s) << QByteArray("'12.50'");
        QTest::newRow("double shortest") << FieldValue::ofNumber(0.1) << QByteArray("'0.1'");
        QTest::newRow("double third") << FieldValue::ofNumber(1.0 / 3) << QByteArray("'0.3333333333333333'");
        QTest::newRow("double large") << FieldValue::ofNumber(1e20) << QByteArray("'1e+20'");
        QTest::newRow("double integral") << FieldValue::ofNumber(1234567.0) << QByteArray("'1234567'");
        QTest::newRow("real shortest") << FieldValue::ofNumber(double(0.1f), true) << QByteArray("'0.1'");
        QTest::newRow("real as double would be long")
            << FieldValue::ofNumber(double(3.14159f), true) << QByteArray("'3.14159'");
        QTest::newRow("bit on") << of(Kind::Bit, u"1"_s) << QByteArray("'True'");
        QTest::newRow("bit off") << of(Kind::Bit, u"0"_s) << QByteArray("'False'");
        QTest::newRow("datetime midnight")
            << of(Kind::DateTime, u"1970-05-01 00:00:00.000"_s) << QByteArray("'5/1/1970'");
        QTest::newRow("datetime afternoon")
            << of(Kind::DateTime, u"2021-12-24 13:05:09.000"_s) << QByteArray("'12/24/2021 1:05:09 PM'");
        QTest::newRow("datetime one second past midnight")
            << of(Kind::DateTime, u"2021-12-24 00:00:01"_s) << QByteArray("'12/24/2021 12:00:01 AM'");
        QTest::newRow("fraction in ISO") << of(Kind::DateTime, u"2020-01-02 03:04:05.120"_s)
                                         << QByteArray("'2020-01-02T03:04:05.120'");
        QTest::newRow("fraction at midnight in ISO")
            << of(Kind::DateTime, u"2020-01-02 00:00:00.003"_s) << QByteArray("'2020-01-02T00:00:00.003'");
        QTest::newRow("malformed datetime as text")
            << of(Kind::DateTime, u"Jan 1 2020"_s) << QByteArray("'Jan 1 2020'");
        QTest::newRow("iso types as given") << of(Kind::IsoDateTime, u"2020-01-02 03:04:05.0000000 +01:00"_s)
                                            << QByteArray("'2020-01-02 03:04:05.0000000 +01:00'");
        QTest::newRow("guid") << of(Kind::Guid, u"6F9619FF-8B86-D011-B42D-00C04FC964FF"_s)
                              << QByteArray("'6F9619FF-8B86-D011-B42D-00C04FC964FF'");
        QTest::newRow("binary hex") << FieldValue::ofBytes(QByteArray::fromHex("00ab7f")) << QByteArray("0x00AB7F");
        QTest::newRow("empty binary") << FieldValue::ofBytes({}) << QByteArray("0x");
    }

    void valueText()
    {
        QFETCH(FieldValue, value);
        QFETCH(QByteArray, expected);
        QCOMPARE(ScriptText::valueText(value), expected);
    }

    void windows1252MatchesTheCodec()
    {
        // Every BMP character outside ASCII: plain '...' exactly when Windows-1252 holds it and reads it back. The
        // five bytes that the code page leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) are written N'...' for safety.
        QStringEncoder probe("windows-1252");
        if (!probe.isValid())
            QSKIP("this Qt has no Windows-1252 codec");
        const QList<char16_t> undefined = {0x81, 0x8D, 0x8F, 0x90, 0x9D};
        int fitting = 0;
        for (char16_t u = 0x80; u < 0xFFFF; ++u) {
            if (QChar::isSurrogate(u))
                continue;
            const QString one{QChar{u}};
            QStringEncoder encoder("windows-1252");
            const QByteArray bytes = encoder.encode(one);
            QStringDecoder decoder("windows-1252");
            const bool roundTrips = !encoder.hasError() && bytes.size() == 1 && QString(decoder.decode(bytes)) == one;
            const bool expected = roundTrips && !undefined.contains(u);
            fitting += expected;
            QVERIFY2(ScriptText::fitsWindows1252(one) == expected, qPrintable(QString::number(u, 16)));
        }
        QCOMPARE(fitting, 96 + 27); // Latin-1's upper half and the code page's 27 extras
    }

    void dateTimeMatchesDefaultText()
    {
        // The fast formatter must agree with the shared default date-and-time text at every hour and edge.
        const QDate dates[] = {QDate(2021, 1, 1), QDate(1999, 12, 31), QDate(2021, 10, 9), QDate(1753, 1, 1)};
        for (const QDate& date : dates) {
            for (int hour = 0; hour < 24; ++hour) {
                for (const QTime& time : {QTime(hour, 0, 0), QTime(hour, 9, 5), QTime(hour, 59, 59)}) {
                    const QDateTime value(date, time);
                    const FieldValue field = of(Kind::DateTime, value.toString(u"yyyy-MM-dd hh:mm:ss.zzz"_s));
                    const QByteArray expected = '\'' + defaultDateTimeText(value).toUtf8() + '\'';
                    QCOMPARE(ScriptText::valueText(field), expected);
                }
            }
        }
    }

    // ---- file names, FileCont and the backup log

    void stampedFileName_data()
    {
        QTest::addColumn<QTime>("time");
        QTest::addColumn<QString>("expected");
        QTest::newRow("morning") << QTime(9, 30, 12) << u"Sales 2021-08-31 930AM.sql"_s;
        QTest::newRow("afternoon") << QTime(14, 5) << u"Sales 2021-08-31 205PM.sql"_s;
        QTest::newRow("after midnight") << QTime(0, 7) << u"Sales 2021-08-31 1207AM.sql"_s;
        QTest::newRow("noon") << QTime(12, 0) << u"Sales 2021-08-31 1200PM.sql"_s;
        QTest::newRow("leading zero minute") << QTime(9, 5, 59) << u"Sales 2021-08-31 905AM.sql"_s;
        QTest::newRow("last minute") << QTime(23, 59, 59) << u"Sales 2021-08-31 1159PM.sql"_s;
    }

    void stampedFileName()
    {
        QFETCH(QTime, time);
        QFETCH(QString, expected);
        Harness h;
        h.clock.setNow(QDateTime(QDate(2021, 8, 31), time));
        QCOMPARE(h.engine().StampedFileName(u"Sales"_s), expected);
    }

    void fileNamesOfHostileDatabaseNames_data()
    {
        QTest::addColumn<QString>("database");
        QTest::addColumn<QString>("stem"); // empty: shortened, checked below
        QTest::newRow("plain") << u"Sales"_s << u"Sales"_s;
        QTest::newRow("slash") << u"a/b"_s << u"a_b"_s;
        QTest::newRow("line feed") << u"Sales\nNorth"_s << u"Sales_North"_s;
        QTest::newRow("carriage return and line feed") << u"Sales\r\nNorth"_s << u"Sales__North"_s;
        QTest::newRow("tab") << u"Sales\tNorth"_s << u"Sales_North"_s;
        QTest::newRow("other controls") << u"a"_s + QChar(1) + u"b"_s + QChar(0x1f) + u"c"_s + QChar(0x7f)
                                        << u"a_b_c"_s + QChar(0x7f);
        QTest::newRow("200 bytes stay") << QString(100, QChar(0x00e9)) << QString(100, QChar(0x00e9));
        QTest::newRow("128 Cyrillic") << QString(128, QChar(0x0416)) << QString();
        QTest::newRow("128 Chinese") << QString(128, QChar(0x6570)) << QString();
        QTest::newRow("100 emoji") << QString::fromUcs4(std::u32string(100, U'\U0001F600').c_str(), 100) << QString();
        QTest::newRow("long with line feeds") << QString(300, u'x').replace(10, 1, u"\n"_s) << QString();
    }

    void fileNamesOfHostileDatabaseNames()
    {
        QFETCH(QString, database);
        QFETCH(QString, stem);
        Harness h;
        const QString name = h.engine().StampedFileName(database);
        QVERIFY(name.endsWith(u" 2021-08-31 930AM.sql"_s));
        const QString made = name.chopped(QStringView(u" 2021-08-31 930AM.sql").size());
        for (const QChar c : made)
            QVERIFY2(c.unicode() >= 0x20 && c != u'/', qPrintable(name));
        // The longest name made of it: compressed, as a working file of a seven-figure process.
        const QByteArray longest = (name + u".gz.4194304-0123abcd.partial"_s).toUtf8();
        QVERIFY2(longest.size() <= BackupFile::MaxFileNameBytes, longest.constData());
        if (!stem.isEmpty()) {
            QCOMPARE(made, stem);
            return;
        }
        // Shortened: whole characters of the name, then "~" and a hash of the full name.
        QVERIFY(made.toUtf8().size() <= BackupFile::MaxNameStemBytes);
        const qsizetype tilde = made.lastIndexOf(u'~');
        QCOMPARE(made.size() - tilde, 13);
        QVERIFY(BackupFile::safeFileName(database).startsWith(made.left(tilde)));
        QVERIFY(made.toUtf8().size() > BackupFile::MaxNameStemBytes - 4); // cut no shorter than it must be
        QVERIFY(!made.contains(QChar(QChar::ReplacementCharacter)));
        // Two long names that differ only at their ends, or only where "_" stands, give different files.
        QString other = database;
        other.back() = u'!';
        QVERIFY(h.engine().StampedFileName(other) != name);
        if (const QString twin = BackupFile::safeFileName(database); twin != database)
            QVERIFY(h.engine().StampedFileName(twin) != name);
    }

    void fileContAppendsLines()
    {
        Harness h;
        IntervalSave save = h.engine();
        const QString path = h.dir.filePath(u"out.sql"_s);
        QString first = u"caf\u00e9 \u03a9"_s;
        QString empty;
        save.FileCont(path, first, 3);
        save.FileCont(path, empty, 3);
        QCOMPARE(Harness::readBytes(path), QByteArray("caf\xc3\xa9 \xce\xa9\r\n\r\n"));
        QCOMPARE(h.dialogs.errorReports(), QStringList());
    }

    void fileContReadsWholeFile()
    {
        Harness h;
        IntervalSave save = h.engine();
        const QString path = h.dir.filePath(u"in.sql"_s);
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("\xEF\xBB\xBFUSE [x]\r\nSELECT N'\xce\xa9'\r\n");
        file.close();
        QString text = u"old"_s;
        save.FileCont(path, text, 1);
        QCOMPARE(text, u"USE [x]\r\nSELECT N'\u03a9'\r\n"_s);
        QCOMPARE(h.dialogs.errorReports(), QStringList());
    }

    void fileContReportsFailures()
    {
        Harness h;
        IntervalSave save = h.engine();
        const QString missing = h.dir.filePath(u"no-such-folder/out.sql"_s);
        QString text = u"kept"_s;
        save.FileCont(missing, text, 1);
        QCOMPARE(text, u"kept"_s);
        save.FileCont(missing, text, 3);
        QVERIFY(!QFile::exists(missing));
        const QStringList reports = h.dialogs.errorReports();
        QCOMPARE(reports.size(), 4);
        const QString reason = reports[0].section(u"\r\n"_s, 0, 0);
        QVERIFY(!reason.isEmpty());
        QCOMPARE(reports[0], report(u"FileCont"_s, reason, 104));
        QVERIFY(reports[1].endsWith(report(u"FileCont"_s, QString(), 108)));
        QCOMPARE(reports[2], report(u"FileCont"_s, reason, 124));
        QVERIFY(reports[3].endsWith(report(u"FileCont"_s, QString(), 128)));
    }

    void logPath_data()
    {
        QTest::addColumn<QString>("configured");
        QTest::addColumn<QByteArray>("temp"); // "<unset>" leaves TEMP unset
        QTest::addColumn<QString>("expected");
        QTest::newRow("TEMP") << QString() << QByteArray("/srv/t") << u"/srv/t/backups.log"_s;
        QTest::newRow("TEMP unset") << QString() << QByteArray("<unset>") << QDir::tempPath() + u"/backups.log"_s;
        QTest::newRow("TEMP empty") << QString() << QByteArray("") << QDir::tempPath() + u"/backups.log"_s;
        QTest::newRow("configured path wins") << u"/var/log/t.log"_s << QByteArray("/srv/t") << u"/var/log/t.log"_s;
    }

    void logPath()
    {
        QFETCH(QString, configured);
        QFETCH(QByteArray, temp);
        QFETCH(QString, expected);
        if (temp != "<unset>")
            qputenv("TEMP", temp);
        Harness h;
        h.logPath = configured;
        QCOMPARE(h.engine().backupLog().path(), expected);
    }

    void backupLogAppends()
    {
        Harness h;
        IntervalSave save = h.engine();
        save.backupLog().write(u"one"_s);
        save.backupLog().write(u"two \u00e9"_s);
        QCOMPARE(Harness::readBytes(h.logPath), QByteArray("one\r\ntwo \xc3\xa9\r\n"));
        h.logPath = h.dir.filePath(u"missing/backups.log"_s);
        IntervalSave broken = h.engine();
        QVERIFY_THROWS_EXCEPTION(Failure, broken.backupLog().write(u"three"_s));
    }

    // ---- failures of a dump

    void refusedLoginIsReportedAt124()
    {
        Harness h;
        const QString refusal = u"[FreeTDS][SQL Server]Login failed for user 'sa'."_s;
        h.db.refuseLogin = refusal;
        buildScenario(u"worked-example"_s, h.db, h.source);
        QVERIFY(!h.dump());
        const QStringList reports = h.dialogs.errorReports();
        QVERIFY(!reports.isEmpty());
        QCOMPARE(reports[0], report(u"SaveAll"_s, refusal, 124));
        for (const QString& r : reports)
            QVERIFY(r.contains(u"IntervalSave.SaveAll at line "_s));
        // A header without a database would restore an empty one: no file is left.
        QCOMPARE(h.files(), QStringList());
        QCOMPARE(Harness::readBytes(h.logPath),
                 (h.outputPath() + u" backup failed at 8/31/2021 9:30:12 AM: "_s + refusal + u"\r\n"_s).toUtf8());
        QCOMPARE(h.status.caption(), u"Auto Backup Failed at 8/31/2021 9:30:12 AM"_s);
    }

    void unwritableFolderEndsTheDump()
    {
        Harness h;
        buildScenario(u"worked-example"_s, h.db, h.source);
        h.source.folder = h.dir.filePath(u"gone"_s);
        QVERIFY(!h.dump());
        const QStringList reports = h.dialogs.errorReports();
        QCOMPARE(reports.size(), 2);
        const QString reason = reports[0].section(u"\r\n"_s, 0, 0);
        QCOMPARE(reports[0], report(u"FileCont"_s, reason, 124));
        QVERIFY(reports[1].endsWith(report(u"FileCont"_s, QString(), 128)));
        QVERIFY(!QDir(h.source.folder).exists());
        // No table was read, the connection was closed, the failure logged.
        QVERIFY(h.db.executed.filter(u"information_schema"_s).isEmpty());
        QCOMPARE(h.db.closed, 1);
        const QString path = h.source.folder + u"/Sales 2021-08-31 930AM.sql"_s;
        QCOMPARE(Harness::readBytes(h.logPath),
                 (path + u" backup failed at 8/31/2021 9:30:12 AM: "_s + reason + u"\r\n"_s).toUtf8());
        QCOMPARE(h.status.caption(), u"Auto Backup Failed at 8/31/2021 9:30:12 AM"_s);
    }

    void failingLogWriteIsReportedAt320()
    {
        Harness h;
        h.logPath = h.dir.filePath(u"missing/backups.log"_s);
        QVERIFY(!h.dump());
        const QStringList reports = h.dialogs.errorReports();
        QCOMPARE(reports.size(), 1);
        QVERIFY(reports[0].endsWith(report(u"SaveAll"_s, QString(), 320)));
        QCOMPARE(h.status.caption(), u"Auto Backup Failed at 8/31/2021 9:30:12 AM"_s);
        compareWithExpected(h.output(), u"empty-database.sql"_s);
    }

    void lostConnectionEndsOnlyThatTable()
    {
        Harness h;
        auto& big = h.db.addTable(u"Big"_s, {{u"Id"_s, u"int"_s, {}, 10, 0}});
        for (int i = 1; i <= 5; ++i)
            big.rows.push_back({integer(i)});
        h.db.addTable(u"Small"_s, {{u"Id"_s, u"int"_s, {}, 10, 0}}).rows = {{integer(9)}};
        h.db.failAfterRows = 2;
        QVERIFY(!h.dump());
        const QStringList reports = h.dialogs.errorReports();
        QCOMPARE(reports.size(), 1);
        QCOMPARE(reports[0], report(u"SaveAll"_s, u"[Memory][SQL Server]Communication link failure"_s, 268));
        QVERIFY(h.db.executed.contains(u"SELECT * FROM [Small]"_s)); // the dump went on with the next table
        QCOMPARE(h.files(), QStringList()); // but a backup without all of Big's rows is not kept
    }

    void catalogueOrderAndCaseDoNotChangeTheScript_data()
    {
        QTest::addColumn<bool>("reversed");
        QTest::addColumn<bool>("lowerCaseList");
        QTest::newRow("reversed catalogue") << true << false;
        QTest::newRow("table list lower-cased") << false << true;
        QTest::newRow("both") << true << true;
    }

    void catalogueOrderAndCaseDoNotChangeTheScript()
    {
        // The columns come in ordinal order whatever order the server sends them in; a table list that gives the
        // names in another case than the column catalogue still finds every table's columns.
        QFETCH(bool, reversed);
        QFETCH(bool, lowerCaseList);
        Harness h;
        buildScenario(u"worked-example"_s, h.db, h.source);
        h.db.addTable(u"Second"_s, {{u"Zed"_s, u"int"_s, {}, 10, 0}, {u"Alpha"_s, u"varchar"_s, 5, {}, {}}}).rows
            = {{integer(7), text(u"a"_s)}};
        h.db.reverseCatalogue = reversed;
        h.db.lowerCaseTableList = lowerCaseList;
        QVERIFY(h.dump());
        QCOMPARE(h.dialogs.errorReports(), QStringList());
        const QString script = QString::fromUtf8(h.output());
        const QString people = lowerCaseList ? u"people"_s : u"People"_s;
        const QString second = lowerCaseList ? u"second"_s : u"Second"_s;
        QVERIFY2(script.contains(u"CREATE TABLE [%1] ([Id] INT,[Name] NVARCHAR(20),[Born] DATETIME)\r\n"_s.arg(people)),
                 qPrintable(script));
        QVERIFY2(script.contains(u"CREATE TABLE [%1] ([Zed] INT,[Alpha] VARCHAR(5))\r\n"_s.arg(second)),
                 qPrintable(script));
        QVERIFY(script.contains(u"INSERT INTO [%1] VALUES('7', 'a');"_s.arg(second)));
    }

    void catalogueModel()
    {
        // The model the script writers read: the table list's order, each table's schema and its columns in order.
        MemoryDatabase db;
        db.addTable(u"B"_s, {{u"x"_s, u"int"_s, {}, 10, 0}});
        auto& a = db.addTable(u"A"_s, {{u"n"_s, u"nvarchar"_s, 20, {}, {}}, {u"d"_s, u"decimal"_s, {}, 9, 2}});
        a.schema = u"sales"_s;
        a.columns[1].nullable = false;
        db.addTable(u"V"_s, {{u"y"_s, u"int"_s, {}, 10, 0}}, u"VIEW"_s).schema = u"rep"_s;
        db.addTable(u"C"_s, {{u"z"_s, u"timestamp"_s, 8, {}, {}}}).schema = u"hr"_s;
        db.reverseCatalogue = true;
        db.lowerCaseTableList = true;
        const std::unique_ptr<Connection> connection = db.createConnection();
        connection->Open(QString());
        std::vector<SchemaModel::Table> tables = SchemaModel::readTableList(*connection);
        SchemaModel::readListedColumns(*connection, tables);
        QCOMPARE(tables.size(), std::size_t(4));
        QCOMPARE(tables[1].schema, u"sales"_s);
        QCOMPARE(tables[1].name, u"a"_s);
        QCOMPARE(tables[1].type, u"TABLE"_s);
        QCOMPARE(tables[2].type, u"VIEW"_s);
        const SchemaModel::Table* sales = SchemaModel::findTable(tables, u"sales"_s, u"A"_s);
        QVERIFY(sales == &tables[1]);
        QCOMPARE(sales->columns.size(), std::size_t(2));
        QCOMPARE(sales->columns[0].name, u"n"_s);
        QCOMPARE(sales->columns[0].id, 1);
        QCOMPARE(sales->columns[0].characterLength, std::optional<qint64>(20));
        QCOMPARE(sales->columns[0].collation, u"SQL_Latin1_General_CP1_CI_AS"_s);
        QVERIFY(sales->columns[0].nullable);
        QCOMPARE(sales->columns[1].name, u"d"_s);
        QCOMPARE(sales->columns[1].numericPrecision, std::optional<int>(9));
        QCOMPARE(sales->columns[1].numericScale, std::optional<int>(2));
        QVERIFY(!sales->columns[1].nullable);
        QVERIFY(SchemaModel::findTable(tables, u"dbo"_s, u"A"_s) == nullptr);
        QVERIFY(tables[3].columns.at(0).rowVersion());
        QCOMPARE(SchemaModel::otherSchemas(tables), (std::vector<QString>{u"sales"_s, u"hr"_s})); // views make none
    }

    void failedCatalogueIsReportedOnce_data()
    {
        QTest::addColumn<QString>("failing");
        QTest::addColumn<int>("line");
        QTest::newRow("table list") << u"information_schema.TABLES"_s << 162;
        QTest::newRow("columns") << u"information_schema.COLUMNS"_s << 194;
    }

    void failedCatalogueIsReportedOnce()
    {
        // Without the table list or the columns no table can be written: one report at the read that failed, no
        // table's rows asked for, no file.
        QFETCH(QString, failing);
        QFETCH(int, line);
        Harness h;
        h.db.addTable(u"Prices"_s, {{u"Id"_s, u"int"_s, {}, 10, 0}, {u"Amount"_s, u"decimal"_s, {}, 10, 2}}).rows
            = {{integer(1), of(Kind::ExactNumeric, u"12.50"_s)}};
        h.db.addTable(u"Other"_s, {{u"Id"_s, u"int"_s, {}, 10, 0}});
        h.db.failCommandContaining = failing;
        QVERIFY(!h.dump());
        QCOMPARE(h.dialogs.errorReports(), QStringList{report(u"SaveAll"_s, h.db.failText, line)});
        QCOMPARE(h.db.executed.filter(u"SELECT * FROM"_s), QStringList());
        QCOMPARE(h.files(), QStringList());
        QVERIFY(QString::fromUtf8(Harness::readBytes(h.logPath)).contains(u" backup failed at "_s));
    }

    void catalogueIsReadWithTwoQueries_data()
    {
        QTest::addColumn<int>("tables");
        QTest::newRow("none") << 0;
        QTest::newRow("one") << 1;
        QTest::newRow("fifty") << 50;
    }

    void catalogueIsReadWithTwoQueries()
    {
        // The table list and one column query for the whole database, then one SELECT per table: nothing per table
        // before the first row.
        QFETCH(int, tables);
        Harness h;
        h.db.databaseFiles = QList<MemoryDatabase::DatabaseFile>();
        h.db.snapshotIsolationState = 1; // every read once: no refused snapshot read again
        for (int i = 0; i < tables; ++i)
            h.db.addTable(u"T%1"_s.arg(i), {{u"Id"_s, u"int"_s, {}, 10, 0}, {u"Name"_s, u"varchar"_s, 10, {}, {}}}).rows
                = {{integer(i), text(u"x"_s)}};
        QVERIFY(h.dump());
        QCOMPARE(h.db.executed.filter(u"information_schema.TABLES"_s), QStringList{SchemaModel::tableListQuery()});
        QCOMPARE(h.db.executed.filter(u"information_schema.COLUMNS"_s), QStringList{SchemaModel::listedColumnsQuery()});
        const QStringList data = h.db.executed.filter(u"SELECT * FROM"_s);
        QCOMPARE(data.size(), tables);
        const qsizetype firstData = tables > 0 ? h.db.executed.indexOf(data.first())
                                               : h.db.executed.indexOf(SchemaModel::listedColumnsQuery()) + 1;
        // Before the first row: the snapshot's isolation level and transaction, the database's files, the table list
        // and the column catalogue.
        QCOMPARE(firstData, 5);
    }

    void tablesOfEverySchemaAreBackedUp()
    {
        // Tables outside dbo under their two-part names, each schema made once before its first table; two tables of
        // one name in two schemas both kept, each with its own columns and rows; dbo's tables as always.
        Harness h;
        h.db.addTable(u"Orders"_s, {{u"Id"_s, u"int"_s, {}, 10, 0}, {u"Total"_s, u"int"_s, {}, 10, 0}}).rows
            = {{integer(1), integer(5)}};
        auto& sales = h.db.addTable(u"Orders"_s, {{u"Id"_s, u"int"_s, {}, 10, 0}});
        sales.schema = u"sales"_s;
        sales.rows = {{integer(2)}};
        auto& hr = h.db.addTable(u"People"_s, {{u"Name"_s, u"varchar"_s, 10, {}, {}}});
        hr.schema = u"hr"_s;
        auto& items = h.db.addTable(u"Items"_s, {{u"Id"_s, u"int"_s, {}, 10, 0}});
        items.schema = u"sales"_s;
        items.rows = {{integer(3)}};
        h.db.snapshotIsolationState = 1; // every table read once
        QVERIFY(h.dump());
        QCOMPARE(h.dialogs.errorReports(), QStringList());
        const QStringList lines = scriptLines(h.output()).mid(48);
        const QString drop = u"IF  EXISTS (SELECT * FROM dbo.sysobjects WHERE id = OBJECT_ID(N'%1') AND "
                             u"OBJECTPROPERTY(id, N'IsUserTable') = 1) DROP TABLE %1 "_s;
        const auto schemaBlock = [](const QString& s) {
            return QStringList{u"--"_s,
                               u"-- Schema [%1]"_s.arg(s),
                               u"--"_s,
                               QString(),
                               u"IF SCHEMA_ID(N'%1') IS NULL EXEC(N'CREATE SCHEMA [%1]')"_s.arg(s),
                               QString()};
        };
        const auto tableBlock = [&](const QString& name, const QString& create, const QStringList& inserts) {
            return QStringList{u"--"_s,
                               u"-- Table structure for table "_s + name,
                               u"--"_s,
                               QString(),
                               drop.arg(name.startsWith(u"[Orders]"_s) ? u"[dbo]."_s + name : name),
                               create,
                               QString(),
                               u"--"_s,
                               u"-- Dumping data for table "_s + name,
                               u"--"_s,
                               QString()}
            + inserts + QStringList{QString()};
        };
        const QStringList expected = tableBlock(u"[Orders]"_s, u"CREATE TABLE [Orders] ([Id] INT,[Total] INT)"_s,
                                                {u"INSERT INTO [Orders] VALUES('1', '5');"_s})
            + schemaBlock(u"sales"_s)
            + tableBlock(u"[sales].[Orders]"_s, u"CREATE TABLE [sales].[Orders] ([Id] INT)"_s,
                         {u"INSERT INTO [sales].[Orders] VALUES('2');"_s})
            + schemaBlock(u"hr"_s)
            + tableBlock(u"[hr].[People]"_s, u"CREATE TABLE [hr].[People] ([Name] VARCHAR(10))"_s, {})
            + tableBlock(u"[sales].[Items]"_s, u"CREATE TABLE [sales].[Items] ([Id] INT)"_s,
                         {u"INSERT INTO [sales].[Items] VALUES('3');"_s});
        QCOMPARE(lines, expected);
        QCOMPARE(h.db.executed.filter(u"SELECT * FROM"_s),
                 (QStringList{u"SELECT * FROM [Orders]"_s, u"SELECT * FROM [sales].[Orders]"_s,
                              u"SELECT * FROM [hr].[People]"_s, u"SELECT * FROM [sales].[Items]"_s}));
    }

    // ---- files that are complete or absent

    void failedDumpLeavesNoFile_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("line");
        QTest::addColumn<QString>("procedure");
        QTest::newRow("no connection object") << u"create"_s << 100 << u"SaveAll"_s;
        QTest::newRow("login refused") << u"login"_s << 124 << u"SaveAll"_s;
        QTest::newRow("connection lost in the last table") << u"rows"_s << 268 << u"SaveAll"_s;
        QTest::newRow("data query fails") << u"data"_s << 254 << u"SaveAll"_s;
        QTest::newRow("folder missing") << u"folder"_s << 124 << u"FileCont"_s;
    }

    void failedDumpLeavesNoFile()
    {
        QFETCH(QString, fault);
        QFETCH(int, line);
        QFETCH(QString, procedure);
        Harness h;
        buildScenario(u"worked-example"_s, h.db, h.source);
        if (fault == u"create"_s)
            h.db.refuseCreate = u"ActiveX component can't create object"_s;
        else if (fault == u"login"_s)
            h.db.refuseLogin = u"[FreeTDS][SQL Server]Login failed for user 'sa'."_s;
        else if (fault == u"rows"_s)
            h.db.failAfterRows = 1;
        else if (fault == u"data"_s)
            h.db.failCommandContaining = u"SELECT * FROM"_s;
        else
            h.source.folder = h.dir.filePath(u"gone"_s);
        QVERIFY(!h.dump());
        const QStringList reports = h.dialogs.errorReports();
        QVERIFY(!reports.isEmpty());
        QVERIFY2(reports[0].contains(u"IntervalSave."_s + procedure + u" at line "_s + QString::number(line)),
                 qPrintable(reports[0]));
        QCOMPARE(h.files(), QStringList());
        const QString log = QString::fromUtf8(Harness::readBytes(h.logPath));
        QVERIFY2(log.startsWith(h.source.folder + u"/Sales 2021-08-31 930AM.sql backup failed at "_s), qPrintable(log));
        QCOMPARE(h.status.caption(), u"Auto Backup Failed at 8/31/2021 9:30:12 AM"_s);
    }

    void failedDumpInTheSameMinuteKeepsTheGoodFile()
    {
        Harness h;
        buildScenario(u"worked-example"_s, h.db, h.source);
        QVERIFY(h.dump());
        const QByteArray good = h.output();
        compareWithExpected(good, u"worked-example.sql"_s);
        h.clock.advanceMs(20'000);
        h.db.failAfterRows = 1;
        QVERIFY(!h.dump());
        QCOMPARE(h.output(), good);
        QCOMPARE(h.files(), QStringList{u"Sales 2021-08-31 930AM.sql"_s});
    }

    void backupAndWorkingFilesAreOwnerOnly()
    {
        Harness h;
        buildScenario(u"worked-example"_s, h.db, h.source);
        const mode_t oldMask = ::umask(0); // the modes do not rely on the caller's umask
        QList<mode_t> workingModes;
        h.letEventsRun = [&] {
            for (const QString& name : h.files()) {
                struct stat info
                { };
                if (::stat(QFile::encodeName(h.dir.filePath(name)).constData(), &info) == 0)
                    workingModes.append(info.st_mode & 07777);
            }
            h.clock.advanceMs(10);
        };
        const bool saved = h.dump();
        h.clock.advanceMs(20'000);
        const bool appended = h.dump(); // the combined file of the same minute too
        ::umask(oldMask);
        QVERIFY(saved && appended);
        QVERIFY(!workingModes.isEmpty());
        for (const mode_t mode : workingModes)
            QCOMPARE(mode, mode_t(0600));
        struct stat info
        { };
        QCOMPARE(::stat(QFile::encodeName(h.outputPath()).constData(), &info), 0);
        QCOMPARE(info.st_mode & 07777, mode_t(0600));
    }

    void unsafeNameCharactersBecomeUnderscores_data()
    {
        QTest::addColumn<QString>("database");
        QTest::addColumn<QString>("fileName");
        QTest::newRow("parent folder") << u"../escaped"_s << u".._escaped 2021-08-31 930AM.sql"_s;
        QTest::newRow("slashes") << u"a/b/c"_s << u"a_b_c 2021-08-31 930AM.sql"_s;
        QTest::newRow("NUL") << QString(u"x\0y"_s) << u"x_y 2021-08-31 930AM.sql"_s;
        QTest::newRow("others kept") << u"a\\b:c*?"_s << u"a\\b:c*? 2021-08-31 930AM.sql"_s;
    }

    void unsafeNameCharactersBecomeUnderscores()
    {
        QFETCH(QString, database);
        QFETCH(QString, fileName);
        Harness h;
        QVERIFY(QDir(h.dir.path()).mkpath(u"backups"_s));
        h.source.folder = h.dir.filePath(u"backups"_s);
        h.source.database = database;
        IntervalSave save = h.engine();
        QVERIFY(save.SaveAll(u"Driver={SQL Server};"_s, h.status));
        QCOMPARE(save.lastOutputPath(), h.source.folder + u'/' + fileName);
        QCOMPARE(QDir(h.source.folder).entryList(QDir::Files | QDir::Hidden), QStringList{fileName});
        QCOMPARE(h.files(), QStringList()); // nothing beside the folder
        const QStringList lines = scriptLines(Harness::readBytes(save.lastOutputPath()));
        QCOMPARE(lines.value(0), u"-- Server: DBHOST\\SQLEXPRESS    Database: "_s + database); // the script keeps it
    }

    void snapshotWhereTheDatabaseAllowsIt_data()
    {
        QTest::addColumn<int>("state"); // -1: a server without snapshot isolation
        QTest::addColumn<QString>("ending"); // how the transaction ends: COMMIT, ROLLBACK at the first table, none
        QTest::newRow("allowed") << 1 << u"COMMIT"_s;
        QTest::newRow("off") << 0 << u"ROLLBACK TRANSACTION"_s;
        QTest::newRow("turning on is not on") << 2 << u"ROLLBACK TRANSACTION"_s;
        QTest::newRow("server without snapshot isolation") << -1 << QString();
    }

    void snapshotWhereTheDatabaseAllowsIt()
    {
        QFETCH(int, state);
        QFETCH(QString, ending);
        Harness h;
        buildScenario(u"worked-example"_s, h.db, h.source);
        h.db.snapshotIsolationState = state < 0 ? std::nullopt : std::optional<int>(state);
        QVERIFY(h.dump());
        // A database that refuses the snapshot is backed up all the same, with the same bytes and nothing reported.
        QCOMPARE(h.dialogs.errorReports(), QStringList());
        compareWithExpected(h.output(), u"worked-example.sql"_s);
        const QStringList& executed = h.db.executed;
        // Nothing is asked of the server before the snapshot: the server itself says whether it allows one.
        QCOMPARE(executed.value(0), u"SET TRANSACTION ISOLATION LEVEL SNAPSHOT"_s);
        QVERIFY(executed.filter(u"sys.databases"_s).isEmpty());
        const qsizetype begin = executed.indexOf(u"BEGIN TRANSACTION"_s);
        const qsizetype firstTable = executed.indexOf(QRegularExpression(u"SELECT \\* FROM .*"_s));
        QVERIFY(firstTable > 0);
        const QString firstRead = executed[firstTable];
        if (ending.isEmpty()) {
            QCOMPARE(begin, -1);
            QCOMPARE(executed.filter(QRegularExpression(u"^(COMMIT|ROLLBACK)"_s)), QStringList());
            return;
        }
        QCOMPARE(begin, 1);
        QVERIFY(begin < executed.indexOf(QRegularExpression(u".*information_schema.*"_s)));
        if (ending == u"COMMIT"_s) {
            QCOMPARE(executed.indexOf(u"COMMIT"_s), executed.size() - 1);
            QVERIFY(!executed.contains(u"ROLLBACK TRANSACTION"_s));
            return;
        }
        // Refused at the first table: the transaction ends, the session reads committed rows, the read runs again.
        QCOMPARE(executed.mid(firstTable, 4),
                 (QStringList{firstRead, u"ROLLBACK TRANSACTION"_s, u"SET TRANSACTION ISOLATION LEVEL READ COMMITTED"_s,
                              firstRead}));
        QVERIFY(!executed.contains(u"COMMIT"_s));
        // Once only: every later read goes to the server as it is.
        QCOMPARE(executed.count(u"ROLLBACK TRANSACTION"_s), 1);
    }

    void failedSnapshotDumpIsNotCommitted()
    {
        // The failure is the one report: the close rolls the transaction back, whatever state the server left it in.
        Harness h;
        buildScenario(u"worked-example"_s, h.db, h.source);
        h.db.snapshotIsolationState = 1;
        h.db.failCommandContaining = u"SELECT * FROM"_s;
        QVERIFY(!h.dump());
        QCOMPARE(h.dialogs.errorReports(), QStringList{report(u"SaveAll"_s, h.db.failText, 254)});
        QVERIFY(h.db.executed.contains(u"BEGIN TRANSACTION"_s));
        QVERIFY(!h.db.executed.contains(u"COMMIT"_s));
        QCOMPARE(h.files(), QStringList());
    }

    // ---- a stop from outside (a termination signal)

    void stopEndsTheDumpWithoutAFile_data()
    {
        QTest::addColumn<int>("stopAtPump"); // the pump after which the stop comes; -1: while waiting for the lock
        QTest::newRow("before the first table") << 1;
        QTest::newRow("between rows") << 40;
        QTest::newRow("waiting for another backup's commit") << -1;
    }

    void stopEndsTheDumpWithoutAFile()
    {
        QFETCH(int, stopAtPump);
        Harness h;
        auto& big = h.db.addTable(u"Big"_s, {{u"Id"_s, u"int"_s, {}, 10, 0}});
        for (int i = 0; i < 200; ++i)
            big.rows.push_back({FieldValue::ofText(QString::number(i), FieldValue::Kind::Integer)});
        StopRequest stop;
        int cancels = 0;
        const StopRequest::Hook counted = stop.onStop([&] { ++cancels; });
        int other = -1; // another process's commit holds the folder's lock
        if (stopAtPump < 0) {
            other = ::open(QFile::encodeName(h.dir.path()).constData(), O_RDONLY | O_DIRECTORY);
            QCOMPARE(::flock(other, LOCK_EX | LOCK_NB), 0);
        }
        int pumps = 0;
        h.letEventsRun = [&] {
            h.clock.advanceMs(20);
            ++pumps;
            // The last row in the working file (the writer thread has written everything): the dump waits for the
            // folder's lock.
            if (pumps == stopAtPump || (stopAtPump < 0 && h.working().contains("INSERT INTO [Big] VALUES('199');")))
                stop.request(SIGTERM);
        };
        IntervalSave save = h.engine();
        save.setStopRequest(&stop);
        save.setLockWaitMs(60'000);
        const bool saved = save.SaveAll(u"Driver={SQL Server};"_s, h.status);
        if (other >= 0)
            ::close(other);
        QVERIFY(!saved);
        QVERIFY(save.wasInterrupted());
        QCOMPARE(cancels, 1);
        QCOMPARE(h.dialogs.errorReports(), QStringList());
        QCOMPARE(h.files(), QStringList());
        QCOMPARE(QString::fromUtf8(Harness::readBytes(h.logPath)),
                 h.outputPath() + u" backup failed at "_s + defaultDateTimeText(h.clock.now())
                     + u": interrupted\r\n"_s);
        QVERIFY(h.status.caption().startsWith(u"Auto Backup Failed at "_s));
    }

    void forcedEndRemovesTheWorkingFileAndLogsOnce()
    {
        // The work does not reach its next step in time (a driver call that does not return): the forced end, on
        // another thread, does what the dump would have done; the dump, when it comes back, does not do it again.
        Harness h;
        h.source.chosen.compress = true; // the writer thread compresses while the working file goes
        h.db.addTable(u"Orders"_s, {{u"Id"_s, u"int"_s, {}, 10, 0}}).rows = {{integer(1)}, {integer(2)}};
        StopRequest stop;
        bool forced = false;
        h.letEventsRun = [&] {
            h.clock.advanceMs(20);
            if (forced || QDir(h.dir.path()).entryList({u"*.partial"_s}).isEmpty())
                return;
            forced = true;
            stop.request(SIGINT);
            std::thread([&] { stop.forceEnd(); }).join();
            QCOMPARE(QDir(h.dir.path()).entryList({u"*.partial"_s}), QStringList());
        };
        IntervalSave save = h.engine();
        save.setStopRequest(&stop);
        QVERIFY(!save.SaveAll(u"Driver={SQL Server};"_s, h.status));
        QVERIFY(forced);
        QCOMPARE(h.files(), QStringList());
        QCOMPARE(Harness::readBytes(h.logPath).count("backup failed at"), 1);
        QVERIFY(Harness::readBytes(h.logPath).endsWith(": interrupted\r\n"));
    }

    void stopOutsideADumpChangesNothing()
    {
        Harness h;
        StopRequest stop;
        IntervalSave save = h.engine();
        save.setStopRequest(&stop);
        QVERIFY(save.SaveAll(u"Driver={SQL Server};"_s, h.status));
        QVERIFY(!save.wasInterrupted());
        stop.request(SIGTERM);
        stop.forceEnd(); // no dump runs: nothing of it is touched
        QCOMPARE(h.files(), QStringList{u"Sales 2021-08-31 930AM.sql"_s});
        QVERIFY(!Harness::readBytes(h.logPath).contains("failed"));
    }

    void stopDuringTheStepsAfterSaveKeepsTheBackup()
    {
        // The backup is complete when the step that runs after it (a copy) is stopped: it stays, the step says
        // "interrupted" in its log line, the later steps still run (each ends at once on the stop) and no old backup
        // is removed.
        Harness h;
        h.db.addTable(u"Orders"_s, {{u"Id"_s, u"int"_s, {}, 10, 0}}).rows = {{integer(1)}};
        h.source.chosen.keep = 1;
        h.clock.setNow(h.clock.now().addDays(-1));
        QVERIFY(h.dump());
        h.clock.setNow(h.clock.now().addDays(1));
        StopRequest stop;
        QStringList ran;
        h.afterSave.push_back([&](const SavedBackup& backup) {
            const QString& path = backup.path;
            ran << u"copy"_s + (QFileInfo::exists(path) ? u""_s : u" (missing)"_s);
            stop.request(SIGHUP);
            return AfterSaveOutcome{AfterSaveOutcome::Result::Failed, u"not copied to nas:sql: interrupted"_s, 3};
        });
        h.afterSave.push_back([&](const SavedBackup&) {
            ran << u"second"_s;
            return AfterSaveOutcome{AfterSaveOutcome::Result::Failed, u"not verified: "_s + InterruptedText, 1};
        });
        IntervalSave save = h.engine();
        save.setStopRequest(&stop);
        QVERIFY(save.SaveAll(u"Driver={SQL Server};"_s, h.status));
        QVERIFY(save.wasInterrupted());
        QCOMPARE(ran, (QStringList{u"copy"_s, u"second"_s}));
        QCOMPARE(h.files(), (QStringList{u"Sales 2021-08-30 930AM.sql"_s, u"Sales 2021-08-31 930AM.sql"_s}));
        const QString log = QString::fromUtf8(Harness::readBytes(h.logPath));
        QVERIFY2(log.endsWith(h.outputPath() + u" was backup saved at 8/31/2021 9:30:12 AM\r\n"_s + h.outputPath()
                              + u" not copied to nas:sql: interrupted at 8/31/2021 9:30:12 AM\r\n"_s + h.outputPath()
                              + u" not verified: interrupted at 8/31/2021 9:30:12 AM\r\n"_s),
                 qPrintable(log));
        QVERIFY(!log.contains(u"removed"_s));
        QCOMPARE(h.dialogs.errorReports(), QStringList());
        // Retention was skipped, not idle: the next run that completes keeps one backup.
        h.clock.setNow(h.clock.now().addDays(1));
        h.afterSave.clear();
        QVERIFY(h.dump());
        QCOMPARE(h.files(), QStringList{u"Sales 2021-09-01 930AM.sql"_s});
    }

    void forcedEndDuringTheStepsAfterSaveLogsItAndKeepsTheBackup()
    {
        // A step that does not come back in time (a drill on a server that does not answer the cancel): the forced
        // end, on another thread, says so in the log; the saved backup stays.
        Harness h;
        h.db.addTable(u"Orders"_s, {{u"Id"_s, u"int"_s, {}, 10, 0}}).rows = {{integer(1)}};
        StopRequest stop;
        h.afterSave.push_back([&](const SavedBackup&) {
            stop.request(SIGTERM);
            std::thread([&] { stop.forceEnd(); }).join();
            return AfterSaveOutcome{AfterSaveOutcome::Result::Failed, u"not verified: interrupted"_s, 1};
        });
        IntervalSave save = h.engine();
        save.setStopRequest(&stop);
        QVERIFY(save.SaveAll(u"Driver={SQL Server};"_s, h.status));
        QCOMPARE(h.files(), QStringList{u"Sales 2021-08-31 930AM.sql"_s});
        const QString log = QString::fromUtf8(Harness::readBytes(h.logPath));
        QVERIFY2(log.startsWith(h.outputPath() + u" was backup saved at 8/31/2021 9:30:12 AM\r\n"_s + h.outputPath()
                                + u" steps after the save: interrupted at 8/31/2021 9:30:12 AM\r\n"_s),
                 qPrintable(log));
        QVERIFY(!log.contains(u"backup failed"_s));
        stop.forceEnd(); // the dump is over: nothing more is logged
        QCOMPARE(QString::fromUtf8(Harness::readBytes(h.logPath)), log);
    }

    void sameMinuteWaitsForTheFolderLock_data()
    {
        QTest::addColumn<bool>("released");
        QTest::newRow("the other backup finishes") << true;
        QTest::newRow("the other backup takes too long") << false;
    }

    void sameMinuteWaitsForTheFolderLock()
    {
        QFETCH(bool, released);
        Harness h;
        QVERIFY(h.dump());
        const QByteArray first = h.output();
        // Another process commits into the folder: it holds the folder's lock.
        int other = ::open(QFile::encodeName(h.dir.path()).constData(), O_RDONLY | O_DIRECTORY);
        QVERIFY(other >= 0);
        QCOMPARE(::flock(other, LOCK_EX | LOCK_NB), 0);
        int waits = 0;
        h.letEventsRun = [&] {
            ++waits;
            // The old file stays whole while the second one waits; the combined file replaces it in one rename.
            const QByteArray now = h.output();
            QVERIFY(now == first || (now.startsWith(first) && now.size() > first.size()));
            if (released && other >= 0) {
                ::close(other);
                other = -1;
            }
        };
        h.clock.advanceMs(20'000);
        IntervalSave save = h.engine();
        save.setLockWaitMs(300);
        const bool saved = save.SaveAll(u"Driver={SQL Server};"_s, h.status);
        if (other >= 0)
            ::close(other);
        QVERIFY(waits > 0);
        QCOMPARE(h.files(), QStringList{u"Sales 2021-08-31 930AM.sql"_s});
        if (released) {
            QVERIFY(saved);
            QByteArray second = first;
            second.replace("9:30:12 AM", "9:30:32 AM");
            QCOMPARE(h.output(), first + second);
            return;
        }
        QVERIFY(!saved);
        QCOMPARE(h.output(), first);
        const QStringList reports = h.dialogs.errorReports();
        QCOMPARE(reports.size(), 1);
        const QString message = u"Another backup is saving into the folder "_s + h.dir.path()
            + u"; this backup waited 0.3 seconds for it and gave up."_s;
        QCOMPARE(reports[0], report(u"SaveAll"_s, message, 336));
        QVERIFY(QString::fromUtf8(Harness::readBytes(h.logPath))
                    .endsWith(u"backup failed at 8/31/2021 9:30:32 AM: "_s + message + u"\r\n"_s));
    }

    void workingFilesAreRecognised_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("working");
        QTest::newRow("backup") << u"/b/Sales 2021-08-31 930AM.sql"_s << false;
        QTest::newRow("working") << u"/b/Sales 2021-08-31 930AM.sql.42-0a1b2c3d.partial"_s << true;
        QTest::newRow("upper case") << u"/b/X.SQL.1-2.PARTIAL"_s << true;
        QTest::newRow("partial in the middle") << u"/b/x.partial.sql"_s << false;
    }

    void workingFilesAreRecognised()
    {
        QFETCH(QString, path);
        QFETCH(bool, working);
        QCOMPARE(BackupFile::isWorkingFile(path), working);
    }

    // ---- events, buffering and progress

    void eventsRunAtTheFourPoints()
    {
        Harness h;
        auto& a = h.db.addTable(u"A"_s, {{u"x"_s, u"int"_s, {}, 10, 0}, {u"y"_s, u"int"_s, {}, 10, 0}});
        for (int i = 0; i < 17; ++i)
            a.rows.push_back({integer(i), integer(2 * i)});
        h.db.addTable(u"V"_s, {{u"x"_s, u"int"_s, {}, 10, 0}}, u"VIEW"_s);
        h.db.addTable(u"B"_s, {{u"z"_s, u"int"_s, {}, 10, 0}});
        QList<QByteArray> seen;
        h.letEventsRun = [&] {
            // The final name appears only when the working file is complete and has been put in its place; events
            // also run while the writer thread does that, so the name may appear then, the working file gone.
            if (QFile::exists(h.outputPath())) {
                QVERIFY(QDir(h.dir.path()).entryList({u"*.partial"_s}, QDir::Files).isEmpty());
                return;
            }
            const QByteArray working = h.working();
            if (!QFile::exists(h.outputPath()))
                seen.append(working); // else it was put in place while it was read
            h.clock.advanceMs(10); // enough time passes that the next point lets events run again
        };
        QVector<DumpProgress> progress;
        h.progress = [&](const DumpProgress& p) { progress.append(p); };
        QVERIFY(h.dump());
        // A: the table, two columns and each of its 17 rows; B: the table and its column; the view none. Events also
        // run while the dump waits for the writer thread to finish the file, as often as that takes.
        QVERIFY2(seen.size() >= 22, qPrintable(QString::number(seen.size())));
        // The writer thread catches up in its own time: the working file only ever holds a beginning of the script.
        const QByteArray final = h.output();
        for (qsizetype i = 0; i < seen.size(); ++i) {
            QVERIFY(final.startsWith(seen[i]));
            if (i > 0)
                QVERIFY(seen[i].size() >= seen[i - 1].size());
        }
        QVERIFY(!progress.isEmpty());
        QCOMPARE(progress.last().tablesDone, 3);
        QCOMPARE(progress.last().tablesTotal, 3);
        QCOMPARE(progress.last().rowsWritten, qint64(17));
    }

    void eventsAreThrottled()
    {
        Harness h;
        auto& t = h.db.addTable(u"T"_s, {{u"n"_s, u"int"_s, {}, 10, 0}});
        t.generator = [&](qint64 index, MemoryDatabase::Row& row) {
            if (index >= 400)
                return false;
            h.clock.advanceMs(1); // each row takes a millisecond
            row = {integer(int(index))};
            return true;
        };
        int runs = 0;
        h.letEventsRun = [&] { ++runs; };
        QVERIFY(h.dump());
        // A 400 ms table: events run about every 10 ms, not at each of the 400 rows and not only at the start.
        QVERIFY2(runs >= 36 && runs <= 44, qPrintable(QString::number(runs)));
        QCOMPARE(scriptLines(h.output()).filter(u"INSERT INTO [T]"_s).size(), 400);
    }

    void largeTableStreamsInOrder()
    {
        Harness h;
        const int rowCount = 40'000;
        auto& t = h.db.addTable(u"Big"_s, {{u"n"_s, u"int"_s, {}, 10, 0}, {u"s"_s, u"varchar"_s, 40, {}, {}}});
        t.generator = [&](qint64 index, MemoryDatabase::Row& row) {
            if (index >= rowCount)
                return false;
            row = {integer(int(index)), text(u"row number "_s + QString::number(index))};
            return true;
        };
        QVERIFY(h.dump());
        const QStringList inserts = scriptLines(h.output()).filter(u"INSERT INTO [Big]"_s);
        QCOMPARE(inserts.size(), rowCount);
        for (int i = 0; i < rowCount; i += 997)
            QCOMPARE(inserts[i], u"INSERT INTO [Big] VALUES('%1', 'row number %1');"_s.arg(i));
    }
};

QTEST_GUILESS_MAIN(TestBackup)
#include "tst_backup.moc"
