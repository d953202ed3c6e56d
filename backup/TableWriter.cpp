#include "TableWriter.h"

#include "DataAccess.h"
#include "EngineLines.h"
#include "Failure.h"
#include "SchemaScript.h"
#include "ScriptText.h"

#include <optional>

using namespace Qt::Literals::StringLiterals;
using SchemaModel::Column;
using SchemaModel::Table;

namespace {

/** Script bytes collect up to about this much before they are appended to the file. */
constexpr std::size_t FlushThreshold = 256 * 1024;

/**
 * Fails unless the fields of the table's rows are the columns the script names, by name and in order: a value written
 * in another column's place would be restored into that column.
 */
void checkColumns(const QString& table, const RecordSet& data, const QStringList& columnNames)
{
    const int fieldCount = data.FieldCount();
    if (fieldCount != columnNames.size())
        throw Failure(u"The rows of %1 have %2 values but its column list has %3 columns. The backup cannot hold this "
                      u"table."_s.arg(table)
                          .arg(fieldCount)
                          .arg(columnNames.size()));
    QStringList fieldNames;
    for (int i = 0; i < fieldCount; ++i)
        fieldNames << data.FieldName(i);
    if (fieldNames != columnNames)
        throw Failure(u"The rows of %1 have the columns (%2) but its column list is (%3). The backup cannot hold this "
                      u"table."_s.arg(table, fieldNames.join(u", "_s), columnNames.join(u", "_s)));
}

std::vector<const Column*> allColumns(const Table& table)
{
    std::vector<const Column*> columns;
    for (const Column& column : table.columns)
        columns.push_back(&column);
    return columns;
}

} // namespace

DumpSteps::DumpSteps(Dialogs& reports)
    : m_proc(reports, EngineModuleName, u"SaveAll"_s)
{ }

void DumpSteps::lines(int line, const QStringList& texts)
{
    step(line, [&] {
        for (const QString& text : texts)
            m_buffer.appendLine(text);
    });
}

bool DumpSteps::flush()
{
    if (m_stopped)
        return false;
    if (m_buffer.isEmpty())
        return true;
    if (m_held) {
        // A row that may still move to the next statement stays in the buffer until it is placed.
        if (!m_held->mayFlush())
            return true;
        m_held->flushing();
    }
    const QByteArray bytes = QByteArray::fromRawData(m_buffer.data(), qsizetype(m_buffer.size()));
    const bool written = write(bytes);
    m_buffer.clear();
    m_stopped = !written;
    return written;
}

bool DefaultTableFormat::skips(const Table& table) const
{
    // Views and system tables (SaveAllLine::SkipOtherObjects) and the trace tables (SaveAllLine::SkipTrace).
    return table.type != u"TABLE"_s || table.name.contains(u"trace_xe"_s, Qt::CaseInsensitive);
}

bool DefaultTableFormat::beforeRows(const Table& table, DumpSteps& dump)
{
    using namespace ScriptText;
    const QString& name = table.name; // SaveAllLine::TableName
    const QString& schema = table.schema;
    // A schema other than dbo is made before its first table, so the script restores onto a server that lacks it.
    if (!isDbo(schema) && !m_schemasMade.contains(schema)) {
        dump.lines(SaveAllLine::StructureHeader, schemaBlock(schema));
        m_schemasMade.insert(schema);
    }
    dump.lines(SaveAllLine::StructureHeader, structureHeader(name, schema));

    QStringList columnNames;
    QStringList typeTexts;
    for (const Column& column : table.columns) { // SaveAllLine::EachColumn
        dump.pump(); // SaveAllLine::PumpPerColumn
        if (dump.stopped())
            return false;
        columnNames << column.name; // SaveAllLine::ColumnName
        dump.step(SaveAllLine::TypeText, [&] {
            const bool exact = needsPrecision(column.type); // SaveAllLine::NeedsPrecision
            typeTexts << typeText(column.type, column.characterLength, exact ? column.numericPrecision : std::nullopt,
                                  exact ? column.numericScale : std::nullopt);
        });
    }
    dump.step(SaveAllLine::CreateTable, [&] {
        dump.buffer().appendLine(dropTableLine(name, schema) + u"\r\n"_s
                                 + createTableLine(name, columnNames, typeTexts, schema));
        dump.buffer().appendLine(QString());
    });
    dump.lines(SaveAllLine::DataHeader, dataHeader(name, schema));
    return true;
}

std::vector<const Column*> DefaultTableFormat::rowColumns(const Table& table) const
{
    return allColumns(table);
}

QString DefaultTableFormat::dataQuery(const Table& table) const
{
    return ScriptText::dataQuery(table.name, table.schema);
}

QString DefaultTableFormat::reportedName(const Table& table) const
{
    return ScriptText::tableName(table.name, table.schema);
}

QByteArray DefaultTableFormat::insertPrefix(const Table& table) const
{
    return ScriptText::insertPrefix(table.name, table.schema);
}

void DefaultTableFormat::afterRows(const Table&, qint64, DumpSteps& dump)
{
    dump.lines(SaveAllLine::TableEnd, {QString()});
}

bool CompleteTableFormat::beforeRows(const Table& table, DumpSteps& dump)
{
    dump.lines(SaveAllLine::RowsHeader, SchemaScript::rowsHeader(table));
    return true;
}

std::vector<const Column*> CompleteTableFormat::rowColumns(const Table& table) const
{
    return SchemaScript::insertedColumns(table);
}

