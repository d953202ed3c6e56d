#pragma once

#include <QString>
#include <QStringList>

#include <map>
#include <optional>
#include <set>
#include <vector>

class Connection;

/**
 * The catalogue of one database: its tables and columns, and for the complete schema every other object, as the
 * server's catalogue describes them. Both script formats walk this one model; each reads it with its own queries
 * (the default format from information_schema, the complete schema from the sys.* views), which give the names and
 * the types' sizes their own way, one reading function per kind of object.
 */
namespace SchemaModel {

/** A rowversion (timestamp) column's type: the server fills the column, an INSERT gives it no value. */
bool isRowVersionType(const QString& dataType);

struct AliasType
{
    QString schema;
    QString name;
    QString baseType; ///< the system type it is made from ("nvarchar")
    int maxLength = 0; ///< in bytes, as sys.types gives it; -1 for "(max)"
    int precision = 0;
    int scale = 0;
    bool nullable = true;
};

struct Sequence
{
    QString schema;
    QString name;
    QString type; ///< "int", "bigint", "decimal", ... or an alias type's name
    int precision = 0;
    int scale = 0;
    QString start;
    QString increment;
    QString minimum;
    QString maximum;
    QString current; ///< the value the server gave last (its start value while none was given)
    bool cycling = false;
    std::optional<int> cacheSize; ///< none: NO CACHE; 0: CACHE with the server's default size
};

struct Column
{
    int id = 0; ///< column_id, or ORDINAL_POSITION (1 first) in information_schema: the order of `SELECT *`
    QString name;
    QString type; ///< the column's own type name (a system type or an alias type); DATA_TYPE in information_schema
    QString typeSchema; ///< the schema of an alias type; empty for system types
    bool aliasType = false;
    int maxLength = 0; ///< bytes; -1 for "(max)"
    int precision = 0;
    int scale = 0;
    bool nullable = true;
    bool identity = false;
    QString identitySeed;
    QString identityIncrement;
    std::optional<QString> identityLast; ///< the last identity value given; none when none was
    bool computed = false;
    QString computedDefinition;
    bool persisted = false;
    QString collation;
    bool hasDefault = false; ///< the column has a default constraint (its name and definition follow)
    QString defaultName;
    QString defaultDefinition; ///< as stored ("((0))"); empty when the column has no default

    /**
     * The type's sizes as information_schema gives them, which the default format writes (the complete schema writes
     * the sizes of sys.columns above); none where the view gives NULL.
     */
    std::optional<qint64> characterLength; ///< CHARACTER_MAXIMUM_LENGTH, in characters; -1 for "(max)"
    std::optional<int> numericPrecision; ///< NUMERIC_PRECISION
    std::optional<int> numericScale; ///< NUMERIC_SCALE

    /** rowversion (timestamp) columns take no value in an INSERT. */
    bool rowVersion() const;
};

struct Table
{
    qint64 id = 0;
    QString schema; ///< the owning schema; "dbo" when information_schema names none
    QString name;
    std::vector<Column> columns; ///< in the order of `SELECT *`
    QString type = QStringLiteral("TABLE"); ///< "TABLE", "VIEW", "SYSTEM TABLE" (information_schema's table list)

    const Column* identityColumn() const;
    bool inDbo() const { return schema == QStringLiteral("dbo"); }
};

struct IndexColumn
{
    QString name;
    bool descending = false;
};

/** A primary key, unique constraint or index of a table (clustered or not). */
struct Index
{
    qint64 tableId = 0;
    int id = 0;
    QString name;
    bool clustered = false;
    bool unique = false;
    bool primaryKey = false;
    bool uniqueConstraint = false;
    bool disabled = false;
    QString filter; ///< the WHERE of a filtered index, as stored
    std::vector<IndexColumn> keys;
    QStringList included;
};

struct Check
{
    qint64 tableId = 0;
    QString name;
    QString definition;
    bool disabled = false;
    bool notTrusted = false;
};

struct ForeignKey
{
    qint64 id = 0;
    qint64 tableId = 0;
    qint64 referencedTableId = 0;
    QString name;
    QStringList columns;
    QStringList referencedColumns;
    int onDelete = 0; ///< sys.foreign_keys' action numbers: 0 no action, 1 cascade, 2 set null, 3 set default
    int onUpdate = 0;
    bool disabled = false;
    bool notTrusted = false;
    bool notForReplication = false;
};

/** A view, function, procedure or trigger, with its stored text. */
struct Module
{
    qint64 id = 0;
    QString schema;
    QString name;
    QString type; ///< sys.objects.type, trimmed: V, FN, IF, TF, P, TR
    qint64 parentId = 0; ///< a trigger's table
    QString definition;
    bool ansiNulls = true;
    bool quotedIdentifier = true;
    bool disabled = false; ///< a trigger that does not fire

