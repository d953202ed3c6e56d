#include "OffsiteCopy.h"

using namespace Qt::Literals::StringLiterals;

// On Windows rclone is one program file, rclone.exe, that the user puts where the program finds it.

QString OffsiteCopy::installHint()
{
    return u"Put rclone.exe (from rclone.org) in a folder on PATH, or copy to a folder or \\\\server\\share instead."_s;
}

QString OffsiteCopy::shortInstallHint()
{
    return u"rclone.exe is not on PATH"_s;
}
