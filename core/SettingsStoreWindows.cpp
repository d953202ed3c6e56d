// The settings store on Windows: the current user's registry, where the program settings of GetSetting and
// SaveSetting have always lived: HKEY_CURRENT_USER\Software\VB and VBA Program Settings\<application>\<section>, one
// REG_SZ value per key. The values are written with the registry API itself, as typed: QSettings' native format would
// store a text that begins with "@" in a form of its own.
#include "SettingsStore.h"
#include "WindowsErrorText.h"

#include "Failure.h"

#include <windows.h>

#include <string>

using namespace Qt::Literals::StringLiterals;

namespace {

/** The longest text read back: far more than any field holds, and a bound on what a damaged value costs. */
constexpr DWORD MaxValueBytes = 1024 * 1024;

/** A registry key that closes itself. */
class Key
{
public:
    Key() = default;
    ~Key()
    {
        if (m_key)
            RegCloseKey(m_key);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    HKEY* out() { return &m_key; }
    HKEY get() const { return m_key; }

private:
    HKEY m_key = nullptr;
};

} // namespace

SettingsStore::SettingsStore(const QString& configRoot)
    : m_root(configRoot)
{ }

SettingsStore::~SettingsStore() = default;

QString SettingsStore::defaultRoot()
{
    return u"Software\\VB and VBA Program Settings"_s;
}

QString SettingsStore::filePath(const QString& application) const
{
    return u"HKEY_CURRENT_USER\\"_s + m_root + u'\\' + application;
}

QString SettingsStore::GetSetting(const QString& application,
                                  const QString& section,
                                  const QString& key,
                                  const QString& defaultValue) const
{
    // Opened for reading only: reading never creates the key.
    const std::wstring path = QString(m_root + u'\\' + application + u'\\' + section).toStdWString();
    Key opened;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_QUERY_VALUE, opened.out()) != ERROR_SUCCESS)
        return defaultValue;
    const std::wstring name = key.toStdWString();
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(opened.get(), name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS
        || (type != REG_SZ && type != REG_EXPAND_SZ) || size > MaxValueBytes)
        return defaultValue;
    std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
    DWORD got = DWORD(value.size() * sizeof(wchar_t));
    if (RegQueryValueExW(opened.get(), name.c_str(), nullptr, &type, reinterpret_cast<LPBYTE>(value.data()), &got)
        != ERROR_SUCCESS)
        return defaultValue;
    value.resize(got / sizeof(wchar_t));
    // A REG_SZ ends in its NUL, which is not part of the text.
    while (!value.empty() && value.back() == L'\0')
        value.pop_back();
    return QString::fromStdWString(value);
}

void SettingsStore::SaveSetting(const QString& application,
                                const QString& section,
                                const QString& key,
                                const QString& value)
{
    const std::wstring path = QString(m_root + u'\\' + application + u'\\' + section).toStdWString();
    Key created;
    LSTATUS code = RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                                   nullptr, created.out(), nullptr);
    if (code == ERROR_SUCCESS) {
        const std::wstring name = key.toStdWString();
        const std::wstring text = value.toStdWString();
        code = RegSetValueExW(created.get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                              DWORD((text.size() + 1) * sizeof(wchar_t)));
    }
    if (code != ERROR_SUCCESS)
        throw Failure(u"The setting "_s + key + u" cannot be written to "_s + filePath(application) + u'\\' + section
                      + u": "_s + WindowsErrorText(code));
}

QString SettingsStore::get(const QString& key, const QString& defaultValue) const
{
    return GetSetting(SettingKeys::Application, SettingKeys::Section, key, defaultValue);
}

void SettingsStore::save(const QString& key, const QString& value)
{
    SaveSetting(SettingKeys::Application, SettingKeys::Section, key, value);
}
