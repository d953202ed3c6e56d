#include "ConnectionSettings.h"
#include "FakeDialogs.h"
#include "MasterConnection.h"
#include "MemoryDatabase.h"
#include "Mssql.h"
#include "Views.h"

#include <QTest>

using namespace Qt::Literals::StringLiterals;

namespace {

struct FakeWindow : PointerControl
{
    MousePointer pointer() const override { return current; }
    void setPointer(MousePointer p) override
    {
        current = p;
        history.append(int(p));
    }
    MousePointer current = MousePointer::Default;
    QList<int> history;
};

ConnectionSettings settings(const QString& server,
                            const QString& port,
                            bool local,
                            const QString& database = u"Sales"_s,
                            const QString& user = u"sa"_s,
                            const QString& password = QString())
{
    ConnectionSettings s;
    s.Server = server;
    s.Port = port;
    s.LocalConnection = local;
    s.Database = database;
    s.UserName = user;
    s.Password = password;
    return s;
}

} // namespace

class TstConnection : public QObject
{
    Q_OBJECT

private slots:
    void buildConnectionString_data()
    {
        QTest::addColumn<ConnectionSettings>("input");
        QTest::addColumn<QString>("expected");

        QTest::newRow("local ignores port")
            << settings(u"localhost\\SQLEXPRESS"_s, u"9999"_s, true)
            << u"Driver={SQL Server};Server=localhost\\SQLEXPRESS;Database=Sales;Uid=sa;Pwd=;"_s;
        QTest::newRow("remote appends port")
            << settings(u"localhost\\SQLEXPRESS"_s, u"1433"_s, false)
            << u"Driver={SQL Server};Server=localhost\\SQLEXPRESS,1433;Database=Sales;Uid=sa;Pwd=;"_s;
        QTest::newRow("empty port leaves a lone comma")
            << settings(u"localhost"_s, QString(), false)
            << u"Driver={SQL Server};Server=localhost,;Database=Sales;Uid=sa;Pwd=;"_s;
        QTest::newRow("all empty keeps every key")
            << settings(QString(), QString(), true, QString(), QString(), QString())
            << u"Driver={SQL Server};Server=;Database=;Uid=;Pwd=;"_s;
        QTest::newRow("values kept as typed, blanks and = included")
            << settings(u" db1 "_s, u"14 33"_s, false, u"My DB"_s, u"a=b"_s, u" p w "_s)
            << u"Driver={SQL Server};Server= db1 ,14 33;Database=My DB;Uid=a=b;Pwd= p w ;"_s;
        QTest::newRow("semicolon in password is braced")
            << settings(u"srv"_s, u"1433"_s, false, u"Sales"_s, u"sa"_s, u"a;b"_s)
            << u"Driver={SQL Server};Server=srv,1433;Database=Sales;Uid=sa;Pwd={a;b};"_s;
        QTest::newRow("semicolon in server with port is braced whole")
            << settings(u"s;1"_s, u"1433"_s, false)
            << u"Driver={SQL Server};Server={s;1,1433};Database=Sales;Uid=sa;Pwd=;"_s;
        QTest::newRow("opening brace first is braced")
            << settings(u"srv"_s, u"1433"_s, true, u"{db}"_s, u"sa"_s, u"{ab"_s)
            << u"Driver={SQL Server};Server=srv;Database={{db}};Uid=sa;Pwd={{ab};"_s;
        QTest::newRow("opening brace later is not braced")
            << settings(u"srv"_s, u"1433"_s, true, u"a{b"_s, u" {x"_s, u"a{"_s)
            << u"Driver={SQL Server};Server=srv;Database=a{b;Uid= {x;Pwd=a{;"_s;
        QTest::newRow("closing brace with semicolon is braced as it stands")
            << settings(u"srv"_s, u"1433"_s, true, u"Sales"_s, u"a;}b"_s, u"x;y}"_s)
            << u"Driver={SQL Server};Server=srv;Database=Sales;Uid={a;}b};Pwd={x;y}};"_s;
        QTest::newRow("closing brace alone is not braced")
            << settings(u"srv"_s, u"1433"_s, true, u"Sales"_s, u"sa"_s, u"a}b"_s)
            << u"Driver={SQL Server};Server=srv;Database=Sales;Uid=sa;Pwd=a}b;"_s;
    }

