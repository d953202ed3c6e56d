#pragma once

#include "DataAccess.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <functional>
#include <mutex>
#include <optional>
#include <vector>

/**
 * An in-memory database behind the data-access interface, for tests and benchmarks. It knows a scripted catalogue
 * (tables, views and system tables with their columns and rows) and answers the statement shapes the program sends:
 *   SELECT TABLE_SCHEMA, TABLE_NAME, COLUMN_NAME, ... FROM information_schema.COLUMNS ORDER BY ... (the catalogue)
 *   SELECT * FROM [<name>] and SELECT * FROM [<schema>].[<name>]
 *   SELECT [<column>], ... FROM [<schema>].[<name>] (the named columns of the held rows; no generators or pieces)
 *   SELECT physical_name, type FROM sys.database_files
 *   SELECT name FROM master.dbo.sysdatabases WHERE name = N'<name>'
 *   SET TRANSACTION ISOLATION LEVEL ..., BEGIN TRANSACTION, COMMIT, ROLLBACK (answered with an empty result)
 * Anything else is recorded as a batch and answered by `batchHandler` (default: an empty result). Faults are set
 * on the database and hit every connection made from it.
 */
class MemoryDatabase : public ConnectionFactory
{
public:
    struct Column
    {
        QString name;
        QString dataType; ///< as information_schema.Columns.data_type reports it ("int", "nvarchar")
        std::optional<qint64> maxLength; ///< character_maximum_length; none is NULL
        std::optional<int> precision; ///< numeric_precision
        std::optional<int> scale; ///< numeric_scale
        bool nullable = true; ///< is_nullable
    };
    using Row = std::vector<FieldValue>;
    /** Produces row `index` into `row`; returns false after the last row. For tables too big to hold. */
    using RowGenerator = std::function<bool(qint64 index, Row& row)>;
    /**
     * Produces piece `piece` of the long value of a row's column into `out`; returns false when the value has no
     * more pieces. For values too big to hold.
     */
    using PieceGenerator = std::function<bool(qint64 row, int column, qint64 piece, FieldValue& out)>;

    struct Table
    {
        QString name;
        QString schema = QStringLiteral("dbo"); ///< TABLE_SCHEM of the table list, TABLE_SCHEMA of the catalogue
        QString type = QStringLiteral("TABLE"); ///< TABLE_TYPE: "TABLE", "VIEW", "SYSTEM TABLE"
        QList<Column> columns;
        std::vector<Row> rows;
        RowGenerator generator;
        /** When set, the long columns' values come from it, piece by piece, in place of the rows' values. */
        PieceGenerator longValues;
    };

    struct DatabaseFile
    {
        QString physicalName;
        int type; ///< 0 rows (data), 1 log
    };

    // --- catalogue
    Table& addTable(const QString& name, const QList<Column>& columns, const QString& type = QStringLiteral("TABLE"));
    QList<Table>& tables() { return m_tables; }
    /**
     * sys.databases.snapshot_isolation_state of every database: other than 1, a snapshot transaction fails with
     * error 3952 at its first read of a table. None: a server without snapshot isolation, that refuses to set it.
     */
    std::optional<int> snapshotIsolationState = 0;
    /** The databases master.dbo.sysdatabases lists (names compared without regard to case). */
    QStringList databases;
    /** The answer to the database file list; none makes the query fail. */
    std::optional<QList<DatabaseFile>> databaseFiles;

    // --- faults
    /** When set, Open throws DbError with this text. */
    QString refuseLogin;
    /** When set, createConnection throws Failure with this text. */
    QString refuseCreate;
    /** A command containing this text throws DbError `failText` with the SQLSTATE `failState`. */
    QString failCommandContaining;
    QString failText = QStringLiteral("[Memory][SQL Server]Statement failed.");
    QString failState = QStringLiteral("42000");
    /** MoveNext past this many data rows throws DbError (connection lost); negative is never. */
    qint64 failAfterRows = -1;
    /** The column catalogue's rows come last table first, last column first (a server's plan without ORDER BY). */
    bool reverseCatalogue = false;
    /** The table list gives the names lower-cased, while the column catalogue keeps their case (as some servers do). */
    bool lowerCaseTableList = false;
    /**
     * When above 0, the values of long columns (varchar, nvarchar and varbinary of maximum length -1, text, ntext,
     * image, xml) in data results are read in pieces of this many characters or bytes (RecordSet::FieldPiece).
     */
    qsizetype pieceSize = 0;
    /** Runs for every batch that is not one of the catalogue queries; may throw DbError, may add info messages. */
    std::function<void(const QString& batch, QStringList& infoMessages)> batchHandler;

    // --- what happened
    QStringList executed; ///< every command text, in order
    QStringList batches; ///< commands that were not catalogue queries
    QStringList connectionStrings;
    int opened = 0; ///< successful Open calls
    int closed = 0; ///< Close calls on open connections
    int released = 0; ///< connections destroyed
    int lastCursorLocation = 0;

    std::unique_ptr<Connection> createConnection() override;

    /**
     * Held by every call of a connection made from it, so that connections on several threads at once (the complete
     * schema's second connection) keep what happened, and the faults, consistent.
     */
    std::recursive_mutex& connectionMutex() { return m_connectionMutex; }

    /** True for the long types, whose values may be read in pieces. */
    static bool isLongColumn(const Column& column);

private:
    QList<Table> m_tables;
    std::recursive_mutex m_connectionMutex;
};
