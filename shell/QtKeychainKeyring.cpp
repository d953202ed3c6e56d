#include "QtKeychainKeyring.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusVariant>
#include <QEventLoop>

#include <qt6keychain/keychain.h>

using namespace Qt::Literals::StringLiterals;

namespace {

// Runs the job to its end and turns its error into a result.
KeyringResult runJob(QKeychain::Job& job)
{
    job.setAutoDelete(false);
    // Never a plain-text file instead of the keyring: that is what the option exists to avoid.
    job.setInsecureFallback(false);
    QEventLoop loop;
    QObject::connect(&job, &QKeychain::Job::finished, &loop, &QEventLoop::quit);
    job.start();
    // Typing while the keyring answers would run the field's handler again inside this one.
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    switch (job.error()) {
    case QKeychain::NoError:
        return KeyringResult::done();
    case QKeychain::EntryNotFound:
        return KeyringResult::notFound();
    case QKeychain::AccessDeniedByUser:
        return KeyringResult::unreachable(u"access to the keyring was denied ("_s + job.errorString() + u')');
    case QKeychain::NoBackendAvailable:
        return KeyringResult::unreachable(u"no keyring service is available ("_s + job.errorString() + u')');
    default:
        return KeyringResult::unreachable(job.errorString());
    }
}

// A locked keyring whose unlocking was refused (or could not be asked: no display) answers a lookup with nothing, as
// if there were no entry; the default collection's "Locked" property tells the two apart.
QString lockedProblem()
{
    QDBusMessage call
        = QDBusMessage::createMethodCall(u"org.freedesktop.secrets"_s, u"/org/freedesktop/secrets/aliases/default"_s,
                                         u"org.freedesktop.DBus.Properties"_s, u"Get"_s);
    call << u"org.freedesktop.Secret.Collection"_s << u"Locked"_s;
    const QDBusReply<QDBusVariant> reply = QDBusConnection::sessionBus().call(call, QDBus::Block, 10'000);
    if (!reply.isValid() || !reply.value().variant().toBool())
        return {};
    return u"the keyring is locked (it is unlocked by logging in to the desktop, or by the keyring's own tool)"_s;
}

} // namespace

QString QtKeychainKeyring::busProblem()
{
    // Without DBUS_SESSION_BUS_ADDRESS the bus is still found at $XDG_RUNTIME_DIR/bus, as in a systemd user service.
    const QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected())
        return {};
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        return u"no D-Bus session bus can be reached (DBUS_SESSION_BUS_ADDRESS is not set; the keyring is reached "
               u"from a logged-in session)"_s;
    const QString why = bus.lastError().message();
    return u"the D-Bus session bus cannot be reached"_s + (why.isEmpty() ? QString() : u" ("_s + why + u')');
}

KeyringResult QtKeychainKeyring::read(const KeyringEntry& entry)
{
    if (const QString problem = busProblem(); !problem.isEmpty())
        return KeyringResult::unreachable(problem);
    QKeychain::ReadPasswordJob job(KeyringEntry::Service);
    job.setKey(entry.key());
    KeyringResult result = runJob(job);
    if (result.ok())
        result.password = job.textData();
    else if (result.status == KeyringResult::Status::NotFound)
        if (const QString locked = lockedProblem(); !locked.isEmpty())
            return KeyringResult::unreachable(locked);
    return result;
}

KeyringResult QtKeychainKeyring::write(const KeyringEntry& entry, const QString& password)
{
    if (const QString problem = busProblem(); !problem.isEmpty())
        return KeyringResult::unreachable(problem);
    QKeychain::WritePasswordJob job(KeyringEntry::Service);
    job.setKey(entry.key());
    job.setTextData(password);
    return runJob(job);
}

KeyringResult QtKeychainKeyring::remove(const KeyringEntry& entry)
{
    if (const QString problem = busProblem(); !problem.isEmpty())
        return KeyringResult::unreachable(problem);
    QKeychain::DeletePasswordJob job(KeyringEntry::Service);
    job.setKey(entry.key());
    return runJob(job);
}

std::unique_ptr<Keyring> createDesktopKeyring()
{
    return std::make_unique<QtKeychainKeyring>();
}

QString keyringCheckCaption()
{
    return u"Keep the password in the desktop keyring"_s;
}
