#pragma once

#include <QtGlobal>

#include <atomic>
#include <thread>

namespace tds {

/**
 * A TCP relay on 127.0.0.1 in front of a server on 127.0.0.1: every connection to `port()` is passed on to the
 * target, and cut (both sides closed) once the server has sent `cutAfterBytes` bytes on it. A negative count never
 * cuts. It runs in a thread of its own, so blocking driver calls in the test's thread or another process never wait
 * for it.
 */
class CutProxy
{
public:
    CutProxy(quint16 targetPort, qint64 cutAfterBytes);
    ~CutProxy();
    CutProxy(const CutProxy&) = delete;
    CutProxy& operator=(const CutProxy&) = delete;

    /** Starts listening at a free port; false when it cannot. */
    bool start();
    void stop();
    quint16 port() const { return m_port; }
    /** How many connections were cut so far. */
    int cuts() const { return m_cuts.load(); }

private:
    void run();

    quint16 m_target;
    qint64 m_cutAfter;
    int m_listener = -1;
    quint16 m_port = 0;
    std::atomic<bool> m_stopping{false};
    std::atomic<int> m_cuts{0};
    std::thread m_thread;
};

} // namespace tds
