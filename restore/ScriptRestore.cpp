#include "ScriptRestore.h"

#include "BackupFile.h"
#include "BackupLog.h"
#include "Clock.h"
#include "ConnectionSettings.h"
#include "DateTimeText.h"
#include "ErrorReport.h"
#include "Gzip.h"
#include "MasterConnection.h"
#include "Mssql.h"
#include "ParallelRestore.h"
#include "RestoreAs.h"
#include "RestorePlan.h"
#include "RestoreSession.h"
#include "ScriptBatcher.h"
#include "ScriptTextDecoder.h"
#include "StopRequest.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QTemporaryFile>

using namespace Qt::Literals::StringLiterals;

bool RestoreFileExists(const QString& path)
{
    if (path.isEmpty())
        return false;
    const QFileInfo info(path);
    return info.isFile() && !info.isHidden();
}

bool IsContextChangeToMaster(const Failure& error)
{
    static const QString fromWindowsDriver
        = u"[Microsoft][ODBC SQL Server Driver][SQL Server]Changed database context to 'master'."_s;
    if (error.description() == fromWindowsDriver)
        return true;
    if (!dynamic_cast<const DbError*>(&error))
        return false;

    // Other drivers put their own bracketed names in front of the same server message.
    QStringView rest(error.description());
    while (rest.startsWith(u'[')) {
        const qsizetype end = rest.indexOf(u']');
        if (end < 0)
            return false;
        rest = rest.mid(end + 1);
    }
    return rest == u"Changed database context to 'master'.";
}

bool IsMissingDatabase(const Failure& error)
{
    if (!dynamic_cast<const DbError*>(&error))
        return false;
    if (error.number() == 4060)
        return true;
    const QString& text = error.description();
    if (text.contains(u"Cannot open database"_s) && text.contains(u"requested by the login"_s))
        return true;
    static const QRegularExpression otherServers(u"database \"[^\"]*\" does not exist"_s);
    return otherServers.match(text).hasMatch();
}

QStringList FailedBatchReport(const ScriptBatchError& error, const QString& path)
{
    QStringList lines{error.description(),
                      u"The failing batch begins at line %1 of %2"_s.arg(error.firstLine()).arg(path)};
    if (!error.table().isEmpty())
        lines.append(u"It was loading rows of %1 and was rolled back; %2 rows of %1 were restored before it."_s
                         .arg(error.table())
                         .arg(error.rowsBefore()));
    const qint64 before = error.batchesBefore();
    const QString ran = before == 0 ? u"no batch of the script ran before it"_s
        : before == 1               ? u"1 batch of the script ran before it and stays done"_s
                                    : u"%1 batches of the script ran before it and stay done"_s.arg(before);
    if (error.isConnectionFault()) {
        // The server did not refuse anything: the link to it failed, which is the administrator's to look at.
        lines.append(u"The connection failed while this batch ran; "_s + ran + u", and no more were sent."_s);
        lines.append(QString::fromLatin1(CouldNotConnectMessage));
    } else {
        lines.append(u"Restore failed: the server refused this batch; "_s + ran + u", and no more were sent."_s);
    }
    return lines;
}

