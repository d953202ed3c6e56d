#include "Failure.h"
#include "Settings.h"
#include "SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

class TestSettingsStore : public QObject
{
    Q_OBJECT

private slots:
    void readingAbsentKeysGivesDefaultsAndCreatesNothing()
    {
        QTemporaryDir dir;
        SettingsStore store(dir.path());
        QCOMPARE(store.get(SettingKeys::MSPort, u"1433"_s), u"1433"_s);
        QCOMPARE(store.get(SettingKeys::MSServer), QString());
        QCOMPARE(store.GetSetting(u"Other"_s, u"Section"_s, u"Key"_s, u"d"_s), u"d"_s);
        QVERIFY(!QFileInfo::exists(dir.path() + u"/Brackwell"_s));
    }

    void valuesSurviveAsTextUnderApplicationAndSection()
    {
        QTemporaryDir dir;
        {
            SettingsStore store(dir.path());
            store.save(SettingKeys::MSPassword, u"p a;ss=wörd"_s);
            store.save(SettingKeys::LocalConnection, u"1"_s);
            store.save(SettingKeys::Path, u"/home/u/Desktop/"_s);
            store.save(SettingKeys::MSPort, QString()); // an empty value is a value, not an absent key
        }
        SettingsStore again(dir.path());
        QCOMPARE(again.get(SettingKeys::MSPassword), u"p a;ss=wörd"_s);
        QCOMPARE(again.get(SettingKeys::LocalConnection, u"0"_s), u"1"_s);
        QCOMPARE(again.get(SettingKeys::MSPort, u"1433"_s), QString());
        const QString file = dir.path() + u"/Brackwell/Brackwell.ini"_s;
        QCOMPARE(again.filePath(), file);
        QFile ini(file);
        QVERIFY(ini.open(QIODevice::ReadOnly));
        const QByteArray content = ini.readAll();
        QVERIFY(content.contains("[Tessaline]"));
        QVERIFY(content.contains("MSPassword=")); // the password is readable in the store, as typed
    }

    void everyWriteReachesTheFileAtOnce()
    {
        QTemporaryDir dir;
        SettingsStore writer(dir.path());
        SettingsStore reader(dir.path());
        for (const QString& typed : {u"a"_s, u"ab"_s, u"abc"_s}) {
            writer.save(SettingKeys::MSServer, typed);
            QCOMPARE(reader.get(SettingKeys::MSServer), typed);
        }
    }

    void fileAndFolderAreReadableByTheUserAlone()
    {
        QTemporaryDir dir;
        const QString folder = dir.path() + u"/Brackwell"_s;
        const QString file = folder + u"/Brackwell.ini"_s;
        SettingsStore store(dir.path());
        store.save(SettingKeys::MSPassword, u"secret"_s);
        const auto others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther
            | QFile::WriteOther | QFile::ExeOther;
        QCOMPARE(QFile::permissions(file) & others, QFile::Permissions());
        QCOMPARE(QFile::permissions(folder) & others, QFile::Permissions());

        // An existing file left open to others is closed again as soon as the store is opened.
        QFile::setPermissions(file, QFile::permissions(file) | QFile::ReadOther | QFile::ReadGroup);
        QFile::setPermissions(folder, QFile::permissions(folder) | QFile::ReadOther | QFile::ExeOther);
        SettingsStore reopened(dir.path());
        QCOMPARE(QFile::permissions(file) & others, QFile::Permissions());
        QCOMPARE(QFile::permissions(folder) & others, QFile::Permissions());
    }

    void readOnlyStoreStaysReadOnly_data()
    {
        QTest::addColumn<bool>("folder"); // the folder made read-only, else the file
        QTest::newRow("file 0444") << false;
        QTest::newRow("folder 0555") << true;
    }

    void readOnlyStoreStaysReadOnly()
    {
        QFETCH(bool, folder);
        QTemporaryDir dir;
        const QString folderPath = dir.path() + u"/Brackwell"_s;
        const QString file = folderPath + u"/Brackwell.ini"_s;
        SettingsStore(dir.path()).save(SettingKeys::MSServer, u"before"_s);
        const QString path = folder ? folderPath : file;
        const auto readOnly = QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther
            | (folder ? QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther : QFile::Permissions());
        QVERIFY(QFile::setPermissions(path, readOnly));
        const auto restore
            = qScopeGuard([&] { QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner); });

