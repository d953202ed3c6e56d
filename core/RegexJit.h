#pragma once

#include <QtGlobal>

/**
 * Turns Qt's just-in-time compilation of regular expressions off for the whole process; main() calls it first. A
 * compiled match keeps a stack for each thread that matches, freed when that thread ends, and on Windows that clean-up
 * crashes the process for a thread Qt did not start (the complete schema's second connection, the restore's
 * connections over several tables). The program's patterns are short and match short texts: the interpreter serves
 * them as well.
 */
inline void turnOffRegexJit()
{
    qputenv("QT_ENABLE_REGEXP_JIT", "0");
}
