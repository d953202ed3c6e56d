#include "SchemaScript.h"

#include "ScriptText.h"

using namespace Qt::Literals::StringLiterals;
using namespace SchemaModel;

namespace SchemaScript {

namespace {

QString name(const QString& text)
{
    return u'[' + ScriptText::bracketed(text) + u']';
}

/** 'text' or N'text', whichever keeps every character. */
QString literal(const QString& text)
{
    return (ScriptText::fitsWindows1252(text) ? u"'"_s : u"N'"_s) + ScriptText::quoted(text) + u'\'';
}

/** A comment block of three lines and an empty one: "--", "-- " text, "--", "". */
QStringList commentBlock(const QString& text)
{
    return {u"--"_s, u"-- "_s + ScriptText::lineCommentText(text), u"--"_s, QString()};
}

/** A stored expression in parentheses, as SQL Server keeps it; a server that keeps it bare gets them added. */
QString parenthesised(const QString& expression)
{
    const QString trimmed = expression.trimmed();
    return trimmed.startsWith(u'(') && trimmed.endsWith(u')') ? trimmed : u'(' + trimmed + u')';
}

/** One statement and the separator after it. */
void statement(QStringList& lines, const QString& text)
{
    lines << text << Go;
}

QString lengthText(const QString& type, int maxLength)
{
    if (maxLength == -1)
        return u"(max)"_s;
    const bool wide
        = type.compare(u"nchar"_s, Qt::CaseInsensitive) == 0 || type.compare(u"nvarchar"_s, Qt::CaseInsensitive) == 0;
    return u'(' + QString::number(wide ? maxLength / 2 : maxLength) + u')';
}

/** A system type with its length, precision or scale as declared. */
QString systemTypeText(const QString& type, int maxLength, int precision, int scale)
{
    const QString lower = type.toLower();
    const QString upper = type.toUpper();
    static const QStringList lengthTypes
        = {u"char"_s, u"varchar"_s, u"nchar"_s, u"nvarchar"_s, u"binary"_s, u"varbinary"_s};
    if (lengthTypes.contains(lower))
        return upper + lengthText(lower, maxLength);
    if (lower == u"decimal"_s || lower == u"numeric"_s)
        return upper + u'(' + QString::number(precision) + u',' + QString::number(scale) + u')';
    if (lower == u"datetime2"_s || lower == u"time"_s || lower == u"datetimeoffset"_s)
        return upper + u'(' + QString::number(scale) + u')';
    return upper;
}

QString action(int code)
{
    switch (code) {
    case 1:
        return u"CASCADE"_s;
    case 2:
        return u"SET NULL"_s;
    case 3:
        return u"SET DEFAULT"_s;
    default:
        return u"NO ACTION"_s;
    }
}

QString tableName(const Database& db, qint64 id)
{
    const Table* table = db.table(id);
    return table ? twoPartName(table->schema, table->name) : QString();
}

QString keyList(const std::vector<IndexColumn>& keys)
{
    QStringList parts;
    for (const IndexColumn& key : keys)
        parts << name(key.name) + (key.descending ? u" DESC"_s : u" ASC"_s);
    return parts.join(u", "_s);
}

QString nameList(const QStringList& names)
{
    QStringList parts;
    for (const QString& n : names)
        parts << name(n);
    return parts.join(u", "_s);
}

QString moduleKind(const Module& module)
{
    if (module.type == u"V"_s)
        return u"View"_s;
    if (module.type == u"P"_s)
        return u"Procedure"_s;
    if (module.type == u"TR"_s)
        return u"Trigger"_s;
    return u"Function"_s;
}

/** The stored text of a module in a batch of its own, after the settings it was made with. */
void moduleBatch(QStringList& lines, const Module& module)
{
    lines << commentBlock(moduleKind(module) + u' ' + twoPartName(module.schema, module.name));
    lines << (module.ansiNulls ? u"SET ANSI_NULLS ON"_s : u"SET ANSI_NULLS OFF"_s)
          << (module.quotedIdentifier ? u"SET QUOTED_IDENTIFIER ON"_s : u"SET QUOTED_IDENTIFIER OFF"_s) << Go;
    QString definition = module.definition;
    while (definition.endsWith(u'\n') || definition.endsWith(u'\r'))
        definition.chop(1);
    // The stored text goes as it is, its own line ends included; only its trailing line ends give way to the one
    // before the separator.
    lines << definition << Go << QString();
}

} // namespace

QString twoPartName(const QString& schema, const QString& table)
{
    return name(schema) + u'.' + name(table);
}

QString typeText(const Column& column)
{
    if (column.aliasType)
        return twoPartName(column.typeSchema, column.type);
    return systemTypeText(column.type, column.maxLength, column.precision, column.scale);
}

QString columnDefinition(const Column& column, const QString& databaseCollation)
{
    QString text = name(column.name) + u' ';
    if (column.computed) {
        text += u"AS "_s + parenthesised(column.computedDefinition);
        if (column.persisted)
            text += column.nullable ? u" PERSISTED"_s : u" PERSISTED NOT NULL"_s;
        return text;
    }
    text += typeText(column);
    if (!column.collation.isEmpty() && column.collation.compare(databaseCollation, Qt::CaseInsensitive) != 0)
        text += u" COLLATE "_s + column.collation;
    if (column.identity)
        text += u" IDENTITY("_s + column.identitySeed + u", "_s + column.identityIncrement + u')';
    text += column.nullable ? u" NULL"_s : u" NOT NULL"_s;
    if (!column.defaultDefinition.isEmpty())
        text += u" CONSTRAINT "_s + name(column.defaultName) + u" DEFAULT "_s + parenthesised(column.defaultDefinition);
    return text;
}

QStringList unscriptedComment(const Database& db)
{
    const QString what = db.unscriptedText();
    if (what.isEmpty())
        return {};
    return {u"--"_s, u"-- Not scripted: "_s + ScriptText::lineCommentText(what), u"--"_s, QString()};
}

QStringList beforeData(const Database& db)
{
    QStringList lines;
    for (const QString& schema : db.schemas) {
        lines << commentBlock(u"Schema "_s + name(schema));
        statement(lines, u"CREATE SCHEMA "_s + name(schema));
        lines << QString();
    }
    for (const AliasType& type : db.aliasTypes) {
        lines << commentBlock(u"Type "_s + twoPartName(type.schema, type.name));
        statement(lines,
                  u"CREATE TYPE "_s + twoPartName(type.schema, type.name) + u" FROM "_s
                      + systemTypeText(type.baseType, type.maxLength, type.precision, type.scale)
                      + (type.nullable ? u" NULL"_s : u" NOT NULL"_s));
        lines << QString();
    }
    for (const Sequence& s : db.sequences) {
        const QString seqName = twoPartName(s.schema, s.name);
        lines << commentBlock(u"Sequence "_s + seqName);
        QString type = s.type.toUpper();
        if (type == u"DECIMAL"_s || type == u"NUMERIC"_s)
            type += u'(' + QString::number(s.precision) + u",0)"_s;
        QString create = u"CREATE SEQUENCE "_s + seqName + u" AS "_s + type + u" START WITH "_s + s.start
            + u" INCREMENT BY "_s + s.increment + u" MINVALUE "_s + s.minimum + u" MAXVALUE "_s + s.maximum
            + (s.cycling ? u" CYCLE"_s : u" NO CYCLE"_s);
        if (!s.cacheSize)
            create += u" NO CACHE"_s;
        else if (*s.cacheSize > 0)
            create += u" CACHE "_s + QString::number(*s.cacheSize);
        else
            create += u" CACHE"_s;
        statement(lines, create);
        // A sequence that has given values continues after the last one it gave.
        if (!s.current.isEmpty() && s.current != s.start)
            statement(lines, u"ALTER SEQUENCE "_s + seqName + u" RESTART WITH "_s + s.current);
        lines << QString();
    }
    for (const Table& table : db.tables) {
        const QString tableText = twoPartName(table.schema, table.name);
        lines << commentBlock(u"Table structure for table "_s + tableText);
        lines << u"CREATE TABLE "_s + tableText + u" ("_s;
        for (std::size_t i = 0; i < table.columns.size(); ++i)
            lines << u"    "_s + columnDefinition(table.columns[i], db.collation)
                    + (i + 1 < table.columns.size() ? u","_s : QString());
        lines << u")"_s << Go << QString();
    }
    return lines;
}

std::vector<const Column*> insertedColumns(const Table& table)
{
    std::vector<const Column*> columns;
    for (const Column& column : table.columns) {
        if (!column.computed && !column.rowVersion())
            columns.push_back(&column);
    }
    return columns;
}

QString dataQuery(const Table& table)
{
    QStringList names;
    for (const Column* column : insertedColumns(table))
        names << column->name;
    return u"SELECT "_s + nameList(names) + u" FROM "_s + twoPartName(table.schema, table.name);
}

QByteArray insertPrefix(const Table& table)
{
    QStringList names;
    for (const Column* column : insertedColumns(table))
        names << column->name;
    return (u"INSERT INTO "_s + twoPartName(table.schema, table.name) + u" ("_s + nameList(names) + u") VALUES "_s)
        .toUtf8();
}

InsertStatements::InsertStatements(ScriptBuffer& out, QByteArray prefix, int maxRows, std::size_t maxBytes)
    : m_out(out)
    , m_prefix(std::move(prefix))
    , m_maxRows(maxRows)
    , m_maxBytes(maxBytes)
{ }

void InsertStatements::beginRow()
{
    if (m_rows > 0 && m_rows < m_maxRows) {
        m_rowStart = m_out.size();
        m_out.append(std::string_view(",\r\n("));
        return;
    }
    if (m_rows > 0)
        m_out.append(std::string_view(";\r\nGO\r\n"));
    m_statementStart = m_out.size();
    m_statementFlushed = 0;
    m_rows = 0;
    ++m_statements;
    m_out.append(m_prefix);
    m_out.append('(');
}

void InsertStatements::endRow()
{
    m_out.append(')');
    // With this row and the ";" line end that ends it, the statement must stay within its bytes.
    if (m_rowStart != NoRow && statementBytes() + 3 > m_maxBytes)
        moveRowToNewStatement();
    m_rowStart = NoRow;
    ++m_rows;
}

bool InsertStatements::mayFlush()
{
    if (m_rowStart == NoRow)
        return true;
    // ")" and ";" with its line end are still to come.
    if (statementBytes() + 4 <= m_maxBytes)
        return false;
    moveRowToNewStatement();
    return true;
}

void InsertStatements::flushing()
{
    m_statementFlushed += m_out.size() - m_statementStart;
    m_statementStart = 0;
}

void InsertStatements::finish()
{
    if (m_rows > 0)
        m_out.append(std::string_view(";\r\n"));
    m_rows = 0;
}

void InsertStatements::moveRowToNewStatement()
{
    // The separator before the row becomes the end of the statement, a GO line and the beginning of the next one.
    const std::string_view end = ";\r\nGO\r\n";
    QByteArray between(end.data(), qsizetype(end.size()));
    between += m_prefix;
    m_out.replace(m_rowStart, 3, std::string_view(between.constData(), std::size_t(between.size())));
    m_statementStart = m_rowStart + end.size();
    m_statementFlushed = 0;
    m_rows = 0;
    ++m_statements;
    m_rowStart = NoRow;
}

QStringList rowsHeader(const Table& table)
{
    const QString tableText = twoPartName(table.schema, table.name);
    QStringList lines = commentBlock(u"Dumping data for table "_s + tableText);
    if (table.identityColumn())
        lines << u"SET IDENTITY_INSERT "_s + tableText + u" ON"_s;
    return lines;
}

QStringList rowsFooter(const Table& table, qint64 rowsWritten)
{
    const QString tableText = twoPartName(table.schema, table.name);
    QStringList lines;
    if (const Column* identity = table.identityColumn()) {
        lines << u"SET IDENTITY_INSERT "_s + tableText + u" OFF"_s;
        // RESEED n gives n + increment to the next row of a table that has rows or had them; an empty table that never
        // had any gives n itself. A table whose identity was never used keeps its seed.
        if (identity->identityLast) {
            QString next = *identity->identityLast;
            if (rowsWritten == 0) {
                bool okLast = false;
                bool okStep = false;
                const qint64 last = next.toLongLong(&okLast);
                const qint64 step = identity->identityIncrement.toLongLong(&okStep);
                if (okLast && okStep)
                    next = QString::number(last + step);
            }
            lines << u"DBCC CHECKIDENT ("_s + literal(tableText) + u", RESEED, "_s + next + u')';
        }
    }
    lines << Go << QString();
    return lines;
}

QStringList afterData(const Database& db)
{
    QStringList lines;
    for (const Index& index : db.indexes) {
        if (index.keys.empty())
            continue;
        const QString table = tableName(db, index.tableId);
        const QString kind = index.clustered ? u"CLUSTERED"_s : u"NONCLUSTERED"_s;
        if (index.primaryKey || index.uniqueConstraint) {
            lines << commentBlock((index.primaryKey ? u"Primary key "_s : u"Unique constraint "_s) + name(index.name)
                                  + u" of "_s + table);
            statement(lines,
                      u"ALTER TABLE "_s + table + u" ADD CONSTRAINT "_s + name(index.name)
                          + (index.primaryKey ? u" PRIMARY KEY "_s : u" UNIQUE "_s) + kind + u" ("_s
                          + keyList(index.keys) + u')');
        } else {
            lines << commentBlock(u"Index "_s + name(index.name) + u" of "_s + table);
            QString create = u"CREATE "_s + (index.unique ? u"UNIQUE "_s : QString()) + kind + u" INDEX "_s
                + name(index.name) + u" ON "_s + table + u" ("_s + keyList(index.keys) + u')';
            if (!index.included.isEmpty())
                create += u" INCLUDE ("_s + nameList(index.included) + u')';
            if (!index.filter.isEmpty())
                create += u" WHERE "_s + index.filter;
            statement(lines, create);
        }
        if (index.disabled)
            statement(lines, u"ALTER INDEX "_s + name(index.name) + u" ON "_s + table + u" DISABLE"_s);
        lines << QString();
    }
    for (const Check& check : db.checks) {
        const QString table = tableName(db, check.tableId);
        lines << commentBlock(u"Check constraint "_s + name(check.name) + u" of "_s + table);
        // A constraint the server does not trust may hold rows that break it: it is added without checking them.
        statement(lines,
                  u"ALTER TABLE "_s + table + (check.notTrusted ? u" WITH NOCHECK"_s : QString())
                      + u" ADD CONSTRAINT "_s + name(check.name) + u" CHECK "_s + parenthesised(check.definition));
        if (check.disabled)
            statement(lines, u"ALTER TABLE "_s + table + u" NOCHECK CONSTRAINT "_s + name(check.name));
        lines << QString();
    }
    for (const ForeignKey& key : db.foreignKeys) {
        const QString table = tableName(db, key.tableId);
        lines << commentBlock(u"Foreign key "_s + name(key.name) + u" of "_s + table);
        statement(lines,
                  u"ALTER TABLE "_s + table + (key.notTrusted ? u" WITH NOCHECK"_s : QString()) + u" ADD CONSTRAINT "_s
                      + name(key.name) + u" FOREIGN KEY ("_s + nameList(key.columns) + u") REFERENCES "_s
                      + tableName(db, key.referencedTableId) + u" ("_s + nameList(key.referencedColumns)
                      + u") ON DELETE "_s + action(key.onDelete) + u" ON UPDATE "_s + action(key.onUpdate)
                      + (key.notForReplication ? u" NOT FOR REPLICATION"_s : QString()));
        if (key.disabled)
            statement(lines, u"ALTER TABLE "_s + table + u" NOCHECK CONSTRAINT "_s + name(key.name));
        lines << QString();
    }
    for (const Module& module : db.modules)
        moduleBatch(lines, module);
    for (const Module& trigger : db.triggers) {
        moduleBatch(lines, trigger);
        if (trigger.disabled) {
            statement(lines,
                      u"DISABLE TRIGGER "_s + twoPartName(trigger.schema, trigger.name) + u" ON "_s
                          + tableName(db, trigger.parentId));
            lines << QString();
        }
    }
    return lines;
}

} // namespace SchemaScript
