#pragma once

#include <QString>

#include <functional>
#include <memory>

class Connection;
class ConnectionFactory;
class QTemporaryFile;
class RestorePlan;
struct RestoreOptions;

/** Runs one read of the script's serial steps (ReportingProcedure's step, for instance); empty: the read just runs. */
using ReadStep = std::function<void(const std::function<void()>& read)>;

/**
 * Runs the plan of the script file at `path`, the restore on one connection and on several alike. Serial steps go on
 * `serial`, batch after batch as they are read, through the RestoreSession that holds the transform; each read of
 * theirs goes through `readStep`. A Serial step from the file's start reads the file as it is (gzip or plain text);
 * every other step reads the plain file at its place. A Tables step goes over at most `options.jobs` connections
 * opened from `factory` with `connectionString`, each sending the step's USE statement (through the transform) and
 * then whole tables, reading the file at each table's place; a connection that is free takes the next table, largest
 * first. The next step begins when every table is in and those connections are closed. The first failure anywhere
 * stops every connection after its current batch and is raised once all are closed; a script without a batch raises
 * Failure. Progress (rows, bytes of the script done, each connection's table) is reported from the calling thread,
 * after each serial batch and several times a second during a Tables step.
 */
void RunRestorePlan(const RestorePlan& plan,
                    const QString& path,
                    Connection& serial,
                    ConnectionFactory& factory,
                    const QString& connectionString,
                    const RestoreOptions& options,
                    const ReadStep& readStep = {});

/**
 * Decompresses the gzip script at `path`, `size` bytes once decompressed, into a private temporary file (mode 0600,
 * in the system's temporary folder), removed when it is destroyed. Throws Failure, before writing anything, when the
 * folder has less room than that, and when the script cannot be read or written.
 */
std::unique_ptr<QTemporaryFile> ExpandScript(const QString& path, qint64 size);

/**
 * A gzip script decompressed for several connections in one pass: `readPlan` reads it through once, writing it into
 * a private temporary file (as ExpandScript does) while RestorePlan plans it, so that a damaged stream fails that
 * read (Failure) before anything is sent. When the folder's room runs short (less than 64 MiB would be left) or a write
 * fails, the writing stops but the read goes on to the end; `takeFile` then throws the Failure that ExpandScript
 * throws, with the room needed for the whole script. The file is removed when it is destroyed.
 */
class ExpandedScript
{
public:
    explicit ExpandedScript(const QString& path);
    ~ExpandedScript();
    ExpandedScript(const ExpandedScript&) = delete;
    ExpandedScript& operator=(const ExpandedScript&) = delete;

    /** The one pass over the script; throws Failure when it is damaged or cannot be read. */
    RestorePlan readPlan();
    /** The decompressed script, after readPlan; throws Failure when it could not be written whole. */
    std::unique_ptr<QTemporaryFile> takeFile();

private:
    class Tee;
    QString m_path;
    std::unique_ptr<QTemporaryFile> m_file;
    std::unique_ptr<Tee> m_tee;
    qint64 m_size = 0;
};
