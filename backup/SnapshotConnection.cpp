#include "SnapshotConnection.h"

#include "Failure.h"

using namespace Qt::StringLiterals;

SnapshotConnection::SnapshotConnection(std::unique_ptr<Connection> inner)
    : m_inner(std::move(inner))
{ }

bool SnapshotConnection::requestSnapshot()
{
    try {
        m_inner->Execute(u"SET TRANSACTION ISOLATION LEVEL SNAPSHOT"_s);
        return true;
    } catch (const DbError&) {
        return false;
    }
}

void SnapshotConnection::beginTransaction()
{
    m_inner->Execute(u"BEGIN TRANSACTION"_s);
    m_inTransaction = true;
}

std::unique_ptr<RecordSet> SnapshotConnection::Execute(const QString& commandText)
{
    try {
        return m_inner->Execute(commandText);
    } catch (const DbError& error) {
        if (!m_inTransaction || error.number() != SnapshotNotAllowed)
            throw;
    }
    m_inTransaction = false;
    // The server may already have ended the transaction with the error; a ROLLBACK without one is refused, and
    // that refusal changes nothing.
    try {
        m_inner->Execute(u"ROLLBACK TRANSACTION"_s);
    } catch (const DbError&) { }
    m_inner->Execute(u"SET TRANSACTION ISOLATION LEVEL READ COMMITTED"_s);
    return m_inner->Execute(commandText);
}
