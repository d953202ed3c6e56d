#pragma once

#include "EventPump.h"
#include "Views.h"
#include "WindowSupport.h"

#include <QString>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>

class BackupCommands;
class BackupSchedule;
class Clock;
class ConnectionFactory;
class Dialogs;
class IntervalSave;
class OffsiteCopy;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSpinBox;
class QTreeWidget;
class ScriptRestore;
class SettingsStore;
class ShellOpener;
class StartupRegistration;
class StopRequest;
class TrayBackend;
class TrayMinimizer;
class WorkGuard;
class cSysTray;

/** What the main window works with, given from outside so that tests can pass fakes. */
struct Form2Services
{
    SettingsStore& settings;
    Dialogs& dialogs;
    const Clock& clock;
    ConnectionFactory& factory;
    /** The backup engine: the dump of the schedule and "Backup Now (Test)", the file reader of the restore. */
    IntervalSave& engine;
    /** Refuses a second dump, or a restore, while a dump runs. */
    WorkGuard& guard;
    /** The connection window: its fields are the connection in effect; "< Back" shows it. */
    ConnectionView& connectionWindow;
    std::function<void()> showConnectionWindow;
    /** "Let pending window events run" for the tick and the pause. */
    EventPump letEventsRun;
    /** Start at login ("Load this software on Windows startup"). */
    StartupRegistration& startup;
    /** Opens the backup folder in the file manager. */
    ShellOpener& opener;
    /** The notification-area icon's platform side. */
    std::unique_ptr<TrayBackend> trayBackend;
    /** The program's folder, where the optional "HAND-M.CUR" is looked for. */
    QString programFolder;
    /** Ends the whole program at once; run after the closing handler. */
    std::function<void()> endProgram;
    /** The copy of each backup to another place (rclone): its checks and the remotes' list; may be null. */
    OffsiteCopy* offsite = nullptr;
    /** A stop from outside (a termination signal) that the restore heeds; the engine has its own. May be none. */
    StopRequest* stop = nullptr;
};

/**
 * The main window: the backup folder, the interval list, automatic backup on and off, "Backup Now (Test)", the
 * restore, the start-up options, the status line (Frame5's title) and the tray icon. Loaded the first time it is
 * shown; lives until the program ends.
 */
class Form2 : public QWidget, public MainView
{
    Q_OBJECT

public:
    explicit Form2(Form2Services services, QWidget* parent = nullptr);
    ~Form2() override;

    /** What the connection window's "Next >" does: loads the window the first time, then shows it (not modal). */
    void showWindow();
    /** True once `Form_Load` has run. */
    bool isLoaded() const { return m_loaded; }
    /** True when the last restore ended because of a stop from outside. */
    bool restoreInterrupted() const;

    void Form_Load();
    /** The closing handler: stops Timer1 and removes the tray icon (statements 100 and 102). */
    void Form_QueryUnload();

    // MainView
    QString caption() const override;
    void setCaption(const QString& caption) override;
    MousePointer pointer() const override { return m_pointer.pointer(); }
    void setPointer(MousePointer pointer) override { m_pointer.setPointer(pointer); }
    QString autoBackupCaption() const override;
    void setAutoBackupCaption(const QString& caption) override;
    int timerInterval() const override;
    void setTimerInterval(int milliseconds) override;
    void setProgressMaximum(int maximum) override;
    void setProgressValue(int value) override;
    void setProgressText(const QString& text) override;
    std::optional<QString> selectedIntervalCaption() const override;
    bool selectInterval(int position) override;
    QString backupFolder() const override;
    BackupOptions backupOptions() const override;
    QString restoreFile() const override;
    QString restoreAs() const override;
    void setRestoreFile(const QString& path) override;
    void showConnectionWindow() override;
    void hideWindow() override;

    /** The cursor the window shows now (for the hover rules). */
    QCursor shownCursor() const { return m_pointer.cursor(); }
    bool hasCustomPointer() const { return m_pointer.hasCustomCursor(); }
    /** `Loading`: true while `Form_Load` runs. */
    bool Loading() const { return m_loading; }

