#include "OdbcTypes.h"

#include <sql.h>
#include <sqlext.h>

using namespace Qt::Literals::StringLiterals;

namespace {
// SQL Server's own ODBC types, which FreeTDS reports as Microsoft's driver does.
constexpr int SqlSsVariant = -150;
constexpr int SqlSsUdt = -151;
constexpr int SqlSsXml = -152;
constexpr int SqlSsTime2 = -154;
constexpr int SqlSsTimestampOffset = -155;
} // namespace

OdbcColumnKind odbcColumnKind(int sqlType, const QString& typeName, int decimalDigits)
{
    using Kind = FieldValue::Kind;
    switch (sqlType) {
    case SQL_TINYINT:
    case SQL_SMALLINT:
    case SQL_INTEGER:
    case SQL_BIGINT:
        return {Kind::Integer};
    case SQL_DECIMAL:
    case SQL_NUMERIC: // money and smallmoney arrive as decimal
        return {Kind::ExactNumeric};
    case SQL_FLOAT: // ODBC's FLOAT is double precision
    case SQL_DOUBLE:
        return {Kind::ApproxNumeric};
    case SQL_REAL:
        return {Kind::ApproxNumeric, true};
    case SQL_BIT:
        return {Kind::Bit};
    case SQL_TYPE_TIMESTAMP:
    case SQL_TIMESTAMP: {
        // datetime, smalldatetime and datetime2 all arrive as SQL_TYPE_TIMESTAMP; only the type name tells them
        // apart ("datetime", "smalldatetime", "datetime2"). Without a name, a column with more than the 3 fraction
        // digits of datetime can only be datetime2.
        const QString name = typeName.trimmed().toLower();
        if (name == u"datetime"_s || name == u"smalldatetime"_s)
            return {Kind::DateTime};
        if (name.startsWith(u"datetime2"_s))
            return {Kind::IsoDateTime};
        return {decimalDigits > 3 ? Kind::IsoDateTime : Kind::DateTime};
    }
    case SQL_TYPE_DATE:
    case SQL_TYPE_TIME:
    case SQL_DATE: // also SQL_DATETIME, the verbose type of every date and time type
    case SQL_TIME:
    case SqlSsTime2:
    case SqlSsTimestampOffset:
        return {Kind::IsoDateTime};
    case SQL_GUID:
        return {Kind::Guid};
    case SQL_BINARY:
    case SQL_VARBINARY:
    case SQL_LONGVARBINARY:
    case SqlSsUdt: // CLR types (geography, hierarchyid) travel as their serialised bytes
        return {Kind::Binary};
    case SQL_CHAR:
    case SQL_VARCHAR:
    case SQL_LONGVARCHAR:
    case SQL_WCHAR:
    case SQL_WVARCHAR:
    case SQL_WLONGVARCHAR:
    case SqlSsXml:
    case SqlSsVariant:
    default:
        return {Kind::Text};
    }
}

void padIsoYear(QString& text)
{
    const qsizetype dash = text.indexOf(u'-');
    if (dash > 0 && dash < 4)
        text.insert(0, QString(4 - dash, u'0'));
}
