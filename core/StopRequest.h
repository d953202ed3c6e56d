#pragma once

#include "Failure.h"

#include <QString>

#include <atomic>
#include <functional>
#include <list>
#include <mutex>

/** What a backup or restore that was stopped from outside gives as its failure ("interrupted"). */
class Interrupted : public Failure
{
public:
    Interrupted();
};

/** The failure text of a stopped backup or restore, as the log line ends: "... failed at <when>: interrupted". */
inline const QString InterruptedText = QStringLiteral("interrupted");

/**
 * A request from outside (a termination signal) to stop the running backup or restore. The work checks `requested()`
 * at its fixed points; a driver call that waits on the server is woken by the cancel hooks, which run on the thread
 * that makes the request. When the work does not end by itself in time, `forceEnd` runs the finish hooks (remove the
 * working file, write the log line) on the requesting thread before the process ends. Thread-safe.
 */
class StopRequest
{
public:
    using Action = std::function<void()>;

    /** Removes its action from the request when it goes; waits for the action if it runs meanwhile. */
    class Hook
    {
    public:
        Hook() = default;
        ~Hook() { reset(); }
        Hook(Hook&& other) noexcept;
        Hook& operator=(Hook&& other) noexcept;
        Hook(const Hook&) = delete;
        Hook& operator=(const Hook&) = delete;
        void reset();

    private:
        friend class StopRequest;
        StopRequest* m_request = nullptr;
        std::list<Action>::iterator m_at;
        bool m_finish = false;
    };

    /** True once a stop was requested. */
    bool requested() const { return m_signal.load() != 0; }
    /** The number of the signal that asked first; 0 before. */
    int signalNumber() const { return m_signal.load(); }
    /** What the process exits with after a stop: 128 and the signal's number. */
    int exitStatus() const { return 128 + signalNumber(); }

    /** Marks the request (the first call counts) and runs every cancel hook. */
    void request(int signalNumber);
    /** Runs every finish hook once (for work that did not end in time); the caller ends the process after. */
    void forceEnd();

    /** `cancel` runs when a stop is requested while the hook lives (at once when it already was). */
    [[nodiscard]] Hook onStop(Action cancel);
    /** `finish` runs when the stop is forced while the hook lives. */
    [[nodiscard]] Hook onForcedEnd(Action finish);

private:
    Hook add(std::list<Action>& list, Action action, bool finish);

    std::atomic<int> m_signal{0};
    std::recursive_mutex m_mutex;
    std::list<Action> m_cancels;
    std::list<Action> m_finishes;
};

/**
 * Runs a piece of the work's ending once, whichever thread comes first: the work itself when it stops, or the forced
 * end. The second caller waits until the first is done and then does nothing.
 */
class OnceOnly
{
public:
    template <typename Action> void run(Action&& action)
    {
        const std::lock_guard lock(m_mutex);
        if (m_done)
            return;
        m_done = true;
        std::forward<Action>(action)();
    }

private:
    std::mutex m_mutex;
    bool m_done = false;
};
