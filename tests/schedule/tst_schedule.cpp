#include "AutoBackup.h"
#include "BackupCommands.h"
#include "BackupSchedule.h"
#include "ErrorReport.h"
#include "FakeClock.h"
#include "FakeDialogs.h"
#include "FakeViews.h"
#include "Intervals.h"
#include "Mssql.h"
#include "Settings.h"
#include "SettingsStore.h"
#include "UnwritableSettings.h"
#include "WorkGuard.h"

#include <QTemporaryDir>
#include <QTest>

#include <limits>

using namespace Qt::Literals::StringLiterals;

namespace {

const QString Countdown = u"Next backup will occur in "_s;
const QString RemoteString = u"Driver={SQL Server};Server=srv,1433;Database=Sales;Uid=sa;Pwd=pw;"_s;
const QString LocalString = u"Driver={SQL Server};Server=srv;Database=Sales;Uid=sa;Pwd=pw;"_s;
const QString DumpText = u"Dump wrote this"_s;

/**
 * The main window's schedule and commands over fakes. The event pump counts, and when `pumpStepMs` is set it moves
 * the clock and delivers Timer1's ticks as a running timer would, once per second of clock time.
 */
struct Harness
{
    QTemporaryDir dir;
    FakeMainView view;
    FakeConnectionView connection;
    FakeDialogs dialogs;
    SettingsStore store{dir.path()};
    FakeClock clock;
    WorkGuard guard;

    int pumps = 0;
    qint64 pumpStepMs = 0;
    qint64 sinceTick = 0;
    bool inTick = false;
    QStringList dumps;
    std::function<bool(StatusFrame&)> dumpBody;

    BackupSchedule schedule{context()};
    BackupCommands commands{context()};

    Harness()
    {
        connection.settings.Server = u"srv"_s;
        connection.settings.Database = u"Sales"_s;
        connection.settings.UserName = u"sa"_s;
        connection.settings.Password = u"pw"_s;
        for (const IntervalEntry& entry : IntervalTable())
            view.intervals.append(entry.caption);
        view.selected = 1;
    }

    ScheduleContext context()
    {
        return {view,
                connection,
                dialogs,
                store,
                clock,
                guard,
                [this] { pump(); },
                [this](const QString& connectionString, StatusFrame& frame) {
                    dumps.append(connectionString);
                    if (dumpBody)
                        return dumpBody(frame);
                    frame.setCaption(DumpText);
                    return true;
                }};
    }

    void pump()
    {
        ++pumps;
        // The events a delivered tick lets run take no time of their own.
        if (pumpStepMs == 0 || inTick)
            return;
        clock.advanceMs(pumpStepMs);
        sinceTick += pumpStepMs;
        while (sinceTick >= 1000) {
            sinceTick -= 1000;
            if (view.timerInterval() == AutoBackupTimerInterval)
                ticks(1);
        }
    }

    void turnOn(int position)
    {
        view.selected = position - 1;
        view.timer = AutoBackupTimerInterval;
        view.buttonCaption = TurnOffAutoBackupCaption;
    }

    /** Delivers ticks as the timer would. */
    void ticks(int count)
    {
        const bool outer = inTick;
        inTick = true;
        for (int i = 0; i < count; ++i)
            schedule.Timer1_Timer();
        inTick = outer;
    }

    QString stored(const QString& key) const { return store.get(key, u"<absent>"_s); }
};

QString report(const QString& description, const QString& procedure, int line)
{
    return composeErrorReport(description, errorReportLocation(u"Form2"_s, procedure), line);
}

} // namespace

