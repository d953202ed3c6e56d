#include "Gzip.h"
#include "GzipInflater.h"

#include "Failure.h"

#include <QFile>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace {

/** Compressed bytes are read from the source in pieces of this size. */
constexpr qint64 InputChunk = 64 * 1024;

} // namespace

bool isGzip(QByteArrayView head)
{
    return head.size() >= 2 && quint8(head[0]) == 0x1f && quint8(head[1]) == 0x8b;
}

namespace {

class GzipStage : public ByteStage
{
public:
    explicit GzipStage(int level)
        : m_compressor(level)
    { }
    QByteArray put(const char* data, std::size_t size) override
    {
        return m_compressor.feed(QByteArrayView(data, qsizetype(size)));
    }
    QByteArray finish() override { return m_compressor.finish(); }

private:
    GzipCompressor m_compressor;
};

} // namespace

std::unique_ptr<ByteStage> makeGzipStage(int level)
{
    return std::make_unique<GzipStage>(level);
}

// ---- GzipReader

// The inflating itself is the compression library's (GzipInflater.h); the reader keeps its input beside it.
struct GzipReader::State : GzipInflater
{
    QByteArray input;
};

GzipReader::GzipReader(QIODevice* source, const QString& name, QObject* parent)
    : QIODevice(parent)
    , m_state(std::make_unique<State>())
    , m_source(source)
    , m_name(name)
{
    QString error;
    m_state->init(error);
    if (!error.isEmpty())
        fail(error);
    m_state->input.resize(InputChunk);
    QIODevice::open(QIODevice::ReadOnly);
}

GzipReader::GzipReader(std::unique_ptr<QIODevice> source, const QString& name, QObject* parent)
    : GzipReader(source.get(), name, parent)
{
    m_owned = std::move(source);
}

GzipReader::~GzipReader()
{
    m_state->end();
}

bool GzipReader::atEnd() const
{
    return (m_end || m_failed) && QIODevice::bytesAvailable() == 0;
}

qint64 GzipReader::bytesAvailable() const
{
    // More may come while the stream has not ended: callers that wait for bytes keep reading.
    return QIODevice::bytesAvailable() + ((m_end || m_failed) ? 0 : 1);
}

void GzipReader::close()
{
    QIODevice::close();
    if (m_owned)
        m_owned->close();
}

bool GzipReader::fail(const QString& why)
{
    return failWith(u"The file "_s + m_name + u" is damaged: "_s + why);
}

bool GzipReader::failWith(const QString& text)
{
    m_failed = true;
    setErrorString(text);
    return false;
}

bool GzipReader::refill()
{
    if (m_sourceDone)
        return false;
    const qint64 got = m_source->read(m_state->input.data(), InputChunk);
    if (got < 0)
        return failWith(u"The file "_s + m_name + u" cannot be read: "_s + m_source->errorString());
    if (got == 0) {
        m_sourceDone = true;
        return false;
    }
    m_state->setInput(m_state->input.data(), got);
    return true;
}

qint64 GzipReader::readData(char* data, qint64 maxSize)
{
    if (m_failed)
        return -1;
    if (m_end || maxSize <= 0)
        return 0;
    State& state = *m_state;
    state.setOutput(data, maxSize);
    const qint64 room = state.outputLeft();

    // Decompresses until the caller's room is full or the stream ends; a file source never makes us wait.
    while (state.outputLeft() > 0) {
        if (state.inputLeft() == 0 && !refill()) {
            if (m_failed)
                return -1;
            if (m_memberEnded) {
                m_end = true; // the last member ended with the file
                break;
            }
            fail(u"it ends before its compressed data is complete."_s);
            return -1;
        }
        if (m_memberEnded) {
            // More bytes after a member: they must be the next member (a script appended in the same minute).
            state.startMember();
            m_memberEnded = false;
        }
        QString error;
        switch (state.step(error)) {
        case State::Step::MemberEnded:
            m_memberEnded = true;
            break;
        case State::Step::Going:
            break;
        case State::Step::Failed:
            fail(error);
            return -1;
        }
    }
    return room - state.outputLeft();
}

qint64 GzipReader::writeData(const char*, qint64)
{
    return -1;
}

// ---- opening and reading script files

std::unique_ptr<QIODevice> openScriptFile(const QString& path)
{
    auto file = std::make_unique<QFile>(path);
    if (!file->open(QIODevice::ReadOnly))
        throw Failure(file->errorString(), 53);
    if (!isGzip(file->peek(2)))
        return file;
    return std::make_unique<GzipReader>(std::move(file), path);
}

QByteArray readScriptBytes(QIODevice& file, const QString& name)
{
    if (!isGzip(file.peek(2)))
        return file.readAll();
    GzipReader reader(&file, name);
    QByteArray bytes = reader.readAll();
    if (reader.hasFailed())
        throw Failure(reader.errorString(), 62);
    return bytes;
}

qint64 readThrough(QIODevice& device, qint64 pieceSize, const std::function<void(QByteArrayView piece)>& use)
{
    QByteArray piece(pieceSize, Qt::Uninitialized);
    qint64 total = 0;
    for (;;) {
        const qint64 read = device.read(piece.data(), piece.size());
        if (read < 0)
            throw Failure(device.errorString(), 62);
        if (read == 0)
            return total;
        total += read;
        if (use)
            use(QByteArrayView(piece.constData(), read));
    }
}
