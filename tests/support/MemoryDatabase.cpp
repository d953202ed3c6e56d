#include "MemoryDatabase.h"

#include "RegexJit.h"

#include <QRegularExpression>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace {

/** A result held whole, or one produced row by row from a table's rows or generator. */
class MemoryRecordSet : public RecordSet
{
public:
    MemoryRecordSet(QStringList names, std::vector<MemoryDatabase::Row> rows)
        : m_names(std::move(names))
        , m_rows(std::move(rows))
    { }
    MemoryRecordSet(QStringList names,
                    const std::vector<MemoryDatabase::Row>* source,
                    MemoryDatabase::RowGenerator generator,
                    qint64 failAfter)
        : m_names(std::move(names))
        , m_source(source)
        , m_generator(std::move(generator))
        , m_failAfter(failAfter)
        , m_streaming(true)
    {
        fetch();
    }

    /** Long columns are read in pieces of `pieceSize`, or from `longValues`. */
    void setPieces(std::vector<bool> longColumns, qsizetype pieceSize, MemoryDatabase::PieceGenerator longValues)
    {
        m_long = std::move(longColumns);
        m_pieceSize = pieceSize;
        m_longValues = std::move(longValues);
    }

    bool isLongField(int index) const override
    {
        return (m_pieceSize > 0 || m_longValues) && index >= 0 && size_t(index) < m_long.size()
            && m_long[size_t(index)];
    }

    bool FieldPiece(int index, FieldValue& piece) override
    {
        if (!isLongField(index))
            return RecordSet::FieldPiece(index, piece);
        if (index != m_pieceColumn) {
            m_pieceColumn = index;
            m_pieceIndex = 0;
            m_pieceDone = false;
        }
        if (m_pieceDone)
            return false;
        const qint64 at = m_pieceIndex++;
        if (m_longValues) {
            m_pieceDone = !m_longValues(m_position, index, at, piece);
            return !m_pieceDone;
        }
        const FieldValue& value = Fields(index);
        const qsizetype from = qsizetype(at) * m_pieceSize;
        const bool binary = value.kind == FieldValue::Kind::Binary;
        const qsizetype size = binary ? value.bytes.size() : value.text.size();
        if (value.isNull()) {
            piece = FieldValue::null();
            m_pieceDone = true;
            return true;
        }
        if (at > 0 && from >= size) {
            m_pieceDone = true;
            return false;
        }
        piece.kind = value.kind;
        if (binary)
            piece.bytes = value.bytes.mid(from, m_pieceSize);
        else
            piece.text = value.text.mid(from, m_pieceSize);
        return true;
    }

    bool Eof() override
    {
        checkOpen();
        return m_streaming ? !m_hasCurrent : m_index >= m_rows.size();
    }
    void MoveNext() override
    {
        if (Eof())
            throw DbError(u"[Memory]Either BOF or EOF is True, or the current record has been deleted."_s, 3021);
        if (m_streaming) {
            if (m_failAfter >= 0 && m_position + 1 >= m_failAfter)
                throw DbError(u"[Memory][SQL Server]Communication link failure"_s, 11, u"08S01"_s);
            ++m_position;
            fetch();
        } else {
            ++m_index;
        }
    }
    int FieldCount() const override { return int(m_names.size()); }
    QString FieldName(int index) const override { return m_names.value(index); }
    const FieldValue& Fields(int index) override
    {
        if (Eof())
            throw DbError(u"[Memory]Either BOF or EOF is True, or the current record has been deleted."_s, 3021);
        const MemoryDatabase::Row& row = m_streaming ? m_current : m_rows[m_index];
        if (index < 0 || size_t(index) >= row.size())
            throw DbError(u"[Memory]Item cannot be found in the collection."_s, 3265);
        return row[size_t(index)];
    }
    const FieldValue& Fields(const QString& name) override
    {
        for (int i = 0; i < m_names.size(); ++i)
            if (m_names[i].compare(name, Qt::CaseInsensitive) == 0)
                return Fields(i);
        throw DbError(u"[Memory]Item cannot be found in the collection."_s, 3265);
    }
    qint64 RecordCount() override
    {
        checkOpen();
        return m_streaming ? -1 : qint64(m_rows.size());
    }
    void Close() override
    {
        checkOpen();
        m_closed = true;
    }

private:
    void checkOpen() const
    {
        if (m_closed)
            throw DbError(u"[Memory]Operation is not allowed when the object is closed."_s, 3704);
    }
    void fetch()
    {
        m_pieceColumn = -1;
        if (m_generator) {
            m_hasCurrent = m_generator(m_position, m_current);
        } else {
            m_hasCurrent = m_source && size_t(m_position) < m_source->size();
            if (m_hasCurrent)
                m_current = (*m_source)[size_t(m_position)];
        }
    }

