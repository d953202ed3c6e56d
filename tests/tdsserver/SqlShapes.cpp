#include "SqlShapes.h"

using namespace Qt::Literals::StringLiterals;

namespace tds::sql {

bool Token::isWord(const char* keyword) const
{
    return kind == Kind::Word && text.compare(QLatin1StringView(keyword), Qt::CaseInsensitive) == 0;
}

bool Token::isSymbol(char symbol) const
{
    return kind == Kind::Symbol && text.size() == 1 && text.at(0) == QLatin1Char(symbol);
}

bool tokenize(const QString& text, QList<Token>& tokens, QString& errorNear)
{
    tokens.clear();
    const qsizetype n = text.size();
    qsizetype i = 0;
    auto isWordChar = [](QChar c) { return c.isLetterOrNumber() || c == u'_' || c == u'#' || c == u'$'; };
    while (i < n) {
        const QChar c = text.at(i);
        if (c.isSpace()) {
            ++i;
            continue;
        }
        if (c == u'-' && i + 1 < n && text.at(i + 1) == u'-') {
            while (i < n && text.at(i) != u'\n')
                ++i;
            continue;
        }
        if (c == u'/' && i + 1 < n && text.at(i + 1) == u'*') {
            const qsizetype end = text.indexOf(u"*/"_s, i + 2);
            i = end < 0 ? n : end + 2;
            continue;
        }
        Token token;
        token.position = i;
        const bool national = (c == u'N' || c == u'n') && i + 1 < n && text.at(i + 1) == u'\'';
        if (c == u'\'' || national) {
            token.kind = Token::Kind::String;
            token.national = national;
            qsizetype j = i + (national ? 2 : 1);
            QString value;
            for (;;) {
                if (j >= n) {
                    // Like SQL Server, name the word before an unclosed string (Baker's -> near 's').
                    errorNear = tokens.isEmpty() ? text.mid(i, 20) : tokens.last().text;
                    return false;
                }
                if (text.at(j) == u'\'') {
                    if (j + 1 < n && text.at(j + 1) == u'\'') {
                        value.append(u'\'');
                        j += 2;
                        continue;
                    }
                    ++j;
                    break;
                }
                value.append(text.at(j++));
            }
            token.text = value;
            i = j;
        } else if (c == u'[' || c == u'"') {
            const QChar close = c == u'[' ? u']' : u'"';
            token.kind = Token::Kind::Quoted;
            qsizetype j = i + 1;
            QString value;
            for (;;) {
                if (j >= n) {
                    errorNear = text.mid(i, 20);
                    return false;
                }
                if (text.at(j) == close) {
                    if (j + 1 < n && text.at(j + 1) == close) {
                        value.append(close);
                        j += 2;
                        continue;
                    }
                    ++j;
                    break;
                }
                value.append(text.at(j++));
            }
            token.text = value;
            i = j;
        } else if (c.isDigit()) {
            token.kind = Token::Kind::Number;
            qsizetype j = i;
            while (j < n && (text.at(j).isDigit() || text.at(j) == u'.'))
                ++j;
            token.text = text.mid(i, j - i);
            i = j;
        } else if (c == u'@') {
            token.kind = Token::Kind::Variable;
            qsizetype j = i + 1;
            if (j < n && text.at(j) == u'@')
                ++j;
            while (j < n && isWordChar(text.at(j)))
                ++j;
            token.text = text.mid(i, j - i);
            i = j;
        } else if (isWordChar(c)) {
            token.kind = Token::Kind::Word;
            qsizetype j = i;
            while (j < n && isWordChar(text.at(j)))
                ++j;
            token.text = text.mid(i, j - i);
            i = j;
        } else {
            token.kind = Token::Kind::Symbol;
            token.text = QString(c);
            ++i;
        }
        tokens.append(token);
    }
    Token end;
    end.position = n;
    tokens.append(end);
    return true;
}

namespace {

bool isStatementStart(const Token& t)
{
    return t.isWord("SELECT") || t.isWord("EXEC") || t.isWord("EXECUTE") || t.isWord("SET") || t.isWord("USE")
        || t.isWord("BEGIN") || t.isWord("COMMIT") || t.isWord("ROLLBACK");
}

bool isReserved(const Token& t)
{
    return isStatementStart(t) || t.isWord("FROM") || t.isWord("WHERE") || t.isWord("AND") || t.isWord("AS")
        || t.isWord("ORDER");
}

class Parser
{
public:
    explicit Parser(const QList<Token>& tokens)
        : m_tokens(tokens)
    { }

