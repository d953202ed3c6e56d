#pragma once

#include <QThread>

#include <functional>
#include <memory>

/**
 * A thread for work beside the caller's, started by Qt. Qt keeps data of its own for every thread that uses it (an
 * object, a file, a regular expression): a thread Qt did not start is adopted on that first use and cleaned up by a
 * watcher when it ends, and on Windows that clean-up can run into the ending thread and crash the process. A thread
 * Qt starts cleans up after itself. join() waits for the end, as std::thread's does; the destructor joins as well.
 */
class WorkerThread
{
public:
    WorkerThread() = default;
    explicit WorkerThread(std::function<void()> work)
        : m_thread(QThread::create(std::move(work)))
    {
        m_thread->start();
    }
    ~WorkerThread() { join(); }
    WorkerThread(WorkerThread&&) noexcept = default;
    WorkerThread& operator=(WorkerThread&& other) noexcept
    {
        join();
        m_thread = std::move(other.m_thread);
        return *this;
    }
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    bool joinable() const { return m_thread != nullptr; }
    void join()
    {
        if (!m_thread)
            return;
        m_thread->wait();
        m_thread.reset();
    }

private:
    std::unique_ptr<QThread> m_thread;
};
