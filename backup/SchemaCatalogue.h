#pragma once

#include <QString>
#include <QStringList>

#include <map>
#include <optional>
#include <set>
#include <vector>

class Connection;

/** The objects of the complete schema, as the server's catalogue describes them (sys.* views). */
namespace SchemaModel {

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
    int id = 0;
    QString name;
    QString type; ///< the column's own type name (a system type or an alias type)
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
    QString defaultDefinition;

    /** rowversion (timestamp) columns take no value in an INSERT. */
    bool rowVersion() const;
};

struct Table
{
    qint64 id = 0;
    QString schema;
    QString name;
    std::vector<Column> columns;

    const Column* identityColumn() const;
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
