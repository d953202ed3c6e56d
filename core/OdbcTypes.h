#pragma once

#include "DataAccess.h"

#include <QString>

/** How a result column is read: the kind of its values and, for approximate numbers, whether it is single precision. */
struct OdbcColumnKind
{
    FieldValue::Kind kind = FieldValue::Kind::Text;
    bool singlePrecision = false;
};

/**
 * The value kind of a column from what SQLDescribeColW and SQLColAttributeW(SQL_DESC_TYPE_NAME) report: its SQL type
 * number (ODBC's and SQL Server's own: -150 sql_variant, -151 CLR types, -152 xml, -154 time, -155 datetimeoffset),
 * its type name and its decimal digits. Unknown types are text; no type is refused.
 */
OdbcColumnKind odbcColumnKind(int sqlType, const QString& typeName, int decimalDigits);

/**
 * Pads the year of a date text to four digits: the driver writes years before 1000 without leading zeros ("1-01-01"
 * for 0001-01-01), which the server would read back as another date; ISO dates always carry four year digits.
 */
void padIsoYear(QString& text);
