#include "IntervalSave.h"

#include "AfterSaveRun.h"
#include "BackupFile.h"
#include "DataAccess.h"
#include "Dialogs.h"
#include "DumpFile.h"
#include "EngineLines.h"
#include "EngineState.h"
#include "ErrorReport.h"
#include "Gzip.h"
#include "SchemaCatalogue.h"
#include "SchemaReader.h"
#include "SchemaScript.h"
#include "ScriptText.h"
#include "SnapshotConnection.h"
#include "StopRequest.h"
#include "TableWriter.h"
#include "Views.h"

#include <QDir>
#include <QFile>

#include <vector>

using namespace Qt::Literals::StringLiterals;

namespace {

/** Events run at most this often while a dump works (the window stays responsive; the dump stays fast). */
constexpr qint64 PumpIntervalMs = 10;
constexpr qint64 ProgressIntervalMs = 1000;

/** FileCont's steps for appending bytes: open, write, close. */
bool appendSteps(ReportingProcedure& proc, QFile& file, const QByteArray& bytes)
{
    bool isOpen = false;
    bool written = false;
    proc.run(FileContLine::OpenToAppend, [&] {
        // A new file is its user's alone: a backup holds the whole database.
        if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered,
                       QFileDevice::ReadOwner | QFileDevice::WriteOwner))
            throw Failure(file.errorString(), 76);
        isOpen = true;
    });
    proc.run(FileContLine::Append, [&] {
        if (!isOpen)
            throw Failure(FileNotOpenText, 52);
        if (file.write(bytes) != bytes.size())
            throw Failure(file.errorString(), 61);
        written = true;
    });
    proc.run(FileContLine::CloseAppended, [&] {
        if (isOpen)
            file.close();
    });
    return written;
}

/** A whole script file as text: UTF-8, a leading byte-order mark dropped. */
QString decodeScript(const QByteArray& bytes)
{
    if (bytes.startsWith("\xEF\xBB\xBF"))
        return QString::fromUtf8(bytes.constData() + 3, bytes.size() - 3);
    return QString::fromUtf8(bytes);
}

} // namespace

/**
 * One run of SaveAll: its numbered steps, the header and database block, the tables through TableWriter, and the
 * throttled event pump. The file is DumpFile's, the steps after the save AfterSaveRun's.
 */
class DumpRun final : public DumpSteps
{
public:
    explicit DumpRun(EngineState& engine)
        : DumpSteps(engine.reports)
        , m_engine(engine)
        , m_context(engine.context)
        , m_previousOutcome(engine.reports.setOutcome(&m_outcome))
        , m_file(engine.context, engine.reports)
    { }
    ~DumpRun() override { m_engine.reports.setOutcome(m_previousOutcome); }

    bool run(const QString& connectionString, StatusFrame& statusFrame);

    void pump() override;
    void reportProgress() override;

private:
    void openConnection(const QString& connectionString,
                        std::unique_ptr<SnapshotConnection>& connection,
                        StopRequest::Hook& cancel);
    void openFile(const QString& folder, bool compress);
    void dumpTables(SnapshotConnection* connection);
    void logOutcome(StatusFrame& statusFrame);

    /** True once a stop was requested before the backup had its name; the first time, the dump stops there. */
    bool interrupted() override;
    /** The first failure of this procedure; an earlier one (here or in FileCont) is already noted. */
    void failed(const QString& firstFailure) override { m_engine.reports.noteFailure(firstFailure); }
    bool write(const QByteArray& bytes) override { return m_file.append(bytes); }
    /** The end of a dump that a stop ended: the working file goes, the log says so, the caption. Returns false. */
    bool endInterrupted(StatusFrame& statusFrame);

    void writeHeader(Connection* connection);
    void dumpCompleteSchema(Connection& connection);

    EngineState& m_engine;
    BackupContext& m_context;
    DumpOutcome m_outcome;
    DumpOutcome* m_previousOutcome;
    DumpFile m_file;

    QString m_serverName;
    QString m_databaseName;

    /** With "CompleteSchema" on: the schema sections around the rows, batches ended by GO. */
    BackupOptions m_options;
    bool m_complete = false;
    /** What the complete schema could not write ("2 synonyms"), for the log line. */
    QString m_unscripted;
    /** The complete schema's reads on a second connection, while the dump runs its tables. */
    std::optional<SchemaReader> m_schemaReader;

    bool m_pumped = false;
    qint64 m_lastPumpMs = 0;
    qint64 m_startMs = 0;
    qint64 m_lastProgressMs = 0;

