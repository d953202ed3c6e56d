#include "StoredPassword.h"

#include "Failure.h"
#include "Settings.h"
#include "SettingsStore.h"

using namespace Qt::Literals::StringLiterals;

StoredPassword::StoredPassword(SettingsStore& settings, Keyring* keyring)
    : m_settings(settings)
    , m_keyring(keyring)
{ }

QString StoredPassword::sentence(const QString& why)
{
    return why.endsWith(u'.') ? why : why + u'.';
}

KeyringResult StoredPassword::call(const std::function<KeyringResult(Keyring&)>& step) const
{
    if (!m_keyring)
        return KeyringResult::unreachable(u"this program was built without a keyring"_s);
    return step(*m_keyring);
}

QString StoredPassword::save(const QString& key, const QString& value)
{
    try {
        m_settings.save(key, value);
        return {};
    } catch (const Failure& failure) {
        return failure.description();
    }
}

KeyringEntry StoredPassword::storedEntry() const
{
    return KeyringEntry{m_settings.get(SettingKeys::MSServer), m_settings.get(SettingKeys::MSUser),
                        m_settings.get(SettingKeys::MSDatabase)};
}

StoredPassword::Loaded StoredPassword::load()
{
    m_inKeyring = Settings::PasswordInKeyring.read(m_settings);
    if (!m_inKeyring)
        return Loaded{false, m_settings.get(SettingKeys::MSPassword), {}};
    m_entry = storedEntry();
    const KeyringEntry entry = m_entry;
    const KeyringResult found = call([&](Keyring& keyring) { return keyring.read(entry); });
    if (found.status == KeyringResult::Status::Unreachable) {
        m_kept.reset();
        m_knowsPassword = false;
        return Loaded{true, std::nullopt,
                      u"The password cannot be read from the desktop keyring: "_s + sentence(found.error)
                          + u" It stays there; type it to use it now."_s};
    }
    m_kept = found.password; // none found: an empty password
    m_knowsPassword = true;
    return Loaded{true, found.password, {}};
}

QString StoredPassword::writeFailedOnce(const QString& problem)
{
    if (m_writeFailureSaid)
        return {};
    m_writeFailureSaid = true;
    return problem;
}

QString StoredPassword::typed(const QString& password)
{
    if (!m_inKeyring || m_kept == password)
        return {}; // the load's fill, or a text the keyring already holds
    m_knowsPassword = true; // typed: the newest password, also when the keyring does not take it
    const KeyringEntry entry = m_entry;
    const KeyringResult written = call([&](Keyring& keyring) { return keyring.write(entry, password); });
    if (written.ok()) {
        m_kept = password;
        m_writeFailureSaid = false;
        return {};
    }
    // The field keeps the new text for this run; the keyring keeps the old password.
    return writeFailedOnce(u"The password cannot be written to the desktop keyring: "_s + sentence(written.error)
                           + u" The keyring keeps the password it had; the one typed is used until Tessaline ends."_s);
}

QString StoredPassword::follow(const KeyringEntry& entry, const QString& password)
{
    if (!m_inKeyring || entry == m_entry)
        return {};
    if (!m_knowsPassword)
        return {}; // never read from the keyring nor typed: the password stays under the entry it is in
    const KeyringResult written = call([&](Keyring& keyring) { return keyring.write(entry, password); });
    if (!written.ok())
        return writeFailedOnce(u"The password cannot be written to the desktop keyring: "_s + sentence(written.error)
                               + u" It stays in the entry of "_s + m_entry.describe() + u'.');
    m_writeFailureSaid = false;
    // The old entry is removed once the new one holds the password; a leftover would only be clutter.
    const KeyringEntry old = m_entry;
    call([&](Keyring& keyring) { return keyring.remove(old); });
    m_entry = entry;
    m_kept = password;
    return {};
}

QString StoredPassword::keep(const KeyringEntry& entry, const QString& password)
{
    const KeyringResult written = call([&](Keyring& keyring) { return keyring.write(entry, password); });
    if (!written.ok())
        return u"The password cannot be kept in the desktop keyring: "_s + sentence(written.error)
            + u" It stays in the settings file."_s;
    if (const QString problem = save(SettingKeys::PasswordInKeyring, OnOff::On); !problem.isEmpty()) {
        call([&](Keyring& keyring) { return keyring.remove(entry); });
        return problem;
    }
    m_inKeyring = true;
    m_entry = entry;
    m_kept = password;
    m_knowsPassword = true;
    m_writeFailureSaid = false;
    // The option is on and the keyring holds the password: the settings file's copy is only a leftover now.
    return save(SettingKeys::MSPassword, QString());
}

StoredPassword::TakenBack StoredPassword::takeBack(const QString& fieldText)
{
    const KeyringEntry entry = m_entry;
    QString password = fieldText;
    if (!m_knowsPassword) {
        // Unread at load and not typed since: the keyring has it, and only it.
        const KeyringResult found = call([&](Keyring& keyring) { return keyring.read(entry); });
        if (found.status == KeyringResult::Status::Unreachable)
            return TakenBack{std::nullopt,
                             u"The password cannot be taken back from the desktop keyring: "_s + sentence(found.error)
                                 + u" It stays there, and so does the option."_s};
        password = found.password;
    }
    if (QString problem = save(SettingKeys::MSPassword, password); !problem.isEmpty())
        return TakenBack{std::nullopt, problem};
    if (QString problem = save(SettingKeys::PasswordInKeyring, OnOff::Off); !problem.isEmpty())
        return TakenBack{std::nullopt, problem};
    m_inKeyring = false;
    m_kept.reset();
    const KeyringResult removed = call([&](Keyring& keyring) { return keyring.remove(entry); });
    if (removed.status == KeyringResult::Status::Unreachable)
        return TakenBack{password,
                         u"The password is back in the settings file, but its entry cannot be removed "
                         u"from the desktop keyring: "_s
                             + sentence(removed.error)};
    return TakenBack{password, {}};
}

KeyringResult StoredPassword::lookUp(const KeyringEntry& given) const
{
    const KeyringEntry stored = storedEntry();
    KeyringResult found = call([&](Keyring& keyring) { return keyring.read(given); });
    if (found.status != KeyringResult::Status::NotFound || stored == given)
        return found;
    return call([&](Keyring& keyring) { return keyring.read(stored); });
}
