#pragma once

#include "ProcessRunner.h"

#include <deque>
#include <functional>
#include <vector>

/** A ProcessRunner that runs nothing: it records each command line and answers from a queue or a function. */
class FakeProcessRunner : public ProcessRunner
{
public:
    struct Call
    {
        QString program;
        QStringList arguments;
        int timeLimitMs = 0;
    };

    QString findProgram(const QString& program) const override
    {
        return installed ? QStringLiteral("/usr/bin/") + program : QString();
    }
    ProcessResult run(const QString& program, const QStringList& arguments, int timeLimitMs) override
    {
        calls.push_back({program, arguments, timeLimitMs});
        if (answer)
            return answer(calls.back());
        if (answers.empty())
            return exited(0);
        ProcessResult result = answers.front();
        answers.pop_front();
        return result;
    }

    /** A run that ended with `code`, writing `err` to standard error and `out` to standard output. */
    static ProcessResult exited(int code, const QByteArray& err = {}, const QByteArray& out = {})
    {
        ProcessResult result;
        result.started = true;
        result.exitCode = code;
        result.standardError = err;
        result.standardOutput = out;
        return result;
    }
    /** The first word after the program (the rclone command) of every call, in order. */
    QStringList commands() const
    {
        QStringList words;
        for (const Call& call : calls)
            words << call.arguments.value(0);
        return words;
    }

    bool installed = true;
    std::vector<Call> calls;
    std::deque<ProcessResult> answers;
    std::function<ProcessResult(const Call&)> answer;
};
