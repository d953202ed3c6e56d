#include "FolderCopy.h"

#include "BackupFile.h"
#include "Failure.h"
#include "StopRequest.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

using namespace Qt::Literals::StringLiterals;

namespace {

/** The SHA-256 of a whole file, read in blocks, running `betweenBlocks` after each. */
QByteArray fileHash(const QString& path, const std::function<void()>& betweenBlocks)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw Failure(
            u"the copy "_s + QDir::toNativeSeparators(path) + u" cannot be read back: "_s + file.errorString(), 75);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    QByteArray block(int(FolderCopy::BlockBytes), Qt::Uninitialized);
    for (;;) {
        const qint64 got = file.read(block.data(), block.size());
        if (got < 0)
            throw Failure(
                u"the copy "_s + QDir::toNativeSeparators(path) + u" cannot be read back: "_s + file.errorString(), 75);
        if (got == 0)
            return hash.result();
        hash.addData(QByteArrayView(block.constData(), got));
        betweenBlocks();
    }
}

} // namespace

FolderCopy::FolderCopy(EventPump letEventsRun, const StopRequest* stop)
    : m_letEventsRun(std::move(letEventsRun))
    , m_stop(stop)
{ }

void FolderCopy::betweenBlocks() const
{
    if (m_letEventsRun)
        m_letEventsRun();
    if (m_stop && m_stop->requested())
        throw Interrupted();
}

QString FolderCopy::copy(const QString& localPath, const QString& folder, int lockWaitMs) const
{
    const QString shownFolder = QDir::toNativeSeparators(folder);
    if (!QFileInfo(folder).isDir())
        throw Failure(u"the folder "_s + shownFolder + u" does not exist or cannot be reached"_s, 76);
    QFile source(localPath);
    if (!source.open(QIODevice::ReadOnly))
        throw Failure(
            u"the backup "_s + QDir::toNativeSeparators(localPath) + u" cannot be read: "_s + source.errorString(), 75);

    const QString target = QDir(folder).filePath(QFileInfo(localPath).fileName());
    BackupFile copy(target, {}, BackupFile::WhenExists::Replace);
    const auto whileWaiting = [this] { betweenBlocks(); };
    copy.setWhileWaiting(whileWaiting);
    copy.create();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    QByteArray block(int(BlockBytes), Qt::Uninitialized);
    for (;;) {
        const qint64 got = source.read(block.data(), block.size());
        if (got < 0)
            throw Failure(u"the backup "_s + QDir::toNativeSeparators(localPath) + u" cannot be read: "_s
                              + source.errorString(),
                          75);
        if (got == 0)
            break;
        hash.addData(QByteArrayView(block.constData(), got));
        copy.append(block.constData(), std::size_t(got));
        betweenBlocks();
    }
    copy.commit(lockWaitMs, whileWaiting);
    // The copy is in place: the check runs to its end, so a stop now does not leave a copy nobody compared.
    if (fileHash(target, m_letEventsRun ? m_letEventsRun : EventPump([] {})) != hash.result()) {
        // A damaged copy named like a backup would count among the kept ones: it goes.
        QFile::remove(target);
        throw Failure(u"the copy "_s + QDir::toNativeSeparators(target) + u" differs from the backup and was removed"_s,
                      76);
    }
    return target;
}
