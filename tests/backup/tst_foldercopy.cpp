#include "BackupFile.h"
#include "BackupLog.h"
#include "FakeClock.h"
#include "FakeDialogs.h"
#include "FakeProcessRunner.h"
#include "OffsiteCopy.h"
#include "ScriptText.h"
#include "StopRequest.h"
#include "TestFiles.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

namespace {

/** A backup script of `database` on `server`: this program's header, then `rows` INSERT lines. */
QByteArray scriptFor(const QString& server, const QString& database, int rows)
{
    using namespace ScriptText;
    QByteArray script
        = (serverLine(server, database) + u"\r\n"_s + dashLine() + u"\r\n"_s + generatedByLine() + u"\r\n"_s).toUtf8();
    for (int i = 0; i < rows; ++i)
        script
            += "INSERT INTO [T] VALUES(" + QByteArray::number(i) + ", 'row " + QByteArray::number(i * 7919) + "');\r\n";
    return script;
}

/** The copy with its fakes: rclone is absent, so every copy below is made without it. */
struct Copier
{
    explicit Copier(EventPump pump = {}, const StopRequest* stop = nullptr)
        : copy(
            runner, dialogs, clock, [this](const QString& line) { lines << line; }, std::move(pump), stop)
    {
        runner.installed = false;
    }
    FakeProcessRunner runner;
    FakeDialogs dialogs;
    FakeClock clock;
    QStringList lines;
    OffsiteCopy copy;
};

QStringList filesIn(const QString& folder)
{
    QStringList names = QDir(folder).entryList(QDir::Files | QDir::Hidden);
    names.sort();
    return names;
}

} // namespace

class TestFolderCopy : public QObject
{
    Q_OBJECT

private slots:
    void foldersAndRemotesAreToldApart_data()
    {
        QTest::addColumn<QString>("destination");
        QTest::addColumn<bool>("folder");
        QTest::newRow("absolute path") << u"/mnt/nas/sql"_s << true;
        QTest::newRow("relative path") << u"copies"_s << true;
        QTest::newRow("a colon after a slash") << u"copies/10:30"_s << true;
        QTest::newRow("remote") << u"nas:sql"_s << false;
        QTest::newRow("remote's root") << u"nas:"_s << false;
        QTest::newRow("remote with a path") << u" s3:bucket/sql "_s << false;
        if (QDir::separator() == u'\\') {
            QTest::newRow("drive letter") << u"D:\\Copies"_s << true;
            QTest::newRow("drive letter, slashes") << u"D:/Copies"_s << true;
            QTest::newRow("share") << u"\\\\server\\share\\sql"_s << true;
        }
    }
    void foldersAndRemotesAreToldApart()
    {
        QFETCH(QString, destination);
        QFETCH(bool, folder);
        QCOMPARE(OffsiteCopy::isFolder(destination), folder);
        Copier copier;
        // A folder needs no rclone; a remote without rclone is refused with how to install it.
        const QString problem = copier.copy.problemFor(destination);
        QCOMPARE(problem.isEmpty(), folder);
        if (!folder)
            QVERIFY2(problem.contains(OffsiteCopy::installHint()), qPrintable(problem));
    }