    bool parse(QList<Statement>& statements, QString& errorNear)
    {
        while (peek().kind != Token::Kind::End) {
            if (peek().isSymbol(';')) {
                ++m_at;
                continue;
            }
            Statement statement;
            if (!parseStatement(statement) || !atStatementEnd()) {
                errorNear = peek().kind == Token::Kind::End ? QString() : peek().text;
                return false;
            }
            statements.append(statement);
        }
        return !statements.isEmpty();
    }

private:
    const Token& peek(int ahead = 0) const
    {
        const qsizetype at = qMin(m_at + ahead, m_tokens.size() - 1);
        return m_tokens.at(at);
    }
    const Token& next() { return m_tokens.at(qMin(m_at++, m_tokens.size() - 1)); }

    bool atStatementEnd() const
    {
        return peek().kind == Token::Kind::End || peek().isSymbol(';') || isStatementStart(peek());
    }

    bool isName(const Token& t) const
    {
        return t.kind == Token::Kind::Quoted || (t.kind == Token::Kind::Word && !isReserved(t));
    }

    // A dotted name; `written` gets it as written (for error messages).
    bool parseName(QStringList& parts, QString& written)
    {
        if (!isName(peek()))
            return false;
        const qsizetype start = m_at;
        parts.append(next().text);
        while (peek().isSymbol('.') && isName(peek(1))) {
            ++m_at;
            parts.append(next().text);
        }
        QStringList pieces;
        for (qsizetype k = start; k < m_at; ++k)
            pieces.append(m_tokens.at(k).text);
        written = pieces.join(u'.');
        return true;
    }

    bool parseLiteral(QVariant& value, bool& national)
    {
        national = false;
        bool negative = false;
        if (peek().isSymbol('-') || peek().isSymbol('+')) {
            negative = peek().isSymbol('-');
            ++m_at;
            if (peek().kind != Token::Kind::Number)
                return false;
        }
        const Token& t = peek();
        if (t.kind == Token::Kind::String) {
            value = t.text;
            national = t.national;
        } else if (t.kind == Token::Kind::Number) {
            if (t.text.contains(u'.')) {
                value = (negative ? -1 : 1) * t.text.toDouble();
            } else {
                value = (negative ? -1 : 1) * t.text.toLongLong();
            }
        } else if (t.isWord("NULL")) {
            value = QVariant();
        } else {
            return false;
        }
        ++m_at;
        return true;
    }

    bool parseStatement(Statement& s)
    {
        const Token& first = next();
        if (first.isWord("SELECT")) {
            s.kind = Statement::Kind::Select;
            return parseSelect(s);
        }
        if (first.isWord("EXEC") || first.isWord("EXECUTE")) {
            s.kind = Statement::Kind::Exec;
            return parseExec(s);
        }
        if (first.isWord("SET")) {
            s.kind = Statement::Kind::Set;
            if (peek().kind != Token::Kind::Word)
                return false;
            while (!atStatementEnd())
                s.setWords.append(next().text.toUpper());
            return true;
        }
        if (first.isWord("BEGIN") || first.isWord("COMMIT") || first.isWord("ROLLBACK")) {
            // BEGIN TRAN[SACTION]; COMMIT and ROLLBACK with an optional TRAN[SACTION] or WORK.
            s.kind = Statement::Kind::Transaction;
            s.transaction = first.text.toUpper();
            const bool word = peek().isWord("TRAN") || peek().isWord("TRANSACTION") || peek().isWord("WORK");
            if (s.transaction == u"BEGIN"_s && !(peek().isWord("TRAN") || peek().isWord("TRANSACTION")))
                return false;
            if (word)
                ++m_at;
            return true;
        }
        if (first.isWord("USE")) {
            s.kind = Statement::Kind::Use;
            if (!isName(peek()))
                return false;
            s.database = next().text;
            return true;
        }
        --m_at;
        return false;
    }