namespace {

constexpr qint64 ReadPiece = 256 * 1024;

/** A refused login that a missing database may be behind. */
bool mayBeMissingDatabase(const Failure& error)
{
    // FreeTDS puts SQL Server's "Login failed" (18456) first and drops the 4060 that says why.
    return IsMissingDatabase(error)
        || (dynamic_cast<const DbError*>(&error)
            && (error.number() == 18456 || error.description().contains(u"Login failed for user"_s)));
}

/**
 * The restore's connection: the named database, or master when that database is not there yet. `opened` gets the
 * connection string that opened it.
 */
std::unique_ptr<Connection>
openForRestore(ConnectionFactory& factory, const ConnectionSettings& settings, QString& opened)
{
    std::unique_ptr<Connection> connection = factory.createConnection();
    try {
        opened = BuildConnectionString(settings);
        connection->Open(opened);
        return connection;
    } catch (const Failure& refusal) {
        const QString& database = settings.Database;
        if (!mayBeMissingDatabase(refusal) || database.isEmpty()
            || database.compare(u"master"_s, Qt::CaseInsensitive) == 0)
            throw;
        // The script begins with USE [master] and creates the database itself; it runs from master only when master
        // takes the login and the database is really not there. Any other refusal stays the refusal it was.
        try {
            MasterConnection master(factory, settings);
            if (!master.databaseExists(database)) {
                opened = master.connectionString();
                return master.release();
            }
        } catch (const Failure&) {
            // Whether the database is there cannot be told: the refusal stands.
        }
        throw;
    }
}

void runScript(ConnectionFactory& factory,
               Dialogs& dialogs,
               const ConnectionSettings& settings,
               const QString& path,
               const RestoreOptions& options)
{
    // An early failure releases the connection without Close; releasing closes it.
    QString opened;
    std::unique_ptr<Connection> connection = openForRestore(factory, settings, opened);
    // A batch that waits on the server when a stop comes is cancelled through the driver.
    const StopRequest::Hook cancel
        = options.stop ? options.stop->onStop([c = connection.get()] { c->cancel(); }) : StopRequest::Hook();
    ThrowIfStopped(options);

    // The file is read as FileCont reads it, and fails the same way: reported, then the restore ends.
    ReportingProcedure proc(dialogs, u"IntervalSave"_s, u"FileCont"_s);
    std::unique_ptr<QIODevice> device;
    qint64 expandedSize = -1;
    if (!proc.run(104, [&] {
            device = openScriptFile(path);
            // A compressed script shows damage only where it is read, often at its very end: it is read through once
            // before anything is sent, so a damaged file is refused whole instead of restored in part.
            if (auto* gzip = dynamic_cast<GzipReader*>(device.get())) {
                QByteArray discard(ReadPiece, Qt::Uninitialized);
                expandedSize = 0;
                for (qint64 read = 0; (read = gzip->read(discard.data(), discard.size())) > 0;)
                    expandedSize += read;
                if (gzip->hasFailed())
                    throw Failure(gzip->errorString(), 62);
                device = openScriptFile(path);
            }
        }))
        throw Failure(u"The restore script is empty."_s);

    if (options.jobs > 1) {
        // Connections read the file each at its own place: a compressed script is decompressed once, to a private
        // file, first.
        device.reset();
        std::unique_ptr<QTemporaryFile> expanded;
        if (expandedSize >= 0)
            expanded = ExpandScript(path, expandedSize);
        const QString plain = expanded ? expanded->fileName() : path;
        RestorePlan plan;
        if (!proc.run(108, [&] {
                QFile file(plain);
                if (!file.open(QIODevice::ReadOnly))
                    throw Failure(file.errorString(), 62);
                plan = RestorePlan::read(file);
            }))
            throw Failure(u"The restore script could not be read."_s);
        if (plan.batches == 0)
            throw Failure(u"The restore script is empty."_s);
        RunRestorePlan(plan, plain, *connection, factory, opened, options);
        connection->Close();
        return;
    }

    const qint64 startMs = options.clock ? options.clock->monotonicMs() : 0;
    RestoreProgress progress;
    progress.bytesTotal = device->size();
    // The decoder drops a leading byte-order mark and holds a character split between two pieces.
    ScriptTextDecoder decoder;
    ScriptBatcher batcher;
    RestoreSession session(*connection, options.transform);
    const auto sendReady = [&] {
        while (batcher.hasBatch()) {
            ThrowIfStopped(options);
            const ScriptBatch batch = batcher.takeBatch();
            session.send(batch);
            progress.rowsDone = session.rowsDone();
            progress.statementsDone += batch.statements;
            ++progress.batchesDone;
            if (options.clock)
                progress.elapsedMs = options.clock->monotonicMs() - startMs;
            if (options.progress)
                options.progress(progress);
            if (options.letEventsRun)
                options.letEventsRun();
        }
    };

    QByteArray piece(ReadPiece, Qt::Uninitialized);
    for (;;) {
        qint64 read = 0;
        proc.run(108, [&] {
            read = device->read(piece.data(), piece.size());
            if (read < 0)
                throw Failure(device->errorString(), 62);
        });
        if (read < 0)
            throw Failure(u"The restore script could not be read."_s);
        if (read == 0)
            break;
        progress.bytesDone += read;
        const QString text = decoder.decode(QByteArrayView(piece.constData(), read));
        batcher.feed(text);
        sendReady();
    }
    batcher.finish();
    sendReady();
    device.reset();
    if (!session.started())
        throw Failure(u"The restore script is empty."_s);
    connection->Close();
}

} // namespace

void ThrowIfStopped(const RestoreOptions& options)
{
    if (options.stop && options.stop->requested())
        throw Interrupted();
}

void ExecuteScript(ConnectionFactory& factory,
                   Dialogs& dialogs,
                   const ConnectionSettings& settings,
                   const QString& path,
                   const RestoreOptions& options)
{
    StopRequest* const stop = options.stop;
    if (!stop) {
        runScript(factory, dialogs, settings, path, options);
        return;
    }
    // A stop from outside ends the restore between batches, or cancels the batches that run; the log says so once,
    // also when the process ends before the restore comes back (the forced end).
    OnceOnly logged;
    const auto logInterrupted = [&] {
        logged.run([&] {
            if (!options.writeLog)
                return;
            const QDateTime now = options.clock ? options.clock->now() : QDateTime::currentDateTime();
            try {
                options.writeLog(BackupLog::restoreFailedLine(path, now, InterruptedText));
            } catch (const std::exception&) {
                // The process is ending on a signal: there is nobody to tell.
            }
        });
    };
    StopRequest::Hook forcedEnd = stop->onForcedEnd(logInterrupted);
    const auto interrupted = [&] {
        logInterrupted();
        forcedEnd.reset();
        throw Interrupted();
    };
    if (stop->requested())
        interrupted();
    try {
        runScript(factory, dialogs, settings, path, options);
    } catch (const std::exception&) {
        // A failure that the stop's cancel caused is the stop.
        if (stop->requested())
            interrupted();
        throw;
    }
}

