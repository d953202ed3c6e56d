#include "RestoreDrill.h"

#include "DataAccess.h"
#include "Dialogs.h"
#include "Gzip.h"
#include "MasterConnection.h"
#include "Mssql.h"
#include "RestoreAs.h"
#include "Retention.h"
#include "ScriptBatcher.h"
#include "ScriptText.h"
#include "StopRequest.h"
#include "Views.h"

#include <QCryptographicHash>
#include <QFile>
#include <QIODevice>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <deque>

using namespace Qt::Literals::StringLiterals;

namespace {

/** Nothing of the drill's own backup reaches the user's screen: its reports are collected and said in the outcome. */
class CollectingDialogs : public Dialogs
{
public:
    void message(const QString& text) override { said << text; }
    bool question(const QString& text) override
    {
        said << text;
        return false;
    }
    void errorReport(const QString& text) override { said << text.section(u'\r', 0, 0); }
    QString openFileName(const QString&, const QString&) override { return {}; }
    QString browseForFolder(const QString&, const QString&) override { return {}; }
    QStringList said;
};

QString withoutLineEnd(QString line)
{
    while (line.endsWith(u'\n') || line.endsWith(u'\r'))
        line.chop(1);
    return line;
}

/** A line as the outcome quotes it: short enough for a log line. */
QString quotedLine(const QString& line)
{
    constexpr qsizetype Most = 160;
    return u'"' + (line.size() > Most ? line.left(Most) + u"..."_s : line) + u'"';
}

/** The next line with its line end; false at the end (a compressed stream cannot tell its end before a read). */
bool nextLine(QIODevice& device, QString& line)
{
    const QByteArray bytes = device.readLine();
    line = QString::fromUtf8(bytes);
    return !bytes.isEmpty();
}

/** Reads lines up to and including the one that ends the database block (the `USE` of the database); its number. */
qint64 skipDatabaseBlock(QIODevice& device)
{
    ScriptLexer lexer;
    qint64 line = 0;
    int uses = 0;
    QString text;
    while (nextLine(device, text)) {
        ++line;
        const bool startsInCode = lexer.inCode();
        if (startsInCode && ScriptLexer::classify(text) == ScriptLexer::LineKind::Use)
            ++uses;
        lexer.scan(text);
        // "USE [master]" comes first, "USE [D]" second; a name with line breaks ends where the lexer is back in code.
        if (uses >= 2 && lexer.inCode())
            break;
    }
    return line;
}

/**
 * Copies the script from `start` on into a plain file of its own, so that the drill restores and compares it alone.
 * Throws Failure when the backup cannot be read or the copy cannot be written.
 */
void copyScriptFrom(const QString& path, const ScriptStart& start, const QString& target)
{
    std::unique_ptr<QIODevice> source = openScriptFile(path);
    QFile out(target);
    if (!out.open(QIODevice::WriteOnly))
        throw Failure(u"%1: %2"_s.arg(target, out.errorString()));
    constexpr qint64 Chunk = 1 << 20;
    qint64 skipped = 0;
    while (skipped < start.byte) {
        const QByteArray bytes = source->read(std::min(Chunk, start.byte - skipped));
        if (bytes.isEmpty())
            throw Failure(u"%1 ends before its last script"_s.arg(path));
        skipped += bytes.size();
    }
    for (;;) {
        const QByteArray bytes = source->read(Chunk);
        if (bytes.isEmpty())
            break;
        if (out.write(bytes) != bytes.size())
            throw Failure(u"%1: %2"_s.arg(target, out.errorString()));
    }
    if (!out.flush())
        throw Failure(u"%1: %2"_s.arg(target, out.errorString()));
}

bool isPermissionRefusal(const Failure& error)
{
    return error.number() == 262 || error.description().contains(u"permission denied"_s, Qt::CaseInsensitive);
}

} // namespace