    bool m_interrupted = false;
};

bool DumpRun::run(const QString& connectionString, StatusFrame& statusFrame)
{
    const Clock& clock = m_context.clock;
    m_startMs = m_lastProgressMs = clock.monotonicMs();

    // Read from the windows once, when the dump starts.
    m_serverName = m_context.source.serverName();
    m_databaseName = m_context.source.databaseName();
    const QString folder = m_context.source.backupFolder();
    m_options = m_context.source.options();
    const bool compress = m_options.compress;
    m_complete = m_options.complete;

    m_engine.interrupted = false;
    // A stop from outside that the dump does not reach in time ends the process: what the dump leaves goes first.
    if (StopRequest* const stop = m_engine.reports.stopRequest())
        m_file.removeOnForcedEnd(*stop);

    // The hook goes before the connection it cancels.
    std::unique_ptr<SnapshotConnection> connection;
    StopRequest::Hook cancel;
    // The complete schema's second connection logs in only after this one: a database that admits one user at a
    // time is then this dump's, and the second connection is the one refused. It reads while the header is written,
    // and what comes after the rows while they stream on this one.
    openConnection(connectionString, connection, cancel);
    if (m_complete)
        m_schemaReader.emplace(m_context.factory, connectionString, m_engine.reports.stopRequest());
    openFile(folder, compress);

    writeHeader(connection.get());

    dumpTables(connection.get());
    if (flush())
        setStopped(!m_file.finish());
    if (interrupted())
        return endInterrupted(statusFrame); // nothing more is asked of the server; releasing the connection ends it

    // A failed dump leaves the read-only transaction to the close, which rolls it back: a server that ended it with
    // the failure would otherwise answer the COMMIT with a second, misleading report.
    if (connection && connection->inTransaction() && !m_outcome.failed)
        step(SaveAllLine::CommitSnapshot, [&] { connection->Execute(u"COMMIT"_s); });
    if (connection)
        step(SaveAllLine::CloseConnection, [&] { connection->Close(); });

    if (!m_outcome.failed)
        step(SaveAllLine::CommitFile, [&] { m_file.commit(m_engine.lockWaitMs); });
    if (m_interrupted && !m_file.isCommitted()) {
        // The writer thread ends first: a rename it had begun when the stop came completes, and the backup stands.
        if (!m_file.standsAfterStop())
            return endInterrupted(statusFrame);
        m_interrupted = false;
        setStopped(false);
        m_outcome = {};
    }
    // From here the backup is complete: a stop changes nothing of it; a failed dump leaves no file.
    m_file.close();

    logOutcome(statusFrame);
    m_engine.lastOutputPath = m_file.path(); // a dump started from the event pump may have set its own
    reportProgress();
    AfterSaveRun afterSave(m_engine,
                           [this](int line, const std::function<void()>& statement) { return step(line, statement); });
    afterSave.run(SavedBackup{m_file.path(), m_serverName, m_databaseName, m_options}, folder, statusFrame, m_outcome);
    return !m_outcome.failed;
}

/** Opens the connection (CreateConnection to OpenConnection) and, where the database allows it, the snapshot. */
void DumpRun::openConnection(const QString& connectionString,
                             std::unique_ptr<SnapshotConnection>& connection,
                             StopRequest::Hook& cancel)
{
    StopRequest* const stop = m_engine.reports.stopRequest();
    step(SaveAllLine::CreateConnection,
         [&] { connection = std::make_unique<SnapshotConnection>(m_context.factory.createConnection()); });
    // A statement that waits on the server when a stop comes is cancelled through the driver.
    if (connection && stop)
        cancel = stop->onStop([c = connection.get()] { c->cancel(); });
    if (connection) {
        step(SaveAllLine::CursorLocation, [&] { connection->setCursorLocation(adUseClient); });
        // Where the database allows it, every row comes from one snapshot, so that the rows of related tables
        // agree; where it does not, the first read of a table says so and the dump reads as it always did.
        if (step(SaveAllLine::OpenConnection, [&] { connection->Open(connectionString); })
            && connection->requestSnapshot())
            step(SaveAllLine::BeginSnapshot, [&] { connection->beginTransaction(); });
    }
}

/** Names the backup (NameFile); DumpFile clears what dead backups of the database left and opens the working file. */
void DumpRun::openFile(const QString& folder, bool compress)
{
    step(SaveAllLine::NameFile, [&] { m_file.name(folder, m_databaseName, compress); });
    m_engine.lastOutputPath = m_file.path();
    m_file.open(folder, m_databaseName, m_engine.retention());
}

