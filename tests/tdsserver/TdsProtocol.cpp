#include "TdsProtocol.h"

#include <QDate>
#include <QDateTime>
#include <QRegularExpression>
#include <QTime>
#include <QUuid>

#include <cstring>
#include <stdexcept>

using namespace Qt::Literals::StringLiterals;

static_assert(Q_BYTE_ORDER == Q_LITTLE_ENDIAN, "the encoder copies UTF-16 and numbers in host order");

namespace tds {

const QByteArray Collation = QByteArray::fromHex("0904d00034");

namespace {

__extension__ typedef unsigned __int128 UInt128;

constexpr qint64 TicksPerSecond = 10'000'000;
constexpr qint64 TicksPerDay = 86'400 * TicksPerSecond;

constexpr quint8 TypeIntN = 0x26;
constexpr quint8 TypeBitN = 0x68;
constexpr quint8 TypeDecimalN = 0x6A;
constexpr quint8 TypeNumericN = 0x6C;
constexpr quint8 TypeFloatN = 0x6D;
constexpr quint8 TypeMoneyN = 0x6E;
constexpr quint8 TypeDateTimeN = 0x6F;
constexpr quint8 TypeDate = 0x28;
constexpr quint8 TypeTime = 0x29;
constexpr quint8 TypeDateTime2 = 0x2A;
constexpr quint8 TypeDateTimeOffset = 0x2B;
constexpr quint8 TypeGuid = 0x24;
constexpr quint8 TypeBigVarChar = 0xA7;
constexpr quint8 TypeBigChar = 0xAF;
constexpr quint8 TypeNVarChar = 0xE7;
constexpr quint8 TypeNChar = 0xEF;
constexpr quint8 TypeText = 0x23;
constexpr quint8 TypeNText = 0x63;
constexpr quint8 TypeImage = 0x22;
constexpr quint8 TypeXml = 0xF1;
constexpr quint8 TypeBigVarBinary = 0xA5;
constexpr quint8 TypeBigBinary = 0xAD;

constexpr quint16 UnlimitedLength = 0xFFFF;
constexpr quint32 UserTypeTimestamp = 80;

// Windows-1252 characters of 0x80..0x9F (0 where the code page has none).
constexpr char16_t Cp1252High[32]
    = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
       0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
       0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0};

[[noreturn]] void badValue(const ColumnSpec& column, const QVariant& value)
{
    throw std::invalid_argument(u"value %1 does not fit column %2"_s.arg(value.toString(), column.name).toStdString());
}

int temporalScale(const ColumnSpec& column)
{
    return column.scale < 0 || column.scale > 7 ? 7 : column.scale;
}

int decimalLength(int precision)
{
    if (precision <= 9)
        return 5;
    if (precision <= 19)
        return 9;
    if (precision <= 28)
        return 13;
    return 17;
}

int timeLength(int scale)
{
    return scale <= 2 ? 3 : scale <= 4 ? 4 : 5;
}

bool isMax(const ColumnSpec& column)
{
    return column.length == MaxLength;
}

void putBytes(QByteArray& out, quint64 value, int count)
{
    char bytes[8];
    for (int i = 0; i < count; ++i)
        bytes[i] = char((value >> (8 * i)) & 0xFF);
    out.append(bytes, count);
}

// Appends text in Windows-1252 without an intermediate buffer.
void appendCp1252(QByteArray& out, const QString& text)
{
    const qsizetype start = out.size();
    out.resize(start + text.size());
    char* to = out.data() + start;
    for (QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) {
            *to++ = char(u);
            continue;
        }
        char mapped = '?';
        for (int i = 0; i < 32; ++i) {
            if (Cp1252High[i] == u) {
                mapped = char(0x80 + i);
                break;
            }
        }
        *to++ = mapped;
    }
}

void putPlp(QByteArray& out, const char* data, qsizetype size)
{
    putU64(out, quint64(size));
    if (size > 0) {
        putU32(out, quint32(size));
        out.append(data, size);
    }
    putU32(out, 0);
}

