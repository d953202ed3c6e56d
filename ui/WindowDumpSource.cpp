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

int WindowDumpSource::keepBackups() const
{
    return m_main ? m_main->keepBackups() : 0;
}

QString WindowDumpSource::copyDestination() const
{
    return m_main ? m_main->copyDestination() : QString();
}

bool WindowDumpSource::compressBackups() const
{
    return m_main && m_main->compressBackups();
}

bool WindowDumpSource::completeSchema() const
{
    return m_main && m_main->completeSchema();
}
