#include "OdbcConnection.h"

#include "DriverEnvironment.h"
#include "OdbcBlockCursor.h"
#include "OdbcTypes.h"

#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <mutex>
#include <optional>

using namespace Qt::Literals::StringLiterals;

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "the driver manager must use UTF-16 for SQLWCHAR");

// Error numbers of this layer's own failures (the driver's carry its native number).
namespace {
constexpr int ErrClosed = 3704;
constexpr int ErrAlreadyOpen = 3705;
constexpr int ErrNoCurrentRow = 3021;
constexpr int ErrNoSuchField = 3265;
constexpr int ErrNotCapable = 3251;
constexpr int ErrDriver = 1;

const QString ClosedText = u"Operation is not allowed when the object is closed."_s;

// How many SQLMoreResults answers a batch may give after an error before we stop walking it: a driver that keeps
// answering SQL_ERROR without moving on would otherwise hold us forever.
constexpr int MaxErrorsInBatch = 1000;

// Size of one SQLGetData piece for long values.
constexpr SQLLEN PieceBytes = 32 * 1024;
// SQL Server's own ODBC type of xml columns.
constexpr SQLSMALLINT SqlSsXml = -152;
} // namespace

struct OdbcEnvironment
{
    SQLHENV handle = SQL_NULL_HENV;
    ~OdbcEnvironment()
    {
        if (handle != SQL_NULL_HENV)
            SQLFreeHandle(SQL_HANDLE_ENV, handle);
    }
};

/** What a connection and its result sets share; outlives the connection object while result sets hold it. */
struct OdbcSession
{
    std::shared_ptr<OdbcEnvironment> environment;
    SQLHDBC connection = SQL_NULL_HDBC;
    bool open = false;
    /** The result set whose statement is still active on the connection (FreeTDS allows one). */
    OdbcRecordSet* streaming = nullptr;
    QStringList info;
    /** The statements allocated and not yet freed; `cancel` reaches them from another thread. */
    std::mutex statementsMutex;
    std::vector<SQLHSTMT> statements;

    void track(SQLHSTMT statement)
    {
        const std::lock_guard lock(statementsMutex);
        statements.push_back(statement);
    }
    /** Frees the statement; a cancel from another thread finishes before. */
    void release(SQLHSTMT statement)
    {
        const std::lock_guard lock(statementsMutex);
        std::erase(statements, statement);
        SQLFreeHandle(SQL_HANDLE_STMT, statement);
    }
};

