#pragma once

#include "EventPump.h"

#include <QString>

class StopRequest;

/**
 * The copy of a finished backup into a folder: a local disk, a mounted share or a "\\server\share" path. No outside
 * program is needed. The copy is written as the backup itself is, complete or absent: into a working file beside its
 * final name, synced, then put in place in one rename that replaces an older copy of the same name (the backup file
 * grows when a second backup comes within the same minute). Then it is read back and compared with the backup by
 * SHA-256, so a share that loses writes is caught. Memory stays flat whatever the size; the window's events run
 * between blocks, and a stop from outside ends the copy, leaving the destination as it was.
 */
class FolderCopy
{
public:
    explicit FolderCopy(EventPump letEventsRun = {}, const StopRequest* stop = nullptr);

    /**
     * Copies the file at `localPath` into `folder` under its own name and returns the copy's path. Throws Failure with
     * the reason ("the folder ... does not exist", the system's text for a failed write, "the copy differs from the
     * backup and was removed"); a stop before the copy is in place throws Failure with InterruptedText.
     */
    QString copy(const QString& localPath, const QString& folder, int lockWaitMs) const;

    /** The size of the blocks read and written. */
    static constexpr qint64 BlockBytes = 1024 * 1024;

private:
    void betweenBlocks() const;

    EventPump m_letEventsRun;
    const StopRequest* m_stop;
};
