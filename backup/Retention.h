#pragma once

#include <QDateTime>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

class Clock;
class Dialogs;
class ReportingProcedure;

/** The largest "KeepBackups" that counts; anything else (or a text that is no whole number) keeps every backup. */
inline constexpr int MaxKeepBackups = 100000;

/**
 * "KeepBackups" as stored (decimal text, blanks around it allowed): a whole number from 0 to 100000. Throws Failure for
 * any other text; the caller then keeps every backup.
 */
int ConvertKeepBackups(const QString& stored);

/** One backup of a database found in the backup folder. */
struct BackupFileEntry
{
    QString path;
    QDateTime stamp; ///< the minute in its name
};

/**
 * Keeps the newest backups of one database and removes older ones, after a backup that succeeded. A file counts as a
 * backup of the database only when its name is exactly what `StampedFileName` makes for that database (BackupName)
 * (ending ".sql" or ".sql.gz") and its first three lines are the header this program writes for the server and the
 * database (read through the decompressor for ".sql.gz"). Every other file is left alone, so are working files
 * (".partial") and the file just written. Backups are aged by the date and time in their names. When none of the newest
 * N passed the restore drill, the newest one that did is kept as well: newer backups that failed it never push out the
 * last one known to restore.
 *
 * Working files are cleared apart: `RemoveStaleWorkingFiles` removes those of the database that a backup left when
 * its process ended without finishing (no lock held on them, older than an hour), before the next backup writes.
 */
class Retention
{
public:
    /** Removes one file; throws Failure with the reason when it cannot. */
    using FileRemover = std::function<void(const QString& path)>;
    /** Appends one line to the backup log; throws Failure when it cannot. */
    using LogWriter = std::function<void(const QString& line)>;

    /** `remove` empty: the file system's own removal. */
    Retention(Dialogs& dialogs, const Clock& clock, LogWriter writeLog, FileRemover remove = {});

    /**
     * `RemoveOldBackups`: of the backups of `database` on `server` in `folder`, keeps the newest `keep` and removes the
     * rest, never `justWritten`; `keep` 0 keeps all. Each removal appends "<path> was removed at <date and time>
     * (keeping N)" to the backup log. Removals (or log lines) that fail are shown in one error report; the others go
     * on. Returns the paths removed.
     */
    QStringList RemoveOldBackups(
        const QString& folder, const QString& server, const QString& database, int keep, const QString& justWritten);

    /**
     * Removes the working files of `database`'s backups in `folder` that no running backup holds and that were last
     * written more than StaleWorkingFileAgeSecs ago (by the clock); each removal appends "<path> was removed at <date
     * and time> (the working file of a backup that did not finish)" to the backup log. Failures are shown in one error
     * report. Returns the paths removed.
     */
    QStringList RemoveStaleWorkingFiles(const QString& folder, const QString& database);
    /** How old an unheld working file must be before a backup removes it: an hour. */
    static constexpr qint64 StaleWorkingFileAgeSecs = 3600;
    /** True when the file's first three lines are this program's header for the server and the database. */
    static bool hasHeaderFor(const QString& path, const QString& server, const QString& database);
    /**
     * The same test on the first bytes of a file read elsewhere (gzip data when `compressed`); a head too short to hold
     * the header does not match.
     */
    static bool headMatches(const QByteArray& head, bool compressed, const QString& server, const QString& database);
    /** Newest first by the minute in the name; equal minutes by name, the later name first. */
    static void sortNewestFirst(QList<BackupFileEntry>& backups);
    /** Removals that failed, reported once at step 102 of `proc`: the first, and how many more. */
    static void reportRemovalFailures(ReportingProcedure& proc, const QStringList& failures);
    /**
     * A backup that passed the restore drill is marked by a small file beside it, "<backup>.verified", holding the
     * time of the drill; retention keeps the newest marked backup and removes a mark with its backup. Throws Failure
     * when the mark cannot be written.
     */
    static void markVerified(const QString& path, const QDateTime& when);
    static bool isVerified(const QString& path);
    static QString verifiedMarkPath(const QString& path);

    /** The backups of the database in the folder, newest first (equal minutes by name, the later name first). */
    static QList<BackupFileEntry> backupsIn(const QString& folder, const QString& server, const QString& database);

private:
    /**
     * Removes the file and logs the line `logLine` makes at the moment after; a removal or a log line that fails goes
     * into `failures`. False when the file stays.
     */
    bool removeAndLog(const QString& path, const std::function<QString()>& logLine, QStringList& failures);

    Dialogs& m_dialogs;
    const Clock& m_clock;
    LogWriter m_writeLog;
    FileRemover m_remove;
};
