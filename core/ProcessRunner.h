#pragma once

#include "EventPump.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

class StopRequest;

/** How a program run by a ProcessRunner ended. */
struct ProcessResult
{
    bool started = false; ///< false: the program could not be started (missing, not executable)
    bool timedOut = false; ///< stopped after the time limit
    bool crashed = false; ///< ended by a signal
    bool interrupted = false; ///< killed because a stop from outside was requested
    int exitCode = -1; ///< the exit status when it ended on its own
    QByteArray standardOutput;
    QByteArray standardError;
    QString errorText; ///< why it did not start, or how it ended when not on its own
};

/**
 * Runs an outside program to its end and hands back its exit status and output. The program gets the arguments as
 * given (no shell) and inherits the environment. The real one is a QProcess; tests pass a fake that records the
 * command lines and answers from a queue.
 */
class ProcessRunner
{
public:
    virtual ~ProcessRunner() = default;

    /** The full path of `program` found on PATH, empty when it is not there. */
    virtual QString findProgram(const QString& program) const = 0;
    /**
     * Runs `program` with `arguments` and waits for its end, at most `timeLimitMs` (0: no limit), after which it is
     * killed. Standard input is closed.
     */
    virtual ProcessResult run(const QString& program, const QStringList& arguments, int timeLimitMs) = 0;
};

/** ProcessRunner with QProcess; while it waits it lets pending window events run every few milliseconds. */
class QProcessRunner : public ProcessRunner
{
public:
    /** A stop from outside kills the program that runs (and is not started after it) when `stop` is given. */
    explicit QProcessRunner(EventPump letEventsRun = {}, const StopRequest* stop = nullptr);

    QString findProgram(const QString& program) const override;
    ProcessResult run(const QString& program, const QStringList& arguments, int timeLimitMs) override;

private:
    EventPump m_letEventsRun;
    const StopRequest* m_stop;
};
