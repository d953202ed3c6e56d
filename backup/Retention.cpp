#include "Retention.h"

#include "BackupFile.h"
#include "BackupLog.h"
#include "BackupName.h"
#include "Clock.h"
#include "DateTimeText.h"
#include "Dialogs.h"
#include "ErrorReport.h"
#include "Failure.h"
#include "Gzip.h"
#include "ScriptText.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace {

void removeFromDisk(const QString& path)
{
    QFile file(path);
    if (!file.remove())
        throw Failure(file.errorString(), 75);
}

/** Reads up to `size` bytes, however the device hands them out. */
QByteArray readHead(QIODevice& device, qint64 size)
{
    QByteArray head;
    while (head.size() < size) {
        const QByteArray piece = device.read(size - head.size());
        if (piece.isEmpty())
            break;
        head += piece;
    }
    return head;
}

QString sameFileKey(const QString& path)
{
    const QFileInfo info(path);
    const QString canonical = info.canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(info.absoluteFilePath()) : canonical;
}

} // namespace

int ConvertKeepBackups(const QString& stored)
{
    static const QRegularExpression digits(u"^[0-9]+$"_s);
    const QString text = stored.trimmed();
    bool ok = digits.match(text).hasMatch();
    const qlonglong value = ok ? text.toLongLong(&ok) : -1;
    if (!ok || value > MaxKeepBackups)
        throw Failure(u"The number of backups to keep \""_s + stored + u"\" is not a whole number from 0 to "_s
                          + QString::number(MaxKeepBackups) + u"."_s,
                      13);
    return int(value);
}

Retention::Retention(Dialogs& dialogs, const Clock& clock, LogWriter writeLog, FileRemover remove)
    : m_dialogs(dialogs)
    , m_clock(clock)
    , m_writeLog(std::move(writeLog))
    , m_remove(remove ? std::move(remove) : FileRemover(removeFromDisk))
{ }

namespace {

bool deviceMatches(QIODevice& device, bool compressed, const QString& name, const QByteArray& expected)
{
    if (compressed) {
        GzipReader reader(&device, name);
        return readHead(reader, expected.size()) == expected;
    }
    return readHead(device, expected.size()) == expected;
}

} // namespace

bool Retention::hasHeaderFor(const QString& path, const QString& server, const QString& database)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    return deviceMatches(file, path.endsWith(u".gz"_s), path, ScriptText::headerBytes(server, database));
}

bool Retention::headMatches(const QByteArray& head, bool compressed, const QString& server, const QString& database)
{
    QByteArray bytes = head;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    return deviceMatches(buffer, compressed, u"head"_s, ScriptText::headerBytes(server, database));
}

void Retention::sortNewestFirst(QList<BackupFileEntry>& backups)
{
    std::sort(backups.begin(), backups.end(), [](const BackupFileEntry& a, const BackupFileEntry& b) {
        return a.stamp != b.stamp ? a.stamp > b.stamp : a.path > b.path;
    });
}

void Retention::reportRemovalFailures(ReportingProcedure& proc, const QStringList& failures)
{
    // However many failed, the user hears of it once; the backup itself is saved.
    if (failures.isEmpty())
        return;
    proc.run(102, [&] {
        QString text = failures.constFirst();
        if (failures.size() > 1)
            text += u" (and "_s + QString::number(failures.size() - 1) + u" more)"_s;
        throw Failure(text, 75);
    });
}

QString Retention::verifiedMarkPath(const QString& path)
{
    return path + u".verified"_s;
}