class TstSchedule : public QObject
{
    Q_OBJECT

private slots:
    void formatSeconds_data()
    {
        QTest::addColumn<qint32>("seconds");
        QTest::addColumn<QString>("expected");
        QTest::newRow("zero") << 0 << u"00:00:00"_s;
        QTest::newRow("five minutes less one") << 299 << u"00:04:59"_s;
        QTest::newRow("an hour less one") << 3599 << u"00:59:59"_s;
        QTest::newRow("a day less one") << 86399 << u"23:59:59"_s;
        QTest::newRow("a whole day drops out") << 86400 << u"00:00:00"_s;
        QTest::newRow("a day and an hour") << 90000 << u"01:00:00"_s;
        QTest::newRow("negative shows magnitude") << -2 << u"00:00:02"_s;
        QTest::newRow("largest") << std::numeric_limits<qint32>::max() << u"03:14:07"_s;
        QTest::newRow("smallest") << std::numeric_limits<qint32>::min() << u"03:14:08"_s;
    }
    void formatSeconds()
    {
        QFETCH(qint32, seconds);
        QFETCH(QString, expected);
        QCOMPARE(FormatSeconds(seconds), expected);
    }

    void intervalCaptions_data()
    {
        QTest::addColumn<QString>("caption");
        QTest::addColumn<qint32>("seconds");
        QTest::newRow("first") << u"Backup every 5 minutes"_s << 300;
        QTest::newRow("default") << u"Backup every 10 minutes"_s << 600;
        QTest::newRow("one hour, singular") << u"Backup every 1 hour"_s << 3600;
        QTest::newRow("16 hours") << u"Backup every 16 hours"_s << 57600;
        QTest::newRow("last") << u"Backup every 24 hours"_s << 86400;
        QTest::newRow("case differs") << u"backup every 5 minutes"_s << 0;
        QTest::newRow("trailing blank") << u"Backup every 5 minutes "_s << 0;
        QTest::newRow("empty") << QString() << 0;
    }
    void intervalCaptions()
    {
        QFETCH(QString, caption);
        QFETCH(qint32, seconds);
        QCOMPARE(IntervalSecondsForCaption(caption), seconds);
    }

    void intervalTableOrder()
    {
        // The stored "OftenIndex" is a position in this list, so order and length are part of the settings format.
        const auto& table = IntervalTable();
        QCOMPARE(table.size(), size_t(11));
        QCOMPARE(table[DefaultIntervalPosition - 1].caption, u"Backup every 10 minutes"_s);
        for (size_t i = 1; i < table.size(); ++i)
            QVERIFY(table[i - 1].seconds < table[i].seconds);
    }

    void getIntervalSecondsWithoutSelection()
    {
        FakeMainView view;
        view.intervals.append(IntervalTable()[0].caption);
        QVERIFY_THROWS_EXCEPTION(Failure, GetIntervalSeconds(view));
        view.selected = 0;
        QCOMPARE(GetIntervalSeconds(view), 300);
    }

