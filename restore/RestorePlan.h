#pragma once

#include "ScriptBatcher.h"

#include <QString>

#include <vector>

class QIODevice;

/** A stretch of a script file: the bytes from `firstByte` up to `endByte`, beginning on line `firstLine`. */
struct ScriptRange
{
    qint64 firstByte = 0;
    qint64 endByte = 0;
    qint64 firstLine = 1;
    qint64 bytes() const { return endByte - firstByte; }
};

/**
 * The rows of one table with the statements that belong to their load: in the program's own format the table's
 * DROP and CREATE before them; in scripts cut at GO lines the `SET IDENTITY_INSERT` and `DBCC CHECKIDENT` statements
 * that name the table next to them. Restored whole, on one connection.
 */
struct TableLoad
{
    ScriptRange range;
    QString table; ///< as the INSERT statements write it
    qint64 rows = 0; ///< rows of its INSERT statements
};

/** One step of a restore: batches in file order on one connection, or tables over several connections at once. */
struct RestoreStep
{
    enum class Kind { Serial, Tables };
    Kind kind = Kind::Serial;
    ScriptRange range; ///< Serial: the batches
    std::vector<TableLoad> tables; ///< Tables: the largest (in bytes of the file) first
    /** Tables: the USE statement in force where the tables begin, which each connection sends first; may be empty. */
    QString context;
};

/**
 * How a script restores over several connections, found in one pass over it (pg_restore's plan of a dump's entries,
 * for scripts): the file is cut into steps at batch boundaries (ScriptBatcher's), in file order.
 *
 * Runs of batches that hold only INSERT statements are the tables' rows; a run and the statements of its table's load
 * (TableLoad) make one table. Consecutive tables make one Tables step; everything else is Serial: the database block
 * and what precedes the first table's rows (for scripts cut at GO lines, the sections before the data), and what
 * follows the last one (the sections after the data). A batch holding a USE statement always ends a Tables step, so
 * the second of two scripts in one file starts its own steps. A script without such runs is one Serial step.
 *
 * Positions are bytes of UTF-8; a file whose bytes do not decode as UTF-8 gives one Serial step (its positions
 * cannot be trusted).
 */
class RestorePlan
{
public:
    /** Reads a script (plain text, at its start) to its end; throws Failure when it cannot be read. */
    static RestorePlan read(QIODevice& script);
    /**
     * The script of `bytes` bytes (decompressed) as one Serial step, read from its start as it is sent: the restore
     * on one connection, which needs no pass of its own before it. Its rows are not counted (-1).
     */
    static RestorePlan whole(qint64 bytes);

    bool ownFormat = false;
    qint64 bytes = 0; ///< the script's size
    qint64 rows = 0; ///< rows of the INSERT statements in the whole script; -1: not counted
    qint64 batches = 0;
    std::vector<RestoreStep> steps;

    /** Tables that can go to connections of their own. */
    qsizetype tableCount() const;
};

/** Builds a plan from the batches of a script in file order; RestorePlan::read feeds it. */
class RestorePlanner
{
public:
    void add(const ScriptBatch& batch);
    /** The plan of a script of `bytes` bytes that all went through `add`; `positionsHold` false when its byte positions
     * cannot be trusted. */
    RestorePlan finish(qint64 bytes, bool ownFormat, bool positionsHold);

private:
    struct Segment
    {
        bool table = false;
        qint64 firstByte = 0;
        qint64 firstLine = 1;
        QString name;
        qint64 rows = 0;
        QString context;
    };
    /** A batch that is not rows, seen since the last rows (or since the current Serial segment began). */
    struct Between
    {
        qint64 firstByte = 0;
        qint64 firstLine = 1;
        QString loadStatements; ///< the text, when it holds only statements of a table's load
    };

    void closeTables(qint64 firstByte, qint64 firstLine);

    std::vector<Segment> m_segments{Segment{}};
    std::vector<Between> m_between;
    bool m_inTables = false;
    QString m_lastUse;
    qint64 m_rows = 0;
    qint64 m_batches = 0;
};
