#include "OffsiteCopy.h"

#include "BackupFile.h"
#include "BackupLog.h"
#include "BackupName.h"
#include "Clock.h"
#include "DateTimeText.h"
#include "Dialogs.h"
#include "ErrorReport.h"
#include "Failure.h"
#include "ProcessRunner.h"
#include "StopRequest.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

using namespace Qt::Literals::StringLiterals;

namespace {

/** rclone's log lines begin "2026/12/08 17:19:15 ERROR : "; the time goes, the level is kept apart. */
const QRegularExpression& logPrefix()
{
    static const QRegularExpression prefix(u"^[0-9]{4}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} "_s);
    return prefix;
}

} // namespace

OffsiteCopy::OffsiteCopy(ProcessRunner& runner,
                         Dialogs& dialogs,
                         const Clock& clock,
                         Retention::LogWriter writeLog,
                         EventPump letEventsRun,
                         const StopRequest* stop)
    : m_runner(runner)
    , m_dialogs(dialogs)
    , m_clock(clock)
    , m_writeLog(std::move(writeLog))
    , m_folderCopy(std::move(letEventsRun), stop)
{ }

QString OffsiteCopy::program()
{
    return u"rclone"_s;
}

QString OffsiteCopy::rcloneProblem() const
{
    if (!m_runner.findProgram(program()).isEmpty())
        return {};
    return u"Copying each backup to another place needs rclone, which is not installed. "_s + installHint();
}

bool OffsiteCopy::isFolder(const QString& destination)
{
    const QString text = destination.trimmed();
    if (text.startsWith(u':')) // rclone's backend given inline (refused as such), never a path
        return false;
    if (QDir::isAbsolutePath(text)) // "/mnt/nas"; "D:\Copies" and "\\server\share" on Windows
        return true;
    const qsizetype colon = text.indexOf(u':');
    const qsizetype slash = text.indexOf(u'/');
    return colon < 0 || (slash >= 0 && slash < colon);
}

QString OffsiteCopy::problemFor(const QString& destination) const
{
    if (QString problem = destinationProblem(destination); !problem.isEmpty())
        return problem;
    return isFolder(destination) ? QString() : rcloneProblem();
}

QString OffsiteCopy::destinationProblem(const QString& destination)
{
    const QString text = destination.trimmed();
    for (const QChar c : text) {
        if (c.category() == QChar::Other_Control)
            return u"The copy destination holds a control character."_s;
    }
    if (isFolder(text))
        return {};
    const QString name = text.left(text.indexOf(u':'));
    if (name.isEmpty() || name.contains(u',') || name.contains(u'='))
        return u"The copy destination \""_s + text
            + u"\" carries the remote's settings. Set the remote up with \"rclone config\" (its passwords and keys "
              u"stay there) and give its name, as in nas:backups/sales."_s;
    return {};
}

QString OffsiteCopy::remotePath(const QString& destination, const QString& fileName)
{
    const QString dest = destination.trimmed();
    if (dest.endsWith(u':') || dest.endsWith(u'/'))
        return dest + fileName;
    return dest + u'/' + fileName;
}

QStringList OffsiteCopy::commonArguments() const
{
    // No prompt can be answered (standard input is closed); a few retries, so a dead destination fails soon.
    QStringList arguments{u"--ask-password=false"_s, u"--retries"_s, u"2"_s, u"--low-level-retries"_s, u"3"_s};
    if (m_limits.idleSeconds > 0)
        arguments << u"--timeout"_s << QString::number(m_limits.idleSeconds) + u's';
    if (m_limits.connectSeconds > 0)
        arguments << u"--contimeout"_s << QString::number(m_limits.connectSeconds) + u's';
    return arguments;
}

QStringList OffsiteCopy::copyArguments(const QString& localPath, const QString& destination) const
{
    return QStringList{u"copyto"_s, u"--checksum"_s} + commonArguments()
        + QStringList{u"--"_s, localPath, remotePath(destination, QFileInfo(localPath).fileName())};
}

QStringList OffsiteCopy::checkArguments(const QString& localPath, const QString& destination) const
{
    // A file as the source checks that one file only; --one-way ignores everything else at the destination.
    return QStringList{u"check"_s, u"--one-way"_s} + commonArguments()
        + QStringList{u"--"_s, localPath, destination.trimmed()};
}