namespace {

QString fromWide(const SQLWCHAR* text, qsizetype length)
{
    return QString::fromUtf16(reinterpret_cast<const char16_t*>(text), length);
}

SQLWCHAR* toWide(const QString& text)
{
    // SQLExecDirectW and friends take a non-const pointer but only read the text.
    return const_cast<SQLWCHAR*>(reinterpret_cast<const SQLWCHAR*>(text.utf16()));
}

struct Diagnostic
{
    QString state;
    QString text;
    int native = 0;
    bool informational() const { return state.startsWith(u"01"_s); }
};

QList<Diagnostic> diagnostics(SQLSMALLINT type, SQLHANDLE handle)
{
    QList<Diagnostic> result;
    if (handle == nullptr)
        return result;
    for (SQLSMALLINT record = 1;; ++record) {
        std::array<SQLWCHAR, 6> state{};
        SQLINTEGER native = 0;
        std::vector<SQLWCHAR> message(1024);
        SQLSMALLINT length = 0;
        SQLRETURN rc = SQLGetDiagRecW(type, handle, record, state.data(), &native, message.data(),
                                      SQLSMALLINT(message.size()), &length);
        if (rc == SQL_SUCCESS_WITH_INFO && length >= SQLSMALLINT(message.size())) {
            message.resize(size_t(length) + 1);
            rc = SQLGetDiagRecW(type, handle, record, state.data(), &native, message.data(),
                                SQLSMALLINT(message.size()), &length);
        }
        if (!SQL_SUCCEEDED(rc))
            break;
        const qsizetype textLength = qMin<qsizetype>(length, qsizetype(message.size()) - 1);
        result.append({fromWide(state.data(), 5), fromWide(message.data(), textLength), int(native)});
    }
    return result;
}

/** True when the statement's last call failed with a function sequence error: it has no results left to walk. */
bool outOfSequence(SQLHSTMT statement)
{
    std::array<SQLWCHAR, 6> state{};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    if (!SQL_SUCCEEDED(SQLGetDiagRecW(SQL_HANDLE_STMT, statement, 1, state.data(), &native, nullptr, 0, &length)))
        return false;
    return fromWide(state.data(), 5) == u"HY010"_s;
}

/**
 * Looks at the diagnostics of a call: informational records go to the session's messages; when the call failed,
 * throws DbError with the first real error (the driver's text unchanged, its native number).
 */
void check(SQLRETURN rc, SQLSMALLINT type, SQLHANDLE handle, OdbcSession& session, bool keepInfo = true)
{
    if (rc == SQL_SUCCESS || rc == SQL_NO_DATA || rc == SQL_NEED_DATA || rc == SQL_STILL_EXECUTING)
        return;
    if (rc == SQL_SUCCESS_WITH_INFO && !keepInfo)
        return;
    if (rc == SQL_INVALID_HANDLE)
        throw DbError(u"The ODBC driver manager rejected a handle."_s, ErrDriver);
    const QList<Diagnostic> records = diagnostics(type, handle);
    std::optional<Diagnostic> error;
    for (const Diagnostic& record : records) {
        if (rc != SQL_ERROR || record.informational())
            session.info.append(record.text);
        else if (!error)
            error = record; // later error records only elaborate on the first
    }
    if (rc != SQL_ERROR)
        return;
    if (!error && !records.isEmpty()) {
        // A failure that only brought informational records: the first of them is the best description there is.
        error = records.first();
        session.info.removeOne(error->text);
    }
    if (!error)
        throw DbError(u"The ODBC driver reported an error without a description."_s, ErrDriver);
    throw DbError(error->text, error->native, error->state);
}

} // namespace

// --- factory

OdbcConnectionFactory::OdbcConnectionFactory(int loginTimeoutSeconds)
    : m_environment(std::make_shared<OdbcEnvironment>())
    , m_loginTimeout(loginTimeoutSeconds)
{
    if (const QString problem = DriverEnvironment::problem(); !problem.isEmpty())
        throw Failure(problem);
    DriverEnvironment::prepare();
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &m_environment->handle)))
        throw Failure(u"The ODBC driver manager could not create an environment."_s);
    const SQLRETURN rc = SQLSetEnvAttr(m_environment->handle, SQL_ATTR_ODBC_VERSION,
                                       reinterpret_cast<SQLPOINTER>(static_cast<std::uintptr_t>(SQL_OV_ODBC3)), 0);
    if (!SQL_SUCCEEDED(rc))
        throw Failure(u"The ODBC driver manager does not accept ODBC version 3."_s);
}

OdbcConnectionFactory::~OdbcConnectionFactory() = default;

std::unique_ptr<Connection> OdbcConnectionFactory::createConnection()
{
    std::unique_ptr<OdbcConnection> connection(new OdbcConnection(m_environment, m_loginTimeout));
    connection->m_statementTimeout = statementTimeout();
    return connection;
}

// --- connection

OdbcConnection::OdbcConnection(std::shared_ptr<OdbcEnvironment> environment, int loginTimeoutSeconds)
    : m_session(std::make_shared<OdbcSession>())
    , m_loginTimeout(loginTimeoutSeconds)
{
    m_session->environment = std::move(environment);
}

OdbcConnection::~OdbcConnection()
{
    try {
        if (m_session->open)
            Close();
    } catch (const std::exception&) {
        // Releasing an open connection closes it; what the rest of its batch said is of no use to anyone now.
    }
}