std::optional<ScriptDifference>
CompareRestoredCopy(QIODevice& backup, QIODevice& copy, const QString& database, const QString& scratch)
{
    qint64 line = skipDatabaseBlock(backup);
    skipDatabaseBlock(copy);
    for (;;) {
        ++line;
        QString a;
        QString b;
        const bool backupEnds = !nextLine(backup, a);
        const bool copyEnds = !nextLine(copy, b);
        if (backupEnds && copyEnds)
            return std::nullopt;
        if (!scratch.isEmpty())
            b.replace(scratch, database, Qt::CaseInsensitive);
        if (a != b || backupEnds != copyEnds)
            return ScriptDifference{line, withoutLineEnd(a), withoutLineEnd(b)};
    }
}

ScriptStart LastScriptStart(QIODevice& script)
{
    // A header is three comment lines: each ends in code, so the lexer's state before a line says whether it can
    // begin a script. A header's text inside a literal or a block comment is data, not a script.
    ScriptLexer lexer;
    ScriptStart last;
    ScriptStart at;
    std::deque<std::pair<QString, ScriptStart>> inCode; // the last lines that began in code, at most three
    for (;;) {
        const QByteArray bytes = script.readLine();
        if (bytes.isEmpty())
            break;
        const QString text = QString::fromUtf8(bytes);
        const ScriptStart here = at;
        ++at.line;
        at.byte += bytes.size();
        if (!lexer.inCode()) {
            inCode.clear();
            lexer.scan(text);
            continue;
        }
        lexer.scan(text);
        inCode.emplace_back(text, here);
        if (inCode.size() > 3)
            inCode.pop_front();
        if (inCode.size() == 3 && ScriptText::isHeader(inCode[0].first, inCode[1].first, inCode[2].first))
            last = inCode[0].second;
    }
    return last;
}

RestoreDrill::RestoreDrill(DrillContext context)
    : m_context(std::move(context))
{ }

QString RestoreDrill::scratchStem(const QString& database)
{
    // A database name holds at most 128 characters: a long name is cut to leave room for "_verify_" and the random
    // part, and ends in "~" and a hash of the whole name, so that two long names that begin alike stay apart.
    static constexpr qsizetype Room = MaxDatabaseNameChars - 8 - 8;
    if (database.size() <= Room)
        return database + u"_verify_"_s;
    const QString hash
        = QString::fromLatin1(QCryptographicHash::hash(database.toUtf8(), QCryptographicHash::Sha256).toHex().left(12));
    qsizetype keep = Room - 1 - hash.size();
    if (database.at(keep - 1).isHighSurrogate())
        --keep; // a character is never cut in two
    return database.left(keep) + u'~' + hash + u"_verify_"_s;
}

QString RestoreDrill::scratchName(const QString& database)
{
    return scratchStem(database)
        + QString::number(QRandomGenerator::global()->generate(), 16).rightJustified(8, u'0').toLower();
}

AfterSaveOutcome RestoreDrill::operator()(const SavedBackup& backup)
{
    if (!backup.options.verify)
        return AfterSaveOutcome{};
    return drill(backup.path, backup.options);
}

AfterSaveOutcome RestoreDrill::drill(const QString& path, const BackupOptions& options)
{
    m_dropped.clear();
    AfterSaveOutcome notDone;
    notDone.result = AfterSaveOutcome::Result::NotDone;
    ConnectionSettings settings;
    try {
        settings = m_context.connection();
        dropLeftovers(settings);
    } catch (const Failure& error) {
        notDone.text = u"could not be verified: "_s + error.description();
        return notDone;
    }
    const QString scratch = scratchName(settings.Database);
    AfterSaveOutcome outcome = drill(path, options, settings, scratch);

    // The scratch database goes whatever happened; no session of the drill is left in it.
    try {
        MasterConnection master(m_context.factory, settings);
        master.dropDatabaseIfExists(scratch);
        master.close();
    } catch (const Failure& error) {
        outcome.text += u"; the scratch database "_s + scratch + u" could not be dropped: "_s + error.description();
    }
    if (outcome.result == AfterSaveOutcome::Result::Passed) {
        try {
            Retention::markVerified(path, m_context.clock.now());
        } catch (const Failure& error) {
            outcome.text += u"; the mark for retention could not be written: "_s + error.description();
        }
    }
    return outcome;
}

