#include "BackupFile.h"
#include "BackupName.h"

#include "BackupFilePlatform.h"
#include "Failure.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QThread>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

using namespace Qt::Literals::StringLiterals;
using namespace BackupFileOs;

namespace {

constexpr int LockPollMs = 20;
/** While the caller waits for the writer thread, `whileWaiting` runs at least this often. */
constexpr auto WaitSlice = std::chrono::milliseconds(10);
/** Written data is handed to the disk in stretches of this size while the dump goes on, so the final sync is short. */
constexpr qint64 WritebackStretch = 32 * 1024 * 1024;

/** An open file that closes itself. */
class Descriptor
{
public:
    explicit Descriptor(FileHandle fd = NoFile)
        : m_fd(fd)
    { }
    ~Descriptor() { closeQuietly(m_fd); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    FileHandle get() const { return m_fd; }
    /** Closes now, reporting what a delayed write error close tells. */
    void close() { closeOrThrow(std::exchange(m_fd, NoFile)); }

private:
    FileHandle m_fd;
};

} // namespace

/**
 * The writer thread of one backup file: runs its jobs (buffers to write, tasks) one after the other in the order
 * given, keeps the first failure and runs nothing after it.
 */
class BackupFileWriter
{
public:
    explicit BackupFileWriter(std::function<void(const QByteArray&)> writeBuffer)
        : m_writeBuffer(std::move(writeBuffer))
        , m_thread([this] { loop(); })
    { }
    ~BackupFileWriter()
    {
        {
            const std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }
    BackupFileWriter(const BackupFileWriter&) = delete;
    BackupFileWriter& operator=(const BackupFileWriter&) = delete;

    /** An empty buffer with room for a whole one, from those already written when there is one. */
    QByteArray spareBuffer()
    {
        {
            const std::lock_guard lock(m_mutex);
            if (!m_spare.empty()) {
                QByteArray buffer = std::move(m_spare.back());
                m_spare.pop_back();
                return buffer;
            }
        }
        QByteArray buffer;
        buffer.reserve(qsizetype(BackupFile::BufferBytes));
        return buffer;
    }

    /** Queues a full buffer; waits first (running `whileWaiting`) while BuffersInFlight buffers are queued. */
    void postBuffer(QByteArray buffer, const std::function<void()>& whileWaiting)
    {
        std::unique_lock lock(m_mutex);
        waitLocked(lock, whileWaiting, [this] { return m_buffersQueued < BackupFile::BuffersInFlight || m_failure; });
        throwFailureLocked();
        m_jobs.push_back({std::move(buffer), {}});
        ++m_buffersQueued;
        m_busy.fetch_add(1, std::memory_order_release);
        lock.unlock();
        m_wake.notify_one();
    }

    /** Runs `task` after every job queued before it and waits for its end; throws the first failure. */
    void run(std::function<void()> task, const std::function<void()>& whileWaiting)
    {
        std::unique_lock lock(m_mutex);
        throwFailureLocked();
        const qint64 ticket = ++m_posted;
        m_jobs.push_back({QByteArray(), std::move(task), ticket});
        lock.unlock();
        m_wake.notify_one();
        lock.lock();
        waitLocked(lock, whileWaiting, [this, ticket] { return m_completed >= ticket || m_failure; });
        throwFailureLocked();
    }

    /** True when the writer thread has nothing to do: the disk is free for what the caller holds. */
    bool isIdle() const { return m_busy.load(std::memory_order_acquire) == 0; }

    void throwFailure()
    {
        // The common case, no failure, takes no lock: the writer thread may hold it while the caller appends.
        if (!m_failed.load(std::memory_order_acquire))
            return;
        const std::lock_guard lock(m_mutex);
        throwFailureLocked();
    }

    /** Drops the queued jobs; the one running ends as it would. */
    void cancel()
    {
        const std::lock_guard lock(m_mutex);
        m_jobs.clear();
    }

private:
    struct Job
    {
        QByteArray buffer;
        std::function<void()> task;
        qint64 ticket = 0;
    };

    template <typename Done>
    void waitLocked(std::unique_lock<std::mutex>& lock, const std::function<void()>& whileWaiting, Done done)
    {
        while (!done()) {
            if (!whileWaiting) {
                m_done.wait(lock, done);
                return;
            }
            if (m_done.wait_for(lock, WaitSlice, done))
                return;
            lock.unlock();
            whileWaiting();
            lock.lock();
        }
    }

    void throwFailureLocked() const
    {
        if (m_failure)
            std::rethrow_exception(m_failure);
    }

    void loop()
    {
        // The window's thread goes first when both want the processor: the disk can wait a moment, the window not.
        lowerThreadPriority();
        for (;;) {
            Job job;
            bool failed = false;
            {
                std::unique_lock lock(m_mutex);
                m_wake.wait(lock, [this] { return !m_jobs.empty() || m_stopping; });
                if (m_jobs.empty())
                    return;
                job = std::move(m_jobs.front());
                m_jobs.pop_front();
                failed = bool(m_failure);
            }
            std::exception_ptr failure;
            if (!failed) {
                try {
                    if (job.task)
                        job.task();
                    else
                        m_writeBuffer(job.buffer);
                } catch (...) {
                    failure = std::current_exception();
                }
            }
            {
                const std::lock_guard lock(m_mutex);
                if (failure && !m_failure) {
                    m_failure = failure;
                    m_failed.store(true, std::memory_order_release);
                }
                if (job.task) {
                    m_completed = job.ticket;
                } else {
                    --m_buffersQueued;
                    m_busy.fetch_sub(1, std::memory_order_release);
                    job.buffer.resize(0); // keeps its room for the next buffer
                    if (m_spare.size() < 2)
                        m_spare.push_back(std::move(job.buffer));
                }
            }
            m_done.notify_all();
        }
    }

    std::function<void(const QByteArray&)> m_writeBuffer;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_done;
    std::deque<Job> m_jobs;
    std::vector<QByteArray> m_spare;
    int m_buffersQueued = 0;
    qint64 m_posted = 0;
    qint64 m_completed = 0;
    std::exception_ptr m_failure;
    std::atomic<bool> m_failed = false;
    std::atomic<int> m_busy = 0; ///< buffers queued or being written
    bool m_stopping = false;
    std::thread m_thread; // last: it starts when everything above is ready
};

BackupFile::BackupFile(QString finalPath, std::unique_ptr<ByteStage> stage, WhenExists whenExists)
    : m_finalPath(std::move(finalPath))
    , m_stage(std::move(stage))
    , m_whenExists(whenExists)
{ }

BackupFile::~BackupFile()
{
    if (!m_committed)
        abandon();
}

void BackupFile::create()
{
    if (m_fd != NoFile)
        return;
    m_fd = createUnique(m_finalPath, m_workingPath);
    m_writer = std::make_unique<BackupFileWriter>([this](const QByteArray& buffer) {
        if (m_stage) {
            const QByteArray staged = m_stage->put(buffer.constData(), std::size_t(buffer.size()));
            writeAll(m_fd, staged.constData(), std::size_t(staged.size()));
            m_written += staged.size();
        } else {
            writeAll(m_fd, buffer.constData(), std::size_t(buffer.size()));
            m_written += buffer.size();
        }
        if (m_written - m_writebackAsked >= WritebackStretch)
            startWriteback();
    });
    m_filling = m_writer->spareBuffer();
}

void BackupFile::append(const char* data, std::size_t size)
{
    if (m_fd == NoFile || m_finished)
        throw Failure(u"The file is not open."_s, 52);
    m_writer->throwFailure();
    while (size > 0) {
        const std::size_t room = BufferBytes - std::size_t(m_filling.size());
        const std::size_t part = std::min(room, size);
        m_filling.append(data, qsizetype(part));
        data += part;
        size -= part;
        if (std::size_t(m_filling.size()) >= BufferBytes)
            handOver();
    }
    // While the writer thread is idle the disk is free: it gets what there is at once, so a dump that goes slowly
    // still reaches its file as it goes, and one that goes fast fills whole buffers while the thread is busy.
    if (!m_filling.isEmpty() && m_writer->isIdle())
        handOver();
}

void BackupFile::handOver()
{
    if (m_filling.isEmpty())
        return;
    QByteArray full = std::exchange(m_filling, m_writer->spareBuffer());
    m_writer->postBuffer(std::move(full), m_whileWaiting);
}

void BackupFile::runOnWriter(std::function<void()> task, const std::function<void()>& whileWaiting)
{
    m_writer->run(std::move(task), whileWaiting ? whileWaiting : m_whileWaiting);
}

void BackupFile::startWriteback()
{
    // Without this the whole file waits in memory until the commit's sync, which then takes as long as the disk
    // needs for all of it. Asking early costs the writer thread no waiting: the system starts writing.
    BackupFileOs::startWriteback(m_fd, m_writebackAsked, m_written - m_writebackAsked);
    m_writebackAsked = m_written;
}

void BackupFile::finishWriting()
{
    if (m_fd == NoFile)
        throw Failure(u"The file is not open."_s, 52);
    if (m_finished) {
        m_writer->throwFailure();
        return;
    }
    handOver();
    m_finished = true;
    runOnWriter(
        [this] {
            if (m_stage) {
                const QByteArray last = m_stage->finish();
                writeAll(m_fd, last.constData(), std::size_t(last.size()));
            }
        },
        {});
}

void BackupFile::commit(int lockWaitMs, const std::function<void()>& whileWaiting)
{
    if (m_fd == NoFile)
        throw Failure(u"The file is not open."_s, 52);
    finishWriting();
    runOnWriter([this] { syncOrThrow(m_fd); }, whileWaiting);

    // Commits into one folder take turns: the existing file is read and replaced by one at a time.
    const QString folder = QFileInfo(m_finalPath).absolutePath();
    FolderLock folderLock(folder);
    const QDeadlineTimer deadline(lockWaitMs);
    while (!folderLock.tryLock()) {
        if (deadline.hasExpired())
            throw Failure(u"Another backup is saving into the folder %1; this backup waited %2 seconds for it and "
                          u"gave up."_s.arg(folder, QString::number(lockWaitMs / 1000.0, 'g', 3)),
                          LockError);
        if (whileWaiting)
            whileWaiting();
        QThread::msleep(LockPollMs);
    }
    // The lock ends when folderLock goes, after the writer thread has put the file in place.
    runOnWriter([this, &folderLock] { commitOnWriter(folderLock); }, whileWaiting);
}

void BackupFile::commitOnWriter(FolderLock& folder)
{
    Descriptor existing(m_whenExists == WhenExists::Append ? openExisting(m_finalPath) : NoFile);
    if (existing.get() == NoFile) {
        replaceFile(m_workingPath, m_finalPath);
    } else {
        // The same name already holds a backup: the old content, then this one, in a new file that replaces it.
        QString combinedPath;
        Descriptor combined(createUnique(m_finalPath, combinedPath));
        try {
            copyAll(existing.get(), combined.get());
            copyAll(m_fd, combined.get());
            syncOrThrow(combined.get());
            combined.close();
            // The old file is closed before it is replaced: Windows replaces no file that is open.
            existing.close();
            replaceFile(combinedPath, m_finalPath);
        } catch (...) {
            removeFile(combinedPath);
            throw;
        }
        removeFile(m_workingPath);
    }
    m_committed = true;
    closeQuietly(std::exchange(m_fd, NoFile));
    // The new name itself becomes durable with the folder.
    folder.sync();
}

void BackupFile::abandon() noexcept
{
    if (m_writer) {
        m_writer->cancel();
        m_writer.reset(); // waits for the job that runs
    }
    m_filling.clear();
    closeQuietly(std::exchange(m_fd, NoFile));
    if (!m_committed && !m_workingPath.isEmpty())
        removeFile(m_workingPath);
    m_workingPath.clear();
}

bool BackupFile::isWorkingFile(const QString& path)
{
    return path.endsWith(BackupName::WorkingSuffix, Qt::CaseInsensitive);
}

bool BackupFile::isWorkingFileHeld(const QString& path)
{
    return BackupFileOs::isWorkingFileHeld(path);
}

QString BackupFile::safeFileName(const QString& name)
{
    const QStringView Unsafe = unsafeFileNameCharacters();
    QString safe = name;
    for (QChar& c : safe) {
        if (c.unicode() < 0x20 || Unsafe.contains(c))
            c = u'_';
    }
    return safe;
}

QString BackupFile::fileNameStem(const QString& databaseName)
{
    const QString safe = safeFileName(databaseName);
    if (safe.toUtf8().size() <= MaxNameStemBytes)
        return safe;
    // The hash is of the name itself, so that names that differ only in characters made "_" stay apart as well.
    const QString hash = QString::fromLatin1(
        QCryptographicHash::hash(databaseName.toUtf8(), QCryptographicHash::Sha256).toHex().left(12));
    const qsizetype room = MaxNameStemBytes - 1 - hash.size();
    QString stem;
    qsizetype bytes = 0;
    for (qsizetype i = 0; i < safe.size();) {
        // One character at a time, a surrogate pair whole.
        const qsizetype length = safe.at(i).isHighSurrogate() && i + 1 < safe.size() ? 2 : 1;
        const qsizetype size = QStringView(safe).mid(i, length).toUtf8().size();
        if (bytes + size > room)
            break;
        stem += QStringView(safe).mid(i, length);
        bytes += size;
        i += length;
    }
    return stem + u'~' + hash;
}
