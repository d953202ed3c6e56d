#pragma once

#include "Failure.h"

#include <QString>

/** The six values of the connection window, as typed. */
struct ConnectionSettings
{
    QString Server;
    QString UserName;
    QString Password;
    QString Database;
    QString Port = QStringLiteral("1433"); ///< text, never parsed
    bool LocalConnection = false;

    /**
     * The same connection to another database on the same server (master for the restore's fallback, the target of a
     * restore under another name, the scratch database of the restore drill): every other value as it is.
     */
    ConnectionSettings withDatabase(const QString& database) const
    {
        ConnectionSettings other = *this;
        other.Database = database;
        return other;
    }

    bool operator==(const ConnectionSettings&) const = default;
};

/** Thrown by BuildConnectionString for a value that no ODBC connection string can carry. */
class ConnectionStringError : public Failure
{
public:
    using Failure::Failure;
};

/**
 * The ODBC connection string: "Driver={SQL Server};Server=" server [",", port when not local] ";Database=" database
 * ";Uid=" user ";Pwd=" password ";". Values are inserted as typed; only a value holding ";" or beginning with "{" is
 * put in braces, so that it reaches the server as typed. A value holding "};" cannot be passed to the driver
 * exactly: ConnectionStringError, naming the field.
 */
QString BuildConnectionString(const ConnectionSettings& settings);