    QStringList m_names;
    std::vector<MemoryDatabase::Row> m_rows;
    size_t m_index = 0;
    const std::vector<MemoryDatabase::Row>* m_source = nullptr;
    MemoryDatabase::RowGenerator m_generator;
    qint64 m_failAfter = -1;
    bool m_streaming = false;
    qint64 m_position = 0;
    bool m_hasCurrent = false;
    MemoryDatabase::Row m_current;
    bool m_closed = false;
    std::vector<bool> m_long;
    qsizetype m_pieceSize = 0;
    MemoryDatabase::PieceGenerator m_longValues;
    int m_pieceColumn = -1;
    qint64 m_pieceIndex = 0;
    bool m_pieceDone = false;
};

class MemoryConnection : public Connection
{
public:
    explicit MemoryConnection(MemoryDatabase& db)
        : m_db(db)
    { }
    ~MemoryConnection() override
    {
        const std::lock_guard lock(m_db.connectionMutex());
        ++m_db.released;
    }

    void setCursorLocation(int location) override
    {
        const std::lock_guard lock(m_db.connectionMutex());
        m_db.lastCursorLocation = location;
    }

    void Open(const QString& connectionString) override
    {
        const std::lock_guard lock(m_db.connectionMutex());
        m_db.connectionStrings.append(connectionString);
        if (!m_db.refuseLogin.isEmpty())
            throw DbError(m_db.refuseLogin, 18456);
        m_open = true;
        ++m_db.opened;
    }

    std::unique_ptr<RecordSet> Execute(const QString& commandText) override
    {
        const std::lock_guard lock(m_db.connectionMutex());
        checkOpen();
        m_info.clear();
        m_db.executed.append(commandText);
        if (!m_db.failCommandContaining.isEmpty() && commandText.contains(m_db.failCommandContaining))
            throw DbError(m_db.failText, 102, m_db.failState);

        static const QRegularExpression catalogueQuery(
            uR"(^SELECT TABLE_SCHEMA, TABLE_NAME, COLUMN_NAME, ORDINAL_POSITION, DATA_TYPE, CHARACTER_MAXIMUM_LENGTH, )"
            uR"(NUMERIC_PRECISION, NUMERIC_SCALE, DATETIME_PRECISION, IS_NULLABLE, COLLATION_NAME, COLUMN_DEFAULT )"
            uR"(FROM information_schema\.COLUMNS ORDER BY TABLE_SCHEMA, TABLE_NAME, ORDINAL_POSITION$)"_s);
        static const QRegularExpression tableListQuery(
            uR"(^SELECT TABLE_SCHEMA, TABLE_NAME, TABLE_TYPE FROM information_schema\.TABLES )"
            uR"(ORDER BY TABLE_TYPE, TABLE_SCHEMA, TABLE_NAME$)"_s);
        static const QRegularExpression dataQuery(
            uR"(^SELECT (\*|\[(?:[^\]]|\]\])*\](?:, \[(?:[^\]]|\]\])*\])*) FROM (?:\[((?:[^\]]|\]\])*)\]\.)?)"
            uR"(\[((?:[^\]]|\]\])*)\]$)"_s,
            QRegularExpression::CaseInsensitiveOption);
        static const QRegularExpression filesQuery(uR"(^SELECT physical_name, ?type FROM sys\.database_files$)"_s,
                                                   QRegularExpression::CaseInsensitiveOption);

        if (catalogueQuery.match(commandText).hasMatch())
            return catalogueResult();
        if (tableListQuery.match(commandText).hasMatch())
            return tableListResult();
        if (const auto m = dataQuery.match(commandText); m.hasMatch()) {
            // As SQL Server does: a snapshot transaction is refused at its first read of a table, not before.
            if (m_snapshot && m_inTransaction && m_db.snapshotIsolationState != 1) {
                m_inTransaction = false;
                throw DbError(u"[Memory][SQL Server]Snapshot isolation transaction failed accessing database 'Sales' "
                              u"because snapshot isolation is not allowed in this database. Use ALTER DATABASE to "
                              u"allow snapshot isolation."_s,
                              3952);
            }
            const QString schema = m.hasCaptured(2) ? m.captured(2).replace(u"]]"_s, u"]"_s) : u"dbo"_s;
            const MemoryDatabase::Table& table = findTable(schema, m.captured(3).replace(u"]]"_s, u"]"_s));
            if (m.captured(1) != u"*"_s)
                return namedColumns(table, m.captured(1));
            QStringList names;
            std::vector<bool> longColumns;
            for (const auto& column : table.columns) {
                names.append(column.name);
                longColumns.push_back(MemoryDatabase::isLongColumn(column));
            }
            auto result = std::make_unique<MemoryRecordSet>(names, &table.rows, table.generator, m_db.failAfterRows);
            result->setPieces(std::move(longColumns), m_db.pieceSize, table.longValues);
            return result;
        }
        static const QRegularExpression transaction(
            uR"(^(SET TRANSACTION ISOLATION LEVEL ([A-Z ]+)|BEGIN TRAN(SACTION)?|(COMMIT|ROLLBACK)( TRAN(SACTION)?)?)$)"_s,
            QRegularExpression::CaseInsensitiveOption);
        static const QRegularExpression databaseQuery(
            uR"(^SELECT name FROM master\.dbo\.sysdatabases WHERE name = N'((?:[^']|'')*)'$)"_s);
        if (const auto m = databaseQuery.match(commandText); m.hasMatch()) {
            const QString name = m.captured(1).replace(u"''"_s, u"'"_s);
            std::vector<MemoryDatabase::Row> rows;
            if (m_db.databases.contains(name, Qt::CaseInsensitive))
                rows.push_back({FieldValue::ofText(name)});
            return std::make_unique<MemoryRecordSet>(QStringList{u"name"_s}, std::move(rows));
        }
        if (const auto m = transaction.match(commandText); m.hasMatch()) {
            if (m.hasCaptured(2)) {
                m_snapshot = m.captured(2).compare(u"SNAPSHOT"_s, Qt::CaseInsensitive) == 0;
                if (m_snapshot && !m_db.snapshotIsolationState)
                    throw DbError(u"[Memory][SQL Server]Incorrect syntax near 'SNAPSHOT'."_s, 102);
            } else {
                m_inTransaction = commandText.startsWith(u"BEGIN"_s, Qt::CaseInsensitive);
            }
            return std::make_unique<MemoryRecordSet>(QStringList(), std::vector<MemoryDatabase::Row>());
        }
        if (filesQuery.match(commandText).hasMatch()) {
            if (!m_db.databaseFiles)
                throw DbError(u"[Memory][SQL Server]Invalid object name 'sys.database_files'."_s, 208);
            std::vector<MemoryDatabase::Row> rows;
            for (const auto& file : *m_db.databaseFiles)
                rows.push_back({FieldValue::ofText(file.physicalName),
                                FieldValue::ofText(QString::number(file.type), FieldValue::Kind::Integer)});
            return std::make_unique<MemoryRecordSet>(QStringList{u"physical_name"_s, u"type"_s}, std::move(rows));
        }

        m_db.batches.append(commandText);
        if (m_db.batchHandler)
            m_db.batchHandler(commandText, m_info);
        return std::make_unique<MemoryRecordSet>(QStringList(), std::vector<MemoryDatabase::Row>());
    }

