#pragma once

#include "Keyring.h"

#include <QMap>
#include <QStringList>

/**
 * A keyring in memory: entries by key, a switch that makes it unreachable with a reason, and a record of the calls
 * ("read <key>", "write <key>", "remove <key>"). Header-only: include it from tests that link tessaline_keyring.
 */
class FakeKeyring : public Keyring
{
public:
    KeyringResult read(const KeyringEntry& entry) override
    {
        calls.append(QStringLiteral("read ") + entry.key());
        if (!unreachable.isEmpty())
            return KeyringResult::unreachable(unreachable);
        const auto found = entries.constFind(entry.key());
        return found == entries.cend() ? KeyringResult::notFound() : KeyringResult::found(*found);
    }
    KeyringResult write(const KeyringEntry& entry, const QString& password) override
    {
        calls.append(QStringLiteral("write ") + entry.key());
        if (!unreachable.isEmpty())
            return KeyringResult::unreachable(unreachable);
        entries.insert(entry.key(), password);
        return KeyringResult::done();
    }
    KeyringResult remove(const KeyringEntry& entry) override
    {
        calls.append(QStringLiteral("remove ") + entry.key());
        if (!unreachable.isEmpty())
            return KeyringResult::unreachable(unreachable);
        return entries.remove(entry.key()) > 0 ? KeyringResult::done() : KeyringResult::notFound();
    }

    QMap<QString, QString> entries; ///< password by KeyringEntry::key()
    QString unreachable; ///< when not empty, every call fails with this reason
    QStringList calls;
};
