#pragma once

#include "ScriptBatcher.h"
#include "ScriptTextDecoder.h"

#include <QByteArray>
#include <QString>

class QIODevice;

/**
 * The one reader of a script's text for every restore path: reads a device a piece at a time, decodes it
 * (ScriptTextDecoder: UTF-8, a leading byte-order mark dropped, a character split between two pieces held) and feeds
 * the batcher, which cuts it into batches that know their place in the file.
 */
class ScriptReader
{
public:
    /** The bytes read at a time. */
    static constexpr qint64 ReadPiece = 256 * 1024;

    /**
     * Reads `device` from where it stands, `limit` bytes (-1: to its end). A read from the file's start (`fromStart`)
     * counts a byte-order mark in the batches' byte positions; a read from a batch boundary is resumed on the batcher
     * before. A read that fails, or ends before `limit`, throws Failure (62): `failurePrefix` and the device's error.
     */
    ScriptReader(QIODevice& device,
                 ScriptBatcher& batcher,
                 qint64 limit = -1,
                 bool fromStart = true,
                 QString failurePrefix = {});

    /** Reads and feeds the next piece; at the end it finishes the batcher and returns false. */
    bool readPiece();

    /** Calls `each` with every batch, in order, until it returns false; false then. */
    template <typename Each> bool forEachBatch(Each each)
    {
        for (bool more = true; more;) {
            more = readPiece();
            while (m_batcher.hasBatch()) {
                if (!each(m_batcher.takeBatch()))
                    return false;
            }
        }
        return true;
    }

    /** Bytes of the device read so far. */
    qint64 bytesRead() const { return m_read; }
    /** True when the bytes were not all UTF-8: the batches' byte positions do not hold. */
    bool decodingFailed() const { return m_decoder.hasError(); }

private:
    QIODevice& m_device;
    ScriptBatcher& m_batcher;
    qint64 m_limit;
    bool m_fromStart;
    QString m_failurePrefix;
    ScriptTextDecoder m_decoder;
    QByteArray m_piece;
    qint64 m_read = 0;
    bool m_finished = false;
};
