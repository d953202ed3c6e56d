#include "ParallelRestore.h"

#include "Clock.h"
#include "Gzip.h"
#include "RestoreOptions.h"
#include "RestorePlan.h"
#include "RestoreSession.h"
#include "ScriptReader.h"
#include "StopRequest.h"

#include <QDir>
#include <QFile>
#include <QStorageInfo>
#include <QTemporaryFile>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

using namespace Qt::Literals::StringLiterals;

namespace {

const QString ReadFailure = u"The restore script could not be read: "_s;

/**
 * The device and the batcher for a stretch of the script. A stretch from the script's start is read as the script is:
 * through gzip when it is compressed, the batcher telling the program's own format from the header. Any other stretch
 * is a batch boundary of the plain file, where the batcher resumes.
 */
std::unique_ptr<QIODevice>
openStretch(const QString& path, const ScriptRange& range, bool ownFormat, ScriptBatcher& batcher)
{
    if (range.firstByte == 0)
        return openScriptFile(path);
    auto file = std::make_unique<QFile>(path);
    if (!file->open(QIODevice::ReadOnly) || !file->seek(range.firstByte))
        throw Failure(ReadFailure + file->errorString(), 62);
    batcher.resumeAt(ownFormat, range.firstLine, range.firstByte);
    return file;
}

/** Calls `each` with the batches of a stretch of the file, in order, until it returns false. */
template <typename Each> void forEachBatch(const QString& path, const ScriptRange& range, bool ownFormat, Each each)
{
    ScriptBatcher batcher;
    const std::unique_ptr<QIODevice> device = openStretch(path, range, ownFormat, batcher);
    ScriptReader(*device, batcher, range.bytes(), range.firstByte == 0, ReadFailure).forEachBatch(each);
}

/** Everything the connections of a restore share; the progress figures are read by the calling thread. */
struct Shared
{
    std::mutex mutex;
    std::condition_variable changed;
    std::exception_ptr failure; ///< the first
    std::atomic<bool> stop{false};
    std::atomic<qint64> rows{0};
    std::atomic<qint64> bytes{0};
    std::atomic<qint64> batches{0}; ///< the script's batches that went through, over every connection

    void fail(std::exception_ptr error)
    {
        const std::lock_guard lock(mutex);
        if (!failure)
            failure = std::move(error);
        stop = true;
        changed.notify_all();
    }
};

class Runner
{
public:
    Runner(const RestorePlan& plan,
           const QString& path,
           Connection& serial,
           ConnectionFactory& factory,
           const QString& connectionString,
           const RestoreOptions& options,
           ReadStep readStep)
        : m_plan(plan)
        , m_path(path)
        , m_serial(serial, options.transform)
        , m_factory(factory)
        , m_connectionString(connectionString)
        , m_options(options)
        , m_readStep(std::move(readStep))
        , m_startMs(options.clock ? options.clock->monotonicMs() : 0)
    { }

    void run()
    {
        for (const RestoreStep& step : m_plan.steps) {
            if (step.kind == RestoreStep::Kind::Serial)
                runSerial(step.range);
            else
                runTables(step);
        }
        if (m_shared.batches == 0)
            throw Failure(u"The restore script is empty."_s);
        // Every batch went through: the lines between them (GO lines, blank lines) are done too. A serial step that
        // ends the script has said so with its last batch.
        const bool saidAtTheEnd
            = m_plan.steps.back().kind == RestoreStep::Kind::Serial && m_shared.bytes >= m_plan.bytes;
        if (!saidAtTheEnd) {
            m_shared.bytes = m_plan.bytes;
            report({});
        }
    }

private:
    void runSerial(const ScriptRange& range)
    {
        ScriptBatcher batcher;
        const std::unique_ptr<QIODevice> device = openStretch(m_path, range, m_plan.ownFormat, batcher);
        ScriptReader reader(*device, batcher, range.bytes(), range.firstByte == 0, ReadFailure);
        for (bool more = true; more;) {
            if (m_readStep)
                m_readStep([&] { more = reader.readPiece(); });
            else
                more = reader.readPiece();
            while (batcher.hasBatch()) {
                ThrowIfStopped(m_options);
                const ScriptBatch batch = batcher.takeBatch();
                send(m_serial, batch);
                m_shared.rows += batch.onlyInserts ? batch.rows : 0;
                // On one connection the bytes done are the batch's end in the file; what lies between batches (GO
                // lines, blank lines) counts as done with the batch before it, and the stretch with its last batch.
                const qint64 end = !more && !batcher.hasBatch()
                    ? range.endByte
                    : batch.firstByte + ScriptBatcher::utf8Length(batch.text);
                m_shared.bytes = std::max(m_shared.bytes.load(), end);
                report({});
            }
        }
    }

