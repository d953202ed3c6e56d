#include "IntervalSave.h"

#include "BackupFile.h"
#include "BackupName.h"
#include "Catalogue.h"
#include "DataAccess.h"
#include "Dialogs.h"
#include "EngineLines.h"
#include "ErrorReport.h"
#include "Gzip.h"
#include "SchemaCatalogue.h"
#include "SchemaScript.h"
#include "ScriptText.h"
#include "SnapshotConnection.h"
#include "StopRequest.h"
#include "Views.h"

#include <QDir>
#include <QFile>
#include <QSet>

#include <mutex>
#include <optional>
#include <vector>

using namespace Qt::Literals::StringLiterals;

namespace {

/** Script bytes collect up to about this much before they are appended to the file. */
constexpr std::size_t FlushThreshold = 256 * 1024;
/** Events run at most this often while a dump works (the window stays responsive; the dump stays fast). */
constexpr qint64 PumpIntervalMs = 10;
constexpr qint64 ProgressIntervalMs = 1000;

const QString ModuleName = QStringLiteral("IntervalSave");

/** Writing to a file whose open failed. */
const QString FileNotOpen = QStringLiteral("The file is not open.");

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
            throw Failure(FileNotOpen, 52);
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

struct FileFolders
{
    QString data;
    QString log;
};

/** Reads rows of (path, type) where type 0 is the data file and 1 the log; the first of each kind wins. */
void readFolders(RecordSet& files, FileFolders& folders, bool statusBits)
{
    while (!files.Eof()) {
        const QString path = files.Fields(0).text.trimmed();
        int type = files.Fields(1).text.trimmed().toInt();
        if (statusBits)
            type = (type & 0x40) ? 1 : 0; // sysfiles marks the log file with status bit 0x40
        QString& folder = type == 1 ? folders.log : folders.data;
        if (folder.isEmpty() && (type == 0 || type == 1))
            folder = ScriptText::folderOf(path);
        files.MoveNext();
    }
    files.Close();
}

/**
 * The folders in which the server keeps this database's data and log files, each with its trailing separator.
 * Older servers without sys.database_files answer from sysfiles; when neither tells, the fixed folder stands.
 */
FileFolders serverFileFolders(Connection* connection)
{
    FileFolders folders;
    if (connection) {
        try {
            readFolders(*connection->Execute(u"SELECT physical_name, type FROM sys.database_files"_s), folders, false);
        } catch (const std::exception&) {
            try {
                readFolders(*connection->Execute(u"SELECT filename, status FROM sysfiles"_s), folders, true);
            } catch (const std::exception&) {
                // The server cannot tell: the fixed folder is written, without a report.
            }
        }
    }
    const QString fixed = QString::fromLatin1(ScriptText::FixedFileFolder);
    if (folders.data.isEmpty())
        folders.data = fixed;
    if (folders.log.isEmpty())
        folders.log = fixed;
    return folders;
}

/**
 * Fails unless the fields of the table's rows are the columns of its CREATE TABLE, by name and in order: the INSERT
 * lines name no columns, so a value written in another column's place would be restored into that column.
 */
void checkColumns(const QString& table, const RecordSet& data, const QStringList& columnNames)
{
    const int fieldCount = data.FieldCount();
    if (fieldCount != columnNames.size())
        throw Failure(u"The rows of %1 have %2 values but its column list has %3 columns. The backup cannot hold this "
                      u"table."_s.arg(table)
                          .arg(fieldCount)
                          .arg(columnNames.size()));
    QStringList fieldNames;
    for (int i = 0; i < fieldCount; ++i)
        fieldNames << data.FieldName(i);
    if (fieldNames != columnNames)
        throw Failure(u"The rows of %1 have the columns (%2) but its column list is (%3). The backup cannot hold this "
                      u"table."_s.arg(table, fieldNames.join(u", "_s), columnNames.join(u", "_s)));
}

} // namespace

