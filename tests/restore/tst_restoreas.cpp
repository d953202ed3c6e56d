// Restore under another name: the database block of a real backup renamed, hostile names included.

#include "DumpHarness.h"
#include "FakeClock.h"
#include "FakeViews.h"
#include "MemoryDatabase.h"
#include "Mssql.h"
#include "RestoreAs.h"
#include "RestoreDrill.h"
#include "ScriptBatcher.h"
#include "ScriptRestore.h"
#include "SettingsStore.h"
#include "WorkGuard.h"

#include <QBuffer>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

namespace {

/** A backup of the database as the engine writes it, from a small database whose rows look like script lines. */
QString backupOf(const QString& database)
{
    MemoryDatabase db;
    db.databaseFiles = QList<MemoryDatabase::DatabaseFile>{{u"/var/opt/mssql/data/x.mdf"_s, 0},
                                                           {u"/var/opt/mssql/log/x_log.ldf"_s, 1}};
    auto& table = db.addTable(u"T"_s, {{u"a"_s, u"nvarchar"_s, 200, {}, {}}});
    // Values that hold what the renamer looks for: they stand in literals and must pass unchanged.
    const QStringList values = {u"x\r\n-- Server: s    Database: y\r\nUSE [master]\r\nDROP DATABASE [Sales]\r\n"_s,
                                u"\r\nALTER DATABASE [T] SET RECOVERY SIMPLE \r\n"_s};
    for (const QString& value : values)
        table.rows.push_back({FieldValue::ofText(value)});
    DumpHarness dump(db, u"srv"_s, database);
    dump.dump(u"Driver={SQL Server};"_s);
    return QString::fromUtf8(dump.output());
}

/** The text as ExecuteScript would send it with the renamer in between, fed in batches. */
QString renamed(const QString& script, const QString& target)
{
    ScriptBatcher batcher(3, 1000);
    DatabaseRenamer renamer(target);
    QString out;
    batcher.feed(script);
    batcher.finish();
    while (batcher.hasBatch()) {
        ScriptBatch batch = batcher.takeBatch();
        renamer.rewrite(batch);
        out += batch.text;
    }
    return out;
}

/** The 0-based numbers of the lines (split at CR LF) where the two texts differ. */
QList<int> differingLines(const QString& a, const QString& b)
{
    const QStringList x = a.split(u"\r\n"_s);
    const QStringList y = b.split(u"\r\n"_s);
    QList<int> lines;
    for (qsizetype i = 0; i < std::max(x.size(), y.size()); ++i) {
        if (x.value(i) != y.value(i))
            lines.append(int(i));
    }
    return lines;
}

} // namespace

class TestRestoreAs : public QObject
{
    Q_OBJECT

private slots:
    void scratchNamesFitADatabaseName_data()
    {
        QTest::addColumn<QString>("database");
        QTest::addColumn<bool>("whole"); // the name begins the scratch name unchanged
        QTest::newRow("short") << u"Sales"_s << true;
        QTest::newRow("112 characters") << QString(112, u'x') << true;
        QTest::newRow("113 characters") << QString(113, u'x') << false;
        QTest::newRow("128 Chinese") << QString(128, QChar(0x6570)) << false;
        QTest::newRow("64 emoji, 128 UTF-16 units")
            << QString::fromUcs4(std::u32string(64, U'\U0001F600').c_str(), 64) << false;
    }

    void scratchNamesFitADatabaseName()
    {
        QFETCH(QString, database);
        QFETCH(bool, whole);
        const QString stem = RestoreDrill::scratchStem(database);
        const QString name = RestoreDrill::scratchName(database);
        QVERIFY(name.startsWith(stem));
        QCOMPARE(name.size(), stem.size() + 8);
        QVERIFY2(name.size() <= RestoreDrill::MaxDatabaseNameChars, qPrintable(name));
        QVERIFY(stem.endsWith(u"_verify_"_s));
        QCOMPARE(stem.startsWith(database + u"_verify_"_s), whole);
        if (whole)
            return;
        // Cut at a whole character, then "~" and a hash of the whole name: a name that differs only at its end differs.
        const qsizetype tilde = stem.lastIndexOf(u'~');
        QCOMPARE(stem.size() - tilde, 1 + 12 + 8);
        QVERIFY(!stem.at(tilde - 1).isHighSurrogate());
        QVERIFY(database.startsWith(stem.left(tilde)));
        QString other = database;
        other.back() = u'!';
        QVERIFY(RestoreDrill::scratchStem(other) != stem);
    }

