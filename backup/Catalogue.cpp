#include "Catalogue.h"

#include "DataAccess.h"

#include <QHash>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace {

std::optional<qint64> optionalNumber(const FieldValue& value)
{
    if (value.isNull())
        return std::nullopt;
    bool ok = false;
    const qint64 number = value.text.trimmed().toLongLong(&ok);
    return ok ? std::optional<qint64>(number) : std::nullopt;
}

std::optional<int> optionalInt(const FieldValue& value)
{
    const std::optional<qint64> number = optionalNumber(value);
    return number ? std::optional<int>(int(*number)) : std::nullopt;
}

QString tableKey(const QString& schema, const QString& name)
{
    return schema + u'\x1f' + name;
}

} // namespace

bool isRowVersionType(const QString& dataType)
{
    return dataType.compare(u"timestamp"_s, Qt::CaseInsensitive) == 0
        || dataType.compare(u"rowversion"_s, Qt::CaseInsensitive) == 0;
}

QString Catalogue::columnsQuery()
{
    return u"SELECT TABLE_SCHEMA, TABLE_NAME, COLUMN_NAME, ORDINAL_POSITION, DATA_TYPE, CHARACTER_MAXIMUM_LENGTH, "
           u"NUMERIC_PRECISION, NUMERIC_SCALE, DATETIME_PRECISION, IS_NULLABLE, COLLATION_NAME, COLUMN_DEFAULT "
           u"FROM information_schema.COLUMNS ORDER BY TABLE_SCHEMA, TABLE_NAME, ORDINAL_POSITION"_s;
}

QString Catalogue::tablesQuery()
{
    return u"SELECT TABLE_SCHEMA, TABLE_NAME, TABLE_TYPE FROM information_schema.TABLES "
           u"ORDER BY TABLE_TYPE, TABLE_SCHEMA, TABLE_NAME"_s;
}

void Catalogue::readTableList(Connection& connection)
{
    tables.clear();
    // One catalogue query, where the ODBC table list (sp_tables) costs a procedure call that on some servers takes
    // longer than reading every column. Both sort on the server, in the database's collation, tables before views.
    const std::unique_ptr<RecordSet> list = connection.Execute(tablesQuery());
    while (!list->Eof()) {
        CatalogueTable table;
        table.schema = list->Fields(0).text;
        table.name = list->Fields(1).text;
        const QString type = list->Fields(2).text.trimmed();
        // information_schema says "BASE TABLE" where the ODBC table list says "TABLE".
        table.type = type.compare(u"BASE TABLE"_s, Qt::CaseInsensitive) == 0 ? u"TABLE"_s : type.toUpper();
        if (table.schema.isEmpty())
            table.schema = u"dbo"_s;
        tables.push_back(std::move(table));
        list->MoveNext();
    }
    list->Close();
}

void Catalogue::readColumns(Connection& connection)
{
    QHash<QString, std::size_t> exact;
    QHash<QString, std::size_t> folded;
    for (std::size_t i = 0; i < tables.size(); ++i) {
        tables[i].columns.clear();
        exact.insert(tableKey(tables[i].schema, tables[i].name), i);
        folded.insert(tableKey(tables[i].schema, tables[i].name).toCaseFolded(), i);
    }
    const std::unique_ptr<RecordSet> result = connection.Execute(columnsQuery());
    while (!result->Eof()) {
        const QString key = tableKey(result->Fields(0).text, result->Fields(1).text);
        // Some servers give the table list's names in another letter case than the column catalogue's.
        std::optional<std::size_t> index;
        if (const auto at = exact.constFind(key); at != exact.constEnd())
            index = *at;
        else if (const auto near = folded.constFind(key.toCaseFolded()); near != folded.constEnd())
            index = *near;
        if (index) {
            CatalogueColumn column;
            column.name = result->Fields(2).text;
            column.ordinal = optionalInt(result->Fields(3)).value_or(0);
            column.dataType = result->Fields(4).text;
            column.maxLength = optionalNumber(result->Fields(5));
            column.precision = optionalInt(result->Fields(6));
            column.scale = optionalInt(result->Fields(7));
            column.datetimePrecision = optionalInt(result->Fields(8));
            column.nullable = result->Fields(9).text.trimmed().compare(u"NO"_s, Qt::CaseInsensitive) != 0;
            column.collation = result->Fields(10).text;
            column.defaultDefinition = result->Fields(11).text;
            column.rowVersion = isRowVersionType(column.dataType);
            tables[*index].columns.push_back(std::move(column));
        }
        result->MoveNext();
    }
    result->Close();
    // The order of the rows is the server's plan's; the order of a table's columns is their ordinal position.
    for (CatalogueTable& table : tables)
        std::stable_sort(table.columns.begin(), table.columns.end(),
                         [](const CatalogueColumn& a, const CatalogueColumn& b) { return a.ordinal < b.ordinal; });
}

CatalogueTable* Catalogue::find(const QString& schema, const QString& name)
{
    for (CatalogueTable& table : tables)
        if (table.schema == schema && table.name == name)
            return &table;
    for (CatalogueTable& table : tables)
        if (table.schema.compare(schema, Qt::CaseInsensitive) == 0
            && table.name.compare(name, Qt::CaseInsensitive) == 0)
            return &table;
    return nullptr;
}

std::vector<QString> Catalogue::otherSchemas() const
{
    std::vector<QString> schemas;
    for (const CatalogueTable& table : tables) {
        if (table.type != u"TABLE"_s || table.inDbo())
            continue;
        const bool known = std::find(schemas.begin(), schemas.end(), table.schema) != schemas.end();
        if (!known)
            schemas.push_back(table.schema);
    }
    return schemas;
}
