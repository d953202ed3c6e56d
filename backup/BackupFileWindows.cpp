// The Windows side of BackupFile: CreateFileW with a lock that denies other opens and a DACL for its user alone,
// FlushFileBuffers, and MoveFileExW with write-through, retried briefly while another program (a virus scanner, a sync
// client) holds the file for a moment.
#include "BackupFilePlatform.h"

#include "BackupFile.h"
#include "BackupName.h"
#include "Failure.h"
#include "WindowsErrorText.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QThread>

#include <windows.h>

#include <sddl.h>

#include <string>

using namespace Qt::Literals::StringLiterals;

namespace BackupFileOs {

namespace {

constexpr DWORD CopyChunk = 1024 * 1024;
/** How often, and how far apart, a rename that another program's open handle stands in the way of is tried again. */
constexpr int MoveTries = 20;
constexpr int MoveRetryMs = 50;

/** The system's text for the last error ("There is not enough space on the disk."). */
Failure systemFailure(int number, DWORD code = GetLastError())
{
    return Failure(WindowsErrorText(code), number);
}

std::wstring nativePath(const QString& path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}

HANDLE handleOf(FileHandle file)
{
    return reinterpret_cast<HANDLE>(file);
}

FileHandle fileOf(HANDLE handle)
{
    return handle == INVALID_HANDLE_VALUE ? NoFile : reinterpret_cast<FileHandle>(handle);
}

bool isTransient(DWORD code)
{
    return code == ERROR_SHARING_VIOLATION || code == ERROR_ACCESS_DENIED || code == ERROR_LOCK_VIOLATION;
}

/** LocalFree for what the security API hands out. */
struct LocalMemory
{
    void* memory = nullptr;
    LocalMemory() = default;
    LocalMemory(const LocalMemory&) = delete;
    LocalMemory& operator=(const LocalMemory&) = delete;
    ~LocalMemory() { LocalFree(memory); }
};

/** The SID of the user this process runs as, in its string form ("S-1-5-21-...-1001"). */
std::wstring currentUserSid()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        throw systemFailure(PathError);
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::string buffer(size, '\0');
    const bool read = size > 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size);
    const DWORD code = GetLastError();
    CloseHandle(token);
    if (!read)
        throw systemFailure(PathError, code);
    LocalMemory text;
    const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer.data());
    if (!ConvertSidToStringSidW(user->User.Sid, reinterpret_cast<LPWSTR*>(&text.memory)))
        throw systemFailure(PathError);
    return static_cast<const wchar_t*>(text.memory);
}

/**
 * A security descriptor whose DACL allows everything to the current user and nothing to anyone else: protected
 * ("P"), so that no entry of the folder (Users, Everyone on a shared folder) is inherited. Windows' counterpart of
 * mode 0600; the script holds every row of the database.
 */
void userOnlyDescriptor(LocalMemory& descriptor)
{
    const std::wstring sddl = L"D:P(A;;FA;;;" + currentUserSid() + L")";
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor.memory,
                                                              nullptr))
        throw systemFailure(PathError);
}

} // namespace

FileHandle createUnique(const QString& base, QString& path)
{
    LocalMemory descriptor;
    userOnlyDescriptor(descriptor);
    SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), descriptor.memory, FALSE};
    for (int attempt = 0;; ++attempt) {
        path = BackupName::working(base, qint64(GetCurrentProcessId()), QRandomGenerator::global()->generate());
        // No sharing but deletion: no other process opens the file while this one has it (the lock that tells a
        // running backup from a dead one), and it can still be renamed and removed while open. Its DACL lets this
        // user alone in, whatever the folder's; the rename keeps it, so the backup file has it too.
        const HANDLE handle = CreateFileW(nativePath(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE,
                                          &security, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE)
            return fileOf(handle);
        const DWORD code = GetLastError();
        if ((code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) || attempt >= 16)
            throw systemFailure(PathError, code);
    }
}

void writeAll(FileHandle file, const char* data, std::size_t size)
{
    while (size > 0) {
        const DWORD part = DWORD(std::min<std::size_t>(size, 1u << 30));
        DWORD written = 0;
        if (!WriteFile(handleOf(file), data, part, &written, nullptr))
            throw systemFailure(WriteError);
        data += written;
        size -= written;
    }
}

