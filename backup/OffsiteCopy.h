#pragma once

#include "FolderCopy.h"
#include "IntervalSave.h"
#include "Retention.h"

#include <QString>
#include <QStringList>

class Clock;
class Dialogs;
class ProcessRunner;
class StopRequest;
struct ProcessResult;

/**
 * The copy of each saved backup to another place ("CopyTo"). An rclone destination such as "nas:backups/sales" is
 * copied by the rclone program as a separate process: the finished file under its own name with `rclone copyto
 * --checksum`, checked with `rclone check` on that one file (size, and the hash where the destination has one). A
 * folder (an absolute path on this system, "/mnt/nas/sql", "D:\Copies", "\\server\share\sql", or any text
 * that names no remote) is copied by FolderCopy, without rclone. After a good copy the destination keeps the newest
 * copies by the same rule as the backup folder: only files named as this program names the database's backups and,
 * where their head can be read, with its header for the server and the database. Credentials stay in rclone's own
 * configuration: the destination names a remote, never its settings.
 */
class OffsiteCopy
{
public:
    /** The exit status of the headless command when the backup was saved but its copy failed. */
    static constexpr int FailedExitStatus = 3;
    /** How many bytes of a copy are read to test its header (compressed copies need more than the header's size). */
    static constexpr int HeadBytes = 65536;

    /** Bounds on every rclone run, so a destination that stops answering cannot hold a backup for ever. */
    struct Limits
    {
        /** rclone's --timeout: how long a transfer may see no data; 0 leaves rclone's own default. */
        int idleSeconds = 600;
        /** rclone's --contimeout: how long a connection may take; 0 leaves rclone's own default. */
        int connectSeconds = 60;
        /** How long one rclone process may run in all before it is stopped. */
        int processLimitMs = 12 * 3600 * 1000;
    };

    /**
     * `writeLog` appends one line to the backup log (throws Failure when it cannot). A copy into a folder runs
     * `letEventsRun` between its blocks and ends on `stop`.
     */
    OffsiteCopy(ProcessRunner& runner,
                Dialogs& dialogs,
                const Clock& clock,
                Retention::LogWriter writeLog,
                EventPump letEventsRun = {},
                const StopRequest* stop = nullptr);

    void setLimits(const Limits& limits) { m_limits = limits; }
    const Limits& limits() const { return m_limits; }

    /** The program run: "rclone". */
    static QString program();
    /** Why a copy cannot be made: rclone is not installed (naming the package to install); empty when it is. */
    QString rcloneProblem() const;
    /** How to install rclone on this system ("Install it with: apt install rclone"). */
    static QString installHint();
    /** The same, short, as a failed copy says it ("apt install rclone"). */
    static QString shortInstallHint();
    /** True when `destination` is a folder of this system, copied without rclone; false for an rclone remote. */
    static bool isFolder(const QString& destination);
    /** Why no copy can be made to `destination`: `destinationProblem`, else rclone's absence for a remote. */
    QString problemFor(const QString& destination) const;
    /**
     * Why `destination` is refused, empty when it is usable: an rclone connection string (":sftp,host=...:", or a
     * remote name with parameters) would carry credentials into the settings, the command line and the log.
     */
    static QString destinationProblem(const QString& destination);

    /** The destination's path of a file of that name: "nas:" + name, "nas:dir/" + name, "/mnt/share/" + name. */
    static QString remotePath(const QString& destination, const QString& fileName);
    /** The arguments of the copy (`rclone copyto`). */
    QStringList copyArguments(const QString& localPath, const QString& destination) const;
    /** The arguments of the check of the one file just copied (`rclone check --one-way`). */
    QStringList checkArguments(const QString& localPath, const QString& destination) const;
    /** rclone's own reason from its messages: its first error, else its "Failed to ..." line, else its last line. */
    static QString rcloneReason(const QByteArray& standardError);

    /**
     * Copies the backup at `localPath` to `destination` under the same name and checks it, then (after a good copy,
     * with `keep` above 0) removes older copies of the database there. The outcome's text is "copied to DEST" or
     * "not copied to DEST: <rclone's reason> (rclone exit status N)"; a failed copy has exit status 3.
     */
    AfterSaveOutcome copy(
        const QString& localPath, const QString& destination, const QString& server, const QString& database, int keep);

    /**
     * `RemoveOldCopies`: of the copies of `database` on `server` at `destination`, keeps the newest `keep` and removes
     * the rest, never `justCopied` (a file name). Each removal is logged as the backup folder's are; failures are shown
     * in one error report. Returns the destination paths removed.
     */
    QStringList RemoveOldCopies(const QString& destination,
                                const QString& server,
                                const QString& database,
                                int keep,
                                const QString& justCopied);

    /** `rclone listremotes`: the configured remotes ("nas:", "s3:"); throws Failure with rclone's reason. */
    QStringList listRemotes();

    /**
     * The step for BackupContext::afterSave: copies to the backup's destination and keeps its number of copies; with no
     * destination it does nothing (an outcome with empty text).
     */
    AfterSaveStep step();

private:
    QStringList commonArguments() const;
    ProcessResult rclone(const QStringList& arguments);
    /** "rclone exit status N", or why rclone did not end on its own. */
    static QString howItEnded(const ProcessResult& result);

    /** The copy into a folder, and its retention there. */
    AfterSaveOutcome copyIntoFolder(
        const QString& localPath, const QString& folder, const QString& server, const QString& database, int keep);

    ProcessRunner& m_runner;
    Dialogs& m_dialogs;
    const Clock& m_clock;
    Retention::LogWriter m_writeLog;
    Limits m_limits;
    FolderCopy m_folderCopy;
};
