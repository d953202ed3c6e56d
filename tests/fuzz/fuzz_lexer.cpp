// The restore's lexer: any text, scanned whole or line by line, ends in the same state; a line it calls a separator
// is GO and nothing else.
#include "ScriptBatcher.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    ScriptLexer whole;
    whole.scan(text);
    ScriptLexer byLine;
    for (qsizetype start = 0; start < text.size();) {
        const qsizetype end = text.indexOf(u'\n', start);
        const qsizetype stop = end < 0 ? text.size() : end + 1;
        const QStringView line = QStringView(text).mid(start, stop - start);
        const ScriptLexer::LineKind kind = ScriptLexer::classify(line);
        if (kind == ScriptLexer::LineKind::Go && line.trimmed().compare(u"GO", Qt::CaseInsensitive) != 0)
            std::abort();
        byLine.scan(line);
        start = stop;
    }
    if (whole.state() != byLine.state() || whole.inCode() != byLine.inCode())
        std::abort();
    return 0;
}
