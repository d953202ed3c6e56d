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
