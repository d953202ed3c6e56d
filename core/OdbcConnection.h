#pragma once

#include "DataAccess.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

class OdbcBlockCursor;
struct OdbcEnvironment;
struct OdbcSession;

/**
 * Creates ODBC connections over the driver manager (unixODBC). Owns the ODBC 3 environment handle, which every
 * connection and result set made from it keeps alive as long as they need it.
 *
 * Before the first connection it checks and prepares what the platform's driver reads from the environment
 * (DriverEnvironment: FreeTDS's TDSVER on Linux).
 */
class OdbcConnectionFactory : public ConnectionFactory
{
public:
    /**
     * Throws Failure when the driver's environment is refused (DriverEnvironment::problem()) or the driver manager
     * cannot give an environment.
     */
    explicit OdbcConnectionFactory(int loginTimeoutSeconds = 30);
    ~OdbcConnectionFactory() override;

    OdbcConnectionFactory(const OdbcConnectionFactory&) = delete;
    OdbcConnectionFactory& operator=(const OdbcConnectionFactory&) = delete;

    /** Seconds that `Open` waits for the server's login answer (SQL_ATTR_LOGIN_TIMEOUT); 0 waits without limit. */
    int loginTimeout() const { return m_loginTimeout; }
    void setLoginTimeout(int seconds) { m_loginTimeout = seconds; }

    std::unique_ptr<Connection> createConnection() override;

private:
    std::shared_ptr<OdbcEnvironment> m_environment;
    int m_loginTimeout;
};

/**
 * A result set of an ODBC statement. It either streams (from the statement that is still active on the connection)
 * or has been read whole (every remaining row in memory, no statement). A streaming result is read whole when its
 * connection is asked for another command or for its `RecordCount`.
 *
 * A result whose columns all have a bounded size streams in blocks of rows through an OdbcBlockCursor; the values of
 * the current row are read from the block's arrays into one reused FieldValue per column, valid until `MoveNext`.
 * A result with a long column (max types, text, ntext, image, xml, sql_variant) streams row by row, each value read
 * with SQLGetData in pieces.
 */
class OdbcRecordSet : public RecordSet
{
public:
    ~OdbcRecordSet() override;

    OdbcRecordSet(const OdbcRecordSet&) = delete;
    OdbcRecordSet& operator=(const OdbcRecordSet&) = delete;

    bool Eof() override;
    void MoveNext() override;
    int FieldCount() const override;
    QString FieldName(int index) const override;
    const FieldValue& Fields(int index) override;
    const FieldValue& Fields(const QString& name) override;
    qint64 RecordCount() override;
    void Close() override;
    bool isLongField(int index) const override;
    bool FieldPiece(int index, FieldValue& piece) override;

    /** True while rows still come from the driver one by one. */
    bool isStreaming() const { return m_statement != nullptr; }
    /**
     * Rows held as values now (the current one and any read ahead); at most 1 while streaming. A result read in
     * blocks holds besides the driver's block arrays, whose size is fixed when the result is opened.
     */
    qint64 rowsInMemory() const;
    /** True while rows come in blocks of bound arrays rather than value by value. */
    bool readsBlocks() const { return m_block != nullptr; }

private:
    friend class OdbcConnection;
    friend struct OdbcSession;

    struct Column
    {
        QString name;
        int sqlType = 0;
        FieldValue::Kind kind = FieldValue::Kind::Text;
        bool singlePrecision = false;
        std::uint64_t size = 0; ///< the column size the driver reports
        bool isLong = false; ///< max types, text, ntext, image, xml: values may be read in pieces
    };
    using Row = std::vector<FieldValue>;

    explicit OdbcRecordSet(std::shared_ptr<OdbcSession> session);