QString OffsiteCopy::rcloneReason(const QByteArray& standardError)
{
    QString firstError;
    QString failedTo;
    QString last;
    const QStringList lines = QString::fromUtf8(standardError).split(u'\n');
    for (QString line : lines) {
        line = line.trimmed();
        line.remove(logPrefix());
        if (line.isEmpty())
            continue;
        last = line;
        if (line.startsWith(u"ERROR : "_s)) {
            const QString text = line.mid(8);
            // "Attempt 2/3 failed with 1 errors and: ..." repeats the first error.
            if (firstError.isEmpty() && !text.startsWith(u"Attempt "_s))
                firstError = text;
        } else if (line.startsWith(u"Failed to "_s)) {
            failedTo = line;
        }
    }
    if (!firstError.isEmpty())
        return firstError;
    if (!failedTo.isEmpty())
        return failedTo;
    return last;
}

QString OffsiteCopy::howItEnded(const ProcessResult& result)
{
    if (!result.started)
        return u"rclone could not be started: "_s + result.errorText;
    if (result.timedOut)
        return u"rclone "_s + result.errorText + u" without finishing"_s;
    if (result.crashed)
        return u"rclone crashed: "_s + result.errorText;
    return u"rclone exit status "_s + QString::number(result.exitCode);
}

ProcessResult OffsiteCopy::rclone(const QStringList& arguments)
{
    return m_runner.run(program(), arguments, m_limits.processLimitMs);
}

AfterSaveOutcome OffsiteCopy::copy(
    const QString& localPath, const QString& destination, const QString& server, const QString& database, int keep)
{
    const QString dest = destination.trimmed();
    const auto failed = [&dest](const QString& why) {
        return AfterSaveOutcome{AfterSaveOutcome::Result::Failed, u"not copied to "_s + dest + u": "_s + why,
                                FailedExitStatus};
    };
    // Only a finished backup leaves the machine; a working file is half a script.
    if (BackupFile::isWorkingFile(localPath))
        return failed(localPath + u" is a working file, not a finished backup"_s);
    if (const QString problem = destinationProblem(dest); !problem.isEmpty())
        return failed(problem);
    if (isFolder(dest))
        return copyIntoFolder(localPath, dest, server, database, keep);
    if (const QString problem = rcloneProblem(); !problem.isEmpty())
        return failed(u"rclone is not installed ("_s + shortInstallHint() + u')');

    for (const QStringList& arguments : {copyArguments(localPath, dest), checkArguments(localPath, dest)}) {
        const ProcessResult result = rclone(arguments);
        if (result.interrupted)
            return failed(InterruptedText); // the program is ending: the copy is not finished, whatever rclone said
        if (result.started && !result.timedOut && !result.crashed && result.exitCode == 0)
            continue;
        const QString reason = rcloneReason(result.standardError);
        const QString step = arguments.constFirst() == u"check"_s ? u"the check after the copy failed: "_s : QString();
        return failed(step + (reason.isEmpty() ? QString() : reason + u" "_s) + u'(' + howItEnded(result) + u')');
    }
    if (keep > 0)
        RemoveOldCopies(dest, server, database, keep, QFileInfo(localPath).fileName());
    return AfterSaveOutcome{AfterSaveOutcome::Result::Passed, u"copied to "_s + dest, 0};
}

AfterSaveOutcome OffsiteCopy::copyIntoFolder(
    const QString& localPath, const QString& folder, const QString& server, const QString& database, int keep)
{
    // A copy that a killed process left half-written goes first, as in the backup folder.
    Retention retention(m_dialogs, m_clock, m_writeLog);
    if (QFileInfo(folder).isDir())
        retention.RemoveStaleWorkingFiles(folder, database);
    QString copied;
    try {
        copied = m_folderCopy.copy(localPath, folder, BackupFile::DefaultLockWaitMs);
    } catch (const Failure& failure) {
        return AfterSaveOutcome{AfterSaveOutcome::Result::Failed,
                                u"not copied to "_s + folder + u": "_s + failure.description(), FailedExitStatus};
    }
    if (keep > 0)
        retention.RemoveOldBackups(folder, server, database, keep, copied);
    return AfterSaveOutcome{AfterSaveOutcome::Result::Passed, u"copied to "_s + folder, 0};
}

