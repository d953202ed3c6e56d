#pragma once

#include "TdsServer.h"

#include <QByteArray>
#include <QString>
#include <QVariant>

namespace tds {

// Packet types.
inline constexpr quint8 PacketSqlBatch = 0x01;
inline constexpr quint8 PacketRpc = 0x03;
inline constexpr quint8 PacketReply = 0x04;
inline constexpr quint8 PacketAttention = 0x06;
inline constexpr quint8 PacketLogin7 = 0x10;
inline constexpr quint8 PacketPrelogin = 0x12;

// DONE status bits.
inline constexpr quint16 DoneFinal = 0x0000;
inline constexpr quint16 DoneMore = 0x0001;
inline constexpr quint16 DoneError = 0x0002;
inline constexpr quint16 DoneCount = 0x0010;
inline constexpr quint16 DoneAttention = 0x0020;

// Token types.
inline constexpr quint8 TokenDone = 0xFD;
inline constexpr quint8 TokenDoneProc = 0xFE;
inline constexpr quint8 TokenDoneInProc = 0xFF;

/** SQL_Latin1_General_CP1_CI_AS as TDS carries it. */
extern const QByteArray Collation;

/** Little-endian appenders for building token bodies. */
void putU8(QByteArray& out, quint8 value);
void putU16(QByteArray& out, quint16 value);
void putU32(QByteArray& out, quint32 value);
void putU64(QByteArray& out, quint64 value);
void putUtf16(QByteArray& out, const QString& text);
/** Length in characters (1 byte) then UTF-16. */
void putBVarChar(QByteArray& out, const QString& text);
/** Length in characters (2 bytes) then UTF-16. */
void putUsVarChar(QByteArray& out, const QString& text);

/** Text in Windows-1252, the code page of the collation; characters it lacks become '?'. */
QByteArray toCp1252(const QString& text);
QString fromCp1252(const QByteArray& bytes);

/**
 * Builds the reply stream directly as packets of the negotiated size: tokens are appended, packet headers are put in
 * as each packet fills, and `flush` hands the finished packets to a sink (the socket).
 */
class PacketWriter
{
public:
    explicit PacketWriter(int packetSize = 4096, quint16 spid = 51);

    void setPacketSize(int size);
    int packetSize() const { return m_packetSize; }

    void append(const char* data, qsizetype size);
    void append(const QByteArray& bytes) { append(bytes.constData(), bytes.size()); }
    void appendU8(quint8 value);

    /** Bytes of finished packets waiting for `take` (the current partial packet not counted). */
    qsizetype pendingBytes() const { return m_packetStart; }
    /** Takes the finished packets; with `endOfMessage` the current packet is closed as the message's last. */
    QByteArray take(bool endOfMessage);
    /** Closes the current packet early (not full, not last) and takes everything: for rows sent one by one. */
    QByteArray takePartial();

private:
    void startPacket();
    void closePacket(bool last);

    QByteArray m_out;
    qsizetype m_packetStart = 0;
    int m_packetSize;
    quint16 m_spid;
    quint8 m_packetId = 1;
};

// Token bodies.
QByteArray doneToken(quint8 token, quint16 status, quint16 command, quint64 rowCount);
QByteArray
messageToken(bool error, int number, int state, int severity, const QString& text, const QString& server, int line);
QByteArray envChangeToken(quint8 type, const QByteArray& newValue, const QByteArray& oldValue);
QByteArray envChangeText(quint8 type, const QString& newValue, const QString& oldValue);
QByteArray loginAckToken();
QByteArray returnStatusToken(qint32 status);
QByteArray colMetadataToken(const QList<ColumnSpec>& columns, const QString& tableName);

/** Appends one ROW token with the values (invalid QVariant is NULL); throws std::invalid_argument on a bad value. */
void encodeRow(QByteArray& out, const QList<ColumnSpec>& columns, const Row& row);

// information_schema.Columns as SQL Server reports the type.
QVariant characterMaximumLength(const ColumnSpec& column);
QVariant numericPrecision(const ColumnSpec& column);
QVariant numericScale(const ColumnSpec& column);
/** information_schema.Columns.DATETIME_PRECISION: fractional digits of the date and time types. */
QVariant datetimePrecision(const ColumnSpec& column);
/** information_schema.Columns.COLLATION_NAME: the database's collation for the character types. */
QVariant collationName(const ColumnSpec& column);

/** A parsed date/time value: days since 0001-01-01, 100 ns units since midnight and an offset in minutes. */
struct Temporal
{
    qint64 days = 0;
    qint64 ticks = 0;
    int offsetMinutes = 0;
};
/** Parses QDateTime, QDate, QTime or text "yyyy-MM-dd[ T]hh:mm:ss[.fffffff][ +hh:mm]" (date or time alone too). */
Temporal toTemporal(const QVariant& value);

} // namespace tds