    void buildConnectionString()
    {
        QFETCH(ConnectionSettings, input);
        QFETCH(QString, expected);
        QCOMPARE(BuildConnectionString(input), expected);
    }

    void sameConnectionAnotherDatabase_data()
    {
        QTest::addColumn<ConnectionSettings>("input");
        QTest::addColumn<QString>("database");
        QTest::addColumn<QString>("expected");
        QTest::newRow("master") << settings(u"srv"_s, u"1433"_s, false, u"Sales"_s, u"sa"_s, u"pw"_s) << u"master"_s
                                << u"Driver={SQL Server};Server=srv,1433;Database=master;Uid=sa;Pwd=pw;"_s;
        // The other values keep their own rules: a braced password stays braced, the local flag drops the port.
        QTest::newRow("braced values kept")
            << settings(u"srv"_s, u"1433"_s, true, u"{a;Database=b}"_s, u"sa"_s, u"x;y"_s) << u"Sales_copy"_s
            << u"Driver={SQL Server};Server=srv;Database=Sales_copy;Uid=sa;Pwd={x;y};"_s;
        QTest::newRow("the new name braced by the same rule")
            << settings(u"srv"_s, u"1433"_s, false, u"Sales"_s, u"sa"_s, u"pw"_s) << u"a;b"_s
            << u"Driver={SQL Server};Server=srv,1433;Database={a;b};Uid=sa;Pwd=pw;"_s;
    }

    void sameConnectionAnotherDatabase()
    {
        QFETCH(ConnectionSettings, input);
        QFETCH(QString, database);
        QFETCH(QString, expected);
        const ConnectionSettings other = input.withDatabase(database);
        QCOMPARE(BuildConnectionString(other), expected);
        QCOMPARE(other.withDatabase(input.Database), input);
        // A name the driver cannot take is refused as the database name.
        try {
            BuildConnectionString(input.withDatabase(u"x};y"_s));
            QFAIL("no error");
        } catch (const ConnectionStringError& error) {
            QVERIFY(error.description().contains(u"database name"_s));
        }
    }

    void valueWithSemicolonAndBraceIsRefused()
    {
        const auto s = settings(u"srv"_s, u"1433"_s, false, u"Sales"_s, u"sa"_s, u"a};b"_s);
        try {
            BuildConnectionString(s);
            QFAIL("no error");
        } catch (const ConnectionStringError& error) {
            QVERIFY(error.description().contains(u"password"_s));
            QVERIFY(!error.description().contains(u"a};b"_s)); // the password itself is never shown
        }
    }

    void canConnectOpensAndReleasesWithoutClose()
    {
        MemoryDatabase db;
        QVERIFY(CanConnect(db, settings(u"srv"_s, u"1433"_s, false)));
        QCOMPARE(db.opened, 1);
        QCOMPARE(db.closed, 0);
        QCOMPARE(db.released, 1);
        QCOMPARE(db.connectionStrings.value(0), u"Driver={SQL Server};Server=srv,1433;Database=Sales;Uid=sa;Pwd=;"_s);

        db.refuseLogin = u"[FreeTDS][SQL Server]Login failed for user 'sa'."_s;
        QVERIFY(!CanConnect(db, settings(u"srv"_s, u"1433"_s, false)));
        db.refuseLogin.clear();
        db.refuseCreate = u"Class not registered"_s;
        QVERIFY(!CanConnect(db, settings(u"srv"_s, u"1433"_s, false)));
        QVERIFY(!CanConnect(db, settings(u"srv"_s, u"1433"_s, false, u"Sales"_s, u"sa"_s, u"};"_s)));
    }

