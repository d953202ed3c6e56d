#include "Failure.h"
#include "XdgAutostart.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <optional>

using namespace Qt::Literals::StringLiterals;

namespace {

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Sets an environment variable for one test and puts the old value back afterwards.
class EnvironmentOverride
{
public:
    EnvironmentOverride(const char* name, const std::optional<QString>& value)
        : m_name(name)
        , m_wasSet(qEnvironmentVariableIsSet(name))
        , m_old(qgetenv(name))
    {
        if (value)
            qputenv(name, value->toLocal8Bit());
        else
            qunsetenv(name);
    }
    ~EnvironmentOverride()
    {
        if (m_wasSet)
            qputenv(m_name, m_old);
        else
            qunsetenv(m_name);
    }
    EnvironmentOverride(const EnvironmentOverride&) = delete;
    EnvironmentOverride& operator=(const EnvironmentOverride&) = delete;

private:
    const char* m_name;
    bool m_wasSet;
    QByteArray m_old;
};

} // namespace

class TestAutostart : public QObject
{
    Q_OBJECT

private slots:
    void registerWritesTheEntryAndUnregisterRemovesIt()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString folder = dir.filePath(u"config/autostart"_s); // does not exist yet
        XdgAutostart autostart(u"/opt/Tessaline 1.0/bin/tessaline"_s, folder);
        QCOMPARE(autostart.entryPath(), folder + u"/tessaline.desktop"_s);
        QVERIFY(!autostart.IsRegistered());

        autostart.RegisterStartup();
        autostart.RegisterStartup(); // twice: still one entry, same text
        QVERIFY(autostart.IsRegistered());
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{u"tessaline.desktop"_s});
        QCOMPARE(readAll(autostart.entryPath()),
                 readAll(QStringLiteral(TESSALINE_TEST_DATA "/shell/autostart-expected.desktop")));

        autostart.UnregisterStartup();
        QVERIFY(!autostart.IsRegistered());
        QVERIFY(!QFile::exists(autostart.entryPath()));
        autostart.UnregisterStartup(); // nothing to remove is fine
    }

    void theRunningProgramIsRegistered()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        EnvironmentOverride config("XDG_CONFIG_HOME", dir.path());

        XdgAutostart autostart;
        QCOMPARE(autostart.entryPath(), dir.path() + u"/autostart/tessaline.desktop"_s);
        autostart.RegisterStartup();
        const QByteArray text = readAll(autostart.entryPath());
        const QByteArray exec
            = "\nExec=" + XdgAutostart::quoteExecArgument(QCoreApplication::applicationFilePath()).toUtf8() + '\n';
        QVERIFY2(text.contains(exec), text.constData());
    }

    void defaultFolder_data()
    {
        QTest::addColumn<std::optional<QString>>("configHome");
        QTest::addColumn<QString>("expected");
        const QString fallback = QDir::homePath() + u"/.config/autostart"_s;
        QTest::newRow("set") << std::optional<QString>(u"/srv/cfg"_s) << u"/srv/cfg/autostart"_s;
        QTest::newRow("trailing slash") << std::optional<QString>(u"/srv/cfg/"_s) << u"/srv/cfg/autostart"_s;
        QTest::newRow("relative is ignored") << std::optional<QString>(u"cfg"_s) << fallback;
        QTest::newRow("empty") << std::optional<QString>(QString()) << fallback;
        QTest::newRow("unset") << std::optional<QString>() << fallback;
    }
    void defaultFolder()
    {
        QFETCH(std::optional<QString>, configHome);
        QFETCH(QString, expected);
        EnvironmentOverride config("XDG_CONFIG_HOME", configHome);
        QCOMPARE(XdgAutostart::defaultFolder(), expected);
    }

    void execArgumentQuoting_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("written");
        // As it appears after "Exec=" in the file: quoted, " ` $ \ escaped inside the quotes, % doubled, and then
        // every backslash escaped once more for the key's value.
        QTest::newRow("plain") << u"/usr/bin/tessaline"_s << u"\"/usr/bin/tessaline\""_s;
        QTest::newRow("blank") << u"/opt/my apps/tessaline"_s << u"\"/opt/my apps/tessaline\""_s;
        QTest::newRow("double quote") << u"/opt/a\"b"_s << u"\"/opt/a\\\\\"b\""_s;
        QTest::newRow("dollar") << u"/opt/$HOME/t"_s << u"\"/opt/\\\\$HOME/t\""_s;
        QTest::newRow("backtick") << u"/opt/`x`"_s << u"\"/opt/\\\\`x\\\\`\""_s;
        QTest::newRow("backslash") << u"/opt/a\\b"_s << u"\"/opt/a\\\\\\\\b\""_s;
        QTest::newRow("percent") << u"/opt/100%/t"_s << u"\"/opt/100%%/t\""_s;
        QTest::newRow("newline") << u"/opt/a\nb"_s << u"\"/opt/a\\nb\""_s;
        QTest::newRow("non-ASCII") << u"/home/jürgen/tessaline"_s << u"\"/home/jürgen/tessaline\""_s;
    }
    void execArgumentQuoting()
    {
        QFETCH(QString, path);
        QFETCH(QString, written);
        QCOMPARE(XdgAutostart::quoteExecArgument(path), written);
    }

    void failuresAreReported()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());

        // The autostart folder cannot be created: a file stands in its way.
        const QString blocked = dir.filePath(u"blocked"_s);
        QVERIFY(QFile(blocked).open(QIODevice::WriteOnly));
        XdgAutostart noFolder(u"/usr/bin/tessaline"_s, blocked + u"/autostart"_s);
        expectFailure([&] { noFolder.RegisterStartup(); }, blocked + u"/autostart"_s);

        // The entry cannot be written or removed: a non-empty folder has its name.
        const QString folder = dir.filePath(u"autostart"_s);
        QVERIFY(QDir().mkpath(folder + u"/tessaline.desktop/inside"_s));
        XdgAutostart occupied(u"/usr/bin/tessaline"_s, folder);
        expectFailure([&] { occupied.RegisterStartup(); }, occupied.entryPath());
        expectFailure([&] { occupied.UnregisterStartup(); }, occupied.entryPath());
        QVERIFY(QFileInfo(occupied.entryPath()).isDir());
    }

private:
    template <typename Operation> void expectFailure(Operation operation, const QString& mentioned)
    {
        try {
            operation();
            QFAIL("no Failure thrown");
        } catch (const Failure& failure) {
            QVERIFY2(failure.description().startsWith(u"Tessaline could not be"_s), qPrintable(failure.description()));
            QVERIFY2(failure.description().contains(mentioned), qPrintable(failure.description()));
        }
    }
};

QTEST_GUILESS_MAIN(TestAutostart)
#include "tst_autostart.moc"