    void databaseBlockNamesTheTarget_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("target");
        QTest::newRow("plain") << u"Sales"_s << u"Sales_copy"_s;
        QTest::newRow("same name") << u"Sales"_s << u"Sales"_s;
        QTest::newRow("apostrophes") << u"it's"_s << u"o''x'"_s;
        QTest::newRow("brackets") << u"q]x"_s << u"[a]]b]"_s;
        QTest::newRow("line breaks") << u"cr\r\nlf"_s << u"x\ny\rz"_s;
        QTest::newRow("comment marks") << u"a--b"_s << u"/*c*/ -- d"_s;
        QTest::newRow("statements in the name") << u"S]; DROP DATABASE [S"_s << u"x'); USE [master]; --"_s;
        QTest::newRow("prefix of the other") << u"Sales_Data"_s << u"Sales"_s;
    }

    void databaseBlockNamesTheTarget()
    {
        QFETCH(QString, source);
        QFETCH(QString, target);
        const QString script = backupOf(source);
        const QString expected = backupOf(target);
        QVERIFY(script.contains(u"INSERT INTO"_s));
        const QString result = renamed(script, target);
        // Exactly what the writer makes for the target, but for the three comment lines that name the database
        // (server line, create-schema line, object line): comments, never run.
        const QList<int> differ = differingLines(result, expected);
        if (source == target)
            QCOMPARE(differ, QList<int>());
        else
            QCOMPARE(differ, (QList<int>{0, 10, 13}));
        // The table blocks pass unchanged, values that look like the block included.
        const qsizetype tables = script.indexOf(u"-- Table structure"_s);
        QCOMPARE(result.mid(result.indexOf(u"-- Table structure"_s)), script.mid(tables));
    }

    void twoScriptsInOneFileBothGoToTheTarget()
    {
        const QString result = renamed(backupOf(u"First"_s) + backupOf(u"Second"_s), u"Copy"_s);
        const QString expected = backupOf(u"Copy"_s) + backupOf(u"Copy"_s);
        const qsizetype half = backupOf(u"Copy"_s).count(u"\r\n"_s);
        QCOMPARE(differingLines(result, expected),
                 (QList<int>{0, 10, 13, int(half) + 0, int(half) + 10, int(half) + 13}));
    }

    void lastScriptOfAFileIsFound_data()
    {
        QTest::addColumn<QStringList>("scripts");
        // A header's three lines inside a value are data: they stand in a literal, not at the start of a script.
        const QString header = u"-- Server: srv    Database: Inner\r\n-- "_s + QString(54, u'-')
            + u"\r\n-- Generated By: Tessaline\r\n"_s;
        QTest::newRow("one script") << QStringList{backupOf(u"Só"_s)};
        QTest::newRow("two of one minute") << QStringList{backupOf(u"Só"_s), backupOf(u"Só"_s)};
        QTest::newRow("three") << QStringList{backupOf(u"A"_s), backupOf(u"B"_s), backupOf(u"C"_s)};
        QTest::newRow("header text in a value")
            << QStringList{backupOf(u"A"_s), u"INSERT INTO [T] VALUES(N'x\r\n"_s + header + u"')\r\n"_s};
    }

    void lastScriptOfAFileIsFound()
    {
        QFETCH(QStringList, scripts);
        // The last script that begins with a header of its own: the value's header text does not count.
        const qsizetype last = scripts.size() - (scripts.constLast().startsWith(u"INSERT"_s) ? 2 : 1);
        QByteArray file;
        ScriptStart expected;
        for (qsizetype i = 0; i < scripts.size(); ++i) {
            if (i == last)
                expected = ScriptStart{QString::fromUtf8(file).count(u'\n') + 1, file.size()};
            file += scripts[i].toUtf8();
        }
        QBuffer buffer(&file);
        QVERIFY(buffer.open(QIODevice::ReadOnly));
        const ScriptStart start = LastScriptStart(buffer);
        QCOMPARE(start.line, expected.line);
        QCOMPARE(start.byte, expected.byte);
        QVERIFY(file.mid(start.byte).startsWith("-- Server: srv    Database: "));
    }

    void physicalFileNamesKeepTheServersFolders()
    {
        const QString result = renamed(backupOf(u"Sales"_s), u"Sales_old"_s);
        QVERIFY(
            result.contains(u"( NAME = N'Sales_old_Data', FILENAME = N'/var/opt/mssql/data/Sales_old_Data.MDF' "_s));
        QVERIFY(result.contains(u"( NAME = N'Sales_old_Log', FILENAME = N'/var/opt/mssql/log/Sales_old_Log.LDF' "_s));
        QCOMPARE(result.count(u"DROP DATABASE [Sales]\r\n"_s), 1); // the value's, not the block's
    }

    void scriptsItCannotRenameAreRefused_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<int>("sent"); // batches through before the refusal
        QTest::addColumn<QString>("why");
        const QString own = backupOf(u"Sales"_s);
        QTest::newRow("no header") << u"-- a script\r\nDROP DATABASE [Sales]\r\nSELECT 1\r\n"_s << 0
                                   << u"does not begin with the header of a backup this program wrote (line 2)"_s;
        QString extra = own;
        extra.replace(u"DROP DATABASE [Sales]\r\n"_s, u"DROP DATABASE [Sales]\r\nDROP DATABASE [Live]\r\n"_s);
        QTest::newRow("a statement of its own in the block")
            << extra << 0 << u"a statement this program does not write there (line 17)"_s;
        QString noTest = own;
        noTest.remove(u"IF  EXISTS (SELECT name FROM master.dbo.sysdatabases WHERE name = N'Sales')\r\n"_s);
        QTest::newRow("no existence test") << noTest << 0 << u"does not begin with the database existence test"_s;
        QTest::newRow("second script damaged")
            << own + extra << 3 << u"does not write there (line %1)"_s.arg(own.count(u"\r\n"_s) + 17);
    }

    void scriptsItCannotRenameAreRefused()
    {
        QFETCH(QString, script);
        QFETCH(int, sent);
        QFETCH(QString, why);
        ScriptBatcher batcher(1000, 1 << 20);
        DatabaseRenamer renamer(u"Copy"_s);
        batcher.feed(script);
        batcher.finish();
        int through = 0;
        try {
            while (batcher.hasBatch()) {
                ScriptBatch batch = batcher.takeBatch();
                renamer.rewrite(batch);
                ++through;
            }
            QFAIL("not refused");
        } catch (const RestoreAsRefusal& refusal) {
            QVERIFY2(refusal.description().contains(why), qPrintable(refusal.description()));
        }
        QCOMPARE(through, sent);
    }

    void comparisonBeginsAfterTheDatabaseBlock_data()
    {
        QTest::addColumn<QString>("database");
        QTest::addColumn<QString>("copyTail"); // what the copy's backup has after its database block
        QTest::addColumn<qint64>("line"); // the first line that differs, 0 for none
        QTest::addColumn<QString>("copyLine");
        const QString tail = backupOf(u"Sales"_s).section(u"-- Table structure"_s, 1);
        QTest::newRow("same") << u"Sales"_s << tail << qint64(0) << QString();
        QTest::newRow("line breaks in the name") << u"a\r\nUSE [x]\r\nb"_s << tail << qint64(0) << QString();
        QString changed = tail;
        changed.replace(u"INSERT INTO [T] VALUES('x"_s, u"INSERT INTO [T] VALUES('y"_s);
        QTest::newRow("a value differs") << u"Sales"_s << changed << qint64(60) << u"INSERT INTO [T] VALUES('y"_s;
        QTest::newRow("the copy ends early")
            << u"Sales"_s << tail.left(tail.indexOf(u"INSERT"_s)) << qint64(60) << QString();
        QString named = tail;
        named.replace(u"[T]"_s, u"[Sales_verify_0a1b2c3d]"_s);
        QTest::newRow("the scratch name where a name holds the database")
            << u"Sales"_s << named << qint64(50)
            << u"-- Table structure for table [Sales]"_s; // compared as the database's name
    }

    void comparisonBeginsAfterTheDatabaseBlock()
    {
        QFETCH(QString, database);
        QFETCH(QString, copyTail);
        QFETCH(qint64, line);
        QFETCH(QString, copyLine);
        const QString scratch = u"sales_verify_0a1b2c3d"_s; // as a server that lower-cases names gives it
        QString backupText = backupOf(database);
        QString copyText
            = backupOf(scratch).section(u"-- Table structure"_s, 0, 0) + u"-- Table structure"_s + copyTail;
        if (copyTail.isEmpty())
            copyText = backupOf(scratch).section(u"-- Table structure"_s, 0, 0);
        QByteArray a = backupText.toUtf8();
        QByteArray b = copyText.toUtf8();
        QBuffer backup(&a);
        QBuffer copy(&b);
        QVERIFY(backup.open(QIODevice::ReadOnly) && copy.open(QIODevice::ReadOnly));
        const std::optional<ScriptDifference> difference = CompareRestoredCopy(backup, copy, database, scratch);
        if (line == 0) {
            QVERIFY2(!difference, qPrintable(difference ? difference->copy : QString()));
            return;
        }
        QVERIFY(difference);
        const qint64 blockLines = backupText.section(u"-- Table structure"_s, 0, 0).count(u'\n') - 49;
        QCOMPARE(difference->line, line + blockLines);
        QVERIFY2(difference->copy.startsWith(copyLine), qPrintable(difference->copy));
        QCOMPARE(difference->copy.isEmpty(), copyLine.isEmpty());
    }

    void windowAsksBeforeReplacingTheTarget()
    {
        QTemporaryDir dir;
        FakeMainView view;
        FakeConnectionView connection;
        connection.settings.Server = u"srv"_s;
        connection.settings.Database = u"Sales"_s;
        FakeDialogs dialogs;
        SettingsStore store(dir.filePath(u"config"_s));
        MemoryDatabase db;
        db.databases = QStringList{u"Sales"_s, u"Sales_old"_s};
        FakeClock clock;
        WorkGuard guard;
        ScriptRestore restore(RestoreContext{view, connection, dialogs, store, db, guard, clock, {}});
        const auto write = [&dir](const QString& name, const QString& text) {
            QFile file(dir.filePath(name));
            file.open(QIODevice::WriteOnly);
            file.write(text.toUtf8());
            return file.fileName();
        };
        view.restorePath = write(u"Sales.sql"_s, backupOf(u"Sales"_s));
        view.restoreAsName = u"Sales_old"_s;

        restore.PushButton9_Click(); // answered No
        QCOMPARE(dialogs.texts(FakeDialogs::Kind::Question), QStringList{ReplaceTargetQuestion(u"Sales_old"_s)});
        QCOMPARE(dialogs.messages(), QStringList());
        QCOMPARE(db.batches, QStringList());

        dialogs.clear();
        dialogs.setNextAnswer(true);
        restore.PushButton9_Click();
        QCOMPARE(dialogs.messages(), QStringList{RestoreDoneMessage});
        QVERIFY(db.batches.join(QString()).contains(u"\r\nDROP DATABASE [Sales_old]\r\n"_s));

        // A name it cannot take and a script it cannot rename are said in their own words; nothing is sent.
        db.batches.clear();
        dialogs.clear();
        view.restoreAsName = u"master"_s;
        restore.PushButton9_Click();
        QCOMPARE(dialogs.messages(),
                 QStringList{u"The database master belongs to the server: a backup is not restored into it."_s});
        view.restoreAsName = u"Sales_new"_s;
        view.restorePath = write(u"other.sql"_s, u"DROP DATABASE [Sales]\r\n"_s);
        dialogs.clear();
        restore.PushButton9_Click();
        QCOMPARE(dialogs.messages().size(), 1);
        QVERIFY(dialogs.messages().constFirst().startsWith(u"The script cannot be restored under another name"_s));
        QCOMPARE(db.batches, QStringList());
    }

    void drillWordsALostLinkAsTheRestDoes_data()
    {
        QTest::addColumn<QString>("state");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("words");
        const int notDone = int(AfterSaveOutcome::Result::NotDone);
        const int failed = int(AfterSaveOutcome::Result::Failed);
        const QString lost = QString::fromLatin1(CouldNotConnectMessage);
        QTest::newRow("link lost") << u"08S01"_s << notDone << lost;
        QTest::newRow("timeout") << u"HYT00"_s << notDone << lost;
        QTest::newRow("refused") << u"42000"_s << failed << u"the server refused the batch at line"_s;
    }

    void drillWordsALostLinkAsTheRestDoes()
    {
        QFETCH(QString, state);
        QFETCH(int, result);
        QFETCH(QString, words);
        QTemporaryDir dir;
        const QString path = dir.filePath(u"Sales.sql"_s);
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(backupOf(u"Sales"_s).toUtf8());
        file.close();
        ConnectionSettings settings;
        settings.Server = u"srv"_s;
        settings.Database = u"Sales"_s;
        MemoryDatabase db;
        db.databases = QStringList{u"master"_s, u"Sales"_s};
        db.failCommandContaining = u"INSERT INTO"_s;
        db.failText = u"[Memory]Communication link failure"_s;
        db.failState = state;
        FakeClock clock;
        RestoreDrill drill(DrillContext{db, clock, [&] { return settings; }, {}, {}});

        const AfterSaveOutcome outcome = drill.drill(path, BackupOptions{});
        QCOMPARE(int(outcome.result), result);
        QVERIFY2(outcome.text.contains(words), qPrintable(outcome.text));
        QVERIFY2(outcome.text.contains(u"Communication link failure"_s), qPrintable(outcome.text));
        QCOMPARE(outcome.text.contains(u"refused"_s), state == u"42000"_s);
        // The scratch database is dropped all the same.
        QVERIFY(db.batches.constLast().contains(u"DROP DATABASE"_s));
    }

    void executeScriptAsRunsFromMasterAndRefusesAnExistingTarget()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"Sales.sql"_s);
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(backupOf(u"Sales"_s).toUtf8());
        file.close();
        ConnectionSettings settings;
        settings.Server = u"srv"_s;
        settings.Database = u"Sales"_s;
        FakeDialogs dialogs;

        MemoryDatabase db;
        db.databases = QStringList{u"master"_s, u"Sales"_s, u"sales_old"_s};
        try {
            ExecuteScriptAs(db, dialogs, settings, path, u"Sales_Old"_s, false);
            QFAIL("not refused");
        } catch (const RestoreTargetExists& refusal) {
            QCOMPARE(refusal.description(), u"The database Sales_Old already exists: nothing was restored."_s);
        }
        QCOMPARE(db.batches, QStringList());

        ExecuteScriptAs(db, dialogs, settings, path, u"Sales_Old"_s, true);
        QVERIFY(!db.connectionStrings.isEmpty());
        for (const QString& used : std::as_const(db.connectionStrings))
            QVERIFY2(used.contains(u";Database=master;"_s), qPrintable(used));
        const QString sent = db.batches.join(QString());
        QVERIFY(sent.contains(u"DROP DATABASE [Sales_Old]\r\n"_s));
        QVERIFY(sent.contains(u"\r\nUSE [Sales_Old]\r\n"_s));
        QCOMPARE(sent.count(u"DROP DATABASE [Sales]"_s), 1); // in a value
        QCOMPARE(readBytes(path), backupOf(u"Sales"_s).toUtf8()); // the file is not changed

        for (const QString& refused : {QString(), u" "_s, u"master"_s, u"TempDB"_s}) {
            db.batches.clear();
            QVERIFY_THROWS_EXCEPTION(RestoreAsRefusal, ExecuteScriptAs(db, dialogs, settings, path, refused, true));
            QCOMPARE(db.batches, QStringList());
        }
    }
};

QTEST_GUILESS_MAIN(TestRestoreAs)
#include "tst_restoreas.moc"