    void connectionTestMessagesAndPointer()
    {
        MemoryDatabase db;
        FakeDialogs dialogs;
        FakeWindow window;
        MousePointer pointerWhileBoxOpen = MousePointer::Default;
        dialogs.onShow = [&](const FakeDialogs::Shown&) { pointerWhileBoxOpen = window.current; };

        TestConnection(db, settings(u"srv"_s, u"1433"_s, false), dialogs, window);
        QCOMPARE(dialogs.messages(), QStringList{u"Connection successful."_s});
        QCOMPARE(pointerWhileBoxOpen, MousePointer::Hourglass); // the hourglass stays while the box is open
        QCOMPARE(window.current, MousePointer::Default);

        // A failed test, twice: same message, pointer back to the default, nothing pending.
        db.refuseLogin = u"[FreeTDS][SQL Server]Login failed for user 'sa'."_s;
        for (int i = 0; i < 2; ++i) {
            dialogs.clear();
            TestConnection(db, settings(u"srv"_s, u"1433"_s, false), dialogs, window);
            QCOMPARE(dialogs.messages(), QStringList{u"Could not connect. Please check with your administrator."_s});
            QCOMPARE(window.current, MousePointer::Default);
        }
        QCOMPARE(db.closed, 0);
        QCOMPARE(db.released, 3);
    }

    void connectionTestWhenNoConnectionCanBeCreated()
    {
        MemoryDatabase db;
        db.refuseCreate = u"ActiveX component can't create object"_s;
        FakeDialogs dialogs;
        FakeWindow window;
        TestConnection(db, settings(u"srv"_s, u"1433"_s, false), dialogs, window);
        QCOMPARE(dialogs.shown().size(), 2);
        QCOMPARE(dialogs.shown()[0].kind, FakeDialogs::Kind::ErrorReport);
        QVERIFY(dialogs.shown()[0].text.startsWith(
            u"ActiveX component can't create object\r\nin Quorvane2021/08/31.Form1.PushButton5_Click at line "_s));
        QCOMPARE(dialogs.shown()[1].text, u"Could not connect. Please check with your administrator."_s);
        QCOMPARE(window.current, MousePointer::Default);
    }

    void connectionTestNamesAValueTheDriverCannotTake()
    {
        MemoryDatabase db;
        FakeDialogs dialogs;
        FakeWindow window;
        TestConnection(db, settings(u"srv"_s, u"1433"_s, false, u"Sales"_s, u"sa"_s, u"x};"_s), dialogs, window);
        QCOMPARE(dialogs.messages().size(), 2);
        QVERIFY(dialogs.messages()[0].contains(u"password"_s));
        QCOMPARE(dialogs.messages()[1], u"Could not connect. Please check with your administrator."_s);
        QCOMPARE(db.connectionStrings.size(), 0); // nothing wrong was sent
    }
    void masterConnectionAsksAboutDatabasesLiterally()
    {
        MemoryDatabase db;
        db.databases = QStringList{u"master"_s, u"O'Brien"_s};
        ConnectionSettings settings;
        settings.Server = u"srv"_s;
        settings.Database = u"Sales"_s;
        MasterConnection master(db, settings);
        QVERIFY(master.connectionString().contains(u";Database=master;"_s));
        QCOMPARE(db.connectionStrings, QStringList{master.connectionString()});
        // Names are literals, never code: an apostrophe is doubled, and the server's own comparison decides.
        QVERIFY(master.databaseExists(u"o'brien"_s));
        QVERIFY(!master.databaseExists(u"O'Brien' OR '1'='1"_s));

        // LIKE's own marks in a stem match only themselves.
        QCOMPARE(master.databasesBeginningWith(u"a_b%c[d\\e'f"_s).size(), 0);
        QCOMPARE(db.executed.constLast(),
                 u"SELECT name, DATEDIFF(second, crdate, GETDATE()) FROM master.dbo.sysdatabases "
                 u"WHERE name LIKE N'a\\_b\\%c\\[d\\\\e''f%' ESCAPE N'\\'"_s);
        master.dropDatabaseIfExists(u"x]y'z"_s);
        QCOMPARE(
            db.executed.constLast(),
            u"IF EXISTS (SELECT name FROM master.dbo.sysdatabases WHERE name = N'x]y''z') DROP DATABASE [x]]y'z]"_s);
        master.close();
        QCOMPARE(db.closed, 1);
    }
};

QTEST_GUILESS_MAIN(TstConnection)
#include "tst_connection.moc"
