#include "BackupCommand.h"

#include "AfterSave.h"
#include "BackupFile.h"
#include "DataAccess.h"
#include "Dialogs.h"
#include "ErrorReport.h"
#include "ExecuteScript.h"
#include "IntervalSave.h"
#include "Keyring.h"
#include "Mssql.h"
#include "OffsiteCopy.h"
#include "ProcessRunner.h"
#include "RestoreAs.h"
#include "RestoreDrill.h"
#include "Retention.h"
#include "ScriptRestore.h"
#include "Settings.h"
#include "SettingsStore.h"
#include "StopRequest.h"
#include "StoredPassword.h"
#include "Version.h"
#include "Views.h"

#include <QCommandLineParser>
#include <QStandardPaths>
#include <QTextStream>

#include <algorithm>
#include <functional>
#include <optional>
#include <vector>

using namespace Qt::Literals::StringLiterals;

static_assert(ExitCopyFailed == OffsiteCopy::FailedExitStatus);

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

/**
 * The password kept in the desktop keyring for the connection in use; when the command names another server, user or
 * database than the stored ones and none is kept for it, the stored connection's password. Says why on failure.
 */
std::optional<QString> passwordFromKeyring(CommandEnvironment& env, const ConnectionSettings& settings)
{
    const KeyringEntry given{settings.Server, settings.UserName, settings.Database};
    const KeyringResult found = StoredPassword(env.settings, env.keyring).lookUp(given);
    if (found.ok())
        return found.password;
    if (found.status == KeyringResult::Status::Unreachable) {
        env.err << u"The password cannot be read from the desktop keyring: "_s << StoredPassword::sentence(found.error)
                << u" Run the command in the user's logged-in session, or set TESSALINE_PASSWORD."_s << Qt::endl;
        return std::nullopt;
    }
    env.err << u"No password for "_s << given.describe()
            << u" is kept in the desktop keyring: keep it there from Tessaline's connection window, or set "
               u"TESSALINE_PASSWORD."_s
            << Qt::endl;
    return std::nullopt;
}
/** More connections than this only queue on the server's cores and locks. */
constexpr int MaxRestoreJobs = 64;

/** A whole number in decimal digits only ("+5", " 5" and "5.0" are refused), within [low, high]. */
/** The longest --timeout in seconds. */
constexpr qint64 MaxTimeoutSeconds = 999'999'999;

std::optional<int> wholeNumber(const QString& text, qint64 low, qint64 high)
{
    bool digitsOnly = !text.isEmpty() && text.size() <= 9;
    for (const QChar c : text)
        digitsOnly = digitsOnly && c >= u'0' && c <= u'9';
    const qint64 value = digitsOnly ? text.toLongLong() : -1;
    if (!digitsOnly || value < low || value > high)
        return std::nullopt;
    return int(value);
}

/**
 * One option of the command. A switch has no value name. A check returns why a given value is refused (empty when
 * it is taken); every value is checked before anything connects.
 */
struct CommandOption
{
    QString name;
    QString help;
    QString valueName = {};
    std::function<QString(const QString&)> check = {};
};

