// The settings store on Windows, against the registry (Wine's in the Windows tier): where the values go, that they
// are stored exactly as typed, that reading creates nothing, that a failed write is said and that the next start of
// the program (another process) finds what this one saved.
#include "Failure.h"
#include "RegistryKey.h"
#include "Settings.h"
#include "SettingsStore.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTest>

#include <cstdio>

using namespace Qt::Literals::StringLiterals;

namespace {

/** One start of the program: saves KEY=VALUE pairs into the store at `root`, or prints what it holds for KEYs. */
int startOnce(const QStringList& arguments)
{
    SettingsStore store(arguments.at(2));
    for (qsizetype i = 3; i < arguments.size(); ++i) {
        const qsizetype equals = arguments.at(i).indexOf(u'=');
        if (arguments.at(1) == u"--save"_s)
            store.save(arguments.at(i).left(equals), arguments.at(i).mid(equals + 1));
        else
            std::printf("%s\n", store.get(arguments.at(i), u"<absent>"_s).toUtf8().constData());
    }
    return 0;
}

} // namespace

class TestSettingsRegistry : public QObject
{
    Q_OBJECT

private slots:
    void storeIsTheProgramSettingsKeyOfTheUser()
    {
        QCOMPARE(SettingsStore::defaultRoot(), u"Software\\VB and VBA Program Settings"_s);
        const SettingsStore store;
        QCOMPARE(store.filePath(), u"HKEY_CURRENT_USER\\Software\\VB and VBA Program Settings\\Brackwell"_s);
    }

    void readingAbsentKeysGivesDefaultsAndCreatesNothing()
    {
        ScratchRegistryKey root;
        const SettingsStore store(root.path());
        QCOMPARE(store.get(SettingKeys::MSPort, u"1433"_s), u"1433"_s);
        QCOMPARE(store.get(SettingKeys::MSServer), QString());
        QVERIFY(!ScratchRegistryKey::exists(root.path()));

        // A section that exists without the value: still the default, and still nothing made.
        ScratchRegistryKey::write(root.path() + u"\\Brackwell\\Tessaline"_s, u"Other"_s, u"x"_s);
        QCOMPARE(store.get(SettingKeys::Minimized, u"Off"_s), u"Off"_s);
        QVERIFY(!ScratchRegistryKey::value(root.path() + u"\\Brackwell\\Tessaline"_s, SettingKeys::Minimized));
    }

