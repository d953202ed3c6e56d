#pragma once

#include "AutoBackup.h"
#include "Clock.h"
#include "Dialogs.h"
#include "EventPump.h"
#include "SettingsStore.h"
#include "Views.h"
#include "WorkGuard.h"

#include <QString>

#include <functional>

/**
 * The dump: one complete backup with this connection string, showing its progress in the status frame; false when
 * it reported a failure. The program passes IntervalSave::SaveAll.
 */
using DumpFunction = std::function<bool(const QString& connectionString, StatusFrame& statusFrame)>;

/** Everything the schedule and the backup commands work with, injected. All references outlive the users. */
struct ScheduleContext
{
    MainView& mainView; ///< Form2: status line, PushButton5, Timer1, ProgressBar1, ListView2, pointer, "< Back"
    ConnectionView& connectionView; ///< Form1: the connection fields in effect at the moment of a backup
    Dialogs& dialogs;
    SettingsStore& settings; ///< "StartStopState", "OftenIndex"
    const Clock& clock;
    WorkGuard& guard; ///< shared with the restore
    EventPump letEventsRun; ///< may be empty
    DumpFunction dump;
};
