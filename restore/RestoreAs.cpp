#include "RestoreAs.h"

#include "DataAccess.h"
#include "ExecuteScript.h"
#include "MasterConnection.h"
#include "ScriptText.h"

using namespace Qt::Literals::StringLiterals;

namespace {

/** The index of the apostrophe that closes a literal whose text begins at `from` ("''" stands for one); -1: none. */
qsizetype literalEnd(QStringView text, qsizetype from)
{
    for (qsizetype i = from; i < text.size(); ++i) {
        if (text[i] != u'\'')
            continue;
        if (i + 1 < text.size() && text[i + 1] == u'\'') {
            ++i;
            continue;
        }
        return i;
    }
    return -1;
}

/** A file line of CREATE DATABASE (`kind` "_Data" with "_Data.MDF", or "_Log" with "_Log.LDF") under another name. */
bool renameFileLine(QStringView rest,
                    const QString& source,
                    const QString& target,
                    const QString& kind,
                    const QString& extension,
                    QString& replacement,
                    qsizetype& length)
{
    using ScriptText::quoted;
    const QString prefix = u"( NAME = N'"_s + quoted(source) + kind + u"', FILENAME = N'"_s;
    if (!rest.startsWith(prefix))
        return false;
    const qsizetype end = literalEnd(rest, prefix.size());
    if (end < 0)
        return false;
    // The physical name is the server's folder followed by the name: only the name part changes.
    const QStringView path = rest.mid(prefix.size(), end - prefix.size());
    const QString fileName = quoted(source) + kind + extension;
    if (!path.endsWith(fileName))
        return false;
    replacement = u"( NAME = N'"_s + quoted(target) + kind + u"', FILENAME = N'"_s
        + path.left(path.size() - fileName.size()) + quoted(target) + kind + extension + u'\'';
    length = end + 1;
    return true;
}

bool isSystemDatabase(const QString& name)
{
    for (const char16_t* system : {u"master", u"model", u"msdb", u"tempdb"}) {
        if (name.compare(QStringView(system), Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

} // namespace

DatabaseRenamer::DatabaseRenamer(QString target)
    : m_target(std::move(target))
{ }

void DatabaseRenamer::rewrite(ScriptBatch& batch)
{
    batch.text = rewrite(batch.text, batch.firstLine);
}

QString DatabaseRenamer::rewrite(QStringView text, qint64 firstLine)
{
    QString out;
    out.reserve(text.size() + 64);
    qint64 line = firstLine;
    qsizetype at = 0;
    while (at < text.size()) {
        // Only a line that begins in code can begin a statement; a line inside a literal or a comment goes on as is.
        if (m_lexer.inCode()) {
            QString replacement;
            qsizetype length = 0;
            if (rewriteStatement(text.mid(at), line, replacement, length)) {
                const QStringView matched = text.mid(at, length);
                m_lexer.scan(matched);
                line += matched.count(u'\n');
                out += replacement;
                at += length;
            }
        }
        const qsizetype newline = text.indexOf(u'\n', at);
        const qsizetype end = newline < 0 ? text.size() : newline + 1;
        const QStringView rest = text.mid(at, end - at);
        m_lexer.scan(rest);
        out += rest;
        at = end;
        ++line;
    }
    return out;
}

bool DatabaseRenamer::rewriteStatement(QStringView rest, qint64 line, QString& replacement, qsizetype& length)
{
    using namespace ScriptText;
    if (isServerLine(rest)) {
        // A script begins (the second of two in one file, too): its database block follows.
        m_place = Place::Block;
        m_source.clear();
        return false;
    }
    const qsizetype newline = rest.indexOf(u'\n');
    const QStringView firstLine = newline < 0 ? rest : rest.left(newline + 1);
    if (m_place == Place::After || ScriptLexer::classify(firstLine) == ScriptLexer::LineKind::Blank)
        return false;
    if (m_place == Place::BeforeHeader)
        refuse(line, u"it does not begin with the header of a backup this program wrote"_s);

    if (isUseMasterLine(firstLine))
        return false;
    // The existence test names the database first: its literal gives the name exactly, whatever it holds.
    if (const std::optional<QString> source = readDatabaseExistsLine(rest, length)) {
        if (length == 0)
            refuse(line, u"its database existence test is not complete"_s);
        m_source = *source;
        replacement = databaseExistsLine(m_target);
        return true;
    }
    if (m_source.isEmpty())
        refuse(line, u"its database block does not begin with the database existence test"_s);

    const auto exact = [&](const QString& from, const QString& to) {
        if (!rest.startsWith(from))
            return false;
        replacement = to;
        length = from.size();
        return true;
    };
    if (exact(dropDatabaseLine(m_source), dropDatabaseLine(m_target)))
        return true;
    if (exact(useDatabaseLine(m_source), useDatabaseLine(m_target))) {
        m_place = Place::After; // the table blocks and what follows run unchanged
        return true;
    }
    if (renameFileLine(rest, m_source, m_target, u"_Data"_s, u".MDF"_s, replacement, length)
        || renameFileLine(rest, m_source, m_target, u"_Log"_s, u".LDF"_s, replacement, length))
        return true;
    // CREATE DATABASE, LOG ON, COLLATE, the compatibility line and the ALTER DATABASE lines, as the writer makes
    // them for either name (the file lines are handled above).
    const QStringList from = createDatabaseBlock(m_source, QString(), QString());
    const QStringList to = createDatabaseBlock(m_target, QString(), QString());
    for (qsizetype i = 0; i < from.size(); ++i) {
        if (!from[i].isEmpty() && exact(from[i], to[i]))
            return true;
    }
    refuse(line, u"its database block holds a statement this program does not write there"_s);
}

void DatabaseRenamer::refuse(qint64 line, const QString& why) const
{
    throw RestoreAsRefusal(u"The script cannot be restored under another name: "_s + why + u" (line "_s
                               + QString::number(line) + u")."_s,
                           5);
}

RestoreTargetExists::RestoreTargetExists(const QString& database)
    : RestoreAsRefusal(u"The database "_s + database + u" already exists: nothing was restored."_s, 5)
    , m_database(database)
{ }

QString ReplaceTargetQuestion(const QString& database)
{
    return u"The database "_s + database + u" already exists. Replace it with the backup?"_s;
}

bool DatabaseExists(ConnectionFactory& factory, const ConnectionSettings& settings, const QString& database)
{
    MasterConnection master(factory, settings);
    const bool exists = master.databaseExists(database);
    master.close();
    return exists;
}

void ExecuteScriptAs(ConnectionFactory& factory,
                     Dialogs& dialogs,
                     const ConnectionSettings& settings,
                     const QString& path,
                     const QString& target,
                     bool replace,
                     RestoreOptions options)
{
    if (target.trimmed().isEmpty())
        throw RestoreAsRefusal(u"No database name to restore into."_s, 5);
    if (isSystemDatabase(target))
        throw RestoreAsRefusal(
            u"The database "_s + target + u" belongs to the server: a backup is not restored into it."_s, 5);
    // The target's name must reach the server whole in the connection string of a later backup of it.
    BuildConnectionString(settings.withDatabase(target));
    if (!replace && DatabaseExists(factory, settings, target))
        throw RestoreTargetExists(target);
    auto renamer = std::make_shared<DatabaseRenamer>(target);
    // The renamer reads the script from its start on the first connection; connections that load whole tables
    // begin in the target instead, and their table blocks need no renaming.
    options.tablesUse = ScriptText::useDatabaseLine(target);
    options.transform = [renamer](const ScriptBatch& batch) {
        ScriptBatch renamed = batch;
        renamer->rewrite(renamed);
        return renamed.text;
    };
    // The restore runs from master: no session of its own sits in the database it drops and creates.
    ExecuteScript(factory, dialogs, settings.withDatabase(u"master"_s), path, options);
}