/** The tables: the complete schema's, or those of information_schema's list in the default format. */
void DumpRun::dumpTables(SnapshotConnection* connection)
{
    // The first write tells whether the file can be written at all; when it cannot, the dump ends here.
    // The catalogue is read whole, with a fixed number of queries, before the first table's rows: the table list
    // (TableList) and the columns of every table (Columns). Without its columns no table can be written, so a failed
    // read of them ends the tables here, with its one report.
    std::vector<SchemaModel::Table> tables;
    if (m_complete) {
        if (flush() && connection)
            dumpCompleteSchema(*connection);
        m_schemaReader.reset(); // its thread ends with the tables, however they ended
    } else if (flush() && connection
               && step(SaveAllLine::TableList, [&] { tables = SchemaModel::readTableList(*connection); })
               && step(SaveAllLine::Columns, [&] { SchemaModel::readListedColumns(*connection, tables); })) {
        DefaultTableFormat format;
        TableWriter(*this, *connection, format).write(tables);
    }
}

/** The log line of the outcome (LogLine) and the status frame's caption (StatusCaption). */
void DumpRun::logOutcome(StatusFrame& statusFrame)
{
    const QDateTime when = m_context.clock.now();
    const QString& path = m_file.path();
    const QString logLine = m_outcome.failed ? BackupLog::backupFailedLine(path, when, m_outcome.firstFailure)
                                             : BackupLog::savedLine(path, when, m_unscripted);
    step(SaveAllLine::LogLine, [&] { m_context.log.write(logLine); });
    step(SaveAllLine::StatusCaption, [&] {
        statusFrame.setCaption((m_outcome.failed ? u"Auto Backup Failed at "_s : u"Auto Backup Complete at "_s)
                               + defaultDateTimeText(m_context.clock.now()));
    });
}

bool DumpRun::interrupted()
{
    if (m_interrupted)
        return true;
    if (m_file.isPastCommit() || !m_engine.reports.stopRequested())
        return false;
    m_interrupted = true;
    setStopped(true);
    m_outcome.failed = true;
    m_outcome.firstFailure = InterruptedText;
    return true;
}

bool DumpRun::endInterrupted(StatusFrame& statusFrame)
{
    m_file.endInterrupted();
    try {
        statusFrame.setCaption(u"Auto Backup Failed at "_s + defaultDateTimeText(m_context.clock.now()));
    } catch (const std::exception&) {
        // The program is ending on a signal: the caption is not worth a report.
    }
    m_engine.lastOutputPath = m_file.path();
    m_engine.lastAfterSave.clear();
    m_engine.interrupted = true;
    return false;
}

void DumpRun::writeHeader(Connection* connection)
{
    using namespace ScriptText;
    const QString& database = m_databaseName;
    lines(SaveAllLine::ServerLine, {serverLine(m_serverName, database)});
    lines(SaveAllLine::HeaderDash, {dashLine()});
    lines(SaveAllLine::GeneratedBy, {generatedByLine()});
    lines(SaveAllLine::HeaderEnd, {dashLine(), QString()});
    lines(SaveAllLine::MasterComment, {u"--"_s});
    lines(SaveAllLine::UseMaster, {useMasterLine()});
    lines(SaveAllLine::MasterEnd, {u"--"_s, QString()});
    lines(SaveAllLine::SchemaCommentStart, {u"--"_s});
    lines(SaveAllLine::SchemaComment, {createSchemaLine(database)});
    lines(SaveAllLine::SchemaCommentEnd, {u"--"_s, QString()});
    lines(SaveAllLine::DatabaseObject, {databaseObjectLine(database, m_context.clock.now())});
    lines(SaveAllLine::DatabaseExists, {databaseExistsLine(database)});
    lines(SaveAllLine::DropDatabase, {dropDatabaseLine(database)});
    step(SaveAllLine::CreateDatabase, [&] {
        const SchemaModel::FileFolders folders = SchemaModel::readFileFolders(connection);
        for (const QString& text : createDatabaseBlock(database, folders.data, folders.log))
            buffer().appendLine(text);
    });
    // In batches, "USE [D]" cannot share one with the CREATE DATABASE of D (SQL Server compiles the batch first),
    // and the schema that follows must begin a batch of its own.
    if (m_complete)
        lines(SaveAllLine::CreateDatabase, {SchemaScript::Go});
    lines(SaveAllLine::UseComment, {u"--"_s});
    lines(SaveAllLine::UseDatabase, {useDatabaseLine(database)});
    lines(SaveAllLine::DatabaseBlockEnd, {u"--"_s, QString(), QString()});
    if (m_complete)
        lines(SaveAllLine::DatabaseBlockEnd, {SchemaScript::Go});
}

