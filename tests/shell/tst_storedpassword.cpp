#include "FakeKeyring.h"
#include "Settings.h"
#include "SettingsStore.h"
#include "StoredPassword.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

class TestStoredPassword : public QObject
{
    Q_OBJECT

private slots:
    void lookUpFallsBackToTheStoredConnection()
    {
        QTemporaryDir dir;
        SettingsStore settings(dir.path());
        settings.save(SettingKeys::MSServer, u"db.example"_s);
        settings.save(SettingKeys::MSUser, u"sa"_s);
        settings.save(SettingKeys::MSDatabase, u"Sales"_s);
        FakeKeyring keyring;
        const StoredPassword source(settings, &keyring);
        const KeyringEntry stored{u"db.example"_s, u"sa"_s, u"Sales"_s};
        const KeyringEntry given{u"other"_s, u"sa"_s, u"Sales"_s};
        QCOMPARE(source.storedEntry(), stored);

        // Nothing kept anywhere: both entries asked, NotFound.
        QCOMPARE(source.lookUp(given).status, KeyringResult::Status::NotFound);
        QCOMPARE(keyring.calls, (QStringList{u"read "_s + given.key(), u"read "_s + stored.key()}));

        keyring.entries.insert(stored.key(), u"kept"_s);
        KeyringResult found = source.lookUp(given);
        QVERIFY(found.ok());
        QCOMPARE(found.password, u"kept"_s);

        // The given connection's own entry wins.
        keyring.entries.insert(given.key(), u"own"_s);
        keyring.calls.clear();
        found = source.lookUp(given);
        QCOMPARE(found.password, u"own"_s);
        QCOMPARE(keyring.calls, QStringList{u"read "_s + given.key()});

        // An unreachable keyring is said at once; the stored entry is not tried behind it.
        keyring.unreachable = u"no session bus"_s;
        keyring.calls.clear();
        found = source.lookUp(given);
        QCOMPARE(found.status, KeyringResult::Status::Unreachable);
        QCOMPARE(found.error, u"no session bus"_s);
        QCOMPARE(keyring.calls.size(), 1);

        // Without a keyring at all the answer is a reason, not a crash.
        QCOMPARE(StoredPassword(settings, nullptr).lookUp(given).status, KeyringResult::Status::Unreachable);
    }

    void keepTakesTheKeyringEntryBackWhenTheOptionCannotBeStored()
    {
        // A store that refuses every write; every read gives the default.
        QTemporaryDir dir;
#ifdef Q_OS_WIN
        // In the registry: no key name may be longer than 255 characters.
        SettingsStore settings(u"Software\\"_s + QString(300, u'x'));
#else
        // In a folder under a regular file.
        QFile blocker(dir.filePath(u"not-a-folder"_s));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        SettingsStore settings(blocker.fileName() + u"/config"_s);
#endif
        FakeKeyring keyring;
        StoredPassword source(settings, &keyring);
        const KeyringEntry entry{u"db.example"_s, u"sa"_s, u"Sales"_s};

        const QString problem = source.keep(entry, u"s3cret"_s);
        QVERIFY2(!problem.isEmpty(), "a store that cannot be written must be said");
        QVERIFY(!source.inKeyring());
        // The keyring does not keep a password that the option would never send anyone to read.
        QVERIFY(keyring.entries.isEmpty());
        QCOMPARE(keyring.calls, (QStringList{u"write "_s + entry.key(), u"remove "_s + entry.key()}));
    }

    void aWriteFailureIsSaidOnceUntilAWriteSucceeds()
    {
        QTemporaryDir dir;
        SettingsStore settings(dir.path());
        settings.save(SettingKeys::PasswordInKeyring, OnOff::On);
        FakeKeyring keyring;
        StoredPassword source(settings, &keyring);
        const StoredPassword::Loaded loaded = source.load();
        QVERIFY(loaded.inKeyring);
        QCOMPARE(loaded.password, std::optional<QString>(QString())); // no entry yet: an empty password
        QVERIFY(loaded.problem.isEmpty());

        keyring.unreachable = u"locked"_s;
        QCOMPARE(source.typed(u"a"_s),
                 u"The password cannot be written to the desktop keyring: locked. The keyring keeps the password it "
                 u"had; the one typed is used until Tessaline ends."_s);
        QCOMPARE(source.typed(u"ab"_s), QString());
        keyring.unreachable.clear();
        QCOMPARE(source.typed(u"abc"_s), QString());
        QCOMPARE(keyring.entries.value(source.storedEntry().key()), u"abc"_s);
        keyring.unreachable = u"locked"_s;
        QVERIFY(!source.typed(u"abcd"_s).isEmpty());
        // Nothing of it reached the settings file.
        QCOMPARE(settings.get(SettingKeys::MSPassword), QString());
    }
};

QTEST_GUILESS_MAIN(TestStoredPassword)
#include "tst_storedpassword.moc"
