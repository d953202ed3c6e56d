// The POSIX side of BackupFile: descriptors, flock, fsync and rename.
#include "BackupFilePlatform.h"

#include "BackupFile.h"
#include "BackupName.h"
#include "Failure.h"

#include <QByteArray>
#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace BackupFileOs {

namespace {

constexpr std::size_t CopyChunk = 1024 * 1024;

/** The system's text for the last error ("No space left on device"). */
Failure systemFailure(int number)
{
    return Failure(QString::fromLocal8Bit(std::strerror(errno)), number);
}

QByteArray nativePath(const QString& path)
{
    return QFile::encodeName(path);
}

int fdOf(FileHandle file)
{
    return int(file);
}

} // namespace

FileHandle createUnique(const QString& base, QString& path)
{
    for (int attempt = 0;; ++attempt) {
        path = BackupName::working(base, qint64(::getpid()), QRandomGenerator::global()->generate());
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

void syncOrThrow(FileHandle file)
{
    if (::fsync(fdOf(file)) != 0)
        throw systemFailure(WriteError);
}

void closeOrThrow(FileHandle file)
{
    if (file != NoFile && ::close(fdOf(file)) != 0)
        throw systemFailure(WriteError);
}

void closeQuietly(FileHandle file) noexcept
{
    if (file != NoFile)
        ::close(fdOf(file));
}

void writeAll(FileHandle file, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fdOf(file), data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            throw systemFailure(WriteError);
        }
        data += written;
        size -= std::size_t(written);
    }
}

void copyAll(FileHandle from, FileHandle to)
{
    QByteArray chunk(qsizetype(CopyChunk), Qt::Uninitialized);
    off_t offset = 0;
    for (;;) {
        const ssize_t got = ::pread(fdOf(from), chunk.data(), CopyChunk, offset);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throw systemFailure(PathError);
        }
        if (got == 0)
            return;
        writeAll(to, chunk.constData(), std::size_t(got));
        offset += got;
    }
}

FileHandle openExisting(const QString& path)
{
    const int fd = ::open(nativePath(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno != ENOENT)
        throw systemFailure(PathError);
    return fd < 0 ? NoFile : fd;
}

void replaceFile(const QString& from, const QString& to)
{
    if (::rename(nativePath(from).constData(), nativePath(to).constData()) != 0)
        throw systemFailure(PathError);
}

void removeFile(const QString& path) noexcept
{
    ::unlink(nativePath(path).constData());
}

void startWriteback([[maybe_unused]] FileHandle file,
                    [[maybe_unused]] qint64 offset,
                    [[maybe_unused]] qint64 length) noexcept
{
#ifdef Q_OS_LINUX
    ::sync_file_range(fdOf(file), offset, length, SYNC_FILE_RANGE_WRITE);
#endif
}

void lowerThreadPriority() noexcept
{
#ifdef Q_OS_LINUX
    ::setpriority(PRIO_PROCESS, pid_t(::gettid()), ::getpriority(PRIO_PROCESS, pid_t(::gettid())) + 5);
#endif
}

bool isWorkingFileHeld(const QString& path)
{
    const int fd = ::open(nativePath(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    // A lock of another open file stands in the way of this one, in this process as in any other.
    bool held = false;
    if (::flock(fd, LOCK_SH | LOCK_NB) != 0)
        held = errno == EWOULDBLOCK;
    else
        ::flock(fd, LOCK_UN);
    ::close(fd);
    return held;
}

QStringView unsafeFileNameCharacters()
{
    // NUL and "/" cannot be part of a file name here.
    return u"/";
}

FolderLock::FolderLock(const QString& folder)
    : m_handle(::open(nativePath(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
{
    if (m_handle < 0) {
        m_handle = NoFile;
        throw systemFailure(PathError);
    }
}

FolderLock::~FolderLock()
{
    // Closing the folder's descriptor ends its lock.
    closeQuietly(m_handle);
}

bool FolderLock::tryLock()
{
    if (::flock(fdOf(m_handle), LOCK_EX | LOCK_NB) == 0) {
        m_locked = true;
        return true;
    }
    if (errno != EWOULDBLOCK && errno != EINTR)
        throw systemFailure(LockError);
    return false;
}

void FolderLock::sync()
{
    syncOrThrow(m_handle);
}

} // namespace BackupFileOs