    void runTables(const RestoreStep& step)
    {
        const std::size_t count = std::min<std::size_t>(std::max(m_options.jobs, 1), step.tables.size());
        std::atomic<std::size_t> next{0};
        std::vector<QString> current(count);
        std::size_t running = count;
        // A stop from outside ends every connection after its batch, as a failure does; the batches that wait on
        // the server are cancelled by each connection's own hook.
        const StopRequest::Hook stopAll = m_options.stop ? m_options.stop->onStop([this] {
            m_shared.stop = true;
            m_shared.changed.notify_all();
        })
                                                         : StopRequest::Hook();
        std::vector<std::thread> threads;
        threads.reserve(count);
        for (std::size_t w = 0; w < count; ++w) {
            threads.emplace_back([&, w] {
                try {
                    work(step, next, [&](const QString& table) {
                        const std::lock_guard lock(m_shared.mutex);
                        current[w] = table;
                    });
                } catch (...) {
                    m_shared.fail(std::current_exception());
                }
                const std::lock_guard lock(m_shared.mutex);
                current[w].clear();
                --running;
                m_shared.changed.notify_all();
            });
        }
        // This thread reports while the connections work: the window's events and the progress stay here.
        for (;;) {
            QStringList tables;
            bool done = false;
            {
                std::unique_lock lock(m_shared.mutex);
                m_shared.changed.wait_for(lock, std::chrono::milliseconds(250));
                done = running == 0;
                for (const QString& table : current)
                    tables.append(table);
            }
            if (done)
                break;
            try {
                report(tables);
            } catch (...) {
                // A window that ends the restore from its events: the connections stop as for a failure.
                m_shared.fail(std::current_exception());
            }
        }
        for (std::thread& thread : threads)
            thread.join();
        ThrowIfStopped(m_options);
        if (m_shared.failure)
            std::rethrow_exception(m_shared.failure);
    }

    /** One connection: tables until none is left or another connection failed. */
    template <typename Show> void work(const RestoreStep& step, std::atomic<std::size_t>& next, Show show)
    {
        // An early failure releases the connection without Close; releasing closes it.
        std::unique_ptr<Connection> connection;
        StopRequest::Hook cancel; // after the connection: it goes first
        std::unique_ptr<RestoreSession> session;
        for (;;) {
            const std::size_t index = next++;
            if (index >= step.tables.size() || m_shared.stop)
                break;
            const TableLoad& table = step.tables[index];
            if (!connection) {
                connection = m_factory.createConnection();
                if (m_options.stop)
                    cancel = m_options.stop->onStop([c = connection.get()] { c->cancel(); });
                connection->Open(m_connectionString);
                const bool ownUse = !m_options.tablesUse.isEmpty();
                session
                    = std::make_unique<RestoreSession>(*connection, ownUse ? BatchTransform() : m_options.transform);
                const QString& context = ownUse ? m_options.tablesUse : step.context;
                if (!context.isEmpty()) {
                    ScriptBatch use;
                    use.text = context;
                    use.firstLine = table.range.firstLine;
                    use.statements = 1;
                    use.hasUse = true;
                    send(*session, use, false);
                }
            }
            show(table.table);
            forEachBatch(m_path, table.range, m_plan.ownFormat, [&](const ScriptBatch& batch) {
                send(*session, batch);
                m_shared.rows += batch.onlyInserts ? batch.rows : 0;
                m_shared.bytes += ScriptBatcher::utf8Length(batch.text);
                return !m_shared.stop;
            });
        }
        if (connection)
            connection->Close();
    }

    /**
     * Sends a batch on one connection. A batch that fails is reported with the batches that all connections ran
     * before it; the USE that a table connection begins with is not one of the script's and is not counted.
     */
    void send(RestoreSession& session, const ScriptBatch& batch, bool ofTheScript = true)
    {
        try {
            session.send(batch);
        } catch (ScriptBatchError& error) {
            error.setBatchesBefore(m_shared.batches);
            throw;
        }
        if (ofTheScript)
            ++m_shared.batches;
    }

    void report(const QStringList& tables)
    {
        if (!m_options.progress && !m_options.letEventsRun)
            return;
        RestoreProgress progress;
        progress.bytesTotal = m_plan.bytes;
        progress.bytesDone = qMin(m_shared.bytes.load(), m_plan.bytes);
        progress.rowsDone = m_shared.rows;
        progress.rowsTotal = m_plan.rows;
        progress.tables = tables;
        if (m_options.clock)
            progress.elapsedMs = m_options.clock->monotonicMs() - m_startMs;
        if (m_options.progress)
            m_options.progress(progress);
        if (m_options.letEventsRun)
            m_options.letEventsRun();
    }

    const RestorePlan& m_plan;
    const QString& m_path;
    RestoreSession m_serial;
    ConnectionFactory& m_factory;
    const QString& m_connectionString;
    const RestoreOptions& m_options;
    ReadStep m_readStep;
    qint64 m_startMs;
    Shared m_shared;
};

} // namespace

