#include "SchemaCatalogue.h"

#include "DataAccess.h"

#include <QHash>

#include <algorithm>
#include <functional>
#include <map>
#include <set>

using namespace Qt::Literals::StringLiterals;

namespace SchemaModel {

bool Column::rowVersion() const
{
    return !aliasType
        && (type.compare(u"timestamp"_s, Qt::CaseInsensitive) == 0
            || type.compare(u"rowversion"_s, Qt::CaseInsensitive) == 0);
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

struct Count
{
    const char16_t* singular;
    const char16_t* plural;
    QString view; ///< the catalogue view the query needs
    QString query; ///< one row, one number
};

/**
 * Which of the catalogue views a server has, asked in one query: a query of a view a server does not have would fail,
 * and inside the dump's transaction some servers end the transaction with it.
 */
std::set<QString> presentViews(Connection& connection, const QStringList& views)
{
    QStringList tests;
    for (const QString& view : views)
        tests << u"CASE WHEN OBJECT_ID('"_s + view + u"') IS NULL THEN 0 ELSE 1 END"_s;
    std::set<QString> present;
    eachRow(connection, u"SELECT "_s + tests.join(u", "_s), [&](RecordSet& rs) {
        for (int i = 0; i < int(views.size()); ++i) {
            if (flag(rs, i))
                present.insert(views[i]);
        }
    });
    return present;
}

} // namespace

Database readDatabase(Connection& connection)
{
    Database db;
    eachRow(connection, u"SELECT collation_name FROM sys.databases WHERE name = DB_NAME()"_s,
            [&](RecordSet& rs) { db.collation = text(rs, 0).trimmed(); });

    eachRow(connection, u"SELECT name FROM sys.schemas WHERE name NOT IN "_s + SystemSchemas + u" ORDER BY schema_id"_s,
            [&](RecordSet& rs) { db.schemas << text(rs, 0); });

    eachRow(connection,
            u"SELECT SCHEMA_NAME(schema_id), name, TYPE_NAME(system_type_id), max_length, precision, scale, "
            u"is_nullable FROM sys.types WHERE is_user_defined = 1 AND is_table_type = 0 AND is_assembly_type = 0 "
            u"ORDER BY user_type_id"_s,
            [&](RecordSet& rs) {
                db.aliasTypes.push_back(AliasType{text(rs, 0), text(rs, 1), text(rs, 2), int(number(rs, 3)),
                                                  int(number(rs, 4)), int(number(rs, 5)), flag(rs, 6)});
            });

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
    const std::set<QString> present = presentViews(connection, optionalViews);

    // Servers before 2012 have no sequences; a server without the view cannot say: its sequence objects are counted
    // as not written below.
    const bool sequencesRead = present.count(u"sys.sequences"_s) > 0;
    if (sequencesRead) {
        eachRow(connection,
                u"SELECT SCHEMA_NAME(s.schema_id), s.name, TYPE_NAME(s.user_type_id), s.precision, s.scale, "
                u"CONVERT(nvarchar(40), s.start_value), CONVERT(nvarchar(40), s.increment), "
                u"CONVERT(nvarchar(40), s.minimum_value), CONVERT(nvarchar(40), s.maximum_value), "
                u"CONVERT(nvarchar(40), s.current_value), s.is_cycling, s.is_cached, s.cache_size "
                u"FROM sys.sequences s ORDER BY s.object_id"_s,
                [&](RecordSet& rs) {
                    Sequence s{text(rs, 0),           text(rs, 1),           text(rs, 2),
                               int(number(rs, 3)),    int(number(rs, 4)),    text(rs, 5).trimmed(),
                               text(rs, 6).trimmed(), text(rs, 7).trimmed(), text(rs, 8).trimmed(),
                               text(rs, 9).trimmed(), flag(rs, 10),          std::nullopt};
                    if (flag(rs, 11))
                        s.cacheSize = rs.Fields(12).isNull() ? 0 : int(number(rs, 12));
                    db.sequences.push_back(std::move(s));
                });
    }

    eachRow(connection,
            u"SELECT t.object_id, SCHEMA_NAME(t.schema_id), t.name FROM "_s + UserTables
                + u" ORDER BY SCHEMA_NAME(t.schema_id), t.name"_s,
            [&](RecordSet& rs) {
                db.tables.push_back(Table{number(rs, 0), text(rs, 1), text(rs, 2), {}});
            });
    std::map<qint64, std::size_t> tableAt;
    for (std::size_t i = 0; i < db.tables.size(); ++i)
        tableAt.emplace(db.tables[i].id, i);

    // Every column of every table in one query, with its identity, computed definition and named default.
    eachRow(connection,
            u"SELECT c.object_id, c.column_id, c.name, TYPE_NAME(c.user_type_id), SCHEMA_NAME(ty.schema_id), "
            u"ty.is_user_defined, c.max_length, c.precision, c.scale, c.is_nullable, c.is_identity, c.is_computed, "
            u"c.collation_name, cc.definition, cc.is_persisted, dc.name, dc.definition, "
            u"COALESCE(CONVERT(nvarchar(40), ic.seed_value), CONVERT(nvarchar(40), IDENT_SEED("_s
                + TwoPartName
                + u"))), COALESCE(CONVERT(nvarchar(40), ic.increment_value), CONVERT(nvarchar(40), IDENT_INCR("_s
                + TwoPartName
                + u"))), CONVERT(nvarchar(40), ic.last_value) "
                  u"FROM sys.columns c JOIN sys.tables t ON t.object_id = c.object_id JOIN sys.types ty ON "
                  u"ty.user_type_id = c.user_type_id "
                  u"LEFT JOIN sys.computed_columns cc ON cc.object_id = c.object_id AND cc.column_id = c.column_id "
                  u"LEFT JOIN sys.default_constraints dc ON dc.object_id = c.default_object_id "
                  u"LEFT JOIN sys.identity_columns ic ON ic.object_id = c.object_id AND ic.column_id = c.column_id "
                  u"ORDER BY c.object_id, c.column_id"_s,
            [&](RecordSet& rs) {
                const auto at = tableAt.find(number(rs, 0));
                if (at == tableAt.end())
                    return;
                Column c;
                c.id = int(number(rs, 1));
                c.name = text(rs, 2);
                c.type = text(rs, 3);
                c.typeSchema = text(rs, 4);
                c.aliasType = flag(rs, 5);
                c.maxLength = int(number(rs, 6));
                c.precision = int(number(rs, 7));
                c.scale = int(number(rs, 8));
                c.nullable = flag(rs, 9);
                c.identity = flag(rs, 10);
                c.computed = flag(rs, 11);
                c.collation = text(rs, 12).trimmed();
                c.computedDefinition = text(rs, 13);
                c.persisted = flag(rs, 14);
                c.defaultName = text(rs, 15);
                c.defaultDefinition = text(rs, 16);
                if (c.identity) {
                    c.identitySeed = text(rs, 17).trimmed();
                    c.identityIncrement = text(rs, 18).trimmed();
                    c.identityLast = optionalText(rs, 19);
                }
                db.tables[at->second].columns.push_back(std::move(c));
            });

    // Primary keys, unique constraints and the other row-store indexes; the rest are counted below.
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

    eachRow(connection,
            u"SELECT parent_object_id, name, definition, is_disabled, is_not_trusted FROM sys.check_constraints "
            u"ORDER BY parent_object_id, object_id"_s,
            [&](RecordSet& rs) {
                if (tableAt.count(number(rs, 0)))
                    db.checks.push_back(Check{number(rs, 0), text(rs, 1), text(rs, 2), flag(rs, 3), flag(rs, 4)});
            });

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
                if (!tableAt.count(key.tableId) || !tableAt.count(key.referencedTableId))
                    return;
                key.name = text(rs, 3);
                key.onDelete = int(number(rs, 4));
                key.onUpdate = int(number(rs, 5));
                key.disabled = flag(rs, 6);
                key.notTrusted = flag(rs, 7);
                key.notForReplication = flag(rs, 8);
                keyAt.emplace(key.id, db.foreignKeys.size());
                db.foreignKeys.push_back(std::move(key));
            });
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

    // In the order of the tables (by schema and name), which a restore keeps; the numbers the server gives do not
    // follow it once the tables are made anew.
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

    // Views, functions, procedures and triggers of tables, in the order they were made. A module without text
    // (WITH ENCRYPTION) cannot be written: it is counted below.
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
                    if (tableAt.count(m.parentId))
                        db.triggers.push_back(std::move(m));
                } else {
                    modules.push_back(std::move(m));
                }
            });
    std::vector<std::pair<qint64, qint64>> uses;
    eachRow(connection,
            u"SELECT DISTINCT referencing_id, referenced_id FROM sys.sql_expression_dependencies "
            u"WHERE referenced_id IS NOT NULL"_s,
            [&](RecordSet& rs) { uses.emplace_back(number(rs, 0), number(rs, 1)); });
    db.modules = dependencyOrder(std::move(modules), uses);

    // What is not written, one count per kind.
    const QString objects = u"sys.objects"_s;
    const QString countObjects = u"SELECT COUNT(*) FROM sys.objects WHERE is_ms_shipped = 0 AND "_s;
    std::vector<Count> counts = {
        {u"user", u"users", u"sys.database_principals"_s,
         u"SELECT COUNT(*) FROM sys.database_principals WHERE type IN ('S', 'U', 'G', 'E', 'X', 'C', 'K') "
         u"AND name NOT IN ('dbo', 'guest', 'INFORMATION_SCHEMA', 'sys')"_s},
        {u"database role", u"database roles", u"sys.database_principals"_s,
         u"SELECT COUNT(*) FROM sys.database_principals WHERE type = 'R' AND is_fixed_role = 0 "
         u"AND name <> 'public'"_s},
        {u"permission", u"permissions", u"sys.database_permissions"_s,
         u"SELECT COUNT(*) FROM sys.database_permissions p WHERE p.grantee_principal_id <> 1 "
         u"AND NOT (p.class = 0 AND p.permission_name = 'CONNECT') "
         u"AND NOT (p.class = 1 AND OBJECTPROPERTY(p.major_id, 'IsMSShipped') = 1)"_s},
        {u"synonym", u"synonyms", objects, countObjects + u"type = 'SN'"_s},
        {u"full-text index", u"full-text indexes", u"sys.fulltext_indexes"_s,
         u"SELECT COUNT(*) FROM sys.fulltext_indexes"_s},
        {u"partition scheme", u"partition schemes", u"sys.partition_schemes"_s,
         u"SELECT COUNT(*) FROM sys.partition_schemes"_s},
        {u"CLR assembly", u"CLR assemblies", u"sys.assemblies"_s,
         u"SELECT COUNT(*) FROM sys.assemblies WHERE assembly_id > 65535"_s},
        {u"CLR module", u"CLR modules", objects, countObjects + u"type IN ('AF', 'FS', 'FT', 'PC', 'TA')"_s},
        {u"XML schema collection", u"XML schema collections", u"sys.xml_schema_collections"_s,
         u"SELECT COUNT(*) FROM sys.xml_schema_collections WHERE schema_id <> SCHEMA_ID('sys')"_s},
        {u"table type", u"table types", u"sys.table_types"_s,
         u"SELECT COUNT(*) FROM sys.table_types WHERE is_user_defined = 1"_s},
        {u"XML, spatial or columnstore index", u"XML, spatial or columnstore indexes", objects,
         u"SELECT COUNT(*) FROM sys.indexes i JOIN sys.tables t ON t.object_id = i.object_id WHERE "_s + UserTableFilter
             + u" AND i.type > 2"_s},
        {u"index on a view", u"indexes on views", u"sys.views"_s,
         u"SELECT COUNT(*) FROM sys.indexes i JOIN sys.views v ON v.object_id = i.object_id WHERE i.type > 0"_s},
        {u"encrypted module", u"encrypted modules", objects,
         u"SELECT COUNT(*) FROM sys.sql_modules m JOIN sys.objects o ON o.object_id = m.object_id "
         u"WHERE o.is_ms_shipped = 0 AND m.definition IS NULL"_s},
        {u"database trigger", u"database triggers", u"sys.triggers"_s,
         u"SELECT COUNT(*) FROM sys.triggers WHERE parent_class = 0"_s},
        {u"rule or unbound default", u"rules and unbound defaults", objects,
         countObjects + u"(type = 'R' OR (type = 'D' AND parent_object_id = 0))"_s},
        {u"queue", u"queues", objects, countObjects + u"type = 'SQ'"_s},
        {u"extended property", u"extended properties", u"sys.extended_properties"_s,
         u"SELECT COUNT(*) FROM sys.extended_properties"_s},
    };
    if (!sequencesRead)
        counts.push_back({u"sequence", u"sequences", objects, countObjects + u"type = 'SO'"_s});
    for (const Count& count : counts) {
        // A server without the view has no such objects.
        qint64 n = 0;
        if (count.view == objects || present.count(count.view))
            eachRow(connection, count.query, [&](RecordSet& rs) { n = number(rs, 0); });
        db.unscripted.push_back(Unscripted{QString::fromUtf16(count.singular), QString::fromUtf16(count.plural), n});
    }
    return db;
}

} // namespace SchemaModel