QStringList OffsiteCopy::RemoveOldCopies(
    const QString& destination, const QString& server, const QString& database, int keep, const QString& justCopied)
{
    if (keep <= 0)
        return {};
    ReportingProcedure proc(m_dialogs, u"OffsiteCopy"_s, u"RemoveOldCopies"_s);
    QList<BackupFileEntry> copies;
    const bool listed = proc.run(100, [&] {
        const ProcessResult listing = rclone(QStringList{u"lsf"_s, u"--files-only"_s, u"--max-depth"_s, u"1"_s}
                                             + commonArguments() + QStringList{u"--"_s, destination});
        if (!listing.started || listing.timedOut || listing.crashed || listing.exitCode != 0)
            throw Failure(u"The copies at "_s + destination + u" could not be listed: "_s
                              + rcloneReason(listing.standardError) + u" ("_s + howItEnded(listing) + u')',
                          75);
        const QStringList names = QString::fromUtf8(listing.standardOutput).split(u'\n', Qt::SkipEmptyParts);
        for (const QString& name : names) {
            const std::optional<QDateTime> stamp = BackupName::stampIn(name, database);
            if (stamp)
                copies.append({name, *stamp});
        }
    });
    if (!listed)
        return {};
    Retention::sortNewestFirst(copies);

    // Which are ours is decided newest first; the rest go oldest first, so a run cut short leaves the newest.
    QStringList surplus;
    int kept = 0;
    for (const BackupFileEntry& copy : std::as_const(copies)) {
        const QString path = remotePath(destination, copy.path);
        // The header decides where it can be read; a copy that cannot be read goes by its name alone.
        const ProcessResult head = rclone(QStringList{u"cat"_s, u"--count"_s, QString::number(HeadBytes)}
                                          + commonArguments() + QStringList{u"--"_s, path});
        const bool headRead = head.started && !head.timedOut && !head.crashed && head.exitCode == 0;
        if (headRead && !Retention::headMatches(head.standardOutput, copy.path.endsWith(u".gz"_s), server, database))
            continue;
        // The copy just made counts among those kept, and is never removed.
        if (++kept <= keep || copy.path == justCopied)
            continue;
        surplus.prepend(path);
    }

    QStringList removed;
    QStringList failures;
    for (const QString& path : std::as_const(surplus)) {
        const ProcessResult removal
            = rclone(QStringList{u"deletefile"_s} + commonArguments() + QStringList{u"--"_s, path});
        if (!removal.started || removal.timedOut || removal.crashed || removal.exitCode != 0) {
            failures << path + u" could not be removed: "_s + rcloneReason(removal.standardError) + u" ("_s
                    + howItEnded(removal) + u')';
            continue;
        }
        removed << path;
        try {
            m_writeLog(BackupLog::removedLine(path, m_clock.now(), keep));
        } catch (const Failure& failure) {
            failures << u"The removal of "_s + path + u" could not be logged: "_s + failure.description();
        }
    }
    Retention::reportRemovalFailures(proc, failures);
    return removed;
}

QStringList OffsiteCopy::listRemotes()
{
    if (const QString problem = rcloneProblem(); !problem.isEmpty())
        throw Failure(problem, 53);
    const ProcessResult result = rclone({u"listremotes"_s, u"--ask-password=false"_s});
    if (!result.started || result.timedOut || result.crashed || result.exitCode != 0)
        throw Failure(u"rclone could not list the remotes: "_s + rcloneReason(result.standardError) + u" ("_s
                          + howItEnded(result) + u')',
                      75);
    QStringList remotes;
    for (const QString& line : QString::fromUtf8(result.standardOutput).split(u'\n', Qt::SkipEmptyParts)) {
        if (!line.trimmed().isEmpty())
            remotes << line.trimmed();
    }
    return remotes;
}

AfterSaveStep OffsiteCopy::step()
{
    return [this](const SavedBackup& backup) {
        const QString destination = backup.options.copyTo.trimmed();
        if (destination.isEmpty())
            return AfterSaveOutcome{AfterSaveOutcome::Result::Passed, QString(), 0};
        return copy(backup.path, destination, backup.server, backup.database, backup.options.keep);
    };
}
