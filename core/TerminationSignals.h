#pragma once

#include <functional>
#include <memory>

class StopRequest;

/**
 * The platform's termination signals (SIGTERM from a service manager or a log-out, SIGINT from Ctrl+C, SIGHUP from a
 * closed terminal) as a stop of the running work. The first signal makes the StopRequest, which cancels what waits on
 * the server, and then calls `notify` with the signal's number (on a thread of its own: the window posts its close to
 * the event loop from there). When the work has not ended `graceMs` later, or at a second signal, the request's finish
 * hooks run and the process ends at once with 128 and the signal's number. The handler itself only hands the number
 * on; everything else runs on that thread.
 *
 * One implementation per platform; where there is none, `install` gives an object that does nothing.
 */
class TerminationSignals
{
public:
    /** How long the work has after the first signal before the process ends without it. */
    static constexpr int DefaultGraceMs = 5000;

    virtual ~TerminationSignals() = default;

    /** Installs the handlers; they stay until the object goes. One at a time. */
    static std::unique_ptr<TerminationSignals>
    install(StopRequest& stop, std::function<void(int signalNumber)> notify = {}, int graceMs = DefaultGraceMs);
};
