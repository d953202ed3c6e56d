#include "Failure.h"
#include "ShellHelpers.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>

using namespace Qt::Literals::StringLiterals;

namespace {

// Takes the place of the desktop's programs: records every local file URL that would be opened.
class UrlRecorder : public QObject
{
    Q_OBJECT

public:
    QList<QUrl> opened;

public slots:
    void open(const QUrl& url) { opened.append(url); }
};

class RefusingOpener : public ShellOpener
{
public:
    bool openFolder(const QString&) override { return false; }
    bool openFile(const QString&) override { return false; }
};

} // namespace

class TestShellHelpers : public QObject
{
    Q_OBJECT

private slots:
    void separatorRule_data()
    {
        // Paths are shown with the platform's own separators (backslashes on Windows), whatever the dialog gave.
        const auto shown = [](const QString& path) { return QDir::toNativeSeparators(path); };
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<QString>("text");
        QTest::newRow("folder") << u"/home/ann/Backups"_s << shown(u"/home/ann/Backups/"_s);
        QTest::newRow("with blanks") << u"/home/ann/My Backups"_s << shown(u"/home/ann/My Backups/"_s);
        QTest::newRow("root") << u"/"_s << shown(u"/"_s);
        QTest::newRow("already ends with one") << u"/mnt/usb/"_s << shown(u"/mnt/usb/"_s);
        QTest::newRow("drive letter") << u"C:/Backups"_s << shown(u"C:/Backups/"_s);
        QTest::newRow("native already") << shown(u"D:/Sql"_s) << shown(u"D:/Sql/"_s);
    }
    void separatorRule()
    {
        QFETCH(QString, chosen);
        QFETCH(QString, text);
        QCOMPARE(WithTrailingSeparator(chosen), text);
    }

    void fileExists_data()
    {
        QTest::addColumn<QString>("name"); // inside a folder holding "file", "folder" and "dangling"
        QTest::addColumn<bool>("exists");
        QTest::newRow("file") << u"file"_s << true;
        QTest::newRow("folder") << u"folder"_s << true;
        QTest::newRow("missing") << u"missing.cur"_s << false;
        QTest::newRow("below a file") << u"file/x"_s << false;
#ifndef Q_OS_WIN
        // A symbolic link (on Windows QFile::link makes a shortcut file, which exists).
        QTest::newRow("dangling link") << u"dangling"_s << false;
#endif
        QTest::newRow("empty path") << QString() << false;
    }
    void fileExists()
    {
        QFETCH(QString, name);
        QFETCH(bool, exists);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QVERIFY(QFile(dir.filePath(u"file"_s)).open(QIODevice::WriteOnly));
        QVERIFY(QDir(dir.path()).mkdir(u"folder"_s));
        QVERIFY(QFile::link(dir.filePath(u"gone"_s), dir.filePath(u"dangling"_s)));
        QCOMPARE(FileExists(name.isEmpty() ? name : dir.filePath(name)), exists);
    }

    void desktopFolderPath()
    {
#ifdef Q_OS_WIN
        // The shell's desktop folder of the user, with its separator: backups go there by default.
        const QString desktop = DesktopFolderPath();
        QVERIFY2(desktop.endsWith(u'\\') && QFileInfo(desktop).isDir(), qPrintable(desktop));
        QCOMPARE(desktop,
                 QDir::toNativeSeparators(QStandardPaths::writableLocation(QStandardPaths::DesktopLocation) + u'/'));
        return;
#endif
        QTemporaryDir home;
        QVERIFY(home.isValid());
        const QByteArray oldHome = qgetenv("HOME");
        const QByteArray oldConfig = qgetenv("XDG_CONFIG_HOME");
        const bool hadConfig = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
        auto restore = qScopeGuard([&] {
            qputenv("HOME", oldHome);
            if (hadConfig)
                qputenv("XDG_CONFIG_HOME", oldConfig);
            else
                qunsetenv("XDG_CONFIG_HOME");
        });
        qputenv("HOME", home.path().toLocal8Bit());
        qunsetenv("XDG_CONFIG_HOME");

        // No desktop folder: the home folder.
        QCOMPARE(DesktopFolderPath(), home.path() + u'/');
        QCOMPARE(GetSpecialFolderPath(QStandardPaths::DesktopLocation), QString());

        QVERIFY(QDir(home.path()).mkdir(u"Desktop"_s));
        QCOMPARE(DesktopFolderPath(), home.path() + u"/Desktop/"_s);

        // The user's own name for the desktop folder counts.
        QVERIFY(QDir(home.path()).mkpath(u".config"_s));
        QFile dirs(home.filePath(u".config/user-dirs.dirs"_s));
        QVERIFY(dirs.open(QIODevice::WriteOnly));
        dirs.write("XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n");
        dirs.close();
        QCOMPARE(DesktopFolderPath(), home.path() + u'/'); // named but missing
        QVERIFY(QDir(home.path()).mkdir(u"Schreibtisch"_s));
        QCOMPARE(DesktopFolderPath(), home.path() + u"/Schreibtisch/"_s);
    }

    void openingGoesToTheDesktop()
    {
        UrlRecorder recorder;
        QDesktopServices::setUrlHandler(u"file"_s, &recorder, "open");
        auto unset = qScopeGuard([] { QDesktopServices::unsetUrlHandler(u"file"_s); });

        DesktopServicesOpener opener;
        ViewFolder(opener, u"/home/ann/My Backups/"_s);
        ViewFile(opener, u"/opt/tessaline/local-connection-example.jpg"_s);
        QCOMPARE(recorder.opened.size(), 2);
        QCOMPARE(recorder.opened.at(0).toLocalFile(), u"/home/ann/My Backups/"_s);
        QCOMPARE(recorder.opened.at(1).toLocalFile(), u"/opt/tessaline/local-connection-example.jpg"_s);

        // An empty folder text cannot be opened, and says so.
        QVERIFY_THROWS_EXCEPTION(Failure, ViewFolder(opener, QString()));
        QCOMPARE(recorder.opened.size(), 2);
    }

    void refusedOpeningIsAFailure()
    {
        RefusingOpener opener;
        try {
            ViewFolder(opener, u"/srv/backups/"_s);
            QFAIL("no Failure thrown");
        } catch (const Failure& failure) {
            QCOMPARE(failure.description(), u"The folder \"/srv/backups/\" could not be opened in the file manager."_s);
        }
        QVERIFY_THROWS_EXCEPTION(Failure, ViewFile(opener, u"/opt/picture.jpg"_s));
    }

    void browseForFolder_data()
    {
        QTest::addColumn<bool>("accept");
        QTest::newRow("chosen") << true;
        QTest::newRow("cancelled") << false;
    }
    void browseForFolder()
    {
        QFETCH(bool, accept);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString start = QDir(dir.path()).canonicalPath();

        // Acts in the open dialog as the user would: reads what it shows, then closes it.
        QString title;
        QString shownFolder;
        QTimer::singleShot(0, this, [&] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            title = dialog->windowTitle();
            shownFolder = dialog->directory().path();
            if (accept)
                static_cast<QDialog*>(dialog)->accept();
            else
                dialog->reject();
        });
        const QString chosen = BrowseForFolder(nullptr, u"Please select folder:"_s, start);
        QCOMPARE(title, u"Please select folder:"_s);
        QCOMPARE(shownFolder, start);
        QCOMPARE(chosen, accept ? start : QString());
    }
};

QTEST_MAIN(TestShellHelpers)
#include "tst_shellhelpers.moc"
