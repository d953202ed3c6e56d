// The program: the connection window first, the main window after "Next >", the tray icon while the main window is
// loaded. Everything the windows work with is made here and handed to them.

#include "AfterSave.h"
#include "Clock.h"
#include "EventPump.h"
#include "Failure.h"
#include "Form1.h"
#include "Form2.h"
#include "IntervalSave.h"
#include "Keyring.h"
#include "OdbcConnection.h"
#include "ProcessRunner.h"
#include "QtDialogs.h"
#include "RegexJit.h"
#include "SettingsStore.h"
#include "ShellHelpers.h"
#include "Startup.h"
#include "StopRequest.h"
#include "SysTray.h"
#include "TerminationSignals.h"
#include "TrayBackend.h"
#include "Version.h"
#include "WindowDumpSource.h"
#include "WindowSupport.h"
#include "WorkGuard.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>

#include <cstdio>
#include <cstring>
#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace {

/** True when the command line asks for the version: the program then prints it and ends without a window. */
bool versionAsked(int argc, char* argv[])
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0)
            return true;
    }
    return false;
}

/** The program's name, version, desktop file and icon; it ends when one of its windows is closed. */
void describeApplication()
{
    QCoreApplication::setApplicationName(QString::fromLatin1(ProductName));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(TessalineVersion));
    QGuiApplication::setDesktopFileName(u"tessaline"_s);
    QApplication::setWindowIcon(applicationIcon());
    // Not when the last visible one goes: the main window hides in the tray.
    QApplication::setQuitOnLastWindowClosed(false);
}

/**
 * Where the program's optional files (the help picture, a cursor, a skin) are: beside it in the build tree, in the
 * shared data folder after an installation.
 */
QString programFolder()
{
    const QString folder = QCoreApplication::applicationDirPath();
    if (const QString installed = folder + u"/../share/tessaline"_s; QFileInfo(installed).isDir())
        return QDir::cleanPath(installed);
    return folder;
}

/**
 * What the steps after every saved backup ("Verify each backup", "Copy each backup to:") work with: the connection
 * window's settings and the main window's progress line, both read when a step runs.
 */
AfterSaveContext afterSaveContext(ConnectionFactory& factory,
                                  Dialogs& dialogs,
                                  const Clock& clock,
                                  ProcessRunner& processes,
                                  const BackupLog& log,
                                  Form1* const& connectionWindow,
                                  Form2* const& mainWindow,
                                  StopRequest& stop)
{
    AfterSaveContext context{factory,
                             dialogs,
                             clock,
                             processes,
                             log,
                             [&connectionWindow] { return connectionWindow->currentSettings(); },
                             processApplicationEvents,
                             [&mainWindow](const QString& text) { mainWindow->setProgressText(text); },
                             [&mainWindow] { mainWindow->setProgressText(u"Progress Bar"_s); }};
    context.stop = &stop;
    return context;
}

/** The ODBC driver manager's factory; none when the driver manager cannot give an environment, which is said. */
std::unique_ptr<OdbcConnectionFactory> connectionFactory(Dialogs& dialogs)
{
    try {
        return std::make_unique<OdbcConnectionFactory>();
    } catch (const Failure& failure) {
        dialogs.message(failure.description());
        return nullptr;
    }
}

} // namespace

int main(int argc, char* argv[])
{
    turnOffRegexJit(); // before any pattern is matched
    // Answered before the application object exists, because that needs a display.
    if (versionAsked(argc, argv)) {
        std::printf("tessaline %s\n", TessalineVersion);
        return 0;
    }

    QApplication app(argc, argv);
    describeApplication();

    QtDialogs dialogs;
    SettingsStore settings;
    const SystemClock clock;
    const std::unique_ptr<OdbcConnectionFactory> factory = connectionFactory(dialogs);
    if (!factory)
        return 1;

    // SIGTERM, SIGINT and SIGHUP (a log-out, a service manager, Ctrl+C) stop a running backup, the steps after it or
    // a restore: the work ends, its working file goes, the log says "interrupted".
    StopRequest stop;
    WindowDumpSource dumpSource;
    Form1* connectionWindow = nullptr;
    Form2* mainWindow = nullptr;
    const BackupLog log;
    QProcessRunner processes(processApplicationEvents, &stop);
    AfterSaveSteps afterSave(
        afterSaveContext(*factory, dialogs, clock, processes, log, connectionWindow, mainWindow, stop));
    IntervalSave engine(
        BackupContext{*factory, dialogs, clock, dumpSource, processApplicationEvents, log, {}, afterSave.steps()});
    engine.setStopRequest(&stop);
    WorkGuard guard;
    DesktopServicesOpener opener;
    std::unique_ptr<StartupRegistration> startup = createStartupRegistration();
    const QString folder = programFolder();

    bool ending = false;
    int exitStatus = 0;
    const auto endProgram = [&] {
        if (ending)
            return;
        ending = true;
        // The connection window's close leaves a loaded main window behind: its tray icon goes first.
        if (mainWindow)
            mainWindow->trayIcon().setInTray(false);
        QCoreApplication::exit(exitStatus);
    };

    const std::unique_ptr<Keyring> keyring = createDesktopKeyring();
    Form1 form1(Form1Services{settings, *factory, dialogs, folder, opener, endProgram, keyring.get()});
    Form2 form2(Form2Services{settings, dialogs, clock, *factory, engine, guard, form1,
                              [&form1] {
                                  form1.show();
                                  form1.raise();
                                  form1.activateWindow();
                              },
                              processApplicationEvents, *startup, opener, createPlatformTrayBackend(), folder,
                              endProgram, &afterSave.copy(), &stop});
    mainWindow = &form2;
    connectionWindow = &form1;
    dumpSource.setConnectionWindow(&form1);
    dumpSource.setMainWindow(&form2);
    form1.setShowMainWindow([&form2] { form2.showWindow(); });

    // The signal's thread cancels what waits on the server; the windows close in the event loop, the way their close
    // boxes close them, once the work has come back to it. A signal that stopped a backup or a restore ends the program
    // with 128 and its number; one that finds nothing running ends it as a close does.
    const auto closeOnSignal = [&](int number) {
        if (guard.busy() || engine.wasInterrupted() || form2.restoreInterrupted())
            exitStatus = 128 + number;
        if (form2.isLoaded())
            form2.close();
        else
            form1.close();
        endProgram(); // a window that was hidden closes without its close event
    };
    const std::unique_ptr<TerminationSignals> termination = TerminationSignals::install(stop, [&](int number) {
        QMetaObject::invokeMethod(
            qApp, [&closeOnSignal, number] { closeOnSignal(number); }, Qt::QueuedConnection);
    });

    form1.start();
    if (ending)
        return 0;
    return app.exec();
}
