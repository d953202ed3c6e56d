#pragma once

#include "BackupFile.h"
#include "Dialogs.h"
#include "IntervalSave.h"
#include "Retention.h"

#include <QString>

#include <vector>

class StopRequest;

// The inside of IntervalSave, shared by the pieces of a dump (DumpRun, DumpFile, AfterSaveRun); not for callers of
// the engine.

/** The failures of the dump that runs, FileCont's included. */
struct DumpOutcome
{
    bool failed = false;
    QString firstFailure;
};

/**
 * The error reports of the engine, shown through the dialogs given: none once a stop was requested, for the stop is no
 * failure of a step. The first failure of the dump that runs becomes its outcome.
 */
class EngineReports : public ForwardingDialogs
{
public:
    explicit EngineReports(Dialogs& dialogs)
        : ForwardingDialogs(dialogs)
    { }

    void errorReport(const QString& text) override;

    /** The stop from outside that silences the reports; none: every failure is reported. */
    void setStopRequest(StopRequest* stop) { m_stop = stop; }
    StopRequest* stopRequest() const { return m_stop; }
    bool stopRequested() const;

    /** Notes a failure in the outcome of the dump that runs, unless it failed already; outside a dump, nothing. */
    void noteFailure(const QString& description);
    /**
     * Makes `outcome` the one failures are noted in and returns the one before, which the caller puts back when its
     * dump ends (a dump started from the event pump runs inside another).
     */
    DumpOutcome* setOutcome(DumpOutcome* outcome);

private:
    StopRequest* m_stop = nullptr;
    DumpOutcome* m_outcome = nullptr;
};

/** What one IntervalSave holds from one dump to the next. */
struct EngineState
{
    explicit EngineState(BackupContext backupContext)
        : context(std::move(backupContext))
        , reports(context.dialogs)
    { }

    BackupContext context;
    EngineReports reports;
    int lockWaitMs = BackupFile::DefaultLockWaitMs;
    Retention::FileRemover removeFile;

    /** The path of the file the last SaveAll wrote. */
    QString lastOutputPath;
    /** What the steps after the last saved backup found, in the order they ran. */
    std::vector<AfterSaveOutcome> lastAfterSave;
    /** The last SaveAll, or the steps after its save, ended because of a stop from outside. */
    bool interrupted = false;

    /** Retention in the backup folder, reporting through the engine and logging to its backup log. */
    Retention retention() { return Retention(reports, context.clock, context.log.writer(), removeFile); }
};
