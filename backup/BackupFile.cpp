#include "BackupFile.h"

#include "Failure.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QThread>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

const QString BackupFile::WorkingSuffix = u".partial"_s;

namespace {

// Error numbers of the failures, as the file writer reports them elsewhere.
constexpr int PathError = 76;
constexpr int WriteError = 61;
constexpr int LockError = 70;

constexpr std::size_t CopyChunk = 1024 * 1024;
constexpr int LockPollMs = 20;
/** Written data is handed to the disk in stretches of this size while the dump goes on, so the final sync is short. */
constexpr qint64 WritebackStretch = 32 * 1024 * 1024;

/** The system's text for the last error ("No space left on device"). */
Failure systemFailure(int number)
{
    return Failure(QString::fromLocal8Bit(std::strerror(errno)), number);
}

QByteArray nativePath(const QString& path)
{
    return QFile::encodeName(path);
}

/** Creates a new file "<base>.<unique>.partial" with mode 0600; returns its descriptor and sets `path`. */
int createUnique(const QString& base, QString& path)
{
    for (int attempt = 0;; ++attempt) {
        const QString token = QString::number(qint64(::getpid())) + u'-'
            + QString::number(QRandomGenerator::global()->generate(), 16).rightJustified(8, u'0');
        path = base + u'.' + token + BackupFile::WorkingSuffix;
        const int fd = ::open(nativePath(path).constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            // Held as long as this process has the file open: a later backup leaves it alone while it is.
            ::flock(fd, LOCK_EX | LOCK_NB);
            return fd;
        }
        if (errno != EEXIST || attempt >= 16)
            throw systemFailure(PathError);
    }
}

void syncOrThrow(int fd)
{
    if (::fsync(fd) != 0)
        throw systemFailure(WriteError);
}

/** An open file descriptor that closes itself. */
class Descriptor
{
public:
    explicit Descriptor(int fd = -1)
        : m_fd(fd)
    { }
    ~Descriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return m_fd; }
    /** Closes now, reporting what a delayed write error close tells. */
    void close()
    {
        const int fd = m_fd;
        m_fd = -1;
        if (fd >= 0 && ::close(fd) != 0)
            throw systemFailure(WriteError);
    }

private:
    int m_fd;
};

/** Copies the whole content of `from` (read from its start) to the end of `to`. */
void copyAll(int from, int to, const std::function<void(int, const char*, std::size_t)>& write)
{
    QByteArray chunk(qsizetype(CopyChunk), Qt::Uninitialized);
    off_t offset = 0;
    for (;;) {
        const ssize_t got = ::pread(from, chunk.data(), CopyChunk, offset);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throw systemFailure(PathError);
        }
        if (got == 0)
            return;
        write(to, chunk.constData(), std::size_t(got));
        offset += got;
    }
}

} // namespace

BackupFile::BackupFile(QString finalPath, std::unique_ptr<ByteStage> stage)
    : m_finalPath(std::move(finalPath))
    , m_stage(std::move(stage))
{ }

BackupFile::~BackupFile()
{
    if (!m_committed)
        abandon();
}

void BackupFile::create()
{
    if (m_fd >= 0)
        return;
    m_fd = createUnique(m_finalPath, m_workingPath);
}

void BackupFile::writeAll(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            throw systemFailure(WriteError);
        }
        data += written;
        size -= std::size_t(written);
    }
}

void BackupFile::append(const char* data, std::size_t size)
{
    if (m_fd < 0)
        throw Failure(u"The file is not open."_s, 52);
    if (m_stage) {
        const QByteArray staged = m_stage->put(data, size);
        writeAll(m_fd, staged.constData(), std::size_t(staged.size()));
        m_written += staged.size();
    } else {
        writeAll(m_fd, data, size);
        m_written += qint64(size);
    }
    if (m_written - m_writebackAsked >= WritebackStretch)
        startWriteback();
}