void OdbcConnection::Open(const QString& connectionString)
{
    OdbcSession& session = *m_session;
    if (session.open)
        throw DbError(u"Operation is not allowed when the object is open."_s, ErrAlreadyOpen);
    session.info.clear();

    SQLHDBC dbc = SQL_NULL_HDBC;
    check(SQLAllocHandle(SQL_HANDLE_DBC, session.environment->handle, &dbc), SQL_HANDLE_ENV,
          session.environment->handle, session);
    try {
        // The timeout must be set before the connection is made: it bounds the wait for a server that accepts the
        // TCP connection and never answers the login.
        check(SQLSetConnectAttr(dbc, SQL_ATTR_LOGIN_TIMEOUT,
                                reinterpret_cast<SQLPOINTER>(static_cast<std::intptr_t>(m_loginTimeout)),
                                SQL_IS_UINTEGER),
              SQL_HANDLE_DBC, dbc, session);
        const QString text = connectionString; // keeps the UTF-16 buffer alive for the call
        check(SQLDriverConnectW(dbc, nullptr, toWide(text), SQLSMALLINT(text.size()), nullptr, 0, nullptr,
                                SQL_DRIVER_NOPROMPT),
              SQL_HANDLE_DBC, dbc, session);
    } catch (...) {
        SQLFreeHandle(SQL_HANDLE_DBC, dbc);
        throw;
    }
    session.connection = dbc;
    session.open = true;
}

void* OdbcConnection::prepareStatement()
{
    OdbcSession& session = *m_session;
    if (!session.open)
        throw DbError(ClosedText, ErrClosed);
    session.info.clear();
    if (session.streaming) {
        // The driver keeps one active result per connection: the earlier one is read whole (it stays walkable),
        // and an error in the rest of its batch is raised here.
        session.streaming->readWhole();
    }
    SQLHSTMT statement = SQL_NULL_HSTMT;
    check(SQLAllocHandle(SQL_HANDLE_STMT, session.connection, &statement), SQL_HANDLE_DBC, session.connection, session);
    session.track(statement);
    applyStatementTimeout(statement);
    return statement;
}

void OdbcConnection::applyStatementTimeout(void* statement)
{
    // FreeTDS measures the query time-out as silence: it fires when the server sends nothing for that long, while the
    // statement runs and while its rows are fetched, so a long dump that keeps receiving is never cut.
    const SQLRETURN rc
        = SQLSetStmtAttr(statement, SQL_ATTR_QUERY_TIMEOUT,
                         reinterpret_cast<SQLPOINTER>(static_cast<std::intptr_t>(m_statementTimeout)), SQL_IS_UINTEGER);
    try {
        check(rc, SQL_HANDLE_STMT, statement, *m_session, false);
    } catch (...) {
        m_session->release(statement);
        throw;
    }
}

std::unique_ptr<RecordSet> OdbcConnection::Execute(const QString& commandText)
{
    SQLHSTMT statement = prepareStatement();
    const QString text = commandText;
    const SQLRETURN rc = SQLExecDirectW(statement, toWide(text), SQLINTEGER(text.size()));
    return resultOf(statement, rc);
}

std::unique_ptr<RecordSet> OdbcConnection::OpenSchema(int schema)
{
    if (schema != adSchemaTables) {
        if (!m_session->open)
            throw DbError(ClosedText, ErrClosed);
        throw DbError(u"Object or provider is not capable of performing requested operation."_s, ErrNotCapable);
    }
    SQLHSTMT statement = prepareStatement();
    const SQLRETURN rc = SQLTablesW(statement, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0);
    auto result = resultOf(statement, rc);
    // The table list is walked beside the column queries of each table: read it whole now.
    static_cast<OdbcRecordSet*>(result.get())->readWhole();
    return result;
}

