#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>

/**
 * The default date-and-time text of scripts, the backup log and status lines: the US-English general date, short date
 * and long time ("8/31/2021 9:30:12 AM"); a value at midnight shows the date alone. Fixed to US English so that backup
 * files and logs read the same on every machine.
 */
inline QString defaultDateTimeText(const QDateTime& value)
{
    static const QLocale english(QLocale::English, QLocale::UnitedStates);
    const QString date = english.toString(value.date(), QStringLiteral("M/d/yyyy"));
    if (value.time() == QTime(0, 0))
        return date;
    return date + QLatin1Char(' ') + english.toString(value.time(), QStringLiteral("h:mm:ss AP"));
}