namespace {

AfterSaveOutcome failedOutcome(const QString& text)
{
    AfterSaveOutcome outcome;
    outcome.result = AfterSaveOutcome::Result::Failed;
    outcome.exitStatus = 1;
    outcome.text = u"not verified: "_s + text;
    return outcome;
}

AfterSaveOutcome notDoneOutcome(const QString& text)
{
    AfterSaveOutcome outcome;
    outcome.result = AfterSaveOutcome::Result::NotDone;
    outcome.text = u"could not be verified: "_s + text;
    return outcome;
}

} // namespace

AfterSaveOutcome RestoreDrill::restoreFailure(const ScriptBatchError& refused, qint64 firstLineOfScript)
{
    if (isPermissionRefusal(refused))
        return notDoneOutcome(u"the login may not create a database ("_s + refused.description() + u')');
    const qint64 line = refused.firstLine() + firstLineOfScript - 1;
    if (refused.isConnectionFault()) {
        // The server refused nothing: the link to it failed, which the restore's own report words the same way.
        return notDoneOutcome(
            u"the connection failed while the batch at line %1 of the backup ran: %2. %3"_s.arg(line).arg(
                refused.description(), QString::fromLatin1(CouldNotConnectMessage)));
    }
    return failedOutcome(
        u"the server refused the batch at line %1 of the backup: %2"_s.arg(line).arg(refused.description()));
}

std::optional<AfterSaveOutcome> RestoreDrill::restoreCopy(const QString& script,
                                                          const ScriptStart& start,
                                                          const ConnectionSettings& settings,
                                                          const QString& scratch)
{
    CollectingDialogs dialogs;
    RestoreOptions restoreOptions;
    restoreOptions.clock = &m_context.clock;
    restoreOptions.letEventsRun = m_context.letEventsRun;
    restoreOptions.stop = m_context.stop;
    restoreOptions.progress = [this](const RestoreProgress& p) {
        say(u"Verifying the backup: restoring, %1%"_s.arg(p.bytesTotal > 0 ? p.bytesDone * 100 / p.bytesTotal : 0));
    };
    say(u"Verifying the backup: restoring"_s);
    try {
        ExecuteScriptAs(m_context.factory, dialogs, settings, script, scratch, false, restoreOptions);
    } catch (const Interrupted&) {
        return failedOutcome(InterruptedText);
    } catch (const ScriptBatchError& refused) {
        return restoreFailure(refused, start.line);
    } catch (const Failure& error) {
        if (isPermissionRefusal(error))
            return notDoneOutcome(u"the login may not create a database ("_s + error.description() + u')');
        if (!dialogs.said.isEmpty())
            return failedOutcome(u"the backup could not be read: "_s + dialogs.said.join(u"; "_s));
        return notDoneOutcome(error.description());
    }
    if (!dialogs.said.isEmpty())
        return failedOutcome(u"the backup could not be read: "_s + dialogs.said.join(u"; "_s));
    return std::nullopt;
}

std::optional<AfterSaveOutcome> RestoreDrill::backUpCopy(const BackupOptions& options,
                                                         const ConnectionSettings& settings,
                                                         const QString& scratch,
                                                         const QTemporaryDir& temporary,
                                                         QString& copyPath)
{
    // A session stays in the scratch database until it is dropped: the mark of a drill that is still running.
    std::unique_ptr<Connection> holder;
    try {
        holder = m_context.factory.createConnection();
        holder->Open(BuildConnectionString(settings.withDatabase(scratch)));
    } catch (const Failure&) {
        holder.reset(); // the backup below says what is wrong with the database
    }

    CollectingDialogs dialogs;
    FixedDumpSource source(settings.Server, scratch, temporary.path());
    source.chosen.compress = options.compress;
    source.chosen.complete = options.complete;
    BackupContext context{m_context.factory,
                          dialogs,
                          m_context.clock,
                          source,
                          m_context.letEventsRun,
                          temporary.filePath(u"drill.log"_s),
                          {},
                          {}};
    context.progress = [this](const DumpProgress& p) {
        say(u"Verifying the backup: backing up the restored copy, table %1 of %2"_s.arg(p.tablesDone)
                .arg(p.tablesTotal));
    };
    IntervalSave engine(context);
    engine.setStopRequest(m_context.stop);
    PlainStatusFrame status;
    say(u"Verifying the backup: backing up the restored copy"_s);
    const bool saved = engine.SaveAll(BuildConnectionString(settings.withDatabase(scratch)), status);
    if (holder) {
        try {
            holder->Close();
        } catch (const Failure&) {
            // Released below all the same.
        }
        holder.reset();
    }
    if (engine.wasInterrupted())
        return failedOutcome(InterruptedText);
    if (!saved)
        return failedOutcome(u"the restored copy could not be backed up: "_s + dialogs.said.value(0));
    copyPath = engine.lastOutputPath();
    return std::nullopt;
}

