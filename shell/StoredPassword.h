#pragma once

#include "Keyring.h"

#include <QString>

#include <functional>
#include <optional>

class SettingsStore;

/**
 * Where the connection's password is kept, and every move of it: in the settings store, or, with
 * "PasswordInKeyring" on, in the desktop keyring under the entry of the server, the user and the database. No widget:
 * the connection window drives it from its fields, the command asks it for the password of the connection in use.
 * Each step answers what went wrong in words for the user; an empty text means nothing did. At every step the
 * password stays somewhere the next start finds it.
 */
class StoredPassword
{
public:
    StoredPassword(SettingsStore& settings, Keyring* keyring);

    /** What the start reads: whether the keyring holds the password, the password, and why it could not be read. */
    struct Loaded
    {
        bool inKeyring = false;
        /** None: the keyring could not be read; the field stays empty and the entry untouched until the user types. */
        std::optional<QString> password;
        QString problem;
    };
    /** Reads the option and the password, from the keyring entry of the stored server, user and database. */
    Loaded load();

    bool inKeyring() const { return m_inKeyring; }

    /**
     * The password was typed, with the password in the keyring: writes it into the current entry. A failure is
     * answered once until a write succeeds again, not per keystroke.
     */
    QString typed(const QString& password);
    /** The server, the user or the database changed: the password moves to the new entry, the old one is removed. */
    QString follow(const KeyringEntry& entry, const QString& password);
    /**
     * "Keep the password in the desktop keyring" ticked: into the keyring first, then the option, then the stored
     * password emptied. When it answers a problem before the option is stored, the password stays where it was.
     */
    QString keep(const KeyringEntry& entry, const QString& password);

    /** What turning the option off did: the password now in the settings store, or none when it stays in the keyring.
     */
    struct TakenBack
    {
        std::optional<QString> password;
        QString problem;
    };
    /** The option unticked: the password (the field's, or the keyring's when never read) back into the settings store.
     */
    TakenBack takeBack(const QString& fieldText);

    /**
     * For a connection that may differ from the stored one (the command's --server, --user, --database): the entry
     * of `given`, or else, when none is kept for it, the stored connection's. NotFound when neither has one.
     */
    KeyringResult lookUp(const KeyringEntry& given) const;

    /** The entry the stored server, user and database name. */
    KeyringEntry storedEntry() const;

    /** A reason as a sentence: with its full stop. */
    static QString sentence(const QString& why);

private:
    KeyringResult call(const std::function<KeyringResult(Keyring&)>& step) const;
    /** Saves one setting; its failure's text, or empty. */
    QString save(const QString& key, const QString& value);
    QString writeFailedOnce(const QString& problem);

    SettingsStore& m_settings;
    Keyring* m_keyring;
    bool m_inKeyring = false;
    // With the password in the keyring: the entry it is kept under, and what the keyring holds as far as known.
    KeyringEntry m_entry;
    std::optional<QString> m_kept;
    bool m_knowsPassword = true; ///< false while the keyring could not be read and nothing was typed
    bool m_writeFailureSaid = false;
};
