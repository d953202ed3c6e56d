// The ODBC layer on the FreeTDS path ("SQL Server") where no server is needed: what reaches a loopback listener, the
// protocol version, the bounded wait for a silent server, and the errors of a closed port and an unknown driver.

#include "ConnectionSettings.h"
#include "DriverEnvironment.h"
#include "OdbcConnection.h"
#include "OdbcTypes.h"
#include "TdsServer.h"

#include <QElapsedTimer>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QThread>
#include <QtEndian>

#include <atomic>
#include <optional>

using namespace Qt::Literals::StringLiterals;

Q_DECLARE_METATYPE(FieldValue::Kind)

namespace {

// TDS packet types.
constexpr quint8 TdsLogin50 = 0x02; // TDS 4.2/5.0 login: the password in clear text
constexpr quint8 TdsReply = 0x04;
constexpr quint8 TdsLogin7 = 0x10;
constexpr quint8 TdsPrelogin = 0x12;

/** A loopback listener that speaks just enough TDS to see what a client sends. */
class TdsListener : public QObject
{
public:
    enum class Mode {
        Silent, ///< accepts and never answers
        AnswerPrelogin, ///< answers PRELOGIN (no encryption), hangs up at the next packet
        HangUp, ///< hangs up after the first packet
    };
    struct Packet
    {
        quint8 type = 0;
        QByteArray payload;
    };

    explicit TdsListener(Mode mode)
        : m_mode(mode)
    {
        connect(&m_server, &QTcpServer::newConnection, this, &TdsListener::accept);
        m_server.listen(QHostAddress::LocalHost, 0);
    }
    bool listening() const { return m_server.isListening(); }
    quint16 port() const { return m_server.serverPort(); }

    /** The packets of every accepted connection, in order. */
    QList<QList<Packet>> connections;

    QList<quint8> typesSeen() const
    {
        QList<quint8> types;
        for (const auto& packets : connections)
            for (const Packet& p : packets)
                types.append(p.type);
        return types;
    }
    std::optional<Packet> firstOfType(quint8 type) const
    {
        for (const auto& packets : connections)
            for (const Packet& p : packets)
                if (p.type == type)
                    return p;
        return std::nullopt;
    }

private:
    void accept()
    {
        while (QTcpSocket* socket = m_server.nextPendingConnection()) {
            const qsizetype index = connections.size();
            connections.append(QList<Packet>());
            m_buffers.append(QByteArray());
            connect(socket, &QTcpSocket::readyRead, this, [this, socket, index] { read(socket, index); });
        }
    }

    void read(QTcpSocket* socket, qsizetype index)
    {
        QByteArray& buffer = m_buffers[index];
        buffer += socket->readAll();
        while (buffer.size() >= 8) {
            const int length = qFromBigEndian<quint16>(buffer.constData() + 2);
            if (length < 8) {
                socket->abort();
                return;
            }
            if (buffer.size() < length)
                return;
            Packet packet{quint8(buffer[0]), buffer.mid(8, length - 8)};
            buffer.remove(0, length);
            connections[index].append(packet);
            answer(socket, packet);
        }
    }

    void answer(QTcpSocket* socket, const Packet& packet)
    {
        if (m_mode == Mode::Silent)
            return;
        if (m_mode == Mode::AnswerPrelogin && packet.type == TdsPrelogin) {
            socket->write(preloginReply());
            return;
        }
        socket->abort();
    }

    // VERSION and ENCRYPTION options, then the terminator; encryption 2 = not supported.
    static QByteArray preloginReply()
    {
        const QByteArray payload = QByteArray::fromHex("00000b0006"
                                                       "0100110001"
                                                       "ff"
                                                       "0f0007d00000"
                                                       "02");
        QByteArray packet = QByteArray::fromHex("0401000000000100");
        qToBigEndian<quint16>(quint16(8 + payload.size()), packet.data() + 2);
        return packet + payload;
    }

