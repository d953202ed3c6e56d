#pragma once

#include "SchemaCatalogue.h"
#include "StopRequest.h"

#include <QString>

#include <exception>
#include <future>
#include <memory>
#include <thread>

class Connection;
class ConnectionFactory;

/**
 * Reads the complete schema over two connections. The dump's connection reads the tables and their columns; a second
 * one, opened with the same connection string on a thread of its own, reads meanwhile the rest of what comes before
 * the rows, then what the script writes after them, while the rows stream on the first. Some servers take most of a
 * second over each catalogue view a connection uses first, so the two halves cost the longer one's time, and the
 * objects after the data cost nothing that the rows do not already take.
 *
 * A server that does not make or admit the second connection leaves every read to the dump's own, in the same order
 * as one connection reads them, the objects after the data after the rows.
 *
 * The second connection reads outside the dump's snapshot transaction; the catalogue is not versioned by it anyway.
 * A stop cancels what the second connection waits for; the destructor does too and waits for the thread, so none is
 * left running, whichever way the dump ends.
 */
class SchemaReader
{
public:
    /** Starts the second connection's reads at once. */
    SchemaReader(ConnectionFactory& factory, const QString& connectionString, StopRequest* stop);
    ~SchemaReader();
    SchemaReader(const SchemaReader&) = delete;
    SchemaReader& operator=(const SchemaReader&) = delete;

    /**
     * Everything the script writes before the rows: the tables on `connection`, joined with what the second connection
     * read meanwhile (or, without a second connection, what `connection` reads now). Throws the first failure: this
     * connection's, else the second's.
     */
    SchemaModel::Database readBeforeData(Connection& connection);

    /**
     * Waits for the objects after the data and moves them into `db`; throws the second connection's failure. Without
     * a second connection, `connection` reads them now.
     */
    void readAfterData(Connection& connection, SchemaModel::Database& db);

private:
    void readOnSide(QString connectionString);
    void stopSide() noexcept;

    class SideConnection;
    std::unique_ptr<SideConnection> m_side;
    std::promise<void> m_overviewRead;
    std::future<void> m_overview;
    SchemaModel::Database m_beforeData; ///< the second connection's, until readBeforeData takes it
    SchemaModel::Database m_afterData; ///< the second connection's, until readAfterData takes it
    std::exception_ptr m_afterDataFailure;
    /** The second connection could not be made or opened: the dump's connection reads it all. */
    bool m_sideRefused = false;
    SchemaModel::Overview m_ownOverview; ///< what the dump's connection read of the overview, without a second one
    std::thread m_thread;
    StopRequest::Hook m_cancel; ///< goes first: no stop reaches the connection while it is taken down
};
