#include "BackupName.h"

#include "BackupFile.h"

#include <QRegularExpression>

using namespace Qt::Literals::StringLiterals;

namespace BackupName {

QString stamped(const QString& database, const QDate& date, const QTime& time)
{
    const int hour12 = time.hour() % 12 == 0 ? 12 : time.hour() % 12;
    return BackupFile::fileNameStem(database) + u' ' + date.toString(u"yyyy-MM-dd "_s) + QString::number(hour12)
        + QString::number(time.minute()).rightJustified(2, u'0') + (time.hour() < 12 ? u"AM"_s : u"PM"_s) + u".sql"_s;
}

QString ofFile(const QString& stampedName, bool compressed)
{
    return compressed ? stampedName + CompressedSuffix : stampedName;
}

QString working(const QString& name, qint64 process, quint32 unique)
{
    return name + u'.' + QString::number(process) + u'-' + QString::number(unique, 16).rightJustified(8, u'0')
        + WorkingSuffix;
}

std::optional<QDateTime> stampIn(const QString& fileName, const QString& database)
{
    // Exactly the form `stamped` makes, the hour 1 to 12 without a leading zero.
    const QRegularExpression pattern(
        u"^"_s + QRegularExpression::escape(BackupFile::fileNameStem(database))
        + u" ([0-9]{4})-([0-9]{2})-([0-9]{2}) (1[0-2]|[1-9])([0-5][0-9])(AM|PM)\\.sql(\\.gz)?$"_s);
    const QRegularExpressionMatch match = pattern.match(fileName);
    if (!match.hasMatch())
        return std::nullopt;
    const QDate date(match.captured(1).toInt(), match.captured(2).toInt(), match.captured(3).toInt());
    if (!date.isValid())
        return std::nullopt;
    const int hour12 = match.captured(4).toInt();
    const bool afternoon = match.captured(6) == u"PM"_s;
    const int hour = (hour12 % 12) + (afternoon ? 12 : 0);
    return QDateTime(date, QTime(hour, match.captured(5).toInt()));
}

bool isWorkingFileOf(const QString& fileName, const QString& database)
{
    static const QRegularExpression token(u"\\.[0-9]+-[0-9a-f]{8}\\.partial$"_s);
    const QRegularExpressionMatch match = token.match(fileName);
    return match.hasMatch() && stampIn(fileName.left(match.capturedStart()), database).has_value();
}

} // namespace BackupName
