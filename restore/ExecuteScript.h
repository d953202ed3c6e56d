#pragma once

#include "ConnectionSettings.h"
#include "RestoreOptions.h"
#include "RestoreSession.h"

#include <QString>
#include <QStringList>

class ConnectionFactory;
class Dialogs;
class Failure;

/**
 * True for the server's notice of a switch to the database master reported as an error: the exact text
 * "[Microsoft][ODBC SQL Server Driver][SQL Server]Changed database context to 'master'.", or a driver error whose
 * text after its bracketed prefixes is exactly "Changed database context to 'master'.".
 */
bool IsContextChangeToMaster(const Failure& error);

/**
 * True when a login was refused because the database it names does not exist: SQL Server's error 4060 ("Cannot open
 * database ... requested by the login"), or the same refusal in the words of another server ("database "x" does not
 * exist").
 */
bool IsMissingDatabase(const Failure& error);

/**
 * What a restore that a batch of the script ended tells the user, line by line: the server's text (or the driver's),
 * "The failing batch begins at line N of <path>", for a batch of rows the table whose rows were rolled back and how
 * many of them came before, and last the cause with the number of the script's batches that ran before it and stay
 * done. A batch that the server refused says so ("Restore failed: the server refused this batch; ..."); a connection
 * that failed while the batch ran (lost, or silent past the timeout) ends in "Could not connect. Please check with
 * your administrator.".
 */
QStringList FailedBatchReport(const ScriptBatchError& error, const QString& path);

/**
 * `ExecuteScript`: opens a connection with the settings; when that login is refused (4060, or the "Login failed" that
 * FreeTDS puts before it) and master takes the same login but master.dbo.sysdatabases does not list the database,
 * it goes on with the same connection to master (the script creates the database), else the refusal stands. It reads
 * the file piece by piece (UTF-8, a leading byte-order mark dropped), sends `SET DATEFORMAT mdy` and then the script in
 * the batches of ScriptBatcher, one after the other on that connection, and closes the connection. Has no handling of
 * its own: the first batch that fails ends it with ScriptBatchError (later batches are not sent); a notice of the
 * switch to master reported as an error counts as success and the script goes on. A file that cannot be opened or read
 * is reported through the error report as "IntervalSave.FileCont" and ends it; so does a script that read as empty.
 */
void ExecuteScript(ConnectionFactory& factory,
                   Dialogs& dialogs,
                   const ConnectionSettings& settings,
                   const QString& path,
                   const RestoreOptions& options = {});
