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
    if (!m_main)
        return {};
    return {m_main->keepBackups(), m_main->compressBackups(), m_main->copyDestination(), m_main->completeSchema(),
            m_main->verifyBackups()};
}
