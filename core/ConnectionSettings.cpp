#include "ConnectionSettings.h"

using namespace Qt::Literals::StringLiterals;

namespace {

// A value holding ";" would end the key early and cut the rest of the string, and one that begins with "{" would be
// read as braced and lose its braces: braces keep both whole. Inside braces the driver (FreeTDS through unixODBC)
// takes everything up to the first "}" that is followed by ";" or the end, and does not unescape "}}"; so a value
// is passed in braces as it stands, and one holding "};" has no form that arrives exactly and is refused. Every other
// value ("}" and "=" included) is passed as typed.
QString connectionValue(const QString& value, const QString& what)
{
    if (!value.contains(u';') && !value.startsWith(u'{'))
        return value;
    if (value.contains(u"};"_s))
        throw ConnectionStringError(u"The "_s + what
                                    + u" holds \"}\" followed by \";\", which the database driver cannot accept. "
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
