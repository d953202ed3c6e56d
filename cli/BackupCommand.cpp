#include "BackupCommand.h"

#include "BackupFile.h"
#include "DataAccess.h"
#include "Dialogs.h"
#include "ErrorReport.h"
#include "IntervalSave.h"
#include "Mssql.h"
#include "Retention.h"
#include "ScriptRestore.h"
#include "SettingsStore.h"
#include "StopRequest.h"
#include "Version.h"
#include "Views.h"

#include <QCommandLineParser>
#include <QStandardPaths>
#include <QTextStream>

using namespace Qt::Literals::StringLiterals;

namespace {

/** Boxes become lines on standard error: there is nobody to press OK. */
class StreamDialogs : public Dialogs
{
public:
    explicit StreamDialogs(QTextStream& err)
        : m_err(err)
    { }
    void message(const QString& text) override { write(text); }
    bool question(const QString& text) override
    {
        write(text);
        return false;
    }
    void errorReport(const QString& text) override
    {
        ++m_reports;
        // Nobody can send a screenshot of a cron log: the request that closes the window's report is left out.
        QString report = text;
        const QString request = u"\r\r"_s + screenshotRequest();
        if (report.endsWith(request))
            report.chop(request.size());
        write(u"Error: "_s + report);
    }
    QString openFileName(const QString&, const QString&) override { return {}; }
    QString browseForFolder(const QString&, const QString&) override { return {}; }
    int reports() const { return m_reports; }

private:
    void write(QString text)
    {
        // The report's CR LF and bare CR line breaks are for a message box; a terminal wants LF.
        text.replace(u"\r\n"_s, u"\n"_s).replace(u'\r', u'\n');
        m_err << text << Qt::endl;
    }

    QTextStream& m_err;
    int m_reports = 0;
};

QString defaultBackupFolder()
{
    QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    if (!desktop.endsWith(u'/'))
        desktop += u'/';
    return desktop;
}

} // namespace

