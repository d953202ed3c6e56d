#pragma once

#include <QFile>
#include <QString>

/**
 * A root for a SettingsStore that no value can be written under: a plain file where the settings folder would go
 * (made in `scratchFolder`), or on Windows a registry key whose name is longer than the registry takes.
 */
inline QString unwritableSettingsRoot(const QString& scratchFolder)
{
#ifdef Q_OS_WIN
    Q_UNUSED(scratchFolder);
    return QStringLiteral("Software\\Tessaline tests\\") + QString(300, u'k');
#else
    QFile blocker(scratchFolder + QStringLiteral("/blocker"));
    if (!blocker.open(QIODevice::WriteOnly))
        return {};
    return blocker.fileName();
#endif
}
