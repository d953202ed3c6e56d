#pragma once

#include <QByteArray>
#include <QString>

#include <exception>

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
};
