#pragma once

#include "IntervalSave.h"

class ConnectionView;
class MainView;

/**
 * What a dump reads from the windows when it starts: the server (Text1) and the database (Text4) of the connection
 * window and the backup folder (Text5), and the backup's options as the main window's controls hold them. The engine is
 * made before the windows, so they are attached afterwards; a window not attached yet reads as empty.
 */
class WindowDumpSource : public DumpSource
{
public:
    void setConnectionWindow(const ConnectionView* window) { m_connection = window; }
    void setMainWindow(const MainView* window) { m_main = window; }

    QString serverName() const override;
    QString databaseName() const override;
    QString backupFolder() const override;
    BackupOptions options() const override;

private:
    const ConnectionView* m_connection = nullptr;
    const MainView* m_main = nullptr;
};
