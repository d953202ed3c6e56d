#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringDecoder>

/**
 * The text of a script file from its bytes, a piece at a time. Scripts are UTF-8 (a leading byte-order mark is
 * dropped, a character split between two pieces is held for the next). A script written by another tool in the
 * system's ANSI code page (Windows-1252, 1250, ...) is not UTF-8: from its first byte sequence that is not UTF-8 on,
 * the rest is read in that code page (QStringConverter::System: the ANSI code page on Windows, the locale's encoding
 * elsewhere), so that "é" in such a file reaches the server as "é" and not as a replacement character.
 */
class ScriptTextDecoder
{
public:
    QString decode(QByteArrayView bytes);
    /** True once the bytes proved not to be UTF-8 and the system's code page took over. */
    bool usesSystemCodePage() const { return m_system; }
    /** True when the bytes were not all UTF-8: positions counted in the text's UTF-8 bytes do not hold. */
    bool hasError() const { return m_system || m_utf8.hasError(); }

private:
    QStringDecoder m_utf8{QStringConverter::Utf8};
    QStringDecoder m_ansi{QStringConverter::System};
    /** The bytes of a UTF-8 sequence that the last piece ended inside. */
    QByteArray m_pending;
    bool m_system = false;
};
