#pragma once

#include "Startup.h"

#include <QString>

/**
 * Start with Windows: a value in the current user's Run key, HKEY_CURRENT_USER\Software\Microsoft\Windows\
 * CurrentVersion\Run, named after the program's file ("tessaline.exe") and holding its quoted full path. The
 * per-user key, because a program that runs as the user (asInvoker) cannot write the machine-wide one; every write
 * and removal is checked, and a failure says why.
 */
class WindowsRunKey : public StartupRegistration
{
public:
    /** The Run key's path under HKEY_CURRENT_USER. */
    static const QString DefaultKey;

    /** A value that starts `programPath`, kept under `runKey` (a path below HKEY_CURRENT_USER). */
    WindowsRunKey(QString programPath, QString runKey = DefaultKey);
    /** A value for the running program (QCoreApplication::applicationFilePath()) in the Run key. */
    WindowsRunKey();

    /** The value's name: the program's file name. */
    QString valueName() const;
    /** The value's data: the program's full path with backslashes, in double quotes. */
    QString valueData() const;

    void RegisterStartup() override;
    /** Removes the value; a missing value is fine; throws Failure when it cannot be removed. */
    void UnregisterStartup() override;
    bool IsRegistered() const override;

private:
    QString m_programPath;
    QString m_key;
};
