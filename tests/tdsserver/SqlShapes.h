#pragma once

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVariant>

namespace tds::sql {

struct Token
{
    enum class Kind {
        Word, ///< bare identifier or keyword
        Quoted, ///< [bracketed] or "double-quoted" identifier, text without the quotes
        String, ///< '...' or N'...', text with '' undone
        Number,
        Variable, ///< @name or @@name, text with the @ signs
        Symbol, ///< one character: , . * ( ) = ; - +
        End,
    };
    Kind kind = Kind::End;
    QString text;
    qsizetype position = 0;
    bool national = false; ///< N'...'

    bool isWord(const char* keyword) const;
    bool isSymbol(char symbol) const;
};

/** Splits T-SQL into tokens; comments and white space are dropped. False (and `errorNear`) on an unclosed quote. */
bool tokenize(const QString& text, QList<Token>& tokens, QString& errorNear);

struct SelectItem
{
    enum class Kind { Star, Column, Constant, Function, Variable };
    Kind kind = Kind::Column;
    QString name; ///< column name (last part), function name or @@variable
    QVariant constant; ///< for Constant: qint64, double or QString
    bool national = false;
    QList<QVariant> arguments; ///< for Function
    QString alias;
};

struct Condition
{
    QString column;
    QVariant value;
};

struct Statement
{
    enum class Kind { Select, Exec, Set, Use, Transaction };
    Kind kind = Kind::Select;
    // SELECT
    QList<SelectItem> items;
    QStringList object; ///< FROM name parts; empty without FROM
    QString objectText; ///< the FROM name as written
    QList<Condition> where;
    QStringList orderBy; ///< ORDER BY columns, ascending
    // EXEC
    QString procedure;
    QList<QPair<QString, QVariant>> parameters; ///< name (may be empty) and value (invalid for NULL)
    // SET: the words after SET, upper case
    QStringList setWords;
    // USE
    QString database;
    // BEGIN TRANSACTION, COMMIT, ROLLBACK: the first word, upper case
    QString transaction;
};

/**
 * Parses a batch made only of SELECT, EXEC, SET, USE and BEGIN TRANSACTION / COMMIT / ROLLBACK statements of the simple
 * shapes the server answers. Returns false with the token near which it stopped when the batch is anything else.
 */
bool parseBatch(const QString& text, QList<Statement>& statements, QString& errorNear);

} // namespace tds::sql