    bool isTrigger() const { return type == QStringLiteral("TR"); }
};

/** How many objects of one kind the complete schema does not write. */
struct Unscripted
{
    QString singular;
    QString plural;
    qint64 count = 0;
};

struct Database
{
    QString collation;
    QStringList schemas; ///< other than dbo and the system's own, in the order they were made
    std::vector<AliasType> aliasTypes;
    std::vector<Sequence> sequences;
    std::vector<Table> tables; ///< by schema and name
    std::vector<Index> indexes; ///< by table and index number
    std::vector<Check> checks;
    std::vector<ForeignKey> foreignKeys;
    std::vector<Module> modules; ///< views, functions and procedures in an order that creates each after its needs
    std::vector<Module> triggers; ///< in the order they were made
    std::vector<Unscripted> unscripted;

    const Table* table(qint64 id) const;
    /** "2 synonyms, 1 full-text index"; empty when everything is written. */
    QString unscriptedText() const;
};

/**
 * Orders modules so that each comes after the modules it depends on (pairs of referencing and referenced ids); the
 * given order (the order the modules were made) decides wherever the dependencies do not, and a cycle is broken in it.
 */
std::vector<Module> dependencyOrder(std::vector<Module> modules, const std::vector<std::pair<qint64, qint64>>& uses);

/** The tables, by id, whose columns need more than sys.columns gives: identity, computed or default details. */
struct ColumnDetails
{
    std::vector<qint64> identity;
    std::vector<qint64> computed;
    std::vector<qint64> defaults;
};

/** Which tables the identity, computed and default queries ask about (each query only when its list is not empty). */
ColumnDetails columnDetails(const std::vector<Table>& tables);

/** The default format's table list: tables before views, each by schema and name, sorted by the server. */
QString tableListQuery();
/** The default format's columns of every table in one query; `ORDINAL_POSITION` orders them within a table. */
QString listedColumnsQuery();

/**
 * The default format's table list from information_schema.TABLES, in the order the server sorts it (by type, then
 * schema and name in the database's collation), the names as that view gives them, without columns. Throws DbError
 * when the list or a row cannot be read.
 */
std::vector<Table> readTableList(Connection& connection);
/**
 * The columns of every listed table, read with one query from information_schema.COLUMNS, in ordinal order. Throws
 * DbError when it fails (the tables stay without).
 */
void readListedColumns(Connection& connection, std::vector<Table>& tables);

/** The table of that schema and name: the exact name first, else one that differs only in letter case. */
Table* findTable(std::vector<Table>& tables, const QString& schema, const QString& name);
/** The schemas other than dbo that hold a table of type "TABLE", in the order of their first table. */
std::vector<QString> otherSchemas(const std::vector<Table>& tables);

/** The folders of a database's data and log files, each with its trailing separator. */
struct FileFolders
{
    QString data;
    QString log;
};

/**
 * The folders in which the server keeps the connection's database's data and log files, for the CREATE DATABASE of
 * the script. Older servers without sys.database_files answer from sysfiles; when neither tells (or there is no
 * connection), the fixed folder stands. Never throws.
 */
FileFolders readFileFolders(Connection* connection);

/** How many objects of each type sys.objects holds (user objects only), and how many of them belong to no table. */
struct Census
{
    std::map<QString, std::pair<qint64, qint64>> byType; ///< type: (all, those without a parent)

    qint64 count(const QStringList& types) const;
    qint64 topLevel(const QString& type) const;
    bool has(const QStringList& types) const { return count(types) > 0; }
};

/** What the overview tells the read of the objects after the data: which kinds of object there are at all. */
struct Overview
{
    std::set<QString> presentViews; ///< the catalogue views, of those a server may lack, that this one has
    Census census;
    bool sequencesRead = false;
};

/*
 * The complete schema in three parts, so that two connections can share them (SchemaReader); readDatabase reads all
 * three on one. Each part throws the server's error when a query every server answers fails.
 */

/** What the rows need: the schemas, the alias types, the tables and their columns with every column detail. */
void readTableDefinitions(Connection& connection, Database& db);

/**
 * The rest of what the script writes before the rows: the database's collation, the sequences and the counts of what
 * is not written; with the census that the objects after the data are asked by.
 */
Overview readOverview(Connection& connection, Database& db);

/**
 * What the script writes after the rows: indexes, checks, foreign keys, modules and triggers, of every user table;
 * takeAfterData keeps those of the tables that are written, in their order.
 */
void readAfterData(Connection& connection, const Overview& overview, Database& db);

/** Moves the parts that readOverview read from `from` into `into`. */
void takeOverview(Database& into, Database&& from);

/** Moves the parts that readAfterData read from `from` into `into`, for the tables of `into`, by table. */
void takeAfterData(Database& into, Database&& from);

/**
 * Reads the whole complete schema of the connection's database with a fixed number of queries. Throws the server's
 * error when a query every server answers fails; a view that a server does not have (sys.sequences on older ones)
 * counts its objects as not written instead.
 */
Database readDatabase(Connection& connection);

} // namespace SchemaModel
