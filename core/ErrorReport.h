#pragma once

#include "Failure.h"

#include <QString>

#include <exception>
#include <utility>

class Dialogs;

/** The address that the error report asks the user to send a screenshot to. */
inline constexpr char SupportAddress[] = "support@brackwell.example";

/** The last line of the error report: "Please email screenshot of this message to " and the support address. */
QString screenshotRequest();

/** The location text of a reporting procedure: "in Quorvane2021/08/31.<module>.<procedure> ". */
QString errorReportLocation(const QString& module, const QString& procedure);

/**
 * The text of the error report: the description, CR LF, the location text, "at line " and the number, two single CRs
 * and the request to e-mail a screenshot.
 */
QString composeErrorReport(const QString& description, const QString& location, int line);

/**
 * A reporting procedure: runs numbered statements under one handler. A statement that throws is reported with the
 * procedure's location and the statement's number (after the user pressed OK the procedure goes on with its next
 * statement); failures inside called procedures without a handler of their own surface here with the caller's line.
 *
 *     ReportingProcedure proc(dialogs, u"Form2"_s, u"Form_Load"_s);
 *     proc.run(100, [&] { setSystemColors(); });
 *     proc.run(102, [&] { ... });
 */
class ReportingProcedure
{
public:
    ReportingProcedure(Dialogs& dialogs, const QString& module, const QString& procedure);

    /** Runs one numbered statement; returns false when it failed (and was reported). */
    template <typename Statement> bool run(int line, Statement&& statement)
    {
        m_line = line;
        try {
            std::forward<Statement>(statement)();
            return true;
        } catch (const Failure& failure) {
            report(failure.description());
        } catch (const std::exception& error) {
            report(QString::fromLocal8Bit(error.what()));
        }
        return false;
    }

    /** The number of the statement that runs or ran last. */
    int line() const { return m_line; }
    /** Sets the current line without running anything (for statements that span a loop). */
    void setLine(int line) { m_line = line; }
    /** Reports a failure at the current line, as a failing statement would. */
    void report(const QString& description);

    bool failed() const { return m_failures > 0; }
    int failureCount() const { return m_failures; }
    /** The description of the first failure reported, empty when none. */
    const QString& firstFailure() const { return m_firstFailure; }
    const QString& location() const { return m_location; }

private:
    Dialogs& m_dialogs;
    QString m_location;
    int m_line = 0;
    int m_failures = 0;
    QString m_firstFailure;
};