std::unique_ptr<RecordSet> OdbcConnection::resultOf(void* statement, short returnCode)
{
    std::unique_ptr<OdbcRecordSet> result(new OdbcRecordSet(m_session));
    // From here the result set owns the statement and frees it when the batch has been walked.
    result->m_statement = statement;
    m_session->streaming = result.get();

    OdbcSession& session = *m_session;
    SQLRETURN rc = returnCode;
    std::optional<DbError> firstError;
    int errors = 0;
    for (bool first = true;; first = false) {
        if (rc == SQL_ERROR) {
            try {
                check(rc, SQL_HANDLE_STMT, statement, session);
            } catch (const DbError& error) {
                if (!firstError)
                    firstError = error;
            }
            // Go on with the batch: the server runs the statements after a failed one, and closing the statement
            // now would cancel them.
            if (++errors > MaxErrorsInBatch || (!first && outOfSequence(statement)))
                break;
        } else if (rc == SQL_NO_DATA) {
            // SQLExecDirect answers SQL_NO_DATA for a first statement that changed no rows; more may follow.
            if (!first)
                break;
        } else {
            check(rc, SQL_HANDLE_STMT, statement, session);
            SQLSMALLINT columns = 0;
            if (!firstError && SQL_SUCCEEDED(SQLNumResultCols(statement, &columns)) && columns > 0) {
                result->attach(statement);
                return result;
            }
        }
        rc = SQLMoreResults(statement);
    }
    result->freeStatement();
    if (firstError)
        throw *firstError;
    return result;
}

void OdbcConnection::Close()
{
    OdbcSession& session = *m_session;
    if (!session.open)
        throw DbError(ClosedText, ErrClosed);
    std::optional<DbError> error;
    if (OdbcRecordSet* streaming = session.streaming) {
        // Walk the rest of the batch so that none of it is cancelled; the result set itself ends here.
        try {
            streaming->finishBatch();
        } catch (const DbError& e) {
            error = e;
        }
        streaming->m_rows.clear();
        streaming->m_closed = true;
    }
    SQLDisconnect(session.connection);
    SQLFreeHandle(SQL_HANDLE_DBC, session.connection);
    session.connection = SQL_NULL_HDBC;
    session.open = false;
    if (error)
        throw *error;
}

QStringList OdbcConnection::infoMessages() const
{
    return m_session->info;
}

void OdbcConnection::cancel() noexcept
{
    // The driver sends the server an attention for a statement that waits in another thread; the wait then ends with
    // an error. The lock keeps the handles alive meanwhile.
    OdbcSession& session = *m_session;
    const std::lock_guard lock(session.statementsMutex);
    for (SQLHSTMT statement : session.statements)
        SQLCancel(statement);
}

// --- result set

OdbcRecordSet::OdbcRecordSet(std::shared_ptr<OdbcSession> session)
    : m_session(std::move(session))
{ }

OdbcRecordSet::~OdbcRecordSet()
{
    finishQuietly();
}