/** Every option of tessaline-backup, in the order --help lists them. */
const std::vector<CommandOption>& optionTable()
{
    static const std::vector<CommandOption> table = {
        {u"server"_s, u"The server name (instead of the stored one)."_s, u"NAME"_s},
        {u"port"_s, u"The server's port, 1 to 65535 (instead of the stored one)."_s, u"PORT"_s,
         [](const QString& value) -> QString {
             return wholeNumber(value, 1, 65535)
                 ? QString()
                 : u"--port must be a whole number from 1 to 65535, not \"%1\"."_s.arg(value);
         }},
        {u"user"_s, u"The login name (instead of the stored one)."_s, u"NAME"_s},
        {u"database"_s, u"The database (instead of the stored one)."_s, u"NAME"_s},
        {u"local"_s, u"Local connection: connect without the port."_s},
        {u"folder"_s, u"The folder to write the backup into (instead of the stored one)."_s, u"DIR"_s},
        {u"restore"_s,
         u"Send the script FILE to the server instead of making a backup, in batches between its statements (or at "
         u"its GO lines); the first batch that fails ends it. The stored settings are not changed."_s,
         u"FILE"_s},
        {u"jobs"_s,
         u"With --restore: restore the tables over N connections at once, whole tables each, the largest first; the "
         u"database block and what comes before and after the rows run on one connection (default 1)."_s,
         u"N"_s,
         [](const QString& value) -> QString {
             return wholeNumber(value, 1, MaxRestoreJobs)
                 ? QString()
                 : u"--jobs must be a whole number of connections from 1 to %1, not \"%2\"."_s.arg(MaxRestoreJobs)
                       .arg(value);
         }},
        {u"timeout"_s,
         u"How long a statement may wait for the server to send anything before the step fails, in seconds (default "
         u"600; 0 waits without limit)."_s,
         u"SECONDS"_s,
         [](const QString& value) -> QString {
             return wholeNumber(value, 0, MaxTimeoutSeconds)
                 ? QString()
                 : u"--timeout must be a whole number of seconds (0 for no limit), not \"%1\"."_s.arg(value);
         }},
        {u"keep"_s,
         u"Keep only the newest N backups of this database in the folder after a backup that succeeded, removing "
         u"older ones (instead of the stored number; 0 keeps all)."_s,
         u"N"_s,
         [](const QString& value) -> QString {
             try {
                 ConvertKeepBackups(value);
                 return QString();
             } catch (const Failure& error) {
                 return QString(u"--keep: "_s + error.description());
             }
         }},
        {u"compress"_s,
         u"Write the backup through gzip into \"<name>.sql.gz\" (also when the stored setting is off)."_s},
        {u"copy-to"_s,
         u"Copy the saved backup to DEST under the same name and check it there: a folder, or with rclone a remote "
         u"such "
         u"as nas:backups/sales (set up with \"rclone config\") (instead of the stored destination). Older copies of "
         u"the database there are removed as in the backup folder. A failed copy leaves the backup in place and exits "
         u"with 3."_s,
         u"DEST"_s,
         [](const QString& value) -> QString {
             if (value.trimmed().isEmpty())
                 return u"--copy-to needs a destination (--no-copy makes no copy)."_s;
             const QString problem = OffsiteCopy::destinationProblem(value);
             return problem.isEmpty() ? QString() : QString(u"--copy-to: "_s + problem);
         }},
        {u"no-copy"_s, u"Make no copy of this backup, whatever destination is stored."_s},
        {u"restore-as"_s,
         u"With --restore: restore into the database NAME instead of the one the script names, which is not "
         u"touched. Refused when NAME exists, unless --replace is given. The file is not changed."_s,
         u"NAME"_s},
        {u"replace"_s, u"With --restore-as: replace the database NAME when it exists."_s},
        {u"verify"_s,
         u"After the backup is saved, restore it into a scratch database \"<database>_verify_<random>\" on the same "
         u"server, back that up and compare the two scripts (also when the stored setting is off). The scratch "
         u"database is dropped afterwards. Exit status 1 when the copy differs; the backup stays."_s},
        {u"no-verify"_s, u"Do not verify the backup (also when the stored setting is on)."_s},
        {u"complete-schema"_s,
         u"Write the complete schema around the rows: keys, identity, defaults, indexes, constraints, views, "
         u"functions, procedures and triggers, in batches separated by GO lines (also when the stored setting is "
         u"off)."_s},
        {u"no-complete-schema"_s,
         u"Write tables, columns and rows only, the default format (also when the stored setting is on)."_s},
    };
    return table;
}

