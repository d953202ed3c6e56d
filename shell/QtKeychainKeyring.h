#pragma once

#include "Keyring.h"

/**
 * The keyring through QtKeychain: the Secret Service (GNOME Keyring, KWallet, KeePassXC) over the D-Bus session bus.
 * Needs a QCoreApplication; a call runs a local event loop until the answer comes, without taking user input.
 */
class QtKeychainKeyring : public Keyring
{
public:
    KeyringResult read(const KeyringEntry& entry) override;
    KeyringResult write(const KeyringEntry& entry, const QString& password) override;
    KeyringResult remove(const KeyringEntry& entry) override;

    /** Why no keyring can be reached from this process (no session bus), or empty when one may be. */
    static QString busProblem();
};
