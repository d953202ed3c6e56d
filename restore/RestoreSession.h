#pragma once

#include "DataAccess.h"
#include "ScriptBatcher.h"

#include <QString>

#include <functional>

/**
 * A batch of the script that failed: the server's text (or the driver's, when the connection failed while it ran),
 * where the batch begins in the file, and how many batches of the script ran before it.
 */
class ScriptBatchError : public DbError
{
public:
    ScriptBatchError(
        const Failure& error, qint64 firstLine, qint64 batchesBefore, const QString& table = {}, qint64 rowsBefore = 0)
        : DbError(error.description(), error.number(), stateOf(error))
        , m_firstLine(firstLine)
        , m_batchesBefore(batchesBefore)
        , m_table(table)
        , m_rowsBefore(rowsBefore)
    { }
    /** The line of the file (from 1) where the failed batch begins. */
    qint64 firstLine() const { return m_firstLine; }
    /** The script's batches that went through before it (over every connection of the restore); they stay done. */
    qint64 batchesBefore() const { return m_batchesBefore; }
    void setBatchesBefore(qint64 count) { m_batchesBefore = count; }
    /** The table whose rows the batch was loading, in a transaction that was rolled back; empty for other batches. */
    const QString& table() const { return m_table; }
    /** Rows of that table restored before the batch (its earlier batches of the same run of rows). */
    qint64 rowsBefore() const { return m_rowsBefore; }

private:
    static QString stateOf(const Failure& error)
    {
        const auto* db = dynamic_cast<const DbError*>(&error);
        return db ? db->state() : QString();
    }

    qint64 m_firstLine;
    qint64 m_batchesBefore;
    QString m_table;
    qint64 m_rowsBefore;
};

/**
 * What is sent for a batch of the script, given the batch; empty sends its text. Restore into another database puts
 * its name into the database block's batches here; a parallel restore passes the USE statement that its connections
 * begin with through it too.
 */
using BatchTransform = std::function<QString(const ScriptBatch&)>;

/**
 * One connection's part of a restore: sends the script's batches in order. Before the first it sets the session's
 * `SET DATEFORMAT mdy` (the script writes dates month first), before the first of INSERT statements only
 * `SET XACT_ABORT ON`. A batch that holds only INSERT statements goes between `BEGIN TRANSACTION` and
 * `COMMIT TRANSACTION`, so that a failing one leaves none of its rows
 * behind (the server rolls it back; `IF @@TRANCOUNT > 0 ROLLBACK TRANSACTION` makes sure); other batches are sent as
 * they are. The first batch that fails raises ScriptBatchError, naming for an INSERT batch its table and the rows of
 * that table restored before it, and the batches this session sent before it; the notice of a switch to master
 * reported as an error counts as success.
 */
class RestoreSession
{
public:
    explicit RestoreSession(Connection& connection, BatchTransform transform = {});

    void send(const ScriptBatch& batch);
    /** Whether anything was sent. */
    bool started() const { return m_started; }
    /** Rows of the INSERT batches that went through. */
    qint64 rowsDone() const { return m_rowsDone; }

    static constexpr QStringView XactAbortStatement = u"SET XACT_ABORT ON";
    static constexpr QStringView BeginStatement = u"BEGIN TRANSACTION";
    static constexpr QStringView CommitStatement = u"COMMIT TRANSACTION";
    static constexpr QStringView RollbackStatement = u"IF @@TRANCOUNT > 0 ROLLBACK TRANSACTION";

private:
    void execute(const QString& text);

    Connection& m_connection;
    BatchTransform m_transform;
    bool m_started = false;
    bool m_abortSet = false;
    QString m_table; ///< the table of the run of INSERT batches going on
    qint64 m_tableRows = 0; ///< its rows that went through
    qint64 m_rowsDone = 0;
    qint64 m_batchesDone = 0; ///< the script's batches that went through (not the session's own SET statements)
};