/** The command line read against the option table, with the stored settings behind it. */
class Options
{
public:
    Options(const QCommandLineParser& parser, const SettingsStore& settings)
        : m_parser(parser)
        , m_settings(settings)
    { }
    bool isSet(const QString& name) const { return m_parser.isSet(name); }
    QString value(const QString& name) const { return m_parser.value(name); }
    /** The option's value when given, else the stored value of the key, else the default. */
    QString valueOr(const QString& name, const TextSetting& setting) const
    {
        return isSet(name) ? value(name) : setting.read(m_settings);
    }
    /** The same, with a default known only at run time. */
    QString valueOr(const QString& name, const TextSetting& setting, const QString& defaultValue) const
    {
        return isSet(name) ? value(name) : setting.read(m_settings, defaultValue);
    }
    /** A switch over an "On"/"Off" setting: --NAME turns it on, --no-NAME (where there is one) off. */
    bool onOff(const QString& name, const SwitchSetting& setting) const
    {
        if (isSet(name))
            return true;
        if (hasOption(u"no-"_s + name) && isSet(u"no-"_s + name))
            return false;
        return setting.read(m_settings);
    }
    const SettingsStore& settings() const { return m_settings; }
    /** --timeout's seconds when it is given (checked by the option table before). */
    std::optional<int> timeoutSeconds() const
    {
        return isSet(u"timeout"_s) ? wholeNumber(value(u"timeout"_s), 0, MaxTimeoutSeconds) : std::nullopt;
    }

private:
    static bool hasOption(const QString& name)
    {
        const auto& table = optionTable();
        return std::any_of(table.begin(), table.end(), [&](const CommandOption& o) { return o.name == name; });
    }

    const QCommandLineParser& m_parser;
    const SettingsStore& m_settings;
};

/** What every action works with once the options are read: the connection string and the shared pieces. */
struct ActionContext
{
    const Options& options;
    CommandEnvironment& env;
    StreamDialogs& dialogs;
    ConnectionSettings settings;
    QString connectionString;
};

/** The end of an action that a signal stopped: said on standard error, 128 and the signal's number. */
int interruptedStatus(CommandEnvironment& env)
{
    env.err << u"Stopped by signal "_s << env.stop->signalNumber() << u"."_s << Qt::endl;
    return env.stop->exitStatus();
}

/** What the backup is made of: the connection in use, the folder and the options, the command's over the stored ones.
 */
FixedDumpSource commandDumpSource(const ActionContext& action)
{
    const Options& options = action.options;
    // How many backups stay: --keep is checked with the other options; a stored value that is not right is said
    // and keeps all.
    int keepBackups = 0;
    if (options.isSet(u"keep"_s)) {
        keepBackups = ConvertKeepBackups(options.value(u"keep"_s));
    } else {
        try {
            keepBackups = ConvertKeepBackups(Settings::KeepBackups.read(options.settings()));
        } catch (const Failure& error) {
            action.env.err << error.description() << u" Every backup is kept."_s << Qt::endl;
        }
    }

    FixedDumpSource source(action.settings.Server, action.settings.Database,
                           options.valueOr(u"folder"_s, Settings::Path, defaultBackupFolder()));
    source.chosen.keep = keepBackups;
    source.chosen.compress = options.onOff(u"compress"_s, Settings::Compress);
    source.chosen.complete = options.onOff(u"complete-schema"_s, Settings::CompleteSchema);
    source.chosen.copyTo = options.isSet(u"no-copy"_s) ? QString() : options.valueOr(u"copy-to"_s, Settings::CopyTo);
    source.chosen.copyTo = source.chosen.copyTo.trimmed();
    source.chosen.verify = options.onOff(u"verify"_s, Settings::VerifyBackups);

    return source;
}

/**
 * The copy to another place, checked before the backup: refused when the destination is not usable, or is an rclone
 * remote and rclone is missing. --timeout bounds a destination that stops answering as well. The exit status of a
 * refusal, else none.
 */
