#pragma once

#include "Settings.h"
#include "Views.h"

#include <QString>

#include <exception>

/** PushButton5's caption while automatic backup is off (a click turns it on). */
inline const QString TurnOnAutoBackupCaption = QStringLiteral("Turn On Auto Backup");
/** PushButton5's caption while automatic backup is on (a click turns it off). */
inline const QString TurnOffAutoBackupCaption = QStringLiteral("Turn Off Auto Backup");
/** The status line after automatic backup was turned off by a restore, a failed backup or the load. */
inline const QString AutoBackupTurnedOffStatus = QStringLiteral("Auto Backup is Turned Off.");
/** Timer1's period while automatic backup is on. */
inline constexpr int AutoBackupTimerInterval = 1000;

/**
 * Turns automatic backup off in its four fixed steps: the status line "Auto Backup is Turned Off.", PushButton5's
 * caption "Turn On Auto Backup", Timer1 stopped, "Off" stored under "StartStopState". Every step runs even when an
 * earlier one failed; the first failure is thrown again at the end.
 */
inline void TurnAutoBackupOff(MainView& view, SettingsStore& settings)
{
    std::exception_ptr firstFailure;
    auto step = [&](auto&& action) {
        try {
            action();
        } catch (...) {
            if (!firstFailure)
                firstFailure = std::current_exception();
        }
    };
    step([&] { view.setCaption(AutoBackupTurnedOffStatus); });
    step([&] { view.setAutoBackupCaption(TurnOnAutoBackupCaption); });
    step([&] { view.setTimerInterval(0); });
    step([&] { Settings::StartStopState.write(settings, OnOff::Off); });
    if (firstFailure)
        std::rethrow_exception(firstFailure);
}
