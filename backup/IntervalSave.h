#pragma once

#include "BackupLog.h"
#include "BackupOptions.h"
#include "Clock.h"
#include "DateTimeText.h"
#include "Dialogs.h"
#include "EventPump.h"
#include "Retention.h"

#include <QString>

#include <functional>
#include <memory>
#include <vector>

class ConnectionFactory;
class StatusFrame;
class StopRequest;
struct EngineState;

/** What the dump reads from the windows when it starts: Text1, Text4 (connection window) and Text5 (main window). */
class DumpSource
{
public:
    virtual ~DumpSource() = default;
    virtual QString serverName() const = 0;
    virtual QString databaseName() const = 0;
    virtual QString backupFolder() const = 0;
    /** The backup's options; all off by default. */
    virtual BackupOptions options() const { return {}; }
};

/** Fixed values in place of the windows' fields (the headless command, tests, benchmarks). */
class FixedDumpSource : public DumpSource
{
public:
    FixedDumpSource(QString serverName, QString databaseName, QString backupFolder)
        : server(std::move(serverName))
        , database(std::move(databaseName))
        , folder(std::move(backupFolder))
    { }
    QString serverName() const override { return server; }
    QString databaseName() const override { return database; }
    QString backupFolder() const override { return folder; }
    BackupOptions options() const override { return chosen; }

    QString server;
    QString database;
    QString folder;
    BackupOptions chosen; ///< the options of every backup made from it
};

/** Progress of a running dump, for callers that show it (the headless command). */
struct DumpProgress
{
    int tablesDone = 0;
    int tablesTotal = 0; ///< rows of the table list
    qint64 rowsWritten = 0;
    qint64 elapsedMs = 0;
};

/** What a step run after a saved backup found (the restore drill, the copy to another place). */
struct AfterSaveOutcome
{
    enum class Result {
        Passed, ///< the step did its work ("verified", "copied to ...")
        NotDone, ///< the step could not run; the backup is not in doubt (no right to create a database, ...)
        Failed, ///< the step failed: the backup is complete but the caller must say so (exit status, status line)
    };
    Result result = Result::Passed;
    /**
     * The step's words for the log line and the status line: "verified", "copied to nas:sql", or why not. Empty: the
     * step had nothing to do (it is not set up); nothing is logged, said or kept of it.
     */
    QString text;
    /** The exit status the headless command gives for a failed step (0: it leaves the status as it is). */
    int exitStatus = 0;
};

/** A backup that was saved, as the steps after the save see it. */
struct SavedBackup
{
    QString path; ///< the finished file
    QString server; ///< the server and the database it was read from, as the script's header names them
    QString database;
    BackupOptions options; ///< the options it was made with
};

/**
 * A step run on a saved backup before old backups are removed. Each step's outcome is logged as a line of its own
 * ("<path> <text> at <date and time>"); an outcome without text (a step that is switched off) is neither logged nor
 * shown.
 */
using AfterSaveStep = std::function<AfterSaveOutcome(const SavedBackup& backup)>;

/** Everything the backup engine works with, injected. */
struct BackupContext
{
    ConnectionFactory& factory;
    Dialogs& dialogs;
    const Clock& clock;
    DumpSource& source;
    /** "Let pending window events run"; may be empty. */
    EventPump letEventsRun;
    /** The backup log; a path, or empty for $TEMP/backups.log (the platform's temporary folder when TEMP is unset). */
    BackupLog log;
    /** Called now and then while a dump runs; may be empty. */
    std::function<void(const DumpProgress&)> progress;
    /** Run in order on every backup that was saved, before retention; may be empty. */
    std::vector<AfterSaveStep> afterSave;
};

/**
 * The backup engine: the dump `SaveAll`, the file writer `FileCont`, the backup log and the file name. Its state lives
 * apart (EngineState), so that an engine can move without the pieces of a dump losing it.
 */
class IntervalSave
{
public:
    explicit IntervalSave(BackupContext context);
    ~IntervalSave();
    IntervalSave(IntervalSave&& other) noexcept;
    IntervalSave& operator=(IntervalSave&& other) noexcept;
    IntervalSave(const IntervalSave&) = delete;
    IntervalSave& operator=(const IntervalSave&) = delete;

    /**
     * One complete backup of the database into a new time-stamped file in the backup folder, then the log line and the
     * status caption. Failures are shown through the error report; returns true when every step succeeded.
     */
    bool SaveAll(const QString& connectionString, StatusFrame& statusFrame);

    /** The path of the file the last SaveAll wrote (empty before the first). */
    QString lastOutputPath() const;
    /** What the steps after the last saved backup found, in the order they ran (empty when none ran). */
    const std::vector<AfterSaveOutcome>& lastAfterSave() const;

    /** Mode 1: reads the whole file into `text`. Mode 3: appends `text` and CR LF. Failures are reported. */
    void FileCont(const QString& path, QString& text, int mode);

    /** The backup log this engine writes to. */
    const BackupLog& backupLog() const;

    /**
     * "<database> yyyy-MM-dd hmmAP.sql" from the clock; a character of the name that a file name cannot hold, and a
     * control character, becomes "_", and a name too long for a file name is shortened with a hash of it
     * (BackupFile::fileNameStem; the script keeps the name).
     */
    QString StampedFileName(const QString& databaseName) const;

    /** How long a dump waits for another one that saves into the same folder (BackupFile::DefaultLockWaitMs). */
    void setLockWaitMs(int ms);
    /** How the retention of old backups removes a file (tests make it fail); empty: from the disk. */
    void setFileRemover(Retention::FileRemover remover);
    /**
     * A stop from outside (a termination signal) that the dump heeds: it cancels what waits on the server, ends at its
     * next step without reporting the failures the stop caused, removes the working file and logs "<path> backup
     * failed at <date and time>: interrupted". A stop during the steps after a saved backup ends them (each says
     * "interrupted" in its own log line); the backup stays and no old backup is removed. None: the dump runs to its
     * end.
     */
    void setStopRequest(StopRequest* stop);
    /** True when the last SaveAll, or the steps after its save, ended because of a stop from outside. */
    bool wasInterrupted() const;

private:
    std::unique_ptr<EngineState> m_state;
};