QString CompleteTableFormat::dataQuery(const Table& table) const
{
    return SchemaScript::dataQuery(table);
}

QString CompleteTableFormat::reportedName(const Table& table) const
{
    return SchemaScript::twoPartName(table.schema, table.name);
}

QByteArray CompleteTableFormat::insertPrefix(const Table& table) const
{
    return SchemaScript::insertPrefix(table);
}

void CompleteTableFormat::afterRows(const Table& table, qint64 rows, DumpSteps& dump)
{
    dump.lines(SaveAllLine::RowsFooter, SchemaScript::rowsFooter(table, rows));
}

TableWriter::TableWriter(DumpSteps& dump, Connection& connection, TableFormat& format)
    : m_dump(dump)
    , m_connection(connection)
    , m_format(format)
{ }

bool TableWriter::write(const std::vector<Table>& tables)
{
    m_dump.progress().tablesTotal = int(tables.size()); // SaveAllLine::TablesTotal
    for (const Table& table : tables) {
        const bool complete = writeTable(table);
        ++m_dump.progress().tablesDone;
        // The end of each table reaches the file.
        if (!complete || !m_dump.flush())
            return false;
        m_dump.reportProgress();
    }
    return true;
}

bool TableWriter::writeTable(const Table& table)
{
    // A table the format leaves out ends here, before any event runs.
    if (m_format.skips(table))
        return true;
    m_dump.pump(); // SaveAllLine::PumpPerTable
    if (m_dump.stopped() || !m_format.beforeRows(table, m_dump))
        return false;

    const std::vector<const Column*> columns = m_format.rowColumns(table);
    QStringList names;
    std::vector<bool> defaulted;
    for (const Column* column : columns) {
        names << column->name;
        defaulted.push_back(column->rowVersion()); // a rowversion column takes no explicit value
    }
    const qint64 rowsBefore = m_dump.progress().rowsWritten;
    std::unique_ptr<RecordSet> data;
    // The script must name the rows' columns in their order; a table whose rows disagree is reported.
    if (m_dump.step(SaveAllLine::DataQuery, [&] { data = m_connection.Execute(m_format.dataQuery(table)); }) && data
        && m_dump.step(SaveAllLine::CheckColumns, [&] { checkColumns(m_format.reportedName(table), *data, names); })) {
        const QByteArray prefix = m_format.insertPrefix(table);
        if (m_format.severalRowsAStatement()) {
            // The server parses and plans one statement for up to 1,000 rows.
            SchemaScript::InsertStatements statements(m_dump.buffer(), prefix);
            m_statements = &statements;
            m_dump.holdRows(&statements);
            writeRows(*data, {}, defaulted);
            statements.finish();
            m_dump.holdRows(nullptr);
            m_statements = nullptr;
        } else {
            writeRows(*data, prefix, defaulted);
        }
    }
    if (m_dump.stopped())
        return false;
    m_format.afterRows(table, m_dump.progress().rowsWritten - rowsBefore, m_dump);
    return true;
}

void TableWriter::writeRows(RecordSet& data, const QByteArray& prefix, const std::vector<bool>& defaulted)
{
    ScriptBuffer& buffer = m_dump.buffer();
    const int fieldCount = int(defaulted.size());
    // Each row is written as it is read, so memory does not grow with the table.
    while (!m_dump.stopped()) {
        bool end = true;
        if (!m_dump.step(SaveAllLine::RowsEnd, [&] { end = data.Eof(); }) || end)
            break;
        // The clock is read before every row, so a server that sends rows slowly still leaves the window live.
        m_dump.pump(); // SaveAllLine::PumpPerRow, SaveAllLine::PumpAfterRow
        if (m_dump.stopped())
            break;

        if (m_statements)
            m_statements->beginRow();
        else
            buffer.append(prefix);
        for (int i = 0; i < fieldCount; ++i) {
            if (i > 0)
                buffer.append(std::string_view(", "));
            if (defaulted[std::size_t(i)]) {
                buffer.append(std::string_view("DEFAULT"));
                continue;
            }
            if (data.isLongField(i)) {
                writeLongValue(data, i);
                continue;
            }
            const FieldValue* value = nullptr;
            if (m_dump.step(SaveAllLine::ReadValue, [&] { value = &data.Fields(i); }))
                ScriptText::appendValue(buffer, *value);
            else
                buffer.append(std::string_view("NULL"));
        }
        if (m_statements)
            m_statements->endRow();
        else
            buffer.append(std::string_view(");\r\n"));
        ++m_dump.progress().rowsWritten;

        const bool moved = m_dump.step(SaveAllLine::MoveNext, [&] { data.MoveNext(); });
        if (buffer.size() >= FlushThreshold)
            m_dump.flush();
        if (!moved)
            break;
    }
}

void TableWriter::writeLongValue(RecordSet& data, int index)
{
    // A long value goes into the file as it comes from the driver, a piece at a time: memory does not grow with it.
    ScriptText::LongValueWriter value(m_dump.buffer());
    m_dump.step(SaveAllLine::ReadValue, [&] {
        FieldValue piece;
        while (!m_dump.stopped() && data.FieldPiece(index, piece)) {
            value.add(piece);
            if (m_dump.buffer().size() >= FlushThreshold)
                m_dump.flush();
            m_dump.pump();
        }
    });
    value.finish();
}