std::optional<int>
prepareCopy(OffsiteCopy& offsite, const QString& copyTo, const Options& options, CommandEnvironment& env)
{
    if (copyTo.isEmpty())
        return std::nullopt;
    if (const QString problem = offsite.problemFor(copyTo); !problem.isEmpty()) {
        env.err << problem << Qt::endl << u"No backup was made (--no-copy makes one without the copy)."_s << Qt::endl;
        return ExitUsage;
    }
    if (const std::optional<int> timeout = options.timeoutSeconds()) {
        OffsiteCopy::Limits limits = offsite.limits();
        limits.idleSeconds = *timeout;
        limits.connectSeconds = limits.idleSeconds > 0 ? std::min(limits.idleSeconds, 60) : 0;
        offsite.setLimits(limits);
    }
    return std::nullopt;
}

int backupAction(ActionContext& action)
{
    const Options& options = action.options;
    CommandEnvironment& env = action.env;

    FixedDumpSource source = commandDumpSource(action);
    const BackupLog log(env.logPath);
    QProcessRunner realRunner({}, env.stop);
    QString lastStage;
    AfterSaveContext afterSaveContext{env.factory,
                                      action.dialogs,
                                      env.clock,
                                      env.processes ? *env.processes : realRunner,
                                      log,
                                      [settings = action.settings] { return settings; },
                                      {},
                                      [&env, &lastStage](const QString& text) {
                                          // One line per stage: the percentages of a stage would fill a cron mail.
                                          const QString stage = text.section(u", "_s, 0, 0);
                                          if (stage != lastStage)
                                              env.err << text << Qt::endl;
                                          lastStage = stage;
                                      }};
    afterSaveContext.stop = env.stop;
    AfterSaveSteps afterSave(afterSaveContext);
    if (const std::optional<int> refused = prepareCopy(afterSave.copy(), source.chosen.copyTo, options, env))
        return *refused;
    BackupContext context{env.factory, action.dialogs, env.clock, source, {}, log, {}, afterSave.steps()};
    context.progress = [&env](const DumpProgress& p) {
        env.err << u"Tables "_s << p.tablesDone << u" of "_s << p.tablesTotal << u", "_s << p.rowsWritten
                << u" rows written, "_s << QString::number(double(p.elapsedMs) / 1000.0, 'f', 1) << u" s"_s << Qt::endl;
    };
    IntervalSave engine(context);
    engine.setStopRequest(env.stop);

    PlainStatusFrame status;
    const bool saved = engine.SaveAll(action.connectionString, status);
    env.err << status.caption() << Qt::endl;
    if (engine.wasInterrupted())
        return interruptedStatus(env);
    if (!saved)
        return ExitFailure;
    env.out << BackupLog::shownPath(engine.lastOutputPath()) << Qt::endl;
    // A step after the save that failed (a drill, a copy) leaves the backup in place but says so in the status.
    int exitStatus = ExitSuccess;
    for (const AfterSaveOutcome& outcome : engine.lastAfterSave()) {
        if (outcome.result == AfterSaveOutcome::Result::Failed && exitStatus == ExitSuccess)
            exitStatus = outcome.exitStatus;
    }
    if (exitStatus == OffsiteCopy::FailedExitStatus)
        env.err << u"The backup is saved in "_s << BackupLog::shownPath(engine.lastOutputPath())
                << u", but its copy failed."_s << Qt::endl;
    return exitStatus;
}

