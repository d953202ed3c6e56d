#pragma once

#include "ConnectionSettings.h"

class ConnectionFactory;
class Dialogs;
class PointerControl;

/**
 * `CanConnect`: opens a connection with the given settings and lets it go. True when the open succeeded; shows
 * nothing and lets no error escape.
 */
bool CanConnect(ConnectionFactory& factory, const ConnectionSettings& settings);

/**
 * The connection test behind "Test Connection": the hourglass while the driver answers, then "Connection successful."
 * or "Could not connect. Please check with your administrator.".
 */
void TestConnection(ConnectionFactory& factory,
                    const ConnectionSettings& settings,
                    Dialogs& dialogs,
                    PointerControl& window);

/** The message of every failed connection, backup command and restore. */
inline constexpr char CouldNotConnectMessage[] = "Could not connect. Please check with your administrator.";
