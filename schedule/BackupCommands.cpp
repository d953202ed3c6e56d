#include "BackupCommands.h"

#include "ConnectionSettings.h"
#include "ErrorReport.h"
#include "Mssql.h"
#include "Settings.h"

#include <QThread>

using namespace Qt::Literals::StringLiterals;

void Pause(int seconds, const Clock& clock, const EventPump& letEventsRun)
{
    const qint64 start = clock.monotonicMs();
    const qint64 length = qint64(seconds) * 1000;
    for (;;) {
        const qint64 now = clock.monotonicMs();
        if (now - start >= length)
            return;
        if (letEventsRun)
            letEventsRun();
        // Nothing to do and no time passed: give the processor back for a moment instead of spinning.
        if (clock.monotonicMs() == now)
            QThread::msleep(ulong(qMin<qint64>(10, length - (now - start))));
    }
}

BackupCommands::BackupCommands(ScheduleContext context)
    : m_context(std::move(context))
{ }

void BackupCommands::PushButton5_Click()
{
    MainView& view = m_context.mainView;
    ReportingProcedure proc(m_context.dialogs, u"Form2"_s, u"PushButton5_Click"_s);

    // A test that fails goes on with the first statement of its branch, as after any failed statement.
    bool turnOn = true;
    proc.run(100, [&] { turnOn = view.autoBackupCaption() == TurnOnAutoBackupCaption; });
    if (turnOn) {
        proc.run(102, [&] { view.setAutoBackupCaption(TurnOffAutoBackupCaption); });
        proc.run(104, [&] { view.setTimerInterval(AutoBackupTimerInterval); });
        proc.run(106, [&] { Settings::StartStopState.write(m_context.settings, OnOff::On); });
        return;
    }
    bool turnOff = true;
    proc.run(108, [&] { turnOff = view.autoBackupCaption() == TurnOffAutoBackupCaption; });
    if (turnOff) {
        proc.run(110, [&] { view.setAutoBackupCaption(TurnOnAutoBackupCaption); });
        proc.run(112, [&] { view.setTimerInterval(0); });
        proc.run(114, [&] { Settings::StartStopState.write(m_context.settings, OnOff::Off); });
    }
}

void BackupCommands::PushButton6_Click()
{
    MainView& view = m_context.mainView;
    if (m_context.guard.busy()) {
        m_context.dialogs.message(QString::fromLatin1(BackupAlreadyRunningMessage));
        return;
    }

    // Every failure that reaches this command ends it and counts as a failed connection; failures the dump reports
    // itself do not reach it.
    try {
        const QString savedStatus = view.caption(); // 100
        view.setCaption(BackingUpFilesStatus); // 102
        view.setPointer(MousePointer::Hourglass); // 104
        ConnectionSettings settings = m_context.connectionView.currentSettings(); // 106, 108, 110
        const QString connectionString = BuildConnectionString(settings);
        if (!m_context.dump)
            throw Failure(u"No backup procedure is available."_s);
        {
            WorkGuard::Scope running(m_context.guard);
            m_context.dump(connectionString, view);
        }
        view.setPointer(MousePointer::Default); // 112
        view.setProgressValue(0); // 114
        view.setProgressText(u"Progress Bar"_s);
        Pause(BackupNowPauseSeconds, m_context.clock, m_context.letEventsRun); // 116
        view.setCaption(savedStatus); // 118
    } catch (const std::exception&) {
        try {
            TurnAutoBackupOff(view, m_context.settings); // 122 to 128
        } catch (const std::exception&) {
            // This path shows one message only; the steps that could be done are done.
        }
        m_context.dialogs.message(QString::fromLatin1(CouldNotConnectMessage)); // 130
        view.setPointer(MousePointer::Default); // 132
    }
}

void BackupCommands::PushButton3_Click()
{
    MainView& view = m_context.mainView;
    ReportingProcedure proc(m_context.dialogs, u"Form2"_s, u"PushButton3_Click"_s);
    proc.run(100, [&] { view.setAutoBackupCaption(TurnOnAutoBackupCaption); });
    proc.run(102, [&] { view.setTimerInterval(0); });
    proc.run(104, [&] { Settings::StartStopState.write(m_context.settings, OnOff::Off); });
    proc.run(106, [&] { view.showConnectionWindow(); });
    proc.run(108, [&] { view.hideWindow(); });
}
