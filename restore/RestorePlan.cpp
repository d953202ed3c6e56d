#include "RestorePlan.h"

#include "ScriptReader.h"

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace {

/** Calls `each` with every line of the text that begins in code and holds code, without its line end. */
template <typename Each> void forEachCodeLine(QStringView text, Each each)
{
    ScriptLexer lexer;
    qsizetype start = 0;
    while (start < text.size()) {
        qsizetype end = text.indexOf(u'\n', start);
        end = end < 0 ? text.size() : end + 1;
        const QStringView line = text.mid(start, end - start);
        if (lexer.inCode() && ScriptLexer::classify(line) != ScriptLexer::LineKind::Blank)
            each(line.trimmed());
        lexer.scan(line);
        start = end;
    }
}

/** The last USE statement of a batch. */
QString useStatement(QStringView text)
{
    QString use;
    forEachCodeLine(text, [&](QStringView line) {
        if (ScriptLexer::classify(line) == ScriptLexer::LineKind::Use)
            use = line.toString();
    });
    return use;
}

/** True when every statement of the batch belongs to a table's load: SET IDENTITY_INSERT, DBCC CHECKIDENT. */
bool onlyLoadStatements(QStringView text)
{
    bool any = false;
    bool only = true;
    forEachCodeLine(text, [&](QStringView line) {
        QString words = line.toString().simplified().toUpper();
        any = true;
        only = only && (words.startsWith(u"SET IDENTITY_INSERT "_s) || words.startsWith(u"DBCC CHECKIDENT"_s));
    });
    return any && only;
}

bool namesTable(const QString& loadStatements, const QString& table)
{
    return !loadStatements.isEmpty() && !table.isEmpty() && loadStatements.contains(table, Qt::CaseInsensitive);
}

} // namespace

qsizetype RestorePlan::tableCount() const
{
    qsizetype count = 0;
    for (const RestoreStep& step : steps)
        count += qsizetype(step.tables.size());
    return count;
}

void RestorePlanner::add(const ScriptBatch& batch)
{
    ++m_batches;
    m_rows += batch.rows;
    if (!batch.onlyInserts) {
        if (batch.hasUse) {
            // Another database, or another script: what follows begins anew.
            if (m_inTables)
                closeTables(batch.firstByte, batch.firstLine);
            m_lastUse = useStatement(batch.text);
        }
        Between between{batch.firstByte, batch.firstLine, {}};
        if (onlyLoadStatements(batch.text))
            between.loadStatements = batch.text;
        m_between.push_back(std::move(between));
        return;
    }

    Segment& last = m_segments.back();
    if (m_inTables && m_between.empty() && last.name == batch.table) {
        last.rows += batch.rows;
        return;
    }
    std::size_t split = 0;
    if (m_inTables) {
        // After a table's rows: the statements of its own load stay with it, the rest goes with the next table.
        while (split < m_between.size() && namesTable(m_between[split].loadStatements, last.name))
            ++split;
    } else {
        // Before the first rows: only the statements of this table's load go with it.
        split = m_between.size();
        while (split > 0 && namesTable(m_between[split - 1].loadStatements, batch.table))
            --split;
    }
    Segment table;
    table.table = true;
    table.firstByte = split < m_between.size() ? m_between[split].firstByte : batch.firstByte;
    table.firstLine = split < m_between.size() ? m_between[split].firstLine : batch.firstLine;
    table.name = batch.table;
    table.rows = batch.rows;
    table.context = m_inTables ? last.context : m_lastUse;
    m_segments.push_back(std::move(table));
    m_between.clear();
    m_inTables = true;
}

void RestorePlanner::closeTables(qint64 firstByte, qint64 firstLine)
{
    std::size_t split = 0;
    while (split < m_between.size() && namesTable(m_between[split].loadStatements, m_segments.back().name))
        ++split;
    Segment serial;
    serial.firstByte = split < m_between.size() ? m_between[split].firstByte : firstByte;
    serial.firstLine = split < m_between.size() ? m_between[split].firstLine : firstLine;
    m_segments.push_back(std::move(serial));
    m_between.clear();
    m_inTables = false;
}

RestorePlan RestorePlanner::finish(qint64 bytes, bool ownFormat, bool positionsHold)
{
    if (m_inTables)
        closeTables(bytes, -1);
    RestorePlan plan;
    plan.ownFormat = ownFormat;
    plan.bytes = bytes;
    plan.rows = m_rows;
    plan.batches = m_batches;
    if (!positionsHold) {
        m_segments.assign(1, Segment{});
    }
    for (std::size_t i = 0; i < m_segments.size(); ++i) {
        const Segment& s = m_segments[i];
        const qint64 end = i + 1 < m_segments.size() ? m_segments[i + 1].firstByte : bytes;
        if (end <= s.firstByte)
            continue; // a segment that the next one begins where it begins holds nothing
        const ScriptRange range{s.firstByte, end, s.firstLine};
        if (!s.table) {
            plan.steps.push_back(RestoreStep{RestoreStep::Kind::Serial, range, {}, {}});
            continue;
        }
        if (plan.steps.empty() || plan.steps.back().kind != RestoreStep::Kind::Tables)
            plan.steps.push_back(RestoreStep{RestoreStep::Kind::Tables, {}, {}, s.context});
        plan.steps.back().tables.push_back(TableLoad{range, s.name, s.rows});
    }
    for (RestoreStep& step : plan.steps)
        std::stable_sort(step.tables.begin(), step.tables.end(),
                         [](const TableLoad& a, const TableLoad& b) { return a.range.bytes() > b.range.bytes(); });
    return plan;
}

RestorePlan RestorePlan::whole(qint64 bytes)
{
    RestorePlan plan;
    plan.bytes = bytes;
    plan.rows = -1;
    RestoreStep step;
    step.range.endByte = bytes;
    plan.steps.push_back(step);
    return plan;
}

RestorePlan RestorePlan::read(QIODevice& script)
{
    ScriptBatcher batcher;
    RestorePlanner planner;
    ScriptReader reader(script, batcher);
    reader.forEachBatch([&](const ScriptBatch& batch) {
        planner.add(batch);
        return true;
    });
    // Bytes that are not UTF-8 become replacement characters of another length.
    const bool positionsHold = !reader.decodingFailed() && batcher.bytesTaken() == reader.bytesRead();
    return planner.finish(reader.bytesRead(), batcher.ownFormat(), positionsHold);
}
