#include "AfterSaveRun.h"

#include "EngineLines.h"
#include "EngineState.h"
#include "StopRequest.h"
#include "Views.h"

using namespace Qt::Literals::StringLiterals;

AfterSaveRun::AfterSaveRun(EngineState& engine, SaveAllStep step)
    : m_engine(engine)
    , m_step(std::move(step))
{ }

void AfterSaveRun::run(const SavedBackup& backup,
                       const QString& folder,
                       StatusFrame& statusFrame,
                       const DumpOutcome& outcome)
{
    m_engine.lastAfterSave.clear();
    if (!outcome.failed)
        runSteps(backup, statusFrame);
    // After a stop the program is ending: old backups stay until a run that completes.
    if (!outcome.failed && !m_engine.interrupted)
        m_engine.retention().RemoveOldBackups(folder, backup.server, backup.database, backup.options.keep, backup.path);
}

void AfterSaveRun::runSteps(const SavedBackup& backup, StatusFrame& statusFrame)
{
    const BackupContext& context = m_engine.context;
    // A step that does not come back from a stop in time (a drill whose server does not answer the cancel) ends with
    // the process: the log says so, the backup stays.
    StopRequest::Hook forcedEnd;
    if (StopRequest* const stop = m_engine.reports.stopRequest())
        forcedEnd = stop->onForcedEnd([&] {
            try {
                context.log.write(BackupLog::stepLine(backup.path, u"steps after the save: "_s + InterruptedText,
                                                      context.clock.now()));
            } catch (const std::exception&) {
                // The process is ending on a signal: there is nobody to tell.
            }
        });
    QStringList said;
    for (const AfterSaveStep& afterSave : context.afterSave) {
        if (!afterSave)
            continue;
        // A step that a stop reaches ends early and says "interrupted" in its words; those after it end at once.
        AfterSaveOutcome outcome = afterSave(backup);
        if (m_engine.reports.stopRequested())
            m_engine.interrupted = true;
        if (outcome.text.isEmpty())
            continue; // a step that is switched off had nothing to do and says nothing
        m_engine.lastAfterSave.push_back(outcome);
        const QDateTime when = context.clock.now();
        m_step(SaveAllLine::LogLine, [&] { context.log.write(BackupLog::stepLine(backup.path, outcome.text, when)); });
        said << outcome.text;
    }
    if (!said.isEmpty())
        m_step(SaveAllLine::StatusCaption,
               [&] { statusFrame.setCaption(statusFrame.caption() + u"; "_s + said.join(u"; "_s)); });
}
