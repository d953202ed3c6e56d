#include "BackupCommand.h"
#include "Clock.h"
#include "DriverEnvironment.h"
#include "Keyring.h"
#include "OdbcConnection.h"
#include "RegexJit.h"
#include "SettingsStore.h"
#include "StopRequest.h"
#include "TerminationSignals.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>
#include <memory>

int main(int argc, char* argv[])
{
    turnOffRegexJit(); // before any pattern is matched
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tessaline-backup"));

    QTextStream out(stdout);
    QTextStream err(stderr);
    // A refused driver setting (FreeTDS's TDSVER) is the user's, like a refused connection value: bad usage, nothing
    // was tried.
    if (const QString problem = DriverEnvironment::problem(); !problem.isEmpty()) {
        err << problem << Qt::endl;
        return ExitUsage;
    }
    std::unique_ptr<OdbcConnectionFactory> factory;
    try {
        factory = std::make_unique<OdbcConnectionFactory>();
    } catch (const Failure& failure) {
        err << failure.description() << Qt::endl;
        return ExitFailure;
    }
    SettingsStore settings;
    SystemClock clock;
    const std::unique_ptr<Keyring> keyring = createDesktopKeyring();
    // SIGTERM, SIGINT and SIGHUP stop the backup or restore: its working file goes, the log says "interrupted".
    StopRequest stop;
    const std::unique_ptr<TerminationSignals> termination = TerminationSignals::install(stop);
    CommandEnvironment environment{*factory,
                                   settings,
                                   clock,
                                   out,
                                   err,
                                   []() -> std::optional<QString> {
                                       if (!qEnvironmentVariableIsSet("TESSALINE_PASSWORD"))
                                           return std::nullopt;
                                       return qEnvironmentVariable("TESSALINE_PASSWORD");
                                   },
                                   QString(),
                                   keyring.get(),
                                   nullptr,
                                   &stop};
    return runBackupCommand(QCoreApplication::arguments(), environment);
}
