#include "ScriptBatcher.h"

#include "ScriptText.h"

#include <utility>

using namespace Qt::Literals::StringLiterals;

namespace {

bool isNameChar(QChar c)
{
    return c.isLetterOrNumber() || c == u'_' || c == u'@' || c == u'#' || c == u'$';
}

/** True when the code begins with the keyword as a whole word. */
bool beginsWithWord(QStringView code, QStringView word)
{
    return code.startsWith(word, Qt::CaseInsensitive) && (code.size() == word.size() || !isNameChar(code[word.size()]));
}

/** The target of the INSERT that begins the line as it is written: "[T]", "[s].[T]", "dbo.T". */
QString insertTarget(QStringView line)
{
    qsizetype at = line.indexOf(u"INSERT", 0, Qt::CaseInsensitive);
    if (at < 0)
        return {};
    const auto skipBlanks = [&] {
        while (at < line.size() && line[at].isSpace())
            ++at;
    };
    at += 6;
    skipBlanks();
    if (beginsWithWord(line.mid(at), u"INTO")) {
        at += 4;
        skipBlanks();
    }
    const qsizetype start = at;
    for (;;) {
        if (at >= line.size())
            break;
        const QChar open = line[at];
        if (open == u'[' || open == u'"') {
            const QChar close = open == u'[' ? QChar(u']') : QChar(u'"');
            ++at;
            while (at < line.size()) {
                if (line[at] == close) {
                    if (at + 1 < line.size() && line[at + 1] == close) {
                        at += 2;
                        continue;
                    }
                    break;
                }
                ++at;
            }
            if (at >= line.size())
                break;
            ++at;
        } else if (isNameChar(open)) {
            while (at < line.size() && isNameChar(line[at]))
                ++at;
        } else {
            break;
        }
        if (at < line.size() && line[at] == u'.')
            ++at;
        else
            break;
    }
    return line.mid(start, at - start).toString();
}

/** The code after its first word and the blanks that follow it. */
QStringView afterWord(QStringView code)
{
    qsizetype i = 0;
    while (i < code.size() && isNameChar(code[i]))
        ++i;
    return code.mid(i).trimmed();
}

} // namespace

qint64 ScriptBatcher::utf8Length(QStringView text)
{
    qint64 bytes = 0;
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 0x80)
            bytes += 1;
        else if (u < 0x800)
            bytes += 2;
        else if (QChar::isHighSurrogate(u))
            bytes += 4; // with the low surrogate that follows
        else if (!QChar::isLowSurrogate(u))
            bytes += 3;
    }
    return bytes;
}

qsizetype ScriptLexer::step(QStringView text, qsizetype i, bool& code)
{
    const QChar c = text[i];
    const QChar next = i + 1 < text.size() ? text[i + 1] : QChar();
    code = false;
    // Inside a quoted form, its closing mark doubled stands for the mark itself.
    const auto quoted = [&](QChar close) {
        code = true;
        const qsizetype end = text.indexOf(close, i);
        if (end < 0)
            return text.size();
        if (end + 1 < text.size() && text[end + 1] == close)
            return end + 2;
        m_state = State::Code;
        return end + 1;
    };
    switch (m_state) {
    case State::Code:
        if (c == u'-' && next == u'-') {
            m_state = State::LineComment;
            return i + 2;
        }
        if (c == u'/' && next == u'*') {
            m_state = State::BlockComment;
            m_depth = 1;
            return i + 2;
        }
        if (c == u'\'')
            m_state = State::String;
        else if (c == u'"')
            m_state = State::Quoted;
        else if (c == u'[')
            m_state = State::Bracket;
        code = !c.isSpace();
        return i + 1;
    case State::String:
        return quoted(u'\'');
    case State::Quoted:
        return quoted(u'"');
    case State::Bracket:
        return quoted(u']');
    case State::LineComment: {
        const qsizetype end = text.indexOf(u'\n', i);
        if (end < 0)
            return text.size();
        m_state = State::Code;
        return end + 1;
    }
    case State::BlockComment:
        if (c == u'/' && next == u'*') {
            ++m_depth;
            return i + 2;
        }
        if (c == u'*' && next == u'/') {
            if (--m_depth == 0)
                m_state = State::Code;
            return i + 2;
        }
        return i + 1;
    }
    return i + 1;
}

void ScriptLexer::scan(QStringView text)
{
    bool code = false;
    for (qsizetype i = 0; i < text.size();) {
        const qsizetype next = step(text, i, code);
        // Code that ends here: a character of code, or the closing mark of a literal or name.
        if (code && m_state == State::Code)
            m_lastCode = text[next - 1];
        i = next;
    }
}

