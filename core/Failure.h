#pragma once

#include <QByteArray>
#include <QString>

#include <exception>
#include <utility>

/**
 * A failed step. Every procedure of the program throws this (or DbError) when a step cannot be done;
 * a ReportingProcedure catches it, shows the error report with its description and goes on.
 */
class Failure : public std::exception
{
public:
    explicit Failure(QString description, int number = 1);

    /** The error's text, shown unchanged in the error report. */
    const QString& description() const noexcept { return m_description; }
    /** A non-zero error number. */
    int number() const noexcept { return m_number; }
    const char* what() const noexcept override { return m_what.constData(); }

private:
    QString m_description;
    int m_number;
    QByteArray m_what;
};

/** A failure of the data-access layer; the description is the driver's text with its bracketed prefixes. */
class DbError : public Failure
{
public:
    using Failure::Failure;
    DbError(QString description, int number, QString state)
        : Failure(std::move(description), number)
        , m_state(std::move(state))
    { }

    /** The driver's five-character SQLSTATE of the error ("08S01", "42000"); empty when none came with it. */
    const QString& state() const noexcept { return m_state; }
    /**
     * True when the connection itself failed rather than the server refusing a statement: an ODBC state of class 08
     * (the link to the server is gone or was never made) or a timeout (HYT00, HYT01), where the server did not answer.
     */
    bool isConnectionFault() const noexcept
    {
        return m_state.startsWith(QLatin1StringView("08")) || m_state == QLatin1StringView("HYT00")
            || m_state == QLatin1StringView("HYT01");
    }

private:
    QString m_state;
};