    bool parseSelectItem(SelectItem& item)
    {
        if (peek().isSymbol('*')) {
            ++m_at;
            item.kind = SelectItem::Kind::Star;
            return true;
        }
        if (peek().kind == Token::Kind::Variable && peek().text.startsWith(u"@@"_s)) {
            item.kind = SelectItem::Kind::Variable;
            item.name = next().text.toUpper();
        } else if (peek().kind == Token::Kind::Word && peek(1).isSymbol('(') && !isReserved(peek())) {
            item.kind = SelectItem::Kind::Function;
            item.name = next().text.toUpper();
            ++m_at;
            while (!peek().isSymbol(')')) {
                QVariant argument;
                bool national = false;
                if (!parseLiteral(argument, national))
                    return false;
                item.arguments.append(argument);
                if (peek().isSymbol(','))
                    ++m_at;
                else if (!peek().isSymbol(')'))
                    return false;
            }
            ++m_at;
        } else if (isName(peek())) {
            QStringList parts;
            QString written;
            parseName(parts, written);
            item.kind = SelectItem::Kind::Column;
            item.name = parts.last();
        } else {
            item.kind = SelectItem::Kind::Constant;
            if (!parseLiteral(item.constant, item.national))
                return false;
        }
        if (peek().isWord("AS")) {
            ++m_at;
            if (!isName(peek()) && peek().kind != Token::Kind::String)
                return false;
            item.alias = next().text;
        } else if (isName(peek())) {
            item.alias = next().text;
        }
        return true;
    }

    bool parseSelect(Statement& s)
    {
        do {
            SelectItem item;
            if (!parseSelectItem(item))
                return false;
            s.items.append(item);
        } while (peek().isSymbol(',') && (++m_at, true));
        if (!peek().isWord("FROM"))
            return true;
        ++m_at;
        if (!parseName(s.object, s.objectText))
            return false;
        if (peek().isWord("WHERE")) {
            ++m_at;
            do {
                Condition condition;
                QStringList parts;
                QString written;
                if (!parseName(parts, written) || !peek().isSymbol('='))
                    return false;
                ++m_at;
                bool national = false;
                if (!parseLiteral(condition.value, national))
                    return false;
                condition.column = parts.last();
                s.where.append(condition);
            } while (peek().isWord("AND") && (++m_at, true));
        }
        return parseOrderBy(s);
    }

    // ORDER BY col [ASC], ...: ascending only.
    bool parseOrderBy(Statement& s)
    {
        if (!peek().isWord("ORDER"))
            return true;
        ++m_at;
        if (!peek().isWord("BY"))
            return false;
        ++m_at;
        do {
            QStringList parts;
            QString written;
            if (!parseName(parts, written))
                return false;
            if (peek().isWord("ASC"))
                ++m_at;
            s.orderBy.append(parts.last());
        } while (peek().isSymbol(',') && (++m_at, true));
        return true;
    }

    bool parseExec(Statement& s)
    {
        QStringList parts;
        QString written;
        if (!parseName(parts, written))
            return false;
        s.procedure = parts.last();
        while (!atStatementEnd()) {
            QString name;
            if (peek().kind == Token::Kind::Variable && peek(1).isSymbol('=')) {
                name = next().text;
                ++m_at;
            }
            QVariant value;
            bool national = false;
            if (!parseLiteral(value, national)) {
                if (peek().kind != Token::Kind::Word)
                    return false;
                value = next().text;
            }
            s.parameters.append({name, value});
            if (peek().isSymbol(','))
                ++m_at;
            else if (!atStatementEnd())
                return false;
        }
        return true;
    }

    const QList<Token>& m_tokens;
    qsizetype m_at = 0;
};

} // namespace

bool parseBatch(const QString& text, QList<Statement>& statements, QString& errorNear)
{
    statements.clear();
    QList<Token> tokens;
    if (!tokenize(text, tokens, errorNear))
        return false;
    Parser parser(tokens);
    return parser.parse(statements, errorNear);
}

} // namespace tds::sql
