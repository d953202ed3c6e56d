// The termination signals on Windows: the console's control events through SetConsoleCtrlHandler, as the same stop
// and the same exit statuses as the POSIX signals: Ctrl+C and Ctrl+Break as SIGINT (130), closing the console as
// SIGHUP (129, a closed terminal), log-off and shut-down as SIGTERM (143). The system runs the handler on a thread of
// its own; for a close, log-off or shut-down it ends the process when the handler returns, so the handler waits there
// while the work stops (the system allows a few seconds).
#include "TerminationSignals.h"

#include "StopRequest.h"

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace {

constexpr int SignalHangUp = 1;
constexpr int SignalInterrupt = 2;
constexpr int SignalTerminate = 15;

class WindowsTerminationSignals;
WindowsTerminationSignals* installed = nullptr;

int signalOf(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        return SignalInterrupt;
    case CTRL_CLOSE_EVENT:
        return SignalHangUp;
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        return SignalTerminate;
    default:
        return 0;
    }
}

class WindowsTerminationSignals : public TerminationSignals
{
public:
    WindowsTerminationSignals(StopRequest& stop, std::function<void(int)> notify, int graceMs)
        : m_stop(stop)
        , m_notify(std::move(notify))
        , m_graceMs(graceMs)
    {
        m_watcher = std::thread([this] { watch(); });
        installed = this;
        SetConsoleCtrlHandler(onEvent, TRUE);
    }

    ~WindowsTerminationSignals() override
    {
        SetConsoleCtrlHandler(onEvent, FALSE);
        {
            const std::lock_guard lock(m_mutex);
            m_quit = true;
        }
        m_wake.notify_all();
        m_watcher.join();
        installed = nullptr;
    }

    WindowsTerminationSignals(const WindowsTerminationSignals&) = delete;
    WindowsTerminationSignals& operator=(const WindowsTerminationSignals&) = delete;

private:
    static BOOL WINAPI onEvent(DWORD event)
    {
        const int number = signalOf(event);
        WindowsTerminationSignals* self = installed;
        if (number == 0 || !self)
            return FALSE;
        {
            const std::lock_guard lock(self->m_mutex);
            self->m_events.push_back(number);
        }
        self->m_wake.notify_all();
        if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT)
            return TRUE;
        // The system ends the process as soon as this returns: the work gets its time to stop here, and the
        // watcher (or the program's own end) ends the process.
        Sleep(DWORD(self->m_graceMs) + 1000);
        return TRUE;
    }

    void watch()
    {
        using Clock = std::chrono::steady_clock;
        int first = 0;
        Clock::time_point deadline;
        std::unique_lock lock(m_mutex);
        for (;;) {
            if (first == 0)
                m_wake.wait(lock, [this] { return m_quit || !m_events.empty(); });
            else if (!m_wake.wait_until(lock, deadline, [this] { return m_quit || !m_events.empty(); }))
                endNow(first); // the work did not end in time
            if (m_quit)
                return;
            const int number = m_events.front();
            m_events.pop_front();
            if (first != 0)
                endNow(number); // a second event ends at once
            first = number;
            deadline = Clock::now() + std::chrono::milliseconds(m_graceMs);
            lock.unlock();
            m_stop.request(number);
            if (m_notify)
                m_notify(number);
            lock.lock();
        }
    }

    [[noreturn]] void endNow(int number)
    {
        m_stop.forceEnd();
        ExitProcess(UINT(128 + number));
    }

    StopRequest& m_stop;
    std::function<void(int)> m_notify;
    int m_graceMs;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<int> m_events;
    bool m_quit = false;
    std::thread m_watcher;
};

} // namespace

std::unique_ptr<TerminationSignals>
TerminationSignals::install(StopRequest& stop, std::function<void(int)> notify, int graceMs)
{
    return std::make_unique<WindowsTerminationSignals>(stop, std::move(notify), graceMs);
}
