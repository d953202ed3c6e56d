#include "XdgAutostart.h"

#include "Failure.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

using namespace Qt::Literals::StringLiterals;

const QString XdgAutostart::EntryFileName = u"tessaline.desktop"_s;

XdgAutostart::XdgAutostart(QString programPath, QString autostartFolder)
    : m_programPath(std::move(programPath))
    , m_folder(std::move(autostartFolder))
{ }

XdgAutostart::XdgAutostart()
    : XdgAutostart(QCoreApplication::applicationFilePath(), defaultFolder())
{ }

QString XdgAutostart::defaultFolder()
{
    // The base directory rules say a relative $XDG_CONFIG_HOME is invalid and must be ignored.
    const QString configHome = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (!configHome.isEmpty() && QDir::isAbsolutePath(configHome))
        return QDir::cleanPath(configHome) + u"/autostart"_s;
    return QDir::homePath() + u"/.config/autostart"_s;
}

QString XdgAutostart::entryPath() const
{
    return m_folder + u'/' + EntryFileName;
}

QString XdgAutostart::quoteExecArgument(const QString& path)
{
    // Two layers: inside a quoted argument " ` $ \ take a backslash and % doubles (no field code); then the
    // key's value escapes every backslash again and writes control characters as escapes.
    QString argument;
    for (const QChar c : path) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
            argument += u'\\';
        else if (c == u'%')
            argument += u'%';
        argument += c;
    }
    argument = u'"' + argument + u'"';

    QString value;
    for (const QChar c : argument) {
        if (c == u'\\')
            value += u"\\\\"_s;
        else if (c == u'\n')
            value += u"\\n"_s;
        else if (c == u'\t')
            value += u"\\t"_s;
        else if (c == u'\r')
            value += u"\\r"_s;
        else
            value += c;
    }
    return value;
}

QString XdgAutostart::entryText() const
{
    return u"[Desktop Entry]\n"
           u"Type=Application\n"
           u"Version=1.5\n"
           u"Name=Tessaline\n"
           u"Comment=Keeps plain-text SQL backups of a database\n"
           u"Exec="_s
        + quoteExecArgument(m_programPath)
        + u"\n"
          u"Icon=tessaline\n"
          u"Terminal=false\n"
          u"X-GNOME-Autostart-enabled=true\n"_s;
}

void XdgAutostart::RegisterStartup()
{
    const QString path = entryPath();
    const QString prefix = u"Tessaline could not be set to start at login: "_s;
    if (!QDir().mkpath(m_folder))
        throw Failure(prefix + u"the folder \"%1\" could not be created."_s.arg(m_folder));

    QSaveFile file(path);
    // Written to a temporary file and renamed, so a failed write never leaves half an entry behind.
    if (!file.open(QIODevice::WriteOnly) || file.write(entryText().toUtf8()) < 0 || !file.commit())
        throw Failure(prefix + u"\"%1\" could not be written (%2)."_s.arg(path, file.errorString()));
}

void XdgAutostart::UnregisterStartup()
{
    const QString path = entryPath();
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return;
    QFile file(path);
    if (!file.remove())
        throw Failure(u"Tessaline could not be kept from starting at login: \"%1\" could not be removed (%2)."_s.arg(
            path, file.errorString()));
}

bool XdgAutostart::IsRegistered() const
{
    return QFileInfo::exists(entryPath());
}

std::unique_ptr<StartupRegistration> createStartupRegistration()
{
    return std::make_unique<XdgAutostart>();
}
