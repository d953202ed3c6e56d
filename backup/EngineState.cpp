#include "EngineState.h"

#include "StopRequest.h"

bool EngineReports::stopRequested() const
{
    return m_stop && m_stop->requested();
}

void EngineReports::errorReport(const QString& text)
{
    if (stopRequested())
        return;
    ForwardingDialogs::errorReport(text);
}

void EngineReports::noteFailure(const QString& description)
{
    if (m_outcome && !m_outcome->failed) {
        m_outcome->failed = true;
        m_outcome->firstFailure = description;
    }
}

DumpOutcome* EngineReports::setOutcome(DumpOutcome* outcome)
{
    DumpOutcome* const previous = m_outcome;
    m_outcome = outcome;
    return previous;
}
