#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <functional>
#include <memory>

namespace tds {

/** Column types the server can describe and send. */
enum class SqlType {
    Int,
    BigInt,
    SmallInt,
    TinyInt,
    Bit,
    Decimal,
    Numeric,
    Float,
    Real,
    Money,
    SmallMoney,
    DateTime,
    SmallDateTime,
    Date,
    Time,
    DateTime2,
    DateTimeOffset,
    VarChar,
    NVarChar,
    Char,
    NChar,
    Text,
    NText,
    Xml,
    UniqueIdentifier,
    Binary,
    VarBinary,
    Image,
    RowVersion,
};

/** Length value meaning "(max)". */
inline constexpr int MaxLength = -1;

/**
 * One column. `length` is the declared length of char/binary types (MaxLength for "(max)"); `precision` and `scale`
 * apply to decimal/numeric (scale also to time, datetime2 and datetimeoffset: fractional digits, 7 when negative).
 * information_schema.Columns reports data_type, character_maximum_length, numeric_precision and numeric_scale the
 * way SQL Server does for the type.
 */
struct ColumnSpec
{
    QString name;
    SqlType type = SqlType::Int;
    int length = 0;
    int precision = 18;
    int scale = -1;
    bool nullable = true;
    /** The name information_schema.Columns reports when it is not `name` (a catalogue that disagrees with the rows). */
    QString catalogueName = {};
};

/**
 * A row: one QVariant per column, an invalid (default) QVariant is NULL. Values: integers and bit as numbers or
 * bool; decimal/numeric/money as text ("12.50") or number; float/real as double; date and time types as QDateTime,
 * QDate, QTime or ISO text ("2020-01-02 03:04:05.1234567 +01:00"); char types as QString; binary types as
 * QByteArray; uniqueidentifier as QUuid or text.
 */
using Row = QVariantList;
/** Fills `row` (already sized to the column count) with the values of row `index`; for large tables. */
using RowGenerator = std::function<void(qint64 index, Row& row)>;

struct TableSpec
{
    QString name;
    /** The owning schema: the table list's TABLE_OWNER, information_schema's TABLE_SCHEMA, "s" of SELECT FROM [s].[t].
     */
    QString schema = QStringLiteral("dbo");
    /** TABLE_TYPE in the table list: "TABLE", "VIEW" or "SYSTEM TABLE". */
    QString type = QStringLiteral("TABLE");
    QList<ColumnSpec> columns;
    QList<Row> rows;
    /** When set, the table has `generatedRows` rows made by `generator` and `rows` is unused. */
    RowGenerator generator;
    qint64 generatedRows = 0;
};

/** A row of sys.database_files: type 0 is a data file, 1 a log file. */
struct DatabaseFile
{
    QString physicalName;
    int type = 0;
};

/** What a client sent in its login. */
struct LoginRecord
{
    QString hostName;
    QString userName;
    QString password;
    QString appName;
    QString serverName; ///< as sent; FreeTDS sends "host,port" forms in its own way
    QString database;
    quint32 tdsVersion = 0;
    quint32 packetSize = 0;
};

/** An RPC request: the procedure's name and its parameters as "@name=value" texts (NULL as "NULL"). */
struct RpcRecord
{
    QString procedure;
    QStringList parameters;
};

/**
 * A server message sent when a batch contains `needle`: ERROR (severity > 10) or INFO; none when `text` is empty. The
 * answer to such a batch waits `delayMs` first.
 */
struct MessageRule
{
    QString needle;
    int number = 50000;
    QString text;
    int severity = 16;
    int delayMs = 0;
};

/** Faults on demand. */
struct Faults
{
    /** Abort the connection after this many rows of a user table's SELECT (negative: never). */
    qint64 closeAfterRows = -1;
    /** Accept connections and never answer anything (from the next request on, for connections already open). */
    bool stall = false;
    /** Wait this long before each row of a user table's SELECT. */
    int rowDelayMs = 0;
    /**
     * After this many rows of a user table's SELECT (sent to the client), send nothing more on that connection and
     * ignore what arrives, an attention included, until the client hangs up (negative: never).
     */
    qint64 stallAfterRows = -1;
    /**
     * Answer the rows of catalogue views (information_schema.Columns, sys.*) in a shuffled order, as a server's plan
     * may when no ORDER BY asks for one; an ORDER BY is still honoured.
     */
    bool shuffleCatalogue = false;
    /**
     * After this many rows of a user table's SELECT, send nothing more until the client sends an attention, and then
     * answer it, as a server does whose statement waits on a lock (negative: never).
     */
    qint64 holdAfterRows = -1;
    /** A batch holding this text is answered only by the attention that cancels it (empty: none). */
    QString holdBatchContaining = {};
};

/**
 * A SQL Server stand-in speaking TDS 7.4 on 127.0.0.1, for tests that drive the real ODBC driver. It listens on a
 * free port; its acceptor and every connection run in their own threads, so blocking driver calls in the test's
 * thread never wait for it. The content (tables, file list), the login answer, the messages and the faults may be
 * changed at any time; each request reads them afresh.
 *
 * Statements are answered by their shape: SELECT <columns|*|constants> FROM <table, information_schema.Columns,
 * sys.database_files, sysfiles, sys.databases, sysdatabases> [WHERE col = 'literal' [AND ...]], sp_tables (RPC, as
 * FreeTDS sends it for SQLTables, or EXEC), SET, USE, BEGIN TRANSACTION, COMMIT and ROLLBACK, also inside
 * sp_prepexec/sp_execute/sp_executesql (isql prepares its statements). Other multi-line text (a restore script) is
 * recorded and answered DONE (one DONE with a row count per INSERT line), with "Changed database context" information
 * for every USE line and the messages of the message rules. Anything else gets a SQL Server-style error (102 syntax,
 * 208 object, 207 column).
 */
class TdsServer
{
public:
    TdsServer();
    ~TdsServer();

