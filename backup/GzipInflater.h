#pragma once

#include <QString>

#include <memory>

/**
 * The inflating half of GzipReader over the compression library of the build: GzipIsal.cpp (ISA-L's igzip) or
 * GzipZlib.cpp (zlib), one of which CMake builds beside Gzip.cpp.
 */
class GzipInflater
{
public:
    enum class Step { Going, MemberEnded, Failed };

    GzipInflater();
    ~GzipInflater();
    GzipInflater(const GzipInflater&) = delete;
    GzipInflater& operator=(const GzipInflater&) = delete;

    /** Starts the library's stream; sets `error` when it cannot. */
    void init(QString& error);
    void end();
    /** Starts the next gzip member, keeping the input not yet taken. */
    void startMember();
    void setInput(char* data, qint64 size);
    qint64 inputLeft() const;
    void setOutput(char* data, qint64 size);
    qint64 outputLeft() const;
    /** Inflates what input and output room allow; on Failed, `error` says why. */
    Step step(QString& error);

private:
    struct Stream;
    std::unique_ptr<Stream> m_stream;
};