/** One run of SaveAll: its numbered steps, the script buffer and the throttled event pump. */
class DumpRun
{
public:
    explicit DumpRun(IntervalSave& engine)
        : m_engine(engine)
        , m_context(engine.m_context)
        , m_proc(engine.m_reports, ModuleName, u"SaveAll"_s)
        , m_previousOutcome(engine.m_outcome)
    {
        m_engine.m_outcome = &m_outcome;
    }
    ~DumpRun() { m_engine.m_outcome = m_previousOutcome; }
    DumpRun(const DumpRun&) = delete;
    DumpRun& operator=(const DumpRun&) = delete;

    bool run(const QString& connectionString, StatusFrame& statusFrame);

private:
    void openConnection(const QString& connectionString,
                        std::unique_ptr<SnapshotConnection>& connection,
                        StopRequest::Hook& cancel);
    void openFile(const QString& folder, bool compress);
    void dumpTables(SnapshotConnection* connection);
    void logOutcome(StatusFrame& statusFrame);

private:
    template <typename Statement> bool step(int line, Statement&& statement)
    {
        // After a stop no step runs; a step that the stop's cancel made fail is not the dump's failure.
        if (interrupted())
            return false;
        if (m_proc.run(line, std::forward<Statement>(statement)))
            return true;
        if (interrupted())
            return false;
        // The first failure of this procedure; an earlier one (here or in FileCont) is already noted.
        m_engine.noteFailure(m_proc.firstFailure());
        return false;
    }
    void lines(int line, const QStringList& texts)
    {
        step(line, [&] {
            for (const QString& text : texts)
                m_buffer.appendLine(text);
        });
    }

    /** True once a stop was requested before the backup had its name; the first time, the dump stops there. */
    bool interrupted();
    /** Removes the working file and logs the interruption, once, from whichever thread comes first. */
    void removeAndLogInterrupted();
    /** The end of a dump that a stop ended: the working file goes, the log says so. Returns false. */
    bool endInterrupted(StatusFrame& statusFrame);
    /** What runs while the dump waits for its file's writer thread: window events; a stop ends the wait. */
    void whileWaiting();
    /** Retention in the backup folder, reporting through the engine and logging to its backup log. */
    Retention retention()
    {
        return Retention(m_engine.m_reports, m_context.clock, m_context.log.writer(), m_engine.m_removeFile);
    }

    void writeHeader(Connection* connection);
    /** The steps after a saved backup, each with its log line; their words follow the status caption. */
    void runAfterSave(StatusFrame& statusFrame);
    void dumpTable(Connection* connection, const CatalogueTable& table);
    void writeRows(const QByteArray& prefix, RecordSet& data, int fieldCount, const std::vector<bool>& rowVersion);
    void writeLongValue(RecordSet& data, int index);
    void dumpCompleteSchema(Connection& connection);
    void pump();
    bool flush();
    void reportProgress();

    IntervalSave& m_engine;
    BackupContext& m_context;
    ReportingProcedure m_proc;
    IntervalSave::DumpOutcome m_outcome;
    IntervalSave::DumpOutcome* m_previousOutcome;

    QString m_serverName;
    QString m_databaseName;
    QString m_path;
    std::unique_ptr<BackupFile> m_file;
    ScriptBuffer m_buffer;
    /** The schemas other than dbo whose CREATE SCHEMA the script holds. */
    QSet<QString> m_schemasMade;
    /** A write failed: the dump ends. */
    bool m_stopped = false;

    /** With "CompleteSchema" on: the schema sections around the rows, batches ended by GO. */
    BackupOptions m_options;
    bool m_complete = false;
    /** What the complete schema could not write ("2 synonyms"), for the log line. */
    QString m_unscripted;
    /** The complete schema's INSERT statements of the table being written; none while rows go one a line. */
    std::optional<SchemaScript::InsertStatements> m_statements;

    bool m_pumped = false;
    qint64 m_lastPumpMs = 0;
    qint64 m_startMs = 0;
    qint64 m_lastProgressMs = 0;
    DumpProgress m_progress;

    bool m_interrupted = false;
    /** The backup has its final name: a stop from now on leaves it as it is. */
    bool m_pastCommit = false;
    /** The working file's path, for the forced end on another thread. */
    QString m_workingPath;
    std::mutex m_workingPathMutex;
    OnceOnly m_interruptedEnd;
    StopRequest::Hook m_forcedEnd; // last: it goes first, before what its action uses
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
    const int keep = m_options.keep;
    const bool compress = m_options.compress;
    m_complete = m_options.complete;