    void valuesAreStoredAsTyped_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("typed");
        QTest::newRow("plain") << SettingKeys::MSServer << u"localhost\\SQLEXPRESS"_s;
        // QSettings' native format would store these as "@@..." or read "@Variant(...)" back as another type.
        QTest::newRow("at sign") << SettingKeys::MSPassword << u"@secret"_s;
        QTest::newRow("at variant") << SettingKeys::MSPassword << u"@Variant(\\0\\0\\0\\x7f)"_s;
        QTest::newRow("at invalid") << SettingKeys::MSUser << u"@Invalid()"_s;
        QTest::newRow("separators") << SettingKeys::MSPassword << u"p a;ss=wörd/\\,\"'"_s;
        QTest::newRow("empty") << SettingKeys::RestoreFile << QString();
        QTest::newRow("beyond latin") << SettingKeys::MSDatabase << u"販売 Ελλάδα 😀"_s;
        QTest::newRow("key with space") << SettingKeys::LocalConnection << u"1"_s;
        QTest::newRow("long") << SettingKeys::Path << QString(4000, u'x');
    }

    void valuesAreStoredAsTyped()
    {
        QFETCH(QString, key);
        QFETCH(QString, typed);
        ScratchRegistryKey root;
        SettingsStore store(root.path());
        store.save(key, typed);

        const auto raw = ScratchRegistryKey::value(root.path() + u"\\Brackwell\\Tessaline"_s, key);
        QVERIFY(raw);
        QCOMPARE(raw->first, DWORD(REG_SZ));
        QCOMPARE(raw->second, typed);
        QCOMPARE(SettingsStore(root.path()).get(key, u"default"_s), typed);
    }

    void aSecondStartFindsWhatTheFirstSaved()
    {
        ScratchRegistryKey root;
        const QString folder = u"C:\\Users\\b\u00e4r\\Backups"_s;
        QProcess first;
        first.start(QCoreApplication::applicationFilePath(),
                    {u"--save"_s, root.path(), SettingKeys::MSServer + u"=sql01,1433"_s,
                     SettingKeys::Path + u'=' + folder, SettingKeys::OftenIndex + u"=5"_s});
        QVERIFY(first.waitForFinished(60'000));
        QCOMPARE(first.exitCode(), 0);

        // A store made after the first start ended, here and in a start of its own.
        const SettingsStore store(root.path());
        QCOMPARE(store.get(SettingKeys::Path), folder);
        QProcess second;
        second.start(QCoreApplication::applicationFilePath(),
                     {u"--print"_s, root.path(), SettingKeys::MSServer, SettingKeys::Path, SettingKeys::OftenIndex,
                      SettingKeys::MSUser});
        QVERIFY(second.waitForFinished(60'000));
        QCOMPARE(QString::fromUtf8(second.readAllStandardOutput())
                     .split(u'\n', Qt::SkipEmptyParts)
                     .replaceInStrings(u"\r"_s, QString()),
                 (QStringList{u"sql01,1433"_s, folder, u"5"_s, u"<absent>"_s}));
    }

    void everyWriteIsSeenAtOnceAndReplacesTheLast()
    {
        ScratchRegistryKey root;
        SettingsStore writer(root.path());
        const SettingsStore reader(root.path());
        for (const QString& typed : {u"a"_s, u"ab"_s, u"abc"_s}) {
            writer.save(SettingKeys::MSServer, typed);
            QCOMPARE(reader.get(SettingKeys::MSServer), typed);
        }
        // A value that another program wrote there is read as it is.
        ScratchRegistryKey::write(root.path() + u"\\Brackwell\\Tessaline"_s, SettingKeys::OftenIndex, u"7"_s);
        QCOMPARE(reader.get(SettingKeys::OftenIndex, u"2"_s), u"7"_s);
    }

    void otherApplicationsAndSectionsStayApart()
    {
        ScratchRegistryKey root;
        SettingsStore store(root.path());
        store.SaveSetting(u"Brackwell"_s, u"Tessaline"_s, u"K"_s, u"one"_s);
        store.SaveSetting(u"Brackwell"_s, u"Other"_s, u"K"_s, u"two"_s);
        store.SaveSetting(u"Else"_s, u"Tessaline"_s, u"K"_s, u"three"_s);
        QCOMPARE(store.GetSetting(u"Brackwell"_s, u"Tessaline"_s, u"K"_s), u"one"_s);
        QCOMPARE(store.GetSetting(u"Brackwell"_s, u"Other"_s, u"K"_s), u"two"_s);
        QCOMPARE(store.GetSetting(u"Else"_s, u"Tessaline"_s, u"K"_s), u"three"_s);
    }

    void failedWriteIsSaidWithTheKeyAndWhere()
    {
        // A key name longer than the registry's 255 characters cannot be made.
        ScratchRegistryKey root;
        SettingsStore store(root.path() + u'\\' + QString(300, u'k'));
        try {
            store.save(SettingKeys::MSServer, u"x"_s);
            QFAIL("the write did not fail");
        } catch (const Failure& failure) {
            QVERIFY2(
                failure.description().startsWith(u"The setting MSServer cannot be written to HKEY_CURRENT_USER\\"_s),
                qPrintable(failure.description()));
            QVERIFY(failure.description().contains(u": "_s));
        }
    }
};

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() >= 3 && (arguments.at(1) == u"--save"_s || arguments.at(1) == u"--print"_s))
        return startOnce(arguments);
    TestSettingsRegistry test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_settingsregistry.moc"