void syncOrThrow(FileHandle file)
{
    if (!FlushFileBuffers(handleOf(file)))
        throw systemFailure(WriteError);
}

void closeOrThrow(FileHandle file)
{
    if (file != NoFile && !CloseHandle(handleOf(file)))
        throw systemFailure(WriteError);
}

void closeQuietly(FileHandle file) noexcept
{
    if (file != NoFile)
        CloseHandle(handleOf(file));
}

void copyAll(FileHandle from, FileHandle to)
{
    QByteArray chunk(qsizetype(CopyChunk), Qt::Uninitialized);
    quint64 offset = 0;
    for (;;) {
        // Read at an offset, as pread does: the working file's own position stays at its end.
        OVERLAPPED at{};
        at.Offset = DWORD(offset & 0xffffffffu);
        at.OffsetHigh = DWORD(offset >> 32);
        DWORD got = 0;
        if (!ReadFile(handleOf(from), chunk.data(), CopyChunk, &got, &at)) {
            const DWORD code = GetLastError();
            if (code == ERROR_HANDLE_EOF)
                return;
            throw systemFailure(PathError, code);
        }
        if (got == 0)
            return;
        writeAll(to, chunk.constData(), got);
        offset += got;
    }
}

FileHandle openExisting(const QString& path)
{
    // Shared for everything, so that this reading never stands in the way of another program.
    const HANDLE handle
        = CreateFileW(nativePath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND)
            return NoFile;
        throw systemFailure(PathError, code);
    }
    return fileOf(handle);
}

void replaceFile(const QString& from, const QString& to)
{
    const std::wstring source = nativePath(from);
    const std::wstring target = nativePath(to);
    for (int attempt = 1;; ++attempt) {
        if (MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return;
        const DWORD code = GetLastError();
        if (!isTransient(code) || attempt >= MoveTries)
            throw systemFailure(PathError, code);
        QThread::msleep(MoveRetryMs);
    }
}

void removeFile(const QString& path) noexcept
{
    DeleteFileW(nativePath(path).c_str());
}

void startWriteback(FileHandle, qint64, qint64) noexcept
{
    // Windows has no call to start writing a stretch without waiting for it; the commit's flush writes it all.
}

void lowerThreadPriority() noexcept
{
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
}

bool isWorkingFileHeld(const QString& path)
{
    // The backup that writes the file shares it with no one: an open that is refused for sharing means it runs.
    const HANDLE handle
        = CreateFileW(nativePath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_SHARING_VIOLATION;
    CloseHandle(handle);
    return false;
}

QStringView unsafeFileNameCharacters()
{
    return u"/\\:*?\"<>|";
}

// Commits into one folder take turns under a named mutex of the session, named after the folder's path (Windows
// folder names are the same in any case), which the system releases when a process holding it ends.
FolderLock::FolderLock(const QString& folder)
{
    if (!QFileInfo(folder).isDir())
        throw systemFailure(PathError, ERROR_PATH_NOT_FOUND);
    const QByteArray key
        = QDir::toNativeSeparators(QDir::cleanPath(QFileInfo(folder).absoluteFilePath())).toCaseFolded().toUtf8();
    const QString name = u"Local\\Tessaline.commit."_s
        + QString::fromLatin1(QCryptographicHash::hash(key, QCryptographicHash::Sha256).toHex());
    const HANDLE mutex = CreateMutexW(nullptr, FALSE, name.toStdWString().c_str());
    if (!mutex)
        throw systemFailure(LockError);
    m_handle = reinterpret_cast<FileHandle>(mutex);
}

FolderLock::~FolderLock()
{
    if (m_locked)
        ReleaseMutex(handleOf(m_handle));
    CloseHandle(handleOf(m_handle));
}

bool FolderLock::tryLock()
{
    switch (WaitForSingleObject(handleOf(m_handle), 0)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED: // its holder ended without releasing it: the lock is ours now
        m_locked = true;
        return true;
    case WAIT_TIMEOUT:
        return false;
    default:
        throw systemFailure(LockError);
    }
}

void FolderLock::sync()
{
    // The renames were written through (MOVEFILE_WRITE_THROUGH): there is no folder to sync on Windows.
}

} // namespace BackupFileOs
