#include "WindowsRunKey.h"

#include "WindowsErrorText.h"

#include "Failure.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <windows.h>

#include <string>

using namespace Qt::Literals::StringLiterals;

const QString WindowsRunKey::DefaultKey = u"Software\\Microsoft\\Windows\\CurrentVersion\\Run"_s;

namespace { } // namespace

WindowsRunKey::WindowsRunKey(QString programPath, QString runKey)
    : m_programPath(std::move(programPath))
    , m_key(std::move(runKey))
{ }

WindowsRunKey::WindowsRunKey()
    : WindowsRunKey(QCoreApplication::applicationFilePath())
{ }

QString WindowsRunKey::valueName() const
{
    return QFileInfo(m_programPath).fileName();
}

QString WindowsRunKey::valueData() const
{
    // Quoted: a path with spaces ("C:\Program Files\...") would otherwise be split by the shell that starts it.
    return u'"' + QDir::toNativeSeparators(m_programPath) + u'"';
}

void WindowsRunKey::RegisterStartup()
{
    const QString where = u"HKEY_CURRENT_USER\\"_s + m_key;
    HKEY key = nullptr;
    LSTATUS code = RegCreateKeyExW(HKEY_CURRENT_USER, m_key.toStdWString().c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                   KEY_SET_VALUE, nullptr, &key, nullptr);
    if (code == ERROR_SUCCESS) {
        const std::wstring data = valueData().toStdWString();
        code = RegSetValueExW(key, valueName().toStdWString().c_str(), 0, REG_SZ,
                              reinterpret_cast<const BYTE*>(data.c_str()), DWORD((data.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
    }
    if (code != ERROR_SUCCESS)
        throw Failure(u"The program cannot be set to start with Windows: the value "_s + valueName() + u" in "_s + where
                      + u" cannot be written: "_s + WindowsErrorText(code));
}

void WindowsRunKey::UnregisterStartup()
{
    HKEY key = nullptr;
    LSTATUS code = RegOpenKeyExW(HKEY_CURRENT_USER, m_key.toStdWString().c_str(), 0, KEY_SET_VALUE, &key);
    if (code == ERROR_FILE_NOT_FOUND)
        return;
    if (code == ERROR_SUCCESS) {
        code = RegDeleteValueW(key, valueName().toStdWString().c_str());
        RegCloseKey(key);
    }
    if (code != ERROR_SUCCESS && code != ERROR_FILE_NOT_FOUND)
        throw Failure(u"The program cannot stop starting with Windows: the value "_s + valueName() + u" in "_s
                      + u"HKEY_CURRENT_USER\\"_s + m_key + u" cannot be removed: "_s + WindowsErrorText(code));
}

bool WindowsRunKey::IsRegistered() const
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, m_key.toStdWString().c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    DWORD type = 0;
    const bool found
        = RegQueryValueExW(key, valueName().toStdWString().c_str(), nullptr, &type, nullptr, nullptr) == ERROR_SUCCESS
        && type == REG_SZ;
    RegCloseKey(key);
    return found;
}

std::unique_ptr<StartupRegistration> createStartupRegistration()
{
    return std::make_unique<WindowsRunKey>();
}
