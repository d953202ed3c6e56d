#pragma once

#include <QString>

#include <optional>
#include <vector>

class Connection;
class RecordSet;

/** A rowversion (timestamp) column's type: the server fills the column, an INSERT gives it no value. */
bool isRowVersionType(const QString& dataType);

/** One column of a table as the catalogue describes it. */
struct CatalogueColumn
{
    QString name;
    int ordinal = 0; ///< ORDINAL_POSITION, 1 first: the order of `SELECT *`
    QString dataType; ///< DATA_TYPE as the server reports it ("int", "nvarchar", "timestamp")
    std::optional<qint64> maxLength; ///< CHARACTER_MAXIMUM_LENGTH; -1 for "(max)"; none is NULL
    std::optional<int> precision; ///< NUMERIC_PRECISION
    std::optional<int> scale; ///< NUMERIC_SCALE
    std::optional<int> datetimePrecision; ///< DATETIME_PRECISION: fractional digits of time, datetime2, ...
    bool nullable = true; ///< IS_NULLABLE = 'YES'
    QString collation; ///< COLLATION_NAME; empty for types without one
    QString defaultDefinition; ///< COLUMN_DEFAULT as stored ("((0))"); empty when the column has no default
    bool rowVersion = false; ///< isRowVersionType(dataType)
};

/** One entry of the server's table list, with its columns in ordinal order. */
struct CatalogueTable
{
    QString schema; ///< the owning schema; "dbo" when the table list names none
    QString name;
    QString type; ///< TABLE_TYPE of the table list: "TABLE", "VIEW", "SYSTEM TABLE", ...
    std::vector<CatalogueColumn> columns;

    bool inDbo() const { return schema == QStringLiteral("dbo"); }
};

/**
 * The catalogue of one database, read once, inside the dump's snapshot, with a fixed number of queries: the table list
 * (in the order the server's own table list gives: by type, then schema and name in the database's collation) and one
 * query for the columns of every table. Everything that writes a script reads this model; nothing else asks the server
 * about tables and columns.
 */
class Catalogue
{
public:
    /** The query for the table list: tables before views, each by schema and name, sorted by the server. */
    static QString tablesQuery();
    /** The query for every column of the database; `ORDINAL_POSITION` orders them within a table. */
    static QString columnsQuery();

    /** Reads the table list into `tables`, columns empty; throws DbError when the list or a row cannot be read. */
    void readTableList(Connection& connection);
    /** Reads the columns of every table with one query; throws DbError when it fails (the tables stay without). */
    void readColumns(Connection& connection);

    /** The table of that schema and name: the exact name first, else one that differs only in letter case. */
    CatalogueTable* find(const QString& schema, const QString& name);

    /** The schemas other than dbo that hold a table of type "TABLE", in the order of their first table. */
    std::vector<QString> otherSchemas() const;

    std::vector<CatalogueTable> tables; ///< in the order of the server's table list
};