    void copyIntoAFolderThenReplaceTheGrownFile_data()
    {
        QTest::addColumn<int>("rows");
        QTest::newRow("small") << 20;
        QTest::newRow("several blocks") << 60000; // about 2.5 MB: more than two blocks of the copy
    }
    void copyIntoAFolderThenReplaceTheGrownFile()
    {
        QFETCH(int, rows);
        int pumped = 0;
        Copier copier([&pumped] { ++pumped; });
        const QString name = u"Sales 2021-08-31 930AM.sql"_s;
        const QString local = m_dir.filePath(u"local/"_s + name);
        const QString dest = m_dir.filePath(u"copies"_s);
        QVERIFY(QDir().mkpath(QFileInfo(local).path()) && QDir().mkpath(dest));
        const QByteArray first = scriptFor(u"db1"_s, u"Sales"_s, rows);
        writeBytes(local, first);

        AfterSaveOutcome outcome = copier.copy.copy(local, dest, u"db1"_s, u"Sales"_s, 0);
        QCOMPARE(outcome.text, u"copied to "_s + dest);
        QCOMPARE(outcome.result, AfterSaveOutcome::Result::Passed);
        QCOMPARE(readBytes(dest + u'/' + name), first);
        QCOMPARE(readBytes(local), first);
        QCOMPARE(filesIn(dest), QStringList{name}); // no working file stays behind
        if (rows > 20)
            QVERIFY2(pumped >= 3, qPrintable(QString::number(pumped))); // the window's events run between blocks

        // A second backup within the same minute grows the file: the copy becomes the grown file, not old + new.
        const QByteArray grown = first + scriptFor(u"db1"_s, u"Sales"_s, 5);
        writeBytes(local, grown);
        outcome = copier.copy.copy(local, u' ' + dest + u' ', u"db1"_s, u"Sales"_s, 0);
        QCOMPARE(outcome.result, AfterSaveOutcome::Result::Passed);
        QCOMPARE(readBytes(dest + u'/' + name), grown);
        QCOMPARE(filesIn(dest), QStringList{name});
        QCOMPARE(int(copier.runner.calls.size()), 0);
        QCOMPARE(copier.lines, QStringList());
        QCOMPARE(copier.dialogs.shown().size(), 0);
    }

    void theFolderKeepsTheNewestCopiesOfOursOnly()
    {
        const QString dest = m_dir.filePath(u"kept"_s);
        QVERIFY(QDir().mkpath(dest));
        const QStringList ours
            = {u"Sales 2021-08-31 920AM.sql"_s, u"Sales 2021-08-31 910AM.sql"_s, u"Sales 2021-08-30 905AM.sql"_s};
        for (const QString& name : ours)
            writeBytes(dest + u'/' + name, scriptFor(u"db1"_s, u"Sales"_s, 3));
        // Another server's Sales, another database, a file that only has the name: not ours.
        const QStringList foreign
            = {u"Sales 2021-08-29 900AM.sql"_s, u"Orders 2021-08-29 900AM.sql"_s, u"Sales 2021-08-28 900AM.sql"_s};
        writeBytes(dest + u'/' + foreign[0], scriptFor(u"db2"_s, u"Sales"_s, 3));
        writeBytes(dest + u'/' + foreign[1], scriptFor(u"db1"_s, u"Orders"_s, 3));
        writeBytes(dest + u'/' + foreign[2], "not a backup\r\n");

        const QString name = u"Sales 2021-08-31 930AM.sql"_s;
        const QString local = m_dir.filePath(u"kept-local/"_s + name);
        QVERIFY(QDir().mkpath(QFileInfo(local).path()));
        writeBytes(local, scriptFor(u"db1"_s, u"Sales"_s, 10));
        Copier copier;
        const AfterSaveOutcome outcome = copier.copy.copy(local, dest, u"db1"_s, u"Sales"_s, 2);
        QCOMPARE(outcome.result, AfterSaveOutcome::Result::Passed);
        QStringList expected = foreign + QStringList{name, ours[0]};
        expected.sort();
        QCOMPARE(filesIn(dest), expected);
        // As in the backup folder, each removal logged with the path as this system writes it.
        QCOMPARE(copier.lines,
                 (QStringList{QDir::toNativeSeparators(dest + u'/' + ours[1])
                                  + u" was removed at 8/31/2021 9:30:12 AM (keeping 2)"_s,
                              QDir::toNativeSeparators(dest + u'/' + ours[2])
                                  + u" was removed at 8/31/2021 9:30:12 AM (keeping 2)"_s}));
        QCOMPARE(copier.dialogs.shown().size(), 0);
    }

