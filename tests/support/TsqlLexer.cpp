#include "TsqlLexer.h"

#include <stdexcept>

using namespace Qt::Literals::StringLiterals;

namespace TsqlLexer {

QString Token::value() const
{
    switch (kind) {
    case Kind::Literal: {
        const qsizetype start = text.startsWith(u'N') || text.startsWith(u'n') ? 2 : 1;
        return text.mid(start, text.size() - start - 1).replace(u"''"_s, u"'"_s);
    }
    case Kind::Identifier:
        return text.mid(1, text.size() - 2).replace(u"]]"_s, u"]"_s);
    default:
        return text;
    }
}

namespace {

/** The end (one past) of the quoted run that starts at `open`, with `close` doubled inside. */
qsizetype endOfQuoted(const QString& s, qsizetype open, QChar close)
{
    for (qsizetype i = open + 1; i < s.size(); ++i) {
        if (s[i] != close)
            continue;
        if (i + 1 < s.size() && s[i + 1] == close) {
            ++i;
            continue;
        }
        return i + 1;
    }
    throw std::runtime_error("unterminated literal or identifier");
}

qsizetype endOfBlockComment(const QString& s, qsizetype open)
{
    int depth = 0;
    for (qsizetype i = open; i + 1 < s.size(); ++i) {
        if (s[i] == u'/' && s[i + 1] == u'*') {
            ++depth;
            ++i;
        } else if (s[i] == u'*' && s[i + 1] == u'/') {
            ++i;
            if (--depth == 0)
                return i + 1;
        }
    }
    throw std::runtime_error("unterminated block comment");
}

} // namespace

QList<Token> tokenize(const QString& s)
{
    QList<Token> tokens;
    QString code;
    const auto add = [&](Token::Kind kind, qsizetype from, qsizetype to) {
        if (!code.isEmpty())
            tokens.append({Token::Kind::Code, code});
        code.clear();
        tokens.append({kind, s.mid(from, to - from)});
    };
    qsizetype i = 0;
    while (i < s.size()) {
        const QChar c = s[i];
        const QChar next = i + 1 < s.size() ? s[i + 1] : QChar();
        // An N directly before a quote belongs to the literal unless it ends a word (nvarchar'x' is no literal).
        const bool nPrefix = (c == u'N' || c == u'n') && next == u'\''
            && (i == 0 || !(s[i - 1].isLetterOrNumber() || s[i - 1] == u'_' || s[i - 1] == u'@' || s[i - 1] == u'#'));
        if (c == u'\'' || nPrefix) {
            const qsizetype quote = nPrefix ? i + 1 : i;
            const qsizetype end = endOfQuoted(s, quote, u'\'');
            add(Token::Kind::Literal, i, end);
            i = end;
        } else if (c == u'[') {
            const qsizetype end = endOfQuoted(s, i, u']');
            add(Token::Kind::Identifier, i, end);
            i = end;
        } else if (c == u'-' && next == u'-') {
            qsizetype end = i;
            while (end < s.size() && s[end] != u'\r' && s[end] != u'\n')
                ++end;
            add(Token::Kind::LineComment, i, end);
            i = end;
        } else if (c == u'/' && next == u'*') {
            const qsizetype end = endOfBlockComment(s, i);
            add(Token::Kind::BlockComment, i, end);
            i = end;
        } else {
            code += c;
            ++i;
        }
    }
    if (!code.isEmpty())
        tokens.append({Token::Kind::Code, code});
    return tokens;
}

QString codeSkeleton(const QList<Token>& tokens)
{
    QString skeleton;
    for (const Token& token : tokens) {
        switch (token.kind) {
        case Token::Kind::Code:
            skeleton += token.text;
            break;
        case Token::Kind::Literal:
            skeleton += u'L';
            break;
        case Token::Kind::Identifier:
            skeleton += u'I';
            break;
        case Token::Kind::LineComment:
        case Token::Kind::BlockComment:
            skeleton += u'C';
            break;
        }
    }
    return skeleton;
}

const char* kindName(Token::Kind kind)
{
    switch (kind) {
    case Token::Kind::Code:
        return "code";
    case Token::Kind::Literal:
        return "literal";
    case Token::Kind::Identifier:
        return "identifier";
    case Token::Kind::LineComment:
        return "line comment";
    case Token::Kind::BlockComment:
        return "block comment";
    }
    return "?";
}

} // namespace TsqlLexer
