#include "OdbcBlockCursor.h"

#include "OdbcTypes.h"

#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstring>

static_assert(sizeof(SQLLEN) == sizeof(std::intptr_t), "indicator arrays are SQLLEN arrays");
static_assert(sizeof(SQLULEN) == sizeof(std::uint64_t), "the rows-fetched count is an SQLULEN");
static_assert(sizeof(SQLUSMALLINT) == sizeof(unsigned short), "row status arrays are SQLUSMALLINT arrays");
static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "the driver manager must use UTF-16 for SQLWCHAR");

namespace {

// SQL Server's own ODBC types for time and datetimeoffset, which FreeTDS reports as Microsoft's driver does.
constexpr int SqlSsTime2 = -154;
constexpr int SqlSsTimestampOffset = -155;

// Wide characters bound for a value of a number, date, time or GUID type: more than the longest text the driver makes
// of any of them ("-922337203685477.5808", 38 digits with sign and point, "2020-01-02 03:04:05.1234567 +01:00").
constexpr std::uint64_t ShortTextChars = 64;

// A fetch quicker than this lets the next block double; one slower than the other halves it. The caller lets events
// run every few milliseconds, so no single fetch should keep it much longer than that.
constexpr auto QuickFetch = std::chrono::milliseconds(8);
constexpr auto SlowFetch = std::chrono::milliseconds(25);

/**
 * The digits of the fraction of seconds in the driver's text of a datetime-like column of this size
 * ("yyyy-mm-dd hh:mm:ss" and a point with the digits), or -1 for a size of no such text. A smalldatetime (16) is
 * written with its seconds too.
 */
int timestampDigits(std::uint64_t size)
{
    if (size == 16 || size == 19)
        return 0;
    if (size >= 21 && size <= 23)
        return int(size - 20);
    return -1;
}

std::size_t wideBytes(std::uint64_t chars)
{
    return std::size_t(chars + 1) * sizeof(SQLWCHAR); // and the terminating zero the driver writes
}

} // namespace

std::size_t OdbcBlockCursor::valueBytes(const Shape& shape)
{
    using Kind = FieldValue::Kind;
    // Values bound as numbers or timestamps take their C type's size.
    switch (bindType(shape)) {
    case SQL_C_SBIGINT:
        return sizeof(SQLBIGINT);
    case SQL_C_BIT:
        return sizeof(SQLCHAR);
    case SQL_C_TYPE_TIMESTAMP:
        return sizeof(SQL_TIMESTAMP_STRUCT);
    default:
        break;
    }
    switch (shape.sqlType) {
    case SQL_FLOAT:
    case SQL_DOUBLE:
    case SQL_REAL:
        if (shape.kind != Kind::ApproxNumeric)
            return 0;
        return shape.singlePrecision ? sizeof(SQLREAL) : sizeof(SQLDOUBLE);
    case SQL_TINYINT:
    case SQL_SMALLINT:
    case SQL_INTEGER:
    case SQL_BIGINT:
    case SQL_DECIMAL:
    case SQL_NUMERIC:
    case SQL_BIT:
    case SQL_TYPE_TIMESTAMP:
    case SQL_TIMESTAMP:
    case SQL_TYPE_DATE:
    case SQL_TYPE_TIME:
    case SQL_DATE:
    case SQL_TIME:
    case SqlSsTime2:
    case SqlSsTimestampOffset:
    case SQL_GUID:
        if (shape.kind == Kind::ApproxNumeric || shape.kind == Kind::Binary)
            return 0;
        return wideBytes(std::max(ShortTextChars, shape.size + 8));
    case SQL_CHAR:
    case SQL_VARCHAR:
    case SQL_WCHAR:
    case SQL_WVARCHAR:
        // Every character of a char or varchar is at least one byte on the server, so n bytes are at most n UTF-16
        // units; nchar and nvarchar count UTF-16 units.
        if (shape.kind != Kind::Text || shape.size == 0 || shape.size > MaxBoundLength)
            return 0;
        return wideBytes(shape.size);
    case SQL_BINARY:
    case SQL_VARBINARY:
        if (shape.kind != Kind::Binary || shape.size == 0 || shape.size > MaxBoundLength)
            return 0;
        return std::size_t(shape.size);
    default:
        return 0; // long, variant, CLR and unknown types: their size is no limit
    }
}

