#pragma once

#include "ConnectionSettings.h"
#include "Failure.h"
#include "RestoreOptions.h"
#include "ScriptBatcher.h"

#include <QString>

class ConnectionFactory;
class Dialogs;

/**
 * Restore-as: rewrites the database block of a backup this program wrote so that it names another database. Fed the
 * batches of a script in file order; it names the target in the existence test, DROP DATABASE, CREATE DATABASE with
 * the logical and physical file names, the compatibility line, every ALTER DATABASE line and `USE [...]`, written
 * with ScriptText's quoting. The table blocks and everything after the database block pass unchanged; a second script
 * in the same text gets the same treatment. A text that does not begin with this program's header, or whose database
 * block holds a statement this program does not write there, is refused (Failure) before that batch is sent.
 */
class DatabaseRenamer
{
public:
    explicit DatabaseRenamer(QString target);

    /** Rewrites one batch (the next one of the script). */
    void rewrite(ScriptBatch& batch);
    /** Rewrites the next piece of the script (whole lines) that begins at line `firstLine` of the file. */
    QString rewrite(QStringView text, qint64 firstLine);

    /** The database the script named, once its block has been read (empty before). */
    const QString& sourceDatabase() const { return m_source; }

private:
    /** At a line that begins in code: the replacement of a statement of the block and its length in `rest`. */
    bool rewriteStatement(QStringView rest, qint64 line, QString& replacement, qsizetype& length);
    [[noreturn]] void refuse(qint64 line, const QString& why) const;

    enum class Place { BeforeHeader, Block, After };
    QString m_target;
    Place m_place = Place::BeforeHeader;
    QString m_source;
    ScriptLexer m_lexer;
};

/** A restore-as that cannot be done as asked (its words say why); nothing of the refused step was sent. */
class RestoreAsRefusal : public Failure
{
public:
    using Failure::Failure;
};

/** The refusal of a restore-as onto a database that is there, without the leave to replace it. */
class RestoreTargetExists : public RestoreAsRefusal
{
public:
    explicit RestoreTargetExists(const QString& database);
    const QString& database() const { return m_database; }

private:
    QString m_database;
};

/** The question the window asks when the target of a restore-as exists. */
QString ReplaceTargetQuestion(const QString& database);

/** True when master.dbo.sysdatabases lists the database (as the server compares names). Throws Failure. */
bool DatabaseExists(ConnectionFactory& factory, const ConnectionSettings& settings, const QString& database);

/**
 * Sends the backup script at `path` into the database `target` instead of the one it names, through ExecuteScript
 * on the same connection to master, with the batches rewritten by DatabaseRenamer; the file is not changed. Refuses
 * an empty name and the server's own databases; when `target` exists and `replace` is false, throws
 * RestoreTargetExists before anything is sent. Everything else as ExecuteScript.
 */
void ExecuteScriptAs(ConnectionFactory& factory,
                     Dialogs& dialogs,
                     const ConnectionSettings& settings,
                     const QString& path,
                     const QString& target,
                     bool replace,
                     RestoreOptions options = {});
