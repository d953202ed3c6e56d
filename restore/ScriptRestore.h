#pragma once

#include "AutoBackup.h"
#include "ConnectionSettings.h"
#include "DataAccess.h"
#include "Dialogs.h"
#include "EventPump.h"
#include "RestoreSession.h"
#include "SettingsStore.h"
#include "Views.h"
#include "WorkGuard.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class Clock;
class QIODevice;
class StopRequest;
struct ScriptBatch;

/** The title of the restore file dialog. */
inline const QString RestoreDialogTitle = QStringLiteral("Select backup file");
/** The filter of the restore file dialog (Qt's filter syntax): plain and gzip-compressed scripts. */
inline const QString RestoreDialogFilter = QStringLiteral("MSSQL Backup File (*.sql *.sql.gz)");
/** The message of a restore whose file is not there. */
inline const QString RestoreFileNotFoundMessage = QStringLiteral("Restore file not found.");
/** The refusal of a restore of the working file that a backup left when it did not finish. */
QString WorkingFileRefusal(const QString& path);

/** The message of a restore that went through. */
inline const QString RestoreDoneMessage = QStringLiteral("Done.");

/**
 * True when the path names a normal file: it exists and is a regular file (or a link to one), neither hidden nor a
 * folder nor a device. An empty path names none.
 */
bool RestoreFileExists(const QString& path);

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

/** How far a restore has come; reported after every batch. */
struct RestoreProgress
{
    qint64 bytesDone = 0; ///< bytes of the file read
    qint64 bytesTotal = 0; ///< the file's size
    qint64 statementsDone = 0;
    qint64 batchesDone = 0;
    qint64 elapsedMs = 0;
    qint64 rowsDone = 0; ///< rows of the INSERT batches that went through
    qint64 rowsTotal = -1; ///< rows of the INSERT statements in the file, when known (-1: not known)
    QStringList tables; ///< over several connections: the table each one restores (empty while it has none)
};

/** What a running restore may do between batches; everything may be empty. */
struct RestoreOptions
{
    /** "Let pending window events run", after every batch. */
    EventPump letEventsRun;
    /** Called after every batch. */
    std::function<void(const RestoreProgress&)> progress;
    /** For the elapsed time of the progress; none counts none. */
    const Clock* clock = nullptr;
    /** Connections that restore tables at once (`tessaline-backup --jobs`); 1 restores batch after batch. */
    int jobs = 1;
    /** What is sent for each batch; empty sends the script's text (see BatchTransform). */
    BatchTransform transform;
    /**
     * With several connections: the USE statement each table connection begins with in place of the script's own,
     * its table batches then sent as the script has them. A restore into another database names that database here:
     * `transform` follows the script from its first line and runs on the first connection only.
     */
    QString tablesUse;
    /**
     * A stop from outside (a termination signal): the batches that run on every connection are cancelled through the
     * driver (what was open is rolled back), no later one is sent, the log gets "<path> restore failed at <date and
     * time>: interrupted" and Interrupted is thrown.
     */
    StopRequest* stop = nullptr;
    /** Appends a line to the backup log; throws Failure when it cannot. May be empty. */
    std::function<void(const QString&)> writeLog;
};

/** Throws Interrupted when the options' stop was requested. */
void ThrowIfStopped(const RestoreOptions& options);

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

/** Everything the restore works with, injected. All references outlive the restore. */
struct RestoreContext
{
    MainView& mainView; ///< Form2: Text7, the status line, PushButton5, Timer1, the pointer
    ConnectionView& connectionView; ///< Form1: the connection fields in effect
    Dialogs& dialogs;
    SettingsStore& settings; ///< "StartStopState"
    ConnectionFactory& factory;
    WorkGuard& guard; ///< shared with the schedule; held while the restore runs
    const Clock& clock;
    /** "Let pending window events run" between batches; may be empty. */
    EventPump letEventsRun;
    /** A stop from outside; a restore it ends shows nothing (RestoreOptions::stop). */
    StopRequest* stop = nullptr;
    /** The backup log, for the line of a stopped restore; may be empty. */
    std::function<void(const QString&)> writeLog = {};
};

/** The main window's "Restore Options": choosing the script file and sending it to the server. */
class ScriptRestore
{
public:
    explicit ScriptRestore(RestoreContext context);

    /**
     * `PushButton10_Click`: the open-file dialog "Select backup file" for "*.sql" and "*.sql.gz"; a chosen path goes
     * into Text7 (which stores "Restore File"), cancelling changes nothing. Failures are error reports of
     * "Form2.PushButton10_Click".
     */
    void PushButton10_Click();

    /**
     * `PushButton9_Click`, "Restore Text File": when Text7 names a normal file, turns automatic backup off and runs
     * ExecuteScript with the connection window's current fields; then "Done.". A batch that failed shows one box with
     * FailedBatchReport; any other failure but the notice of a switch to master shows "Could not connect. Please check
     * with your administrator." (automatic backup stays off either way).
     * A missing file shows "Restore file not found." and changes nothing; so does the working file of a backup that did
     * not finish, with WorkingFileRefusal. Refused with "A backup is already running." during a dump. Between batches
     * window events run (the guard refuses a backup meanwhile) and ProgressBar1 shows the share of the file sent; it is
     * reset after. With a name in "Restore as" the script goes into that database instead (ExecuteScriptAs); when it
     * exists, the user is asked whether to replace it, and a restore-as that cannot be done says why.
     */
    void PushButton9_Click();

    /** True when the last restore ended because of a stop from outside. */
    bool wasInterrupted() const { return m_interrupted; }

private:
    RestoreContext m_context;
    bool m_interrupted = false;
};
