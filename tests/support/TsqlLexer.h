#pragma once

#include <QList>
#include <QString>

/**
 * A small T-SQL lexer for tests: splits a script into string literals ('...' with '' inside, N'...'), bracketed
 * identifiers ([...] with ]] inside), "--" line comments (up to the line end, CR or LF), block comments (nested, as
 * T-SQL nests them) and code (everything else). It answers one question: which characters of a script the server
 * would read as code.
 */
namespace TsqlLexer {

struct Token
{
    enum class Kind {
        Code,
        Literal, ///< text holds the whole literal, quotes and an N prefix included
        Identifier, ///< text holds the brackets too
        LineComment, ///< from "--" to the character before the line end
        BlockComment, ///< from the opening to the closing delimiter, inner comments included
    };
    Kind kind = Kind::Code;
    QString text;
    /** A literal or identifier without its delimiters and with its doubled quotes or brackets made single. */
    QString value() const;

    bool operator==(const Token&) const = default;
};

/** Every token of the script, in order; runs of code are one token. Throws std::runtime_error for a literal,
 *  identifier or block comment that does not end. */
QList<Token> tokenize(const QString& script);

/** The script with every literal, identifier and comment replaced by one character naming its kind ('L', 'I', 'C'):
 *  what is left is the code the server would run. */
QString codeSkeleton(const QList<Token>& tokens);

const char* kindName(Token::Kind kind);

} // namespace TsqlLexer