int restoreAction(ActionContext& action)
{
    CommandEnvironment& env = action.env;
    const QString path = action.options.value(u"restore"_s);
    if (BackupFile::isWorkingFile(path)) {
        env.err << WorkingFileRefusal(path) << Qt::endl;
        return ExitFailure;
    }
    if (!RestoreFileExists(path)) {
        action.dialogs.message(RestoreFileNotFoundMessage);
        return ExitFailure;
    }
    RestoreOptions restoreOptions;
    restoreOptions.clock = &env.clock;
    restoreOptions.stop = env.stop;
    // The backup log, for the line of a restore that a signal stopped.
    restoreOptions.writeLog = BackupLog(env.logPath).writer();
    if (action.options.isSet(u"jobs"_s))
        restoreOptions.jobs = *wholeNumber(action.options.value(u"jobs"_s), 1, MaxRestoreJobs);
    qint64 lastShownMs = -1;
    RestoreProgress last;
    const auto show = [&env](const RestoreProgress& p) {
        env.err << u"Restored "_s << p.rowsDone;
        if (p.rowsTotal >= 0)
            env.err << u" of "_s << p.rowsTotal;
        env.err << u" rows, "_s << p.bytesDone << u" of "_s << p.bytesTotal << u" bytes"_s;
        // Over several connections: the table each one is restoring.
        for (qsizetype i = 0; i < p.tables.size(); ++i) {
            if (!p.tables[i].isEmpty())
                env.err << u", connection "_s << i + 1 << u": "_s << p.tables[i];
        }
        env.err << u", "_s << QString::number(double(p.elapsedMs) / 1000.0, 'f', 1) << u" s"_s << Qt::endl;
    };
    restoreOptions.progress = [&](const RestoreProgress& p) {
        // A line a second at most: a large script has thousands of batches. The last one follows the end.
        last = p;
        if (lastShownMs >= 0 && p.elapsedMs - lastShownMs < 1000)
            return;
        lastShownMs = p.elapsedMs;
        show(p);
    };
    try {
        if (action.options.isSet(u"restore-as"_s))
            ExecuteScriptAs(env.factory, action.dialogs, action.settings, path, action.options.value(u"restore-as"_s),
                            action.options.isSet(u"replace"_s), restoreOptions);
        else
            ExecuteScript(env.factory, action.dialogs, action.settings, path, restoreOptions);
        show(last);
    } catch (const Interrupted&) {
        show(last);
        return interruptedStatus(env);
    } catch (const RestoreAsRefusal& refusal) {
        env.err << refusal.description() << Qt::endl;
        if (dynamic_cast<const RestoreTargetExists*>(&refusal))
            env.err << u"Give --replace to replace it."_s << Qt::endl;
        return ExitFailure;
    } catch (const ScriptBatchError& batch) {
        // What the server said, where, and how far the script got: nobody can look at the server's log from cron.
        for (const QString& line : FailedBatchReport(batch, path))
            env.err << line << Qt::endl;
        return ExitFailure;
    } catch (const Failure& error) {
        if (!IsContextChangeToMaster(error)) {
            // Unlike the window, say what the driver said before the design's text.
            env.err << error.description() << Qt::endl;
            action.dialogs.message(QString::fromLatin1(CouldNotConnectMessage));
            return ExitFailure;
        }
    }
    action.dialogs.message(RestoreDoneMessage);
    return action.dialogs.reports() == 0 ? ExitSuccess : ExitFailure;
}

/** Each option's own check, then the options that only make sense together; says what is refused. */
bool usageAccepted(const QCommandLineParser& parser, CommandEnvironment& env)
{
    for (const CommandOption& entry : optionTable()) {
        if (!entry.check || !parser.isSet(entry.name))
            continue;
        if (const QString refusal = entry.check(parser.value(entry.name)); !refusal.isEmpty()) {
            env.err << refusal << Qt::endl << u"Try --help."_s << Qt::endl;
            return false;
        }
    }

    // Options that only make sense together, checked before anything connects.
    const auto refuse = [&env](const QString& why) {
        env.err << why << Qt::endl << u"Try --help."_s << Qt::endl;
        return false;
    };
    for (const QString& needsRestore : {u"restore-as"_s, u"replace"_s, u"jobs"_s}) {
        if (parser.isSet(needsRestore) && !parser.isSet(u"restore"_s))
            return refuse(u"--"_s + needsRestore + u" goes with --restore."_s);
    }
    if (parser.isSet(u"verify"_s) && parser.isSet(u"no-verify"_s))
        return refuse(u"--verify and --no-verify contradict each other."_s);
    if (parser.isSet(u"replace"_s) && !parser.isSet(u"restore-as"_s))
        return refuse(u"--replace goes with --restore-as (a plain restore always replaces the database)."_s);
    return true;
}