    std::unique_ptr<RecordSet> OpenSchema(int schema) override
    {
        const std::lock_guard lock(m_db.connectionMutex());
        checkOpen();
        if (schema != adSchemaTables)
            throw DbError(u"[Memory]Object or provider is not capable of performing requested operation."_s, 3251);
        std::vector<MemoryDatabase::Row> rows;
        for (const auto& table : m_db.tables())
            rows.push_back({FieldValue::ofText(table.schema),
                            FieldValue::ofText(m_db.lowerCaseTableList ? table.name.toLower() : table.name),
                            FieldValue::ofText(table.type)});
        return std::make_unique<MemoryRecordSet>(QStringList{u"TABLE_SCHEM"_s, u"TABLE_NAME"_s, u"TABLE_TYPE"_s},
                                                 std::move(rows));
    }

    void Close() override
    {
        const std::lock_guard lock(m_db.connectionMutex());
        checkOpen();
        m_open = false;
        ++m_db.closed;
    }

    QStringList infoMessages() const override { return m_info; }

private:
    void checkOpen() const
    {
        if (!m_open)
            throw DbError(u"[Memory]Operation is not allowed when the object is closed."_s, 3704);
    }

    /** The rows of the named columns ("[a], [b]"), in the order named; held rows only. */
    std::unique_ptr<RecordSet> namedColumns(const MemoryDatabase::Table& table, const QString& list) const
    {
        static const QRegularExpression name(uR"(\[((?:[^\]]|\]\])*)\])"_s);
        QStringList names;
        std::vector<qsizetype> at;
        for (const QRegularExpressionMatch& m : name.globalMatch(list)) {
            names << m.captured(1).replace(u"]]"_s, u"]"_s);
            const auto column = std::find_if(table.columns.begin(), table.columns.end(),
                                             [&](const MemoryDatabase::Column& c) { return c.name == names.last(); });
            if (column == table.columns.end())
                throw DbError(u"[Memory][SQL Server]Invalid column name '%1'."_s.arg(names.last()), 207);
            at.push_back(column - table.columns.begin());
        }
        std::vector<MemoryDatabase::Row> rows;
        for (const MemoryDatabase::Row& row : table.rows) {
            MemoryDatabase::Row picked;
            for (const qsizetype i : at)
                picked.push_back(row.at(std::size_t(i)));
            rows.push_back(std::move(picked));
        }
        return std::make_unique<MemoryRecordSet>(names, std::move(rows));
    }

