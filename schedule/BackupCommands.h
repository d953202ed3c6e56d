#pragma once

#include "ScheduleContext.h"

/** The status line while "Backup Now (Test)" runs the dump. */
inline const QString BackingUpFilesStatus = QStringLiteral("Backing up files...");
/** How long "Backup Now (Test)" leaves the dump's last status text standing, in seconds. */
inline constexpr int BackupNowPauseSeconds = 5;

/**
 * `Pause`: waits the given number of seconds on the clock's monotonic time while letting window events run (so the
 * wait is the same across midnight or a change of the wall clock). Yields the processor briefly when an event pump
 * does not move the clock.
 */
void Pause(int seconds, const Clock& clock, const EventPump& letEventsRun);

/** The main window's backup commands: turn automatic backup on or off, "Backup Now (Test)" and "< Back". */
class BackupCommands
{
public:
    explicit BackupCommands(ScheduleContext context);

    /**
     * `PushButton5_Click`: by the button's caption, turns automatic backup on ("Turn Off Auto Backup", Timer1 at
     * 1000 ms, "On" stored) or off ("Turn On Auto Backup", Timer1 stopped, "Off" stored). Leaves the status line and
     * the count alone. Failures are error reports of "Form2.PushButton5_Click".
     */
    void PushButton5_Click();

    /**
     * `PushButton6_Click`, "Backup Now (Test)": runs the dump at once with the hourglass, resets the progress bar,
     * pauses five seconds and puts the status line back. Any failure turns automatic backup off and shows "Could not
     * connect. Please check with your administrator.". Refused with "A backup is already running." during a dump.
     */
    void PushButton6_Click();

    /**
     * `PushButton3_Click`, "< Back": turns automatic backup off (without touching the status line), shows the
     * connection window and hides the main window. Failures are error reports of "Form2.PushButton3_Click".
     */
    void PushButton3_Click();

private:
    ScheduleContext m_context;
};
