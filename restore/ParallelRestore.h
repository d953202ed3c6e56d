#pragma once

#include <QString>

#include <memory>

class Connection;
class ConnectionFactory;
class QTemporaryFile;
class RestorePlan;
struct RestoreOptions;

/**
 * Runs the plan of the plain script file at `path`. Serial steps go on `serial`, batch after batch, through the
 * RestoreSession that the sequential restore uses (and its transform). A Tables step goes over at most
 * `options.jobs` connections opened from `factory` with `connectionString`, each sending the step's USE statement
 * (through the transform) and then whole tables, reading the file at each table's place; a connection that is free
 * takes the next table, largest first. The next step begins when every table is in and those connections are closed.
 * The first failure anywhere stops every connection after its current batch and is raised once all are closed.
 * Progress (rows, bytes, each connection's table) is reported from the calling thread, several times a second.
 */
void RunRestorePlan(const RestorePlan& plan,
                    const QString& path,
                    Connection& serial,
                    ConnectionFactory& factory,
                    const QString& connectionString,
                    const RestoreOptions& options);

/**
 * Decompresses the gzip script at `path`, `size` bytes once decompressed, into a private temporary file (mode 0600,
 * in the system's temporary folder), removed when it is destroyed. Throws Failure, before writing anything, when the
 * folder has less room than that, and when the script cannot be read or written.
 */
std::unique_ptr<QTemporaryFile> ExpandScript(const QString& path, qint64 size);