void Retention::markVerified(const QString& path, const QDateTime& when)
{
    QFile mark(verifiedMarkPath(path));
    if (!mark.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throw Failure(mark.errorString(), 75);
    const QByteArray text = (u"verified at "_s + when.toString(Qt::ISODate) + u"\r\n"_s).toUtf8();
    if (mark.write(text) != text.size())
        throw Failure(mark.errorString(), 61);
}

bool Retention::isVerified(const QString& path)
{
    const QFileInfo mark(verifiedMarkPath(path));
    return mark.isFile() && !mark.isSymLink();
}

QList<BackupFileEntry> Retention::backupsIn(const QString& folder, const QString& server, const QString& database)
{
    QList<BackupFileEntry> backups;
    const QDir dir(folder);
    const QFileInfoList entries = dir.entryInfoList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
    for (const QFileInfo& entry : entries) {
        // A link named like a backup may point anywhere: only real files are ever removed.
        if (entry.isSymLink() || !entry.isFile())
            continue;
        const std::optional<QDateTime> stamp = BackupName::stampIn(entry.fileName(), database);
        if (!stamp)
            continue;
        const QString path = dir.filePath(entry.fileName());
        if (hasHeaderFor(path, server, database))
            backups.append({path, *stamp});
    }
    sortNewestFirst(backups);
    return backups;
}

bool Retention::removeAndLog(const QString& path, const std::function<QString()>& logLine, QStringList& failures)
{
    try {
        m_remove(path);
    } catch (const Failure& failure) {
        failures << path + u" could not be removed: "_s + failure.description();
        return false;
    }
    try {
        m_writeLog(logLine());
    } catch (const Failure& failure) {
        failures << u"The removal of "_s + path + u" could not be logged: "_s + failure.description();
    }
    return true;
}

QStringList Retention::RemoveStaleWorkingFiles(const QString& folder, const QString& database)
{
    ReportingProcedure proc(m_dialogs, u"Retention"_s, u"RemoveStaleWorkingFiles"_s);
    QStringList removed;
    QStringList failures;
    const QDir dir(folder);
    const QFileInfoList entries = dir.entryInfoList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
    const QDateTime now = m_clock.now();
    for (const QFileInfo& entry : entries) {
        if (entry.isSymLink() || !entry.isFile() || !BackupName::isWorkingFileOf(entry.fileName(), database))
            continue;
        // A backup that is still writing holds its file's lock; a recent one may belong to a backup just starting.
        const QString path = dir.filePath(entry.fileName());
        if (entry.lastModified().secsTo(now) < StaleWorkingFileAgeSecs || BackupFile::isWorkingFileHeld(path))
            continue;
        const auto line = [&]() -> QString { return BackupLog::workingFileRemovedLine(path, m_clock.now()); };
        if (removeAndLog(path, line, failures))
            removed << path;
    }
    reportRemovalFailures(proc, failures);
    return removed;
}

QStringList Retention::RemoveOldBackups(
    const QString& folder, const QString& server, const QString& database, int keep, const QString& justWritten)
{
    if (keep <= 0)
        return {};
    ReportingProcedure proc(m_dialogs, u"Retention"_s, u"RemoveOldBackups"_s);
    QList<BackupFileEntry> backups;
    proc.run(100, [&] { backups = backupsIn(folder, server, database); });

    const QString written = sameFileKey(justWritten);
    // The newest backup known to restore stays, in addition to the newest `keep`, when none of those is known to.
    QString lastVerified;
    for (const BackupFileEntry& backup : std::as_const(backups)) {
        if (isVerified(backup.path)) {
            lastVerified = backup.path;
            break;
        }
    }
    QStringList removed;
    QStringList failures;
    for (qsizetype i = keep; i < backups.size(); ++i) {
        const QString& path = backups.at(i).path;
        if (sameFileKey(path) == written || path == lastVerified)
            continue;
        if (!removeAndLog(
                path, [&] { return BackupLog::removedLine(BackupLog::shownPath(path), m_clock.now(), keep); },
                failures))
            continue;
        removed << path;
        if (QFileInfo::exists(verifiedMarkPath(path)))
            QFile::remove(verifiedMarkPath(path)); // a mark without its backup means nothing
    }
    reportRemovalFailures(proc, failures);
    return removed;
}