    m_engine.m_interrupted = false;
    StopRequest* const stop = m_engine.m_stop;
    // A stop from outside that the dump does not reach in time ends the process: what the dump leaves goes first.
    if (stop)
        m_forcedEnd = stop->onForcedEnd([this] { removeAndLogInterrupted(); });

    // The hook goes before the connection it cancels.
    std::unique_ptr<SnapshotConnection> connection;
    StopRequest::Hook cancel;
    openConnection(connectionString, connection, cancel);
    openFile(folder, compress);

    writeHeader(connection.get());

    dumpTables(connection.get());
    if (flush())
        m_stopped = !m_engine.finishBackup(*m_file);
    if (interrupted())
        return endInterrupted(statusFrame); // nothing more is asked of the server; releasing the connection ends it

    // A failed dump leaves the read-only transaction to the close, which rolls it back: a server that ended it with
    // the failure would otherwise answer the COMMIT with a second, misleading report.
    if (connection && connection->inTransaction() && !m_outcome.failed)
        step(SaveAllLine::CommitSnapshot, [&] { connection->Execute(u"COMMIT"_s); });
    if (connection)
        step(SaveAllLine::CloseConnection, [&] { connection->Close(); });

    if (!m_outcome.failed)
        step(SaveAllLine::CommitFile, [&] { m_file->commit(m_engine.m_lockWaitMs, [this] { whileWaiting(); }); });
    if (m_interrupted && !m_file->isCommitted()) {
        // The writer thread ends first: a rename it had begun when the stop came completes, and the backup stands.
        m_file->abandon();
        if (!m_file->isCommitted())
            return endInterrupted(statusFrame);
        m_interrupted = false;
        m_stopped = false;
        m_outcome = {};
    }
    // From here the backup is complete: a stop changes nothing of it.
    m_pastCommit = m_file->isCommitted();
    if (m_pastCommit)
        m_forcedEnd.reset();
    if (!m_file->isCommitted())
        m_file->abandon(); // a failed dump leaves no file: no script that looks complete and is not
    else if (QFile::exists(Retention::verifiedMarkPath(m_path)))
        QFile::remove(Retention::verifiedMarkPath(m_path)); // a new script under the name is not verified yet

    logOutcome(statusFrame);
    m_engine.m_lastOutputPath = m_path; // a dump started from the event pump may have set its own
    reportProgress();
    m_engine.m_lastAfterSave.clear();
    if (!m_outcome.failed)
        runAfterSave(statusFrame);
    // After a stop the program is ending: old backups stay until a run that completes.
    if (!m_outcome.failed && !m_engine.m_interrupted)
        retention().RemoveOldBackups(folder, m_serverName, m_databaseName, keep, m_path);
    return !m_outcome.failed;
}

/** Opens the connection (CreateConnection to OpenConnection) and, where the database allows it, the snapshot
 * (BeginSnapshot). */
