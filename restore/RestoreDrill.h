#pragma once

#include "ConnectionSettings.h"
#include "EventPump.h"
#include "IntervalSave.h"

#include <QString>

#include <functional>
#include <optional>

class Clock;
class ConnectionFactory;
class QIODevice;
class QTemporaryDir;
class ScriptBatchError;
class StopRequest;

/** Where a backup and the backup of its restored copy first differ. */
struct ScriptDifference
{
    qint64 line = 0; ///< the line of the backup (from 1)
    QString backup; ///< that line of the backup, without its line end (empty past its end)
    QString copy; ///< the line the restored copy's backup has there
};

/**
 * Compares two backup scripts from the end of their database blocks on (after the `USE [...]` of the database):
 * the table blocks and everything after them must be identical, line for line, except that a name of the scratch
 * database in `copy` stands for `database` (compared without regard to case: some servers lower-case names).
 * Returns the first difference, none when they agree.
 */
std::optional<ScriptDifference>
CompareRestoredCopy(QIODevice& backup, QIODevice& copy, const QString& database, const QString& scratch);

/** Where a script begins in a file: its first line (from 1) and its first byte (from 0). */
struct ScriptStart
{
    qint64 line = 1;
    qint64 byte = 0;
};

/**
 * Where the last script of a file begins: a file that a second backup in the same minute appended to holds two or more,
 * each beginning with the program's header outside literals and comments. The start of the file when it holds one.
 */
ScriptStart LastScriptStart(QIODevice& script);

/** The words of a drill that passed. */
inline const QString VerifiedText = QStringLiteral("verified");

/** What the restore drill works with. */
struct DrillContext
{
    ConnectionFactory& factory;
    const Clock& clock;
    /** The connection of the backup that was saved (its database is the one backed up). */
    std::function<ConnectionSettings()> connection;
    /** "Let pending window events run"; may be empty. */
    EventPump letEventsRun;
    /** The stage and how far it has come ("Verifying the backup: restoring, 40%"); may be empty. */
    std::function<void(const QString& text)> progress;
    /**
     * A scratch database of another drill is taken for dead, and dropped, when no session uses it and it is at
     * least this old (a running drill always has a session in its scratch database but for moments).
     */
    qint64 leftoverAfterSeconds = 120;
    /** A stop from outside: the restore and the backup of the copy end at once; the outcome says "interrupted". */
    StopRequest* stop = nullptr;
};

/**
 * The restore drill, run on a saved backup: restores the script that this backup wrote (the last of the file, which may
 * hold earlier scripts of the same minute) under the name "<D>_verify_<random>" on the same server (ExecuteScriptAs),
 * backs that database up in the same mode into a temporary folder (no steps after the save, no retention, no entry in
 * the user's backup log) and compares that script with the copy's (CompareRestoredCopy). The scratch
 * database and the temporary files are removed whatever happens; scratch databases that dead drills of the same
 * database left are dropped first. Outcome: Passed "verified" (and the backup is marked verified for retention);
 * Failed with exit status 1 and where the copy differs or what the server refused; NotDone when the drill cannot run
 * (no right to create a database, no connection), with why.
 */
class RestoreDrill
{
public:
    explicit RestoreDrill(DrillContext context);
    /**
     * The step after a save: drills the backup when its options ask for it (else an outcome without text); the copy is
     * backed up with the backup's own options (compressed, complete schema).
     */
    AfterSaveOutcome operator()(const SavedBackup& backup);
    /** Drills the backup at `path`, made with `options`. */
    AfterSaveOutcome drill(const QString& path, const BackupOptions& options);

    /** "<database>_verify_" and eight random lower-case hexadecimal digits. */
    static QString scratchName(const QString& database);
    /**
     * The stem all scratch names of the database begin with: "<database>_verify_", the name cut to fit
     * MaxDatabaseNameChars with "~" and a short hash of it when it is too long.
     */
    static QString scratchStem(const QString& database);
    /** The longest name a database can have (sysname). */
    static constexpr qsizetype MaxDatabaseNameChars = 128;

    /** The scratch databases dropped by the last run, as the server names them. */
    const QStringList& droppedLeftovers() const { return m_dropped; }

private:
    /**
     * The outcome of a restore into the scratch database that a batch ended (its line counted in the file from
     * `firstLineOfScript`): a login without the right to create a database and a connection that failed while the
     * batch ran (lost, or silent past the timeout: "Could not connect. Please check with your administrator.") leave
     * the backup not verified either way; a batch the server refused fails the drill.
     */
    static AfterSaveOutcome restoreFailure(const ScriptBatchError& refused, qint64 firstLineOfScript);
    AfterSaveOutcome drill(const QString& path,
                           const BackupOptions& options,
                           const ConnectionSettings& settings,
                           const QString& scratch);
    /** The restore into the scratch database; an outcome when it did not go through. */
    std::optional<AfterSaveOutcome> restoreCopy(const QString& script,
                                                const ScriptStart& start,
                                                const ConnectionSettings& settings,
                                                const QString& scratch);
    /** The scratch database backed up into `temporary`; `copyPath` gets the file. An outcome when it failed. */
    std::optional<AfterSaveOutcome> backUpCopy(const BackupOptions& options,
                                               const ConnectionSettings& settings,
                                               const QString& scratch,
                                               const QTemporaryDir& temporary,
                                               QString& copyPath);
    void say(const QString& text) const;
    void dropLeftovers(const ConnectionSettings& settings);

    DrillContext m_context;
    QStringList m_dropped;
};