    QTcpServer m_server;
    Mode m_mode;
    QList<QByteArray> m_buffers;
};

/** One text field of a LOGIN7 record: field 1 user name, 2 password (obfuscated on the wire), 8 database. */
QString loginField(const QByteArray& login, int field)
{
    const int at = 36 + 4 * field;
    if (login.size() < at + 4)
        return u"<short packet>"_s;
    const int offset = qFromLittleEndian<quint16>(login.constData() + at);
    const int chars = qFromLittleEndian<quint16>(login.constData() + at + 2);
    QByteArray bytes = login.mid(offset, chars * 2);
    if (field == 2) {
        // The password's bytes are nibble-swapped and XORed with 0xA5.
        for (char& c : bytes) {
            const auto b = quint8(quint8(c) ^ 0xA5);
            c = char(quint8((b << 4) | (b >> 4)));
        }
    }
    return QString::fromUtf16(reinterpret_cast<const char16_t*>(bytes.constData()), bytes.size() / 2);
}

struct OpenOutcome
{
    bool failed = false;
    QString description;
    int number = 0;
    qint64 ms = 0;
};

/**
 * Opens a connection on a worker thread while this thread runs the listener. The wait is only a watchdog against a
 * hang, far above any login timeout the tests use.
 */
OpenOutcome openBeside(OdbcConnectionFactory& factory, const QString& connectionString)
{
    OpenOutcome outcome;
    std::atomic<bool> done = false;
    auto connection = factory.createConnection();
    QElapsedTimer timer;
    timer.start();
    std::unique_ptr<QThread> worker(QThread::create([&] {
        try {
            connection->Open(connectionString);
        } catch (const DbError& e) {
            outcome.failed = true;
            outcome.description = e.description();
            outcome.number = e.number();
        }
        done = true;
    }));
    worker->start();
    const bool finished = QTest::qWaitFor([&] { return done.load(); }, 120000);
    if (!finished)
        qFatal("Open did not return within two minutes");
    worker->wait();
    outcome.ms = timer.elapsed();
    return outcome;
}

/** A table "Numbers" of `rows` rows, one int column counting from 0. */
void addCountingTable(tds::TdsServer& server, int rows)
{
    tds::TableSpec numbers;
    numbers.name = u"Numbers"_s;
    numbers.columns = {{u"N"_s, tds::SqlType::Int}};
    numbers.generatedRows = rows;
    numbers.generator = [](qint64 index, tds::Row& row) { row[0] = index; };
    server.addTable(numbers);
}

ConnectionSettings settingsFor(quint16 port, const QString& user, const QString& password)
{
    ConnectionSettings s;
    s.Server = u"127.0.0.1"_s;
    s.Port = QString::number(port);
    s.Database = u"Sales"_s;
    s.UserName = user;
    s.Password = password;
    return s;
}

} // namespace