int OdbcBlockCursor::bindType(const Shape& shape)
{
    using Kind = FieldValue::Kind;
    const bool integerType = shape.sqlType == SQL_TINYINT || shape.sqlType == SQL_SMALLINT
        || shape.sqlType == SQL_INTEGER || shape.sqlType == SQL_BIGINT;
    if (shape.kind == Kind::ApproxNumeric)
        return shape.singlePrecision ? SQL_C_FLOAT : SQL_C_DOUBLE;
    if (shape.kind == Kind::Binary)
        return SQL_C_BINARY;
    // Integers and bits as numbers: the driver's text of each would cost a printf per value.
    if (shape.kind == Kind::Integer && integerType)
        return SQL_C_SBIGINT;
    if (shape.kind == Kind::Bit && shape.sqlType == SQL_BIT)
        return SQL_C_BIT;
    // So are datetime and smalldatetime: the driver's text of a date costs a strftime per value.
    if (shape.kind == Kind::DateTime && (shape.sqlType == SQL_TYPE_TIMESTAMP || shape.sqlType == SQL_TIMESTAMP)
        && timestampDigits(shape.size) >= 0)
        return SQL_C_TYPE_TIMESTAMP;
    return SQL_C_WCHAR;
}

int OdbcBlockCursor::blockRows(const std::vector<Shape>& shapes)
{
    if (shapes.empty())
        return 0;
    std::size_t rowBytes = 0;
    for (const Shape& shape : shapes) {
        const std::size_t bytes = valueBytes(shape);
        if (bytes == 0)
            return 0;
        rowBytes += bytes + sizeof(SQLLEN);
    }
    return int(std::clamp<std::size_t>(BudgetBytes / rowBytes, 1, MaxRows));
}

OdbcBlockCursor::OdbcBlockCursor(void* statement, const std::vector<Shape>& shapes)
    : m_statement(statement)
    , m_capacity(blockRows(shapes))
{
    m_columns.resize(shapes.size());
    for (std::size_t i = 0; i < shapes.size(); ++i) {
        Column& column = m_columns[i];
        column.shape = shapes[i];
        column.bytes = valueBytes(shapes[i]);
        column.cType = bindType(shapes[i]);
        column.data = std::make_unique_for_overwrite<char[]>(column.bytes * std::size_t(m_capacity));
        column.indicators = std::make_unique_for_overwrite<std::intptr_t[]>(std::size_t(m_capacity));
    }
    m_status = std::make_unique_for_overwrite<unsigned short[]>(std::size_t(m_capacity));
}

std::unique_ptr<OdbcBlockCursor> OdbcBlockCursor::bind(void* statement, const std::vector<Shape>& shapes)
{
    if (blockRows(shapes) == 0)
        return nullptr;
    std::unique_ptr<OdbcBlockCursor> cursor(new OdbcBlockCursor(statement, shapes));
    cursor->m_bound = true; // from here, release() undoes whatever was set
    SQLHSTMT handle = statement;
    bool ok = SQL_SUCCEEDED(SQLSetStmtAttr(handle, SQL_ATTR_ROW_BIND_TYPE,
                                           reinterpret_cast<SQLPOINTER>(std::uintptr_t(SQL_BIND_BY_COLUMN)), 0))
        && SQL_SUCCEEDED(SQLSetStmtAttr(handle, SQL_ATTR_ROWS_FETCHED_PTR, &cursor->m_fetchedCount, 0))
        && SQL_SUCCEEDED(SQLSetStmtAttr(handle, SQL_ATTR_ROW_STATUS_PTR, cursor->m_status.get(), 0))
        && cursor->setBlockRows(1);
    for (std::size_t i = 0; ok && i < cursor->m_columns.size(); ++i) {
        Column& column = cursor->m_columns[i];
        ok = SQL_SUCCEEDED(SQLBindCol(handle, SQLUSMALLINT(i + 1), column.cType, column.data.get(),
                                      SQLLEN(column.bytes), reinterpret_cast<SQLLEN*>(column.indicators.get())));
    }
    if (!ok) {
        cursor->release();
        return nullptr;
    }
    return cursor;
}

OdbcBlockCursor::~OdbcBlockCursor()
{
    release();
}

bool OdbcBlockCursor::setBlockRows(int rows)
{
    rows = std::clamp(rows, 1, m_capacity);
    const SQLRETURN rc = SQLSetStmtAttr(m_statement, SQL_ATTR_ROW_ARRAY_SIZE,
                                        reinterpret_cast<SQLPOINTER>(static_cast<std::uintptr_t>(rows)), 0);
    if (!SQL_SUCCEEDED(rc))
        return false;
    if (rc == SQL_SUCCESS_WITH_INFO) {
        // The driver put another value in place of ours (01S02): take it, within the arrays.
        SQLULEN actual = 0;
        if (!SQL_SUCCEEDED(SQLGetStmtAttr(m_statement, SQL_ATTR_ROW_ARRAY_SIZE, &actual, 0, nullptr)) || actual < 1
            || actual > SQLULEN(m_capacity))
            return false;
        rows = int(actual);
    }
    m_blockRows = rows;
    return true;
}