void RunRestorePlan(const RestorePlan& plan,
                    const QString& path,
                    Connection& serial,
                    ConnectionFactory& factory,
                    const QString& connectionString,
                    const RestoreOptions& options,
                    const ReadStep& readStep)
{
    Runner(plan, path, serial, factory, connectionString, options, readStep).run();
}

namespace {

/** Room left in the temporary folder after the decompressed script: a full disk fails other programs too. */
constexpr qint64 RoomMargin = 64LL * 1024 * 1024;

Failure notEnoughRoom(const QString& folder, qint64 size, qint64 available)
{
    return Failure(u"Not enough room in %1 to decompress the script for several connections: %2 MiB are needed, "
                   u"%3 MiB are free. Restore with one connection, or make room."_s.arg(folder)
                       .arg((size + RoomMargin) / (1024 * 1024))
                       .arg(available / (1024 * 1024)),
                   28);
}

Failure notWritten(const QIODevice& file)
{
    return Failure(u"The decompressed script could not be written: "_s + file.errorString(), 75);
}

} // namespace

std::unique_ptr<QTemporaryFile> ExpandScript(const QString& path, qint64 size)
{
    const QString folder = QDir::tempPath();
    const QStorageInfo storage(folder);
    if (storage.isValid() && storage.bytesAvailable() < size + RoomMargin)
        throw notEnoughRoom(folder, size, storage.bytesAvailable());
    // QTemporaryFile makes its file readable and writable by its owner only.
    auto expanded = std::make_unique<QTemporaryFile>(folder + u"/tessaline-restore-XXXXXX.sql"_s);
    if (!expanded->open())
        throw notWritten(*expanded);
    const std::unique_ptr<QIODevice> source = openScriptFile(path);
    readThrough(*source, ScriptReader::ReadPiece, [&](QByteArrayView piece) {
        if (expanded->write(piece.data(), piece.size()) != piece.size())
            throw notWritten(*expanded);
    });
    if (!expanded->flush())
        throw notWritten(*expanded);
    return expanded;
}

/** Reads the script for the planner and writes what it read into the temporary file, while the room lasts. */
class ExpandedScript::Tee : public QIODevice
{
public:
    Tee(std::unique_ptr<QIODevice> source, QTemporaryFile& out)
        : m_source(std::move(source))
        , m_out(out)
        , m_storage(QDir::tempPath())
    {
        open(QIODevice::ReadOnly);
    }
    bool isSequential() const override { return true; }

    bool writeFailed = false;
    bool outOfRoom = false;

protected:
    qint64 readData(char* data, qint64 maxSize) override
    {
        const qint64 read = m_source->read(data, maxSize);
        if (read < 0)
            setErrorString(m_source->errorString());
        if (read <= 0 || writeFailed || outOfRoom)
            return read;
        // The folder's room is looked at every few MiB, with that much to spare.
        m_sinceCheck += read;
        if (m_sinceCheck >= CheckEvery || m_checks == 0) {
            ++m_checks;
            m_sinceCheck = 0;
            m_storage.refresh();
            outOfRoom = m_storage.isValid() && m_storage.bytesAvailable() < RoomMargin + CheckEvery;
            if (outOfRoom)
                return read;
        }
        writeFailed = m_out.write(data, read) != read;
        return read;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    static constexpr qint64 CheckEvery = 4LL * 1024 * 1024;
    std::unique_ptr<QIODevice> m_source;
    QTemporaryFile& m_out;
    QStorageInfo m_storage;
    qint64 m_sinceCheck = 0;
    int m_checks = 0;
};

ExpandedScript::ExpandedScript(const QString& path)
    : m_path(path)
    , m_file(std::make_unique<QTemporaryFile>(QDir::tempPath() + u"/tessaline-restore-XXXXXX.sql"_s))
{
    // QTemporaryFile makes its file readable and writable by its owner only.
    if (!m_file->open())
        throw notWritten(*m_file);
}

ExpandedScript::~ExpandedScript() = default;

RestorePlan ExpandedScript::readPlan()
{
    m_tee = std::make_unique<Tee>(openScriptFile(m_path), *m_file);
    RestorePlan plan = RestorePlan::read(*m_tee);
    m_size = plan.bytes;
    return plan;
}

std::unique_ptr<QTemporaryFile> ExpandedScript::takeFile()
{
    if (m_tee && m_tee->outOfRoom) {
        // Nothing of it is of use: the room it took is given back before the room is told.
        m_file.reset();
        const QString folder = QDir::tempPath();
        const QStorageInfo storage(folder);
        throw notEnoughRoom(folder, m_size, storage.bytesAvailable());
    }
    if (!m_tee || m_tee->writeFailed || !m_file->flush())
        throw notWritten(*m_file);
    return std::move(m_file);
}