void RestoreDrill::say(const QString& text) const
{
    if (m_context.progress)
        m_context.progress(text);
}

AfterSaveOutcome RestoreDrill::drill(const QString& path,
                                     const BackupOptions& options,
                                     const ConnectionSettings& settings,
                                     const QString& scratch)
{
    QTemporaryDir temporary;
    if (!temporary.isValid())
        return notDoneOutcome(u"no temporary folder: "_s + temporary.errorString());

    // A second backup in the same minute appends its script to the file: the drill proves the one this backup wrote.
    QString script = path;
    ScriptStart start;
    try {
        std::unique_ptr<QIODevice> file = openScriptFile(path);
        start = LastScriptStart(*file);
        if (start.byte > 0) {
            script = temporary.filePath(u"last.sql"_s);
            copyScriptFrom(path, start, script);
        }
    } catch (const Failure& error) {
        return failedOutcome(u"the backup could not be read: "_s + error.description());
    }

    // Stage 1: the backup into the scratch database.
    if (std::optional<AfterSaveOutcome> stopped = restoreCopy(script, start, settings, scratch))
        return *stopped;
    // Stage 2: the scratch database backed up the same way, outside the user's folder and log.
    QString copyPath;
    if (std::optional<AfterSaveOutcome> stopped = backUpCopy(options, settings, scratch, temporary, copyPath))
        return *stopped;

    // The comparison, from the first table block on.
    try {
        std::unique_ptr<QIODevice> original = openScriptFile(script);
        std::unique_ptr<QIODevice> copy = openScriptFile(copyPath);
        const std::optional<ScriptDifference> difference
            = CompareRestoredCopy(*original, *copy, settings.Database, scratch);
        if (difference)
            return failedOutcome(
                u"line %1 of the backup comes back as %2 instead of %3"_s.arg(difference->line + start.line - 1)
                    .arg(quotedLine(difference->copy), quotedLine(difference->backup)));
    } catch (const Failure& error) {
        return failedOutcome(u"the scripts could not be compared: "_s + error.description());
    }
    AfterSaveOutcome outcome;
    outcome.text = VerifiedText;
    return outcome;
}

void RestoreDrill::dropLeftovers(const ConnectionSettings& settings)
{
    MasterConnection master(m_context.factory, settings);
    QStringList leftovers;
    for (const MasterConnection::Database& database : master.databasesBeginningWith(scratchStem(settings.Database))) {
        if (database.ageSeconds >= m_context.leftoverAfterSeconds)
            leftovers << database.name;
    }
    for (const QString& name : std::as_const(leftovers)) {
        try {
            // A session in it: a drill still at work (the server would refuse the drop anyway).
            const std::unique_ptr<RecordSet> sessions = master.connection().Execute(
                u"SELECT COUNT(*) FROM sys.dm_exec_sessions WHERE database_id = DB_ID(N'"_s + ScriptText::quoted(name)
                + u"')"_s);
            const bool inUse = !sessions->Eof() && sessions->Fields(0).text.trimmed().toLongLong() > 0;
            sessions->Close();
            if (inUse)
                continue;
            master.connection().Execute(u"DROP DATABASE ["_s + ScriptText::bracketed(name) + u']')->Close();
            m_dropped << name;
        } catch (const Failure&) {
            // Not ours to judge further: left for a later drill.
        }
    }
    master.close();
}
