#include "ScriptTextDecoder.h"

namespace {

/** The length of the UTF-8 sequence that begins with `lead`, or 0 when no sequence begins with it. */
int sequenceLength(unsigned char lead)
{
    if (lead < 0x80)
        return 1;
    if (lead >= 0xc2 && lead <= 0xdf)
        return 2;
    if (lead >= 0xe0 && lead <= 0xef)
        return 3;
    if (lead >= 0xf0 && lead <= 0xf4)
        return 4;
    return 0;
}

/** Whether `second` may follow `lead` (no overlong forms, no surrogates, nothing above U+10FFFF). */
bool secondFits(unsigned char lead, unsigned char second)
{
    if ((second & 0xc0) != 0x80)
        return false;
    switch (lead) {
    case 0xe0:
        return second >= 0xa0;
    case 0xed:
        return second < 0xa0;
    case 0xf0:
        return second >= 0x90;
    case 0xf4:
        return second < 0x90;
    default:
        return true;
    }
}

/**
 * Where the bytes stop being UTF-8: the offset of the first invalid sequence, or -1. `complete` is set to the end of
 * the last whole sequence (a sequence cut by the end of the bytes is not invalid: the next piece completes it).
 */
qsizetype firstInvalid(QByteArrayView bytes, qsizetype& complete)
{
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const qsizetype size = bytes.size();
    qsizetype i = 0;
    while (i < size) {
        if (data[i] < 0x80) {
            ++i;
            continue;
        }
        const int length = sequenceLength(data[i]);
        if (length == 0) {
            complete = i;
            return i;
        }
        for (int k = 1; k < length; ++k) {
            if (i + k >= size) {
                complete = i;
                return -1;
            }
            const bool fits = k == 1 ? secondFits(data[i], data[i + k]) : (data[i + k] & 0xc0) == 0x80;
            if (!fits) {
                complete = i;
                return i;
            }
        }
        i += length;
    }
    complete = size;
    return -1;
}

} // namespace

QString ScriptTextDecoder::decode(QByteArrayView bytes)
{
    if (m_system)
        return m_ansi.decode(bytes);
    QByteArray joined;
    if (!m_pending.isEmpty()) {
        joined = m_pending + bytes.toByteArray();
        bytes = joined;
        m_pending.clear();
    }
    qsizetype complete = 0;
    const qsizetype invalid = firstInvalid(bytes, complete);
    QString text = m_utf8.decode(bytes.first(complete));
    if (invalid < 0) {
        m_pending = bytes.sliced(complete).toByteArray();
        return text;
    }
    m_system = true;
    return text + QString(m_ansi.decode(bytes.sliced(invalid)));
}
