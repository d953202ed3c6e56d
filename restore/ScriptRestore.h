#pragma once

#include "AutoBackup.h"
#include "ConnectionSettings.h"
#include "DataAccess.h"
#include "Dialogs.h"
#include "EventPump.h"
#include "SettingsStore.h"
#include "Views.h"
#include "WorkGuard.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class Clock;
class StopRequest;

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