    const MemoryDatabase::Table& findTable(const QString& schema, const QString& name) const
    {
        for (const auto& table : m_db.tables())
            if (table.name.compare(name, Qt::CaseInsensitive) == 0
                && table.schema.compare(schema, Qt::CaseInsensitive) == 0)
                return table;
        throw DbError(u"[Memory][SQL Server]Invalid object name '"_s + name + u"'."_s, 208);
    }

    /** The tables and views in the order they were added, which stands for the server's sorted table list. */
    std::unique_ptr<RecordSet> tableListResult()
    {
        std::vector<MemoryDatabase::Row> rows;
        for (const auto& table : m_db.tables()) {
            if (table.type == u"SYSTEM TABLE"_s)
                continue; // information_schema lists no system tables
            rows.push_back({FieldValue::ofText(table.schema),
                            FieldValue::ofText(m_db.lowerCaseTableList ? table.name.toLower() : table.name),
                            FieldValue::ofText(table.type == u"TABLE"_s ? u"BASE TABLE"_s : table.type)});
        }
        return std::make_unique<MemoryRecordSet>(QStringList{u"TABLE_SCHEMA"_s, u"TABLE_NAME"_s, u"TABLE_TYPE"_s},
                                                 std::move(rows));
    }

    /** Every column of every table and view, in the order of the table list, as information_schema gives them. */
    std::unique_ptr<RecordSet> catalogueResult()
    {
        const auto number = [](std::optional<qint64> value) {
            return value ? FieldValue::ofText(QString::number(*value), FieldValue::Kind::Integer) : FieldValue::null();
        };
        std::vector<MemoryDatabase::Row> rows;
        for (const auto& table : m_db.tables()) {
            if (table.type == u"SYSTEM TABLE"_s)
                continue;
            qint64 ordinal = 0;
            for (const auto& column : table.columns) {
                const bool character = column.maxLength.has_value();
                rows.push_back({FieldValue::ofText(table.schema), FieldValue::ofText(table.name),
                                FieldValue::ofText(column.name), number(++ordinal), FieldValue::ofText(column.dataType),
                                number(column.maxLength), number(column.precision), number(column.scale),
                                FieldValue::null(), FieldValue::ofText(column.nullable ? u"YES"_s : u"NO"_s),
                                character ? FieldValue::ofText(u"SQL_Latin1_General_CP1_CI_AS"_s) : FieldValue::null(),
                                FieldValue::null()});
            }
        }
        if (m_db.reverseCatalogue)
            std::reverse(rows.begin(), rows.end());
        return std::make_unique<MemoryRecordSet>(
            QStringList{u"TABLE_SCHEMA"_s, u"TABLE_NAME"_s, u"COLUMN_NAME"_s, u"ORDINAL_POSITION"_s, u"DATA_TYPE"_s,
                        u"CHARACTER_MAXIMUM_LENGTH"_s, u"NUMERIC_PRECISION"_s, u"NUMERIC_SCALE"_s,
                        u"DATETIME_PRECISION"_s, u"IS_NULLABLE"_s, u"COLLATION_NAME"_s, u"COLUMN_DEFAULT"_s},
            std::move(rows));
    }

    MemoryDatabase& m_db;
    bool m_open = false;
    bool m_snapshot = false; ///< the session's isolation level is SNAPSHOT
    bool m_inTransaction = false;
    QStringList m_info;
};

} // namespace

MemoryDatabase::Table& MemoryDatabase::addTable(const QString& name, const QList<Column>& columns, const QString& type)
{
    Table table;
    table.name = name;
    table.type = type;
    table.columns = columns;
    m_tables.append(std::move(table));
    return m_tables.last();
}

std::unique_ptr<Connection> MemoryDatabase::createConnection()
{
    if (!refuseCreate.isEmpty())
        throw Failure(refuseCreate, 429);
    return std::make_unique<MemoryConnection>(*this);
}

bool MemoryDatabase::isLongColumn(const Column& column)
{
    const QString type = column.dataType.toLower();
    if (type == u"text"_s || type == u"ntext"_s || type == u"image"_s || type == u"xml"_s)
        return true;
    return (type == u"varchar"_s || type == u"nvarchar"_s || type == u"varbinary"_s) && column.maxLength == -1;
}

namespace {
// The in-memory database matches its queries on the dump's and the restore's worker threads too; the tests run with
// the regular expressions' JIT off, as the programs do.
const bool regexJitOff = [] {
    turnOffRegexJit();
    return true;
}();
} // namespace
