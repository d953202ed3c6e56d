#include "OdbcProbe.h"

#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

#include <vector>

using namespace Qt::Literals::StringLiterals;

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "unixODBC's SQLWCHAR is UTF-16");

namespace {

std::vector<SQLWCHAR> wide(const QString& text)
{
    std::vector<SQLWCHAR> out(size_t(text.size()) + 1, 0);
    for (qsizetype i = 0; i < text.size(); ++i)
        out[size_t(i)] = text.at(i).unicode();
    return out;
}

QString fromWide(const SQLWCHAR* text, qsizetype length)
{
    return QString(reinterpret_cast<const QChar*>(text), length);
}

bool ok(SQLRETURN rc)
{
    return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}

} // namespace

OdbcProbe::OdbcProbe()
{
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &m_env);
    SQLSetEnvAttr(m_env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, m_env, &m_dbc);
}

OdbcProbe::~OdbcProbe()
{
    disconnect();
    SQLFreeHandle(SQL_HANDLE_DBC, m_dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, m_env);
}

void OdbcProbe::collect(short handleType, void* handle, bool isError)
{
    for (SQLSMALLINT record = 1;; ++record) {
        SQLWCHAR state[6] = {};
        SQLINTEGER native = 0;
        SQLWCHAR text[2048] = {};
        SQLSMALLINT length = 0;
        const SQLRETURN rc = SQLGetDiagRecW(handleType, handle, record, state, &native, text, 2048, &length);
        if (!ok(rc))
            break;
        const QString message = fromWide(text, qMin<qsizetype>(length, 2047));
        if (isError && m_error.isEmpty())
            m_error = message;
        else
            m_infos.append(message);
    }
}

bool OdbcProbe::connect(const QString& connectionString, int loginTimeoutSeconds)
{
    m_error.clear();
    m_infos.clear();
    SQLSetConnectAttr(m_dbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(SQLULEN(loginTimeoutSeconds)),
                      SQL_IS_UINTEGER);
    auto text = wide(connectionString);
    SQLWCHAR out[1024];
    SQLSMALLINT outLength = 0;
    const SQLRETURN rc
        = SQLDriverConnectW(m_dbc, nullptr, text.data(), SQL_NTS, out, 1024, &outLength, SQL_DRIVER_NOPROMPT);
    collect(SQL_HANDLE_DBC, m_dbc, !ok(rc));
    m_connected = ok(rc);
    if (!m_connected && m_error.isEmpty())
        m_error = u"connect failed"_s;
    return m_connected;
}

void OdbcProbe::disconnect()
{
    if (m_connected)
        SQLDisconnect(m_dbc);
    m_connected = false;
}

bool OdbcProbe::readResults(void* statement, short rc, QList<Result>& results)
{
    for (;;) {
        collect(SQL_HANDLE_STMT, statement, !ok(rc) && rc != SQL_NO_DATA);
        if (!ok(rc))
            return rc == SQL_NO_DATA;
        SQLSMALLINT columns = 0;
        SQLNumResultCols(statement, &columns);
        if (columns > 0) {
            Result result;
            std::vector<SQLSMALLINT> types;
            for (SQLSMALLINT c = 1; c <= columns; ++c) {
                SQLWCHAR name[256];
                SQLSMALLINT nameLength = 0;
                SQLSMALLINT type = 0;
                SQLULEN size = 0;
                SQLSMALLINT digits = 0;
                SQLSMALLINT nullable = 0;
                SQLDescribeColW(statement, c, name, 256, &nameLength, &type, &size, &digits, &nullable);
                result.columns.append(fromWide(name, nameLength));
                types.push_back(type);
            }
            for (;;) {
                const SQLRETURN fetched = SQLFetch(statement);
                if (fetched == SQL_NO_DATA)
                    break;
                if (!ok(fetched)) {
                    collect(SQL_HANDLE_STMT, statement, true);
                    return false;
                }
                QVariantList row;
                for (SQLSMALLINT c = 1; c <= columns; ++c) {
                    const SQLSMALLINT type = types[size_t(c - 1)];
                    const bool binary = type == SQL_BINARY || type == SQL_VARBINARY || type == SQL_LONGVARBINARY;
                    QByteArray bytes;
                    bool isNull = false;
                    for (;;) {
                        char buffer[8192];
                        SQLLEN indicator = 0;
                        const SQLRETURN got = SQLGetData(statement, c, binary ? SQL_C_BINARY : SQL_C_WCHAR, buffer,
                                                         sizeof buffer, &indicator);
                        if (got == SQL_NO_DATA)
                            break;
                        if (!ok(got)) {
                            collect(SQL_HANDLE_STMT, statement, true);
                            return false;
                        }
                        if (indicator == SQL_NULL_DATA) {
                            isNull = true;
                            break;
                        }
                        const qsizetype room = binary ? qsizetype(sizeof buffer) : qsizetype(sizeof buffer) - 2;
                        const qsizetype piece
                            = indicator == SQL_NO_TOTAL || indicator > room ? room : qsizetype(indicator);
                        bytes.append(buffer, piece);
                        if (got == SQL_SUCCESS)
                            break;
                    }
                    if (isNull)
                        row.append(QVariant());
                    else if (binary)
                        row.append(bytes);
                    else
                        row.append(QString(reinterpret_cast<const QChar*>(bytes.constData()), bytes.size() / 2));
                }
                result.rows.append(row);
            }
            results.append(result);
        }
        SQLLEN count = -1;
        SQLRowCount(statement, &count);
        if (!results.isEmpty())
            results.last().rowCount = count;
        rc = SQLMoreResults(statement);
    }
}

bool OdbcProbe::execute(const QString& text, QList<Result>& results)
{
    m_error.clear();
    m_infos.clear();
    SQLHSTMT statement = nullptr;
    if (!ok(SQLAllocHandle(SQL_HANDLE_STMT, m_dbc, &statement))) {
        m_error = u"no statement handle"_s;
        return false;
    }
    auto command = wide(text);
    const SQLRETURN rc = SQLExecDirectW(statement, command.data(), SQLINTEGER(text.size()));
    const bool done = readResults(statement, rc, results);
    SQLFreeHandle(SQL_HANDLE_STMT, statement);
    return done;
}

bool OdbcProbe::tables(Result& result)
{
    m_error.clear();
    m_infos.clear();
    SQLHSTMT statement = nullptr;
    SQLAllocHandle(SQL_HANDLE_STMT, m_dbc, &statement);
    const SQLRETURN rc = SQLTablesW(statement, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0);
    QList<Result> results;
    const bool done = readResults(statement, rc, results);
    SQLFreeHandle(SQL_HANDLE_STMT, statement);
    if (done && !results.isEmpty())
        result = results.first();
    return done && !results.isEmpty();
}

bool OdbcProbe::fetchThenCancel(const QString& text, int rows)
{
    m_error.clear();
    SQLHSTMT statement = nullptr;
    SQLAllocHandle(SQL_HANDLE_STMT, m_dbc, &statement);
    auto command = wide(text);
    bool done = ok(SQLExecDirectW(statement, command.data(), SQLINTEGER(text.size())));
    for (int i = 0; done && i < rows; ++i)
        done = ok(SQLFetch(statement));
    if (!done)
        collect(SQL_HANDLE_STMT, statement, true);
    done = ok(SQLCancel(statement)) && done;
    SQLFreeHandle(SQL_HANDLE_STMT, statement);
    return done;
}
