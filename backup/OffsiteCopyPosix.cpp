#include "OffsiteCopy.h"

using namespace Qt::Literals::StringLiterals;

// rclone comes from the distribution's archive.

QString OffsiteCopy::installHint()
{
    return u"Install it with: apt install rclone"_s;
}

QString OffsiteCopy::shortInstallHint()
{
    return u"apt install rclone"_s;
}
