#pragma once

#include <QString>

/** The system's text for a Windows error code (GetLastError, a registry result), or "Windows error N" without one. */
QString WindowsErrorText(unsigned long code);