void DumpRun::openConnection(const QString& connectionString,
                             std::unique_ptr<SnapshotConnection>& connection,
                             StopRequest::Hook& cancel)
{
    StopRequest* const stop = m_engine.m_stop;
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

/** Names the backup (NameFile), clears what dead backups of the database left, and opens the working file. */
void DumpRun::openFile(const QString& folder, bool compress)
{
    // With "Compress" on the script goes through gzip (one member per dump).
    std::unique_ptr<ByteStage> stage;
    step(SaveAllLine::NameFile, [&] {
        stage = compress ? makeGzipStage() : nullptr;
        m_path = folder + u'/' + BackupName::ofFile(m_engine.StampedFileName(m_databaseName), compress);
    });
    m_engine.m_lastOutputPath = m_path;
    // What earlier backups of this database left when their process ended goes before this one writes: on a full disk
    // those files are what filled it.
    if (!m_path.isEmpty())
        retention().RemoveStaleWorkingFiles(folder, m_databaseName);
    // The script goes into a working file; only a dump whose every step succeeded gives it the final name. The
    // file is written on a thread of its own: while it catches up, the window's events run.
    m_file = std::make_unique<BackupFile>(m_path, std::move(stage));
    m_file->setWhileWaiting([this] { whileWaiting(); });
}

/** The tables: the complete schema's, or the catalogue's in the default format with their rows. */
void DumpRun::dumpTables(SnapshotConnection* connection)
{
    // The first write tells whether the file can be written at all; when it cannot, the dump ends here.
    // The catalogue is read whole, with a fixed number of queries, before the first table's rows: the table list
    // (TableList) and the columns of every table (Columns). Without its columns no table can be written, so a failed
    // read of them ends the tables here, with its one report.
    Catalogue catalogue;
    if (m_complete) {
        if (flush() && connection)
            dumpCompleteSchema(*connection);
    } else if (flush() && connection && step(SaveAllLine::TableList, [&] { catalogue.readTableList(*connection); })
               && step(SaveAllLine::Columns, [&] { catalogue.readColumns(*connection); })) {
        m_progress.tablesTotal = int(catalogue.tables.size()); // SaveAllLine::TablesTotal
        for (const CatalogueTable& table : catalogue.tables) {
            dumpTable(connection, table);
            ++m_progress.tablesDone;
            if (m_stopped)
                break;
            reportProgress();
        }
    }
}

/** The log line of the outcome (LogLine) and the status frame's caption (StatusCaption). */
void DumpRun::logOutcome(StatusFrame& statusFrame)
{
    const QDateTime when = m_context.clock.now();
    const QString logLine = m_outcome.failed ? BackupLog::backupFailedLine(m_path, when, m_outcome.firstFailure)
                                             : BackupLog::savedLine(m_path, when, m_unscripted);
    step(SaveAllLine::LogLine, [&] { m_context.log.write(logLine); });
    step(SaveAllLine::StatusCaption, [&] {
        statusFrame.setCaption((m_outcome.failed ? u"Auto Backup Failed at "_s : u"Auto Backup Complete at "_s)
                               + defaultDateTimeText(m_context.clock.now()));
    });
}

void DumpRun::runAfterSave(StatusFrame& statusFrame)
{
    // A step that does not come back from a stop in time (a drill whose server does not answer the cancel) ends with
    // the process: the log says so, the backup stays.
    StopRequest::Hook forcedEnd;
    if (m_engine.m_stop)
        forcedEnd = m_engine.m_stop->onForcedEnd([this] {
            try {
                m_context.log.write(
                    BackupLog::stepLine(m_path, u"steps after the save: "_s + InterruptedText, m_context.clock.now()));
            } catch (const std::exception&) {
                // The process is ending on a signal: there is nobody to tell.
            }
        });
    QStringList said;
    for (const AfterSaveStep& afterSave : m_context.afterSave) {
        if (!afterSave)
            continue;
        // A step that a stop reaches ends early and says "interrupted" in its words; those after it end at once.
        AfterSaveOutcome outcome = afterSave(SavedBackup{m_path, m_serverName, m_databaseName, m_options});
        if (m_engine.stopRequested())
            m_engine.m_interrupted = true;
        if (outcome.text.isEmpty())
            continue; // a step that is switched off had nothing to do and says nothing
        m_engine.m_lastAfterSave.push_back(outcome);
        const QDateTime when = m_context.clock.now();
        step(SaveAllLine::LogLine, [&] { m_context.log.write(BackupLog::stepLine(m_path, outcome.text, when)); });
        said << outcome.text;
    }
    if (!said.isEmpty())
        step(SaveAllLine::StatusCaption,
             [&] { statusFrame.setCaption(statusFrame.caption() + u"; "_s + said.join(u"; "_s)); });
}

bool DumpRun::interrupted()
{
    if (m_interrupted)
        return true;
    if (m_pastCommit || !m_engine.stopRequested())
        return false;
    m_interrupted = true;
    m_stopped = true;
    m_outcome.failed = true;
    m_outcome.firstFailure = InterruptedText;
    return true;
}

void DumpRun::whileWaiting()
{
    if (m_context.letEventsRun)
        m_context.letEventsRun();
    if (!m_pastCommit && m_engine.stopRequested())
        throw Interrupted(); // a stop ends the wait for the disk or for another backup's commit
}

bool DumpRun::endInterrupted(StatusFrame& statusFrame)
{
    m_file->abandon(); // the writer thread ends, then the working file goes
    removeAndLogInterrupted();
    m_forcedEnd.reset();
    try {
        statusFrame.setCaption(u"Auto Backup Failed at "_s + defaultDateTimeText(m_context.clock.now()));
    } catch (const std::exception&) {
        // The program is ending on a signal: the caption is not worth a report.
    }
    m_engine.m_lastOutputPath = m_path;
    m_engine.m_lastAfterSave.clear();
    m_engine.m_interrupted = true;
    return false;
}

void DumpRun::removeAndLogInterrupted()
{
    m_interruptedEnd.run([this] {
        QString working;
        {
            const std::lock_guard lock(m_workingPathMutex);
            working = m_workingPath;
        }
        if (!working.isEmpty())
            QFile::remove(working);
        try {
            m_context.log.write(BackupLog::backupFailedLine(m_path, m_context.clock.now(), InterruptedText));
        } catch (const std::exception&) {
            // The process is ending on a signal: there is nobody to tell.
        }
    });
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
        const FileFolders folders = serverFileFolders(connection);
        for (const QString& text : createDatabaseBlock(database, folders.data, folders.log))
            m_buffer.appendLine(text);
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
    SchemaModel::Database db;
    if (!step(SaveAllLine::ReadSchema, [&] { db = SchemaModel::readDatabase(connection); }))
        return;
    m_unscripted = db.unscriptedText();
    m_progress.tablesTotal = int(db.tables.size());
    lines(SaveAllLine::SchemaBeforeData, SchemaScript::unscriptedComment(db) + SchemaScript::beforeData(db));
    if (!flush())
        return;
    for (const SchemaModel::Table& table : db.tables) {
        pump();
        if (m_stopped)
            return;
        lines(SaveAllLine::RowsHeader, SchemaScript::rowsHeader(table));
        const qint64 rowsBefore = m_progress.rowsWritten;
        std::unique_ptr<RecordSet> data;
        QStringList names;
        for (const SchemaModel::Column* column : SchemaScript::insertedColumns(table))
            names << column->name;
        const int fieldCount = int(names.size());
        if (step(SaveAllLine::DataQuery, [&] { data = connection.Execute(SchemaScript::dataQuery(table)); }) && data
            && step(SaveAllLine::CheckColumns,
                    [&] { checkColumns(SchemaScript::twoPartName(table.schema, table.name), *data, names); })) {
            // Several rows a statement: the server parses and plans one statement for up to 1,000 rows.
            m_statements.emplace(m_buffer, SchemaScript::insertPrefix(table));
            writeRows({}, *data, fieldCount, {});
            m_statements->finish();
            m_statements.reset();
        }
        if (m_stopped)
            return;
        lines(SaveAllLine::RowsFooter, SchemaScript::rowsFooter(table, m_progress.rowsWritten - rowsBefore));
        ++m_progress.tablesDone;
        if (!flush())
            return;
        reportProgress();
    }
    lines(SaveAllLine::SchemaAfterData, SchemaScript::afterData(db));
}

void DumpRun::dumpTable(Connection* connection, const CatalogueTable& table)
{
    using namespace ScriptText;
    // Views and system tables end here (SkipOtherObjects), before any event runs.
    if (table.type != u"TABLE"_s)
        return;
    pump(); // SaveAllLine::PumpPerTable
    if (m_stopped)
        return;

    const QString& name = table.name; // SaveAllLine::TableName
    const QString& schema = table.schema;
    if (name.contains(u"trace_xe"_s, Qt::CaseInsensitive)) // SaveAllLine::SkipTrace
        return;
    // A schema other than dbo is made before its first table, so the script restores onto a server that lacks it.
    if (!isDbo(schema) && !m_schemasMade.contains(schema)) {
        lines(SaveAllLine::StructureHeader, schemaBlock(schema));
        m_schemasMade.insert(schema);
    }
    lines(SaveAllLine::StructureHeader, structureHeader(name, schema));

    QStringList columnNames;
    QStringList typeTexts;
    std::vector<bool> rowVersion;
    for (const CatalogueColumn& column : table.columns) { // SaveAllLine::EachColumn
        pump(); // SaveAllLine::PumpPerColumn
        if (m_stopped)
            return;
        columnNames << column.name; // SaveAllLine::ColumnName
        step(SaveAllLine::TypeText, [&] {
            const bool exact = needsPrecision(column.dataType); // SaveAllLine::NeedsPrecision
            typeTexts << typeText(column.dataType, column.maxLength, exact ? column.precision : std::nullopt,
                                  exact ? column.scale : std::nullopt);
        });
        rowVersion.push_back(column.rowVersion);
    }

    step(SaveAllLine::CreateTable, [&] {
        m_buffer.appendLine(dropTableLine(name, schema) + u"\r\n"_s
                            + createTableLine(name, columnNames, typeTexts, schema));
        m_buffer.appendLine(QString());
    });
    lines(SaveAllLine::DataHeader, dataHeader(name, schema));

    std::unique_ptr<RecordSet> data;
    step(SaveAllLine::DataQuery, [&] { data = connection->Execute(dataQuery(name, schema)); });
    // The script's CREATE TABLE must name the rows' columns in their order; a table whose rows disagree is reported.
    int fieldCount = 0;
    if (data && step(SaveAllLine::CheckColumns, [&] {
            fieldCount = data->FieldCount();
            checkColumns(tableName(name, schema), *data, columnNames);
        }))
        writeRows(ScriptText::insertPrefix(table.name, table.schema), *data, fieldCount, rowVersion);
    if (m_stopped)
        return;
    lines(SaveAllLine::TableEnd, {QString()});
    flush(); // the end of each table reaches the file
}

void DumpRun::writeRows(const QByteArray& prefix, RecordSet& data, int fieldCount, const std::vector<bool>& rowVersion)
{
    // Each row's INSERT line is written as the row is read, so memory does not grow with the table.
    while (!m_stopped) {
        bool end = true;
        if (!step(SaveAllLine::RowsEnd, [&] { end = data.Eof(); }) || end)
            break;
        // The clock is read before every row, so a server that sends rows slowly still leaves the window live.
        pump(); // SaveAllLine::PumpPerRow, SaveAllLine::PumpAfterRow
        if (m_stopped)
            break;

        if (m_statements)
            m_statements->beginRow();
        else
            m_buffer.append(prefix);
        for (int i = 0; i < fieldCount; ++i) {
            if (i > 0)
                m_buffer.append(std::string_view(", "));
            if (std::size_t(i) < rowVersion.size() && rowVersion[std::size_t(i)]) {
                m_buffer.append(std::string_view("DEFAULT")); // rowversion columns take no explicit value
                continue;
            }
            if (data.isLongField(i)) {
                writeLongValue(data, i);
                continue;
            }
            const FieldValue* value = nullptr;
            if (step(SaveAllLine::ReadValue, [&] { value = &data.Fields(i); }))
                ScriptText::appendValue(m_buffer, *value);
            else
                m_buffer.append(std::string_view("NULL"));
        }
        if (m_statements)
            m_statements->endRow();
        else
            m_buffer.append(std::string_view(");\r\n"));
        ++m_progress.rowsWritten;

        const bool moved = step(SaveAllLine::MoveNext, [&] { data.MoveNext(); });
        if (m_buffer.size() >= FlushThreshold)
            flush();
        if (!moved)
            break;
    }
}

void DumpRun::writeLongValue(RecordSet& data, int index)
{
    // A long value goes into the file as it comes from the driver, a piece at a time: memory does not grow with it.
    ScriptText::LongValueWriter value(m_buffer);
    step(SaveAllLine::ReadValue, [&] {
        FieldValue piece;
        while (!m_stopped && data.FieldPiece(index, piece)) {
            value.add(piece);
            if (m_buffer.size() >= FlushThreshold)
                flush();
            pump();
        }
    });
    value.finish();
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

bool DumpRun::flush()
{
    if (m_stopped)
        return false;
    if (m_buffer.isEmpty())
        return true;
    if (m_statements) {
        // A row that may still move to the next statement stays in the buffer until it is placed.
        if (!m_statements->mayFlush())
            return true;
        m_statements->flushing();
    }
    const QByteArray bytes = QByteArray::fromRawData(m_buffer.data(), qsizetype(m_buffer.size()));
    const bool written = m_engine.appendToBackup(*m_file, bytes);
    m_buffer.clear();
    if (m_workingPath.isEmpty() && !m_file->workingPath().isEmpty()) {
        const std::lock_guard lock(m_workingPathMutex);
        m_workingPath = m_file->workingPath();
    }
    m_stopped = !written;
    return written;
}

void DumpRun::reportProgress()
{
    m_lastProgressMs = m_context.clock.monotonicMs();
    if (!m_context.progress)
        return;
    m_progress.elapsedMs = m_lastProgressMs - m_startMs;
    m_context.progress(m_progress);
}

IntervalSave::IntervalSave(BackupContext context)
    : m_context(std::move(context))
    , m_lockWaitMs(BackupFile::DefaultLockWaitMs)
{ }

bool IntervalSave::SaveAll(const QString& connectionString, StatusFrame& statusFrame)
{
    DumpRun run(*this);
    return run.run(connectionString, statusFrame);
}

QString IntervalSave::lastOutputPath() const
{
    return m_lastOutputPath;
}

bool IntervalSave::stopRequested() const
{
    return m_stop && m_stop->requested();
}

void IntervalSave::Reports::errorReport(const QString& text)
{
    if (m_engine.stopRequested())
        return;
    m_engine.m_context.dialogs.errorReport(text);
}

void IntervalSave::noteFailure(const QString& description)
{
    if (m_outcome && !m_outcome->failed) {
        m_outcome->failed = true;
        m_outcome->firstFailure = description;
    }
}

void IntervalSave::FileCont(const QString& path, QString& text, int mode)
{
    ReportingProcedure proc(m_reports, ModuleName, u"FileCont"_s);
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
                throw Failure(FileNotOpen, 52);
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
        noteFailure(proc.firstFailure());
}

bool IntervalSave::appendToFile(const QString& path, const QByteArray& bytes)
{
    ReportingProcedure proc(m_reports, ModuleName, u"FileCont"_s);
    QFile file;
    proc.run(FileContLine::SetPath, [&] { file.setFileName(path); });
    proc.run(FileContLine::ChooseMode, [] {});
    const bool written = appendSteps(proc, file, bytes);
    if (proc.failed())
        noteFailure(proc.firstFailure());
    return written && !proc.failed();
}

bool IntervalSave::appendToBackup(BackupFile& file, const QByteArray& bytes)
{
    return backupSteps(file, [&] { file.append(bytes); });
}

bool IntervalSave::finishBackup(BackupFile& file)
{
    return backupSteps(file, [&] { file.finishWriting(); });
}

bool IntervalSave::backupSteps(BackupFile& file, const std::function<void()>& write)
{
    ReportingProcedure proc(m_reports, ModuleName, u"FileCont"_s);
    proc.run(FileContLine::SetPath, [] {});
    proc.run(FileContLine::ChooseMode, [] {});
    bool isOpen = file.isCreated();
    bool written = false;
    proc.run(FileContLine::OpenToAppend, [&] {
        file.create();
        isOpen = true;
    });
    proc.run(FileContLine::Append, [&] {
        if (!isOpen)
            throw Failure(FileNotOpen, 52);
        write();
        written = true;
    });
    // CloseAppended: the working file stays open until the dump commits or abandons it.
    proc.run(FileContLine::CloseAppended, [] {});
    if (proc.failed())
        noteFailure(proc.firstFailure());
    return written && !proc.failed();
}

QString IntervalSave::StampedFileName(const QString& databaseName) const
{
    // The date and the time each come from a reading of their own, the date first.
    const QDate date = m_context.clock.now().date();
    const QTime time = m_context.clock.now().time();
    return BackupName::stamped(databaseName, date, time);
}