void OdbcRecordSet::attach(void* statement)
{
    m_statement = statement;
    SQLSMALLINT count = 0;
    check(SQLNumResultCols(statement, &count), SQL_HANDLE_STMT, statement, *m_session);
    m_columns.resize(size_t(count));
    for (SQLUSMALLINT i = 1; i <= SQLUSMALLINT(count); ++i) {
        std::vector<SQLWCHAR> name(256);
        SQLSMALLINT nameLength = 0, type = 0, digits = 0, nullable = 0;
        SQLULEN size = 0;
        SQLRETURN rc = SQLDescribeColW(statement, i, name.data(), SQLSMALLINT(name.size()), &nameLength, &type, &size,
                                       &digits, &nullable);
        if (SQL_SUCCEEDED(rc) && nameLength >= SQLSMALLINT(name.size())) {
            name.resize(size_t(nameLength) + 1);
            rc = SQLDescribeColW(statement, i, name.data(), SQLSMALLINT(name.size()), &nameLength, &type, &size,
                                 &digits, &nullable);
        }
        check(rc, SQL_HANDLE_STMT, statement, *m_session);

        std::array<SQLWCHAR, 128> typeName{};
        SQLSMALLINT typeNameBytes = 0;
        QString typeText;
        if (SQL_SUCCEEDED(SQLColAttributeW(statement, i, SQL_DESC_TYPE_NAME, typeName.data(),
                                           SQLSMALLINT(sizeof(typeName) - sizeof(SQLWCHAR)), &typeNameBytes, nullptr)))
            typeText = fromWide(typeName.data(), qMin<qsizetype>(typeNameBytes / 2, qsizetype(typeName.size()) - 1));

        Column& column = m_columns[i - 1];
        column.name = fromWide(name.data(), qMin<qsizetype>(nameLength, qsizetype(name.size()) - 1));
        column.sqlType = type;
        column.size = size;
        const OdbcColumnKind kind = odbcColumnKind(type, typeText, digits);
        column.kind = kind.kind;
        column.singlePrecision = kind.singlePrecision;
        const bool unbounded = size == 0 || size > OdbcBlockCursor::MaxBoundLength;
        column.isLong = (column.kind == FieldValue::Kind::Text || column.kind == FieldValue::Kind::Binary)
            && (type == SQL_LONGVARCHAR || type == SQL_WLONGVARCHAR || type == SQL_LONGVARBINARY || type == SqlSsXml
                || ((type == SQL_VARCHAR || type == SQL_WVARCHAR || type == SQL_VARBINARY) && unbounded));
    }

    std::vector<OdbcBlockCursor::Shape> shapes;
    shapes.reserve(m_columns.size());
    for (const Column& column : m_columns)
        shapes.push_back({column.sqlType, column.size, column.kind, column.singlePrecision});
    m_block = OdbcBlockCursor::bind(statement, shapes);
    if (m_block) {
        m_blockValues.assign(m_columns.size(), FieldValue());
        m_decodedAt.assign(m_columns.size(), -1);
        fetchBlock();
    } else {
        m_pieced.assign(m_columns.size(), false);
        for (size_t i = 0; i < m_columns.size() && m_firstLong < 0; ++i) {
            if (m_columns[i].isLong)
                m_firstLong = int(i);
        }
        fetchRow();
    }
}

bool OdbcRecordSet::fetchBlock()
{
    m_blockRow = 0;
    const SQLRETURN rc = m_block->fetch();
    if (rc == SQL_NO_DATA || (SQL_SUCCEEDED(rc) && m_block->rows() == 0)) {
        m_block.reset();
        return false;
    }
    try {
        check(rc, SQL_HANDLE_STMT, m_statement, *m_session);
        for (int row = 0; row < m_block->rows(); ++row) {
            if (m_block->rowFailed(row))
                check(SQL_ERROR, SQL_HANDLE_STMT, m_statement, *m_session);
        }
        if (rc == SQL_SUCCESS_WITH_INFO) {
            // A value cut to its buffer (01004) cannot be fetched again: the result fails rather than lose text.
            FieldValue probe;
            for (int row = 0; row < m_block->rows(); ++row) {
                for (int column = 0; column < int(m_columns.size()); ++column) {
                    if (!m_block->read(column, row, probe))
                        valueCut(column);
                }
            }
        }
    } catch (const DbError&) {
        finishQuietly();
        throw;
    }
    return true;
}

void OdbcRecordSet::valueCut(int index) const
{
    throw DbError(u"The value of column %1 is longer than the size the driver declared for it."_s.arg(
                      m_columns[size_t(index)].name),
                  ErrDriver);
}

bool OdbcRecordSet::hasBlockRow() const
{
    return m_block && m_blockRow < m_block->rows();
}

const FieldValue& OdbcRecordSet::blockValue(int index)
{
    FieldValue& value = m_blockValues[size_t(index)];
    qint64& decodedAt = m_decodedAt[size_t(index)];
    if (decodedAt != m_passed) {
        if (!m_block->read(index, m_blockRow, value))
            valueCut(index);
        decodedAt = m_passed;
    }
    return value;
}

void OdbcRecordSet::takeBlockRows()
{
    for (; hasBlockRow(); ++m_blockRow) {
        Row row(m_columns.size());
        for (size_t i = 0; i < m_columns.size(); ++i) {
            if (!m_block->read(int(i), m_blockRow, row[i]))
                valueCut(int(i));
        }
        m_rows.push_back(std::move(row));
    }
}

qint64 OdbcRecordSet::rowsInMemory() const
{
    return qint64(m_rows.size()) + (hasBlockRow() ? 1 : 0);
}

