#pragma once

#include "Startup.h"

#include <QString>

/**
 * Start at login on freedesktop desktops: a per-user autostart entry (a .desktop file) whose Exec line runs the
 * program.
 */
class XdgAutostart : public StartupRegistration
{
public:
    /** The entry's file name inside the autostart folder. */
    static const QString EntryFileName;

    /** An entry that starts `programPath`, kept in `autostartFolder`. */
    XdgAutostart(QString programPath, QString autostartFolder);
    /** An entry for the running program (QCoreApplication::applicationFilePath()) in defaultFolder(). */
    XdgAutostart();

    /** The user's autostart folder: $XDG_CONFIG_HOME/autostart when that is an absolute path, else ~/.config/autostart.
     */
    static QString defaultFolder();
    /** The full path of the entry file. */
    QString entryPath() const;
    /** The text of the entry (UTF-8 when written). */
    QString entryText() const;
    /** `path` as one argument of an Exec line: quoted, with the desktop entry's escapes applied. */
    static QString quoteExecArgument(const QString& path);

    /** Writes the entry file (creating the folder); throws Failure when it cannot. */
    void RegisterStartup() override;
    /** Removes the entry file; a missing file is fine; throws Failure when it cannot be removed. */
    void UnregisterStartup() override;
    bool IsRegistered() const override;

private:
    QString m_programPath;
    QString m_folder;
};
