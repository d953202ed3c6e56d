#pragma once

#include "BackupFile.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QIODevice>
#include <QString>

#include <functional>
#include <memory>

/** True when the bytes begin with gzip's magic number, 1f 8b. */
bool isGzip(QByteArrayView head);

/**
 * A push-model gzip compressor: bytes go in, compressed bytes come out, and `finish()` ends the gzip member with its
 * trailer. One compressor writes one member; a file to which a second script is appended holds two members, which
 * every gzip reader (and `GzipReader`) reads as one stream. It is ISA-L's igzip where the build found ISA-L, zlib
 * elsewhere. Throws Failure when the compressor fails.
 */
class GzipCompressor
{
public:
    /** The level of backup files: the fastest that still compresses well (igzip takes 0 and 1 here). */
    static constexpr int DefaultLevel = 1;

    explicit GzipCompressor(int level = DefaultLevel);
    ~GzipCompressor();
    GzipCompressor(const GzipCompressor&) = delete;
    GzipCompressor& operator=(const GzipCompressor&) = delete;

    /** Compresses `bytes`; returns the compressed bytes ready so far (the gzip header first; may be empty later). */
    QByteArray feed(QByteArrayView bytes);
    /** Everything still held back and the trailer (CRC-32 and length). Nothing may be fed afterwards. */
    QByteArray finish();

    /** Bytes fed so far. */
    qint64 bytesIn() const;

    /** True when the compressor is ISA-L's igzip rather than zlib. */
    static bool usesIgzip();

private:
    struct State;
    std::unique_ptr<State> m_state;
};

/** A stage for BackupFile that compresses the script into one gzip member. */
std::unique_ptr<ByteStage> makeGzipStage(int level = GzipCompressor::DefaultLevel);

/**
 * A read-only, sequential device that decompresses a gzip stream of one or more members from another device, a
 * piece at a time. A stream that ends inside a member, holds bytes that are not gzip data, or fails its check sum
 * makes the read fail (`read()` returns -1 and `hasFailed()` is true) with the text "The file ... is damaged: ...";
 * it never ends short in silence.
 */
class GzipReader : public QIODevice
{
    Q_OBJECT

public:
    /** Reads from `source`, which must be open for reading; `name` (the file's path) goes into the messages. */
    GzipReader(QIODevice* source, const QString& name, QObject* parent = nullptr);
    /** The same over a source that the reader owns and closes. */
    GzipReader(std::unique_ptr<QIODevice> source, const QString& name, QObject* parent = nullptr);
    ~GzipReader() override;

    bool isSequential() const override { return true; }
    bool atEnd() const override;
    qint64 bytesAvailable() const override;
    void close() override;

    /** True once the stream proved damaged (or could not be read); `errorString()` says why. */
    bool hasFailed() const { return m_failed; }

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char* data, qint64 size) override;

private:
    bool fail(const QString& why);
    bool failWith(const QString& text);
    bool refill();

    struct State;
    std::unique_ptr<State> m_state;
    std::unique_ptr<QIODevice> m_owned;
    QIODevice* m_source = nullptr;
    QString m_name;
    bool m_sourceDone = false;
    bool m_memberEnded = false;
    bool m_end = false;
    bool m_failed = false;
};

/**
 * Opens a script file for reading as a device: a plain file as it is, a gzip file (told by its first two bytes, not by
 * its name) through a `GzipReader`. Throws Failure when the file cannot be opened.
 */
std::unique_ptr<QIODevice> openScriptFile(const QString& path);

/**
 * The whole content of an open script file: its bytes, decompressed when they begin with the gzip magic. Throws
 * Failure when the file is damaged or cannot be read; a damaged file never yields part of its text.
 */
QByteArray readScriptBytes(QIODevice& file, const QString& name);

/**
 * Reads an open device through to its end, `pieceSize` bytes at a time, handing each piece to `use` (which may be
 * empty); returns how many bytes it read. Throws Failure with the device's error when a read fails: a damaged gzip
 * stream (a `GzipReader`) fails here wherever its damage lies, so a caller that reads it through first learns its
 * decompressed size and whether it is whole before it uses any of it.
 */
qint64 readThrough(QIODevice& device, qint64 pieceSize, const std::function<void(QByteArrayView piece)>& use = {});