bool OdbcRecordSet::fetchRow(bool lazy)
{
    // A row fetched before is complete before the driver moves on (its unread columns are gone after SQLFetch).
    if (!m_rows.empty())
        readColumnsUpTo(int(m_columns.size()));
    const SQLRETURN rc = SQLFetch(m_statement);
    if (rc == SQL_NO_DATA)
        return false;
    try {
        check(rc, SQL_HANDLE_STMT, m_statement, *m_session);
        const int eager = lazy && m_firstLong >= 0 ? m_firstLong : int(m_columns.size());
        Row row(m_columns.size());
        for (int i = 0; i < eager; ++i)
            row[size_t(i)] = readValue(i + 1, m_columns[size_t(i)]);
        m_rows.push_back(std::move(row));
        m_readUpTo = eager;
        m_pieceColumn = -1;
        std::fill(m_pieced.begin(), m_pieced.end(), false);
    } catch (const DbError&) {
        // The statement cannot go on with this result; walk what is left of the batch and report the failure.
        finishQuietly();
        throw;
    }
    return true;
}

FieldValue OdbcRecordSet::readValue(int column, const Column& description)
{
    using Kind = FieldValue::Kind;
    SQLHSTMT statement = m_statement;
    const auto col = SQLUSMALLINT(column);

    if (description.kind == Kind::ApproxNumeric) {
        SQLLEN indicator = 0;
        if (description.singlePrecision) {
            float value = 0;
            check(SQLGetData(statement, col, SQL_C_FLOAT, &value, sizeof value, &indicator), SQL_HANDLE_STMT, statement,
                  *m_session, false);
            return indicator == SQL_NULL_DATA ? FieldValue::null() : FieldValue::ofNumber(double(value), true);
        }
        double value = 0;
        check(SQLGetData(statement, col, SQL_C_DOUBLE, &value, sizeof value, &indicator), SQL_HANDLE_STMT, statement,
              *m_session, false);
        return indicator == SQL_NULL_DATA ? FieldValue::null() : FieldValue::ofNumber(value);
    }

    // Text and bytes are read in pieces, so values of any length (varchar(max), text, varbinary(max)) come whole.
    const bool binary = description.kind == Kind::Binary;
    const SQLSMALLINT cType = binary ? SQL_C_BINARY : SQL_C_WCHAR;
    // Each wide piece ends with a terminating zero that is not part of the value; binary pieces have none.
    const SQLLEN usable = binary ? PieceBytes : PieceBytes - SQLLEN(sizeof(SQLWCHAR));
    // One buffer for every value of the result, not zero-filled: allocating and clearing 32 KB for every value of
    // every row cost more than reading the value.
    if (!m_piece)
        m_piece = std::make_unique_for_overwrite<char[]>(static_cast<size_t>(PieceBytes));
    char* const piece = m_piece.get();
    QByteArray bytes;
    QString text;
    for (;;) {
        SQLLEN indicator = 0;
        const SQLRETURN rc = SQLGetData(statement, col, cType, piece, PieceBytes, &indicator);
        if (rc == SQL_NO_DATA)
            break;
        // A piece that did not fit says so with SQL_SUCCESS_WITH_INFO (01004): no message for the caller.
        check(rc, SQL_HANDLE_STMT, statement, *m_session, false);
        if (indicator == SQL_NULL_DATA)
            return FieldValue::null();
        const bool more = rc == SQL_SUCCESS_WITH_INFO && (indicator == SQL_NO_TOTAL || indicator > usable);
        const SQLLEN length = more ? usable : qMin(indicator, usable);
        if (binary)
            bytes.append(piece, qsizetype(length));
        else
            text.append(fromWide(reinterpret_cast<const SQLWCHAR*>(piece), qsizetype(length) / 2));
        if (!more)
            break;
    }
    if (binary)
        return FieldValue::ofBytes(std::move(bytes));
    if (description.kind == Kind::IsoDateTime || description.kind == Kind::DateTime)
        padIsoYear(text);
    return FieldValue::ofText(std::move(text), description.kind);
}

