#pragma once

/** What a refused backup or restore says while a dump is running. */
inline constexpr char BackupAlreadyRunningMessage[] = "A backup is already running.";

/**
 * Marks that a dump is running. The dump lets window events run, so a click on "Backup Now (Test)" or
 * "Restore Text File", or a tick that reaches the interval, can arrive in the middle of it; those check busy() and
 * refuse. One guard is shared by the schedule, the backup commands and the restore.
 */
class WorkGuard
{
public:
    /** True while a dump runs. */
    bool busy() const { return m_depth > 0; }

    /** Holds the guard for its lifetime. */
    class Scope
    {
    public:
        explicit Scope(WorkGuard& guard)
            : m_guard(guard)
        {
            ++m_guard.m_depth;
        }
        ~Scope() { --m_guard.m_depth; }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        WorkGuard& m_guard;
    };

private:
    int m_depth = 0;
};
