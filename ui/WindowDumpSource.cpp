#include "WindowDumpSource.h"

#include "Views.h"

QString WindowDumpSource::serverName() const
{
    return m_connection ? m_connection->currentSettings().Server : QString();
}

QString WindowDumpSource::databaseName() const
{
    return m_connection ? m_connection->currentSettings().Database : QString();
}

QString WindowDumpSource::backupFolder() const
{
    return m_main ? m_main->backupFolder() : QString();
}

BackupOptions WindowDumpSource::options() const
{
    return m_main ? m_main->backupOptions() : BackupOptions();
}