void OdbcRecordSet::readColumnsUpTo(int end)
{
    if (!m_statement || m_rows.empty() || m_readUpTo >= end)
        return;
    Row& row = m_rows.back();
    try {
        for (; m_readUpTo < end; ++m_readUpTo) {
            if (!m_pieced[size_t(m_readUpTo)])
                row[size_t(m_readUpTo)] = readValue(m_readUpTo + 1, m_columns[size_t(m_readUpTo)]);
        }
    } catch (const DbError&) {
        finishQuietly();
        throw;
    }
}

bool OdbcRecordSet::isLongField(int index) const
{
    // Only the row being read from the driver has values that are not in memory yet.
    if (m_closed || !m_statement || m_block || m_rows.size() != 1 || index < 0 || size_t(index) >= m_columns.size())
        return false;
    return m_columns[size_t(index)].isLong && (index >= m_readUpTo || index == m_pieceColumn);
}

bool OdbcRecordSet::FieldPiece(int index, FieldValue& piece)
{
    checkUsable();
    if (!isLongField(index))
        return RecordSet::FieldPiece(index, piece);
    if (index != m_pieceColumn) {
        readColumnsUpTo(index);
        m_readUpTo = index + 1;
        m_pieceColumn = index;
        m_pieceStarted = false;
        m_pieceDone = false;
        m_pieced[size_t(index)] = true;
    }
    if (m_pieceDone)
        return false;

    const Column& description = m_columns[size_t(index)];
    const bool binary = description.kind == FieldValue::Kind::Binary;
    const SQLSMALLINT cType = binary ? SQL_C_BINARY : SQL_C_WCHAR;
    // Each wide piece ends with a terminating zero that is not part of the value; binary pieces have none.
    const SQLLEN usable = binary ? PieceBytes : PieceBytes - SQLLEN(sizeof(SQLWCHAR));
    if (!m_piece)
        m_piece = std::make_unique_for_overwrite<char[]>(static_cast<size_t>(PieceBytes));
    SQLLEN indicator = 0;
    const SQLRETURN rc = SQLGetData(m_statement, SQLUSMALLINT(index + 1), cType, m_piece.get(), PieceBytes, &indicator);
    const bool first = !m_pieceStarted;
    m_pieceStarted = true;
    piece.kind = description.kind;
    piece.text.clear();
    piece.bytes.clear();
    if (rc == SQL_NO_DATA) {
        m_pieceDone = true;
        return first; // an empty value is one empty piece
    }
    try {
        // A piece that did not fit says so with SQL_SUCCESS_WITH_INFO (01004): no message for the caller.
        check(rc, SQL_HANDLE_STMT, m_statement, *m_session, false);
    } catch (const DbError&) {
        finishQuietly();
        throw;
    }
    if (indicator == SQL_NULL_DATA) {
        piece = FieldValue::null();
        m_pieceDone = true;
        return true;
    }
    const bool more = rc == SQL_SUCCESS_WITH_INFO && (indicator == SQL_NO_TOTAL || indicator > usable);
    const SQLLEN length = more ? usable : qMin(indicator, usable);
    if (binary)
        piece.bytes = QByteArray(m_piece.get(), qsizetype(length));
    else
        piece.text = fromWide(reinterpret_cast<const SQLWCHAR*>(m_piece.get()), qsizetype(length) / 2);
    m_pieceDone = !more;
    return true;
}

void OdbcRecordSet::readWhole()
{
    if (!m_statement)
        return;
    if (m_block) {
        do
            takeBlockRows();
        while (fetchBlock());
    } else {
        while (fetchRow(false)) { }
        readColumnsUpTo(int(m_columns.size()));
    }
    finishBatch();
}

void OdbcRecordSet::finishBatch()
{
    if (!m_statement)
        return;
    m_block.reset(); // the later results of the batch are not bound to its arrays
    std::optional<DbError> firstError;
    int errors = 0;
    for (;;) {
        const SQLRETURN rc = SQLMoreResults(m_statement);
        if (rc == SQL_NO_DATA || rc == SQL_INVALID_HANDLE)
            break;
        try {
            check(rc, SQL_HANDLE_STMT, m_statement, *m_session);
        } catch (const DbError& error) {
            if (!firstError)
                firstError = error;
            if (++errors > MaxErrorsInBatch || outOfSequence(m_statement))
                break;
        }
    }
    freeStatement();
    if (firstError)
        throw *firstError;
}