    TdsServer(const TdsServer&) = delete;
    TdsServer& operator=(const TdsServer&) = delete;

    /** Starts listening on 127.0.0.1 at a free port; false when it cannot. */
    bool start();
    /** Closes the listener and every connection and waits for their threads. */
    void stop();
    quint16 port() const;
    /** "Driver={SQL Server};Server=127.0.0.1,<port>;Database=<db>;Uid=<user>;Pwd=<password>;" */
    QString connectionString(const QString& database, const QString& user, const QString& password) const;

    // --- content
    void addTable(const TableSpec& table);
    void clearTables();
    /** The answer to "SELECT physical_name, type FROM sys.database_files". */
    void setDatabaseFiles(const QList<DatabaseFile>& files);
    /** Makes sys.database_files an unknown object (error 208), as on old servers; sysfiles still answers. */
    void setDatabaseFilesMissing(bool missing);
    /** The database of a login that names none. */
    void setDefaultDatabase(const QString& name);
    /**
     * Whether the database a session uses allows snapshot isolation: its snapshot_isolation_state in sys.databases
     * (default false). The system databases answer as on SQL Server (master and msdb allow it). Where it does not, a
     * snapshot transaction's first read of a table fails with error 3952, as on SQL Server.
     */
    void setSnapshotIsolation(bool allowed);

    // --- answers
    /** False: every login is refused with error 18456 "Login failed for user '<name>'.". */
    void setLoginAccepted(bool accepted);
    /**
     * The databases a login may name (case-insensitive); a login to another is refused with error 4060 "Cannot open
     * database "x" requested by the login. The login failed." and 18456, as SQL Server does. A script's CREATE
     * DATABASE line adds its name. master.dbo.sysdatabases lists them. Empty (the default): every database exists.
     */
    void setKnownDatabases(const QStringList& names);
    QStringList knownDatabases() const;
    /** Whether batches() keeps the text of every batch (default true); batchBytes() is kept either way. */
    void setRecordBatches(bool record);
    /** Whether USE lines of a script give ENVCHANGE and the information 5701 (default true). */
    void setContextMessages(bool enabled);
    void addMessageRule(const MessageRule& rule);
    void clearMessageRules();
    void setFaults(const Faults& faults);
    Faults faults() const;

    // --- what happened
    QStringList batches() const;
    /** The size on the wire (UTF-16 bytes) of every SQL batch received, in order. */
    QList<qsizetype> batchBytes() const;
    QList<RpcRecord> rpcs() const;
    QList<LoginRecord> logins() const;
    /** Every batch ("batch: <text>") and RPC ("rpc: <procedure>") in the order they arrived, over all sessions. */
    QStringList requests() const;
    int connectionCount() const;
    int attentionCount() const;
    void clearRecords();

    struct State;

private:
    class Acceptor;
    std::shared_ptr<State> m_state;
};

/** data_type as information_schema.Columns reports it ("int", "nvarchar", "timestamp"). */
QString dataTypeName(SqlType type);

} // namespace tds
