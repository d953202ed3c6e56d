#include "ConnectionSettings.h"

using namespace Qt::Literals::StringLiterals;

namespace {

// A value holding ";" would end the key early and cut the rest of the string; braces keep it whole. The driver does
// not unescape "}}", so a value with both characters has no correct form and is refused.
QString connectionValue(const QString& value, const QString& what)
{
    if (!value.contains(u';'))
        return value;
    if (value.contains(u'}'))
        throw ConnectionStringError(u"The "_s + what
                                    + u" holds both \";\" and \"}\", which the database driver cannot accept. "
                                      u"Please change it in the connection window."_s);
    return u'{' + value + u'}';
}

} // namespace

QString BuildConnectionString(const ConnectionSettings& settings)
{
    QString server = settings.Server;
    if (!settings.LocalConnection)
        server += u',' + settings.Port;
    return u"Driver={SQL Server};Server="_s + connectionValue(server, u"server name"_s) + u";Database="_s
        + connectionValue(settings.Database, u"database name"_s) + u";Uid="_s
        + connectionValue(settings.UserName, u"user name"_s) + u";Pwd="_s
        + connectionValue(settings.Password, u"password"_s) + u';';
}
