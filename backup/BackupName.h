#pragma once

#include <QDate>
#include <QDateTime>
#include <QString>
#include <QTime>

#include <optional>

/**
 * The name of a backup file, made and recognised here alone: "<database> yyyy-MM-dd hmmAM.sql" with the hour 1 to 12
 * without a leading zero, ".gz" after it for a compressed backup, and "<name>.<process>-<unique>.partial" for the
 * working file a backup writes before the name is given. The database part is BackupFile::fileNameStem of the name.
 */
namespace BackupName {

/** The ending a compressed backup's name has after ".sql". */
inline const QString CompressedSuffix = QStringLiteral(".gz");
/** The ending of a working file's name. */
inline const QString WorkingSuffix = QStringLiteral(".partial");

/** "<database> yyyy-MM-dd hmmAM.sql" for the date and the time. */
QString stamped(const QString& database, const QDate& date, const QTime& time);
/** The stamped name as the file is named: with ".gz" when the backup is compressed. */
QString ofFile(const QString& stampedName, bool compressed);
/** "<name>.<process>-<unique>.partial": `unique` written as eight lower-case hexadecimal digits. */
QString working(const QString& name, qint64 process, quint32 unique);

/** The minute in the name when it is exactly a backup name of the database (".sql" or ".sql.gz"); none else. */
std::optional<QDateTime> stampIn(const QString& fileName, const QString& database);
/** Whether `fileName` is exactly the name of a working file of a backup of `database`. */
bool isWorkingFileOf(const QString& fileName, const QString& database);

} // namespace BackupName
