#include "Keyring.h"

using namespace Qt::Literals::StringLiterals;

const QString KeyringEntry::Service = u"Tessaline"_s;

namespace {

QString escaped(QString value)
{
    return value.replace(u'\\', u"\\\\"_s).replace(u';', u"\\;"_s);
}

} // namespace

QString KeyringEntry::key() const
{
    return u"Server="_s + escaped(Server) + u";User="_s + escaped(UserName) + u";Database="_s + escaped(Database);
}

QString KeyringEntry::describe() const
{
    return UserName + u'@' + Server + u'/' + Database;
}
