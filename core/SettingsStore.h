#pragma once

#include <QString>

#include <memory>

class QSettings;

/** The keys of the settings store; every value lives under the application `Brackwell`, section `Tessaline`. */
namespace SettingKeys {
inline const QString Application = QStringLiteral("Brackwell");
inline const QString Section = QStringLiteral("Tessaline");

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

/**
 * The per-user settings store: text values addressed by application, section and key. Nothing is cached; every
 * write reaches the backing file at once. On Linux the store is one INI file, readable by its user alone because the
 * password is kept as typed (SettingsStore.cpp). On Windows it is the current user's registry
 * (SettingsStoreWindows.cpp): `configRoot` is a key under HKEY_CURRENT_USER, by default "Software\VB and VBA Program
 * Settings", each section a key below the application's, each value a REG_SZ as typed; `filePath` names the
 * application's key.
 */
class SettingsStore
{
public:
    /**
     * A store under the folder `configRoot`: each application's values live in
     * configRoot/<application>/<application>.ini with one group per section (created on the first write, file mode
     * 0600, folder 0700). Permissions of others are taken away from an existing file and folder; the owner's are left
     * as they are, so a store made read-only stays so and every write to it fails.
     */
    explicit SettingsStore(const QString& configRoot = defaultRoot());
    ~SettingsStore();
    SettingsStore(const SettingsStore&) = delete;
    SettingsStore& operator=(const SettingsStore&) = delete;

    /** The user's configuration folder: $XDG_CONFIG_HOME, else ~/.config. */
    static QString defaultRoot();
    /** The file that holds an application's values. */
    QString filePath(const QString& application = SettingKeys::Application) const;

    /** The stored text of the key, or `defaultValue` when it (or its section) is absent. Reading creates nothing. */
    QString GetSetting(const QString& application,
                       const QString& section,
                       const QString& key,
                       const QString& defaultValue = QString()) const;
    /** Stores `value` as the key's text, creating what is needed; throws Failure when the store cannot be written. */
    void SaveSetting(const QString& application, const QString& section, const QString& key, const QString& value);

    /** Shorthands for the program's own application and section. */
    QString get(const QString& key, const QString& defaultValue = QString()) const;
    void save(const QString& key, const QString& value);

private:
    void restrictPermissions(const QString& application) const;
    static bool ownerMayWrite(const QString& path);

    QString m_root;
};