/**
 * The connection of the command: the stored values under the options given, the password from TESSALINE_PASSWORD,
 * the settings file or the keyring. The exit status when it cannot be had (said on standard error), else none.
 */
std::optional<int> commandConnection(const Options& options, CommandEnvironment& env, ConnectionSettings& settings)
{
    settings.Server = options.valueOr(u"server"_s, Settings::Server);
    settings.UserName = options.valueOr(u"user"_s, Settings::User);
    settings.Database = options.valueOr(u"database"_s, Settings::Database);
    settings.Port = options.valueOr(u"port"_s, Settings::Port);
    settings.LocalConnection = options.isSet(u"local"_s) || Settings::LocalConnection.read(env.settings) != u"0"_s;
    const std::optional<QString> password = env.passwordFromEnvironment ? env.passwordFromEnvironment() : std::nullopt;
    const bool passwordInKeyring = Settings::PasswordInKeyring.read(env.settings);
    if (!password && !passwordInKeyring)
        settings.Password = env.settings.get(SettingKeys::MSPassword);

    if (settings.Server.isEmpty()) {
        env.err << u"No server is set: run Tessaline once to set up the connection, or give --server."_s << Qt::endl;
        return ExitUsage;
    }
    // TESSALINE_PASSWORD wins over the keyring, as over the settings file.
    if (password) {
        settings.Password = *password;
    } else if (passwordInKeyring) {
        const std::optional<QString> kept = passwordFromKeyring(env, settings);
        if (!kept)
            return ExitFailure;
        settings.Password = *kept;
    }
    return std::nullopt;
}

} // namespace

int runBackupCommand(const QStringList& arguments, CommandEnvironment& env)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        u"Makes one backup of the SQL Server database that Tessaline is set up for, as a plain-text SQL script in "
        u"a new time-stamped file, or restores such a script. Connection values and the backup folder come from "
        u"Tessaline's stored settings unless given here. The password comes only from the environment variable "
        u"TESSALINE_PASSWORD when it is set, else from the stored settings or, when Tessaline keeps it there, from "
        u"the desktop keyring; never from the command line.\n\n"
        u"Exit status: 0 success, 1 a step failed (the backup log says so too), 2 bad usage, 3 the backup was saved "
        u"but its copy (--copy-to) failed, 128 + N stopped by signal N (SIGTERM, SIGINT or SIGHUP: the backup's "
        u"working "
        u"file is removed, the log says \"interrupted\" and no old backup is removed; a restore stops after rolling "
        u"back its open batches; a second signal ends at once)."_s);
    const QCommandLineOption helpOption({u"h"_s, u"help"_s}, u"Show this help and exit."_s);
    const QCommandLineOption versionOption(u"version"_s, u"Show the version and exit."_s);
    parser.addOption(helpOption);
    for (const CommandOption& entry : optionTable())
        parser.addOption(QCommandLineOption(entry.name, entry.help, entry.valueName));
    parser.addOption(versionOption);

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
    if (!usageAccepted(parser, env))
        return ExitUsage;

    const Options options(parser, env.settings);
    if (const std::optional<int> timeout = options.timeoutSeconds())
        env.factory.setStatementTimeout(*timeout);

    ConnectionSettings settings;
    if (const std::optional<int> refused = commandConnection(options, env, settings))
        return *refused;

    QString connectionString;
    try {
        connectionString = BuildConnectionString(settings);
    } catch (const ConnectionStringError& error) {
        env.err << error.description() << Qt::endl;
        return ExitUsage;
    }

    StreamDialogs dialogs(env.err);
    ActionContext action{options, env, dialogs, settings, connectionString};
    return options.isSet(u"restore"_s) ? restoreAction(action) : backupAction(action);
}
