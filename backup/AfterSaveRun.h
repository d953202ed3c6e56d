#pragma once

#include <QString>

#include <functional>

class StatusFrame;
struct DumpOutcome;
struct EngineState;
struct SavedBackup;

/** Runs one of SaveAll's numbered steps; false when it failed (then it was reported and noted as the dump's failure).
 */
using SaveAllStep = std::function<bool(int line, const std::function<void()>& statement)>;

/**
 * What follows a saved backup: every AfterSaveStep of the engine in order, each outcome with words logged as a line of
 * its own and its words added to the status caption; then, unless one of those failed or a stop came, the retention of
 * old backups in the folder. A stop during the steps ends them (each says "interrupted" in its own line); the backup
 * stays and so does every older one. What the steps found is the engine's `lastAfterSave`.
 */
class AfterSaveRun
{
public:
    AfterSaveRun(EngineState& engine, SaveAllStep step);

    /** After a dump whose outcome is `outcome`: nothing runs when it failed, and no old backup is removed. */
    void run(const SavedBackup& backup, const QString& folder, StatusFrame& statusFrame, const DumpOutcome& outcome);

private:
    /** The steps, each with its log line; their words follow the status caption. */
    void runSteps(const SavedBackup& backup, StatusFrame& statusFrame);

    EngineState& m_engine;
    SaveAllStep m_step;
};
