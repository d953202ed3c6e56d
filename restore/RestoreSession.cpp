#include "RestoreSession.h"

#include "ExecuteScript.h"

using namespace Qt::Literals::StringLiterals;

RestoreSession::RestoreSession(Connection& connection, BatchTransform transform)
    : m_connection(connection)
    , m_transform(std::move(transform))
{ }

void RestoreSession::execute(const QString& text)
{
    // Closing the result walks the rest of the batch: a batch that returns rows somewhere still runs to its end, and a
    // statement that fails after them is raised here rather than lost.
    m_connection.Execute(text)->Close();
}

void RestoreSession::send(const ScriptBatch& batch)
{
    // A transform that refuses the batch (restore-as) does so before anything of it reaches the server.
    const QString text = m_transform ? m_transform(batch) : batch.text;
    if (!m_started) {
        // The script writes dates month first; a login whose language reads them day first would swap them.
        execute(u"SET DATEFORMAT mdy"_s);
        m_started = true;
    }
    if (!batch.onlyInserts) {
        m_table.clear();
        m_tableRows = 0;
        try {
            execute(text);
        } catch (const Failure& error) {
            // The script's "USE [master]" makes the server announce the switch; some drivers report it as an error,
            // and the batch has run all the same.
            if (!IsContextChangeToMaster(error))
                throw ScriptBatchError(error, batch.firstLine, m_batchesDone);
        }
        ++m_batchesDone;
        return;
    }

    if (!m_abortSet) {
        // An error inside the transaction ends and rolls back all of it, not just its statement.
        execute(XactAbortStatement.toString());
        m_abortSet = true;
    }
    if (batch.table != m_table) {
        m_table = batch.table;
        m_tableRows = 0;
    }
    try {
        execute(BeginStatement.toString());
        execute(text);
        execute(CommitStatement.toString());
    } catch (const Failure& error) {
        try {
            execute(RollbackStatement.toString());
        } catch (const Failure&) {
            // The server rolled it back with the error already, or the connection is gone with it.
        }
        throw ScriptBatchError(error, batch.firstLine, m_batchesDone, batch.table, m_tableRows);
    }
    ++m_batchesDone;
    m_tableRows += batch.rows;
    m_rowsDone += batch.rows;
}
