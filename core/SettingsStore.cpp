#include "SettingsStore.h"

#include "Failure.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

using namespace Qt::Literals::StringLiterals;

namespace {

QString settingsKey(const QString& section, const QString& key)
{
    return section + u'/' + key;
}

} // namespace

SettingsStore::SettingsStore(const QString& configRoot)
    : m_root(configRoot)
{
    // Files written by earlier versions or by hand may be readable by others: the password is in them.
    if (QFileInfo::exists(filePath()))
        restrictPermissions(SettingKeys::Application);
}

SettingsStore::~SettingsStore() = default;

QString SettingsStore::defaultRoot()
{
    const QString xdg = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (!xdg.isEmpty() && QDir::isAbsolutePath(xdg))
        return xdg;
    return QDir::homePath() + u"/.config"_s;
}

QString SettingsStore::filePath(const QString& application) const
{
    return m_root + u'/' + application + u'/' + application + u".ini"_s;
}

QString SettingsStore::GetSetting(const QString& application,
                                  const QString& section,
                                  const QString& key,
                                  const QString& defaultValue) const
{
    const QString path = filePath(application);
    if (!QFileInfo::exists(path))
        return defaultValue; // reading never creates anything
    // A fresh QSettings per call: nothing is cached, a change made by another process is seen at once.
    QSettings settings(path, QSettings::IniFormat);
    const QVariant value = settings.value(settingsKey(section, key));
    return value.isValid() ? value.toString() : defaultValue;
}

void SettingsStore::SaveSetting(const QString& application,
                                const QString& section,
                                const QString& key,
                                const QString& value)
{
    const QString path = filePath(application);
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder))
        throw Failure(u"The settings folder "_s + folder + u" cannot be created."_s);
    // The folder is closed to others before the first value (perhaps the password) is written into it.
    restrictPermissions(application);
    // A file or folder without the owner's write permission was made read-only on purpose; root could still write.
    if (!ownerMayWrite(folder) || !ownerMayWrite(path))
        throw Failure(u"The setting "_s + key + u" cannot be written to "_s + path + u'.');
    {
        QSettings settings(path, QSettings::IniFormat);
        // A file that does not read as settings would lose what cannot be read when it is written again: it is left
        // as it is, for the user to mend.
        const auto refuseDamaged = [&] {
            if (settings.status() == QSettings::FormatError)
                throw Failure(u"The setting "_s + key + u" cannot be stored: the settings file "_s + path
                              + u" is damaged (it does not read as settings), and it is left as it is. Mend it, or "
                                u"move it away to start with new settings."_s);
        };
        (void)settings.allKeys(); // reads the file
        refuseDamaged();
        settings.setValue(settingsKey(section, key), value);
        settings.sync();
        refuseDamaged();
        if (settings.status() != QSettings::NoError)
            throw Failure(u"The setting "_s + key + u" cannot be written to "_s + path + u'.');
    }
    restrictPermissions(application);
}

QString SettingsStore::get(const QString& key, const QString& defaultValue) const
{
    return GetSetting(SettingKeys::Application, SettingKeys::Section, key, defaultValue);
}

void SettingsStore::save(const QString& key, const QString& value)
{
    SaveSetting(SettingKeys::Application, SettingKeys::Section, key, value);
}

void SettingsStore::restrictPermissions(const QString& application) const
{
    // Only taken away, never added: a store the user made read-only stays read-only, and writes to it fail.
    const auto tighten = [](const QString& path, QFile::Permissions allowed) {
        if (!QFileInfo::exists(path))
            return;
        // The "user" bits tell what this process may do (for root: everything), not what the mode says.
        const QFile::Permissions now
            = QFile::permissions(path) & ~(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser);
        const QFile::Permissions tightened = now & allowed;
        if (tightened != now)
            QFile::setPermissions(path, tightened);
    };
    const QString path = filePath(application);
    tighten(QFileInfo(path).absolutePath(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    tighten(path, QFile::ReadOwner | QFile::WriteOwner);
}

bool SettingsStore::ownerMayWrite(const QString& path)
{
    return !QFileInfo::exists(path) || QFile::permissions(path).testFlag(QFile::WriteOwner);
}
