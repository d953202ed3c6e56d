#include "ScriptReader.h"

#include "Failure.h"

#include <QIODevice>

ScriptReader::ScriptReader(
    QIODevice& device, ScriptBatcher& batcher, qint64 limit, bool fromStart, QString failurePrefix)
    : m_device(device)
    , m_batcher(batcher)
    , m_limit(limit)
    , m_fromStart(fromStart)
    , m_failurePrefix(std::move(failurePrefix))
    , m_piece(ReadPiece, Qt::Uninitialized)
{ }

bool ScriptReader::readPiece()
{
    if (m_finished)
        return false;
    const qint64 want = m_limit < 0 ? ReadPiece : qMin(ReadPiece, m_limit - m_read);
    const qint64 read = want > 0 ? m_device.read(m_piece.data(), want) : 0;
    if (read < 0 || (read == 0 && want > 0 && m_limit >= 0))
        throw Failure(m_failurePrefix + m_device.errorString(), 62);
    if (read == 0) {
        m_batcher.finish();
        m_finished = true;
        return false;
    }
    if (m_fromStart && m_read == 0 && read >= 3 && m_piece.startsWith("\xEF\xBB\xBF"))
        m_batcher.setFirstByte(3); // the decoder drops the byte-order mark
    m_read += read;
    m_batcher.feed(QString(m_decoder.decode(QByteArrayView(m_piece.constData(), read))));
    return true;
}
