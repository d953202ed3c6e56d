#pragma once

// Windows tests: a throwaway key under HKEY_CURRENT_USER that is removed with everything below it, and raw reads of
// what the program wrote there, past the program's own reader.

#include <QRandomGenerator>
#include <QString>

#include <windows.h>

#include <optional>
#include <string>

class ScratchRegistryKey
{
public:
    ScratchRegistryKey()
        : m_path(QStringLiteral("Software\\Tessaline tests\\")
                 + QString::number(QRandomGenerator::global()->generate64(), 16))
    { }
    ~ScratchRegistryKey() { RegDeleteTreeW(HKEY_CURRENT_USER, m_path.toStdWString().c_str()); }
    ScratchRegistryKey(const ScratchRegistryKey&) = delete;
    ScratchRegistryKey& operator=(const ScratchRegistryKey&) = delete;

    /** The key's path below HKEY_CURRENT_USER. */
    const QString& path() const { return m_path; }

    static bool exists(const QString& path)
    {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, path.toStdWString().c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
            return false;
        RegCloseKey(key);
        return true;
    }

    /** The value's type and its bytes as UTF-16 text (without the last NUL), or nothing when it is absent. */
    static std::optional<std::pair<DWORD, QString>> value(const QString& path, const QString& name)
    {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, path.toStdWString().c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
            return std::nullopt;
        DWORD type = 0;
        DWORD size = 0;
        const std::wstring wname = name.toStdWString();
        std::optional<std::pair<DWORD, QString>> result;
        if (RegQueryValueExW(key, wname.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
            std::wstring data(size / sizeof(wchar_t), L'\0');
            RegQueryValueExW(key, wname.c_str(), nullptr, &type, reinterpret_cast<LPBYTE>(data.data()), &size);
            if (!data.empty() && data.back() == L'\0')
                data.pop_back();
            result = std::make_pair(type, QString::fromStdWString(data));
        }
        RegCloseKey(key);
        return result;
    }

    /** Every value's name and text under the key, one "name=text" line each. */
    static QString allValues(const QString& path)
    {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, path.toStdWString().c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
            return {};
        QString all;
        for (DWORD index = 0;; ++index) {
            wchar_t name[16384];
            DWORD nameLength = 16384;
            if (RegEnumValueW(key, index, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                break;
            const QString valueName = QString::fromWCharArray(name, int(nameLength));
            const auto found = value(path, valueName);
            all += valueName + u'=' + (found ? found->second : QString()) + u'\n';
        }
        RegCloseKey(key);
        return all;
    }

    /** Writes a REG_SZ value, making the key. */
    static void write(const QString& path, const QString& name, const QString& text)
    {
        HKEY key = nullptr;
        RegCreateKeyExW(HKEY_CURRENT_USER, path.toStdWString().c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                        nullptr);
        const std::wstring data = text.toStdWString();
        RegSetValueExW(key, name.toStdWString().c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                       DWORD((data.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
    }

private:
    QString m_path;
};
