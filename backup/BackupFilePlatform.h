#pragma once

#include <QString>
#include <QStringView>

#include <cstddef>
#include <cstdint>

/**
 * The operating system's side of BackupFile: creating, writing, syncing and renaming its files and the locks that
 * keep backups apart. One file per platform, chosen by CMake: BackupFilePosix.cpp, BackupFileWindows.cpp. Every
 * failure throws Failure with the system's own text for the error and one of the numbers below.
 */
namespace BackupFileOs {

// Error numbers of the failures, as the file writer reports them elsewhere.
constexpr int PathError = 76;
constexpr int WriteError = 61;
constexpr int LockError = 70;

/** An open file: a descriptor, or a Windows HANDLE; NoFile when none. */
using FileHandle = std::intptr_t;
constexpr FileHandle NoFile = -1;

/**
 * Creates a new file "<base>.<process>-<unique>.partial" that this user alone may read, held under an exclusive lock
 * while this process has it open; returns it and sets `path`.
 */
FileHandle createUnique(const QString& base, QString& path);
/** Writes all of `data` at the file's end. */
void writeAll(FileHandle file, const char* data, std::size_t size);
/** Makes what was written durable. */
void syncOrThrow(FileHandle file);
/** Closes, reporting what a delayed write error close tells. */
void closeOrThrow(FileHandle file);
void closeQuietly(FileHandle file) noexcept;
/** Copies the whole content of `from` (read from its start) to the end of `to`. */
void copyAll(FileHandle from, FileHandle to);
/** Opens an existing file for reading; NoFile when there is none. */
FileHandle openExisting(const QString& path);
/** Gives `from` the name `to`, replacing a file of that name. */
void replaceFile(const QString& from, const QString& to);
void removeFile(const QString& path) noexcept;
/** Asks the system to start writing out `length` bytes from `offset` (where it can be asked). */
void startWriteback(FileHandle file, qint64 offset, qint64 length) noexcept;
/** Lets the calling thread (the writer's) give way to the window's thread. */
void lowerThreadPriority() noexcept;
/** Whether another open file holds the lock of the working file at `path`. */
bool isWorkingFileHeld(const QString& path);
/** Characters besides the control characters that a file name cannot hold here. */
QStringView unsafeFileNameCharacters();

/** The lock under which commits into one folder take turns; released when destroyed. */
class FolderLock
{
public:
    /** Throws PathError when the folder cannot be opened. */
    explicit FolderLock(const QString& folder);
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    /** Takes the lock if it is free; throws LockError when it cannot be asked for. */
    bool tryLock();
    /** Makes the folder's new names durable. */
    void sync();

private:
    FileHandle m_handle = NoFile;
    bool m_locked = false;
};

} // namespace BackupFileOs
