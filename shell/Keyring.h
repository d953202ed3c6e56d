#pragma once

#include <QString>

/** Which connection a password in the keyring belongs to: the program's name, the server, the user, the database. */
struct KeyringEntry
{
    QString Server;
    QString UserName;
    QString Database;

    /** The service name the entries are kept under. */
    static const QString Service;

    /**
     * The entry's key within the service: "Server=…;User=…;Database=…", with "\" and ";" in the values escaped by
     * a "\", so that two different connections never share an entry.
     */
    QString key() const;
    /** How a message names the entry: user@server/database. */
    QString describe() const;

    bool operator==(const KeyringEntry&) const = default;
};

/** The outcome of one keyring call. */
struct KeyringResult
{
    enum class Status {
        Ok,
        NotFound, ///< no such entry
        Unreachable, ///< no keyring answered, or it refused; `error` says why
    };

    Status status = Status::Ok;
    QString password; ///< what a read found
    QString error; ///< why the keyring could not be used, in words for the user

    bool ok() const { return status == Status::Ok; }
    static KeyringResult found(const QString& password) { return {Status::Ok, password, {}}; }
    static KeyringResult done() { return {}; }
    static KeyringResult notFound() { return {Status::NotFound, {}, {}}; }
    static KeyringResult unreachable(const QString& why) { return {Status::Unreachable, {}, why}; }
};

/**
 * The desktop's keyring (the Secret Service on Linux). Each call waits for its answer, so the headless command and
 * the windows use it the same way.
 */
class Keyring
{
public:
    virtual ~Keyring() = default;

    virtual KeyringResult read(const KeyringEntry& entry) = 0;
    /** Creates the entry or replaces its password. */
    virtual KeyringResult write(const KeyringEntry& entry, const QString& password) = 0;
    /** Removes the entry; one that is not there is no error (Ok or NotFound, as the keyring tells). */
    virtual KeyringResult remove(const KeyringEntry& entry) = 0;
};

#include <memory>

/** The platform's keyring: the Secret Service through QtKeychain on Linux, the Credential Manager on Windows. */
std::unique_ptr<Keyring> createDesktopKeyring();
/** The caption of the connection window's box that keeps the password in that keyring. */
QString keyringCheckCaption();
