// The working file's lock on Windows, between two processes (under Wine in the Windows tier): a backup that runs
// holds its working file against every other open, one whose process was killed leaves a file that no one holds,
// and a commit waits out a program that has the backup file open for a moment (a virus scanner, a sync client).
#include "BackupFile.h"
#include "Failure.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <thread>

using namespace Qt::Literals::StringLiterals;

namespace {

/** The other process: creates the working file of `finalPath`, prints its path and holds it until killed. */
int holdWorkingFile(const QString& finalPath)
{
    BackupFile file(finalPath);
    file.create();
    file.append("partial script\r\n", 16);
    file.finishWriting(); // the bytes are in the file before the other process looks
    std::printf("%s\n", file.workingPath().toUtf8().constData());
    std::fflush(stdout);
    Sleep(INFINITE);
    return 0;
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

} // namespace

class TestWorkingFileLock : public QObject
{
    Q_OBJECT

private slots:
    void heldWhileItsProcessRunsAndFreeOnceKilled()
    {
        QTemporaryDir dir;
        const QString finalPath = dir.path() + u"/Sales 2021-08-31 930AM.sql"_s;
        QProcess holder;
        holder.start(QCoreApplication::applicationFilePath(), {u"--hold"_s, finalPath});
        QVERIFY(holder.waitForStarted(30'000));
        QVERIFY(holder.waitForReadyRead(60'000));
        const QString working = QString::fromUtf8(holder.readLine().trimmed());
        QVERIFY2(BackupFile::isWorkingFile(working), qPrintable(working));
        QVERIFY(QFile::exists(working));

        QVERIFY(BackupFile::isWorkingFileHeld(working));
        QFile other(working);
        QVERIFY2(!other.open(QIODevice::ReadOnly), "another process read a working file that is being written");

        holder.kill();
        QVERIFY(holder.waitForFinished(30'000));
        // The killed backup's file stays for the next backup to remove, and no one holds it any more.
        QVERIFY(QFile::exists(working));
        QVERIFY(!BackupFile::isWorkingFileHeld(working));
        QCOMPARE(readAll(working), QByteArray("partial script\r\n"));
    }

    void heldInItsOwnProcessAndGoneWhenAbandoned()
    {
        QTemporaryDir dir;
        BackupFile file(dir.path() + u"/a.sql"_s);
        file.create();
        const QString working = file.workingPath();
        QVERIFY(BackupFile::isWorkingFileHeld(working));
        file.abandon();
        QVERIFY(!QFile::exists(working));
        QVERIFY(!BackupFile::isWorkingFileHeld(working));
    }

    void commitWaitsForAReaderThatHoldsTheFileAMoment()
    {
        QTemporaryDir dir;
        const QString finalPath = dir.path() + u"/b.sql"_s;
        {
            BackupFile first(finalPath);
            first.create();
            first.append(QByteArray("first\r\n"));
            first.commit(BackupFile::DefaultLockWaitMs);
        }
        // Another program opens the backup without letting it be replaced, and closes it 300 ms later.
        const HANDLE reader = CreateFileW(QDir::toNativeSeparators(finalPath).toStdWString().c_str(), GENERIC_READ,
                                          FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        QVERIFY(reader != INVALID_HANDLE_VALUE);
        std::thread closer([reader] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            CloseHandle(reader);
        });
        BackupFile second(finalPath);
        second.create();
        second.append(QByteArray("second\r\n"));
        try {
            second.commit(BackupFile::DefaultLockWaitMs);
        } catch (const Failure& failure) {
            closer.join();
            QFAIL(qPrintable(failure.description()));
        }
        closer.join();
        QCOMPARE(readAll(finalPath), QByteArray("first\r\nsecond\r\n"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{u"b.sql"_s});
    }

    void namesRefuseWhatWindowsRefuses()
    {
        QCOMPARE(BackupFile::safeFileName(u"a/b\\c:d*e?f\"g<h>i|j\tk"_s), u"a_b_c_d_e_f_g_h_i_j_k"_s);
    }
};

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() == 3 && arguments.at(1) == u"--hold"_s)
        return holdWorkingFile(arguments.at(2));
    TestWorkingFileLock test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_workingfilelock.moc"