        // Opening the store closes it to others and gives the owner nothing back.
        SettingsStore store(dir.path());
        const auto mode = [](const QString& p) {
            return QFile::permissions(p) & ~(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser);
        };
        const auto ownerReadOnly = QFile::ReadOwner | (folder ? QFile::ExeOwner : QFile::Permissions());
        QCOMPARE(mode(path), ownerReadOnly);
        try {
            store.save(SettingKeys::MSServer, u"after"_s);
            QFAIL("a read-only store was written");
        } catch (const Failure& e) {
            QCOMPARE(e.description(), u"The setting MSServer cannot be written to "_s + file + u'.');
        }
        QCOMPARE(mode(path), ownerReadOnly);
        QCOMPARE(store.get(SettingKeys::MSServer), u"before"_s);
    }

    void unwritableStoreThrows()
    {
        QTemporaryDir dir;
        QFile blocker(dir.path() + u"/Brackwell"_s); // a file where the folder should be
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        SettingsStore store(dir.path());
        QVERIFY_THROWS_EXCEPTION(Failure, store.save(SettingKeys::MSServer, u"x"_s));
    }

    void damagedFileIsSaidAndKeptWhole()
    {
        // Found by the fuzzer (tests/fuzz/corpus/fuzz_settings): a file that does not read as settings. A write
        // would throw away what cannot be read, so it is refused with words that say what is wrong.
        QTemporaryDir dir;
        SettingsStore store(dir.path());
        QVERIFY(QDir().mkpath(dir.path() + u"/Brackwell"_s));
        QFile source(QStringLiteral(TESSALINE_SOURCE_DIR "/tests/fuzz/corpus/fuzz_settings/damaged-section.ini"));
        QVERIFY(source.open(QIODevice::ReadOnly));
        const QByteArray damaged = source.readAll();
        QFile file(store.filePath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(damaged);
        file.close();
        try {
            store.save(SettingKeys::MSServer, u"x"_s);
            QFAIL("the damaged file was written over");
        } catch (const Failure& failure) {
            QCOMPARE(failure.description(),
                     u"The setting MSServer cannot be stored: the settings file "_s + store.filePath()
                         + u" is damaged (it does not read as settings), and it is left as it is. Mend it, or move it "
                           u"away to start with new settings."_s);
        }
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), damaged);
    }

    void tableReadsEachKeyAsItsTypeWithItsDefault_data()
    {
        QTest::addColumn<QString>("stored"); // "<absent>": nothing stored
        QTest::addColumn<bool>("compress"); // a switch that is off by default
        QTest::addColumn<QString>("startStop"); // a text that is "On" by default
        QTest::newRow("absent") << u"<absent>"_s << false << u"On"_s;
        QTest::newRow("On") << u"On"_s << true << u"On"_s;
        QTest::newRow("Off") << u"Off"_s << false << u"Off"_s;
        QTest::newRow("another case") << u"on"_s << false << u"on"_s;
        QTest::newRow("blanks around") << u" On"_s << false << u" On"_s;
        QTest::newRow("empty") << QString() << false << QString();
    }

    void tableReadsEachKeyAsItsTypeWithItsDefault()
    {
        QFETCH(QString, stored);
        QFETCH(bool, compress);
        QFETCH(QString, startStop);
        QTemporaryDir dir;
        SettingsStore store(dir.path());
        if (stored != u"<absent>"_s) {
            store.save(SettingKeys::Compress, stored);
            store.save(SettingKeys::StartStopState, stored);
        }
        QCOMPARE(Settings::Compress.read(store), compress);
        QCOMPARE(Settings::StartStopState.read(store), startStop);
        QCOMPARE(Settings::Port.read(store), u"1433"_s);
        QCOMPARE(Settings::Path.read(store, u"/desk/"_s), u"/desk/"_s);
        Settings::VerifyBackups.write(store, true);
        QCOMPARE(store.get(SettingKeys::VerifyBackups), u"On"_s);
        Settings::VerifyBackups.write(store, false);
        QCOMPARE(store.get(SettingKeys::VerifyBackups), u"Off"_s);
    }
};

QTEST_GUILESS_MAIN(TestSettingsStore)
#include "tst_settingsstore.moc"