void OdbcRecordSet::finishQuietly() noexcept
{
    try {
        finishBatch();
    } catch (const std::exception&) { }
    freeStatement();
}

void OdbcRecordSet::freeStatement() noexcept
{
    m_block.reset();
    if (m_statement) {
        m_session->release(m_statement);
        m_statement = nullptr;
    }
    m_piece.reset(); // nothing more to read
    if (m_session->streaming == this)
        m_session->streaming = nullptr;
}

void OdbcRecordSet::checkUsable() const
{
    if (m_closed)
        throw DbError(ClosedText, ErrClosed);
}

const OdbcRecordSet::Row& OdbcRecordSet::currentRow() const
{
    checkUsable();
    if (m_rows.empty())
        throw DbError(u"Either BOF or EOF is True, or the current record has been deleted."_s, ErrNoCurrentRow);
    return m_rows.front();
}

bool OdbcRecordSet::Eof()
{
    checkUsable();
    return m_rows.empty() && !hasBlockRow();
}

void OdbcRecordSet::MoveNext()
{
    checkUsable();
    if (m_rows.empty() && hasBlockRow()) {
        ++m_blockRow;
        ++m_passed;
        if (!hasBlockRow() && !fetchBlock())
            finishBatch(); // the end of the result, as below
        return;
    }
    if (m_rows.empty())
        throw DbError(u"Either BOF or EOF is True, or the current record has been deleted."_s, ErrNoCurrentRow);
    m_rows.pop_front();
    ++m_passed;
    if (m_rows.empty() && m_statement && !fetchRow())
        finishBatch(); // the end of the result: the rest of the batch runs and may raise its error here
}

int OdbcRecordSet::FieldCount() const
{
    checkUsable();
    return int(m_columns.size());
}

QString OdbcRecordSet::FieldName(int index) const
{
    checkUsable();
    if (index < 0 || size_t(index) >= m_columns.size())
        throw DbError(u"Item cannot be found in the collection corresponding to the requested name or ordinal."_s,
                      ErrNoSuchField);
    return m_columns[size_t(index)].name;
}

const FieldValue& OdbcRecordSet::Fields(int index)
{
    checkUsable();
    if (m_rows.empty() && hasBlockRow()) {
        if (index < 0 || size_t(index) >= m_columns.size())
            throw DbError(u"Item cannot be found in the collection corresponding to the requested name or ordinal."_s,
                          ErrNoSuchField);
        return blockValue(index);
    }
    const Row& row = currentRow();
    if (index < 0 || size_t(index) >= row.size())
        throw DbError(u"Item cannot be found in the collection corresponding to the requested name or ordinal."_s,
                      ErrNoSuchField);
    if (m_rows.size() == 1 && m_statement && !m_pieced.empty()) {
        if (m_pieced[size_t(index)])
            throw DbError(u"The value of column %1 was read in pieces and cannot be read again."_s.arg(
                              m_columns[size_t(index)].name),
                          ErrNotCapable);
        readColumnsUpTo(index + 1);
    }
    return row[size_t(index)];
}

const FieldValue& OdbcRecordSet::Fields(const QString& name)
{
    checkUsable();
    for (size_t i = 0; i < m_columns.size(); ++i) {
        if (m_columns[i].name.compare(name, Qt::CaseInsensitive) == 0)
            return Fields(int(i));
    }
    throw DbError(u"Item cannot be found in the collection corresponding to the requested name or ordinal."_s,
                  ErrNoSuchField);
}

qint64 OdbcRecordSet::RecordCount()
{
    checkUsable();
    readWhole();
    return m_passed + qint64(m_rows.size());
}

void OdbcRecordSet::Close()
{
    checkUsable();
    m_closed = true;
    m_rows.clear();
    finishBatch();
}
