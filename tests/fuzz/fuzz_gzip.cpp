// The gzip reader: any bytes are read to an end or refused, never a crash or a read without end; what a compressor
// (the program's own, and zlib's at another level) makes of any bytes reads back as those bytes, two members one after
// the other read as one stream, and with one byte changed a file reads back the same or is refused.
#include "Gzip.h"

#include <QBuffer>

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
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

/** One gzip member made by zlib itself (as gzip(1) and other tools make them) at `level`. */
QByteArray zlibMember(const QByteArray& input, int level)
{
    z_stream stream{};
    if (deflateInit2(&stream, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        std::abort();
    QByteArray out(qsizetype(deflateBound(&stream, uLong(input.size()))) + 64, Qt::Uninitialized);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.constData()));
    stream.avail_in = uInt(input.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = uInt(out.size());
    if (deflate(&stream, Z_FINISH) != Z_STREAM_END)
        std::abort();
    out.resize(qsizetype(stream.total_out));
    deflateEnd(&stream);
    return out;
}

/** `compressed` read back whole as `expected`; with one byte changed, read back the same or refused. */
void checkRoundTrip(QByteArray compressed, const QByteArray& expected, qint64 piece, std::uint8_t salt)
{
    QByteArray back;
    if (!readAll(compressed, piece, back) || back != expected)
        std::abort();
    if (compressed.isEmpty())
        return;
    compressed[qsizetype(salt) * 7 % compressed.size()] ^= char(1 + salt % 255);
    QByteArray damaged;
    if (readAll(compressed, piece, damaged) && damaged != expected)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    std::fprintf(stderr, "gzip reader: %s\n", GzipCompressor::usesIgzip() ? "ISA-L igzip" : "zlib");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const qint64 piece = 1 + data[0] * 31;
    const QByteArray input(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));

    // The bytes as a file that claims to be gzip.
    QByteArray out;
    readAll(input, piece, out);

    // The bytes through the program's compressor, as a backup is written.
    GzipCompressor compressor;
    QByteArray own = compressor.feed(input);
    own += compressor.finish();
    checkRoundTrip(own, input, piece, data[0]);

    // zlib's member at a level of the input's choosing, followed by the program's: two scripts in one file.
    const QByteArray other = zlibMember(input, data[0] % 10);
    checkRoundTrip(other, input, piece, std::uint8_t(data[0] + 1));
    checkRoundTrip(other + own, input + input, piece, std::uint8_t(data[0] + 2));
    return 0;
}
