#pragma once

#include "ErrorReport.h"
#include "IntervalSave.h"
#include "SchemaCatalogue.h"
#include "ScriptBuffer.h"

#include <QByteArray>
#include <QSet>
#include <QString>
#include <QStringList>

#include <vector>

class Connection;
class RecordSet;

namespace SchemaScript {
class InsertStatements;
}

// The writer of a table model, private to the engine: one loop over the tables for both script formats, with what
// differs between the formats asked of the format.

/**
 * What the table writer asks of the dump that runs it: SaveAll's numbered steps, the script's bytes on their way to
 * the file, the event pump and the progress. The engine's dump is one; a test can be another.
 */
class DumpSteps
{
public:
    virtual ~DumpSteps() = default;
    DumpSteps(const DumpSteps&) = delete;
    DumpSteps& operator=(const DumpSteps&) = delete;

    /**
     * Runs numbered step `line` of SaveAll; false when it failed (and was reported) or did not run. After a stop no
     * step runs, and a step that the stop made fail is not the dump's failure.
     */
    template <typename Statement> bool step(int line, Statement&& statement)
    {
        if (interrupted())
            return false;
        if (m_proc.run(line, std::forward<Statement>(statement)))
            return true;
        if (!interrupted())
            failed(m_proc.firstFailure());
        return false;
    }
    /** One step that appends lines to the buffer. */
    void lines(int line, const QStringList& texts);

    /** The script's bytes not yet in the file. */
    ScriptBuffer& buffer() { return m_buffer; }
    /** Moves the buffer into the file; false once the dump writes nothing more (a write failed, or a stop). */
    bool flush();
    /** True once the dump writes nothing more. */
    bool stopped() const { return m_stopped; }
    /** While set, a flush leaves a row of these statements that may still move to the next statement in the buffer. */
    void holdRows(SchemaScript::InsertStatements* statements) { m_held = statements; }

    DumpProgress& progress() { return m_progress; }
    /** Tells the caller how far the dump is. */
    virtual void reportProgress() = 0;
    /** Lets events run now and then; what the buffer holds reaches the file first. */
    virtual void pump() = 0;

protected:
    /** The steps are reported as SaveAll's, through `reports`. */
    explicit DumpSteps(Dialogs& reports);

    /** True once a stop came: no step runs after it. */
    virtual bool interrupted() = 0;
    /** A step failed and was reported: the dump's outcome notes the procedure's first failure. */
    virtual void failed(const QString& firstFailure) = 0;
    /** Appends bytes to the file; false when the write failed (and was reported). */
    virtual bool write(const QByteArray& bytes) = 0;
    void setStopped(bool stopped) { m_stopped = stopped; }

private:
    ReportingProcedure m_proc;
    ScriptBuffer m_buffer;
    SchemaScript::InsertStatements* m_held = nullptr;
    bool m_stopped = false;
    DumpProgress m_progress;
};

/** What a script format writes of each table; the table writer runs the same loop for every format. */
class TableFormat
{
public:
    virtual ~TableFormat() = default;

    /** A table the format leaves out: nothing of it is written and no event runs for it. */
    virtual bool skips(const SchemaModel::Table& table) const = 0;
    /** What stands before the table's rows, in SaveAll's steps; false when the dump stopped on the way. */
    virtual bool beforeRows(const SchemaModel::Table& table, DumpSteps& dump) = 0;
    /** The columns the rows hold, in the order the data query gives them. */
    virtual std::vector<const SchemaModel::Column*> rowColumns(const SchemaModel::Table& table) const = 0;
    virtual QString dataQuery(const SchemaModel::Table& table) const = 0;
    /** The table's name in the report of rows that do not match its columns. */
    virtual QString reportedName(const SchemaModel::Table& table) const = 0;
    /** What stands before each row, or before each statement's first row when a statement holds several. */
    virtual QByteArray insertPrefix(const SchemaModel::Table& table) const = 0;
    /** Several rows a statement (SchemaScript::InsertStatements); else one INSERT line a row. */
    virtual bool severalRowsAStatement() const = 0;
    /** What follows the table's `rows` rows, in SaveAll's steps. */
    virtual void afterRows(const SchemaModel::Table& table, qint64 rows, DumpSteps& dump) = 0;
};

/**
 * The default format: the tables of information_schema's list (views, system tables and the trace tables left out),
 * each with DROP TABLE and CREATE TABLE, a schema's CREATE SCHEMA before its first table, one INSERT line a row and
 * DEFAULT for a rowversion column.
 */
class DefaultTableFormat final : public TableFormat
{
public:
    bool skips(const SchemaModel::Table& table) const override;
    bool beforeRows(const SchemaModel::Table& table, DumpSteps& dump) override;
    std::vector<const SchemaModel::Column*> rowColumns(const SchemaModel::Table& table) const override;
    QString dataQuery(const SchemaModel::Table& table) const override;
    QString reportedName(const SchemaModel::Table& table) const override;
    QByteArray insertPrefix(const SchemaModel::Table& table) const override;
    bool severalRowsAStatement() const override { return false; }
    void afterRows(const SchemaModel::Table& table, qint64 rows, DumpSteps& dump) override;

private:
    /** The schemas other than dbo whose CREATE SCHEMA the script holds. */
    QSet<QString> m_schemasMade;
};

/**
 * The complete schema's rows: every table of the model (its CREATE TABLE stands before the data), its rows between
 * SchemaScript's header and footer, several rows a statement, the computed and rowversion columns left out.
 */
class CompleteTableFormat final : public TableFormat
{
public:
    bool skips(const SchemaModel::Table&) const override { return false; }
    bool beforeRows(const SchemaModel::Table& table, DumpSteps& dump) override;
    std::vector<const SchemaModel::Column*> rowColumns(const SchemaModel::Table& table) const override;
    QString dataQuery(const SchemaModel::Table& table) const override;
    QString reportedName(const SchemaModel::Table& table) const override;
    QByteArray insertPrefix(const SchemaModel::Table& table) const override;
    bool severalRowsAStatement() const override { return true; }
    void afterRows(const SchemaModel::Table& table, qint64 rows, DumpSteps& dump) override;
};

/** Writes the tables of a model and their rows, as read through `connection`, in the given format. */
class TableWriter
{
public:
    TableWriter(DumpSteps& dump, Connection& connection, TableFormat& format);

    /**
     * Every table in order, each reaching the file at its end, the progress counted as it goes. Returns false when
     * the dump stopped before the last table was complete.
     */
    bool write(const std::vector<SchemaModel::Table>& tables);

private:
    bool writeTable(const SchemaModel::Table& table);
    void writeRows(RecordSet& data, const QByteArray& prefix, const std::vector<bool>& defaulted);
    void writeLongValue(RecordSet& data, int index);

    DumpSteps& m_dump;
    Connection& m_connection;
    TableFormat& m_format;
    /** The statements of the table being written when a statement holds several rows. */
    SchemaScript::InsertStatements* m_statements = nullptr;
};
