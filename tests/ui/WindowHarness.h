#pragma once

#include "FakeClock.h"
#include "FakeDialogs.h"
#include "FakeKeyring.h"
#include "FakeProcessRunner.h"
#include "FakeTrayBackend.h"
#include "Form1.h"
#include "Form2.h"
#include "IntervalSave.h"
#include "MemoryDatabase.h"
#include "OffsiteCopy.h"
#include "SettingsStore.h"
#include "ShellHelpers.h"
#include "StopRequest.h"
#include "WindowDumpSource.h"
#include "WorkGuard.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

// The harness's one platform switch: the settings store and the start-at-login entry are the registry on Windows
// (a throwaway key each), files under the temporary XDG_CONFIG_HOME elsewhere.
#ifdef Q_OS_WIN
#include "RegistryKey.h"
#include "WindowsRunKey.h"
#else
#include "XdgAutostart.h"
#endif

#include <memory>

/** Records what the windows ask the desktop to open, and answers as told. */
class RecordingOpener : public ShellOpener
{
public:
    bool openFolder(const QString& folder) override
    {
        folders.append(folder);
        return answer;
    }
    bool openFile(const QString& file) override
    {
        files.append(file);
        return answer;
    }

    QStringList folders;
    QStringList files;
    bool answer = true;
};

/**
 * Both windows with everything they work with: a throwaway settings store and autostart folder (under a temporary
 * XDG_CONFIG_HOME), the fake dialogs, clock and tray, the in-memory database and the real engine, schedule and
 * restore. The event pump moves the fake clock, so pauses and balloon waits end without real waiting.
 */
class WindowHarness
{
public:
    WindowHarness()
    {
        qputenv("XDG_CONFIG_HOME", root.path().toLocal8Bit());
        QDir(root.path()).mkpath(QStringLiteral("program"));
        QDir(root.path()).mkpath(QStringLiteral("backups"));
        QDir(root.path()).mkpath(QStringLiteral("temp"));
    }

    /** Builds the windows; call after seeding the store and the database. */
    void create()
    {
        settings = std::make_unique<SettingsStore>(settingsRoot());
#ifdef Q_OS_WIN
        startup = std::make_unique<WindowsRunKey>(programFolder() + QStringLiteral("/tessaline.exe"), runKey.path());
#else
        startup = std::make_unique<XdgAutostart>(programFolder() + QStringLiteral("/tessaline"),
                                                 XdgAutostart::defaultFolder());
#endif
        const BackupLog log(root.path() + QStringLiteral("/temp/backups.log"));
        offsite = std::make_unique<OffsiteCopy>(processes, dialogs, clock, log.writer());
        engine = std::make_unique<IntervalSave>(
            BackupContext{database, dialogs, clock, dumpSource, pump(), log, {}, {offsite->step()}});
        engine->setStopRequest(&stop);
        form1 = std::make_unique<Form1>(Form1Services{*settings, database, dialogs, programFolder(), opener,
                                                      [this] { ++endRequests; }, keyringInUse});
        form2 = std::make_unique<Form2>(Form2Services{*settings, dialogs, clock, database, *engine, guard, *form1,
                                                      [this] { form1->show(); }, pump(), *startup, opener,
                                                      std::make_unique<FakeTrayBackend>(tray), programFolder(),
                                                      [this] { ++endRequests; }, offsite.get(), &stop});
        form1->setShowMainWindow([this] { form2->showWindow(); });
        dumpSource.setConnectionWindow(form1.get());
        dumpSource.setMainWindow(form2.get());
    }

    ~WindowHarness()
    {
        form2.reset();
        form1.reset();
        qunsetenv("XDG_CONFIG_HOME");
    }

    /** Lets events run and moves the fake clock a tenth of a second. */
    EventPump pump()
    {
        return [this] {
            clock.advanceMs(100);
            QCoreApplication::processEvents();
            if (onPump)
                onPump();
        };
    }

    QString programFolder() const
    {
        return root.path() + QStringLiteral("/program");
    }
    QString backupFolder() const
    {
        return root.path() + QStringLiteral("/backups/");
    }

