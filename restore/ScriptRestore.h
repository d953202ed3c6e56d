#pragma once

#include "AutoBackup.h"
#include "DataAccess.h"
#include "Dialogs.h"
#include "SettingsStore.h"
#include "Views.h"
#include "WorkGuard.h"

#include <QString>

class IntervalSave;

/** The title of the restore file dialog. */
inline const QString RestoreDialogTitle = QStringLiteral("Select backup file");
/** The filter of the restore file dialog (Qt's filter syntax): plain and gzip-compressed scripts. */
inline const QString RestoreDialogFilter = QStringLiteral("MSSQL Backup File (*.sql *.sql.gz)");
/** The message of a restore whose file is not there. */
inline const QString RestoreFileNotFoundMessage = QStringLiteral("Restore file not found.");
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
 * `ExecuteScript`: opens a connection with the string, reads the whole file with FileCont (mode 1; a gzip file is
 * decompressed), executes the text as one batch and closes the connection. Has no handling of its own: any failure is
 * thrown, also for a script that read as empty. FileCont reports a file that cannot be read through the error report
 * and yields what it read.
 */
void ExecuteScript(ConnectionFactory& factory,
                   IntervalSave& engine,
                   const QString& connectionString,
                   const QString& path);

/** Everything the restore works with, injected. All references outlive the restore. */
struct RestoreContext
{
    MainView& mainView; ///< Form2: Text7, the status line, PushButton5, Timer1, the pointer
    ConnectionView& connectionView; ///< Form1: the connection fields in effect
    Dialogs& dialogs;
    SettingsStore& settings; ///< "StartStopState"
    ConnectionFactory& factory;
    IntervalSave& engine; ///< its FileCont reads the script
    WorkGuard& guard; ///< shared with the schedule
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
     * ExecuteScript with the connection window's current fields; then "Done.", or "Could not connect. Please check
     * with your administrator." for any failure but the notice of a switch to master (automatic backup stays off).
     * A missing file shows "Restore file not found." and changes nothing. Refused with "A backup is already
     * running." during a dump.
     */
    void PushButton9_Click();

private:
    RestoreContext m_context;
};
