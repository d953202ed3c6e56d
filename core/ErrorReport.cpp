#include "ErrorReport.h"

#include "Dialogs.h"

using namespace Qt::Literals::StringLiterals;

QString errorReportLocation(const QString& module, const QString& procedure)
{
    return u"in Quorvane2021/08/31."_s + module + u'.' + procedure + u' ';
}

QString screenshotRequest()
{
    return u"Please email screenshot of this message to "_s + QLatin1StringView(SupportAddress);
}

QString composeErrorReport(const QString& description, const QString& location, int line)
{
    return description + u"\r\n"_s + location + u"at line "_s + QString::number(line) + u"\r\r"_s + screenshotRequest();
}

ReportingProcedure::ReportingProcedure(Dialogs& dialogs, const QString& module, const QString& procedure)
    : m_dialogs(dialogs)
    , m_location(errorReportLocation(module, procedure))
{ }

void ReportingProcedure::report(const QString& description)
{
    if (m_failures++ == 0)
        m_firstFailure = description;
    m_dialogs.errorReport(composeErrorReport(description, m_location, m_line));
}
