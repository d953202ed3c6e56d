#pragma once

#include "ConnectionSettings.h"
#include "DataAccess.h"

#include <QList>
#include <QString>

#include <memory>

/**
 * A connection to the server's database master with the login of the connection settings, for the questions about
 * the server's databases that the restore and the drill ask: the one place that reads master.dbo.sysdatabases.
 * Opening throws Failure (the login refused, no server); so does every question.
 */
class MasterConnection
{
public:
    /** Opens the connection. */
    MasterConnection(ConnectionFactory& factory, const ConnectionSettings& settings);

    /** True when master.dbo.sysdatabases lists the database (as the server compares names). */
    bool databaseExists(const QString& name);

    /** A database that master.dbo.sysdatabases lists, and how long ago it was created. */
    struct Database
    {
        QString name;
        qint64 ageSeconds = 0;
    };
    /** The databases whose names begin with `stem`, taken literally (LIKE's own marks in it are escaped). */
    QList<Database> databasesBeginningWith(const QString& stem);

    /** Drops the database when it is there (one statement; nothing when it is not). */
    void dropDatabaseIfExists(const QString& name);

    /** The connection, for other statements in master. */
    Connection& connection() { return *m_connection; }
    /** The connection string that opened it. */
    const QString& connectionString() const { return m_connectionString; }
    /** Closes the connection; throws Failure when the driver cannot. */
    void close() { m_connection->Close(); }
    /** Hands the open connection over, to go on with it in master. */
    std::unique_ptr<Connection> release() { return std::move(m_connection); }

private:
    QString m_connectionString;
    std::unique_ptr<Connection> m_connection;
};
