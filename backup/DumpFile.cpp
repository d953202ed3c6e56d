#include "DumpFile.h"

#include "BackupFile.h"
#include "BackupName.h"
#include "EngineLines.h"
#include "EngineState.h"
#include "ErrorReport.h"
#include "Gzip.h"

#include <QFile>

using namespace Qt::Literals::StringLiterals;

DumpFile::DumpFile(const BackupContext& context, EngineReports& reports)
    : m_context(context)
    , m_reports(reports)
{ }

DumpFile::~DumpFile() = default;

QString DumpFile::stampedName(const Clock& clock, const QString& database)
{
    // The date and the time each come from a reading of their own, the date first.
    const QDate date = clock.now().date();
    const QTime time = clock.now().time();
    return BackupName::stamped(database, date, time);
}

void DumpFile::removeOnForcedEnd(StopRequest& stop)
{
    m_forcedEnd = stop.onForcedEnd([this] { removeAndLogInterrupted(); });
}

void DumpFile::name(const QString& folder, const QString& database, bool compress)
{
    // With "Compress" on the script goes through gzip (one member per dump).
    m_stage = compress ? makeGzipStage() : nullptr;
    m_path = folder + u'/' + BackupName::ofFile(stampedName(m_context.clock, database), compress);
}

void DumpFile::open(const QString& folder, const QString& database, Retention stale)
{
    // What earlier backups of this database left when their process ended goes before this one writes: on a full disk
    // those files are what filled it.
    if (!m_path.isEmpty())
        stale.RemoveStaleWorkingFiles(folder, database);
    // The script goes into a working file; only a dump whose every step succeeded gives it the final name. The
    // file is written on a thread of its own: while it catches up, the window's events run.
    m_file = std::make_unique<BackupFile>(m_path, std::move(m_stage));
    m_file->setWhileWaiting([this] { whileWaiting(); });
}

bool DumpFile::append(const QByteArray& bytes)
{
    const bool written = writeSteps([&] { m_file->append(bytes); });
    if (m_workingPath.isEmpty() && !m_file->workingPath().isEmpty()) {
        const std::lock_guard lock(m_workingPathMutex);
        m_workingPath = m_file->workingPath();
    }
    return written;
}

bool DumpFile::finish()
{
    return writeSteps([&] { m_file->finishWriting(); });
}

bool DumpFile::writeSteps(const std::function<void()>& write)
{
    // The bytes come from SaveAll, not from a path: the steps that name the file and choose the mode have nothing to
    // do, and the working file stays open until the dump commits or abandons it (no CloseAppended).
    ReportingProcedure proc(m_reports, EngineModuleName, u"FileCont"_s);
    bool isOpen = m_file->isCreated();
    bool written = false;
    proc.run(FileContLine::OpenToAppend, [&] {
        m_file->create();
        isOpen = true;
    });
    proc.run(FileContLine::Append, [&] {
        if (!isOpen)
            throw Failure(FileNotOpenText, 52);
        write();
        written = true;
    });
    if (proc.failed())
        m_reports.noteFailure(proc.firstFailure());
    return written && !proc.failed();
}

void DumpFile::commit(int lockWaitMs)
{
    m_file->commit(lockWaitMs, [this] { whileWaiting(); });
}

bool DumpFile::isCommitted() const
{
    return m_file->isCommitted();
}

bool DumpFile::standsAfterStop()
{
    m_file->abandon();
    return m_file->isCommitted();
}

void DumpFile::close()
{
    m_pastCommit = m_file->isCommitted();
    if (m_pastCommit)
        m_forcedEnd.reset();
    if (!m_file->isCommitted())
        m_file->abandon();
    else if (QFile::exists(Retention::verifiedMarkPath(m_path)))
        QFile::remove(Retention::verifiedMarkPath(m_path)); // a new script under the name is not verified yet
}

void DumpFile::whileWaiting()
{
    if (m_context.letEventsRun)
        m_context.letEventsRun();
    if (!m_pastCommit && m_reports.stopRequested())
        throw Interrupted(); // a stop ends the wait for the disk or for another backup's commit
}

void DumpFile::endInterrupted()
{
    m_file->abandon(); // the writer thread ends, then the working file goes
    removeAndLogInterrupted();
    m_forcedEnd.reset();
}

void DumpFile::removeAndLogInterrupted()
{
    m_interruptedEnd.run([this] {
        QString working;
        {
            const std::lock_guard lock(m_workingPathMutex);
            working = m_workingPath;
        }
        if (!working.isEmpty())
            QFile::remove(working);
        try {
            m_context.log.write(BackupLog::backupFailedLine(m_path, m_context.clock.now(), InterruptedText));
        } catch (const std::exception&) {
            // The process is ending on a signal: there is nobody to tell.
        }
    });
}
