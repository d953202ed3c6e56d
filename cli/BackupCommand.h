#pragma once

#include "ConnectionSettings.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class Clock;
class ProcessRunner;
class ConnectionFactory;
class Keyring;
class QTextStream;
class SettingsStore;
class StopRequest;

/** Exit statuses of the headless command. */
enum ExitStatus {
    ExitSuccess = 0,
    ExitFailure = 1, ///< a step of the backup or the restore failed
    ExitUsage = 2, ///< bad options
    ExitCopyFailed = 3, ///< the backup was saved, its copy to another place failed
    // 128 + N: stopped by signal N during the backup (or the steps after it) or the restore
};

/** What the headless command runs with; the program passes the real ones, tests their fakes. */
struct CommandEnvironment
{
    ConnectionFactory& factory;
    SettingsStore& settings;
    const Clock& clock;
    QTextStream& out; ///< the path of the file written
    QTextStream& err; ///< progress, error reports, messages
    /** The environment variable TESSALINE_PASSWORD, when set. */
    std::function<std::optional<QString>()> passwordFromEnvironment;
    /** The backup log; empty for the usual $TEMP/backups.log. */
    QString logPath;
    /** The desktop keyring, read when the stored "PasswordInKeyring" is "On"; none: it cannot be reached. */
    Keyring* keyring = nullptr;
    /** Runs rclone for the copy to another place; null: the real processes. */
    ProcessRunner* processes = nullptr;
    /**
     * A stop from outside (a termination signal): the backup or restore ends, logs "interrupted" and the command
     * returns 128 and the signal's number. None: the work runs to its end.
     */
    StopRequest* stop = nullptr;
};

/**
 * `tessaline-backup [options]`: one backup with the stored connection values and backup folder (overridable by
 * options), or `--restore FILE`. Returns the exit status.
 */
int runBackupCommand(const QStringList& arguments, CommandEnvironment& environment);
