#pragma once

#include "SettingsStore.h"

/** The keys of the settings store, each with the meaning of its text. */
namespace SettingKeys {
inline const QString MSServer = QStringLiteral("MSServer");
inline const QString MSUser = QStringLiteral("MSUser");
inline const QString MSPassword = QStringLiteral("MSPassword");
inline const QString MSDatabase = QStringLiteral("MSDatabase");
inline const QString MSPort = QStringLiteral("MSPort");
inline const QString LocalConnection = QStringLiteral("Local Connection");
inline const QString Path = QStringLiteral("Path");
inline const QString OftenIndex = QStringLiteral("OftenIndex");
inline const QString StartStopState = QStringLiteral("StartStopState");
inline const QString WindowsStartup = QStringLiteral("Windows Startup");
inline const QString Minimized = QStringLiteral("Minimized");
inline const QString RestoreFile = QStringLiteral("Restore File");
/** How many of the newest backups of the database stay: decimal text 0 to 100000; absent or "0" keeps all. */
inline const QString KeepBackups = QStringLiteral("KeepBackups");
/** "On": backups are written through gzip ("<name>.sql.gz"); absent or anything else: "Off". */
inline const QString Compress = QStringLiteral("Compress");
/**
 * "On": the password is kept in the desktop keyring and "MSPassword" is empty; absent or anything else: "Off", the
 * password in "MSPassword".
 */
inline const QString PasswordInKeyring = QStringLiteral("PasswordInKeyring");
/**
 * Where each saved backup is copied by rclone: a destination such as "nas:backups/sales" (a remote of the user's own
 * rclone configuration, which keeps its credentials) or a folder; absent or empty: no copy.
 */
inline const QString CopyTo = QStringLiteral("CopyTo");
/** The field "Restore as": the database a restore goes into; absent or empty: the one the script names. */
inline const QString RestoreAs = QStringLiteral("Restore As");
/** "On": every saved backup goes through the restore drill; absent or anything else: "Off". */
inline const QString VerifyBackups = QStringLiteral("VerifyBackups");
/** "On": backups hold the complete schema around the rows, in GO batches; absent or anything else: "Off". */
inline const QString CompleteSchema = QStringLiteral("CompleteSchema");
} // namespace SettingKeys

/** The two texts of an on/off setting. */
namespace OnOff {
inline const QString On = QStringLiteral("On");
inline const QString Off = QStringLiteral("Off");
inline QString text(bool on)
{
    return on ? On : Off;
}
} // namespace OnOff

/** A setting stored as its text: the key and the default in one place, read and written through the store. */
class TextSetting
{
public:
    TextSetting(const QString& key, QString defaultValue = {})
        : m_key(key)
        , m_default(std::move(defaultValue))
    { }
    const QString& key() const { return m_key; }
    const QString& defaultValue() const { return m_default; }
    /** The stored text, or the default when none is stored. */
    QString read(const SettingsStore& store) const { return store.get(m_key, m_default); }
    /** The stored text, or `defaultValue` when none is stored (a default known only at run time). */
    QString read(const SettingsStore& store, const QString& defaultValue) const
    {
        return store.get(m_key, defaultValue);
    }
    /** Throws Failure when the store cannot be written. */
    void write(SettingsStore& store, const QString& value) const { store.save(m_key, value); }

private:
    QString m_key;
    QString m_default;
};

/** An "On"/"Off" setting: on when the stored text is exactly "On" (as the default says when none is stored). */
class SwitchSetting
{
public:
    SwitchSetting(const QString& key, bool defaultOn = false)
        : m_key(key)
        , m_default(defaultOn)
    { }
    const QString& key() const { return m_key; }
    bool read(const SettingsStore& store) const { return store.get(m_key, OnOff::text(m_default)) == OnOff::On; }
    /** Throws Failure when the store cannot be written. */
    void write(SettingsStore& store, bool on) const { store.save(m_key, OnOff::text(on)); }

private:
    QString m_key;
    bool m_default;
};

/**
 * The table of settings: every key of the store with its type and its default. A new setting is one line here, the
 * control that shows it and the code that uses it.
 */
namespace Settings {
inline const TextSetting Server{SettingKeys::MSServer};
inline const TextSetting User{SettingKeys::MSUser};
inline const TextSetting Password{SettingKeys::MSPassword};
inline const TextSetting Database{SettingKeys::MSDatabase};
inline const TextSetting Port{SettingKeys::MSPort, QStringLiteral("1433")};
/** "0" leaves "Local Connection" off; any other text turns it on; written "1" or "0". */
inline const TextSetting LocalConnection{SettingKeys::LocalConnection, QStringLiteral("0")};
/** The backup folder; its default, the desktop folder, is known at run time. */
inline const TextSetting Path{SettingKeys::Path};
inline const TextSetting OftenIndex{SettingKeys::OftenIndex, QStringLiteral("2")};
/** "On" or "Off"; any other text leaves automatic backup as the window starts. */
inline const TextSetting StartStopState{SettingKeys::StartStopState, OnOff::On};
inline const SwitchSetting WindowsStartup{SettingKeys::WindowsStartup};
inline const SwitchSetting Minimized{SettingKeys::Minimized};
inline const TextSetting RestoreFile{SettingKeys::RestoreFile};
inline const TextSetting KeepBackups{SettingKeys::KeepBackups, QStringLiteral("0")};
inline const SwitchSetting Compress{SettingKeys::Compress};
inline const SwitchSetting PasswordInKeyring{SettingKeys::PasswordInKeyring};
inline const TextSetting CopyTo{SettingKeys::CopyTo};
inline const TextSetting RestoreAs{SettingKeys::RestoreAs};
inline const SwitchSetting VerifyBackups{SettingKeys::VerifyBackups};
inline const SwitchSetting CompleteSchema{SettingKeys::CompleteSchema};
} // namespace Settings
