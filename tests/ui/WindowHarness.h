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
#include "XdgAutostart.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

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
        settings = std::make_unique<SettingsStore>(root.path());
        startup = std::make_unique<XdgAutostart>(programFolder() + QStringLiteral("/tessaline"),
                                                 XdgAutostart::defaultFolder());
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

    QString programFolder() const { return root.path() + QStringLiteral("/program"); }
    QString backupFolder() const { return root.path() + QStringLiteral("/backups/"); }

    /** Seeds the store before the windows exist (a store of its own, so the windows read it fresh). */
    void seed(const QString& key, const QString& value) { SettingsStore(root.path()).save(key, value); }
    QString stored(const QString& key, const QString& absent = QStringLiteral("<absent>")) const
    {
        return SettingsStore(root.path()).get(key, absent);
    }

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
    std::unique_ptr<XdgAutostart> startup;
    std::unique_ptr<OffsiteCopy> offsite;
    std::unique_ptr<IntervalSave> engine;
    std::unique_ptr<Form1> form1;
    std::unique_ptr<Form2> form2;
};