    void aCopyThatCannotBeMadeIsSaidAndChangesNothing_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("no such folder") << u"missing"_s;
        QTest::newRow("a file where the folder should be") << u"file"_s;
        QTest::newRow("working file") << u"working"_s;
        QTest::newRow("stopped") << u"stopped"_s;
    }
    void aCopyThatCannotBeMadeIsSaidAndChangesNothing()
    {
        QFETCH(QString, kind);
        const QString root = m_dir.filePath(u"refused-"_s + kind);
        QVERIFY(QDir().mkpath(root + u"/local"_s));
        QString name = u"Sales 2021-08-31 930AM.sql"_s;
        if (kind == u"working"_s)
            name += u".1234-abcd.partial"_s;
        const QString local = root + u"/local/"_s + name;
        writeBytes(local, scriptFor(u"db1"_s, u"Sales"_s, 60000));
        QString dest = root + u"/copies"_s;
        if (kind == u"file"_s)
            writeBytes(dest, "a file");
        else if (kind != u"missing"_s)
            QVERIFY(QDir().mkpath(dest));
        // What an earlier copy left stays as it was.
        const QByteArray earlier = scriptFor(u"db1"_s, u"Sales"_s, 2);
        if (kind == u"stopped"_s)
            writeBytes(dest + u'/' + name, earlier);

        StopRequest stop;
        int pumped = 0;
        Copier copier(
            [&] {
                if (++pumped == 2 && kind == u"stopped"_s)
                    stop.request(15);
            },
            &stop);
        const AfterSaveOutcome outcome = copier.copy.copy(local, dest, u"db1"_s, u"Sales"_s, 1);
        QCOMPARE(outcome.result, AfterSaveOutcome::Result::Failed);
        QCOMPARE(outcome.exitStatus, OffsiteCopy::FailedExitStatus);
        const QString prefix = u"not copied to "_s + dest + u": "_s;
        QVERIFY2(outcome.text.startsWith(prefix), qPrintable(outcome.text));
        const QString why = outcome.text.mid(prefix.size());
        if (kind == u"missing"_s || kind == u"file"_s)
            QCOMPARE(why,
                     u"the folder "_s + QDir::toNativeSeparators(dest) + u" does not exist or cannot be reached"_s);
        else if (kind == u"working"_s)
            QVERIFY2(why.contains(u"is a working file"_s), qPrintable(why));
        else
            QCOMPARE(why, InterruptedText);
        if (kind == u"stopped"_s)
            QCOMPARE(filesIn(dest), QStringList{name});
        if (kind == u"stopped"_s)
            QCOMPARE(readBytes(dest + u'/' + name), earlier);
        if (kind == u"working"_s)
            QCOMPARE(filesIn(dest), QStringList());
        QCOMPARE(copier.lines, QStringList());
        QCOMPARE(int(copier.runner.calls.size()), 0);
    }

    void aCopyLeftByAKilledProcessIsCleared()
    {
        const QString dest = m_dir.filePath(u"stale"_s);
        QVERIFY(QDir().mkpath(dest) && QDir().mkpath(m_dir.filePath(u"stale-local"_s)));
        const QString stale = dest + u"/Sales 2021-08-31 800AM.sql.999-0000dead.partial"_s;
        writeBytes(stale, "half a script");
        QFile file(stale);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(-2 * 3600), QFileDevice::FileModificationTime));
        file.close();
        const QString name = u"Sales 2021-08-31 930AM.sql"_s;
        const QString local = m_dir.filePath(u"stale-local/"_s + name);
        writeBytes(local, scriptFor(u"db1"_s, u"Sales"_s, 3));
        Copier copier;
        copier.clock.setNow(QDateTime::currentDateTime());
        QCOMPARE(copier.copy.copy(local, dest, u"db1"_s, u"Sales"_s, 0).result, AfterSaveOutcome::Result::Passed);
        QCOMPARE(filesIn(dest), QStringList{name});
        QCOMPARE(copier.lines.size(), 1);
        QVERIFY2(copier.lines[0].startsWith(QDir::toNativeSeparators(stale) + u" was removed at "_s),
                 qPrintable(copier.lines[0]));
    }

private:
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(TestFolderCopy)
#include "tst_foldercopy.moc"
