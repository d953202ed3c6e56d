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

/**
 * Reads an open file to its end in blocks, handing each to `eachBlock`; returns the SHA-256 of what it read. A read
 * that fails throws `unreadable` followed by the system's words.
 */
QByteArray readInBlocks(QFile& file, const QString& unreadable, const std::function<void(QByteArrayView)>& eachBlock)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    QByteArray block(int(FolderCopy::BlockBytes), Qt::Uninitialized);
    for (;;) {
        const qint64 got = file.read(block.data(), block.size());
        if (got < 0)
            throw Failure(unreadable + file.errorString(), 75);
        if (got == 0)
            return hash.result();
        const QByteArrayView piece(block.constData(), got);
        hash.addData(piece);
        eachBlock(piece);
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
    const QString unreadable = u"the backup "_s + QDir::toNativeSeparators(localPath) + u" cannot be read: "_s;
    if (!source.open(QIODevice::ReadOnly))
        throw Failure(unreadable + source.errorString(), 75);

    const QString target = QDir(folder).filePath(QFileInfo(localPath).fileName());
    BackupFile copy(target, {}, BackupFile::WhenExists::Replace);
    const auto whileWaiting = [this] { betweenBlocks(); };
    copy.setWhileWaiting(whileWaiting);
    copy.create();
    const QByteArray written = readInBlocks(source, unreadable, [&](QByteArrayView piece) {
        copy.append(piece.data(), std::size_t(piece.size()));
        betweenBlocks();
    });
    copy.commit(lockWaitMs, whileWaiting);
    // The copy is in place: the check runs to its end, so a stop now does not leave a copy nobody compared.
    QFile check(target);
    const QString unchecked = u"the copy "_s + QDir::toNativeSeparators(target) + u" cannot be read back: "_s;
    if (!check.open(QIODevice::ReadOnly))
        throw Failure(unchecked + check.errorString(), 75);
    const QByteArray readBack = readInBlocks(check, unchecked, [this](QByteArrayView) {
        if (m_letEventsRun)
            m_letEventsRun();
    });
    check.close();
    if (readBack != written) {
        // A damaged copy named like a backup would count among the kept ones: it goes.
        QFile::remove(target);
        throw Failure(u"the copy "_s + QDir::toNativeSeparators(target) + u" differs from the backup and was removed"_s,
                      76);
    }
    return target;
}
