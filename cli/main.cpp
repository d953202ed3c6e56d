#include "BackupCommand.h"
#include "Clock.h"
#include "OdbcConnection.h"
#include "SettingsStore.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tessaline-backup"));

    OdbcConnectionFactory factory;
    SettingsStore settings;
    SystemClock clock;
    QTextStream out(stdout);
    QTextStream err(stderr);
    CommandEnvironment environment{factory,
                                   settings,
                                   clock,
                                   out,
                                   err,
                                   []() -> std::optional<QString> {
                                       if (!qEnvironmentVariableIsSet("TESSALINE_PASSWORD"))
                                           return std::nullopt;
                                       return qEnvironmentVariable("TESSALINE_PASSWORD");
                                   },
                                   QString()};
    return runBackupCommand(QCoreApplication::arguments(), environment);
}
