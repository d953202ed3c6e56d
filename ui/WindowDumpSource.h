#pragma once

#include "IntervalSave.h"

class ConnectionView;
class MainView;

/**
 * What a dump reads from the windows when it starts: the server (Text1) and the database (Text4) of the connection
 * window and the backup folder (Text5), the number of backups to keep and the compression and complete-schema boxes of
 * the main window. The engine is made before the windows, so they are attached afterwards; a window not attached yet
 * reads as empty.
 */
class WindowDumpSource : public DumpSource
{
public:
    void setConnectionWindow(const ConnectionView* window) { m_connection = window; }
    void setMainWindow(const MainView* window) { m_main = window; }

    QString serverName() const override;
    QString databaseName() const override;
    QString backupFolder() const override;
    int keepBackups() const override;
    bool compressBackups() const override;
    QString copyDestination() const override;
    bool completeSchema() const override;

private:
    const ConnectionView* m_connection = nullptr;
    const MainView* m_main = nullptr;
};