qint64 toInteger(const ColumnSpec& column, const QVariant& value)
{
    if (value.typeId() == QMetaType::Bool)
        return value.toBool() ? 1 : 0;
    bool ok = false;
    const qint64 number = value.toLongLong(&ok);
    if (!ok)
        badValue(column, value);
    return number;
}

// The unscaled magnitude of a decimal text at the given scale; digits beyond the scale are cut.
UInt128 scaledMagnitude(const ColumnSpec& column, const QVariant& value, int scale, bool& negative)
{
    const QString text = value.typeId() == QMetaType::Double ? QString::number(value.toDouble(), 'f', scale)
                                                             : value.toString().trimmed();
    const QChar* c = text.constData();
    const QChar* end = c + text.size();
    negative = c != end && *c == u'-';
    if (c != end && (*c == u'-' || *c == u'+'))
        ++c;
    UInt128 magnitude = 0;
    int digits = 0;
    int fractionDigits = -1; // -1 before the point
    for (; c != end; ++c) {
        if (*c == u'.' && fractionDigits < 0) {
            fractionDigits = 0;
            continue;
        }
        if (c->unicode() < u'0' || c->unicode() > u'9')
            badValue(column, value);
        if (fractionDigits >= 0 && fractionDigits == scale)
            continue; // digits beyond the scale are cut
        magnitude = magnitude * 10 + UInt128(c->unicode() - u'0');
        ++digits;
        if (fractionDigits >= 0)
            ++fractionDigits;
    }
    if (digits == 0)
        badValue(column, value);
    for (int i = qMax(fractionDigits, 0); i < scale; ++i)
        magnitude *= 10;
    return magnitude;
}

void putTime(QByteArray& out, qint64 ticks, int scale)
{
    qint64 units = ticks;
    for (int i = scale; i < 7; ++i)
        units /= 10;
    putBytes(out, quint64(units), timeLength(scale));
}

void putFixedChars(QByteArray& out, const ColumnSpec& column, const QString& text, bool unicode)
{
    const bool pad = column.type == SqlType::Char || column.type == SqlType::NChar;
    const QString padded = pad ? text.leftJustified(column.length, u' ') : text;
    if (!unicode && !isMax(column)) {
        putU16(out, quint16(padded.size()));
        appendCp1252(out, padded);
        return;
    }
    if (unicode) {
        const qsizetype bytes = padded.size() * 2;
        if (isMax(column)) {
            putPlp(out, reinterpret_cast<const char*>(padded.utf16()), bytes);
        } else {
            putU16(out, quint16(bytes));
            out.append(reinterpret_cast<const char*>(padded.utf16()), bytes);
        }
    } else {
        const QByteArray bytes = toCp1252(padded);
        if (isMax(column)) {
            putPlp(out, bytes.constData(), bytes.size());
        } else {
            putU16(out, quint16(bytes.size()));
            out.append(bytes);
        }
    }
}

void putTextPointer(QByteArray& out)
{
    putU8(out, 16);
    out.append(16, '\x01');
    out.append(8, '\0');
}