namespace {

/** Puts ProgressBar1 back to empty when the restore is over, however it ends. */
class ProgressReset
{
public:
    explicit ProgressReset(MainView& view)
        : m_view(view)
    { }
    ~ProgressReset()
    {
        try {
            m_view.setProgressValue(0);
        } catch (...) {
            // Nothing more to do for a bar that cannot be reset.
        }
    }
    ProgressReset(const ProgressReset&) = delete;
    ProgressReset& operator=(const ProgressReset&) = delete;

private:
    MainView& m_view;
};

} // namespace

ScriptRestore::ScriptRestore(RestoreContext context)
    : m_context(context)
{ }

void ScriptRestore::PushButton10_Click()
{
    ReportingProcedure proc(m_context.dialogs, u"Form2"_s, u"PushButton10_Click"_s);
    QString chosen;
    proc.run(100, [&] { chosen = m_context.dialogs.openFileName(RestoreDialogTitle, RestoreDialogFilter); });
    bool anyChosen = true;
    proc.run(102, [&] { anyChosen = !chosen.isEmpty(); });
    if (anyChosen)
        proc.run(104, [&] { m_context.mainView.setRestoreFile(chosen); });
}

QString WorkingFileRefusal(const QString& path)
{
    // What a killed or failed dump left: restoring it would drop the database and refill part of it.
    return u"Not restored: "_s + path
        + u" is the working file of a backup that did not finish, not a complete backup."_s;
}

void ScriptRestore::PushButton9_Click()
{
    MainView& view = m_context.mainView;
    Dialogs& dialogs = m_context.dialogs;
    m_interrupted = false;
    if (m_context.guard.busy()) {
        dialogs.message(QString::fromLatin1(BackupAlreadyRunningMessage));
        return;
    }

    const auto failed = [&](const QString& message) {
        try {
            TurnAutoBackupOff(view, m_context.settings);
        } catch (const std::exception&) {
            // This path shows one message only; the steps that could be done are done.
        }
        dialogs.message(message);
        view.setPointer(MousePointer::Default);
    };
    const QString couldNotConnect = QString::fromLatin1(CouldNotConnectMessage);

    // The path as the restore began: Text7 may be edited while window events run between batches.
    QString path;
    try {
        path = view.restoreFile();
        if (BackupFile::isWorkingFile(path)) {
            dialogs.message(WorkingFileRefusal(path));
            return;
        }
        if (!RestoreFileExists(path)) {
            dialogs.message(RestoreFileNotFoundMessage);
            return;
        }
        TurnAutoBackupOff(view, m_context.settings);
        const ConnectionSettings settings = m_context.connectionView.currentSettings();
        BuildConnectionString(settings); // a value the driver cannot take fails here, before anything is sent
        const QString target = view.restoreAs();
        // Window events run between batches: a click on a backup meanwhile finds the guard held.
        WorkGuard::Scope running(m_context.guard);
        const ProgressReset resetAfter(view);
        RestoreOptions options;
        options.clock = &m_context.clock;
        options.letEventsRun = m_context.letEventsRun;
        options.progress = [&view](const RestoreProgress& p) {
            view.setProgressValue(p.bytesTotal > 0 ? int(p.bytesDone * 100 / p.bytesTotal) : 0);
        };
        options.stop = m_context.stop;
        options.writeLog = m_context.writeLog;
        view.setProgressMaximum(100);
        view.setProgressValue(0);
        if (target.isEmpty()) {
            ExecuteScript(m_context.factory, dialogs, settings, path, options);
        } else {
            // "Restore as": beside the database the script names, which is not touched.
            try {
                ExecuteScriptAs(m_context.factory, dialogs, settings, path, target, false, options);
            } catch (const RestoreTargetExists&) {
                if (!dialogs.question(ReplaceTargetQuestion(target)))
                    return;
                ExecuteScriptAs(m_context.factory, dialogs, settings, path, target, true, options);
            }
        }
        dialogs.message(RestoreDoneMessage);
    } catch (const Interrupted&) {
        // The program is ending on a signal: no box waits for a click.
        m_interrupted = true;
    } catch (const RestoreAsRefusal& refusal) {
        // Not a failure of the server or the connection: what the user asked cannot be done, and why.
        dialogs.message(refusal.description());
    } catch (const ScriptBatchError& error) {
        // The connection worked and part of the script ran: one box with what the server said, where and how far.
        failed(FailedBatchReport(error, path).join(u'\n'));
    } catch (const Failure& error) {
        // The script's "USE [master]" makes the server announce the switch; some drivers report it as an error.
        if (IsContextChangeToMaster(error))
            dialogs.message(RestoreDoneMessage);
        else
            failed(couldNotConnect);
    } catch (const std::exception&) {
        failed(couldNotConnect);
    }
}
