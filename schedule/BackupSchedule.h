#pragma once

#include "ScheduleContext.h"

#include <QString>

/**
 * The automatic backup: the one-second tick of Timer1 that counts down to the chosen interval and then runs the dump,
 * and the click on the interval list that restarts the count. Lives as long as the main window.
 */
class BackupSchedule
{
public:
    explicit BackupSchedule(ScheduleContext context);

    /**
     * `Timer1_Timer`: one tick (statements 100 to 138). Counts, shows the countdown and the progress and, when the
     * count equals the interval, runs the dump with the connection window's current fields. Failures are shown as
     * error reports of "Form2.Timer1_Timer" and the tick goes on. While another dump runs, a tick that reaches the
     * interval starts nothing and restarts the count.
     */
    void Timer1_Timer();

    /**
     * `ListView2_Click`: stores the selected entry's position under "OftenIndex" and restarts the count with that
     * entry's interval. Does nothing when no entry is selected. Throws Failure when the store cannot be written (the
     * count has restarted by then).
     */
    void ListView2_Click();

    /** `IntervalLength`: the interval in seconds, as last read from the list. */
    qint32 IntervalLength() const { return m_intervalLength; }
    /** `SecondsElapsed`: ticks counted since the last backup or list click. */
    qint32 SecondsElapsed() const { return m_secondsElapsed; }
    /** Sets the count (it survives "< Back" with the window; tests start near the limits). */
    void setSecondsElapsed(qint32 seconds) { m_secondsElapsed = seconds; }
    /** `SavedStatus`: the status line as it was when the last automatic backup started. */
    const QString& SavedStatus() const { return m_savedStatus; }

private:
    ScheduleContext m_context;
    qint32 m_intervalLength = 0;
    qint32 m_secondsElapsed = 0;
    QString m_savedStatus;
};
