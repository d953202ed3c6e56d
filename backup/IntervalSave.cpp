#include "IntervalSave.h"

#include "BackupFile.h"
#include "DataAccess.h"
#include "Dialogs.h"
#include "ErrorReport.h"
#include "Gzip.h"
#include "ScriptText.h"
#include "StopRequest.h"
#include "Views.h"

#include <QDir>
#include <QFile>

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

/** FileCont's steps for appending bytes: 124 open, 128 write, 130 close. */
bool appendSteps(ReportingProcedure& proc, QFile& file, const QByteArray& bytes)
{
    bool isOpen = false;
    bool written = false;
    proc.run(124, [&] {
        // A new file is its user's alone: a backup holds the whole database.
        if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered,
                       QFileDevice::ReadOwner | QFileDevice::WriteOwner))
            throw Failure(file.errorString(), 76);
        isOpen = true;
    });
    proc.run(128, [&] {
        if (!isOpen)
            throw Failure(FileNotOpen, 52);
        if (file.write(bytes) != bytes.size())
            throw Failure(file.errorString(), 61);
        written = true;
    });
    proc.run(130, [&] {
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

std::optional<qint64> optionalNumber(const FieldValue& value)
{
    if (value.isNull())
        return std::nullopt;
    bool ok = false;
    const qint64 number = value.text.trimmed().toLongLong(&ok);
    return ok ? std::optional<qint64>(number) : std::nullopt;
}

/** Runs a query and reads its first field into a list, closing the result: column descriptions are read whole. */
std::vector<FieldValue> readColumn(Connection& connection, const QString& query)
{
    std::vector<FieldValue> values;
    const std::unique_ptr<RecordSet> result = connection.Execute(query);
    while (!result->Eof()) {
        values.push_back(result->Fields(0));
        result->MoveNext();
    }
    result->Close();
    return values;
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

/** Fails when the rows of the table hold another number of values than its column list has columns. */
void checkColumnCount(const QString& table, int fieldCount, qsizetype columnCount)
{
    if (fieldCount == columnCount)
        return;
    throw Failure(u"The rows of [%1] have %2 values but its column list has %3 columns: a table of the same name in "
                  u"another schema adds its columns to the list. The backup cannot hold this table."_s.arg(table)
                      .arg(fieldCount)
                      .arg(columnCount));
}

/**
 * Whether the database allows snapshot isolation (sys.databases.snapshot_isolation_state = 1). A server that cannot
 * tell (older versions, no permission) is taken to allow none; the dump then reads as it always did.
 */
bool allowsSnapshot(Connection& connection, const QString& database)
{
    QString quoted = database;
    quoted.replace(u'\'', u"''"_s);
    try {
        const std::unique_ptr<RecordSet> result = connection.Execute(
            u"SELECT snapshot_isolation_state FROM sys.databases WHERE name = N'"_s + quoted + u"'"_s);
        const bool allowed = !result->Eof() && result->Fields(0).text.trimmed() == u"1"_s;
        result->Close();
        return allowed;
    } catch (const std::exception&) {
        return false;
    }
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
    /** True once a stop was requested; the first time, the dump's outcome becomes "interrupted". */
    bool interrupted();
    /** Removes the working file and logs the interruption, once, from whichever thread comes first. */
    void removeAndLogInterrupted();
    /** The end of a dump that a stop ended: the working file goes, the log says so. Returns false. */
    bool endInterrupted(StatusFrame& statusFrame);
    void lines(int line, const QStringList& texts)
    {
        step(line, [&] {
            for (const QString& text : texts)
                m_buffer.appendLine(text);
        });
    }

    void writeHeader(Connection* connection);
    void dumpTable(Connection* connection, RecordSet& tables);
    void writeRows(const QString& table, RecordSet& data, int fieldCount, const std::vector<bool>& rowVersion);
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
    /** With "Compress" on, every flushed piece goes through it (one gzip member per dump). */
    std::unique_ptr<GzipCompressor> m_gzip;
    /** A write failed, or a stop came: the dump ends. */
    bool m_stopped = false;
    bool m_interrupted = false;
    /** The working file's path, for the forced end on another thread. */
    QString m_workingPath;
    std::mutex m_workingPathMutex;
    OnceOnly m_interruptedEnd;
    bool m_pastCommit = false;
    StopRequest::Hook m_forcedEnd; // last: it goes first, before what its action uses

    bool m_pumped = false;
    qint64 m_lastPumpMs = 0;
    qint64 m_startMs = 0;
    qint64 m_lastProgressMs = 0;
    DumpProgress m_progress;
};

bool DumpRun::run(const QString& connectionString, StatusFrame& statusFrame)
{
    const Clock& clock = m_context.clock;
    m_startMs = m_lastProgressMs = clock.monotonicMs();

    // Read from the windows once, when the dump starts.
    m_serverName = m_context.source.serverName();
    m_databaseName = m_context.source.databaseName();
    const QString folder = m_context.source.backupFolder();
    const int keep = m_context.source.keepBackups();
    const bool compress = m_context.source.compressBackups();

    m_engine.m_interrupted = false;
    // A stop from outside that the dump does not reach in time ends the process: what the dump leaves goes first.
    if (m_engine.m_stop)
        m_forcedEnd = m_engine.m_stop->onForcedEnd([this] { removeAndLogInterrupted(); });

    std::unique_ptr<Connection> connection;
    StopRequest::Hook cancel;
    bool inTransaction = false;
    step(100, [&] { connection = m_context.factory.createConnection(); });
    // A statement that waits on the server when a stop comes is cancelled through the driver.
    if (connection && m_engine.m_stop)
        cancel = m_engine.m_stop->onStop([c = connection.get()] { c->cancel(); });
    if (connection) {
        step(122, [&] { connection->setCursorLocation(adUseClient); });
        // Where the database allows it, the table list, the column descriptions and every row come from one
        // snapshot, so that the rows of related tables agree.
        if (step(124, [&] { connection->Open(connectionString); }) && allowsSnapshot(*connection, m_databaseName)) {
            if (step(330, [&] { connection->Execute(u"SET TRANSACTION ISOLATION LEVEL SNAPSHOT"_s); }))
                inTransaction = step(332, [&] { connection->Execute(u"BEGIN TRANSACTION"_s); });
        }
    }
    step(126, [&] {
        m_gzip = compress ? std::make_unique<GzipCompressor>() : nullptr;
        m_path = folder + u'/' + m_engine.StampedFileName(m_databaseName) + (compress ? u".gz"_s : u""_s);
    });
    m_engine.m_lastOutputPath = m_path;
    // What earlier backups of this database left when their process ended goes before this one writes: on a full disk
    // those files are what filled it.
    if (!m_path.isEmpty())
        Retention(
            m_engine.m_reports, clock, [this](const QString& line) { m_engine.WriteBackupLog(line); },
            m_engine.m_removeFile)
            .RemoveStaleWorkingFiles(folder, m_databaseName);
    // The script goes into a working file; only a dump whose every step succeeded gives it the final name.
    m_file = std::make_unique<BackupFile>(m_path);

    writeHeader(connection.get());

    // The first write tells whether the file can be written at all; when it cannot, the dump ends here.
    std::unique_ptr<RecordSet> tables;
    if (flush() && connection) {
        step(162, [&] { tables = connection->OpenSchema(adSchemaTables); });
        qint64 count = 0;
        if (tables && step(164, [&] { count = tables->RecordCount(); })) {
            m_progress.tablesTotal = int(std::max<qint64>(count, 0));
            // A list that cannot tell its count is walked to its end.
            for (qint64 i = 0; (count < 0 || i < count) && !m_stopped; ++i) {
                if (count < 0) {
                    bool end = true;
                    if (!step(164, [&] { end = tables->Eof(); }) || end)
                        break;
                }
                dumpTable(connection.get(), *tables);
                ++m_progress.tablesDone;
                if (!m_stopped)
                    reportProgress();
                if (m_stopped || !step(312, [&] { tables->MoveNext(); }))
                    break;
            }
        }
    }
    flush();
    if (m_gzip && !m_stopped)
        m_stopped = !m_engine.appendToBackup(*m_file, m_gzip->finish());
    if (interrupted())
        return endInterrupted(statusFrame); // nothing more is asked of the server; releasing the connection ends it

    // A failed dump leaves the read-only transaction to the close, which rolls it back: a server that ended it with
    // the failure would otherwise answer the COMMIT with a second, misleading report.
    if (inTransaction && !m_outcome.failed)
        step(334, [&] { connection->Execute(u"COMMIT"_s); });
    if (tables)
        step(316, [&] { tables->Close(); });
    if (connection)
        step(318, [&] { connection->Close(); });

    if (!m_outcome.failed)
        step(336, [&] {
            m_file->commit(m_engine.m_lockWaitMs, [this] {
                if (m_context.letEventsRun)
                    m_context.letEventsRun();
                if (m_engine.m_stop && m_engine.m_stop->requested())
                    throw Interrupted(); // a stop ends the wait for another backup's commit
            });
        });
    // A stop that comes once the backup has its name changes nothing: the backup is complete.
    if (m_file->isCommitted())
        m_pastCommit = true;
    else if (interrupted())
        return endInterrupted(statusFrame);
    if (!m_file->isCommitted())
        m_file->abandon(); // a failed dump leaves no file: no script that looks complete and is not

    const QString when = defaultDateTimeText(clock.now());
    const QString logLine = m_outcome.failed
        ? QString(m_path + u" backup failed at "_s + when + u": "_s + m_outcome.firstFailure)
        : QString(m_path + u" was backup saved at "_s + when);
    step(320, [&] { m_engine.WriteBackupLog(logLine); });
    step(326, [&] {
        statusFrame.setCaption((m_outcome.failed ? u"Auto Backup Failed at "_s : u"Auto Backup Complete at "_s)
                               + defaultDateTimeText(clock.now()));
    });
    m_engine.m_lastOutputPath = m_path; // a dump started from the event pump may have set its own
    reportProgress();
    if (!m_outcome.failed)
        Retention(
            m_engine.m_reports, clock, [this](const QString& line) { m_engine.WriteBackupLog(line); },
            m_engine.m_removeFile)
            .RemoveOldBackups(folder, m_serverName, m_databaseName, keep, m_path);
    return !m_outcome.failed;
}

bool DumpRun::interrupted()
{
    if (m_interrupted)
        return true;
    if (m_pastCommit || !m_engine.m_stop || !m_engine.m_stop->requested())
        return false;
    m_interrupted = true;
    m_stopped = true;
    m_outcome.failed = true;
    m_outcome.firstFailure = InterruptedText;
    return true;
}

bool DumpRun::endInterrupted(StatusFrame& statusFrame)
{
    removeAndLogInterrupted();
    m_forcedEnd.reset();
    m_file->abandon();
    statusFrame.setCaption(u"Auto Backup Failed at "_s + defaultDateTimeText(m_context.clock.now()));
    m_engine.m_lastOutputPath = m_path;
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
            m_engine.WriteBackupLog(m_path + u" backup failed at "_s + defaultDateTimeText(m_context.clock.now())
                                    + u": "_s + InterruptedText);
        } catch (const std::exception&) {
            // The process is ending on a signal: there is nobody to tell.
        }
    });
}

