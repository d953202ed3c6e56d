#pragma once

#include "BackupOptions.h"
#include "ConnectionSettings.h"

#include <QString>

#include <optional>

/** The mouse pointer values a window takes: the arrow, the hourglass during long work, the custom hand. */
enum class MousePointer {
    Default = 0,
    Hourglass = 11,
    Custom = 99,
};

/** A window's mouse pointer. */
class PointerControl
{
public:
    virtual ~PointerControl() = default;
    virtual MousePointer pointer() const = 0;
    virtual void setPointer(MousePointer pointer) = 0;
};

/** The status line: the caption of the main window's frame Frame5. */
class StatusFrame
{
public:
    virtual ~StatusFrame() = default;
    virtual QString caption() const = 0;
    virtual void setCaption(const QString& caption) = 0;
};

/** A status line without a window: it keeps its caption (the headless command, tests, benchmarks). */
class PlainStatusFrame : public StatusFrame
{
public:
    QString caption() const override { return m_caption; }
    void setCaption(const QString& caption) override { m_caption = caption; }

private:
    QString m_caption;
};

/** What the logic reads and writes on the connection window (Form1). */
class ConnectionView : public PointerControl
{
public:
    /** The six fields as they stand now (Text1, Text2, Text3, Text4, Text9, Check6). */
    virtual ConnectionSettings currentSettings() const = 0;
};

/** What the logic reads and writes on the main window (Form2). */
class MainView : public StatusFrame, public PointerControl
{
public:
    /** PushButton5's caption: "Turn On Auto Backup" or "Turn Off Auto Backup". */
    virtual QString autoBackupCaption() const = 0;
    virtual void setAutoBackupCaption(const QString& caption) = 0;

    /** Timer1's period in milliseconds; 0 is stopped. */
    virtual int timerInterval() const = 0;
    virtual void setTimerInterval(int milliseconds) = 0;

    /** ProgressBar1. */
    virtual void setProgressMaximum(int maximum) = 0;
    virtual void setProgressValue(int value) = 0;
    virtual void setProgressText(const QString& text) = 0;

    /** ListView2: the caption of the selected entry, none when nothing is selected. */
    virtual std::optional<QString> selectedIntervalCaption() const = 0;
    /** ListView2: selects the entry at a 1-based position; false when there is no such entry. */
    virtual bool selectInterval(int position) = 0;

    /** Text5, the backup folder. */
    virtual QString backupFolder() const = 0;
    /**
     * The controls of a backup's options, as a dump reads them when it starts: the number box "Keep the newest ...
     * backups (0 keeps all)", the check boxes "Compress backups (gzip)", "Complete schema (...)" and "Verify each
     * backup", the field "Copy each backup to:" (setting "CopyTo"; empty: no copy).
     */
    virtual BackupOptions backupOptions() const { return {}; }
    /** Text7, the restore file. Setting it runs its change handling (stores "Restore File"). */
    virtual QString restoreFile() const = 0;
    virtual void setRestoreFile(const QString& path) = 0;
    /** The field "Restore as": the database a restore goes into; empty restores into the one the script names. */
    virtual QString restoreAs() const { return {}; }

    /** "< Back": show the connection window (not modal) and hide this one. */
    virtual void showConnectionWindow() = 0;
    virtual void hideWindow() = 0;
};