int runBackupCommand(const QStringList& arguments, CommandEnvironment& env)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        u"Makes one backup of the SQL Server database that Tessaline is set up for, as a plain-text SQL script in "
        u"a new time-stamped file, or restores such a script. Connection values and the backup folder come from "
        u"Tessaline's stored settings unless given here. The password comes only from the stored settings or from "
        u"the environment variable TESSALINE_PASSWORD, never from the command line.\n\n"
        u"Exit status: 0 success, 1 a step failed (the backup log says so too), 2 bad usage, 128 + N stopped by "
        u"signal N (SIGTERM, SIGINT or SIGHUP; the backup's working file is removed and the log says "
        u"\"interrupted\"; a second signal ends at once)."_s);
    const QCommandLineOption helpOption({u"h"_s, u"help"_s}, u"Show this help and exit."_s);
    const QCommandLineOption versionOption(u"version"_s, u"Show the version and exit."_s);
    const QCommandLineOption server(u"server"_s, u"The server name (instead of the stored one)."_s, u"NAME"_s);
    const QCommandLineOption port(u"port"_s, u"The server's port, 1 to 65535 (instead of the stored one)."_s,
                                  u"PORT"_s);
    const QCommandLineOption user(u"user"_s, u"The login name (instead of the stored one)."_s, u"NAME"_s);
    const QCommandLineOption database(u"database"_s, u"The database (instead of the stored one)."_s, u"NAME"_s);
    const QCommandLineOption local(u"local"_s, u"Local connection: connect without the port."_s);
    const QCommandLineOption folder(u"folder"_s, u"The folder to write the backup into (instead of the stored one)."_s,
                                    u"DIR"_s);
    const QCommandLineOption restore(u"restore"_s,
                                     u"Send the script FILE to the server instead of making a backup, in batches "
                                     u"between its statements (or at its GO lines); the first batch that fails ends "
                                     u"it. The stored settings are not changed."_s,
                                     u"FILE"_s);
    const QCommandLineOption keep(u"keep"_s,
                                  u"Keep only the newest N backups of this database in the folder after a backup "
                                  u"that succeeded, removing older ones (instead of the stored number; 0 keeps "
                                  u"all)."_s,
                                  u"N"_s);
    const QCommandLineOption compress(u"compress"_s,
                                      u"Write the backup through gzip into \"<name>.sql.gz\" (also when the stored "
                                      u"setting is off)."_s);
    const QCommandLineOption timeout(u"timeout"_s,
                                     u"How long a statement may wait for the server to send anything before the step "
                                     u"fails, in seconds (default 600; 0 waits without limit)."_s,
                                     u"SECONDS"_s);
    parser.addOptions({helpOption, server, port, user, database, local, folder, restore, timeout});
    parser.addOption(versionOption);
    parser.addOptions({keep, compress});

    if (!parser.parse(arguments)) {
        env.err << parser.errorText() << Qt::endl << u"Try --help."_s << Qt::endl;
        return ExitUsage;
    }
    if (parser.isSet(helpOption)) {
        env.out << parser.helpText();
        return ExitSuccess;
    }
    if (parser.isSet(versionOption)) {
        env.out << u"tessaline-backup "_s << QString::fromLatin1(TessalineVersion) << Qt::endl;
        return ExitSuccess;
    }
    if (!parser.positionalArguments().isEmpty()) {
        env.err << u"Unexpected argument: "_s << parser.positionalArguments().constFirst() << Qt::endl
                << u"Try --help."_s << Qt::endl;
        return ExitUsage;
    }

    // A whole number in decimal digits only ("+5", " 5" and "5.0" are refused), within [low, high].
    const auto wholeNumber
        = [&parser](const QCommandLineOption& option, qint64 low, qint64 high) -> std::optional<int> {
        const QString text = parser.value(option);
        bool digitsOnly = !text.isEmpty() && text.size() <= 9;
        for (const QChar c : text)
            digitsOnly = digitsOnly && c >= u'0' && c <= u'9';
        const qint64 value = digitsOnly ? text.toLongLong() : -1;
        if (!digitsOnly || value < low || value > high)
            return std::nullopt;
        return int(value);
    };
    if (parser.isSet(port) && !wholeNumber(port, 1, 65535)) {
        env.err << u"--port must be a whole number from 1 to 65535, not \""_s << parser.value(port) << u"\"."_s
                << Qt::endl;
        return ExitUsage;
    }
    if (parser.isSet(timeout)) {
        const std::optional<int> seconds = wholeNumber(timeout, 0, 999'999'999);
        if (!seconds) {
            env.err << u"--timeout must be a whole number of seconds (0 for no limit), not \""_s
                    << parser.value(timeout) << u"\"."_s << Qt::endl;
            return ExitUsage;
        }
        env.factory.setStatementTimeout(*seconds);
    }

    ConnectionSettings settings;
    settings.Server = parser.isSet(server) ? parser.value(server) : env.settings.get(SettingKeys::MSServer);
    settings.UserName = parser.isSet(user) ? parser.value(user) : env.settings.get(SettingKeys::MSUser);
    settings.Database = parser.isSet(database) ? parser.value(database) : env.settings.get(SettingKeys::MSDatabase);
    settings.Port = parser.isSet(port) ? parser.value(port) : env.settings.get(SettingKeys::MSPort, u"1433"_s);
    settings.LocalConnection = parser.isSet(local) || env.settings.get(SettingKeys::LocalConnection, u"0"_s) != u"0"_s;
    const std::optional<QString> password = env.passwordFromEnvironment ? env.passwordFromEnvironment() : std::nullopt;
    settings.Password = password ? *password : env.settings.get(SettingKeys::MSPassword);

    if (settings.Server.isEmpty()) {
        env.err << u"No server is set: run Tessaline once to set up the connection, or give --server."_s << Qt::endl;
        return ExitUsage;
    }

    // How many backups stay: --keep must be right; a stored value that is not is said and keeps all.
    int keepBackups = 0;
    if (parser.isSet(keep)) {
        try {
            keepBackups = ConvertKeepBackups(parser.value(keep));
        } catch (const Failure& error) {
            env.err << u"--keep: "_s << error.description() << Qt::endl << u"Try --help."_s << Qt::endl;
            return ExitUsage;
        }
    } else if (!parser.isSet(restore)) {
        try {
            keepBackups = ConvertKeepBackups(env.settings.get(SettingKeys::KeepBackups, u"0"_s));
        } catch (const Failure& error) {
            env.err << error.description() << u" Every backup is kept."_s << Qt::endl;
        }
    }

    QString connectionString;
    try {
        connectionString = BuildConnectionString(settings);
    } catch (const ConnectionStringError& error) {
        env.err << error.description() << Qt::endl;
        return ExitUsage;
    }

    StreamDialogs dialogs(env.err);
    const QString backupFolder
        = parser.isSet(folder) ? parser.value(folder) : env.settings.get(SettingKeys::Path, defaultBackupFolder());
    FixedDumpSource source(settings.Server, settings.Database, backupFolder);
    source.keep = keepBackups;
    source.compress = parser.isSet(compress) || env.settings.get(SettingKeys::Compress, u"Off"_s) == u"On"_s;
    BackupContext context{env.factory, dialogs, env.clock, source, {}, env.logPath, {}};
    context.progress = [&env](const DumpProgress& p) {
        env.err << u"Tables "_s << p.tablesDone << u" of "_s << p.tablesTotal << u", "_s << p.rowsWritten
                << u" rows written, "_s << QString::number(double(p.elapsedMs) / 1000.0, 'f', 1) << u" s"_s << Qt::endl;
    };
    IntervalSave engine(context);
    engine.setStopRequest(env.stop);
    const auto interrupted = [&env]() {
        env.err << u"Stopped by signal "_s << env.stop->signalNumber() << u"."_s << Qt::endl;
        return env.stop->exitStatus();
    };

    if (parser.isSet(restore)) {
        const QString path = parser.value(restore);
        if (BackupFile::isWorkingFile(path)) {
            env.err << WorkingFileRefusal(path) << Qt::endl;
            return ExitFailure;
        }
        if (!RestoreFileExists(path)) {
            dialogs.message(RestoreFileNotFoundMessage);
            return ExitFailure;
        }
        RestoreOptions options;
        options.clock = &env.clock;
        options.stop = env.stop;
        options.writeLog = [&engine](const QString& line) { engine.WriteBackupLog(line); };
        qint64 lastShownMs = -1;
        RestoreProgress last;
        const auto show = [&env](const RestoreProgress& p) {
            env.err << u"Restored "_s << p.bytesDone << u" of "_s << p.bytesTotal << u" bytes, "_s << p.statementsDone
                    << u" statements, "_s << QString::number(double(p.elapsedMs) / 1000.0, 'f', 1) << u" s"_s
                    << Qt::endl;
        };
        options.progress = [&](const RestoreProgress& p) {
            // A line a second at most: a large script has thousands of batches. The last one follows the end.
            last = p;
            if (lastShownMs >= 0 && p.elapsedMs - lastShownMs < 1000)
                return;
            lastShownMs = p.elapsedMs;
            show(p);
        };
        try {
            ExecuteScript(env.factory, dialogs, connectionString, path, options);
            show(last);
        } catch (const Interrupted&) {
            show(last);
            return interrupted();
        } catch (const Failure& error) {
            if (!IsContextChangeToMaster(error)) {
                // Unlike the window, say what the server said and where: nobody can look at the server's log from
                // cron.
                env.err << error.description() << Qt::endl;
                if (const auto* batch = dynamic_cast<const ScriptBatchError*>(&error))
                    env.err << u"The failing batch begins at line "_s << batch->firstLine() << u" of "_s << path
                            << Qt::endl;
                dialogs.message(QString::fromLatin1(CouldNotConnectMessage));
                return ExitFailure;
            }
        }
        dialogs.message(RestoreDoneMessage);
        return dialogs.reports() == 0 ? ExitSuccess : ExitFailure;
    }

    PlainStatusFrame status;
    const bool saved = engine.SaveAll(connectionString, status);
    env.err << status.caption() << Qt::endl;
    if (engine.wasInterrupted())
        return interrupted();
    if (!saved)
        return ExitFailure;
    env.out << engine.lastOutputPath() << Qt::endl;
    return ExitSuccess;
}
