// The working file's lock on Windows, between two processes (under Wine in the Windows tier): a backup that runs
// holds its working file against every other open, one whose process was killed leaves a file that no one holds,
// and a commit waits out a program that has the backup file open for a moment (a virus scanner, a sync client).
// The working file and the backup it becomes carry a DACL for their user alone, whatever the folder grants.
#include "BackupFile.h"
#include "Failure.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

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

QString sidText(PSID sid)
{
    LPWSTR text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text))
        return u"<bad SID>"_s;
    const QString result = QString::fromWCharArray(text);
    LocalFree(text);
    return result;
}

QString currentUserSid()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return u"<no token>"_s;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    QByteArray buffer(qsizetype(size), '\0');
    const bool read = GetTokenInformation(token, TokenUser, buffer.data(), size, &size);
    CloseHandle(token);
    return read ? sidText(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid) : u"<no user>"_s;
}

/**
 * The DACL of `path` as read back from the system: "protected" first when it inherits nothing, then one
 * "type:flags:SID:mask" per entry, in order.
 */
QStringList daclOf(const QString& path)
{
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD code = GetNamedSecurityInfoW(QDir::toNativeSeparators(path).toStdWString().c_str(), SE_FILE_OBJECT,
                                             DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &descriptor);
    if (code != ERROR_SUCCESS)
        return {u"<unreadable: %1>"_s.arg(code)};
    QStringList entries;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (GetSecurityDescriptorControl(descriptor, &control, &revision) && (control & SE_DACL_PROTECTED))
        entries << u"protected"_s;
    if (!dacl)
        entries << u"<no DACL: everyone may>"_s;
    for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace))
            break;
        const auto* header = static_cast<ACE_HEADER*>(ace);
        // Allowed and denied entries share their layout: the mask, then the SID.
        const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        entries << u"%1:%2:%3:%4"_s.arg(header->AceType)
                       .arg(header->AceFlags)
                       .arg(sidText(const_cast<DWORD*>(&allowed->SidStart)))
                       .arg(allowed->Mask, 0, 16);
    }
    LocalFree(descriptor);
    return entries;
}

/** Gives `folder` a DACL that every file made in it inherits: everyone ("WD") may do everything. */
bool shareWithEveryone(const QString& folder)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;OICI;FA;;;WD)", SDDL_REVISION_1, &descriptor,
                                                              nullptr))
        return false;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    bool done = GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)
        && SetNamedSecurityInfoW(const_cast<wchar_t*>(QDir::toNativeSeparators(folder).toStdWString().c_str()),
                                 SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl, nullptr)
            == ERROR_SUCCESS;
    LocalFree(descriptor);
    return done;
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

    void readableByItsUserAloneWhateverTheFolderGrants()
    {
        QTemporaryDir dir;
        QVERIFY(shareWithEveryone(dir.path()));
        // A file made the ordinary way gets an entry for everyone (S-1-1-0): Windows inherits the folder's, Wine
        // derives one from the Unix file mode.
        QFile ordinary(dir.path() + u"/ordinary.txt"_s);
        QVERIFY(ordinary.open(QIODevice::WriteOnly));
        ordinary.close();
        const QStringList inherited = daclOf(ordinary.fileName());
        QVERIFY2(inherited.join(u' ').contains(u":S-1-1-0:"_s), qPrintable(inherited.join(u' ')));

        // Allowed (type 0), not inherited (flags 0), all file access (FILE_ALL_ACCESS) for this user; nothing else.
        const QString user = u"0:0:"_s + currentUserSid() + u":1f01ff"_s;
        const QStringList userAlone{u"protected"_s, user};
        // Wine keeps no DACL where the file system holds no extended attributes: it turns the one given into the
        // Unix mode and reads back a DACL made from that (SYSTEM, the user, and everyone for the "other" bits).
        const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
        const auto check = [&](const QString& path) {
            const QStringList dacl = daclOf(path);
            if (!wine)
                return dacl == userAlone ? QString() : dacl.join(u' ');
            const bool userOnly = dacl.contains(user) && !dacl.join(u' ').contains(u":S-1-1-0:"_s);
            return userOnly ? QString() : dacl.join(u' ');
        };
        const QString finalPath = dir.path() + u"/c.sql"_s;
        for (const QByteArray& text : {QByteArray("first\r\n"), QByteArray("second\r\n")}) {
            // The second backup of the minute is appended: a new working file that replaces the first.
            BackupFile file(finalPath);
            file.create();
            file.append(text);
            QCOMPARE(check(file.workingPath()), QString());
            file.commit(BackupFile::DefaultLockWaitMs);
            QCOMPARE(check(finalPath), QString());
        }
        QCOMPARE(readAll(finalPath), QByteArray("first\r\nsecond\r\n"));
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
