#pragma once

#include "Failure.h"
#include "Views.h"

#include <QStringList>

#include <functional>

/** The main window for logic tests: plain fields, plus a record of every status text and pointer shown. */
class FakeMainView : public MainView
{
public:
    // StatusFrame
    QString caption() const override { return status; }
    void setCaption(const QString& caption) override
    {
        status = caption;
        statusHistory.append(caption);
        if (onStatus)
            onStatus(caption);
    }

    // PointerControl
    MousePointer pointer() const override { return currentPointer; }
    void setPointer(MousePointer p) override
    {
        currentPointer = p;
        pointerHistory.append(p);
    }

    QString autoBackupCaption() const override { return buttonCaption; }
    void setAutoBackupCaption(const QString& caption) override { buttonCaption = caption; }
    int timerInterval() const override { return timer; }
    void setTimerInterval(int milliseconds) override { timer = milliseconds; }

    void setProgressMaximum(int maximum) override { progressMaximum = maximum; }
    void setProgressValue(int value) override { progressValue = value; }
    void setProgressText(const QString& text) override { progressText = text; }

    std::optional<QString> selectedIntervalCaption() const override
    {
        if (selected < 0 || selected >= intervals.size())
            return std::nullopt;
        return intervals[selected];
    }
    bool selectInterval(int position) override
    {
        if (position < 1 || position > intervals.size())
            return false;
        selected = position - 1;
        return true;
    }

    QString backupFolder() const override { return folder; }
    QString restoreAs() const override { return restoreAsName; }
    BackupOptions backupOptions() const override { return options; }
    QString restoreFile() const override { return restorePath; }
    void setRestoreFile(const QString& path) override
    {
        restorePath = path;
        ++restoreFileChanges;
    }

    void showConnectionWindow() override { connectionWindowShown = true; }
    void hideWindow() override { hidden = true; }

    QString status = QStringLiteral("Next backup will occur in ");
    QStringList statusHistory;
    /** Runs after every status text is set (for tests that act in the middle of a procedure). */
    std::function<void(const QString&)> onStatus;
    MousePointer currentPointer = MousePointer::Default;
    QList<MousePointer> pointerHistory;
    QString buttonCaption = QStringLiteral("Turn On Auto Backup");
    int timer = 0;
    int progressMaximum = 100;
    int progressValue = 0;
    QString progressText = QStringLiteral("Progress Bar");
    QStringList intervals; ///< ListView2's captions
    int selected = -1; ///< 0-based, -1 for none
    QString folder;
    QString restorePath;
    QString restoreAsName; ///< the field "Restore as"
    BackupOptions options; ///< the backup options' controls
    int restoreFileChanges = 0;
    bool connectionWindowShown = false;
    bool hidden = false;
};

/** The connection window for logic tests: the fields as a plain value. */
class FakeConnectionView : public ConnectionView
{
public:
    MousePointer pointer() const override { return currentPointer; }
    void setPointer(MousePointer p) override { currentPointer = p; }
    ConnectionSettings currentSettings() const override
    {
        ++reads;
        if (failReads > 0) {
            --failReads;
            throw Failure(QStringLiteral("The connection window cannot be read."));
        }
        return settings;
    }

    ConnectionSettings settings;
    MousePointer currentPointer = MousePointer::Default;
    mutable int reads = 0;
    /** The next reads that fail. */
    mutable int failReads = 0;
};
