// Start with Windows, against the registry (Wine's in the Windows tier): the per-user Run value's name and quoted
// data, registering twice, removing what is not there, and a refused write said rather than shown as done.
#include "Failure.h"
#include "RegistryKey.h"
#include "WindowsRunKey.h"

#include <QCoreApplication>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

class TestRunKey : public QObject
{
    Q_OBJECT

private slots:
    void defaultIsThePerUserRunKeyOfTheRunningProgram()
    {
        QCOMPARE(WindowsRunKey::DefaultKey, u"Software\\Microsoft\\Windows\\CurrentVersion\\Run"_s);
        const WindowsRunKey running;
        QCOMPARE(running.valueName(), u"tst_runkey.exe"_s);
        const QString data = running.valueData();
        QVERIFY(data.startsWith(u'"') && data.endsWith(u"\\tst_runkey.exe\""_s));
        QVERIFY2(!data.contains(u'/'), qPrintable(data));
    }

    void registerWritesTheQuotedPath_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("data");
        QTest::newRow("spaces") << u"C:/Program Files/Tessaline/tessaline.exe"_s << u"tessaline.exe"_s
                                << u"\"C:\\Program Files\\Tessaline\\tessaline.exe\""_s;
        QTest::newRow("drive root") << u"D:/tessaline.exe"_s << u"tessaline.exe"_s << u"\"D:\\tessaline.exe\""_s;
        QTest::newRow("beyond latin") << u"C:/Users/Zoë/AppData/Local/Programs/Tessaline/tessaline.exe"_s
                                      << u"tessaline.exe"_s
                                      << u"\"C:\\Users\\Zoë\\AppData\\Local\\Programs\\Tessaline\\tessaline.exe\""_s;
    }

    void registerWritesTheQuotedPath()
    {
        QFETCH(QString, program);
        QFETCH(QString, name);
        QFETCH(QString, data);
        ScratchRegistryKey run;
        WindowsRunKey key(program, run.path());
        QVERIFY(!key.IsRegistered());
        key.RegisterStartup();
        key.RegisterStartup(); // twice: still one value
        const auto value = ScratchRegistryKey::value(run.path(), name);
        QVERIFY(value);
        QCOMPARE(value->first, DWORD(REG_SZ));
        QCOMPARE(value->second, data);
        QVERIFY(key.IsRegistered());

        key.UnregisterStartup();
        QVERIFY(!ScratchRegistryKey::value(run.path(), name));
        QVERIFY(!key.IsRegistered());
        key.UnregisterStartup(); // nothing to remove is no error
    }

    void otherProgramsValuesStay()
    {
        ScratchRegistryKey run;
        ScratchRegistryKey::write(run.path(), u"other.exe"_s, u"\"C:\\other.exe\""_s);
        WindowsRunKey key(u"C:/Tessaline/tessaline.exe"_s, run.path());
        key.RegisterStartup();
        key.UnregisterStartup();
        QCOMPARE(ScratchRegistryKey::value(run.path(), u"other.exe"_s)->second, u"\"C:\\other.exe\""_s);
    }

    void refusedWriteIsSaid()
    {
        ScratchRegistryKey run;
        WindowsRunKey key(u"C:/Tessaline/tessaline.exe"_s, run.path() + u'\\' + QString(300, u'k'));
        try {
            key.RegisterStartup();
            QFAIL("the write did not fail");
        } catch (const Failure& failure) {
            QVERIFY2(failure.description().startsWith(
                         u"The program cannot be set to start with Windows: the value tessaline.exe in "_s),
                     qPrintable(failure.description()));
        }
        QVERIFY(!key.IsRegistered());
    }
};

QTEST_GUILESS_MAIN(TestRunKey)
#include "tst_runkey.moc"
