#pragma once

#include <QString>

#include <memory>

class QSettings;

/** Where every value of the settings store lives: the application `Brackwell`, section `Tessaline` (the keys:
 * Settings.h). */
namespace SettingKeys {
inline const QString Application = QStringLiteral("Brackwell");
inline const QString Section = QStringLiteral("Tessaline");

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
