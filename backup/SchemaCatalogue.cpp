#include "SchemaCatalogue.h"

#include "DataAccess.h"
#include "ScriptText.h"

#include <QHash>

#include <algorithm>
#include <functional>
#include <map>
#include <set>

using namespace Qt::Literals::StringLiterals;

namespace SchemaModel {

bool isRowVersionType(const QString& dataType)
{
    return dataType.compare(u"timestamp"_s, Qt::CaseInsensitive) == 0
        || dataType.compare(u"rowversion"_s, Qt::CaseInsensitive) == 0;
}

bool Column::rowVersion() const
{
    return !aliasType && isRowVersionType(type);
}

const Column* Table::identityColumn() const
{
    for (const Column& column : columns) {
        if (column.identity)
            return &column;
    }
    return nullptr;
}

const Table* Database::table(qint64 id) const
{
    for (const Table& t : tables) {
        if (t.id == id)
            return &t;
    }
    return nullptr;
}

QString Database::unscriptedText() const
{
    QStringList parts;
    for (const Unscripted& kind : unscripted) {
        if (kind.count > 0)
            parts << QString::number(kind.count) + u' ' + (kind.count == 1 ? kind.singular : kind.plural);
    }
    return parts.join(u", "_s);
}

std::vector<Module> dependencyOrder(std::vector<Module> modules, const std::vector<std::pair<qint64, qint64>>& uses)
{
    std::map<qint64, std::size_t> position;
    for (std::size_t i = 0; i < modules.size(); ++i)
        position.emplace(modules[i].id, i);
    std::vector<std::set<std::size_t>> needs(modules.size());
    for (const auto& [referencing, referenced] : uses) {
        const auto from = position.find(referencing);
        const auto to = position.find(referenced);
        if (from != position.end() && to != position.end() && from->second != to->second)
            needs[from->second].insert(to->second);
    }
    // Depth first in the given order: a module is written once everything it needs is; a module met again while its
    // own needs are being written (a cycle) is written where the given order has it.
    std::vector<int> state(modules.size(), 0); // 0 not yet, 1 in progress, 2 written
    std::vector<Module> ordered;
    ordered.reserve(modules.size());
    const std::function<void(std::size_t)> visit = [&](std::size_t i) {
        if (state[i] != 0)
            return;
        state[i] = 1;
        for (const std::size_t need : needs[i])
            visit(need);
        state[i] = 2;
        ordered.push_back(modules[i]);
    };
    for (std::size_t i = 0; i < modules.size(); ++i)
        visit(i);
    return ordered;
}

qint64 Census::count(const QStringList& types) const
{
    qint64 n = 0;
    for (const QString& type : types) {
        if (const auto at = byType.find(type); at != byType.end())
            n += at->second.first;
    }
    return n;
}

qint64 Census::topLevel(const QString& type) const
{
    const auto at = byType.find(type);
    return at == byType.end() ? 0 : at->second.second;
}

ColumnDetails columnDetails(const std::vector<Table>& tables)
{
    ColumnDetails details;
    for (const Table& table : tables) {
        const auto any = [&](bool Column::*flagged) {
            return std::any_of(table.columns.begin(), table.columns.end(), [&](const Column& c) { return c.*flagged; });
        };
        if (any(&Column::identity))
            details.identity.push_back(table.id);
        if (any(&Column::computed))
            details.computed.push_back(table.id);
        if (any(&Column::hasDefault))
            details.defaults.push_back(table.id);
    }
    return details;
}

namespace {

/** Walks every row of a query; the callback reads the current row's fields by number. */
void eachRow(Connection& connection, const QString& query, const std::function<void(RecordSet&)>& row)
{
    const std::unique_ptr<RecordSet> result = connection.Execute(query);
    while (!result->Eof()) {
        row(*result);
        result->MoveNext();
    }
    result->Close();
}

QString text(RecordSet& rs, int i)
{
    return rs.Fields(i).text;
}

qint64 number(RecordSet& rs, int i)
{
    return rs.Fields(i).text.trimmed().toLongLong();
}

bool flag(RecordSet& rs, int i)
{
    const QString t = rs.Fields(i).text.trimmed();
    return t == u"1"_s || t.compare(u"true"_s, Qt::CaseInsensitive) == 0;
}

std::optional<QString> optionalText(RecordSet& rs, int i)
{
    const FieldValue& value = rs.Fields(i);
    return value.isNull() ? std::nullopt : std::optional<QString>(value.text.trimmed());
}

std::optional<qint64> optionalNumber(RecordSet& rs, int i)
{
    const FieldValue& value = rs.Fields(i);
    if (value.isNull())
        return std::nullopt;
    bool ok = false;
    const qint64 n = value.text.trimmed().toLongLong(&ok);
    return ok ? std::optional<qint64>(n) : std::nullopt;
}

std::optional<int> optionalInt(RecordSet& rs, int i)
{
    const std::optional<qint64> n = optionalNumber(rs, i);
    return n ? std::optional<int>(int(*n)) : std::nullopt;
}

QString tableKey(const QString& schema, const QString& name)
{
    return schema + u'\x1f' + name;
}

/** Rows of (path, type) where type 0 is the data file and 1 the log; the first of each kind wins. */
void readFolders(Connection& connection, const QString& query, FileFolders& folders, bool statusBits)
{
    eachRow(connection, query, [&](RecordSet& files) {
        const QString path = files.Fields(0).text.trimmed();
        int type = files.Fields(1).text.trimmed().toInt();
        if (statusBits)
            type = (type & 0x40) ? 1 : 0; // sysfiles marks the log file with status bit 0x40
        QString& folder = type == 1 ? folders.log : folders.data;
        if (folder.isEmpty() && (type == 0 || type == 1))
            folder = ScriptText::folderOf(path);
    });
}

} // namespace

// The default format's catalogue (information_schema) and the database's files. The complete schema's readers follow.

QString tableListQuery()
{
    return u"SELECT TABLE_SCHEMA, TABLE_NAME, TABLE_TYPE FROM information_schema.TABLES "
           u"ORDER BY TABLE_TYPE, TABLE_SCHEMA, TABLE_NAME"_s;
}

QString listedColumnsQuery()
{
    return u"SELECT TABLE_SCHEMA, TABLE_NAME, COLUMN_NAME, ORDINAL_POSITION, DATA_TYPE, CHARACTER_MAXIMUM_LENGTH, "
           u"NUMERIC_PRECISION, NUMERIC_SCALE, DATETIME_PRECISION, IS_NULLABLE, COLLATION_NAME, COLUMN_DEFAULT "
           u"FROM information_schema.COLUMNS ORDER BY TABLE_SCHEMA, TABLE_NAME, ORDINAL_POSITION"_s;
}

std::vector<Table> readTableList(Connection& connection)
{
    // One catalogue query, where the ODBC table list (sp_tables) costs a procedure call that on some servers takes
    // longer than reading every column. Both sort on the server, in the database's collation, tables before views.
    std::vector<Table> tables;
    eachRow(connection, tableListQuery(), [&](RecordSet& rs) {
        Table table;
        table.schema = text(rs, 0);
        table.name = text(rs, 1);
        const QString type = text(rs, 2).trimmed();
        // information_schema says "BASE TABLE" where the ODBC table list says "TABLE".
        table.type = type.compare(u"BASE TABLE"_s, Qt::CaseInsensitive) == 0 ? u"TABLE"_s : type.toUpper();
        if (table.schema.isEmpty())
            table.schema = u"dbo"_s;
        tables.push_back(std::move(table));
    });
    return tables;
}

void readListedColumns(Connection& connection, std::vector<Table>& tables)
{
    QHash<QString, std::size_t> exact;
    QHash<QString, std::size_t> folded;
    for (std::size_t i = 0; i < tables.size(); ++i) {
        tables[i].columns.clear();
        exact.insert(tableKey(tables[i].schema, tables[i].name), i);
        folded.insert(tableKey(tables[i].schema, tables[i].name).toCaseFolded(), i);
    }
    eachRow(connection, listedColumnsQuery(), [&](RecordSet& rs) {
        const QString key = tableKey(text(rs, 0), text(rs, 1));
        // Some servers give the table list's names in another letter case than the column catalogue's.
        std::optional<std::size_t> index;
        if (const auto at = exact.constFind(key); at != exact.constEnd())
            index = *at;
        else if (const auto near = folded.constFind(key.toCaseFolded()); near != folded.constEnd())
            index = *near;
        if (!index)
            return;
        Column column;
        column.name = text(rs, 2);
        column.id = optionalInt(rs, 3).value_or(0);
        column.type = text(rs, 4);
        column.characterLength = optionalNumber(rs, 5);
        column.numericPrecision = optionalInt(rs, 6);
        column.numericScale = optionalInt(rs, 7);
        column.nullable = text(rs, 9).trimmed().compare(u"NO"_s, Qt::CaseInsensitive) != 0;
        column.collation = text(rs, 10);
        column.defaultDefinition = text(rs, 11);
        column.hasDefault = !column.defaultDefinition.isEmpty();
        tables[*index].columns.push_back(std::move(column));
    });
    // The order of the rows is the server's plan's; the order of a table's columns is their ordinal position.
    for (Table& table : tables)
        std::stable_sort(table.columns.begin(), table.columns.end(),
                         [](const Column& a, const Column& b) { return a.id < b.id; });
}

Table* findTable(std::vector<Table>& tables, const QString& schema, const QString& name)
{
    for (Table& table : tables) {
        if (table.schema == schema && table.name == name)
            return &table;
    }
    for (Table& table : tables) {
        if (table.schema.compare(schema, Qt::CaseInsensitive) == 0
            && table.name.compare(name, Qt::CaseInsensitive) == 0)
            return &table;
    }
    return nullptr;
}

std::vector<QString> otherSchemas(const std::vector<Table>& tables)
{
    std::vector<QString> schemas;
    for (const Table& table : tables) {
        if (table.type != u"TABLE"_s || table.inDbo())
            continue;
        if (std::find(schemas.begin(), schemas.end(), table.schema) == schemas.end())
            schemas.push_back(table.schema);
    }
    return schemas;
}

FileFolders readFileFolders(Connection* connection)
{
    FileFolders folders;
    if (connection) {
        try {
            readFolders(*connection, u"SELECT physical_name, type FROM sys.database_files"_s, folders, false);
        } catch (const std::exception&) {
            try {
                readFolders(*connection, u"SELECT filename, status FROM sysfiles"_s, folders, true);
            } catch (const std::exception&) {
                // The server cannot tell: the fixed folder is written, without a report.
            }
        }
    }
    const QString fixed = QString::fromLatin1(ScriptText::FixedFileFolder);
    if (folders.data.isEmpty())
        folders.data = fixed;
    if (folders.log.isEmpty())
        folders.log = fixed;
    return folders;
}

namespace {

/** The quoted two-part name of a table for IDENT_SEED and its kin, made by the server. */
const QString TwoPartName = u"QUOTENAME(SCHEMA_NAME(t.schema_id)) + '.' + QUOTENAME(t.name)"_s;

/** The user tables the complete schema writes (the design's trace tables stay out, as in the table blocks). */
const QString UserTableFilter = u"t.is_ms_shipped = 0 AND t.name NOT LIKE '%trace[_]xe%'"_s;
const QString UserTables = u"sys.tables t WHERE "_s + UserTableFilter;

/** The schemas every database has. */
const QString SystemSchemas
    = u"('dbo', 'guest', 'INFORMATION_SCHEMA', 'sys', 'db_owner', 'db_accessadmin', 'db_securityadmin', "
      u"'db_ddladmin', 'db_backupoperator', 'db_datareader', 'db_datawriter', 'db_denydatareader', "
      u"'db_denydatawriter')"_s;

const QStringList ModuleTypes = {u"V"_s, u"FN"_s, u"IF"_s, u"TF"_s, u"P"_s, u"TR"_s};

/**
 * Which of the catalogue views a server has, and the database's collation, asked in one query: a query of a view a
 * server does not have would fail, and inside the dump's transaction some servers end the transaction with it.
 */
std::set<QString> readCollationAndViews(Connection& connection, Database& db, const QStringList& views)
{
    QStringList tests = {u"(SELECT collation_name FROM sys.databases WHERE name = DB_NAME())"_s};
    for (const QString& view : views)
        tests << u"CASE WHEN OBJECT_ID('"_s + view + u"') IS NULL THEN 0 ELSE 1 END"_s;
    std::set<QString> present;
    eachRow(connection, u"SELECT "_s + tests.join(u", "_s), [&](RecordSet& rs) {
        db.collation = text(rs, 0).trimmed();
        for (int i = 0; i < int(views.size()); ++i) {
            if (flag(rs, i + 1))
                present.insert(views[i]);
        }
    });
    return present;
}

/** One scan of sys.objects tells which kinds of object the database has at all; the kinds it lacks are not asked. */
Census readCensus(Connection& connection)
{
    Census census;
    const QString topLevel = u"CASE WHEN parent_object_id = 0 THEN 1 ELSE 0 END"_s;
    eachRow(connection,
            u"SELECT type, "_s + topLevel + u", COUNT(*) FROM sys.objects WHERE is_ms_shipped = 0 GROUP BY type, "_s
                + topLevel,
            [&](RecordSet& rs) {
                auto& counts = census.byType[text(rs, 0).trimmed()];
                const qint64 n = number(rs, 2);
                counts.first += n;
                if (flag(rs, 1))
                    counts.second += n;
            });
    return census;
}

/** The schemas other than the system's own into db.schemas; returns every schema's name by its id. */
std::map<qint64, QString> readSchemas(Connection& connection, Database& db)
{
    std::map<qint64, QString> names;
    eachRow(connection,
            u"SELECT schema_id, name, CASE WHEN name IN "_s + SystemSchemas
                + u" THEN 1 ELSE 0 END FROM sys.schemas ORDER BY schema_id"_s,
            [&](RecordSet& rs) {
                names.emplace(number(rs, 0), text(rs, 1));
                if (!flag(rs, 2))
                    db.schemas << text(rs, 1);
            });
    return names;
}

/** A type of sys.types: a system type or an alias type. */
struct TypeEntry
{
    QString name;
    qint64 schemaId = 0;
    bool userDefined = false;
};

/**
 * Every type in one query, without TYPE_NAME and SCHEMA_NAME: the alias types go into db.aliasTypes; the entries by
 * user_type_id name the columns' types.
 */
std::map<qint64, TypeEntry> readTypes(Connection& connection, Database& db, const std::map<qint64, QString>& schemas)
{
    std::map<qint64, TypeEntry> types;
    std::vector<std::pair<qint64, AliasType>> aliases; // with the system type it is made from
    eachRow(connection,
            u"SELECT user_type_id, schema_id, name, system_type_id, is_user_defined, is_table_type, "
            u"is_assembly_type, max_length, precision, scale, is_nullable FROM sys.types ORDER BY user_type_id"_s,
            [&](RecordSet& rs) {
                const TypeEntry entry{text(rs, 2), number(rs, 1), flag(rs, 4)};
                types.emplace(number(rs, 0), entry);
                if (entry.userDefined && !flag(rs, 5) && !flag(rs, 6)) {
                    const auto schema = schemas.find(entry.schemaId);
                    aliases.emplace_back(number(rs, 3),
                                         AliasType{schema == schemas.end() ? QString() : schema->second, entry.name,
                                                   QString(), int(number(rs, 7)), int(number(rs, 8)),
                                                   int(number(rs, 9)), flag(rs, 10)});
                }
            });
    for (auto& [systemType, alias] : aliases) {
        if (const auto base = types.find(systemType); base != types.end())
            alias.baseType = base->second.name;
        db.aliasTypes.push_back(std::move(alias));
    }
    return types;
}

void readSequences(Connection& connection, Database& db)
{
    eachRow(connection,
            u"SELECT SCHEMA_NAME(s.schema_id), s.name, TYPE_NAME(s.user_type_id), s.precision, s.scale, "
            u"CONVERT(nvarchar(40), s.start_value), CONVERT(nvarchar(40), s.increment), "
            u"CONVERT(nvarchar(40), s.minimum_value), CONVERT(nvarchar(40), s.maximum_value), "
            u"CONVERT(nvarchar(40), s.current_value), s.is_cycling, s.is_cached, s.cache_size "
            u"FROM sys.sequences s ORDER BY s.object_id"_s,
            [&](RecordSet& rs) {
                Sequence s{text(rs, 0),           text(rs, 1),           text(rs, 2),           int(number(rs, 3)),
                           int(number(rs, 4)),    text(rs, 5).trimmed(), text(rs, 6).trimmed(), text(rs, 7).trimmed(),
                           text(rs, 8).trimmed(), text(rs, 9).trimmed(), flag(rs, 10),          std::nullopt};
                if (flag(rs, 11))
                    s.cacheSize = rs.Fields(12).isNull() ? 0 : int(number(rs, 12));
                db.sequences.push_back(std::move(s));
            });
}

/** The user tables by schema and name; returns where each table's id stands in db.tables. */
std::map<qint64, std::size_t> readTables(Connection& connection, Database& db)
{
    eachRow(connection,
            u"SELECT t.object_id, SCHEMA_NAME(t.schema_id), t.name FROM "_s + UserTables
                + u" ORDER BY SCHEMA_NAME(t.schema_id), t.name"_s,
            [&](RecordSet& rs) {
                db.tables.push_back(Table{number(rs, 0), text(rs, 1), text(rs, 2), {}});
            });
    std::map<qint64, std::size_t> tableAt;
    for (std::size_t i = 0; i < db.tables.size(); ++i)
        tableAt.emplace(db.tables[i].id, i);
    return tableAt;
}

/** The column of a table and column number, or none. */
Column* columnAt(Database& db, const std::map<qint64, std::size_t>& tableAt, qint64 tableId, int columnId)
{
    const auto at = tableAt.find(tableId);
    if (at == tableAt.end())
        return nullptr;
    for (Column& column : db.tables[at->second].columns) {
        if (column.id == columnId)
            return &column;
    }
    return nullptr;
}

/** "(1, 2, 3)": the ids of a query's IN list. */
QString idList(const std::vector<qint64>& ids)
{
    QStringList parts;
    for (const qint64 id : ids)
        parts << QString::number(id);
    return u'(' + parts.join(u", "_s) + u')';
}

/** Seed, increment and last value of the identity columns of those tables. */
void readIdentities(Connection& connection,
                    Database& db,
                    const std::map<qint64, std::size_t>& tableAt,
                    const std::vector<qint64>& tables)
{
    eachRow(connection,
            u"SELECT ic.object_id, ic.column_id, COALESCE(CONVERT(nvarchar(40), ic.seed_value), "
            u"CONVERT(nvarchar(40), IDENT_SEED("_s
                + TwoPartName + u"))), COALESCE(CONVERT(nvarchar(40), ic.increment_value), CONVERT(nvarchar(40), "_s
                + u"IDENT_INCR("_s + TwoPartName
                + u"))), CONVERT(nvarchar(40), ic.last_value) FROM sys.identity_columns ic "
                  u"JOIN sys.tables t ON t.object_id = ic.object_id WHERE ic.object_id IN "_s
                + idList(tables),
            [&](RecordSet& rs) {
                Column* column = columnAt(db, tableAt, number(rs, 0), int(number(rs, 1)));
                if (!column || !column->identity)
                    return;
                column->identitySeed = text(rs, 2).trimmed();
                column->identityIncrement = text(rs, 3).trimmed();
                column->identityLast = optionalText(rs, 4);
            });
}

void readComputed(Connection& connection,
                  Database& db,
                  const std::map<qint64, std::size_t>& tableAt,
                  const std::vector<qint64>& tables)
{
    eachRow(connection,
            u"SELECT object_id, column_id, definition, is_persisted FROM sys.computed_columns WHERE object_id IN "_s
                + idList(tables),
            [&](RecordSet& rs) {
                if (Column* column = columnAt(db, tableAt, number(rs, 0), int(number(rs, 1)))) {
                    column->computedDefinition = text(rs, 2);
                    column->persisted = flag(rs, 3);
                }
            });
}

void readDefaults(Connection& connection,
                  Database& db,
                  const std::map<qint64, std::size_t>& tableAt,
                  const std::vector<qint64>& tables)
{
    eachRow(connection,
            u"SELECT parent_object_id, parent_column_id, name, definition FROM sys.default_constraints "
            u"WHERE parent_object_id IN "_s
                + idList(tables),
            [&](RecordSet& rs) {
                Column* column = columnAt(db, tableAt, number(rs, 0), int(number(rs, 1)));
                if (column && column->hasDefault) {
                    column->defaultName = text(rs, 2);
                    column->defaultDefinition = text(rs, 3);
                }
            });
}

/**
 * Every column of every table from sys.columns alone, its type named from `types`; then, for the tables whose
 * columns' flags ask for it, and only for those, the identity, computed and default details (each view that a query
 * names costs some servers a noticeable time on its first use in a connection).
 */
void readColumns(Connection& connection,
                 Database& db,
                 const std::map<qint64, std::size_t>& tableAt,
                 const std::map<qint64, TypeEntry>& types,
                 const std::map<qint64, QString>& schemas)
{
    eachRow(connection,
            u"SELECT c.object_id, c.column_id, c.name, c.user_type_id, c.max_length, c.precision, c.scale, "
            u"c.is_nullable, c.is_identity, c.is_computed, c.collation_name, c.default_object_id "
            u"FROM sys.columns c ORDER BY c.object_id, c.column_id"_s,
            [&](RecordSet& rs) {
                const auto at = tableAt.find(number(rs, 0));
                const auto type = types.find(number(rs, 3));
                if (at == tableAt.end() || type == types.end())
                    return;
                Column c;
                c.id = int(number(rs, 1));
                c.name = text(rs, 2);
                c.type = type->second.name;
                c.aliasType = type->second.userDefined;
                if (const auto schema = schemas.find(type->second.schemaId); schema != schemas.end())
                    c.typeSchema = schema->second;
                c.maxLength = int(number(rs, 4));
                c.precision = int(number(rs, 5));
                c.scale = int(number(rs, 6));
                c.nullable = flag(rs, 7);
                c.identity = flag(rs, 8);
                c.computed = flag(rs, 9);
                c.collation = text(rs, 10).trimmed();
                c.hasDefault = number(rs, 11) != 0;
                db.tables[at->second].columns.push_back(std::move(c));
            });
    const ColumnDetails details = columnDetails(db.tables);
    if (!details.identity.empty())
        readIdentities(connection, db, tableAt, details.identity);
    if (!details.computed.empty())
        readComputed(connection, db, tableAt, details.computed);
    if (!details.defaults.empty())
        readDefaults(connection, db, tableAt, details.defaults);
}

/** Primary keys, unique constraints and the other row-store indexes, with their columns; the rest are counted. */
void readIndexes(Connection& connection, Database& db)
{
    std::map<std::pair<qint64, int>, std::size_t> indexAt;
    eachRow(connection,
            u"SELECT i.object_id, i.index_id, i.name, i.type, i.is_unique, i.is_primary_key, i.is_unique_constraint, "
            u"i.has_filter, i.filter_definition, i.is_disabled FROM sys.indexes i JOIN "_s
                + u"sys.tables t"_s + u" ON t.object_id = i.object_id WHERE "_s + UserTableFilter
                + u" AND i.type IN (1, 2) ORDER BY i.object_id, i.index_id"_s,
            [&](RecordSet& rs) {
                Index index;
                index.tableId = number(rs, 0);
                index.id = int(number(rs, 1));
                index.name = text(rs, 2);
                index.clustered = number(rs, 3) == 1;
                index.unique = flag(rs, 4);
                index.primaryKey = flag(rs, 5);
                index.uniqueConstraint = flag(rs, 6);
                if (flag(rs, 7))
                    index.filter = text(rs, 8);
                index.disabled = flag(rs, 9);
                indexAt.emplace(std::pair(index.tableId, index.id), db.indexes.size());
                db.indexes.push_back(std::move(index));
            });
    if (db.indexes.empty())
        return;
    eachRow(connection,
            u"SELECT ic.object_id, ic.index_id, c.name, ic.key_ordinal, ic.is_descending_key, ic.is_included_column "
            u"FROM sys.index_columns ic JOIN sys.columns c ON c.object_id = ic.object_id AND c.column_id = "
            u"ic.column_id ORDER BY ic.object_id, ic.index_id, ic.key_ordinal, ic.index_column_id"_s,
            [&](RecordSet& rs) {
                const auto at = indexAt.find(std::pair(number(rs, 0), int(number(rs, 1))));
                if (at == indexAt.end())
                    return;
                Index& index = db.indexes[at->second];
                if (flag(rs, 5))
                    index.included << text(rs, 2);
                else if (number(rs, 3) > 0) // a partitioning column that is not a key has ordinal 0
                    index.keys.push_back(IndexColumn{text(rs, 2), flag(rs, 4)});
            });
}

void readChecks(Connection& connection, Database& db)
{
    eachRow(connection,
            u"SELECT parent_object_id, name, definition, is_disabled, is_not_trusted FROM sys.check_constraints "
            u"ORDER BY parent_object_id, object_id"_s,
            [&](RecordSet& rs) {
                db.checks.push_back(Check{number(rs, 0), text(rs, 1), text(rs, 2), flag(rs, 3), flag(rs, 4)});
            });
}

void readForeignKeys(Connection& connection, Database& db)
{
    std::map<qint64, std::size_t> keyAt;
    eachRow(connection,
            u"SELECT object_id, parent_object_id, referenced_object_id, name, delete_referential_action, "
            u"update_referential_action, is_disabled, is_not_trusted, is_not_for_replication FROM sys.foreign_keys "
            u"ORDER BY parent_object_id, object_id"_s,
            [&](RecordSet& rs) {
                ForeignKey key;
                key.id = number(rs, 0);
                key.tableId = number(rs, 1);
                key.referencedTableId = number(rs, 2);
                key.name = text(rs, 3);
                key.onDelete = int(number(rs, 4));
                key.onUpdate = int(number(rs, 5));
                key.disabled = flag(rs, 6);
                key.notTrusted = flag(rs, 7);
                key.notForReplication = flag(rs, 8);
                keyAt.emplace(key.id, db.foreignKeys.size());
                db.foreignKeys.push_back(std::move(key));
            });
    if (db.foreignKeys.empty())
        return;
    eachRow(
        connection,
        u"SELECT fkc.constraint_object_id, pc.name, rc.name FROM sys.foreign_key_columns fkc "
        u"JOIN sys.columns pc ON pc.object_id = fkc.parent_object_id AND pc.column_id = fkc.parent_column_id "
        u"JOIN sys.columns rc ON rc.object_id = fkc.referenced_object_id "
        u"AND rc.column_id = fkc.referenced_column_id ORDER BY fkc.constraint_object_id, fkc.constraint_column_id"_s,
        [&](RecordSet& rs) {
            const auto at = keyAt.find(number(rs, 0));
            if (at == keyAt.end())
                return;
            db.foreignKeys[at->second].columns << text(rs, 1);
            db.foreignKeys[at->second].referencedColumns << text(rs, 2);
        });
}

/** Indexes, checks and foreign keys in the order of the tables (by schema and name), which a restore keeps. */
void sortByTable(Database& db, const std::map<qint64, std::size_t>& tableAt)
{
    // The numbers the server gives do not follow the tables' order once the tables are made anew.
    const auto tablePosition = [&](qint64 id) { return tableAt.at(id); };
    std::stable_sort(db.indexes.begin(), db.indexes.end(), [&](const Index& a, const Index& b) {
        return std::pair(tablePosition(a.tableId), a.id) < std::pair(tablePosition(b.tableId), b.id);
    });
    std::stable_sort(db.checks.begin(), db.checks.end(), [&](const Check& a, const Check& b) {
        return std::pair(tablePosition(a.tableId), a.name) < std::pair(tablePosition(b.tableId), b.name);
    });
    std::stable_sort(db.foreignKeys.begin(), db.foreignKeys.end(), [&](const ForeignKey& a, const ForeignKey& b) {
        return std::pair(tablePosition(a.tableId), a.name) < std::pair(tablePosition(b.tableId), b.name);
    });
}

/**
 * Views, functions, procedures and triggers of tables, in the order they were made, then each after what it uses. A
 * module without text (WITH ENCRYPTION) cannot be written: it is counted with what is not written.
 */
void readModules(Connection& connection, Database& db)
{
    std::vector<Module> modules;
    eachRow(connection,
            u"SELECT o.object_id, SCHEMA_NAME(o.schema_id), o.name, o.type, o.parent_object_id, m.definition, "
            u"m.uses_ansi_nulls, m.uses_quoted_identifier, tr.is_disabled FROM sys.sql_modules m "
            u"JOIN sys.objects o ON o.object_id = m.object_id LEFT JOIN sys.triggers tr ON tr.object_id = o.object_id "
            u"WHERE o.is_ms_shipped = 0 AND o.type IN ('V', 'FN', 'IF', 'TF', 'P', 'TR') AND m.definition IS NOT NULL "
            u"ORDER BY o.create_date, o.object_id"_s,
            [&](RecordSet& rs) {
                Module m{number(rs, 0), text(rs, 1), text(rs, 2), text(rs, 3).trimmed(), number(rs, 4), text(rs, 5),
                         flag(rs, 6),   flag(rs, 7), flag(rs, 8)};
                if (m.isTrigger()) {
                    db.triggers.push_back(std::move(m));
                } else {
                    modules.push_back(std::move(m));
                }
            });
    std::vector<std::pair<qint64, qint64>> uses;
    if (modules.size() > 1)
        eachRow(connection,
                u"SELECT DISTINCT referencing_id, referenced_id FROM sys.sql_expression_dependencies "
                u"WHERE referenced_id IS NOT NULL"_s,
                [&](RecordSet& rs) { uses.emplace_back(number(rs, 0), number(rs, 1)); });
    db.modules = dependencyOrder(std::move(modules), uses);
}

/** A kind of object the complete schema does not write, counted by a query of one number or from the census. */
struct Count
{
    const char16_t* singular;
    const char16_t* plural;
    QString view; ///< the catalogue view the query needs; empty: counted from the census
    QString query; ///< "SELECT COUNT(*) ..."
    std::function<qint64(const Census&)> fromCensus;
};

/** The kinds of object the complete schema does not write, in the order the log line names them. */
std::vector<Count> unscriptedKinds(const Census& census, bool sequencesRead)
{
    const auto objects
        = [](QStringList types) { return [types = std::move(types)](const Census& c) { return c.count(types); }; };
    std::vector<Count> counts = {
        {u"user",
         u"users",
         u"sys.database_principals"_s,
         u"SELECT COUNT(*) FROM sys.database_principals WHERE type IN ('S', 'U', 'G', 'E', 'X', 'C', 'K') "
         u"AND name NOT IN ('dbo', 'guest', 'INFORMATION_SCHEMA', 'sys')"_s,
         {}},
        {u"database role",
         u"database roles",
         u"sys.database_principals"_s,
         u"SELECT COUNT(*) FROM sys.database_principals WHERE type = 'R' AND is_fixed_role = 0 "
         u"AND name <> 'public'"_s,
         {}},
        {u"permission",
         u"permissions",
         u"sys.database_permissions"_s,
         u"SELECT COUNT(*) FROM sys.database_permissions p WHERE p.grantee_principal_id <> 1 "
         u"AND NOT (p.class = 0 AND p.permission_name = 'CONNECT') "
         u"AND NOT (p.class = 1 AND OBJECTPROPERTY(p.major_id, 'IsMSShipped') = 1)"_s,
         {}},
        {u"synonym", u"synonyms", {}, {}, objects({u"SN"_s})},
        {u"full-text index",
         u"full-text indexes",
         u"sys.fulltext_indexes"_s,
         u"SELECT COUNT(*) FROM sys.fulltext_indexes"_s,
         {}},
        {u"partition scheme",
         u"partition schemes",
         u"sys.partition_schemes"_s,
         u"SELECT COUNT(*) FROM sys.partition_schemes"_s,
         {}},
        {u"CLR assembly",
         u"CLR assemblies",
         u"sys.assemblies"_s,
         u"SELECT COUNT(*) FROM sys.assemblies WHERE assembly_id > 65535"_s,
         {}},
        {u"CLR module", u"CLR modules", {}, {}, objects({u"AF"_s, u"FS"_s, u"FT"_s, u"PC"_s, u"TA"_s})},
        {u"XML schema collection",
         u"XML schema collections",
         u"sys.xml_schema_collections"_s,
         u"SELECT COUNT(*) FROM sys.xml_schema_collections WHERE schema_id <> SCHEMA_ID('sys')"_s,
         {}},
        {u"table type",
         u"table types",
         u"sys.table_types"_s,
         u"SELECT COUNT(*) FROM sys.table_types WHERE is_user_defined = 1"_s,
         {}},
        {u"XML, spatial or columnstore index",
         u"XML, spatial or columnstore indexes",
         u"sys.indexes"_s,
         u"SELECT COUNT(*) FROM sys.indexes i JOIN sys.tables t ON t.object_id = i.object_id WHERE "_s + UserTableFilter
             + u" AND i.type > 2"_s,
         {}},
        {u"index on a view", u"indexes on views", census.has({u"V"_s}) ? u"sys.views"_s : QString(),
         u"SELECT COUNT(*) FROM sys.indexes i JOIN sys.views v ON v.object_id = i.object_id WHERE i.type > 0"_s,
         [](const Census&) { return qint64(0); }},
        {u"encrypted module", u"encrypted modules", census.has(ModuleTypes) ? u"sys.sql_modules"_s : QString(),
         u"SELECT COUNT(*) FROM sys.sql_modules m JOIN sys.objects o ON o.object_id = m.object_id "
         u"WHERE o.is_ms_shipped = 0 AND m.definition IS NULL"_s,
         [](const Census&) { return qint64(0); }},
        {u"database trigger",
         u"database triggers",
         u"sys.triggers"_s,
         u"SELECT COUNT(*) FROM sys.triggers WHERE parent_class = 0"_s,
         {}},
        {u"rule or unbound default",
         u"rules and unbound defaults",
         {},
         {},
         [](const Census& c) { return c.count({u"R"_s}) + c.topLevel(u"D"_s); }},
        {u"queue", u"queues", {}, {}, objects({u"SQ"_s})},
        {u"extended property",
         u"extended properties",
         u"sys.extended_properties"_s,
         u"SELECT COUNT(*) FROM sys.extended_properties"_s,
         {}},
    };
    if (!sequencesRead)
        counts.push_back({u"sequence", u"sequences", {}, {}, objects({u"SO"_s})});
    return counts;
}

/** What is not written, one count per kind; the counts that need a query are asked in one. */
void readUnscripted(
    Connection& connection, Database& db, const Census& census, const std::set<QString>& present, bool sequencesRead)
{
    const std::vector<Count> counts = unscriptedKinds(census, sequencesRead);
    // Always-present views (sys.indexes, sys.sql_modules) need no test; a view a server lacks has no such objects.
    const auto asked = [&](const Count& count) {
        return !count.view.isEmpty()
            && (count.view == u"sys.indexes"_s || count.view == u"sys.sql_modules"_s || present.count(count.view));
    };
    QStringList queries;
    for (const Count& count : counts) {
        if (asked(count))
            queries << u'(' + count.query + u')';
    }
    std::vector<qint64> answers;
    if (!queries.isEmpty())
        eachRow(connection, u"SELECT "_s + queries.join(u", "_s), [&](RecordSet& rs) {
            for (int i = 0; i < int(queries.size()); ++i)
                answers.push_back(number(rs, i));
        });
    std::size_t answer = 0;
    for (const Count& count : counts) {
        qint64 n = 0;
        if (asked(count))
            n = answer < answers.size() ? answers[answer++] : 0;
        else if (count.fromCensus)
            n = count.fromCensus(census);
        db.unscripted.push_back(Unscripted{QString::fromUtf16(count.singular), QString::fromUtf16(count.plural), n});
    }
}

/** Where each table's id stands in db.tables. */
std::map<qint64, std::size_t> tablePositions(const Database& db)
{
    std::map<qint64, std::size_t> tableAt;
    for (std::size_t i = 0; i < db.tables.size(); ++i)
        tableAt.emplace(db.tables[i].id, i);
    return tableAt;
}

template <typename T, typename Keep> void keepOnly(std::vector<T>& items, Keep keep)
{
    items.erase(std::remove_if(items.begin(), items.end(), [&](const T& item) { return !keep(item); }), items.end());
}

} // namespace

void readTableDefinitions(Connection& connection, Database& db)
{
    const std::map<qint64, QString> schemas = readSchemas(connection, db);
    const std::map<qint64, TypeEntry> types = readTypes(connection, db, schemas);
    const std::map<qint64, std::size_t> tableAt = readTables(connection, db);
    if (!db.tables.empty())
        readColumns(connection, db, tableAt, types, schemas);
}

Overview readOverview(Connection& connection, Database& db)
{
    const QStringList optionalViews = {u"sys.sequences"_s,
                                       u"sys.database_principals"_s,
                                       u"sys.database_permissions"_s,
                                       u"sys.fulltext_indexes"_s,
                                       u"sys.partition_schemes"_s,
                                       u"sys.assemblies"_s,
                                       u"sys.xml_schema_collections"_s,
                                       u"sys.table_types"_s,
                                       u"sys.extended_properties"_s,
                                       u"sys.views"_s,
                                       u"sys.triggers"_s};
    Overview overview;
    overview.presentViews = readCollationAndViews(connection, db, optionalViews);
    overview.census = readCensus(connection);
    // Servers before 2012 have no sequences; a server without the view cannot say: its sequence objects are counted
    // as not written.
    overview.sequencesRead = overview.presentViews.count(u"sys.sequences"_s) > 0;
    if (overview.sequencesRead && overview.census.has({u"SO"_s}))
        readSequences(connection, db);
    readUnscripted(connection, db, overview.census, overview.presentViews, overview.sequencesRead);
    return overview;
}

void readAfterData(Connection& connection, const Overview& overview, Database& db)
{
    const Census& census = overview.census;
    if (census.has({u"U"_s}))
        readIndexes(connection, db);
    if (census.has({u"C"_s}))
        readChecks(connection, db);
    if (census.has({u"F"_s}))
        readForeignKeys(connection, db);
    if (census.has(ModuleTypes))
        readModules(connection, db);
}

void takeOverview(Database& into, Database&& from)
{
    into.collation = std::move(from.collation);
    into.sequences = std::move(from.sequences);
    into.unscripted = std::move(from.unscripted);
}

void takeAfterData(Database& into, Database&& from)
{
    const std::map<qint64, std::size_t> tableAt = tablePositions(into);
    const auto ofTable = [&](qint64 id) { return tableAt.count(id) > 0; };
    into.indexes = std::move(from.indexes);
    into.checks = std::move(from.checks);
    into.foreignKeys = std::move(from.foreignKeys);
    into.modules = std::move(from.modules);
    into.triggers = std::move(from.triggers);
    // What belongs to a table the script does not write (a trace table, a system table) stays out.
    keepOnly(into.indexes, [&](const Index& index) { return ofTable(index.tableId); });
    keepOnly(into.checks, [&](const Check& check) { return ofTable(check.tableId); });
    keepOnly(into.foreignKeys,
             [&](const ForeignKey& key) { return ofTable(key.tableId) && ofTable(key.referencedTableId); });
    keepOnly(into.triggers, [&](const Module& trigger) { return ofTable(trigger.parentId); });
    sortByTable(into, tableAt);
}

Database readDatabase(Connection& connection)
{
    Database db;
    readTableDefinitions(connection, db);
    Database side;
    const Overview overview = readOverview(connection, side);
    takeOverview(db, std::move(side));
    Database after;
    readAfterData(connection, overview, after);
    takeAfterData(db, std::move(after));
    return db;
}

} // namespace SchemaModel
