#include "ShellHelpers.h"

#include "Failure.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QUrl>

using namespace Qt::Literals::StringLiterals;

QString BrowseForFolder(QWidget* owner, const QString& prompt, const QString& startFolder)
{
    // Only folders of the file system can be chosen; the dialog returns a local path or nothing.
    return QFileDialog::getExistingDirectory(owner, prompt, startFolder, QFileDialog::ShowDirsOnly);
}

QString GetSpecialFolderPath(QStandardPaths::StandardLocation folder)
{
    const QString path = QStandardPaths::writableLocation(folder);
    if (path.isEmpty() || !QFileInfo(path).isDir())
        return QString();
    return path;
}

QString DesktopFolderPath()
{
    // Backups go here by default, so a desktop folder that does not exist is no use: the home folder stands in.
    QString folder = GetSpecialFolderPath(QStandardPaths::DesktopLocation);
    if (folder.isEmpty())
        folder = QDir::homePath();
    return WithTrailingSeparator(folder);
}

bool FileExists(const QString& path)
{
    if (path.isEmpty())
        return false;
    const QFileInfo info(path);
    return info.exists() && info.lastModified().isValid();
}

QString WithTrailingSeparator(const QString& folder)
{
    // The platform's own separators, as the user reads paths there: backslashes on Windows.
    const QString native = QDir::toNativeSeparators(folder);
    if (native.endsWith(QDir::separator()))
        return native;
    return native + QDir::separator();
}

bool DesktopServicesOpener::openFolder(const QString& folder)
{
    if (folder.isEmpty())
        return false;
    return QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
}

bool DesktopServicesOpener::openFile(const QString& file)
{
    if (file.isEmpty())
        return false;
    return QDesktopServices::openUrl(QUrl::fromLocalFile(file));
}

void ViewFolder(ShellOpener& opener, const QString& folder)
{
    if (!opener.openFolder(folder))
        throw Failure(u"The folder \"%1\" could not be opened in the file manager."_s.arg(folder));
}

void ViewFile(ShellOpener& opener, const QString& file)
{
    if (!opener.openFile(file))
        throw Failure(u"The file \"%1\" could not be opened."_s.arg(file));
}
