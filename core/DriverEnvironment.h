#pragma once

#include <QString>

/**
 * What this platform's ODBC driver "SQL Server" reads from the process environment, checked and set before the first
 * connection. One file per platform, chosen by CMake:
 *
 * - DriverEnvironmentFreeTds.cpp (Linux): the driver is FreeTDS, which takes its TDS version from TDSVER. Left to its
 *   automatic choice, FreeTDS retries an unanswered TDS 7 login with a TDS 5.0 login, which carries the password in
 *   clear text; so TDSVER is pinned to 7.4 unless the user set it, and a TDSVER that may lead to such a login
 *   ("auto", anything below 7.0, and every value FreeTDS does not know as a TDS 7 version) is refused.
 * - DriverEnvironmentWindows.cpp: Windows' own driver reads no such variable; nothing is checked or set.
 */
namespace DriverEnvironment {

/**
 * Why the environment cannot be used with the driver, naming the variable; empty when it can (on Linux: TDSVER unset,
 * empty, or a TDS 7 version, 7.0 or 70, 7.1 to 7.4, which stays the user's choice).
 */
QString problem();

/** Sets what the driver needs in the process environment, leaving what the user set (Linux: TDSVER=7.4 if unset). */
void prepare();

} // namespace DriverEnvironment
