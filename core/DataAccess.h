#pragma once

#include "Failure.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>

/**
 * One field value of a result set. The kind tells the backup engine which value rule applies; the value itself is
 * held as text (as the server or driver gives it) or, for byte strings, as bytes.
 */
struct FieldValue
{
    enum class Kind {
        Null, ///< SQL NULL
        Text, ///< char, varchar, nchar, nvarchar, text, ntext, xml, sql_variant and anything unknown
        Integer, ///< tinyint, smallint, int, bigint; text is the decimal number
        ExactNumeric, ///< decimal, numeric, money, smallmoney; text as the server gives it ("12.50")
        ApproxNumeric, ///< float, real; `number` holds the value, text is empty
        Bit, ///< bit; text is "1" or "0"
        DateTime, ///< datetime, smalldatetime; text "yyyy-MM-dd hh:mm:ss[.fff]"
        IsoDateTime, ///< date, time, datetime2, datetimeoffset; text is the driver's ISO text, written as is
        Guid, ///< uniqueidentifier; text as the driver gives it
        Binary, ///< binary, varbinary, image, timestamp; `bytes` holds the value
    };

    Kind kind = Kind::Null;
    QString text;
    QByteArray bytes;
    double number = 0;
    /** For ApproxNumeric: true when the column is single precision (real), so the shortest float text applies. */
    bool singlePrecision = false;

    bool isNull() const { return kind == Kind::Null; }

    static FieldValue null() { return {}; }
    static FieldValue ofText(QString value, Kind kind = Kind::Text)
    {
        FieldValue v;
        v.kind = kind;
        v.text = std::move(value);
        return v;
    }
    static FieldValue ofNumber(double value, bool single = false)
    {
        FieldValue v;
        v.kind = Kind::ApproxNumeric;
        v.number = value;
        v.singlePrecision = single;
        return v;
    }
    static FieldValue ofBytes(QByteArray value)
    {
        FieldValue v;
        v.kind = Kind::Binary;
        v.bytes = std::move(value);
        return v;
    }
};

/**
 * A result set, walked forward: `Eof`, `MoveNext`, `Fields` by position (from 0) or by name, `FieldCount`,
 * `RecordCount`, `Close`. Every operation may throw DbError.
 */
class RecordSet
{
public:
    virtual ~RecordSet() = default;

    /** True when there is no current row (the end, or an empty result). */
    virtual bool Eof() = 0;
    virtual void MoveNext() = 0;
    virtual int FieldCount() const = 0;
    virtual QString FieldName(int index) const = 0;
    /** The value of a field of the current row; throws DbError at the end or for a bad index. */
    virtual const FieldValue& Fields(int index) = 0;
    /** The value of the field of that name (case-insensitive); throws DbError when there is none. */
    virtual const FieldValue& Fields(const QString& name) = 0;
    /** The number of rows; exact for results read whole. */
    virtual qint64 RecordCount() = 0;
    virtual void Close() = 0;

    /**
     * True when the values of the field may be too long to hold (varchar(max), nvarchar(max), varbinary(max), text,
     * ntext, image, xml) and can be read in pieces with `FieldPiece`.
     */
    virtual bool isLongField(int index) const
    {
        Q_UNUSED(index);
        return false;
    }
    /**
     * The next piece of the current row's value of a long field, into `piece`: Text or Binary pieces in order, or
     * one Null piece for NULL. Returns false once the value has no more pieces (the first call of an empty value).
     * A value read in pieces cannot be read again through `Fields`; the fields before it stay readable.
     */
    virtual bool FieldPiece(int index, FieldValue& piece)
    {
        Q_UNUSED(index);
        Q_UNUSED(piece);
        throw DbError(QStringLiteral("Object or provider is not capable of performing requested operation."), 3251);
    }
};

/** Schema number of the table list, as `OpenSchema` takes it. */
inline constexpr int adSchemaTables = 20;
/** `CursorLocation` value for client-side cursors: results read whole, exact `RecordCount`. */
inline constexpr int adUseClient = 3;

/**
 * A connection to the database. `Open` takes the whole ODBC connection string; `Execute` sends a command text as one
 * batch and returns its first result that has columns (an empty result set when there is none). Every operation may
 * throw DbError carrying the driver's description unchanged.
 */
class Connection
{
public:
    virtual ~Connection() = default;

    virtual void setCursorLocation(int location) = 0;
    virtual void Open(const QString& connectionString) = 0;
    virtual std::unique_ptr<RecordSet> Execute(const QString& commandText) = 0;
    /** `OpenSchema(20)`: the table list with the fields "TABLE_NAME" and "TABLE_TYPE", read whole. */
    virtual std::unique_ptr<RecordSet> OpenSchema(int schema) = 0;
    virtual void Close() = 0;
    /** Informational messages (SQL_SUCCESS_WITH_INFO) of the last operation, with the driver's prefixes. */
    virtual QStringList infoMessages() const = 0;
    /**
     * Asks the server to stop what the connection's statements are doing. The one call that may come from another
     * thread, while the connection's own thread waits in the driver: the waiting call then fails with the driver's
     * text. Does nothing when no statement is there; never throws.
     */
    virtual void cancel() noexcept { }
};

/** Creates connections ("ADODB.Connection"): the ODBC layer in the program, the in-memory database in tests. */
class ConnectionFactory
{
public:
    /** Ten minutes: far longer than any server takes between two packets, short enough that a hung backup ends. */
    static constexpr int DefaultStatementTimeout = 600;

    virtual ~ConnectionFactory() = default;
    /** A new, closed connection; throws Failure when none can be made. */
    virtual std::unique_ptr<Connection> createConnection() = 0;

    /**
     * Seconds that a statement of a connection made from now on may wait for the server to send anything, while it
     * runs and while its rows are read; past it the statement fails with the driver's text. 0: no bound.
     */
    int statementTimeout() const { return m_statementTimeout; }
    void setStatementTimeout(int seconds) { m_statementTimeout = seconds; }

private:
    int m_statementTimeout = DefaultStatementTimeout;
};
