#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

class BackupFileWriter;
namespace BackupFileOs {
class FolderLock;
}

/**
 * A transform that every byte of a backup passes through on its way into the working file (for instance a
 * compressor). `put` takes script bytes and returns what to write; `finish` returns the last bytes, once, when the
 * script is complete.
 */
class ByteStage
{
public:
    virtual ~ByteStage() = default;
    virtual QByteArray put(const char* data, std::size_t size) = 0;
    virtual QByteArray finish() = 0;
};

/**
 * One backup file that is either complete or absent. The script is written into a working file beside the final
 * path, named "<final name>.<unique>.partial" and created with mode 0600; `commit` makes it durable and gives it its
 * final name in one rename. When a file of the final name already exists (a second backup within the same minute),
 * `commit` builds the old content followed by the new beside it and renames that over the old file, so the old file
 * is never damaged. Commits into one folder take turns under an exclusive lock on the folder. A working file is held
 * under an exclusive lock while its process has it open; one that is not committed is removed by `abandon` or the
 * destructor; one whose process was killed stays as ".partial", a name that the restore refuses, and its lock is gone
 * with the process (`isWorkingFileHeld`), so that a later backup can tell it from one still being written.
 *
 * Writing, the stage (compressing) and syncing run on a writer thread of the file's own, fed with buffers of up to
 * `BufferBytes` (what the caller has is handed over at once while the thread is idle): the caller copies bytes into a
 * buffer and goes on, and waits only while `BuffersInFlight` buffers are queued (the disk is slower than the caller),
 * running `whileWaiting` every few milliseconds meanwhile. So the
 * thread that calls never waits in write or fsync, and memory stays flat whatever the size of the backup.
 *
 * Every failure throws Failure with the system's own text for the error ("No space left on device"). A failure of the
 * writer thread is thrown by the next `append`, `finishWriting` or `commit`; from then on the thread writes nothing.
 */
class BackupFile
{
public:
    /** What `commit` does with a file that already has the final name. */
    enum class WhenExists {
        Append, ///< the old content, then this one (a second backup within the same minute)
        Replace, ///< this content alone (a copy of a backup whose file has grown since the last copy)
    };

    /** `finalPath` is where the complete backup goes (".sql", or another ending when a stage changes the bytes). */
    explicit BackupFile(QString finalPath,
                        std::unique_ptr<ByteStage> stage = {},
                        WhenExists whenExists = WhenExists::Append);
    ~BackupFile();
    BackupFile(const BackupFile&) = delete;
    BackupFile& operator=(const BackupFile&) = delete;

    /** Creates the working file; throws when the folder cannot take it. */
    void create();
    bool isCreated() const { return m_fd != -1; }

    /** Appends bytes (through the stage, when there is one) to the working file, by way of the writer thread. */
    void append(const char* data, std::size_t size);
    void append(const QByteArray& bytes) { append(bytes.constData(), std::size_t(bytes.size())); }

    /** What runs while the caller waits for the writer thread (the window's event pump); may be empty. */
    void setWhileWaiting(std::function<void()> whileWaiting) { m_whileWaiting = std::move(whileWaiting); }

    /**
     * Waits until every appended byte and the stage's last bytes are in the working file; throws the writer's
     * failure. Nothing may be appended afterwards.
     */
    void finishWriting();

    /**
     * Finishes writing (`finishWriting`), syncs the working file, takes the folder's lock (waiting at most
     * `lockWaitMs`, calling `whileWaiting` between tries), puts the script under its final name (alone, or after the
     * existing file's content) and syncs the folder. The file work runs on the writer thread while this waits. On
     * failure the final path holds what it held before; the working file is left for `abandon`.
     */
    void commit(int lockWaitMs, const std::function<void()>& whileWaiting = {});

    /** Closes and removes the working file, if any; never throws. */
    void abandon() noexcept;

    const QString& finalPath() const { return m_finalPath; }
    /** The working file's path (empty before `create`). */
    const QString& workingPath() const { return m_workingPath; }
    bool isCommitted() const { return m_committed; }

    /** How long a backup waits for another one that commits into the same folder. */
    static constexpr int DefaultLockWaitMs = 30'000;

    /** Whether `path` names a working file (a backup that never completed). */
    static bool isWorkingFile(const QString& path);

    /** Whether another open file holds the lock of the working file at `path` (its backup is still running). */
    static bool isWorkingFileHeld(const QString& path);

    /**
     * `name` with every character that a file name cannot hold on this platform replaced by "_", and with every
     * control character (below U+0020: CR, LF, tab and the rest), which would split the printed path of the file.
     */
    static QString safeFileName(const QString& name);

    /** The size of one buffer handed to the writer thread. */
    static constexpr std::size_t BufferBytes = 1024 * 1024;
    /** Full buffers that may wait for the writer thread before `append` waits. */
    static constexpr int BuffersInFlight = 4;

    /** The longest file name the file systems take, in bytes. */
    static constexpr int MaxFileNameBytes = 255;
    /**
     * The bytes that a backup's file name may give to the database name: the rest of the longest name made of it
     * (" yyyy-MM-dd hmmAM.sql.gz" and the working file's ".<process>-<unique>.partial") must fit MaxFileNameBytes.
     */
    static constexpr int MaxNameStemBytes = 200;
    /**
     * The database name as it begins a backup's file name: `safeFileName`, and when that is longer than
     * MaxNameStemBytes in UTF-8, cut at a character to fit with "~" and a short hash of the full name after it, so that
     * two long names that begin alike still give different files.
     */
    static QString fileNameStem(const QString& databaseName);

private:
    /** Hands the buffer being filled to the writer thread. */
    void handOver();
    /** Runs `task` on the writer thread after everything handed over before it, and waits for it. */
    void runOnWriter(std::function<void()> task, const std::function<void()>& whileWaiting);
    void commitOnWriter(BackupFileOs::FolderLock& folder);
    void startWriteback();

    QString m_finalPath;
    std::unique_ptr<ByteStage> m_stage;
    WhenExists m_whenExists = WhenExists::Append;
    QString m_workingPath;
    /** The working file: a descriptor, or a Windows HANDLE (BackupFilePlatform.h); -1 when none. */
    std::intptr_t m_fd = -1;
    bool m_committed = false;
    bool m_finished = false;
    std::function<void()> m_whileWaiting;
    /** The buffer being filled by `append`. */
    QByteArray m_filling;
    std::unique_ptr<BackupFileWriter> m_writer;
    /** Bytes written to the working file, and how many of them the system was already asked to write out. */
    qint64 m_written = 0;
    qint64 m_writebackAsked = 0;
};
