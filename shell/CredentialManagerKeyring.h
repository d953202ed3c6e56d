#pragma once

#include "Keyring.h"

/**
 * The keyring on Windows: the user's Credential Manager (CredWriteW, CredReadW, CredDeleteW), one generic credential
 * per connection, named "Tessaline/" and the entry's key, holding the password as UTF-16. Windows keeps it encrypted
 * for the user's logon; "Control Panel > Credential Manager > Windows Credentials" shows it.
 */
class CredentialManagerKeyring : public Keyring
{
public:
    KeyringResult read(const KeyringEntry& entry) override;
    KeyringResult write(const KeyringEntry& entry, const QString& password) override;
    KeyringResult remove(const KeyringEntry& entry) override;

    /** The credential's target name for `entry`. */
    static QString targetName(const KeyringEntry& entry);
};