void DumpRun::writeHeader(Connection* connection)
{
    using namespace ScriptText;
    const QString& database = m_databaseName;
    lines(128, {serverLine(m_serverName, database)});
    lines(130, {dashLine()});
    lines(132, {generatedByLine()});
    lines(134, {dashLine(), QString()});
    lines(136, {u"--"_s});
    lines(138, {u"USE [master]"_s});
    lines(140, {u"--"_s, QString()});
    lines(142, {u"--"_s});
    lines(144, {createSchemaLine(database)});
    lines(146, {u"--"_s, QString()});
    lines(148, {databaseObjectLine(database, m_context.clock.now())});
    lines(150, {databaseExistsLine(database)});
    lines(152, {dropDatabaseLine(database)});
    step(154, [&] {
        const FileFolders folders = serverFileFolders(connection);
        for (const QString& text : createDatabaseBlock(database, folders.data, folders.log))
            m_buffer.appendLine(text);
    });
    lines(156, {u"--"_s});
    lines(158, {useDatabaseLine(database)});
    lines(160, {u"--"_s, QString(), QString()});
}

void DumpRun::dumpTable(Connection* connection, RecordSet& tables)
{
    using namespace ScriptText;
    // A row whose type or name cannot be read is not known to be a user table: it is reported and left out.
    QString type;
    if (!step(166, [&] { type = tables.Fields(u"TABLE_TYPE"_s).text; }) || type != u"TABLE"_s)
        return;
    pump(); // 168
    if (m_stopped)
        return;

    QString table;
    if (!step(184, [&] { table = tables.Fields(u"TABLE_NAME"_s).text; }))
        return;
    if (table.contains(u"trace_xe"_s, Qt::CaseInsensitive)) // 186
        return;
    lines(188, structureHeader(table));

    // Column descriptions are read whole, one query after the other, and walked in step.
    std::vector<FieldValue> names, dataTypes, lengths, precisions, scales;
    step(194, [&] { names = readColumn(*connection, columnQuery(u"column_name"_s, table)); });
    step(196, [&] { dataTypes = readColumn(*connection, columnQuery(u"data_type"_s, table)); });
    step(198, [&] { lengths = readColumn(*connection, columnQuery(u"character_maximum_length"_s, table)); });
    step(198, [&] { precisions = readColumn(*connection, columnQuery(u"numeric_precision"_s, table)); });
    step(198, [&] { scales = readColumn(*connection, columnQuery(u"numeric_scale"_s, table)); });

    QStringList columnNames;
    QStringList typeTexts;
    std::vector<bool> rowVersion;
    const FieldValue none;
    const auto at = [&none](const std::vector<FieldValue>& list, std::size_t i) -> const FieldValue& {
        return i < list.size() ? list[i] : none;
    };
    for (std::size_t i = 0; i < names.size() && !m_stopped; ++i) { // 200
        pump(); // 202
        columnNames << names[i].text; // 204-206
        const QString dataType = at(dataTypes, i).text; // 208-210
        std::optional<qint64> length; // 212
        std::optional<int> precision;
        std::optional<int> scale;
        step(212, [&] { length = optionalNumber(at(lengths, i)); });
        step(214, [&] {
            if (!needsPrecision(dataType))
                return;
            if (const auto p = optionalNumber(at(precisions, i)))
                precision = int(*p);
            if (const auto s = optionalNumber(at(scales, i)))
                scale = int(*s);
        });
        step(218, [&] { typeTexts << typeText(dataType, length, precision, scale); });
        rowVersion.push_back(isRowVersion(dataType));
    }
    if (m_stopped)
        return;

    step(246, [&] {
        m_buffer.appendLine(dropTableLine(table) + u"\r\n"_s + createTableLine(table, columnNames, typeTexts));
        m_buffer.appendLine(QString());
    });
    lines(248, dataHeader(table));

    std::unique_ptr<RecordSet> data;
    step(254, [&] { data = connection->Execute(dataQuery(table)); });
    // The column list comes from a query by table name alone: when another schema holds a table of the same name,
    // its columns are mixed in and the script's CREATE TABLE would not take the rows. Such a table is reported.
    int fieldCount = 0;
    if (data && step(260, [&] {
            fieldCount = data->FieldCount();
            checkColumnCount(table, fieldCount, columnNames.size());
        }))
        writeRows(table, *data, fieldCount, rowVersion);
    if (m_stopped)
        return;
    lines(310, {QString()});
    flush(); // the end of each table reaches the file
}

