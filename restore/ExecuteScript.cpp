#include "ExecuteScript.h"

#include "BackupLog.h"
#include "Clock.h"
#include "DateTimeText.h"
#include "ErrorReport.h"
#include "Gzip.h"
#include "MasterConnection.h"
#include "Mssql.h"
#include "ParallelRestore.h"
#include "RestorePlan.h"
#include "ScriptBatcher.h"
#include "ScriptReader.h"
#include "StopRequest.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryFile>

using namespace Qt::Literals::StringLiterals;

bool IsContextChangeToMaster(const Failure& error)
{
    static const QString fromWindowsDriver
        = u"[Microsoft][ODBC SQL Server Driver][SQL Server]Changed database context to 'master'."_s;
    if (error.description() == fromWindowsDriver)
        return true;
    if (!dynamic_cast<const DbError*>(&error))
        return false;

    // Other drivers put their own bracketed names in front of the same server message.
    QStringView rest(error.description());
    while (rest.startsWith(u'[')) {
        const qsizetype end = rest.indexOf(u']');
        if (end < 0)
            return false;
        rest = rest.mid(end + 1);
    }
    return rest == u"Changed database context to 'master'.";
}

bool IsMissingDatabase(const Failure& error)
{
    if (!dynamic_cast<const DbError*>(&error))
        return false;
    if (error.number() == 4060)
        return true;
    const QString& text = error.description();
    if (text.contains(u"Cannot open database"_s) && text.contains(u"requested by the login"_s))
        return true;
    static const QRegularExpression otherServers(u"database \"[^\"]*\" does not exist"_s);
    return otherServers.match(text).hasMatch();
}

QStringList FailedBatchReport(const ScriptBatchError& error, const QString& path)
{
    QStringList lines{error.description(),
                      u"The failing batch begins at line %1 of %2"_s.arg(error.firstLine()).arg(path)};
    if (!error.table().isEmpty())
        lines.append(u"It was loading rows of %1 and was rolled back; %2 rows of %1 were restored before it."_s
                         .arg(error.table())
                         .arg(error.rowsBefore()));
    const qint64 before = error.batchesBefore();
    const QString ran = before == 0 ? u"no batch of the script ran before it"_s
        : before == 1               ? u"1 batch of the script ran before it and stays done"_s
                                    : u"%1 batches of the script ran before it and stay done"_s.arg(before);
    if (error.isConnectionFault()) {
        // The server did not refuse anything: the link to it failed, which is the administrator's to look at.
        lines.append(u"The connection failed while this batch ran; "_s + ran + u", and no more were sent."_s);
        lines.append(QString::fromLatin1(CouldNotConnectMessage));
    } else {
        lines.append(u"Restore failed: the server refused this batch; "_s + ran + u", and no more were sent."_s);
    }
    return lines;
}

