#include "BackupLog.h"

#include "DateTimeText.h"
#include "Failure.h"

#include <QDir>
#include <QFile>

using namespace Qt::Literals::StringLiterals;

namespace {

QString defaultPath()
{
    QString folder = qEnvironmentVariable("TEMP");
    if (folder.isEmpty())
        folder = QDir::tempPath();
    return folder + u"/backups.log"_s;
}

} // namespace

BackupLog::BackupLog(QString path)
    : m_path(path.isEmpty() ? defaultPath() : std::move(path))
{ }

void BackupLog::write(const QString& line) const
{
    QFile file(m_path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        throw Failure(file.errorString(), 75);
    QByteArray bytes = line.toUtf8();
    bytes.append("\r\n");
    if (file.write(bytes) != bytes.size() || !file.flush())
        throw Failure(file.errorString(), 61);
}

std::function<void(const QString&)> BackupLog::writer() const
{
    return [log = *this](const QString& line) { log.write(line); };
}

QString BackupLog::savedLine(const QString& backup, const QDateTime& when, const QString& unscripted)
{
    return shownPath(backup) + u" was backup saved at "_s + defaultDateTimeText(when)
        + (unscripted.isEmpty() ? QString() : u"; not scripted: "_s + unscripted);
}

QString BackupLog::backupFailedLine(const QString& backup, const QDateTime& when, const QString& why)
{
    return shownPath(backup) + u" backup failed at "_s + defaultDateTimeText(when) + u": "_s + why;
}

QString BackupLog::restoreFailedLine(const QString& script, const QDateTime& when, const QString& why)
{
    return shownPath(script) + u" restore failed at "_s + defaultDateTimeText(when) + u": "_s + why;
}

QString BackupLog::stepLine(const QString& backup, const QString& outcome, const QDateTime& when)
{
    return shownPath(backup) + u' ' + outcome + u" at "_s + defaultDateTimeText(when);
}

QString BackupLog::removedLine(const QString& backup, const QDateTime& when, int keep)
{
    return backup + u" was removed at "_s + defaultDateTimeText(when) + u" (keeping "_s + QString::number(keep) + u')';
}

QString BackupLog::workingFileRemovedLine(const QString& file, const QDateTime& when)
{
    return shownPath(file) + u" was removed at "_s + defaultDateTimeText(when)
        + u" (the working file of a backup that did not finish)"_s;
}

QString BackupLog::shownPath(const QString& path)
{
    return QDir::toNativeSeparators(path);
}
