#pragma once

#include "StopRequest.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>
#include <mutex>

class BackupFile;
class ByteStage;
class Clock;
class EngineReports;
class Retention;
struct BackupContext;

/**
 * The file of one dump, from its name to its end. The dump names it from the clock (BackupName), clears what dead
 * backups of the database left, writes the script into a working file (BackupFile) through FileCont's steps, and
 * commits it under its name when every step succeeded. A stop before the commit ends it instead: the working file
 * goes and the log says "<path> backup failed at <date and time>: interrupted", once, whether the dump gets there
 * itself or the forced end of the process on another thread comes first. From the commit on, a stop changes nothing of
 * the backup.
 *
 * `name` and `commit` throw Failure for the dump's own numbered steps; the writes report through FileCont's.
 */
class DumpFile
{
public:
    DumpFile(const BackupContext& context, EngineReports& reports);
    ~DumpFile();
    DumpFile(const DumpFile&) = delete;
    DumpFile& operator=(const DumpFile&) = delete;

    /** "<database> yyyy-MM-dd hmmAP.sql" from the clock: the date and the time each from a reading of their own. */
    static QString stampedName(const Clock& clock, const QString& database);

    /** Ends the dump's file first when a stop forces the end of the process (the working file goes, the log says so).
     */
    void removeOnForcedEnd(StopRequest& stop);

    /** Names the backup in `folder`: the stamped name, and ".gz" with `compress`, whose bytes then go through gzip. */
    void name(const QString& folder, const QString& database, bool compress);
    /** The backup's path (empty until it is named). */
    const QString& path() const { return m_path; }
    /**
     * Removes what dead backups of the database left in `folder` (`stale` does it; not when the backup has no name),
     * then makes the working file's writer; the working file itself comes with the first bytes.
     */
    void open(const QString& folder, const QString& database, Retention stale);

    /** FileCont's steps for script bytes: OpenToAppend creates the working file on the first write, Append appends. */
    bool append(const QByteArray& bytes);
    /** The same steps for the end of the script: Append waits until every byte is in the working file. */
    bool finish();

    /** The script under its name, after waiting at most `lockWaitMs` for another backup's commit into the folder. */
    void commit(int lockWaitMs);
    bool isCommitted() const;
    /**
     * After a stop that the commit did not outrun: the writer thread ends first, so that a rename it had begun
     * completes. True when the backup stands after all.
     */
    bool standsAfterStop();
    /**
     * After the commit step: a committed backup is out of a stop's reach and a mark that an older backup of its name
     * was verified goes; a backup that is not committed leaves no file (no script that looks complete and is not).
     */
    void close();
    /** The backup has its final name: a stop from now on leaves it as it is. */
    bool isPastCommit() const { return m_pastCommit; }

    /** The end of a dump that a stop ended: the working file goes, the log says so. */
    void endInterrupted();

private:
    /** Removes the working file and logs the interruption, once, from whichever thread comes first. */
    void removeAndLogInterrupted();
    /** What runs while the dump waits for its file's writer thread: window events; a stop ends the wait. */
    void whileWaiting();
    /** FileCont's steps for one write to the working file. */
    bool writeSteps(const std::function<void()>& write);

    const BackupContext& m_context;
    EngineReports& m_reports;
    QString m_path;
    std::unique_ptr<ByteStage> m_stage;
    std::unique_ptr<BackupFile> m_file;
    bool m_pastCommit = false;
    /** The working file's path, for the forced end on another thread. */
    QString m_workingPath;
    std::mutex m_workingPathMutex;
    OnceOnly m_interruptedEnd;
    StopRequest::Hook m_forcedEnd; // last: it goes first, before what its action uses
};
