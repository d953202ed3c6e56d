#include "CredentialManagerKeyring.h"

#include "WindowsErrorText.h"

#include <windows.h>

#include <wincred.h>

#include <string>

using namespace Qt::Literals::StringLiterals;

namespace {

std::wstring wide(const QString& text)
{
    return text.toStdWString();
}

KeyringResult failure(const char* what, DWORD code)
{
    return KeyringResult::unreachable(u"the Credential Manager refused to "_s + QString::fromLatin1(what) + u": "_s
                                      + WindowsErrorText(code));
}

} // namespace

QString CredentialManagerKeyring::targetName(const KeyringEntry& entry)
{
    return KeyringEntry::Service + u'/' + entry.key();
}

KeyringResult CredentialManagerKeyring::read(const KeyringEntry& entry)
{
    const std::wstring target = wide(targetName(entry));
    PCREDENTIALW credential = nullptr;
    if (!CredReadW(target.c_str(), CRED_TYPE_GENERIC, 0, &credential)) {
        const DWORD code = GetLastError();
        if (code == ERROR_NOT_FOUND)
            return KeyringResult::notFound();
        return failure("read the password", code);
    }
    const QString password = QString::fromWCharArray(reinterpret_cast<const wchar_t*>(credential->CredentialBlob),
                                                     int(credential->CredentialBlobSize / sizeof(wchar_t)));
    CredFree(credential);
    return KeyringResult::found(password);
}

KeyringResult CredentialManagerKeyring::write(const KeyringEntry& entry, const QString& password)
{
    std::wstring target = wide(targetName(entry));
    std::wstring user = wide(entry.UserName);
    std::wstring secret = wide(password);
    std::wstring comment = wide(u"Tessaline: the password of "_s + entry.describe());
    CREDENTIALW credential{};
    credential.Type = CRED_TYPE_GENERIC;
    credential.TargetName = target.data();
    credential.Comment = comment.data();
    credential.CredentialBlobSize = DWORD(secret.size() * sizeof(wchar_t));
    credential.CredentialBlob = reinterpret_cast<LPBYTE>(secret.data());
    credential.Persist = CRED_PERSIST_LOCAL_MACHINE;
    credential.UserName = user.data();
    if (!CredWriteW(&credential, 0))
        return failure("store the password", GetLastError());
    return KeyringResult::done();
}

KeyringResult CredentialManagerKeyring::remove(const KeyringEntry& entry)
{
    const std::wstring target = wide(targetName(entry));
    if (!CredDeleteW(target.c_str(), CRED_TYPE_GENERIC, 0)) {
        const DWORD code = GetLastError();
        if (code == ERROR_NOT_FOUND)
            return KeyringResult::notFound();
        return failure("remove the password", code);
    }
    return KeyringResult::done();
}

std::unique_ptr<Keyring> createDesktopKeyring()
{
    return std::make_unique<CredentialManagerKeyring>();
}

QString keyringCheckCaption()
{
    // Shorter than the desktop's wording: the box has the same room, and Windows' Arial is wider.
    return u"Password in Credential Manager"_s;
}
