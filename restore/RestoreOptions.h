#pragma once

#include "EventPump.h"
#include "RestoreSession.h"

#include <QString>
#include <QStringList>

#include <functional>

class Clock;
class StopRequest;

/** How far a restore has come; reported after every batch on one connection, several times a second on more. */
struct RestoreProgress
{
    qint64 bytesDone = 0; ///< bytes of the script done (of its text: a compressed script's decompressed bytes)
    qint64 bytesTotal = 0; ///< the script's size, the same way
    qint64 elapsedMs = 0;
    qint64 rowsDone = 0; ///< rows of the INSERT batches that went through
    qint64 rowsTotal = -1; ///< rows of the INSERT statements in the file, when known (-1: not known)
    QStringList tables; ///< over several connections: the table each one restores (empty while it has none)
};

/** What a running restore may do between batches; everything may be empty. */
struct RestoreOptions
{
    /** "Let pending window events run", after every batch. */
    EventPump letEventsRun;
    /** Called after every batch. */
    std::function<void(const RestoreProgress&)> progress;
    /** For the elapsed time of the progress; none counts none. */
    const Clock* clock = nullptr;
    /** Connections that restore tables at once (`tessaline-backup --jobs`); 1 restores batch after batch. */
    int jobs = 1;
    /** What is sent for each batch; empty sends the script's text (see BatchTransform). */
    BatchTransform transform;
    /**
     * With several connections: the USE statement each table connection begins with in place of the script's own,
     * its table batches then sent as the script has them. A restore into another database names that database here:
     * `transform` follows the script from its first line and runs on the first connection only.
     */
    QString tablesUse;
    /**
     * A stop from outside (a termination signal): the batches that run on every connection are cancelled through the
     * driver (what was open is rolled back), no later one is sent, the log gets "<path> restore failed at <date and
     * time>: interrupted" and Interrupted is thrown.
     */
    StopRequest* stop = nullptr;
    /** Appends a line to the backup log; throws Failure when it cannot. May be empty. */
    std::function<void(const QString&)> writeLog;
};

/** Throws Interrupted when the options' stop was requested. */
void ThrowIfStopped(const RestoreOptions& options);
