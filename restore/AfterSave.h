#pragma once

#include "BackupLog.h"
#include "ConnectionSettings.h"
#include "EventPump.h"
#include "IntervalSave.h"
#include "OffsiteCopy.h"
#include "RestoreDrill.h"

#include <functional>
#include <vector>

class Clock;
class ConnectionFactory;
class Dialogs;
class ProcessRunner;
class StopRequest;

/** What the steps after a save work with, for the window and the headless command alike. */
struct AfterSaveContext
{
    ConnectionFactory& factory;
    Dialogs& dialogs;
    const Clock& clock;
    ProcessRunner& processes; ///< runs rclone
    BackupLog log; ///< the copy's removals at the destination are logged here
    /** The connection of the backup that was saved, for the drill. */
    std::function<ConnectionSettings()> connection;
    /** "Let pending window events run" during the drill and a copy into a folder; may be empty. */
    EventPump letEventsRun = {};
    /** The drill's stage and how far it has come; may be empty. */
    std::function<void(const QString& text)> progress = {};
    /** Called after every drill, whatever its outcome; may be empty. */
    std::function<void()> drillEnded = {};
    /** A stop from outside (the drill ends, rclone is stopped, a copy into a folder ends). */
    StopRequest* stop = nullptr;
};

/**
 * The steps after a saved backup, made once: the restore drill, then the copy to another place, in that order so that
 * the copy is of the backup as it was checked. Each step does nothing for a backup whose options leave it off.
 */
class AfterSaveSteps
{
public:
    explicit AfterSaveSteps(AfterSaveContext context);
    AfterSaveSteps(const AfterSaveSteps&) = delete;
    AfterSaveSteps& operator=(const AfterSaveSteps&) = delete;

    /** The steps for BackupContext::afterSave; they refer to this object, which outlives the engine. */
    std::vector<AfterSaveStep> steps();
    /** The copy, for what is asked of rclone outside a backup (its limits, whether it is there, the remotes). */
    OffsiteCopy& copy() { return m_copy; }

private:
    AfterSaveContext m_context;
    OffsiteCopy m_copy;
    RestoreDrill m_drill;
};
