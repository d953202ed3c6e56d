// Gzip through zlib, in builds without ISA-L (Windows, or TESSALINE_USE_ISAL off): the compressor of
// GzipCompressor and the inflater of GzipReader. GzipIsal.cpp is the same over igzip; CMake builds one of the two.
#include "Gzip.h"
#include "GzipInflater.h"

#include "Failure.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdint>

using namespace Qt::Literals::StringLiterals;

namespace {

/** Output grows by at least this much while the compressor works. */
constexpr qsizetype OutputChunk = 64 * 1024;
/** zlib's window bits with 16 added: a gzip header and trailer rather than zlib's own. */
constexpr int GzipWindowBits = 15 + 16;

QString zlibText(const z_stream& stream, int code)
{
    if (stream.msg)
        return QString::fromLatin1(stream.msg);
    return u"zlib error "_s + QString::number(code);
}

} // namespace

struct GzipCompressor::State
{
    z_stream stream{};
    bool finished = false;
    qint64 bytesIn = 0;
};

GzipCompressor::GzipCompressor(int level)
    : m_state(std::make_unique<State>())
{
    const int code = deflateInit2(&m_state->stream, level, Z_DEFLATED, GzipWindowBits, 8, Z_DEFAULT_STRATEGY);
    if (code != Z_OK)
        throw Failure(u"The compressor cannot start: "_s + zlibText(m_state->stream, code), 7);
}

GzipCompressor::~GzipCompressor()
{
    deflateEnd(&m_state->stream);
}

namespace {

/** Runs deflate with `flush` until it has taken all input (and, for Z_FINISH, written the trailer). */
void deflateInto(z_stream& stream, int flush, QByteArray& out)
{
    for (;;) {
        const qsizetype used = out.size();
        const qsizetype room = std::max<qsizetype>(OutputChunk, qsizetype(deflateBound(&stream, stream.avail_in)));
        out.resize(used + room);
        stream.next_out = reinterpret_cast<Bytef*>(out.data() + used);
        stream.avail_out = uInt(room);
        const int code = deflate(&stream, flush);
        out.resize(used + (room - qsizetype(stream.avail_out)));
        if (code == Z_STREAM_END)
            return;
        if (code != Z_OK && code != Z_BUF_ERROR)
            throw Failure(u"The compressor failed: "_s + zlibText(stream, code), 7);
        // Without Z_FINISH deflate is done once it took all input and left room unused.
        if (flush != Z_FINISH && stream.avail_in == 0 && stream.avail_out > 0)
            return;
    }
}

} // namespace

QByteArray GzipCompressor::feed(QByteArrayView bytes)
{
    if (m_state->finished)
        throw Failure(u"The compressed member is already finished."_s, 5);
    QByteArray out;
    z_stream& stream = m_state->stream;
    const char* at = bytes.data();
    qsizetype left = bytes.size();
    m_state->bytesIn += left;
    do {
        // zlib counts in unsigned int: very large pieces go in parts.
        const qsizetype part = std::min<qsizetype>(left, qsizetype(UINT_MAX / 2));
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(at));
        stream.avail_in = uInt(part);
        deflateInto(stream, Z_NO_FLUSH, out);
        at += part;
        left -= part;
    } while (left > 0);
    return out;
}

QByteArray GzipCompressor::finish()
{
    if (m_state->finished)
        return {};
    QByteArray out;
    m_state->stream.next_in = nullptr;
    m_state->stream.avail_in = 0;
    deflateInto(m_state->stream, Z_FINISH, out);
    m_state->finished = true;
    return out;
}

qint64 GzipCompressor::bytesIn() const
{
    return m_state->bytesIn;
}

bool GzipCompressor::usesIgzip()
{
    return false;
}

struct GzipInflater::Stream
{
    z_stream stream{};
    bool initialised = false;
};

GzipInflater::GzipInflater()
    : m_stream(std::make_unique<Stream>())
{ }

GzipInflater::~GzipInflater() = default;

void GzipInflater::init(QString& error)
{
    const int code = inflateInit2(&m_stream->stream, GzipWindowBits);
    m_stream->initialised = code == Z_OK;
    if (!m_stream->initialised)
        error = zlibText(m_stream->stream, code);
}

void GzipInflater::end()
{
    if (m_stream->initialised)
        inflateEnd(&m_stream->stream);
}

void GzipInflater::startMember()
{
    inflateReset(&m_stream->stream);
}

void GzipInflater::setInput(char* data, qint64 size)
{
    m_stream->stream.next_in = reinterpret_cast<Bytef*>(data);
    m_stream->stream.avail_in = uInt(size);
}

qint64 GzipInflater::inputLeft() const
{
    return m_stream->stream.avail_in;
}

void GzipInflater::setOutput(char* data, qint64 size)
{
    m_stream->stream.next_out = reinterpret_cast<Bytef*>(data);
    m_stream->stream.avail_out = uInt(std::min<qint64>(size, UINT_MAX));
}

qint64 GzipInflater::outputLeft() const
{
    return m_stream->stream.avail_out;
}

GzipInflater::Step GzipInflater::step(QString& error)
{
    z_stream& stream = m_stream->stream;
    const int code = inflate(&stream, Z_NO_FLUSH);
    if (code == Z_STREAM_END)
        return Step::MemberEnded;
    if (code == Z_OK || (code == Z_BUF_ERROR && stream.avail_in == 0))
        return Step::Going;
    error = zlibText(stream, code) + u'.';
    return Step::Failed;
}
