#pragma once

#include <QStandardPaths>
#include <QString>

class QWidget;

/**
 * The folder browser: lets the user pick a folder, starting at `startFolder` (nothing pre-selected when empty).
 * Returns the chosen folder, empty when cancelled.
 */
QString BrowseForFolder(QWidget* owner, const QString& prompt, const QString& startFolder);

/** The path of a special folder of the desktop, empty when the platform has none or it does not exist. */
QString GetSpecialFolderPath(QStandardPaths::StandardLocation folder);

/** The user's desktop folder followed by "/"; the home folder followed by "/" when there is no desktop folder. */
QString DesktopFolderPath();

/** True when the modification time of the file (or folder) at `path` can be read; never reports anything. */
bool FileExists(const QString& path);

/** The folder text for a chosen folder: the path followed by "/" unless it already ends with one. */
QString WithTrailingSeparator(const QString& folder);

/** Opens folders and documents with the desktop's own programs (file manager, default viewer). */
class ShellOpener
{
public:
    virtual ~ShellOpener() = default;
    /** Opens the folder in the file manager; false when nothing could be started. */
    virtual bool openFolder(const QString& folder) = 0;
    /** Opens the file with the default program for its type; false when nothing could be started. */
    virtual bool openFile(const QString& file) = 0;
};

/** ShellOpener on QDesktopServices::openUrl with local-file URLs. */
class DesktopServicesOpener : public ShellOpener
{
public:
    bool openFolder(const QString& folder) override;
    bool openFile(const QString& file) override;
};

/** "View This Folder": opens the folder text as it stands; throws Failure when the file manager cannot be started. */
void ViewFolder(ShellOpener& opener, const QString& folder);
/** Shows a file (a picture) in the default viewer; throws Failure when no viewer can be started. */
void ViewFile(ShellOpener& opener, const QString& file);
