#pragma once

#include <QDateTime>
#include <QString>
#include <QStringBuilder>

#include <functional>

/**
 * The backup log, "backups.log" in the TEMP folder: one line of UTF-8 text and CR LF for each event, appended with the
 * file opened and closed for every line. Every line's text is made here, so that the log reads alike whichever part
 * of the program writes it. A file of this system in a line is written with the system's own separators
 * ("C:\Backups\Sales ....sql" on Windows); an rclone destination's path stays as rclone names it. A value type: the
 * log is made once and handed to whatever writes to it.
 */
class BackupLog
{
public:
    /** The log at `path`; empty means $TEMP/backups.log (the platform's temporary folder when TEMP is unset). */
    BackupLog(QString path = {}); // NOLINT: a path converts to the log it names
    /** A path put together from pieces ("dir + u"/backups.log"") names its log as well. */
    template <typename A, typename B>
    BackupLog(const QStringBuilder<A, B>& path) // NOLINT
        : BackupLog(QString(path))
    { }

    const QString& path() const { return m_path; }
    /** Appends one line; throws Failure when it cannot. */
    void write(const QString& line) const;
    /** A function that appends one line to this log (throws Failure when it cannot). */
    std::function<void(const QString&)> writer() const;

    /** "<backup> was backup saved at <when>", and "; not scripted: ..." when the complete schema left objects out. */
    static QString savedLine(const QString& backup, const QDateTime& when, const QString& unscripted = {});
    /** "<backup> backup failed at <when>: <why>". */
    static QString backupFailedLine(const QString& backup, const QDateTime& when, const QString& why);
    /** "<script> restore failed at <when>: <why>". */
    static QString restoreFailedLine(const QString& script, const QDateTime& when, const QString& why);
    /** A step after the save: "<backup> <what the step says> at <when>" ("... verified at ...", "... copied to ...").
     */
    static QString stepLine(const QString& backup, const QString& outcome, const QDateTime& when);
    /** "<backup> was removed at <when> (keeping N)"; `backup` as given (a local file passes through `shownPath`). */
    static QString removedLine(const QString& backup, const QDateTime& when, int keep);
    /** "<file> was removed at <when> (the working file of a backup that did not finish)". */
    static QString workingFileRemovedLine(const QString& file, const QDateTime& when);

    /** A file of this system as the log and the messages show it: with the system's separators. */
    static QString shownPath(const QString& path);

private:
    QString m_path;
};