short OdbcBlockCursor::fetch()
{
    m_fetched = 0;
    if (!m_bound)
        return SQL_NO_DATA;
    m_fetchedCount = 0;
    const auto start = std::chrono::steady_clock::now();
    const SQLRETURN rc = SQLFetch(m_statement);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    if (!SQL_SUCCEEDED(rc))
        return rc;
    m_fetched = int(std::min<std::uint64_t>(m_fetchedCount, std::uint64_t(m_blockRows)));
    if (m_fetched == m_blockRows) {
        if (elapsed < QuickFetch && m_blockRows < m_capacity)
            setBlockRows(m_blockRows * 2);
        else if (elapsed > SlowFetch && m_blockRows > 1)
            setBlockRows(m_blockRows / 2);
    }
    return rc;
}

bool OdbcBlockCursor::rowFailed(int row) const
{
    return m_status[std::size_t(row)] == SQL_ROW_ERROR;
}

namespace {

/** The decimal text the driver would give, made here without a per-value printf. */
void putDecimal(SQLBIGINT number, QString& out)
{
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
    out.resize(qsizetype(end - digits));
    char16_t* text = reinterpret_cast<char16_t*>(out.data());
    for (const char* d = digits; d != end; ++d)
        *text++ = char16_t(*d);
}

/** The driver's own text: "yyyy-mm-dd hh:mm:ss", then a point and `digits` digits of the fraction when above 0. */
void putTimestamp(const SQL_TIMESTAMP_STRUCT& t, int digits, QString& out)
{
    out.resize(19 + (digits > 0 ? digits + 1 : 0));
    char16_t* p = reinterpret_cast<char16_t*>(out.data());
    const auto put = [&p](unsigned number, int width) {
        for (int i = width - 1; i >= 0; --i, number /= 10)
            p[i] = char16_t(u'0' + number % 10);
        p += width;
    };
    put(unsigned(t.year), 4);
    *p++ = u'-';
    put(t.month, 2);
    *p++ = u'-';
    put(t.day, 2);
    *p++ = u' ';
    put(t.hour, 2);
    *p++ = u':';
    put(t.minute, 2);
    *p++ = u':';
    put(t.second, 2);
    if (digits > 0) {
        *p++ = u'.';
        unsigned fraction = t.fraction; // nanoseconds
        for (int i = digits; i < 9; ++i)
            fraction /= 10;
        put(fraction, digits);
    }
}

} // namespace

bool OdbcBlockCursor::read(int column, int row, FieldValue& out) const
{
    using Kind = FieldValue::Kind;
    const Column& c = m_columns[std::size_t(column)];
    const SQLLEN indicator = c.indicators[std::size_t(row)];
    const char* value = c.data.get() + c.bytes * std::size_t(row);
    out.number = 0;
    if (indicator == SQL_NULL_DATA) {
        out.kind = Kind::Null;
        out.singlePrecision = false;
        out.text.resize(0);
        out.bytes.resize(0);
        return true;
    }
    out.kind = c.shape.kind;
    out.singlePrecision = c.shape.singlePrecision;
    switch (c.cType) {
    case SQL_C_FLOAT: {
        SQLREAL number = 0;
        std::memcpy(&number, value, sizeof number);
        out.number = double(number);
        return true;
    }
    case SQL_C_DOUBLE:
        std::memcpy(&out.number, value, sizeof out.number);
        return true;
    case SQL_C_SBIGINT: {
        SQLBIGINT number = 0;
        std::memcpy(&number, value, sizeof number);
        putDecimal(number, out.text);
        return true;
    }
    case SQL_C_TYPE_TIMESTAMP: {
        SQL_TIMESTAMP_STRUCT t;
        std::memcpy(&t, value, sizeof t);
        putTimestamp(t, timestampDigits(c.shape.size), out.text);
        return true;
    }
    case SQL_C_BIT:
        out.text.resize(1);
        out.text[0] = *value ? u'1' : u'0';
        return true;
    case SQL_C_BINARY:
        if (indicator < 0 || std::size_t(indicator) > c.bytes)
            return false;
        out.bytes.resize(qsizetype(indicator));
        std::memcpy(out.bytes.data(), value, std::size_t(indicator));
        return true;
    default: {
        if (indicator < 0 || std::size_t(indicator) > c.bytes - sizeof(SQLWCHAR))
            return false;
        const auto length = qsizetype(indicator) / qsizetype(sizeof(SQLWCHAR));
        out.text.resize(length);
        std::memcpy(out.text.data(), value, std::size_t(length) * sizeof(SQLWCHAR));
        if (out.kind == Kind::IsoDateTime || out.kind == Kind::DateTime)
            padIsoYear(out.text);
        return true;
    }
    }
}

void OdbcBlockCursor::release() noexcept
{
    if (!m_bound)
        return;
    m_bound = false;
    SQLFreeStmt(m_statement, SQL_UNBIND);
    SQLSetStmtAttr(m_statement, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(std::uintptr_t(1)), 0);
    SQLSetStmtAttr(m_statement, SQL_ATTR_ROWS_FETCHED_PTR, nullptr, 0);
    SQLSetStmtAttr(m_statement, SQL_ATTR_ROW_STATUS_PTR, nullptr, 0);
}