class TstOdbcFreeTds : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // Start as a user who set nothing.
        qunsetenv("TDSVER");
    }

    void tdsVersionIsPinned()
    {
        OdbcConnectionFactory factory;
        QCOMPARE(qgetenv("TDSVER"), QByteArray("7.4"));
        QCOMPARE(factory.loginTimeout(), 30);
    }

    void silentServerMakesOpenFailWithinTheBound()
    {
        TdsListener listener(TdsListener::Mode::Silent);
        QVERIFY(listener.listening());
        OdbcConnectionFactory factory(3);
        const QString password = u"Clear-Text-Never"_s;
        const OpenOutcome outcome
            = openBeside(factory, BuildConnectionString(settingsFor(listener.port(), u"sa"_s, password)));
        qInfo("silent server, login timeout 3 s: Open failed after %lld ms: %s (%d)", outcome.ms,
              qPrintable(outcome.description), outcome.number);
        QVERIFY(outcome.failed);
        QVERIFY2(outcome.description.startsWith(u"[FreeTDS]"_s), qPrintable(outcome.description));

        // The driver spoke TDS 7 (PRELOGIN first) and never fell back to a TDS 5.0 login.
        QVERIFY(!listener.connections.isEmpty());
        QVERIFY(!listener.connections.first().isEmpty());
        QCOMPARE(listener.connections.first().first().type, TdsPrelogin);
        QVERIFY2(!listener.typesSeen().contains(TdsLogin50), "a TDS 5.0 login reached the server");
        for (const auto& packets : listener.connections)
            for (const TdsListener::Packet& p : packets)
                QVERIFY(!p.payload.contains(password.toLatin1()));
    }

    void connectionStringReachesTheServer_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");

        QTest::newRow("plain") << u"sa"_s << u"secret"_s;
        QTest::newRow("empty password") << u"backup_user"_s << QString();
        QTest::newRow("semicolon in braces") << u"sa"_s << u"a;b"_s;
        QTest::newRow("equals and spaces") << u"sa"_s << u"p = q"_s;
        QTest::newRow("non-ascii") << u"Jürgen"_s << u"pässwörd€"_s;
    }

    void connectionStringReachesTheServer()
    {
        QFETCH(QString, user);
        QFETCH(QString, password);

        // With the pinned TDS 7.4, the driver sends PRELOGIN, then (after our answer) LOGIN7 with the values of the
        // "Driver={SQL Server};Server=127.0.0.1,<port>;..." string.
        TdsListener listener(TdsListener::Mode::AnswerPrelogin);
        QVERIFY(listener.listening());
        OdbcConnectionFactory factory(5);
        const OpenOutcome outcome
            = openBeside(factory, BuildConnectionString(settingsFor(listener.port(), user, password)));
        QVERIFY(outcome.failed); // the listener hangs up after the login
        QVERIFY2(outcome.description.startsWith(u"[FreeTDS]"_s), qPrintable(outcome.description));

        const auto login = listener.firstOfType(TdsLogin7);
        QVERIFY2(login.has_value(), "no LOGIN7 packet arrived");
        QCOMPARE(listener.connections.first().first().type, TdsPrelogin);
        QVERIFY(!listener.typesSeen().contains(TdsLogin50));
        QCOMPARE(qFromLittleEndian<quint32>(login->payload.constData() + 4), 0x74000004u); // TDS 7.4
        QCOMPARE(loginField(login->payload, 1), user);
        QCOMPARE(loginField(login->payload, 2), password);
        QCOMPARE(loginField(login->payload, 8), u"Sales"_s);
    }

    void valuesArriveAtTheServerAsTyped_data()
    {
        QTest::addColumn<QString>("value");
        // Each value as user name, password and database at once; the test server records the login.
        for (const char* value :
             {"{ab", "{a}b", "{ab}",  "{",    "{}",  "{{}}",    "a}b",  "}",    "}}",     "a}",   "a;b",
              ";",   "a;}b", "{a;}b", "a;b}", "a=b", "{a=b;c}", "=;{}", "a}}b", "{a}}b}", " {x} "})
            QTest::newRow(value) << QString::fromLatin1(value);
    }

    void valuesArriveAtTheServerAsTyped()
    {
        QFETCH(QString, value);
        tds::TdsServer server;
        QVERIFY(server.start());
        ConnectionSettings s = settingsFor(server.port(), value, value);
        s.Database = value;
        const QString connectionString = BuildConnectionString(s);
        OdbcConnectionFactory factory(5);
        auto connection = factory.createConnection();
        try {
            connection->Open(connectionString);
        } catch (const DbError& e) {
            QFAIL(qPrintable(connectionString + u": "_s + e.description()));
        }
        const QList<tds::LoginRecord> logins = server.logins();
        QCOMPARE(logins.size(), 1);
        qInfo("%s -> user [%s] password [%s] database [%s]", qPrintable(value), qPrintable(logins[0].userName),
              qPrintable(logins[0].password), qPrintable(logins[0].database));
        QCOMPARE(logins[0].userName, value);
        QCOMPARE(logins[0].password, value);
        QCOMPARE(logins[0].database, value);
    }

    void valuesThatCannotArriveAsTypedAreRefused_data()
    {
        QTest::addColumn<QString>("value");
        for (const char* value : {"a};b", "};", "{x};y}"})
            QTest::newRow(value) << QString::fromLatin1(value);
    }

    void valuesThatCannotArriveAsTypedAreRefused()
    {
        QFETCH(QString, value);
        const struct
        {
            QString field;
            void (*set)(ConnectionSettings&, const QString&);
        } fields[] = {
            {u"server name"_s, [](ConnectionSettings& s, const QString& v) { s.Server = v; }},
            {u"database name"_s, [](ConnectionSettings& s, const QString& v) { s.Database = v; }},
            {u"user name"_s, [](ConnectionSettings& s, const QString& v) { s.UserName = v; }},
            {u"password"_s, [](ConnectionSettings& s, const QString& v) { s.Password = v; }},
        };
        for (const auto& field : fields) {
            ConnectionSettings s = settingsFor(1433, u"sa"_s, u"pw"_s);
            field.set(s, value);
            try {
                BuildConnectionString(s);
                QFAIL(qPrintable(u"accepted in the "_s + field.field));
            } catch (const ConnectionStringError& e) {
                QVERIFY2(e.description().startsWith(u"The "_s + field.field + u" holds"_s),
                         qPrintable(e.description()));
            }
        }
    }

    void versionSetByTheUserIsLeftAlone()
    {
        const QByteArray pinned = qgetenv("TDSVER");
        qputenv("TDSVER", "7.0");
        TdsListener listener(TdsListener::Mode::HangUp);
        QVERIFY(listener.listening());
        OdbcConnectionFactory factory(5);
        QCOMPARE(qgetenv("TDSVER"), QByteArray("7.0"));
        const OpenOutcome outcome
            = openBeside(factory, BuildConnectionString(settingsFor(listener.port(), u"sa"_s, u"x"_s)));
        qputenv("TDSVER", pinned);

        QVERIFY(outcome.failed);
        // TDS 7.0 has no PRELOGIN: its first packet is the login itself, with version 7.0 in it.
        QVERIFY(!listener.connections.isEmpty());
        QCOMPARE(listener.connections.first().first().type, TdsLogin7);
        QCOMPARE(qFromLittleEndian<quint32>(listener.connections.first().first().payload.constData() + 4), 0x70000000u);
    }

    void tdsVersionFromTheEnvironment_data()
    {
        QTest::addColumn<QByteArray>("tdsver"); // "-" leaves it unset
        QTest::addColumn<bool>("refused");
        QTest::addColumn<quint32>("version"); // in the first packet's login; 0 for a PRELOGIN first

        QTest::newRow("unset") << QByteArray("-") << false << 0u;
        QTest::newRow("empty") << QByteArray("") << false << 0u;
        QTest::newRow("7.0") << QByteArray("7.0") << false << 0x70000000u;
        QTest::newRow("70") << QByteArray("70") << false << 0x70000000u;
        for (const char* v : {"7.1", "7.2", "7.3", "7.4"})
            QTest::newRow(v) << QByteArray(v) << false << 0u;
        // FreeTDS 1.3 takes the values it does not know as "auto" (8.0, 74 and 71 to 73 too: tried, each made a TDS 5.0
        // login follow the hung-up TDS 7 one).
        for (const char* v : {"auto", "AUTO", "5.0", "50", "4.2", "42", "4.6", "0", "7", "8.0", "80", "71", "72", "73",
                              "74", " 7.4", "7.4 ", "x"})
            QTest::newRow(v) << QByteArray(v) << true << 0u;
    }

    void tdsVersionFromTheEnvironment()
    {
        QFETCH(QByteArray, tdsver);
        QFETCH(bool, refused);
        QFETCH(quint32, version);
        const QByteArray before = qgetenv("TDSVER");
        const auto restore = qScopeGuard([&] { qputenv("TDSVER", before); });
        if (tdsver == "-")
            qunsetenv("TDSVER");
        else
            qputenv("TDSVER", tdsver);

        TdsListener listener(TdsListener::Mode::HangUp);
        QVERIFY(listener.listening());
        const QString connectionString = BuildConnectionString(settingsFor(listener.port(), u"sa"_s, u"pw"_s));
        if (refused) {
            QVERIFY(!DriverEnvironment::problem().isEmpty());
            try {
                OdbcConnectionFactory factory(5);
                openBeside(factory, connectionString);
                QFAIL("the factory was made");
            } catch (const Failure& e) {
                QVERIFY2(e.description().contains(u"TDSVER"_s), qPrintable(e.description()));
                QVERIFY2(e.description().contains(u"clear text"_s), qPrintable(e.description()));
                QVERIFY2(e.description().contains(QString::fromLatin1(tdsver)), qPrintable(e.description()));
            }
            QTest::qWait(100);
            QCOMPARE(listener.connections.size(), 0);
            return;
        }

        OdbcConnectionFactory factory(5);
        if (tdsver.isEmpty() || tdsver == "-")
            QCOMPARE(qgetenv("TDSVER"), QByteArray("7.4"));
        else
            QCOMPARE(qgetenv("TDSVER"), tdsver); // the user's choice stands
        const OpenOutcome outcome = openBeside(factory, connectionString);
        QVERIFY(outcome.failed);
        // One connection, hung up after its first packet, and no second try with an older login.
        QCOMPARE(listener.connections.size(), 1);
        QCOMPARE(listener.connections.first().size(), 1);
        const TdsListener::Packet& first = listener.connections.first().first();
        if (version == 0) {
            QCOMPARE(first.type, TdsPrelogin);
        } else {
            QCOMPARE(first.type, TdsLogin7);
            QCOMPARE(qFromLittleEndian<quint32>(first.payload.constData() + 4), version);
        }
    }

    void statementTimeoutEndsTheWaitForASilentServer_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::newRow("stall after the login") << u"stall"_s;
        QTest::newRow("stall mid-result") << u"stallAfterRows"_s;
    }

    void statementTimeoutEndsTheWaitForASilentServer()
    {
        QFETCH(QString, fault);
        tds::TdsServer server;
        addCountingTable(server, 50);
        QVERIFY(server.start());
        OdbcConnectionFactory factory(5);
        QCOMPARE(factory.statementTimeout(), 600); // the default: ten minutes
        factory.setStatementTimeout(2);
        auto connection = factory.createConnection();
        connection->Open(server.connectionString(u"Sales"_s, u"sa"_s, u"pw"_s));
        if (fault == u"stall"_s)
            server.setFaults({.stall = true});
        else
            server.setFaults({.stallAfterRows = 3});

        // The rows are read on a worker thread; the wait here is only a watchdog against a driver that never gives up.
        std::atomic<bool> done = false;
        int rowsRead = 0;
        std::optional<DbError> error;
        std::unique_ptr<QThread> worker(QThread::create([&] {
            try {
                auto rows = connection->Execute(u"SELECT * FROM [Numbers]"_s);
                while (!rows->Eof()) {
                    ++rowsRead;
                    rows->MoveNext();
                }
            } catch (const DbError& e) {
                error = e;
            }
            done = true;
        }));
        worker->start();
        if (!QTest::qWaitFor([&] { return done.load(); }, 120000))
            qFatal("the statement did not end within two minutes of a 2 s bound");
        worker->wait();
        QVERIFY2(error.has_value(), "a silent server went unnoticed");
        qInfo("%s: failed after %d rows: %s (%d)", qPrintable(fault), rowsRead, qPrintable(error->description()),
              error->number());
        QVERIFY2(error->description().startsWith(u"[FreeTDS]"_s), qPrintable(error->description()));
        QCOMPARE(rowsRead, fault == u"stall"_s ? 0 : 3);

        // The connection is of no more use, but it does not hold the next statement for another bound.
        QVERIFY_THROWS_EXCEPTION(DbError, connection->Execute(u"SELECT * FROM [Numbers]"_s));
    }

    void cancelFromAnotherThreadEndsAWaitingStatement_data()
    {
        QTest::addColumn<bool>("whileExecuting"); // the wait is in SQLExecDirect, not in a later SQLFetch
        QTest::newRow("mid-result") << false;
        QTest::newRow("before the first row") << true;
    }

    void cancelFromAnotherThreadEndsAWaitingStatement()
    {
        // The server holds the result until it hears an attention, as one whose statement waits on a lock.
        QFETCH(bool, whileExecuting);
        tds::TdsServer server;
        addCountingTable(server, 50);
        QVERIFY(server.start());
        OdbcConnectionFactory factory(5);
        auto connection = factory.createConnection();
        connection->Open(server.connectionString(u"Sales"_s, u"sa"_s, u"pw"_s));
        server.setFaults({.holdAfterRows = whileExecuting ? 0 : 3});

        std::atomic<bool> done = false;
        std::atomic<int> rowsRead = 0;
        std::optional<DbError> error;
        std::unique_ptr<QThread> worker(QThread::create([&] {
            try {
                auto rows = connection->Execute(u"SELECT * FROM [Numbers]"_s);
                while (!rows->Eof()) {
                    ++rowsRead;
                    rows->MoveNext();
                }
            } catch (const DbError& e) {
                error = e;
            }
            done = true;
        }));
        worker->start();
        QTest::qWait(500);
        QVERIFY(!done.load());
        connection->cancel();
        if (!QTest::qWaitFor([&] { return done.load(); }, 60000))
            qFatal("the cancelled statement did not end within a minute");
        worker->wait();
        QCOMPARE(server.attentionCount(), 1);
        QCOMPARE(rowsRead.load(), whileExecuting ? 0 : 3);
        QVERIFY2(error.has_value(), "a cancelled statement gave no error");
        qInfo("cancelled after %d rows: %s", rowsRead.load(), qPrintable(error->description()));
        // Nothing is left waiting: the connection takes the next statement.
        server.setFaults({});
        auto next = connection->Execute(u"SELECT * FROM [Numbers]"_s);
        QVERIFY(!next->Eof());
        connection->cancel(); // with nothing waiting
    }

    void slowButLiveServerIsNotCut()
    {
        // The bound is on silence, not on the whole statement: rows 0.4 s apart, 3.2 s in all, pass a 2 s bound.
        tds::TdsServer server;
        addCountingTable(server, 8);
        QVERIFY(server.start());
        OdbcConnectionFactory factory(5);
        factory.setStatementTimeout(2);
        auto connection = factory.createConnection();
        connection->Open(server.connectionString(u"Sales"_s, u"sa"_s, u"pw"_s));
        server.setFaults({.rowDelayMs = 400});
        auto rows = connection->Execute(u"SELECT * FROM [Numbers]"_s);
        int rowsRead = 0;
        for (; !rows->Eof(); rows->MoveNext())
            QCOMPARE(rows->Fields(0).text, QString::number(rowsRead++));
        QCOMPARE(rowsRead, 8);
    }

    void unreachableServerAndUnknownDriver()
    {
        OdbcConnectionFactory factory(5);
        quint16 closedPort = 0;
        {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
            closedPort = probe.serverPort();
        }
        auto connection = factory.createConnection();
        try {
            connection->Open(BuildConnectionString(settingsFor(closedPort, u"sa"_s, u"x"_s)));
            QFAIL("nothing listens on the port");
        } catch (const DbError& e) {
            qInfo("closed port: %s (%d)", qPrintable(e.description()), e.number());
            QVERIFY2(e.description().startsWith(u"[FreeTDS]"_s), qPrintable(e.description()));
        }
        // The failed connection is still closed, not half open.
        QVERIFY_THROWS_EXCEPTION(DbError, connection->Execute(u"SELECT 1"_s));

        try {
            connection->Open(u"Driver={Tessaline No Such Driver};Server=127.0.0.1,1;Database=a;Uid=b;Pwd=c;"_s);
            QFAIL("the driver is not registered");
        } catch (const DbError& e) {
            qInfo("unknown driver: %s (%d)", qPrintable(e.description()), e.number());
            QVERIFY2(e.description().startsWith(u"[unixODBC][Driver Manager]"_s), qPrintable(e.description()));
            QVERIFY(e.number() != 0);
        }
    }

    void columnKinds_data()
    {
        QTest::addColumn<int>("sqlType");
        QTest::addColumn<QString>("typeName");
        QTest::addColumn<int>("digits");
        QTest::addColumn<FieldValue::Kind>("kind");
        QTest::addColumn<bool>("single");

        using Kind = FieldValue::Kind;
        // The three timestamp types differ only in their type name (or, without one, in their fraction digits).
        QTest::newRow("datetime") << 93 << u"datetime"_s << 3 << Kind::DateTime << false;
        QTest::newRow("smalldatetime") << 93 << u"smalldatetime"_s << 0 << Kind::DateTime << false;
        QTest::newRow("datetime2") << 93 << u"datetime2"_s << 7 << Kind::IsoDateTime << false;
        QTest::newRow("datetime2(0)") << 93 << u"datetime2"_s << 0 << Kind::IsoDateTime << false;
        QTest::newRow("unnamed, 7 digits") << 93 << QString() << 7 << Kind::IsoDateTime << false;
        QTest::newRow("unnamed, 3 digits") << 93 << QString() << 3 << Kind::DateTime << false;
        QTest::newRow("date") << 91 << u"date"_s << 0 << Kind::IsoDateTime << false;
        QTest::newRow("time") << -154 << u"time"_s << 7 << Kind::IsoDateTime << false;
        QTest::newRow("datetimeoffset") << -155 << u"datetimeoffset"_s << 7 << Kind::IsoDateTime << false;
        QTest::newRow("xml") << -152 << u"xml"_s << 0 << Kind::Text << false;
        QTest::newRow("sql_variant") << -150 << u"sql_variant"_s << 0 << Kind::Text << false;
        QTest::newRow("real") << 7 << u"real"_s << 0 << Kind::ApproxNumeric << true;
        QTest::newRow("float") << 6 << u"float"_s << 0 << Kind::ApproxNumeric << false;
        QTest::newRow("money") << 3 << u"money"_s << 4 << Kind::ExactNumeric << false;
        QTest::newRow("tinyint") << -6 << u"tinyint"_s << 0 << Kind::Integer << false;
        QTest::newRow("bit") << -7 << u"bit"_s << 0 << Kind::Bit << false;
        QTest::newRow("uniqueidentifier") << -11 << u"uniqueidentifier"_s << 0 << Kind::Guid << false;
        QTest::newRow("timestamp (rowversion)") << -2 << u"timestamp"_s << 0 << Kind::Binary << false;
        QTest::newRow("image") << -4 << u"image"_s << 0 << Kind::Binary << false;
        QTest::newRow("ntext") << -10 << u"ntext"_s << 0 << Kind::Text << false;
        QTest::newRow("unknown type") << -999 << u"whatever"_s << 0 << Kind::Text << false;
    }

    void columnKinds()
    {
        QFETCH(int, sqlType);
        QFETCH(QString, typeName);
        QFETCH(int, digits);
        QFETCH(FieldValue::Kind, kind);
        QFETCH(bool, single);

        const OdbcColumnKind result = odbcColumnKind(sqlType, typeName, digits);
        QCOMPARE(result.kind, kind);
        QCOMPARE(result.singlePrecision, single);
    }
};

QTEST_GUILESS_MAIN(TstOdbcFreeTds)
#include "tst_odbcfreetds.moc"
