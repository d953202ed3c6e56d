#include "AfterSave.h"

AfterSaveSteps::AfterSaveSteps(AfterSaveContext context)
    : m_context(std::move(context))
    , m_copy(m_context.processes,
             m_context.dialogs,
             m_context.clock,
             m_context.log.writer(),
             m_context.letEventsRun,
             m_context.stop)
    , m_drill([this] {
        DrillContext drill{m_context.factory, m_context.clock, m_context.connection, m_context.letEventsRun,
                           m_context.progress};
        drill.stop = m_context.stop;
        return drill;
    }())
{ }

std::vector<AfterSaveStep> AfterSaveSteps::steps()
{
    const AfterSaveStep verify = [this](const SavedBackup& backup) {
        if (!backup.options.verify)
            return AfterSaveOutcome{};
        AfterSaveOutcome outcome = m_drill(backup);
        if (m_context.drillEnded)
            m_context.drillEnded();
        return outcome;
    };
    return {verify, m_copy.step()};
}