void DumpRun::writeRows(const QString& table, RecordSet& data, int fieldCount, const std::vector<bool>& rowVersion)
{
    // Each row's INSERT line is written as the row is read, so memory does not grow with the table.
    const QByteArray prefix = ScriptText::insertPrefix(table);
    while (!m_stopped) {
        bool end = true;
        if (!step(256, [&] { end = data.Eof(); }) || end)
            break;
        // The clock is read before every row, so a server that sends rows slowly still leaves the window live.
        pump(); // 258, 286
        if (m_stopped)
            break;

        m_buffer.append(prefix);
        for (int i = 0; i < fieldCount; ++i) {
            if (i > 0)
                m_buffer.append(std::string_view(", "));
            if (std::size_t(i) < rowVersion.size() && rowVersion[std::size_t(i)]) {
                m_buffer.append(std::string_view("DEFAULT")); // rowversion columns take no explicit value
                continue;
            }
            const FieldValue* value = nullptr;
            if (step(264, [&] { value = &data.Fields(i); }))
                ScriptText::appendValue(m_buffer, *value);
            else
                m_buffer.append(std::string_view("NULL"));
        }
        m_buffer.append(std::string_view(");\r\n"));
        ++m_progress.rowsWritten;

        const bool moved = step(268, [&] { data.MoveNext(); });
        if (m_buffer.size() >= FlushThreshold)
            flush();
        if (!moved)
            break;
    }
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
    const QByteArray bytes = QByteArray::fromRawData(m_buffer.data(), qsizetype(m_buffer.size()));
    const bool written = m_engine.appendToBackup(*m_file, m_gzip ? m_gzip->feed(bytes) : bytes);
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

void IntervalSave::Reports::errorReport(const QString& text)
{
    if (m_engine.m_stop && m_engine.m_stop->requested())
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
    proc.run(100, [&] { file.setFileName(path); });
    int branch = 0;
    proc.run(102, [&] { branch = mode; });
    if (branch == 1) {
        bool isOpen = false;
        proc.run(104, [&] {
            if (!file.open(QIODevice::ReadOnly))
                throw Failure(file.errorString(), 53);
            isOpen = true;
        });
        proc.run(108, [&] {
            if (!isOpen)
                throw Failure(FileNotOpen, 52);
            const QByteArray bytes = readScriptBytes(file, path); // plain or gzip, told by the first bytes
            if (file.error() != QFileDevice::NoError)
                throw Failure(file.errorString(), 62);
            text = decodeScript(bytes);
        });
        proc.run(110, [&] {
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
    proc.run(100, [&] { file.setFileName(path); });
    proc.run(102, [] {});
    const bool written = appendSteps(proc, file, bytes);
    if (proc.failed())
        noteFailure(proc.firstFailure());
    return written && !proc.failed();
}

bool IntervalSave::appendToBackup(BackupFile& file, const QByteArray& bytes)
{
    ReportingProcedure proc(m_reports, ModuleName, u"FileCont"_s);
    proc.run(100, [] {});
    proc.run(102, [] {});
    bool isOpen = file.isCreated();
    bool written = false;
    proc.run(124, [&] {
        file.create();
        isOpen = true;
    });
    proc.run(128, [&] {
        if (!isOpen)
            throw Failure(FileNotOpen, 52);
        file.append(bytes);
        written = true;
    });
    // 130: the working file stays open until the dump commits or abandons it.
    proc.run(130, [] {});
    if (proc.failed())
        noteFailure(proc.firstFailure());
    return written && !proc.failed();
}

void IntervalSave::WriteBackupLog(const QString& line)
{
    QFile file(backupLogPath());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        throw Failure(file.errorString(), 75);
    QByteArray bytes = line.toUtf8();
    bytes.append("\r\n");
    if (file.write(bytes) != bytes.size() || !file.flush())
        throw Failure(file.errorString(), 61);
}

QString IntervalSave::backupLogPath() const
{
    if (!m_context.logPath.isEmpty())
        return m_context.logPath;
    QString folder = qEnvironmentVariable("TEMP");
    if (folder.isEmpty())
        folder = QDir::tempPath();
    return folder + u"/backups.log"_s;
}

QString IntervalSave::StampedFileName(const QString& databaseName) const
{
    // The date and the time each come from a reading of their own, the date first.
    const QDate date = m_context.clock.now().date();
    const QTime time = m_context.clock.now().time();
    const int hour12 = time.hour() % 12 == 0 ? 12 : time.hour() % 12;
    return BackupFile::fileNameStem(databaseName) + u' ' + date.toString(u"yyyy-MM-dd "_s) + QString::number(hour12)
        + QString::number(time.minute()).rightJustified(2, u'0') + (time.hour() < 12 ? u"AM"_s : u"PM"_s) + u".sql"_s;
}
