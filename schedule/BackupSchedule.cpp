#include "BackupSchedule.h"

#include "ConnectionSettings.h"
#include "DateTimeText.h"
#include "ErrorReport.h"
#include "Intervals.h"
#include "Settings.h"

#include <limits>

using namespace Qt::Literals::StringLiterals;

namespace {

// Runs the dump with the connection window's fields as they are now, with or without the port; the guard marks the
// dump as running so that a click or tick handled inside it does not start another.
bool runDump(ScheduleContext& context, bool localConnection)
{
    ConnectionSettings settings = context.connectionView.currentSettings();
    settings.LocalConnection = localConnection;
    const QString connectionString = BuildConnectionString(settings);
    if (!context.dump)
        throw Failure(u"No backup procedure is available."_s);
    WorkGuard::Scope running(context.guard);
    return context.dump(connectionString, context.mainView);
}

} // namespace

BackupSchedule::BackupSchedule(ScheduleContext context)
    : m_context(std::move(context))
{ }

void BackupSchedule::Timer1_Timer()
{
    MainView& view = m_context.mainView;
    ReportingProcedure proc(m_context.dialogs, u"Form2"_s, u"Timer1_Timer"_s);
    const auto letEventsRun = [this] {
        if (m_context.letEventsRun)
            m_context.letEventsRun();
    };

    // A test that fails goes on with the first statement of its branch, as after any failed statement.
    bool stopped = true;
    proc.run(100, [&] { stopped = view.timerInterval() == 0; });
    if (stopped) {
        proc.run(102, [&] { view.setCaption(u"Auto Backup is Off."_s); });
        return;
    }

    proc.run(104, [&] { m_intervalLength = GetIntervalSeconds(view); });
    proc.run(106, [&] {
        if (m_secondsElapsed == std::numeric_limits<qint32>::max())
            throw Failure(u"Overflow"_s, 6);
        ++m_secondsElapsed;
    });
    proc.run(108, [&] { view.setProgressMaximum(m_intervalLength); });
    bool withinInterval = true;
    proc.run(110, [&] { withinInterval = m_secondsElapsed <= m_intervalLength; });
    if (withinInterval)
        proc.run(112, [&] { view.setProgressValue(m_secondsElapsed); });
    proc.run(114, [&] {
        const qint64 remaining = qint64(m_intervalLength) - m_secondsElapsed;
        if (remaining < std::numeric_limits<qint32>::min() || remaining > std::numeric_limits<qint32>::max())
            throw Failure(u"Overflow"_s, 6);
        view.setCaption(u"Next backup will occur in "_s + FormatSeconds(qint32(remaining)));
    });
    proc.run(116, letEventsRun);

    bool due = true;
    proc.run(118, [&] { due = m_secondsElapsed == m_intervalLength; });
    if (!due)
        return;
    if (m_context.guard.busy()) {
        // Reached inside a running dump: skip this backup; the next one comes a whole interval later.
        m_secondsElapsed = 0;
        return;
    }

    proc.run(120, [&] { m_savedStatus = view.caption(); });
    proc.run(122, [&] { view.setCaption(u"Backup is running in background..."_s); });
    proc.run(124, letEventsRun);
    bool localConnection = true;
    proc.run(126, [&] { localConnection = m_context.connectionView.currentSettings().LocalConnection; });
    bool saved = false;
    if (localConnection)
        proc.run(128, [&] { saved = runDump(m_context, true); });
    else
        proc.run(130, [&] { saved = runDump(m_context, false); });
    proc.run(132, [&] {
        const QString outcome = saved ? u"Auto Backup Complete at "_s : u"Auto Backup Failed at "_s;
        view.setCaption(outcome + defaultDateTimeText(m_context.clock.now()));
    });
    proc.run(134, letEventsRun);
    proc.run(136, [&] { view.setCaption(m_savedStatus); });
    proc.run(138, [&] { m_secondsElapsed = 0; });
}

void BackupSchedule::ListView2_Click()
{
    MainView& view = m_context.mainView;
    const std::optional<QString> caption = view.selectedIntervalCaption();
    if (!caption)
        return;

    m_intervalLength = IntervalSecondsForCaption(*caption);
    m_secondsElapsed = 0;

    // The list holds the table's captions in table order, so the caption gives the position.
    const auto& table = IntervalTable();
    for (size_t i = 0; i < table.size(); ++i) {
        if (table[i].caption == *caption) {
            m_context.settings.save(SettingKeys::OftenIndex, QString::number(i + 1));
            return;
        }
    }
}