ScriptLexer::LineKind ScriptLexer::classify(QStringView line)
{
    ScriptLexer lexer;
    qsizetype first = -1;
    bool code = false;
    for (qsizetype i = 0; i < line.size();) {
        const qsizetype at = i;
        i = lexer.step(line, i, code);
        if (code) {
            first = at;
            break;
        }
    }
    if (first < 0)
        return LineKind::Blank;
    if (line.trimmed().compare(u"GO", Qt::CaseInsensitive) == 0)
        return LineKind::Go;
    const QStringView rest = line.mid(first);
    if (beginsWithWord(rest, u"USE"))
        return LineKind::Use;
    if (beginsWithWord(rest, u"INSERT"))
        return LineKind::Insert;
    if (beginsWithWord(rest, u"CREATE") || beginsWithWord(rest, u"ALTER")) {
        // The word after CREATE, ALTER or CREATE OR ALTER.
        QStringView next = afterWord(rest);
        if (beginsWithWord(next, u"OR"))
            next = afterWord(afterWord(next));
        for (const QStringView kind : {u"VIEW", u"PROCEDURE", u"PROC", u"FUNCTION", u"TRIGGER"}) {
            if (beginsWithWord(next, kind))
                return LineKind::Module;
        }
    }
    return LineKind::Other;
}

ScriptBatcher::ScriptBatcher(qint64 maxRows, qsizetype maxChars)
    : m_maxRows(maxRows)
    , m_maxChars(maxChars)
{ }

void ScriptBatcher::feed(QStringView text)
{
    qsizetype start = 0;
    while (start < text.size()) {
        const qsizetype end = text.indexOf(u'\n', start);
        if (end < 0) {
            m_partial += text.mid(start);
            return;
        }
        const QStringView piece = text.mid(start, end + 1 - start);
        if (m_partial.isEmpty()) {
            takeLine(piece);
        } else {
            m_partial += piece;
            takeLine(m_partial);
            m_partial.clear();
        }
        start = end + 1;
    }
}

void ScriptBatcher::finish()
{
    if (!m_partial.isEmpty()) {
        takeLine(m_partial);
        m_partial.clear();
    }
    if (m_format == Format::Unknown)
        chooseFormat();
    if (m_format == Format::Own) {
        // Comments after the last statement go with it.
        if (!m_pending.isEmpty()) {
            if (m_unit.isEmpty()) {
                m_unitAt = m_pendingAt;
                m_unitKind = ScriptLexer::LineKind::Blank;
            }
            m_unit += m_pending;
            m_pending.clear();
        }
        placeUnit();
        emitBatch();
    } else if (!m_batch.trimmed().isEmpty() || (!m_anyBatch && !m_batch.isEmpty())) {
        emitBatch();
    }
}

ScriptBatch ScriptBatcher::takeBatch()
{
    ScriptBatch batch = std::move(m_ready.front());
    m_ready.pop_front();
    return batch;
}

void ScriptBatcher::resumeAt(bool ownFormat, qint64 firstLine, qint64 firstByte)
{
    m_format = ownFormat ? Format::Own : Format::Separated;
    m_lineNumber = firstLine - 1;
    m_bytes = firstByte;
}

void ScriptBatcher::takeLine(QStringView line)
{
    const Place at{++m_lineNumber, m_bytes};
    m_bytes += utf8Length(line);
    if (m_format == Format::Unknown) {
        m_head.emplace_back(line.toString(), at);
        if (m_head.size() == 3)
            chooseFormat();
        return;
    }
    processLine(line, at);
}

void ScriptBatcher::chooseFormat()
{
    const bool own = m_head.size() == 3 && ScriptText::isHeader(m_head[0].first, m_head[1].first, m_head[2].first);
    m_format = own ? Format::Own : Format::Separated;
    for (const auto& [line, at] : m_head)
        processLine(line, at);
    m_head.clear();
}

void ScriptBatcher::processLine(QStringView line, Place at)
{
    const bool startsInCode = m_lexer.inCode();
    const ScriptLexer::LineKind kind = startsInCode ? ScriptLexer::classify(line) : ScriptLexer::LineKind::Other;
    const bool afterComma = m_lexer.lastCode() == u',';
    m_lexer.scan(line);
    if (m_format == Format::Own)
        ownLine(line, at, startsInCode, kind, afterComma);
    else
        separatedLine(line, at, startsInCode, kind);
}

