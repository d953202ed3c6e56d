// FreeTDS's side of DriverEnvironment: the TDS version it logs in with, from TDSVER.
#include "DriverEnvironment.h"

#include <QStringList>

using namespace Qt::Literals::StringLiterals;

namespace DriverEnvironment {

QString problem()
{
    const QString value = qEnvironmentVariable("TDSVER");
    if (value.isEmpty())
        return {};
    // The names by which FreeTDS (1.3) knows the TDS 7 versions. It takes any other value ("auto", "8.0", "74", a
    // misspelt one) as its automatic choice, and that answers a TDS 7 login that gets no answer with a TDS 5.0 login.
    static const QStringList secure = {u"7.0"_s, u"70"_s, u"7.1"_s, u"7.2"_s, u"7.3"_s, u"7.4"_s};
    if (secure.contains(value))
        return {};
    return u"The environment variable TDSVER is set to \""_s + value
        + u"\". With it the database driver may log in with TDS 4.2 or 5.0, whose login carries the password in "
          u"clear text. Set TDSVER to 7.0, 7.1, 7.2, 7.3 or 7.4, or remove it."_s;
}

void prepare()
{
    // FreeTDS reads TDSVER at every connection. Left on its automatic choice, it answers a TDS 7 login that gets no
    // answer with a TDS 5.0 login, whose password travels in clear text; 7.4 never falls back.
    if (qEnvironmentVariable("TDSVER").isEmpty())
        qputenv("TDSVER", "7.4");
}

} // namespace DriverEnvironment