    /** Takes the statement positioned on a result with columns: describes the columns and fetches the first row. */
    void attach(void* statement);
    /**
     * Fetches the next row. With `lazy`, the columns from the first long one on are left to be read when asked for
     * (`Fields` whole, `FieldPiece` in pieces), in column order, as drivers hand them out.
     */
    bool fetchRow(bool lazy = true);
    /** Reads the current row's columns that are not read yet up to `end` (exclusive), whole. */
    void readColumnsUpTo(int end);
    /** Fetches the next block into the block cursor; false at the end of the result (the cursor is then released). */
    bool fetchBlock();
    bool hasBlockRow() const;
    const FieldValue& blockValue(int index);
    /** Moves the rows of the block from the current one on into the rows held in memory. */
    void takeBlockRows();
    [[noreturn]] void valueCut(int index) const;
    FieldValue readValue(int column, const Column& description);
    void readWhole();
    /** Walks the rest of the batch, frees the statement and raises the first error met. */
    void finishBatch();
    /** Ends streaming without raising: the rest of the batch is walked and its errors are dropped. */
    void finishQuietly() noexcept;
    void freeStatement() noexcept;
    void checkUsable() const;
    const Row& currentRow() const;

    std::shared_ptr<OdbcSession> m_session;
    void* m_statement = nullptr;
    std::vector<Column> m_columns;
    std::deque<Row> m_rows; ///< the current row first, then rows read ahead
    std::unique_ptr<char[]> m_piece; ///< buffer for one SQLGetData piece of a text or binary value
    std::unique_ptr<OdbcBlockCursor> m_block; ///< while a result of bounded columns streams
    int m_blockRow = 0; ///< the current row in the block
    Row m_blockValues; ///< the values of the current block row, one reused FieldValue per column
    std::vector<qint64> m_decodedAt; ///< per column: the row (counted as m_passed) its value was read for
    qint64 m_passed = 0; ///< rows moved past
    int m_firstLong = -1; ///< the first long column of a result read row by row; -1 when none
    int m_readUpTo = 0; ///< the columns of the last fetched row read so far
    int m_pieceColumn = -1; ///< the column whose value is being read in pieces
    bool m_pieceStarted = false;
    bool m_pieceDone = false;
    std::vector<bool> m_pieced; ///< per column: its value in the current row was read in pieces
    bool m_closed = false;
};

/**
 * An ODBC connection: `Open` hands the connection string unchanged to SQLDriverConnectW (no prompt), `Execute` sends
 * the text as one batch with SQLExecDirectW, `OpenSchema(adSchemaTables)` is SQLTablesW. Errors are DbError with the
 * driver's diagnostic text unchanged and its native error number; informational diagnostics are kept in
 * `infoMessages()`.
 */
class OdbcConnection : public Connection
{
public:
    ~OdbcConnection() override;

    OdbcConnection(const OdbcConnection&) = delete;
    OdbcConnection& operator=(const OdbcConnection&) = delete;

    void setCursorLocation(int location) override { m_cursorLocation = location; }
    int cursorLocation() const { return m_cursorLocation; }
    void Open(const QString& connectionString) override;
    std::unique_ptr<RecordSet> Execute(const QString& commandText) override;
    std::unique_ptr<RecordSet> OpenSchema(int schema) override;
    void Close() override;
    QStringList infoMessages() const override;
    /** SQLCancel on every statement of the connection that is not yet freed. */
    void cancel() noexcept override;

private:
    friend class OdbcConnectionFactory;
    OdbcConnection(std::shared_ptr<OdbcEnvironment> environment, int loginTimeoutSeconds);

    /** Checks the connection is open, reads a streaming earlier result whole and gives a fresh statement. */
    void* prepareStatement();
    /** Bounds the statement's wait for the server (SQL_ATTR_QUERY_TIMEOUT) by the factory's statement time-out. */
    void applyStatementTimeout(void* statement);
    std::unique_ptr<RecordSet> resultOf(void* statement, short returnCode);

    std::shared_ptr<OdbcSession> m_session;
    int m_loginTimeout;
    int m_statementTimeout = 0;
    int m_cursorLocation = 2;
};
