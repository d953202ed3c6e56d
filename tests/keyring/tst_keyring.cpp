// The keyring against a real Secret Service (scripts/keyring-session): the QtKeychain implementation, the connection
// window with it, and the real tessaline-backup reading what the window kept, logging in to the TDS test server.
#include "QtKeychainKeyring.h"
#include "Settings.h"
#include "TdsServer.h"
#include "WindowHarness.h"

#include <QCheckBox>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QLineEdit>
#include <QProcess>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

namespace {

struct Result
{
    int exitCode = -1;
    QString out;
    QString err;
};

const char* const ChildVariable = "TESSALINE_KEYRING_TEST_CHILD";

} // namespace

class TestKeyring : public QObject
{
    Q_OBJECT

    tds::TdsServer m_server;
    QTemporaryDir m_dir;
    QtKeychainKeyring m_keyring;

    /** The real command with the settings of `configRoot`, the password from nowhere but the store or keyring. */
    Result runCommand(const QString& configRoot,
                      const QProcessEnvironment& base = QProcessEnvironment::systemEnvironment())
    {
        QProcessEnvironment env = base;
        env.insert(u"XDG_CONFIG_HOME"_s, configRoot);
        env.insert(u"TEMP"_s, m_dir.path());
        env.remove(u"TESSALINE_PASSWORD"_s);
        QProcess process;
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(TESSALINE_BINARY_DIR "/cli/tessaline-backup"), {u"--folder"_s, m_dir.path()});
        if (!process.waitForFinished(120'000))
            process.kill();
        return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
                QString::fromUtf8(process.readAllStandardOutput()), QString::fromUtf8(process.readAllStandardError())};
    }

    /** A window whose stored connection names the TDS test server; it stays open (its own checks are refused). */
    void seedConnection(WindowHarness& h, const QString& password)
    {
        h.database.refuseLogin = u"[Memory]Login failed."_s;
        h.seed(SettingKeys::MSServer, u"127.0.0.1"_s);
        h.seed(SettingKeys::MSPort, QString::number(m_server.port()));
        h.seed(SettingKeys::MSUser, u"backup"_s);
        h.seed(SettingKeys::MSDatabase, u"Sales"_s);
        h.seed(SettingKeys::MSPassword, password);
    }

    QString lastLoginPassword() const
    {
        const QList<tds::LoginRecord> logins = m_server.logins();
        return logins.isEmpty() ? u"<no login>"_s : logins.constLast().password;
    }

    static bool isChild() { return qEnvironmentVariableIsSet(ChildVariable); }

private slots:
    void initTestCase()
    {
        // Run by ctest through scripts/keyring-session; without it there is nothing to test against, which is a
        // failure, not a skip.
        QVERIFY2(qEnvironmentVariableIsSet("TESSALINE_TEST_KEYRING") || isChild(),
                 "run this test through scripts/keyring-session");
        tds::TableSpec people;
        people.name = u"People"_s;
        people.columns = {{u"Id"_s, tds::SqlType::Int}};
        people.rows = {{1}};
        m_server.addTable(people);
        m_server.setDefaultDatabase(u"Sales"_s);
        QVERIFY(m_server.start());
    }

    void entriesInTheSecretService()
    {
        if (isChild())
            return;
        const KeyringEntry entry{u"db;1"_s, u"sa"_s, u"Sales"_s};
        // The same text split differently between the fields is another entry.
        const KeyringEntry lookalike{u"db"_s, u"1;sa"_s, u"Sales"_s};
        QCOMPARE(m_keyring.read(entry).status, KeyringResult::Status::NotFound);
        QVERIFY(m_keyring.write(entry, u"first ü;"_s).ok());
        QVERIFY(m_keyring.write(lookalike, u"other"_s).ok());
        QCOMPARE(m_keyring.read(entry).password, u"first ü;"_s);
        QVERIFY(m_keyring.write(entry, QString()).ok()); // replaced, also by an empty password
        const KeyringResult empty = m_keyring.read(entry);
        QVERIFY(empty.ok());
        QCOMPARE(empty.password, QString());
        QVERIFY(m_keyring.remove(entry).ok());
        QCOMPARE(m_keyring.read(entry).status, KeyringResult::Status::NotFound);
        QVERIFY(m_keyring.remove(entry).status != KeyringResult::Status::Unreachable); // nothing there: no error
        QCOMPARE(m_keyring.read(lookalike).password, u"other"_s);
        QVERIFY(m_keyring.remove(lookalike).ok());
    }

