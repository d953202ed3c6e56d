// The gzip reader: any bytes are read to an end or refused, never a crash or a read without end; what the
// compressor makes of any bytes reads back as those bytes, and with one byte changed it reads back the same or is
// refused.
#include "Gzip.h"

#include <QBuffer>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

/** Reads the whole stream in pieces of `piece` bytes; false when the reader refused it. */
bool readAll(const QByteArray& bytes, qint64 piece, QByteArray& out)
{
    QBuffer source;
    source.setData(bytes);
    source.open(QIODevice::ReadOnly);
    GzipReader reader(&source, QStringLiteral("fuzz.sql.gz"));
    reader.open(QIODevice::ReadOnly);
    QByteArray chunk(piece, Qt::Uninitialized);
    // Every read that succeeds gives at least one byte: a stream can give no more reads than it can give bytes,
    // allowing for a generous output ratio.
    const qint64 bound = 1024 + bytes.size() * 1100;
    for (qint64 reads = 0;; ++reads) {
        if (reads > bound)
            std::abort();
        const qint64 got = reader.read(chunk.data(), piece);
        if (got < 0) {
            if (!reader.hasFailed())
                std::abort();
            return false;
        }
        if (got == 0)
            return !reader.hasFailed();
        out.append(chunk.constData(), got);
        if (out.size() > 64 * 1024 * 1024)
            return true; // a bomb: far larger than any input here makes; it read, which is all this checks
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const qint64 piece = 1 + data[0] * 31;
    const QByteArray input(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));

    // The bytes as a file that claims to be gzip.
    QByteArray out;
    readAll(input, piece, out);

    // The bytes through the compressor: read back whole.
    GzipCompressor compressor;
    QByteArray compressed = compressor.feed(input);
    compressed += compressor.finish();
    QByteArray back;
    if (!readAll(compressed, piece, back) || back != input)
        std::abort();

    // One byte of the compressed file changed: the same bytes again, or refused.
    if (!compressed.isEmpty()) {
        compressed[qsizetype(data[0]) * 7 % compressed.size()] ^= char(1 + data[0] % 255);
        QByteArray damaged;
        if (readAll(compressed, piece, damaged) && damaged != input)
            std::abort();
    }
    return 0;
}