    /** Seeds the store before the windows exist (a store of its own, so the windows read it fresh). */
    void seed(const QString& key, const QString& value)
    {
        SettingsStore(settingsRoot()).save(key, value);
    }
    QString stored(const QString& key, const QString& absent = QStringLiteral("<absent>")) const
    {
        return SettingsStore(settingsRoot()).get(key, absent);
    }

#ifdef Q_OS_WIN
    QString settingsRoot() const
    {
        return settingsKey.path();
    }
    /** The start-at-login entry's text (the Run value's data), or empty when there is none. */
    QString startupEntry() const
    {
        const auto value = ScratchRegistryKey::value(runKey.path(), QStringLiteral("tessaline.exe"));
        return value ? value->second : QString();
    }
    /** What the entry must hold to start the program. */
    QString startupCommand() const
    {
        return u'"' + QDir::toNativeSeparators(programFolder() + QStringLiteral("/tessaline.exe")) + u'"';
    }
    /** Everything the settings store holds, as text. */
    QString storeText() const
    {
        return ScratchRegistryKey::allValues(settingsKey.path() + QStringLiteral("\\Brackwell\\Tessaline"));
    }
    /** Makes the next registration fail; false where the test cannot (a registry key cannot be blocked here). */
    bool blockStartupEntry()
    {
        return false;
    }
#else
    QString settingsRoot() const
    {
        return root.path();
    }
    QString storeText() const
    {
        QFile file(SettingsStore(root.path()).filePath());
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
    QString startupEntry() const
    {
        QFile file(root.path() + QStringLiteral("/autostart/") + XdgAutostart::EntryFileName);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
    QString startupCommand() const
    {
        return QStringLiteral("Exec=")
            + XdgAutostart::quoteExecArgument(programFolder() + QStringLiteral("/tessaline"));
    }
    /** A file where the autostart folder should be: the next registration fails. */
    bool blockStartupEntry()
    {
        QDir(root.path() + QStringLiteral("/autostart")).removeRecursively();
        QFile blocker(root.path() + QStringLiteral("/autostart"));
        return blocker.open(QIODevice::WriteOnly);
    }
#endif

    /** A database that connects and holds one small table. */
    void seedDatabase()
    {
        database.databaseFiles
            = QList<MemoryDatabase::DatabaseFile>{{QStringLiteral("/var/opt/mssql/data/Sales.mdf"), 0},
                                                  {QStringLiteral("/var/opt/mssql/data/Sales_log.ldf"), 1}};
        auto& table = database.addTable(QStringLiteral("Customers"),
                                        {{QStringLiteral("Id"), QStringLiteral("int"), {}, 10, 0}});
        table.rows.push_back({FieldValue::ofText(QStringLiteral("1"), FieldValue::Kind::Integer)});
    }

    QTemporaryDir root;
#ifdef Q_OS_WIN
    ScratchRegistryKey settingsKey;
    ScratchRegistryKey runKey;
#endif
    FakeDialogs dialogs;
    FakeKeyring keyring;
    Keyring* keyringInUse = &keyring; ///< what the connection window uses: the fake unless a test sets a real one
    FakeClock clock;
    MemoryDatabase database;
    WorkGuard guard;
    WindowDumpSource dumpSource;
    RecordingOpener opener;
    FakeTrayState tray;
    /** rclone for the copy to another place: nothing runs, every call is recorded. */
    FakeProcessRunner processes;
    int endRequests = 0;
    /** The termination signals' stop, given to the engine and the restore; never requested unless a test does. */
    StopRequest stop;
    /** Runs after the events of every pump; may be empty. */
    std::function<void()> onPump;

    std::unique_ptr<SettingsStore> settings;
    std::unique_ptr<StartupRegistration> startup;
    std::unique_ptr<OffsiteCopy> offsite;
    std::unique_ptr<IntervalSave> engine;
    std::unique_ptr<Form1> form1;
    std::unique_ptr<Form2> form2;
};