    void windowKeepsItAndTheCommandReadsIt()
    {
        if (isChild())
            return;
        WindowHarness h;
        h.keyringInUse = &m_keyring;
        seedConnection(h, u"s3cret;x"_s);
        h.create();
        h.form1->start();
        QVERIFY(QTest::qWaitForWindowExposed(h.form1.get()));
        const KeyringEntry entry{u"127.0.0.1"_s, u"backup"_s, u"Sales"_s};

        // Store: on, the password is in the Secret Service and no longer in the settings file.
        auto* box = h.form1->findChild<QCheckBox*>(u"Check7"_s);
        QVERIFY(box);
        QTest::mouseClick(box, Qt::LeftButton);
        QCOMPARE(h.dialogs.messages(), QStringList());
        QVERIFY(box->isChecked());
        QCOMPARE(h.stored(SettingKeys::PasswordInKeyring), u"On"_s);
        QCOMPARE(h.stored(SettingKeys::MSPassword), QString());
        QFile file(h.settings->filePath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(!file.readAll().contains("s3cret"));
        QCOMPARE(m_keyring.read(entry).password, u"s3cret;x"_s);

        // Read by the command, from another process.
        Result result = runCommand(h.root.path());
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(lastLoginPassword(), u"s3cret;x"_s);
        // TESSALINE_PASSWORD still wins.
        QProcessEnvironment withEnv = QProcessEnvironment::systemEnvironment();
        QProcess process;
        withEnv.insert(u"XDG_CONFIG_HOME"_s, h.root.path());
        withEnv.insert(u"TEMP"_s, m_dir.path());
        withEnv.insert(u"TESSALINE_PASSWORD"_s, u"from env"_s);
        process.setProcessEnvironment(withEnv);
        process.start(QStringLiteral(TESSALINE_BINARY_DIR "/cli/tessaline-backup"), {u"--folder"_s, m_dir.path()});
        QVERIFY(process.waitForFinished(120'000));
        QCOMPARE(process.exitCode(), 0);
        QCOMPARE(lastLoginPassword(), u"from env"_s);

        // Typing updates the entry, and the command sees it at once.
        auto* password = h.form1->findChild<QLineEdit*>(u"Text3"_s);
        password->setFocus(Qt::OtherFocusReason);
        password->end(false); // focus selected it all; this types after it
        QTest::keyClicks(password, u"2"_s);
        QCOMPARE(m_keyring.read(entry).password, u"s3cret;x2"_s);
        QCOMPARE(h.stored(SettingKeys::MSPassword), QString());
        result = runCommand(h.root.path());
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(lastLoginPassword(), u"s3cret;x2"_s);

        // Turned off: written back to the settings file, gone from the keyring; the command uses the file.
        QTest::mouseClick(box, Qt::LeftButton);
        QCOMPARE(h.dialogs.messages(), QStringList());
        QCOMPARE(h.stored(SettingKeys::MSPassword), u"s3cret;x2"_s);
        QCOMPARE(h.stored(SettingKeys::PasswordInKeyring), u"Off"_s);
        QCOMPARE(m_keyring.read(entry).status, KeyringResult::Status::NotFound);
        result = runCommand(h.root.path());
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(lastLoginPassword(), u"s3cret;x2"_s);
    }

    void loadReadsTheKeptPassword()
    {
        if (isChild())
            return;
        WindowHarness h;
        h.keyringInUse = &m_keyring;
        seedConnection(h, QString());
        h.seed(SettingKeys::PasswordInKeyring, u"On"_s);
        const KeyringEntry entry{u"127.0.0.1"_s, u"backup"_s, u"Sales"_s};
        QVERIFY(m_keyring.write(entry, u"kept"_s).ok());
        h.create();
        h.form1->start();
        QCOMPARE(h.form1->currentSettings().Password, u"kept"_s);
        QCOMPARE(h.dialogs.messages(), QStringList());
        QVERIFY(m_keyring.remove(entry).ok());
    }

    void withoutABusTheCommandSaysWhyAndTheEntryStays()
    {
        if (isChild())
            return;
        WindowHarness h;
        seedConnection(h, QString());
        h.seed(SettingKeys::PasswordInKeyring, u"On"_s);
        const KeyringEntry entry{u"127.0.0.1"_s, u"backup"_s, u"Sales"_s};
        QVERIFY(m_keyring.write(entry, u"kept"_s).ok());
        QTemporaryDir emptyRuntime;
        QProcessEnvironment noBus = QProcessEnvironment::systemEnvironment();
        noBus.remove(u"DBUS_SESSION_BUS_ADDRESS"_s);
        noBus.remove(u"DISPLAY"_s);
        noBus.insert(u"XDG_RUNTIME_DIR"_s, emptyRuntime.path());
        const int loginsBefore = int(m_server.logins().size());
        const Result result = runCommand(h.root.path(), noBus);
        QCOMPARE(result.exitCode, 1);
        QVERIFY2(result.err.contains(u"The password cannot be read from the desktop keyring: no D-Bus session bus "
                                     u"can be reached (DBUS_SESSION_BUS_ADDRESS is not set; the keyring is reached "
                                     u"from a logged-in session). Run the command in the user's logged-in session, "
                                     u"or set TESSALINE_PASSWORD."_s),
                 qPrintable(result.err));
        QCOMPARE(int(m_server.logins().size()), loginsBefore);
        QCOMPARE(m_keyring.read(entry).password, u"kept"_s);
        QVERIFY(m_keyring.remove(entry).ok());
    }

    /** The window in a process without a session bus: this program again, as a child without one. */
    void withoutABusTheWindowSaysWhyAndKeepsThePassword()
    {
        if (!isChild()) {
            QTemporaryDir emptyRuntime;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.remove(u"DBUS_SESSION_BUS_ADDRESS"_s);
            env.remove(u"DISPLAY"_s);
            env.insert(u"XDG_RUNTIME_DIR"_s, emptyRuntime.path());
            env.insert(QString::fromLatin1(ChildVariable), u"1"_s);
            QProcess child;
            child.setProcessEnvironment(env);
            child.setProcessChannelMode(QProcess::MergedChannels);
            child.start(QCoreApplication::applicationFilePath(), {u"withoutABusTheWindowSaysWhyAndKeepsThePassword"_s});
            QVERIFY(child.waitForFinished(120'000));
            QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0, child.readAll().constData());
            return;
        }
        const QString why = u"no D-Bus session bus can be reached (DBUS_SESSION_BUS_ADDRESS is not set; the keyring "
                            u"is reached from a logged-in session)."_s;
        {
            // Turning it on: the message names why; the password stays in the settings file, the box unticked.
            WindowHarness h;
            h.keyringInUse = &m_keyring;
            seedConnection(h, u"plain"_s);
            h.create();
            h.form1->start();
            auto* box = h.form1->findChild<QCheckBox*>(u"Check7"_s);
            QTest::mouseClick(box, Qt::LeftButton);
            QCOMPARE(h.dialogs.messages(),
                     QStringList{u"The password cannot be kept in the desktop keyring: "_s + why
                                 + u" It stays in the settings file."_s});
            QVERIFY(!box->isChecked());
            QCOMPARE(h.stored(SettingKeys::MSPassword), u"plain"_s);
            QCOMPARE(h.stored(SettingKeys::PasswordInKeyring), u"Off"_s);
            QCOMPARE(h.form1->currentSettings().Password, u"plain"_s);
        }
        {
            // Kept there already: the load says why, and neither the keyring nor the setting is written over.
            WindowHarness h;
            h.keyringInUse = &m_keyring;
            seedConnection(h, QString());
            h.seed(SettingKeys::PasswordInKeyring, u"On"_s);
            h.create();
            h.form1->start();
            QCOMPARE(h.dialogs.messages(),
                     QStringList{u"The password cannot be read from the desktop keyring: "_s + why
                                 + u" It stays there; type it to use it now."_s});
            QCOMPARE(h.stored(SettingKeys::PasswordInKeyring), u"On"_s);
            QCOMPARE(h.stored(SettingKeys::MSPassword), QString());
        }
    }

    /** Last: the keyring stays locked, since unlocking it again would need a prompt. */
    void lockedKeyringIsSaidNotTakenForNoEntry()
    {
        if (isChild())
            return;
        const KeyringEntry entry{u"127.0.0.1"_s, u"backup"_s, u"Sales"_s};
        QVERIFY(m_keyring.write(entry, u"kept"_s).ok());
        QDBusMessage lock = QDBusMessage::createMethodCall(u"org.freedesktop.secrets"_s, u"/org/freedesktop/secrets"_s,
                                                           u"org.freedesktop.Secret.Service"_s, u"Lock"_s);
        lock << QVariant::fromValue(
            QList<QDBusObjectPath>{QDBusObjectPath(u"/org/freedesktop/secrets/aliases/default"_s)});
        const QDBusMessage locked = QDBusConnection::sessionBus().call(lock);
        QVERIFY2(locked.type() == QDBusMessage::ReplyMessage, qPrintable(locked.errorMessage()));

        const KeyringResult read = m_keyring.read(entry);
        QCOMPARE(read.status, KeyringResult::Status::Unreachable);
        QCOMPARE(read.error,
                 u"the keyring is locked (it is unlocked by logging in to the desktop, or by the keyring's own "
                 u"tool)"_s);
        WindowHarness h;
        seedConnection(h, QString());
        h.seed(SettingKeys::PasswordInKeyring, u"On"_s);
        const Result result = runCommand(h.root.path());
        QCOMPARE(result.exitCode, 1);
        QVERIFY2(result.err.contains(u"The password cannot be read from the desktop keyring: the keyring is locked"_s),
                 qPrintable(result.err));
    }
};

QTEST_MAIN(TestKeyring)
#include "tst_keyring.moc"