void DumpRun::dumpCompleteSchema(Connection& connection)
{
    SchemaReader& reader = *m_schemaReader;
    SchemaModel::Database db;
    if (!step(SaveAllLine::ReadSchema, [&] { db = reader.readBeforeData(connection); }))
        return;
    m_unscripted = db.unscriptedText();
    lines(SaveAllLine::SchemaBeforeData, SchemaScript::unscriptedComment(db) + SchemaScript::beforeData(db));
    if (!flush())
        return;
    CompleteTableFormat format;
    if (TableWriter(*this, connection, format).write(db.tables)
        && step(SaveAllLine::ReadSchema, [&] { reader.readAfterData(connection, db); }))
        lines(SaveAllLine::SchemaAfterData, SchemaScript::afterData(db));
}

void DumpRun::pump()
{
    const qint64 now = m_context.clock.monotonicMs();
    if (m_pumped && now - m_lastPumpMs < PumpIntervalMs)
        return;
    // Everything made so far reaches the file before events run, so no file is open while they do.
    if (!flush())
        return;
    m_pumped = true;
    m_lastPumpMs = now;
    if (m_context.letEventsRun)
        m_context.letEventsRun();
    if (interrupted())
        return;
    if (now - m_lastProgressMs >= ProgressIntervalMs)
        reportProgress();
}

void DumpRun::reportProgress()
{
    m_lastProgressMs = m_context.clock.monotonicMs();
    if (!m_context.progress)
        return;
    progress().elapsedMs = m_lastProgressMs - m_startMs;
    m_context.progress(progress());
}

IntervalSave::IntervalSave(BackupContext context)
    : m_state(std::make_unique<EngineState>(std::move(context)))
{ }

IntervalSave::~IntervalSave() = default;
IntervalSave::IntervalSave(IntervalSave&& other) noexcept = default;
IntervalSave& IntervalSave::operator=(IntervalSave&& other) noexcept = default;

bool IntervalSave::SaveAll(const QString& connectionString, StatusFrame& statusFrame)
{
    DumpRun run(*m_state);
    return run.run(connectionString, statusFrame);
}

QString IntervalSave::lastOutputPath() const
{
    return m_state->lastOutputPath;
}

const std::vector<AfterSaveOutcome>& IntervalSave::lastAfterSave() const
{
    return m_state->lastAfterSave;
}

const BackupLog& IntervalSave::backupLog() const
{
    return m_state->context.log;
}

void IntervalSave::setLockWaitMs(int ms)
{
    m_state->lockWaitMs = ms;
}

void IntervalSave::setFileRemover(Retention::FileRemover remover)
{
    m_state->removeFile = std::move(remover);
}

void IntervalSave::setStopRequest(StopRequest* stop)
{
    m_state->reports.setStopRequest(stop);
}

bool IntervalSave::wasInterrupted() const
{
    return m_state->interrupted;
}

void IntervalSave::FileCont(const QString& path, QString& text, int mode)
{
    ReportingProcedure proc(m_state->reports, EngineModuleName, u"FileCont"_s);
    QFile file;
    proc.run(FileContLine::SetPath, [&] { file.setFileName(path); });
    int branch = 0;
    proc.run(FileContLine::ChooseMode, [&] { branch = mode; });
    if (branch == 1) {
        bool isOpen = false;
        proc.run(FileContLine::OpenToRead, [&] {
            if (!file.open(QIODevice::ReadOnly))
                throw Failure(file.errorString(), 53);
            isOpen = true;
        });
        proc.run(FileContLine::ReadAll, [&] {
            if (!isOpen)
                throw Failure(FileNotOpenText, 52);
            const QByteArray bytes = readScriptBytes(file, path); // plain or gzip, told by the first bytes
            if (file.error() != QFileDevice::NoError)
                throw Failure(file.errorString(), 62);
            text = decodeScript(bytes);
        });
        proc.run(FileContLine::CloseRead, [&] {
            if (isOpen)
                file.close();
        });
    } else if (branch == 3) {
        QByteArray bytes = text.toUtf8();
        bytes.append("\r\n");
        appendSteps(proc, file, bytes);
    }
    if (proc.failed())
        m_state->reports.noteFailure(proc.firstFailure());
}

QString IntervalSave::StampedFileName(const QString& databaseName) const
{
    return DumpFile::stampedName(m_state->context.clock, databaseName);
}