    cSysTray& trayIcon() { return *m_tray; }
    TrayMinimizer& trayMinimizer() { return *m_minimizer; }
    BackupSchedule& schedule() { return *m_schedule; }
    QTimer& Timer1() { return m_timer; }

    // Handlers of this window's own controls.
    void Check4_Click();
    void Check11_Click();
    void PushButton1_Click();
    void PushButton2_Click();
    /** The field "Copy each backup to:" is left: a usable destination is stored, anything else refused. */
    void CopyToText_Validate();
    /** "Remotes": lists the remotes of the user's rclone configuration and puts the chosen one in the field. */
    void CopyToRemotes_Click();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void createControls();
    void createFolderFrame();
    void createListAndStartupFrame();
    void createRestoreFrameAndButtons();
    void fitToTexts();
    QGroupBox* frame(const QString& name, const QString& caption, QRect rect);
    QPushButton* button(const QString& name, const QString& caption, QWidget* container, QRect rect);
    QLineEdit* field(const QString& name, QWidget* container, QRect rect);
    QCheckBox* checkBox(const QString& name, const QString& caption, QWidget* container, QRect rect);
    QLabel* label(const QString& name, const QString& caption, QWidget* container, QRect rect);
    void connectHandlers();
    void store(const QString& key, const QString& value);
    void fillField(QLineEdit* field, const QString& key, const QString& value);
    /** Runs a handler that has no error report of its own; a failure that escapes is shown as a message. */
    void guarded(const std::function<void()>& handler);
    /** Why a copy to `destination` cannot be made (no rclone, a destination with a remote's settings); empty: it can.
     */
    QString copyProblem(const QString& destination) const;

    Form2Services m_services;
    WindowPointer m_pointer;
    QTimer m_timer;
    bool m_loaded = false;
    bool m_loading = false;
    bool m_startMinimized = false;
    bool m_storeFailureShown = false;

    cSysTray* m_tray = nullptr;
    TrayMinimizer* m_minimizer = nullptr;
    std::unique_ptr<BackupSchedule> m_schedule;
    std::unique_ptr<BackupCommands> m_commands;
    std::unique_ptr<ScriptRestore> m_restore;

    QGroupBox* Frame5 = nullptr;
    QProgressBar* ProgressBar1 = nullptr;
    QGroupBox* Frame2 = nullptr;
    QLineEdit* Text5 = nullptr;
    QPushButton* PushButton1 = nullptr;
    QPushButton* PushButton2 = nullptr;
    // Retention and compression of the backups, in the folder frame's last row.
    QLabel* KeepBackupsLabel1 = nullptr;
    QSpinBox* KeepBackupsBox = nullptr;
    QLabel* KeepBackupsLabel2 = nullptr;
    QCheckBox* CompressCheck = nullptr;
    // The copy of each backup to another place, in the folder frame's second new row.
    QLabel* CopyToLabel = nullptr;
    QLineEdit* CopyToText = nullptr;
    QPushButton* CopyToRemotes = nullptr;
    QCheckBox* CompleteSchemaCheck = nullptr;
    QTreeWidget* ListView2 = nullptr;
    QGroupBox* Frame4 = nullptr;
    QCheckBox* Check4 = nullptr;
    QCheckBox* Check11 = nullptr;
    QGroupBox* Frame3 = nullptr;
    QLineEdit* Text7 = nullptr;
    QPushButton* PushButton10 = nullptr;
    QPushButton* PushButton9 = nullptr;
    // Restore under another name and the restore drill, in the restore frame's last row.
    QLabel* RestoreAsLabel = nullptr;
    QLineEdit* RestoreAsText = nullptr;
    QCheckBox* VerifyCheck = nullptr;
    QPushButton* PushButton5 = nullptr;
    QPushButton* PushButton6 = nullptr;
    QPushButton* PushButton3 = nullptr;
};