void putTypeInfo(QByteArray& out, const ColumnSpec& column, const QString& tableName)
{
    auto tableParts = [&] {
        putU8(out, 1);
        putUsVarChar(out, tableName);
    };
    switch (column.type) {
    case SqlType::Int:
        out.append(char(TypeIntN)).append(char(4));
        break;
    case SqlType::BigInt:
        out.append(char(TypeIntN)).append(char(8));
        break;
    case SqlType::SmallInt:
        out.append(char(TypeIntN)).append(char(2));
        break;
    case SqlType::TinyInt:
        out.append(char(TypeIntN)).append(char(1));
        break;
    case SqlType::Bit:
        out.append(char(TypeBitN)).append(char(1));
        break;
    case SqlType::Decimal:
    case SqlType::Numeric:
        putU8(out, column.type == SqlType::Decimal ? TypeDecimalN : TypeNumericN);
        putU8(out, quint8(decimalLength(column.precision)));
        putU8(out, quint8(column.precision));
        putU8(out, quint8(qMax(column.scale, 0)));
        break;
    case SqlType::Float:
        out.append(char(TypeFloatN)).append(char(8));
        break;
    case SqlType::Real:
        out.append(char(TypeFloatN)).append(char(4));
        break;
    case SqlType::Money:
        out.append(char(TypeMoneyN)).append(char(8));
        break;
    case SqlType::SmallMoney:
        out.append(char(TypeMoneyN)).append(char(4));
        break;
    case SqlType::DateTime:
        out.append(char(TypeDateTimeN)).append(char(8));
        break;
    case SqlType::SmallDateTime:
        out.append(char(TypeDateTimeN)).append(char(4));
        break;
    case SqlType::Date:
        putU8(out, TypeDate);
        break;
    case SqlType::Time:
        putU8(out, TypeTime);
        putU8(out, quint8(temporalScale(column)));
        break;
    case SqlType::DateTime2:
        putU8(out, TypeDateTime2);
        putU8(out, quint8(temporalScale(column)));
        break;
    case SqlType::DateTimeOffset:
        putU8(out, TypeDateTimeOffset);
        putU8(out, quint8(temporalScale(column)));
        break;
    case SqlType::VarChar:
    case SqlType::Char:
        putU8(out, column.type == SqlType::VarChar ? TypeBigVarChar : TypeBigChar);
        putU16(out, isMax(column) ? UnlimitedLength : quint16(column.length));
        out.append(Collation);
        break;
    case SqlType::NVarChar:
    case SqlType::NChar:
        putU8(out, column.type == SqlType::NVarChar ? TypeNVarChar : TypeNChar);
        putU16(out, isMax(column) ? UnlimitedLength : quint16(column.length * 2));
        out.append(Collation);
        break;
    case SqlType::Text:
        putU8(out, TypeText);
        putU32(out, 0x7FFFFFFF);
        out.append(Collation);
        tableParts();
        break;
    case SqlType::NText:
        putU8(out, TypeNText);
        putU32(out, 0x7FFFFFFE);
        out.append(Collation);
        tableParts();
        break;
    case SqlType::Image:
        putU8(out, TypeImage);
        putU32(out, 0x7FFFFFFF);
        tableParts();
        break;
    case SqlType::Xml:
        putU8(out, TypeXml);
        putU8(out, 0);
        break;
    case SqlType::UniqueIdentifier:
        out.append(char(TypeGuid)).append(char(16));
        break;
    case SqlType::Binary:
    case SqlType::VarBinary:
        putU8(out, column.type == SqlType::VarBinary ? TypeBigVarBinary : TypeBigBinary);
        putU16(out, isMax(column) ? UnlimitedLength : quint16(column.length));
        break;
    case SqlType::RowVersion:
        putU8(out, TypeBigBinary);
        putU16(out, 8);
        break;
    }
}

bool isPlp(const ColumnSpec& column)
{
    switch (column.type) {
    case SqlType::VarChar:
    case SqlType::NVarChar:
    case SqlType::VarBinary:
        return isMax(column);
    case SqlType::Xml:
        return true;
    default:
        return false;
    }
}

void putNull(QByteArray& out, const ColumnSpec& column)
{
    if (isPlp(column)) {
        putU64(out, ~quint64(0));
        return;
    }
    switch (column.type) {
    case SqlType::VarChar:
    case SqlType::NVarChar:
    case SqlType::Char:
    case SqlType::NChar:
    case SqlType::Binary:
    case SqlType::VarBinary:
    case SqlType::RowVersion:
        putU16(out, 0xFFFF);
        break;
    default:
        putU8(out, 0); // text pointer length 0 for text/ntext/image, data length 0 for the nullable fixed types
    }
}

