// Windows' side of DriverEnvironment. The "SQL Server" driver that comes with Windows takes its protocol from the
// server and reads no environment variable: a TDSVER there is another program's FreeTDS setting, neither refused nor
// set. (Under Wine, whose odbc32 hands the calls to the host's FreeTDS, scripts/wine-run sets TDSVER for the tests.)
#include "DriverEnvironment.h"

namespace DriverEnvironment {

QString problem()
{
    return {};
}

void prepare()
{ }

} // namespace DriverEnvironment
