#include "ProcessRunner.h"

#include "StopRequest.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>

using namespace Qt::Literals::StringLiterals;

QProcessRunner::QProcessRunner(EventPump letEventsRun, const StopRequest* stop)
    : m_letEventsRun(std::move(letEventsRun))
    , m_stop(stop)
{ }

QString QProcessRunner::findProgram(const QString& program) const
{
    return QStandardPaths::findExecutable(program);
}

ProcessResult QProcessRunner::run(const QString& program, const QStringList& arguments, int timeLimitMs)
{
    ProcessResult result;
    const auto stopped = [this] { return m_stop && m_stop->requested(); };
    if (stopped()) {
        result.interrupted = true;
        result.errorText = InterruptedText;
        return result;
    }
    QProcess process;
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(program, arguments, QIODevice::ReadOnly);
    if (!process.waitForStarted()) {
        result.errorText = process.errorString();
        return result;
    }
    result.started = true;

    // Short waits with the window's events in between, so a long copy leaves the window responsive.
    const int slice = m_letEventsRun || m_stop ? 50 : 1000;
    QElapsedTimer elapsed;
    elapsed.start();
    while (!process.waitForFinished(slice)) {
        if (process.state() == QProcess::NotRunning)
            break;
        result.standardOutput += process.readAllStandardOutput();
        result.standardError += process.readAllStandardError();
        if (timeLimitMs > 0 && elapsed.elapsed() >= timeLimitMs) {
            process.kill();
            process.waitForFinished(5000);
            result.timedOut = true;
            result.errorText = u"stopped after "_s + QString::number((timeLimitMs + 999) / 1000) + u" s"_s;
            break;
        }
        if (stopped()) {
            process.kill();
            process.waitForFinished(5000);
            result.interrupted = true;
            result.errorText = InterruptedText;
            break;
        }
        if (m_letEventsRun)
            m_letEventsRun();
    }
    result.standardOutput += process.readAllStandardOutput();
    result.standardError += process.readAllStandardError();
    if (!result.timedOut && !result.interrupted) {
        result.crashed = process.exitStatus() == QProcess::CrashExit;
        result.exitCode = result.crashed ? -1 : process.exitCode();
        if (result.crashed)
            result.errorText = process.errorString();
    }
    return result;
}