void putValue(QByteArray& out, const ColumnSpec& column, const QVariant& value)
{
    switch (column.type) {
    case SqlType::Int:
    case SqlType::BigInt:
    case SqlType::SmallInt:
    case SqlType::TinyInt: {
        const int size = column.type == SqlType::BigInt ? 8
            : column.type == SqlType::Int               ? 4
            : column.type == SqlType::SmallInt          ? 2
                                                        : 1;
        putU8(out, quint8(size));
        putBytes(out, quint64(toInteger(column, value)), size);
        break;
    }
    case SqlType::Bit:
        putU8(out, 1);
        putU8(out, toInteger(column, value) != 0 ? 1 : 0);
        break;
    case SqlType::Decimal:
    case SqlType::Numeric: {
        bool negative = false;
        const UInt128 magnitude = scaledMagnitude(column, value, qMax(column.scale, 0), negative);
        const int size = decimalLength(column.precision);
        putU8(out, quint8(size));
        putU8(out, negative ? 0 : 1);
        putBytes(out, quint64(magnitude), qMin(size - 1, 8));
        if (size > 9)
            putBytes(out, quint64(magnitude >> 64), size - 9);
        break;
    }
    case SqlType::Money:
    case SqlType::SmallMoney: {
        bool negative = false;
        // Two's complement in unsigned arithmetic: the smallest money value has no positive counterpart.
        const auto magnitude = quint64(scaledMagnitude(column, value, 4, negative));
        const quint64 units = negative ? ~magnitude + 1 : magnitude;
        if (column.type == SqlType::SmallMoney) {
            putU8(out, 4);
            putU32(out, quint32(units));
        } else {
            putU8(out, 8);
            putU32(out, quint32(units >> 32));
            putU32(out, quint32(units & 0xFFFFFFFF));
        }
        break;
    }
    case SqlType::Float: {
        bool ok = false;
        const double number = value.toDouble(&ok);
        if (!ok)
            badValue(column, value);
        putU8(out, 8);
        out.append(reinterpret_cast<const char*>(&number), 8);
        break;
    }
    case SqlType::Real: {
        bool ok = false;
        const float number = float(value.toDouble(&ok));
        if (!ok)
            badValue(column, value);
        putU8(out, 4);
        out.append(reinterpret_cast<const char*>(&number), 4);
        break;
    }
    case SqlType::DateTime:
    case SqlType::SmallDateTime: {
        const Temporal t = toTemporal(value);
        const qint64 days1900 = t.days - (QDate(1900, 1, 1).toJulianDay() - QDate(1, 1, 1).toJulianDay());
        if (column.type == SqlType::DateTime) {
            qint64 days = days1900;
            qint64 three = (t.ticks * 3 + 50'000) / 100'000; // 1/300 s
            if (three >= 300 * 86'400) {
                three -= 300 * 86'400;
                ++days;
            }
            putU8(out, 8);
            putU32(out, quint32(qint32(days)));
            putU32(out, quint32(three));
        } else {
            putU8(out, 4);
            putU16(out, quint16(days1900));
            putU16(out, quint16((t.ticks + 30 * TicksPerSecond) / (60 * TicksPerSecond)));
        }
        break;
    }
    case SqlType::Date: {
        putU8(out, 3);
        putBytes(out, quint64(toTemporal(value).days), 3);
        break;
    }
    case SqlType::Time: {
        const int scale = temporalScale(column);
        putU8(out, quint8(timeLength(scale)));
        putTime(out, toTemporal(value).ticks, scale);
        break;
    }
    case SqlType::DateTime2:
    case SqlType::DateTimeOffset: {
        const int scale = temporalScale(column);
        Temporal t = toTemporal(value);
        const bool offset = column.type == SqlType::DateTimeOffset;
        if (offset) {
            // Stored in UTC with the offset alongside.
            qint64 total = t.days * TicksPerDay + t.ticks - qint64(t.offsetMinutes) * 60 * TicksPerSecond;
            t.days = total / TicksPerDay;
            t.ticks = total % TicksPerDay;
        }
        putU8(out, quint8(timeLength(scale) + 3 + (offset ? 2 : 0)));
        putTime(out, t.ticks, scale);
        putBytes(out, quint64(t.days), 3);
        if (offset)
            putU16(out, quint16(qint16(t.offsetMinutes)));
        break;
    }
    case SqlType::VarChar:
    case SqlType::Char:
    case SqlType::NVarChar:
    case SqlType::NChar:
        putFixedChars(out, column, value.toString(), column.type == SqlType::NVarChar || column.type == SqlType::NChar);
        break;
    case SqlType::Text:
    case SqlType::NText:
    case SqlType::Image: {
        const QString text = value.toString();
        const QByteArray bytes = column.type == SqlType::Image ? value.toByteArray()
            : column.type == SqlType::Text                     ? toCp1252(text)
                                           : QByteArray(reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
        putTextPointer(out);
        putU32(out, quint32(bytes.size()));
        out.append(bytes);
        break;
    }
    case SqlType::Xml: {
        const QString text = value.toString();
        putPlp(out, reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
        break;
    }
    case SqlType::UniqueIdentifier: {
        const QUuid uuid = value.typeId() == QMetaType::QUuid ? value.toUuid() : QUuid(value.toString());
        if (uuid.isNull() && !value.toString().startsWith(u"00000000"))
            badValue(column, value);
        putU8(out, 16);
        putU32(out, uuid.data1);
        putU16(out, uuid.data2);
        putU16(out, uuid.data3);
        out.append(reinterpret_cast<const char*>(uuid.data4), 8);
        break;
    }
    case SqlType::Binary:
    case SqlType::VarBinary:
    case SqlType::RowVersion: {
        QByteArray bytes = value.toByteArray();
        if (column.type == SqlType::RowVersion)
            bytes = bytes.leftJustified(8, '\0', true);
        else if (column.type == SqlType::Binary)
            bytes = bytes.leftJustified(column.length, '\0');
        if (isMax(column)) {
            putPlp(out, bytes.constData(), bytes.size());
        } else {
            putU16(out, quint16(bytes.size()));
            out.append(bytes);
        }
        break;
    }
    }
}

} // namespace

void putU8(QByteArray& out, quint8 value)
{
    out.append(char(value));
}

void putU16(QByteArray& out, quint16 value)
{
    putBytes(out, value, 2);
}

void putU32(QByteArray& out, quint32 value)
{
    putBytes(out, value, 4);
}

void putU64(QByteArray& out, quint64 value)
{
    putBytes(out, value, 8);
}

void putUtf16(QByteArray& out, const QString& text)
{
    out.append(reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
}

void putBVarChar(QByteArray& out, const QString& text)
{
    putU8(out, quint8(text.size()));
    putUtf16(out, text);
}

void putUsVarChar(QByteArray& out, const QString& text)
{
    putU16(out, quint16(text.size()));
    putUtf16(out, text);
}

QByteArray toCp1252(const QString& text)
{
    QByteArray out;
    appendCp1252(out, text);
    return out;
}

QString fromCp1252(const QByteArray& bytes)
{
    QString out;
    out.reserve(bytes.size());
    for (char b : bytes) {
        const auto u = quint8(b);
        if (u >= 0x80 && u < 0xA0 && Cp1252High[u - 0x80] != 0)
            out.append(QChar(Cp1252High[u - 0x80]));
        else
            out.append(QChar(char16_t(u)));
    }
    return out;
}

PacketWriter::PacketWriter(int packetSize, quint16 spid)
    : m_packetSize(packetSize)
    , m_spid(spid)
{
    startPacket();
}

void PacketWriter::setPacketSize(int size)
{
    m_packetSize = qBound(512, size, 32767);
}

void PacketWriter::startPacket()
{
    m_packetStart = m_out.size();
    m_out.append(8, '\0');
}

void PacketWriter::closePacket(bool last)
{
    const qsizetype length = m_out.size() - m_packetStart;
    char* header = m_out.data() + m_packetStart;
    header[0] = char(PacketReply);
    header[1] = last ? 1 : 0;
    header[2] = char((length >> 8) & 0xFF);
    header[3] = char(length & 0xFF);
    header[4] = char(m_spid >> 8);
    header[5] = char(m_spid & 0xFF);
    header[6] = char(m_packetId++);
    header[7] = 0;
}

void PacketWriter::append(const char* data, qsizetype size)
{
    while (size > 0) {
        const qsizetype room = m_packetSize - (m_out.size() - m_packetStart);
        if (room <= 0) {
            closePacket(false);
            startPacket();
            continue;
        }
        const qsizetype part = qMin(room, size);
        m_out.append(data, part);
        data += part;
        size -= part;
    }
}

void PacketWriter::appendU8(quint8 value)
{
    const char c = char(value);
    append(&c, 1);
}

QByteArray PacketWriter::take(bool endOfMessage)
{
    QByteArray result;
    if (endOfMessage) {
        closePacket(true);
        result = std::move(m_out);
        m_out = QByteArray();
        m_out.reserve(m_packetSize);
        startPacket();
        return result;
    }
    result = m_out.left(m_packetStart);
    m_out.remove(0, m_packetStart);
    m_packetStart = 0;
    return result;
}

QByteArray PacketWriter::takePartial()
{
    if (m_out.size() - m_packetStart > 8) {
        closePacket(false);
        startPacket();
    }
    return take(false);
}

QByteArray doneToken(quint8 token, quint16 status, quint16 command, quint64 rowCount)
{
    QByteArray out;
    putU8(out, token);
    putU16(out, status);
    putU16(out, command);
    putU64(out, rowCount);
    return out;
}

QByteArray
messageToken(bool error, int number, int state, int severity, const QString& text, const QString& server, int line)
{
    QByteArray body;
    putU32(body, quint32(number));
    putU8(body, quint8(state));
    putU8(body, quint8(severity));
    putUsVarChar(body, text);
    putBVarChar(body, server);
    putBVarChar(body, QString());
    putU32(body, quint32(line));
    QByteArray out;
    putU8(out, error ? 0xAA : 0xAB);
    putU16(out, quint16(body.size()));
    return out + body;
}

QByteArray envChangeToken(quint8 type, const QByteArray& newValue, const QByteArray& oldValue)
{
    QByteArray body;
    putU8(body, type);
    body += newValue;
    body += oldValue;
    QByteArray out;
    putU8(out, 0xE3);
    putU16(out, quint16(body.size()));
    return out + body;
}

QByteArray envChangeText(quint8 type, const QString& newValue, const QString& oldValue)
{
    QByteArray newBytes;
    QByteArray oldBytes;
    putBVarChar(newBytes, newValue);
    putBVarChar(oldBytes, oldValue);
    return envChangeToken(type, newBytes, oldBytes);
}

QByteArray loginAckToken()
{
    QByteArray body;
    putU8(body, 1); // T-SQL
    body.append(QByteArray::fromHex("74000004"));
    putBVarChar(body, u"Microsoft SQL Server"_s);
    body.append(QByteArray::fromHex("10000FA0")); // 16.0.4000
    QByteArray out;
    putU8(out, 0xAD);
    putU16(out, quint16(body.size()));
    return out + body;
}

QByteArray returnStatusToken(qint32 status)
{
    QByteArray out;
    putU8(out, 0x79);
    putU32(out, quint32(status));
    return out;
}

QByteArray colMetadataToken(const QList<ColumnSpec>& columns, const QString& tableName)
{
    QByteArray out;
    putU8(out, 0x81);
    putU16(out, quint16(columns.size()));
    for (const ColumnSpec& column : columns) {
        const bool rowVersion = column.type == SqlType::RowVersion;
        putU32(out, rowVersion ? UserTypeTimestamp : 0);
        putU16(out, quint16((column.nullable && !rowVersion ? 0x0001 : 0) | 0x0008));
        putTypeInfo(out, column, tableName);
        putBVarChar(out, column.name);
    }
    return out;
}

void encodeRow(QByteArray& out, const QList<ColumnSpec>& columns, const Row& row)
{
    putU8(out, 0xD1);
    for (qsizetype i = 0; i < columns.size(); ++i) {
        const QVariant& value = i < row.size() ? row[i] : QVariant();
        if (!value.isValid() || value.isNull())
            putNull(out, columns[i]);
        else
            putValue(out, columns[i], value);
    }
}

QVariant characterMaximumLength(const ColumnSpec& column)
{
    switch (column.type) {
    case SqlType::VarChar:
    case SqlType::NVarChar:
    case SqlType::Char:
    case SqlType::NChar:
    case SqlType::Binary:
    case SqlType::VarBinary:
        return isMax(column) ? -1 : column.length;
    case SqlType::Text:
    case SqlType::Image:
        return 2147483647;
    case SqlType::NText:
        return 1073741823;
    case SqlType::Xml:
        return -1;
    default:
        return {};
    }
}

QVariant numericPrecision(const ColumnSpec& column)
{
    switch (column.type) {
    case SqlType::TinyInt:
        return 3;
    case SqlType::SmallInt:
        return 5;
    case SqlType::Int:
        return 10;
    case SqlType::BigInt:
    case SqlType::Money:
        return 19;
    case SqlType::SmallMoney:
        return 10;
    case SqlType::Decimal:
    case SqlType::Numeric:
        return column.precision;
    case SqlType::Float:
        return 53;
    case SqlType::Real:
        return 24;
    default:
        return {};
    }
}

QVariant numericScale(const ColumnSpec& column)
{
    switch (column.type) {
    case SqlType::TinyInt:
    case SqlType::SmallInt:
    case SqlType::Int:
    case SqlType::BigInt:
        return 0;
    case SqlType::Money:
    case SqlType::SmallMoney:
        return 4;
    case SqlType::Decimal:
    case SqlType::Numeric:
        return qMax(column.scale, 0);
    default:
        return {};
    }
}

QVariant datetimePrecision(const ColumnSpec& column)
{
    switch (column.type) {
    case SqlType::DateTime:
        return 3;
    case SqlType::SmallDateTime:
    case SqlType::Date:
        return 0;
    case SqlType::Time:
    case SqlType::DateTime2:
    case SqlType::DateTimeOffset:
        return column.scale < 0 ? 7 : column.scale;
    default:
        return {};
    }
}

QVariant collationName(const ColumnSpec& column)
{
    switch (column.type) {
    case SqlType::VarChar:
    case SqlType::NVarChar:
    case SqlType::Char:
    case SqlType::NChar:
    case SqlType::Text:
    case SqlType::NText:
        return u"SQL_Latin1_General_CP1_CI_AS"_s;
    default:
        return {};
    }
}

Temporal toTemporal(const QVariant& value)
{
    const qint64 epoch = QDate(1, 1, 1).toJulianDay();
    Temporal t;
    switch (value.typeId()) {
    case QMetaType::QDateTime: {
        const QDateTime dt = value.toDateTime();
        t.days = dt.date().toJulianDay() - epoch;
        t.ticks = qint64(dt.time().msecsSinceStartOfDay()) * 10'000;
        return t;
    }
    case QMetaType::QDate:
        t.days = value.toDate().toJulianDay() - epoch;
        return t;
    case QMetaType::QTime:
        t.ticks = qint64(value.toTime().msecsSinceStartOfDay()) * 10'000;
        return t;
    default:
        break;
    }
    static const QRegularExpression pattern(
        u"^(?:(\\d{4})-(\\d{2})-(\\d{2}))?[ T]?(?:(\\d{1,2}):(\\d{2})(?::(\\d{2})(?:\\.(\\d{1,7}))?)?)?"
        u"\\s*(?:([+-])(\\d{2}):(\\d{2}))?$"_s);
    const QString text = value.toString().trimmed();
    const QRegularExpressionMatch m = pattern.match(text);
    if (text.isEmpty() || !m.hasMatch())
        throw std::invalid_argument(u"not a date or time: %1"_s.arg(text).toStdString());
    if (m.capturedLength(1) > 0) {
        const QDate date(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt());
        if (!date.isValid())
            throw std::invalid_argument(u"not a date: %1"_s.arg(text).toStdString());
        t.days = date.toJulianDay() - epoch;
    }
    if (m.capturedLength(4) > 0) {
        t.ticks = (m.captured(4).toLongLong() * 3600 + m.captured(5).toLongLong() * 60 + m.captured(6).toLongLong())
            * TicksPerSecond;
        t.ticks += m.captured(7).leftJustified(7, u'0').toLongLong();
    }
    if (m.capturedLength(8) > 0) {
        t.offsetMinutes = m.captured(9).toInt() * 60 + m.captured(10).toInt();
        if (m.captured(8) == u"-")
            t.offsetMinutes = -t.offsetMinutes;
    }
    return t;
}

} // namespace tds
