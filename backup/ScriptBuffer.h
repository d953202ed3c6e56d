#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

/**
 * A growing byte buffer for script text (UTF-8, CR LF line ends). The dump renders INSERT lines straight into it and
 * appends its content to the file in one write, so rendering a value allocates nothing in the common case.
 */
class ScriptBuffer
{
public:
    const char* data() const { return m_data.get(); }
    std::size_t size() const { return m_size; }
    bool isEmpty() const { return m_size == 0; }
    void clear() { m_size = 0; }

    /** Room for `count` more bytes at the end; write into it, then `commit` what was written. */
    char* reserveTail(std::size_t count)
    {
        if (m_capacity - m_size < count)
            grow(count);
        return m_data.get() + m_size;
    }
    void commit(std::size_t count) { m_size += count; }

    void append(std::string_view bytes)
    {
        std::memcpy(reserveTail(bytes.size()), bytes.data(), bytes.size());
        m_size += bytes.size();
    }
    void append(const QByteArray& bytes) { append(std::string_view(bytes.constData(), std::size_t(bytes.size()))); }
    void append(char c) { *reserveTail(1) = c, ++m_size; }

    /** Puts `bytes` in place of the `count` bytes at `at`; what follows them moves. */
    void replace(std::size_t at, std::size_t count, std::string_view bytes)
    {
        const std::size_t tail = m_size - at - count;
        if (bytes.size() > count)
            reserveTail(bytes.size() - count);
        char* place = m_data.get() + at;
        std::memmove(place + bytes.size(), place + count, tail);
        std::memcpy(place, bytes.data(), bytes.size());
        m_size = m_size - count + bytes.size();
    }

    /** Appends text as UTF-8 followed by CR LF: one line of the script. */
    void appendLine(const QString& text)
    {
        append(text.toUtf8());
        append(std::string_view("\r\n"));
    }

    QByteArray toByteArray() const { return QByteArray(data(), qsizetype(m_size)); }

private:
    void grow(std::size_t count)
    {
        std::size_t capacity = m_capacity == 0 ? 64 * 1024 : m_capacity * 2;
        while (capacity - m_size < count)
            capacity *= 2;
        auto bigger = std::make_unique_for_overwrite<char[]>(capacity);
        if (m_size > 0)
            std::memcpy(bigger.get(), m_data.get(), m_size);
        m_data = std::move(bigger);
        m_capacity = capacity;
    }

    std::unique_ptr<char[]> m_data;
    std::size_t m_size = 0;
    std::size_t m_capacity = 0;
};
