#include "ParallelRestore.h"

#include "Clock.h"
#include "Gzip.h"
#include "RestorePlan.h"
#include "RestoreSession.h"
#include "ScriptRestore.h"
#include "ScriptTextDecoder.h"
#include "StopRequest.h"

#include <QDir>
#include <QFile>
#include <QStorageInfo>
#include <QStringDecoder>
#include <QTemporaryFile>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr qint64 ReadPiece = 256 * 1024;

/** Calls `each` with the batches of a stretch of the file, in order, until it returns false. */
template <typename Each> void forEachBatch(const QString& path, const ScriptRange& range, bool ownFormat, Each each)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(range.firstByte))
        throw Failure(u"The restore script could not be read: "_s + file.errorString(), 62);
    ScriptTextDecoder decoder;
    ScriptBatcher batcher;
    batcher.resumeAt(ownFormat, range.firstLine, range.firstByte);
    QByteArray piece(ReadPiece, Qt::Uninitialized);
    for (qint64 left = range.bytes(); left > 0;) {
        const qint64 read = file.read(piece.data(), qMin(left, ReadPiece));
        if (read <= 0)
            throw Failure(u"The restore script could not be read: "_s + file.errorString(), 62);
        left -= read;
        batcher.feed(QString(decoder.decode(QByteArrayView(piece.constData(), read))));
        while (batcher.hasBatch())
            if (!each(batcher.takeBatch()))
                return;
    }
    batcher.finish();
    while (batcher.hasBatch())
        if (!each(batcher.takeBatch()))
            return;
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
           const RestoreOptions& options)
        : m_plan(plan)
        , m_path(path)
        , m_serial(serial, options.transform)
        , m_factory(factory)
        , m_connectionString(connectionString)
        , m_options(options)
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
        report({});
    }

private:
    void runSerial(const ScriptRange& range)
    {
        forEachBatch(m_path, range, m_plan.ownFormat, [&](const ScriptBatch& batch) {
            ThrowIfStopped(m_options);
            send(m_serial, batch);
            m_shared.rows += batch.onlyInserts ? batch.rows : 0;
            m_shared.bytes += ScriptBatcher::utf8Length(batch.text);
            report({});
            return true;
        });
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
    qint64 m_startMs;
    Shared m_shared;
};

} // namespace

void RunRestorePlan(const RestorePlan& plan,
                    const QString& path,
                    Connection& serial,
                    ConnectionFactory& factory,
                    const QString& connectionString,
                    const RestoreOptions& options)
{
    Runner(plan, path, serial, factory, connectionString, options).run();
}

std::unique_ptr<QTemporaryFile> ExpandScript(const QString& path, qint64 size)
{
    const QString folder = QDir::tempPath();
    const QStorageInfo storage(folder);
    // Room for the script and a little more: a full disk fails other programs too.
    const qint64 margin = 64LL * 1024 * 1024;
    if (storage.isValid() && storage.bytesAvailable() < size + margin)
        throw Failure(u"Not enough room in %1 to decompress the script for several connections: %2 MiB are needed, "
                      u"%3 MiB are free. Restore with one connection, or make room."_s.arg(folder)
                          .arg((size + margin) / (1024 * 1024))
                          .arg(storage.bytesAvailable() / (1024 * 1024)),
                      28);
    // QTemporaryFile makes its file readable and writable by its owner only.
    auto expanded = std::make_unique<QTemporaryFile>(folder + u"/tessaline-restore-XXXXXX.sql"_s);
    if (!expanded->open())
        throw Failure(u"The decompressed script could not be written: "_s + expanded->errorString(), 75);
    const std::unique_ptr<QIODevice> source = openScriptFile(path);
    QByteArray piece(ReadPiece, Qt::Uninitialized);
    for (;;) {
        const qint64 read = source->read(piece.data(), piece.size());
        if (read < 0)
            throw Failure(source->errorString(), 62);
        if (read == 0)
            break;
        if (expanded->write(piece.constData(), read) != read)
            throw Failure(u"The decompressed script could not be written: "_s + expanded->errorString(), 75);
    }
    if (!expanded->flush())
        throw Failure(u"The decompressed script could not be written: "_s + expanded->errorString(), 75);
    return expanded;
}