void ScriptBatcher::ownLine(QStringView line, Place at, bool startsInCode, ScriptLexer::LineKind kind, bool afterComma)
{
    using Kind = ScriptLexer::LineKind;
    if (m_moduleToGo) {
        if (startsInCode && kind == Kind::Go) {
            placeUnit();
            emitBatch();
            m_moduleToGo = false;
            m_lastToPending = true;
        } else {
            m_unit += line;
        }
        return;
    }
    if (!startsInCode) {
        // The line goes on with a literal, name or comment of the line before.
        (m_lastToPending ? m_pending : m_unit) += line;
        return;
    }
    if (kind == Kind::Other && afterComma && m_unitKind == Kind::Insert && !m_unit.isEmpty()
        && line.trimmed().startsWith(u'(')) {
        // The next row of a multi-row INSERT (with any comments between the rows).
        m_unit += std::exchange(m_pending, QString());
        m_unit += line;
        ++m_unitRows;
        m_lastToPending = false;
        return;
    }
    switch (kind) {
    case Kind::Blank:
        if (m_pending.isEmpty())
            m_pendingAt = at;
        m_pending += line;
        m_lastToPending = true;
        return;
    case Kind::Go:
        // A separator someone added: the batch ends here, the line itself is not sent.
        if (!m_pending.isEmpty()) {
            if (m_unit.isEmpty()) {
                m_unitAt = m_pendingAt;
                m_unitKind = Kind::Blank;
            }
            m_unit += m_pending;
            m_pending.clear();
        }
        placeUnit();
        emitBatch();
        m_lastToPending = true;
        return;
    case Kind::Module:
        // The module's text, and the comments just before it, begin a batch of their own.
        placeUnit();
        emitBatch();
        m_unitAt = m_pending.isEmpty() ? at : m_pendingAt;
        m_unitTable.clear();
        m_unitRows = 0;
        m_unitKind = Kind::Other;
        m_unit = std::exchange(m_pending, QString());
        m_unit += line;
        m_lastToPending = false;
        m_moduleToGo = true;
        return;
    case Kind::Use:
    case Kind::Insert:
    case Kind::Other:
        placeUnit();
        m_unitAt = m_pending.isEmpty() ? at : m_pendingAt;
        m_unitKind = kind;
        m_unitTable = kind == Kind::Insert ? insertTarget(line) : QString();
        m_unitRows = kind == Kind::Insert ? 1 : 0;
        m_unit = std::exchange(m_pending, QString());
        m_unit += line;
        m_lastToPending = false;
        return;
    }
}

void ScriptBatcher::placeUnit()
{
    using Kind = ScriptLexer::LineKind;
    if (m_unit.isEmpty())
        return;
    const bool cut = m_batchStatements > 0
        && (m_unitKind == Kind::Use
            || (m_unitKind == Kind::Insert && (m_lastKind != Kind::Insert || m_batchRows + m_unitRows > m_maxRows))
            || (m_unitKind == Kind::Insert && m_batch.size() + m_unit.size() > m_maxChars)
            || (m_unitKind != Kind::Insert && m_unitKind != Kind::Blank && m_lastKind == Kind::Insert));
    if (cut)
        emitBatch();
    if (m_batch.isEmpty())
        m_batchAt = m_unitAt;
    m_batch += m_unit;
    m_unit.clear();
    if (m_unitKind != Kind::Blank) {
        ++m_batchStatements;
        m_lastKind = m_unitKind;
        if (m_unitKind == Kind::Insert) {
            if (m_batchInserts++ == 0)
                m_batchTable = std::move(m_unitTable);
            m_batchRows += m_unitRows;
        } else {
            ++m_batchOthers;
            m_batchUse = m_batchUse || m_unitKind == Kind::Use;
        }
    }
}

void ScriptBatcher::separatedLine(QStringView line, Place at, bool startsInCode, ScriptLexer::LineKind kind)
{
    using Kind = ScriptLexer::LineKind;
    if (startsInCode && kind == Kind::Go) {
        if (m_batch.trimmed().isEmpty()) {
            // Nothing between two separators: nothing to send.
            m_batch.clear();
            m_batchInserts = m_batchRows = m_batchOthers = 0;
            m_batchUse = false;
            m_batchTable.clear();
        } else {
            emitBatch();
        }
        return;
    }
    if (m_batch.isEmpty()) {
        m_batchAt = at;
        m_batchStatements = 1;
    }
    m_batch += line;
    // Lines are counted, not statements: a batch whose every code line begins an INSERT holds only INSERTs.
    if (startsInCode && kind == Kind::Insert) {
        if (m_batchInserts++ == 0)
            m_batchTable = insertTarget(line);
        ++m_batchRows;
    } else if (startsInCode && (kind == Kind::Use || kind == Kind::Other)) {
        ++m_batchOthers;
        m_batchUse = m_batchUse || kind == Kind::Use;
    }
}

void ScriptBatcher::emitBatch()
{
    if (m_batch.isEmpty())
        return;
    ScriptBatch batch;
    batch.text = std::move(m_batch);
    batch.firstLine = m_batchAt.line;
    batch.firstByte = m_batchAt.byte;
    batch.statements = m_batchStatements;
    batch.inserts = m_batchInserts;
    batch.rows = m_batchRows;
    batch.onlyInserts = m_batchInserts > 0 && m_batchOthers == 0;
    batch.hasUse = m_batchUse;
    batch.table = std::move(m_batchTable);
    m_ready.push_back(std::move(batch));
    m_batch = QString();
    m_batchTable = QString();
    m_batchStatements = 0;
    m_batchInserts = 0;
    m_batchRows = 0;
    m_batchOthers = 0;
    m_batchUse = false;
    m_lastKind = ScriptLexer::LineKind::Blank;
    m_anyBatch = true;
}