    void convertOftenIndex_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<bool>("converts");
        QTest::addColumn<int>("value");
        QTest::addColumn<bool>("isPosition");
        QTest::newRow("default") << u"2"_s << true << 2 << true;
        QTest::newRow("last") << u"11"_s << true << 11 << true;
        QTest::newRow("blanks around") << u" 7 "_s << true << 7 << true;
        QTest::newRow("past the list") << u"12"_s << true << 12 << false;
        QTest::newRow("zero") << u"0"_s << true << 0 << false;
        QTest::newRow("negative") << u"-1"_s << true << -1 << false;
        QTest::newRow("word") << u"two"_s << false << 0 << false;
        QTest::newRow("empty") << QString() << false << 0 << false;
        QTest::newRow("fraction") << u"2.5"_s << false << 0 << false;
        QTest::newRow("beyond 16 bits") << u"40000"_s << false << 0 << false;
    }
    void convertOftenIndex()
    {
        QFETCH(QString, stored);
        QFETCH(bool, converts);
        QFETCH(int, value);
        QFETCH(bool, isPosition);
        if (!converts) {
            QVERIFY_THROWS_EXCEPTION(Failure, ConvertOftenIndex(stored));
            return;
        }
        const int position = ConvertOftenIndex(stored);
        QCOMPARE(position, value);
        QCOMPARE(IsIntervalPosition(position), isPosition);
    }

    void fullCycle_data()
    {
        QTest::addColumn<bool>("local");
        QTest::addColumn<bool>("dumpSucceeds");
        QTest::addColumn<QString>("connectionString");
        QTest::addColumn<QString>("outcome");
        QTest::newRow("with port, complete")
            << false << true << RemoteString << u"Auto Backup Complete at 8/31/2021 9:30:12 AM"_s;
        QTest::newRow("local, failed") << true << false << LocalString
                                       << u"Auto Backup Failed at 8/31/2021 9:30:12 AM"_s;
    }
    void fullCycle()
    {
        QFETCH(bool, local);
        QFETCH(bool, dumpSucceeds);
        QFETCH(QString, connectionString);
        QFETCH(QString, outcome);

        Harness h;
        h.connection.settings.LocalConnection = local;
        h.connection.settings.Port = u"1433"_s;
        h.dumpBody = [&](StatusFrame& frame) {
            frame.setCaption(DumpText);
            return dumpSucceeds;
        };
        h.turnOn(1);

        for (int tick = 1; tick < 300; ++tick) {
            h.schedule.Timer1_Timer();
            QCOMPARE(h.view.progressValue, tick);
            if (tick == 1)
                QCOMPARE(h.view.status, Countdown + u"00:04:59"_s);
            if (tick == 61)
                QCOMPARE(h.view.status, Countdown + u"00:03:59"_s);
        }
        QCOMPARE(h.view.status, Countdown + u"00:00:01"_s);
        QCOMPARE(h.view.progressMaximum, 300);
        QCOMPARE(h.pumps, 299);
        QVERIFY(h.dumps.isEmpty());

        h.view.statusHistory.clear();
        h.pumps = 0;
        h.schedule.Timer1_Timer();
        const QStringList expected{Countdown + u"00:00:00"_s, u"Backup is running in background..."_s, DumpText,
                                   outcome, Countdown + u"00:00:00"_s};
        QCOMPARE(h.view.statusHistory, expected);
        QCOMPARE(h.dumps, QStringList{connectionString});
        QCOMPARE(h.pumps, 3);
        QCOMPARE(h.schedule.SecondsElapsed(), 0);
        QCOMPARE(h.schedule.SavedStatus(), Countdown + u"00:00:00"_s);
        QCOMPARE(h.view.progressValue, 300);
        QVERIFY(h.dialogs.shown().isEmpty());
        QVERIFY(!h.guard.busy());
        // A failed automatic backup leaves automatic backup on.
        QCOMPARE(h.view.timer, AutoBackupTimerInterval);

        h.schedule.Timer1_Timer();
        QCOMPARE(h.view.status, Countdown + u"00:04:59"_s);
        QCOMPARE(h.view.progressValue, 1);
        QCOMPARE(h.dumps.size(), 1);
    }

    void fullDayNeverShowsTheDay()
    {
        Harness h;
        h.turnOn(11);
        h.schedule.Timer1_Timer();
        QCOMPARE(h.view.status, Countdown + u"23:59:59"_s);
        QCOMPARE(h.view.progressMaximum, 86400);
        QCOMPARE(h.schedule.IntervalLength(), 86400);
    }

    void listClickRestartsTheCount()
    {
        Harness h;
        h.turnOn(1);
        h.ticks(100);
        QCOMPARE(h.schedule.SecondsElapsed(), 100);

        h.schedule.ListView2_Click(); // on the entry already selected
        QCOMPARE(h.schedule.SecondsElapsed(), 0);
        QCOMPARE(h.schedule.IntervalLength(), 300);
        QCOMPARE(h.stored(SettingKeys::OftenIndex), u"1"_s);
        h.schedule.Timer1_Timer();
        QCOMPARE(h.view.status, Countdown + u"00:04:59"_s);

        h.view.selected = 4;
        h.schedule.ListView2_Click();
        QCOMPARE(h.stored(SettingKeys::OftenIndex), u"5"_s);
        QCOMPARE(h.schedule.IntervalLength(), 1800);
        QCOMPARE(h.schedule.SecondsElapsed(), 0);

        // A click that leaves nothing selected changes nothing.
        h.ticks(3);
        h.view.selected = -1;
        h.schedule.ListView2_Click();
        QCOMPARE(h.schedule.SecondsElapsed(), 3);
        QCOMPARE(h.stored(SettingKeys::OftenIndex), u"5"_s);
    }

    void selectionWithoutClickTakesEffectAtNextTick()
    {
        Harness h;
        h.turnOn(5);
        h.ticks(400);
        h.view.selected = 0; // 300 seconds, the count stays at 400

        h.schedule.Timer1_Timer();
        QCOMPARE(h.schedule.IntervalLength(), 300);
        QCOMPARE(h.schedule.SecondsElapsed(), 401);
        QCOMPARE(h.view.status, Countdown + u"00:01:41"_s);
        QCOMPARE(h.view.progressMaximum, 300);
        QCOMPARE(h.view.progressValue, 400); // past the interval the bar keeps its last value

        h.ticks(1000);
        QVERIFY(h.dumps.isEmpty()); // the count never equals the shorter interval again

        h.schedule.ListView2_Click();
        h.ticks(300);
        QCOMPARE(h.dumps.size(), 1);
    }

    void offAndOnResumesTheCount()
    {
        Harness h;
        h.turnOn(1);
        h.ticks(120);
        const QString frozen = Countdown + u"00:03:00"_s;
        QCOMPARE(h.view.status, frozen);

        h.commands.PushButton5_Click();
        QCOMPARE(h.view.buttonCaption, TurnOnAutoBackupCaption);
        QCOMPARE(h.view.timer, 0);
        QCOMPARE(h.stored(SettingKeys::StartStopState), u"Off"_s);
        QCOMPARE(h.view.status, frozen);

        // A tick that arrives after the timer stopped only says so.
        h.view.statusHistory.clear();
        h.schedule.Timer1_Timer();
        QCOMPARE(h.view.statusHistory, QStringList{u"Auto Backup is Off."_s});
        QCOMPARE(h.schedule.SecondsElapsed(), 120);
        QCOMPARE(h.pumps, 120);

        h.commands.PushButton5_Click();
        QCOMPARE(h.view.buttonCaption, TurnOffAutoBackupCaption);
        QCOMPARE(h.view.timer, AutoBackupTimerInterval);
        QCOMPARE(h.stored(SettingKeys::StartStopState), u"On"_s);
        h.schedule.Timer1_Timer();
        QCOMPARE(h.schedule.SecondsElapsed(), 121);
        QCOMPARE(h.view.status, Countdown + u"00:02:59"_s);
        QVERIFY(h.dialogs.shown().isEmpty());
    }

    void autoBackupButton_data()
    {
        QTest::addColumn<QString>("caption");
        QTest::addColumn<int>("timer");
        QTest::addColumn<QString>("expectedCaption");
        QTest::addColumn<int>("expectedTimer");
        QTest::addColumn<QString>("expectedState");
        QTest::newRow("turn on") << TurnOnAutoBackupCaption << 0 << TurnOffAutoBackupCaption << 1000 << u"On"_s;
        QTest::newRow("turn off") << TurnOffAutoBackupCaption << 1000 << TurnOnAutoBackupCaption << 0 << u"Off"_s;
        // The caption decides, not the timer.
        QTest::newRow("caption wins over timer")
            << TurnOnAutoBackupCaption << 1000 << TurnOffAutoBackupCaption << 1000 << u"On"_s;
        QTest::newRow("other caption does nothing")
            << u"turn on auto backup"_s << 0 << u"turn on auto backup"_s << 0 << u"<absent>"_s;
    }
    void autoBackupButton()
    {
        QFETCH(QString, caption);
        QFETCH(int, timer);
        QFETCH(QString, expectedCaption);
        QFETCH(int, expectedTimer);
        QFETCH(QString, expectedState);
        Harness h;
        h.view.buttonCaption = caption;
        h.view.timer = timer;
        h.commands.PushButton5_Click();
        QCOMPARE(h.view.buttonCaption, expectedCaption);
        QCOMPARE(h.view.timer, expectedTimer);
        QCOMPARE(h.stored(SettingKeys::StartStopState), expectedState);
        QVERIFY(h.view.statusHistory.isEmpty());
    }

    void overflowIsReportedAt106()
    {
        Harness h;
        h.turnOn(1);
        h.schedule.setSecondsElapsed(std::numeric_limits<qint32>::max());
        h.schedule.Timer1_Timer();
        QCOMPARE(h.dialogs.errorReports(), QStringList{report(u"Overflow"_s, u"Timer1_Timer"_s, 106)});
        // The tick goes on after the report: the countdown shows the magnitude, nothing is started.
        QCOMPARE(h.schedule.SecondsElapsed(), std::numeric_limits<qint32>::max());
        QCOMPARE(h.view.status, Countdown + FormatSeconds(300 - std::numeric_limits<qint32>::max()));
        QCOMPARE(h.view.progressMaximum, 300);
        QVERIFY(h.dumps.isEmpty());
    }

    void noSelectionIsReportedAt104()
    {
        Harness h;
        h.turnOn(1);
        h.ticks(3);
        h.view.selected = -1;
        h.schedule.Timer1_Timer();
        const QStringList reports = h.dialogs.errorReports();
        QCOMPARE(reports.size(), 1);
        QVERIFY(reports[0].contains(u"Form2.Timer1_Timer at line 104"_s));
        QCOMPARE(h.schedule.IntervalLength(), 300); // the previous length stays
        QCOMPARE(h.schedule.SecondsElapsed(), 4);
        QCOMPARE(h.view.status, Countdown + u"00:04:56"_s);
    }

    void failuresAroundTheDumpCall()
    {
        // Reading the connection window fails at 126: the tick goes on at 128, the string without the port.
        Harness h;
        h.turnOn(1);
        h.schedule.setSecondsElapsed(299);
        h.connection.failReads = 1;
        h.schedule.Timer1_Timer();
        QCOMPARE(h.dialogs.errorReports(),
                 QStringList{report(u"The connection window cannot be read."_s, u"Timer1_Timer"_s, 126)});
        QCOMPARE(h.dumps, QStringList{LocalString});

        // A value the driver cannot take fails inside the backup call (130): reported, shown as failed.
        Harness g;
        g.turnOn(1);
        g.schedule.setSecondsElapsed(299);
        g.connection.settings.Password = u"a};b"_s;
        g.schedule.Timer1_Timer();
        const QStringList reports = g.dialogs.errorReports();
        QCOMPARE(reports.size(), 1);
        QVERIFY(reports[0].contains(u"Form2.Timer1_Timer at line 130"_s));
        QVERIFY(g.dumps.isEmpty());
        QVERIFY(g.view.statusHistory.contains(u"Auto Backup Failed at 8/31/2021 9:30:12 AM"_s));
        QCOMPARE(g.schedule.SecondsElapsed(), 0);
        QVERIFY(!g.guard.busy());
    }

    void nestedWorkIsRefused()
    {
        // "Backup Now (Test)" clicked while an automatic dump lets events run.
        Harness h;
        h.turnOn(1);
        h.schedule.setSecondsElapsed(299);
        h.dumpBody = [&](StatusFrame&) {
            h.commands.PushButton6_Click();
            return true;
        };
        h.schedule.Timer1_Timer();
        QCOMPARE(h.dumps.size(), 1);
        QCOMPARE(h.dialogs.messages(), QStringList{QString::fromLatin1(BackupAlreadyRunningMessage)});
        QVERIFY(!h.view.statusHistory.contains(BackingUpFilesStatus));
        QCOMPARE(h.view.timer, AutoBackupTimerInterval);

        // A tick that reaches the interval inside "Backup Now (Test)"'s dump starts nothing and restarts the count.
        Harness g;
        g.turnOn(1);
        g.pumpStepMs = 1000;
        g.schedule.setSecondsElapsed(298);
        qint32 countAfterInterval = -1;
        g.dumpBody = [&](StatusFrame&) {
            g.ticks(2);
            countAfterInterval = g.schedule.SecondsElapsed();
            g.ticks(1);
            return true;
        };
        g.commands.PushButton6_Click();
        QCOMPARE(g.dumps.size(), 1);
        QCOMPARE(countAfterInterval, 0);
        QCOMPARE(g.schedule.SecondsElapsed(), 6); // one tick in the dump, five in the pause
        QVERIFY(!g.view.statusHistory.contains(u"Backup is running in background..."_s));
        QVERIFY(g.dialogs.shown().isEmpty());

        // After the dump the guard is free again.
        QVERIFY(!g.guard.busy());
        g.dumpBody = nullptr;
        g.schedule.setSecondsElapsed(299);
        g.ticks(1);
        QCOMPARE(g.dumps.size(), 2);
    }

    void backupNowWithAutoBackupOff()
    {
        Harness h;
        h.pumpStepMs = 250;
        h.view.status = AutoBackupTurnedOffStatus;
        h.view.progressValue = 42;
        h.view.progressText = u"42%"_s;
        const qint64 start = h.clock.monotonicMs();

        h.commands.PushButton6_Click();

        QCOMPARE(h.view.statusHistory, (QStringList{BackingUpFilesStatus, DumpText, AutoBackupTurnedOffStatus}));
        QCOMPARE(h.dumps, QStringList{RemoteString});
        QCOMPARE(h.view.pointerHistory, (QList<MousePointer>{MousePointer::Hourglass, MousePointer::Default}));
        QCOMPARE(h.view.progressValue, 0);
        QCOMPARE(h.view.progressText, u"Progress Bar"_s);
        QCOMPARE(h.clock.monotonicMs() - start, 5000);
        QCOMPARE(h.pumps, 20);
        QVERIFY(h.dialogs.shown().isEmpty());
        QCOMPARE(h.stored(SettingKeys::StartStopState), u"<absent>"_s);
    }

    void backupNowWithAutoBackupOn()
    {
        Harness h;
        h.turnOn(1);
        h.pumpStepMs = 250;
        h.ticks(10);
        const QString before = h.view.status;
        h.dumpBody = [&](StatusFrame& frame) {
            for (int i = 0; i < 8; ++i) // two seconds of dump, letting events run
                h.pump();
            frame.setCaption(DumpText);
            return true;
        };

        h.commands.PushButton6_Click();

        // Two seconds of dump and five of pause: seven ticks, the count neither reset nor moved otherwise.
        QCOMPARE(h.schedule.SecondsElapsed(), 17);
        QCOMPARE(h.dumps.size(), 1);
        QCOMPARE(h.view.status, before);
        QVERIFY(h.view.statusHistory.contains(Countdown + u"00:04:48"_s)); // a tick during the dump
        QVERIFY(h.view.statusHistory.contains(Countdown + u"00:04:43"_s)); // the last tick of the pause
        QCOMPARE(h.view.statusHistory.last(), before);
        QCOMPARE(h.view.timer, AutoBackupTimerInterval);

        h.schedule.Timer1_Timer();
        QCOMPARE(h.view.status, Countdown + u"00:04:42"_s);
    }

    void backupNowKeepsGoingWhenTheDumpReportsFailure()
    {
        Harness h;
        h.pumpStepMs = 1000;
        h.view.status = u"before"_s;
        h.dumpBody = [](StatusFrame&) { return false; };
        h.commands.PushButton6_Click();
        QVERIFY(h.dialogs.shown().isEmpty());
        QCOMPARE(h.view.status, u"before"_s);
        QCOMPARE(h.pumps, 5);
        QCOMPARE(h.view.currentPointer, MousePointer::Default);
    }

    void backupNowFailure_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("dumpThrows");
        QTest::newRow("dump throws") << u"pw"_s << true;
        QTest::newRow("connection value refused") << u"a};b"_s << false;
    }
    void backupNowFailure()
    {
        QFETCH(QString, password);
        QFETCH(bool, dumpThrows);
        Harness h;
        h.turnOn(1);
        h.pumpStepMs = 250;
        h.connection.settings.Password = password;
        h.view.progressValue = 42;
        h.dumpBody = [&](StatusFrame&) -> bool {
            if (dumpThrows)
                throw DbError(u"[Memory][SQL Server]Login failed."_s, 18456);
            return true;
        };
        const qint64 start = h.clock.monotonicMs();

        h.commands.PushButton6_Click();

        QCOMPARE(h.view.status, AutoBackupTurnedOffStatus);
        QCOMPARE(h.view.buttonCaption, TurnOnAutoBackupCaption);
        QCOMPARE(h.view.timer, 0);
        QCOMPARE(h.stored(SettingKeys::StartStopState), u"Off"_s);
        QCOMPARE(h.dialogs.messages(), QStringList{QString::fromLatin1(CouldNotConnectMessage)});
        QVERIFY(h.dialogs.errorReports().isEmpty());
        QCOMPARE(h.view.pointerHistory, (QList<MousePointer>{MousePointer::Hourglass, MousePointer::Default}));
        QCOMPARE(h.view.progressValue, 42); // not reset on this path
        QCOMPARE(h.clock.monotonicMs(), start); // and no pause
        QVERIFY(!h.guard.busy());
    }

    void backupNowFailureWithUnwritableStore()
    {
        // A store that cannot be written: every step but the store still happens.
        Harness h;
        const QString brokenRoot = unwritableSettingsRoot(h.dir.path());
        QVERIFY(!brokenRoot.isEmpty());
        SettingsStore broken(brokenRoot);
        const ScheduleContext context = h.context();
        ScheduleContext brokenContext{context.mainView, context.connectionView, context.dialogs,      broken,
                                      context.clock,    context.guard,          context.letEventsRun, context.dump};
        h.turnOn(1);
        h.dumpBody = [](StatusFrame&) -> bool { throw Failure(u"lost"_s); };
        BackupCommands commands(brokenContext);
        commands.PushButton6_Click();
        QCOMPARE(h.view.status, AutoBackupTurnedOffStatus);
        QCOMPARE(h.view.timer, 0);
        QCOMPARE(h.view.buttonCaption, TurnOnAutoBackupCaption);
        QCOMPARE(h.dialogs.messages(), QStringList{QString::fromLatin1(CouldNotConnectMessage)});
        QCOMPARE(h.view.currentPointer, MousePointer::Default);

        // The sequence itself does all four steps and then passes the store's failure on.
        h.turnOn(1);
        h.view.status = u"x"_s;
        QVERIFY_THROWS_EXCEPTION(Failure, TurnAutoBackupOff(h.view, broken));
        QCOMPARE(h.view.status, AutoBackupTurnedOffStatus);
        QCOMPARE(h.view.timer, 0);
        QCOMPARE(h.view.buttonCaption, TurnOnAutoBackupCaption);
    }

    void back()
    {
        Harness h;
        h.turnOn(1);
        h.ticks(120);
        const QString status = h.view.status;
        h.commands.PushButton3_Click();
        QCOMPARE(h.view.buttonCaption, TurnOnAutoBackupCaption);
        QCOMPARE(h.view.timer, 0);
        QCOMPARE(h.stored(SettingKeys::StartStopState), u"Off"_s);
        QVERIFY(h.view.connectionWindowShown);
        QVERIFY(h.view.hidden);
        QCOMPARE(h.view.status, status);
        QCOMPARE(h.schedule.SecondsElapsed(), 120);
        QVERIFY(h.dialogs.shown().isEmpty());
    }

    void pause_data()
    {
        QTest::addColumn<int>("seconds");
        QTest::addColumn<int>("stepMs");
        QTest::addColumn<int>("pumps");
        QTest::addColumn<QDateTime>("end");
        const QDate day(2021, 8, 31);
        QTest::newRow("across midnight") << 5 << 250 << 20 << QDateTime(day.addDays(1), QTime(0, 0, 3));
        QTest::newRow("uneven steps end at the first reading past")
            << 5 << 700 << 8 << QDateTime(day.addDays(1), QTime(0, 0, 3, 600));
        QTest::newRow("zero seconds pumps nothing") << 0 << 250 << 0 << QDateTime(day, QTime(23, 59, 58));
    }
    void pause()
    {
        QFETCH(int, seconds);
        QFETCH(int, stepMs);
        QFETCH(int, pumps);
        QFETCH(QDateTime, end);
        FakeClock clock(QDateTime(QDate(2021, 8, 31), QTime(23, 59, 58)));
        int pumped = 0;
        Pause(seconds, clock, [&] {
            ++pumped;
            clock.advanceMs(stepMs);
        });
        QCOMPARE(pumped, pumps);
        QCOMPARE(clock.now(), end);
    }
};

QTEST_GUILESS_MAIN(TstSchedule)
#include "tst_schedule.moc"