namespace {

/** A refused login that a missing database may be behind. */
bool mayBeMissingDatabase(const Failure& error)
{
    // FreeTDS puts SQL Server's "Login failed" (18456) first and drops the 4060 that says why.
    return IsMissingDatabase(error)
        || (dynamic_cast<const DbError*>(&error)
            && (error.number() == 18456 || error.description().contains(u"Login failed for user"_s)));
}

/**
 * The restore's connection: the named database, or master when that database is not there yet. `opened` gets the
 * connection string that opened it.
 */
std::unique_ptr<Connection>
openForRestore(ConnectionFactory& factory, const ConnectionSettings& settings, QString& opened)
{
    std::unique_ptr<Connection> connection = factory.createConnection();
    try {
        opened = BuildConnectionString(settings);
        connection->Open(opened);
        return connection;
    } catch (const Failure& refusal) {
        const QString& database = settings.Database;
        if (!mayBeMissingDatabase(refusal) || database.isEmpty()
            || database.compare(u"master"_s, Qt::CaseInsensitive) == 0)
            throw;
        // The script begins with USE [master] and creates the database itself; it runs from master only when master
        // takes the login and the database is really not there. Any other refusal stays the refusal it was.
        try {
            MasterConnection master(factory, settings);
            if (!master.databaseExists(database)) {
                opened = master.connectionString();
                return master.release();
            }
        } catch (const Failure&) {
            // Whether the database is there cannot be told: the refusal stands.
        }
        throw;
    }
}

/**
 * The size of the script for a restore on one connection, decompressed. A compressed script shows damage only where
 * it is read, often at its very end: it is read through once before anything is sent, so that a damaged file is
 * refused whole instead of restored in part.
 */
qint64 checkedScriptSize(ReportingProcedure& proc, const QString& path)
{
    qint64 size = 0;
    if (!proc.run(104, [&] {
            const std::unique_ptr<QIODevice> device = openScriptFile(path);
            size = dynamic_cast<GzipReader*>(device.get()) ? readThrough(*device, ScriptReader::ReadPiece)
                                                           : device->size();
        }))
        throw Failure(u"The restore script is empty."_s);
    return size;
}

/**
 * Several connections: the plan comes from one pass over the file, and the connections read the file each at its own
 * place. A compressed script is decompressed once, to a private file, in that same pass; a damaged one is refused
 * before anything is sent.
 */
void restoreInParallel(ReportingProcedure& proc,
                       const QString& path,
                       Connection& connection,
                       ConnectionFactory& factory,
                       const QString& opened,
                       const RestoreOptions& options,
                       const ReadStep& readStep)
{
    bool compressed = false;
    if (!proc.run(104, [&] { compressed = dynamic_cast<GzipReader*>(openScriptFile(path).get()) != nullptr; }))
        throw Failure(u"The restore script is empty."_s);
    RestorePlan plan;
    std::unique_ptr<QTemporaryFile> expanded;
    if (compressed) {
        ExpandedScript expansion(path);
        if (!proc.run(104, [&] { plan = expansion.readPlan(); }))
            throw Failure(u"The restore script is empty."_s);
        expanded = expansion.takeFile();
    } else if (!proc.run(108, [&] {
                   QFile file(path);
                   if (!file.open(QIODevice::ReadOnly))
                       throw Failure(file.errorString(), 62);
                   plan = RestorePlan::read(file);
               })) {
        throw Failure(u"The restore script could not be read."_s);
    }
    if (plan.batches == 0)
        throw Failure(u"The restore script is empty."_s);
    RunRestorePlan(plan, expanded ? expanded->fileName() : path, connection, factory, opened, options, readStep);
}

void runScript(ConnectionFactory& factory,
               Dialogs& dialogs,
               const ConnectionSettings& settings,
               const QString& path,
               const RestoreOptions& options)
{
    // An early failure releases the connection without Close; releasing closes it.
    QString opened;
    std::unique_ptr<Connection> connection = openForRestore(factory, settings, opened);
    // A batch that waits on the server when a stop comes is cancelled through the driver.
    const StopRequest::Hook cancel
        = options.stop ? options.stop->onStop([c = connection.get()] { c->cancel(); }) : StopRequest::Hook();
    ThrowIfStopped(options);

    ReportingProcedure proc(dialogs, u"IntervalSave"_s, u"FileCont"_s);
    // The file is read as FileCont reads it, and fails the same way: reported, then the restore ends.
    const ReadStep readStep = [&proc](const std::function<void()>& read) {
        if (!proc.run(108, read))
            throw Failure(u"The restore script could not be read."_s);
    };
    if (options.jobs > 1) {
        restoreInParallel(proc, path, *connection, factory, opened, options, readStep);
    } else {
        // One connection sends the batches in file order, as they are read: a plan of one step.
        const qint64 size = checkedScriptSize(proc, path);
        RunRestorePlan(RestorePlan::whole(size), path, *connection, factory, opened, options, readStep);
    }
    connection->Close();
}

} // namespace

void ThrowIfStopped(const RestoreOptions& options)
{
    if (options.stop && options.stop->requested())
        throw Interrupted();
}

void ExecuteScript(ConnectionFactory& factory,
                   Dialogs& dialogs,
                   const ConnectionSettings& settings,
                   const QString& path,
                   const RestoreOptions& options)
{
    StopRequest* const stop = options.stop;
    if (!stop) {
        runScript(factory, dialogs, settings, path, options);
        return;
    }
    // A stop from outside ends the restore between batches, or cancels the batches that run; the log says so once,
    // also when the process ends before the restore comes back (the forced end).
    OnceOnly logged;
    const auto logInterrupted = [&] {
        logged.run([&] {
            if (!options.writeLog)
                return;
            const QDateTime now = options.clock ? options.clock->now() : QDateTime::currentDateTime();
            try {
                options.writeLog(BackupLog::restoreFailedLine(path, now, InterruptedText));
            } catch (const std::exception&) {
                // The process is ending on a signal: there is nobody to tell.
            }
        });
    };
    StopRequest::Hook forcedEnd = stop->onForcedEnd(logInterrupted);
    const auto interrupted = [&] {
        logInterrupted();
        forcedEnd.reset();
        throw Interrupted();
    };
    if (stop->requested())
        interrupted();
    try {
        runScript(factory, dialogs, settings, path, options);
    } catch (const std::exception&) {
        // A failure that the stop's cancel caused is the stop.
        if (stop->requested())
            interrupted();
        throw;
    }
}
