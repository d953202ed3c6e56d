#include "Intervals.h"

#include "Failure.h"
#include "Views.h"

#include <cstdlib>
#include <limits>

using namespace Qt::Literals::StringLiterals;

const std::array<IntervalEntry, 11>& IntervalTable()
{
    static const std::array<IntervalEntry, 11> table{{
        {u"Backup every 5 minutes"_s, 300},
        {u"Backup every 10 minutes"_s, 600},
        {u"Backup every 15 minutes"_s, 900},
        {u"Backup every 20 minutes"_s, 1200},
        {u"Backup every 30 minutes"_s, 1800},
        {u"Backup every 1 hour"_s, 3600},
        {u"Backup every 2 hours"_s, 7200},
        {u"Backup every 4 hours"_s, 14400},
        {u"Backup every 8 hours"_s, 28800},
        {u"Backup every 16 hours"_s, 57600},
        {u"Backup every 24 hours"_s, 86400},
    }};
    return table;
}

qint32 IntervalSecondsForCaption(const QString& caption)
{
    for (const IntervalEntry& entry : IntervalTable())
        if (entry.caption == caption)
            return entry.seconds;
    return 0;
}

qint32 GetIntervalSeconds(const MainView& view)
{
    const std::optional<QString> caption = view.selectedIntervalCaption();
    if (!caption)
        throw Failure(u"No backup interval is selected in the list."_s, 91);
    return IntervalSecondsForCaption(*caption);
}

QString FormatSeconds(qint32 seconds)
{
    // A time of day: whole days drop out, and a negative count reads as its magnitude.
    const qint64 ofDay = std::llabs(qint64(seconds)) % 86400;
    const auto twoDigits = [](qint64 value) { return u"%1"_s.arg(value, 2, 10, QChar(u'0')); };
    return twoDigits(ofDay / 3600) + u':' + twoDigits(ofDay / 60 % 60) + u':' + twoDigits(ofDay % 60);
}

qint16 ConvertOftenIndex(const QString& stored)
{
    bool isNumber = false;
    const qlonglong value = stored.trimmed().toLongLong(&isNumber);
    if (!isNumber)
        throw Failure(u"The stored backup interval \""_s + stored + u"\" is not a number."_s, 13);
    if (value < std::numeric_limits<qint16>::min() || value > std::numeric_limits<qint16>::max())
        throw Failure(u"The stored backup interval "_s + stored.trimmed() + u" is out of range."_s, 6);
    return qint16(value);
}

bool IsIntervalPosition(int position)
{
    return position >= 1 && position <= int(IntervalTable().size());
}