void BackupFile::startWriteback()
{
    // Without this the whole file waits in memory until the commit's sync, which then holds the window for as long as
    // the disk needs for all of it. Asking early costs no waiting: the system starts writing and the dump goes on.
#ifdef Q_OS_LINUX
    ::sync_file_range(m_fd, m_writebackAsked, m_written - m_writebackAsked, SYNC_FILE_RANGE_WRITE);
#endif
    m_writebackAsked = m_written;
}

void BackupFile::commit(int lockWaitMs, const std::function<void()>& whileWaiting)
{
    if (m_fd < 0)
        throw Failure(u"The file is not open."_s, 52);
    if (m_stage) {
        const QByteArray last = m_stage->finish();
        writeAll(m_fd, last.constData(), std::size_t(last.size()));
    }
    syncOrThrow(m_fd);

    // Commits into one folder take turns: the existing file is read and replaced by one at a time.
    const QString folder = QFileInfo(m_finalPath).absolutePath();
    Descriptor folderFd(::open(nativePath(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folderFd.get() < 0)
        throw systemFailure(PathError);
    const QDeadlineTimer deadline(lockWaitMs);
    while (::flock(folderFd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR)
            throw systemFailure(LockError);
        if (deadline.hasExpired())
            throw Failure(u"Another backup is saving into the folder %1; this backup waited %2 seconds for it and "
                          u"gave up."_s.arg(folder, QString::number(lockWaitMs / 1000.0, 'g', 3)),
                          LockError);
        if (whileWaiting)
            whileWaiting();
        QThread::msleep(LockPollMs);
    }
    // The lock ends when folderFd closes.

    const QByteArray target = nativePath(m_finalPath);
    Descriptor existing(::open(target.constData(), O_RDONLY | O_CLOEXEC));
    if (existing.get() < 0 && errno != ENOENT)
        throw systemFailure(PathError);

    if (existing.get() < 0) {
        if (::rename(nativePath(m_workingPath).constData(), target.constData()) != 0)
            throw systemFailure(PathError);
    } else {
        // The same name already holds a backup: the old content, then this one, in a new file that replaces it.
        QString combinedPath;
        Descriptor combined(createUnique(m_finalPath, combinedPath));
        try {
            const auto write = [this](int fd, const char* data, std::size_t size) { writeAll(fd, data, size); };
            copyAll(existing.get(), combined.get(), write);
            copyAll(m_fd, combined.get(), write);
            syncOrThrow(combined.get());
            combined.close();
            if (::rename(nativePath(combinedPath).constData(), target.constData()) != 0)
                throw systemFailure(PathError);
        } catch (...) {
            ::unlink(nativePath(combinedPath).constData());
            throw;
        }
        ::unlink(nativePath(m_workingPath).constData());
    }
    m_committed = true;
    ::close(m_fd);
    m_fd = -1;
    // The new name itself becomes durable with the folder.
    syncOrThrow(folderFd.get());
}

void BackupFile::abandon() noexcept
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (!m_committed && !m_workingPath.isEmpty())
        ::unlink(nativePath(m_workingPath).constData());
    m_workingPath.clear();
}

bool BackupFile::isWorkingFile(const QString& path)
{
    return path.endsWith(WorkingSuffix, Qt::CaseInsensitive);
}

bool BackupFile::isWorkingFileHeld(const QString& path)
{
    Descriptor fd(::open(nativePath(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (fd.get() < 0)
        return false;
    // A lock of another open file stands in the way of this one, in this process as in any other.
    if (::flock(fd.get(), LOCK_SH | LOCK_NB) != 0)
        return errno == EWOULDBLOCK;
    ::flock(fd.get(), LOCK_UN);
    return false;
}

QString BackupFile::safeFileName(const QString& name)
{
    // NUL and "/" cannot be part of a file name here; Windows also refuses \ : * ? " < > |.
#ifdef Q_OS_WIN
    static constexpr QStringView Unsafe = u"/\\:*?\"<>|";
#else
    static constexpr QStringView Unsafe = u"/";
#endif
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
