#include "Failure.h"
#include "SettingsStore.h"

#include <QFile>
#include <QFileInfo>
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

    void unwritableStoreThrows()
    {
        QTemporaryDir dir;
        QFile blocker(dir.path() + u"/Brackwell"_s); // a file where the folder should be
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        SettingsStore store(dir.path());
        QVERIFY_THROWS_EXCEPTION(Failure, store.save(SettingKeys::MSServer, u"x"_s));
    }
};

QTEST_GUILESS_MAIN(TestSettingsStore)
#include "tst_settingsstore.moc"
