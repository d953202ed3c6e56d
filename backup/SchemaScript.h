#pragma once

#include "SchemaCatalogue.h"
#include "ScriptBuffer.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

/**
 * The complete schema's sections of a backup script: before the data (schemas, alias types, sequences, tables), the
 * frame of each table's rows, and after the data (keys, indexes, checks, foreign keys, modules, triggers). Every
 * function returns lines, joined with CR LF by the writer; batches end with lines that hold only "GO". Names are
 * written by ScriptText's rules: [...] with "]" doubled, N'...' with "'" doubled, comment lines kept to one line.
 */
namespace SchemaScript {

/** The separator line between batches. */
inline const QString Go = QStringLiteral("GO");

/** "[s].[n]". */
QString twoPartName(const QString& schema, const QString& name);

/** A column's type as declared: "NVARCHAR(100)", "DECIMAL(10,2)", "DATETIME2(0)", "VARBINARY(max)", "[dbo].[Phone]". */
QString typeText(const SchemaModel::Column& column);

/**
 * One column of CREATE TABLE: name, type, collation where it differs from the database's, IDENTITY(seed, increment),
 * NULL / NOT NULL and a named DEFAULT; a computed column as "AS (...)" with PERSISTED.
 */
QString columnDefinition(const SchemaModel::Column& column, const QString& databaseCollation);

/** The comment that names what the script does not hold; no lines when it holds everything. */
QStringList unscriptedComment(const SchemaModel::Database& db);

/** Before the data: schemas, alias types, sequences (continuing from their current value) and every table. */
QStringList beforeData(const SchemaModel::Database& db);

/** The columns that take a value in an INSERT: all but computed and rowversion columns. */
std::vector<const SchemaModel::Column*> insertedColumns(const SchemaModel::Table& table);
/** "SELECT [a], [b] FROM [s].[T]" over the inserted columns. */
QString dataQuery(const SchemaModel::Table& table);
/** "INSERT INTO [s].[T] ([a], [b]) VALUES " as UTF-8: what stands before the first row of a statement. */
QByteArray insertPrefix(const SchemaModel::Table& table);

/**
 * A table's rows as INSERT statements of several rows each, rendered into the dump's buffer as they are read:
 *
 *     INSERT INTO [s].[T] ([a], [b]) VALUES (1, 'x'),<CR><LF>
 *     (2, 'y');<CR><LF>
 *     GO<CR><LF>
 *     INSERT INTO [s].[T] ([a], [b]) VALUES (3, 'z');<CR><LF>
 *
 * A statement holds at most `maxRows` rows (SQL Server takes at most 1,000 in one VALUES list) and at most `maxBytes`
 * bytes, its ";" and line end included; a row longer than that stands alone. A GO line follows every statement but
 * the last, so that each is a batch of its own; the table's footer ends the last one.
 *
 * Each row is written where it will stand, after ",<CR><LF>"; whether it fits is known only at its end, and a row that
 * does not fit is moved to the beginning of a new statement. The bytes of a row that may still move must stay in the
 * buffer: mayFlush() tells when they may go to the file, so the buffer holds at most about `maxBytes` more.
 */
class InsertStatements
{
public:
    static constexpr int MaxRows = 1000;
    static constexpr std::size_t MaxBytes = 1024 * 1024;

    InsertStatements(ScriptBuffer& out, QByteArray prefix, int maxRows = MaxRows, std::size_t maxBytes = MaxBytes);

    /** Before a row's values: the prefix or the separator, then "(". */
    void beginRow();
    /** After a row's values: ")"; a row that makes its statement too long begins the next one. */
    void endRow();
    /**
     * Whether the buffer may go to the file now. Inside a row that may still move it may not; a row that can no longer
     * fit moves here, and then it may.
     */
    bool mayFlush();
    /** The buffer's bytes are about to go to the file (and the buffer to be emptied). */
    void flushing();
    /** Ends the last statement with ";" and a line end (the footer's GO follows); nothing when there were no rows. */
    void finish();

    qint64 statements() const { return m_statements; }

private:
    /** The statement's bytes so far, the row that may move included. */
    std::size_t statementBytes() const { return m_statementFlushed + (m_out.size() - m_statementStart); }
    void moveRowToNewStatement();

    ScriptBuffer& m_out;
    QByteArray m_prefix;
    int m_maxRows;
    std::size_t m_maxBytes;
    int m_rows = 0; ///< rows placed in the statement
    qint64 m_statements = 0;
    std::size_t m_statementStart = 0; ///< where the statement's bytes in the buffer begin
    std::size_t m_statementFlushed = 0; ///< its bytes that went to the file
    static constexpr std::size_t NoRow = std::size_t(-1);
    std::size_t m_rowStart = NoRow; ///< where the separator of a row that may still move stands in the buffer
};
/** The comment lines before a table's rows, and SET IDENTITY_INSERT ... ON for a table with an identity column. */
QStringList rowsHeader(const SchemaModel::Table& table);
/**
 * After a table's rows: SET IDENTITY_INSERT ... OFF, then DBCC CHECKIDENT (..., RESEED, n) so that new rows continue
 * from the server's current value; "GO" and an empty line.
 */
QStringList rowsFooter(const SchemaModel::Table& table, qint64 rowsWritten);

/** After the data: keys, indexes, checks, foreign keys, then views, functions and procedures, then triggers. */
QStringList afterData(const SchemaModel::Database& db);

} // namespace SchemaScript
