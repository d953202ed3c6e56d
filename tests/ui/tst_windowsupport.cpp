// The window helpers: the title rule, the dialog filters, the cursor file, the dump's view of the windows.

#include "QtDialogs.h"
#include "WindowDumpSource.h"
#include "WindowSupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>

using namespace Qt::Literals::StringLiterals;

namespace {

/** What a message box showed, read while it is open; then one of its buttons is pressed. */
struct SeenBox
{
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
};

SeenBox answerNextBox(QMessageBox::StandardButton press, const std::function<void()>& open)
{
    SeenBox seen;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        seen = {box->windowTitle(), box->text(), box->icon(), box->standardButtons()};
        box->button(press)->click();
    });
    open();
    return seen;
}

} // namespace

class TestWindowSupport : public QObject
{
    Q_OBJECT

private slots:
    void messageBoxes()
    {
        QGuiApplication::setApplicationDisplayName(u"Tessaline"_s);
        QtDialogs dialogs;

        SeenBox seen = answerNextBox(QMessageBox::Ok, [&] { dialogs.message(u"Done."_s); });
        QCOMPARE(seen.title, u"Tessaline"_s);
        QCOMPARE(seen.text, u"Done."_s);
        QCOMPARE(seen.icon, QMessageBox::NoIcon);
        QCOMPARE(seen.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));

        bool answer = false;
        seen = answerNextBox(QMessageBox::Yes, [&] { answer = dialogs.question(u"Sure?"_s); });
        QVERIFY(answer);
        QCOMPARE(seen.icon, QMessageBox::NoIcon);
        QCOMPARE(seen.buttons, QMessageBox::Yes | QMessageBox::No);
        seen = answerNextBox(QMessageBox::No, [&] { answer = dialogs.question(u"Sure?"_s); });
        QVERIFY(!answer);

        // The report's single CRs become line breaks on screen.
        seen = answerNextBox(QMessageBox::Ok, [&] { dialogs.errorReport(u"Failed.\r\nin X at line 100\r\rPlease"_s); });
        QCOMPARE(seen.title, u"Application Error"_s);
        QCOMPARE(seen.icon, QMessageBox::Warning);
        QCOMPARE(seen.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QCOMPARE(seen.text, u"Failed.\nin X at line 100\n\nPlease"_s);
    }

    void shortenedTitle_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("title");
        QTest::newRow("one word stays") << u"Tessaline"_s << u"Tessaline"_s;
        QTest::newRow("short name loses its last word") << u"Tessaline Backup Tool"_s << u"Tessaline Backup"_s;
        QTest::newRow("long name shortened to 40") << u"Tessaline Automatic Scripted Database Backups for SQL Server"_s
                                                   << u"Tessaline Automatic Scripted Database"_s;
        QTest::newRow("exactly 40 after one cut")
            << u"abcdefghij abcdefghij abcdefghij abcdefg tail"_s << u"abcdefghij abcdefghij abcdefghij abcdefg"_s;
        QTest::newRow("long without blanks stays") << QString(50, u'x') << QString(50, u'x');
        QTest::newRow("leading blank") << u" Tessaline"_s << QString();
    }

    void shortenedTitle()
    {
        QFETCH(QString, name);
        QFETCH(QString, title);
        QCOMPARE(::shortenedTitle(name), title);
    }

    void shortenTitleSetsTheApplicationTitle()
    {
        ShortenTitle();
        QCOMPARE(QGuiApplication::applicationDisplayName(), u"Tessaline"_s);
        QCOMPARE(QtDialogs::applicationTitle(), u"Tessaline"_s);
    }

    void qtFilter_data()
    {
        QTest::addColumn<QString>("filter");
        QTest::addColumn<QString>("qt");
        QTest::newRow("qt form unchanged") << u"MSSQL Backup File (*.sql)"_s << u"MSSQL Backup File (*.sql)"_s;
        QTest::newRow("pair with pattern shown")
            << u"MSSQL Backup File (*.sql)|*.sql"_s << u"MSSQL Backup File (*.sql)"_s;
        QTest::newRow("pair without pattern shown") << u"Scripts|*.sql;*.txt"_s << u"Scripts (*.sql *.txt)"_s;
        QTest::newRow("two pairs") << u"Scripts|*.sql|All|*.*"_s << u"Scripts (*.sql);;All (*.*)"_s;
    }

    void qtFilter()
    {
        QFETCH(QString, filter);
        QFETCH(QString, qt);
        QCOMPARE(QtDialogs::toQtFilter(filter), qt);
    }

    void cursorFile()
    {
        QTemporaryDir dir;
        QVERIFY(!loadCursorFile(dir.path() + u"/HAND-M.CUR"_s).has_value());
        QFile garbage(dir.path() + u"/bad.cur"_s);
        QVERIFY(garbage.open(QIODevice::WriteOnly));
        garbage.write("not a picture");
        garbage.close();
        QVERIFY(!loadCursorFile(garbage.fileName()).has_value());
        QImage image(32, 32, QImage::Format_ARGB32);
        image.fill(Qt::red);
        QVERIFY(image.save(dir.path() + u"/HAND-M.CUR"_s, "PNG"));
        const auto cursor = loadCursorFile(dir.path() + u"/HAND-M.CUR"_s);
        QVERIFY(cursor.has_value());
        QCOMPARE(cursor->pixmap().size(), QSize(32, 32));
    }

    void pointerWithoutCustomImageShowsTheArrow()
    {
        QWidget window;
        WindowPointer pointer(&window);
        pointer.hoverButton();
        QCOMPARE(pointer.pointer(), MousePointer::Custom);
        QCOMPARE(window.cursor().shape(), Qt::ArrowCursor);
        pointer.setPointer(MousePointer::Hourglass);
        pointer.hoverPlain();
        QCOMPARE(window.cursor().shape(), Qt::WaitCursor);
    }

    void applicationIconHasTheThreeSizes()
    {
        const QIcon icon = applicationIcon();
        QVERIFY(!icon.isNull());
        for (int size : {16, 32, 48})
            QCOMPARE(icon.pixmap(size, size).size(), QSize(size, size));
    }

    void dumpSourceReadsTheWindowsAsTheyAre()
    {
        struct Connection : ConnectionView
        {
            ConnectionSettings settings;
            ConnectionSettings currentSettings() const override { return settings; }
            MousePointer pointer() const override { return MousePointer::Default; }
            void setPointer(MousePointer) override { }
        } connection;
        WindowDumpSource source;
        QCOMPARE(source.serverName(), QString()); // nothing attached yet
        source.setConnectionWindow(&connection);
        connection.settings.Server = u"db1"_s;
        connection.settings.Database = u"Sales"_s;
        QCOMPARE(source.serverName(), u"db1"_s);
        connection.settings.Database = u"Stock"_s;
        QCOMPARE(source.databaseName(), u"Stock"_s);
        QCOMPARE(source.backupFolder(), QString());
    }
    void rowsWidenForTheirTexts()
    {
        QWidget window;
        window.setFixedSize(300, 100);
        // A label too narrow for its caption beside a field: the field gives up the width, the row's right edge stays.
        auto* label = new QLabel(u"A caption far wider than its place"_s, &window);
        label->setGeometry(10, 10, 40, 20);
        auto* field = new QLineEdit(&window);
        field->setGeometry(55, 10, 235, 20);
        const int labelNeeds = label->sizeHint().width();
        QVERIFY(labelNeeds > 40);
        QCOMPARE(rowOverflow({{label, field}, field}), 0);
        // A check box alone whose caption needs more than the window has: the window grows by the overflow.
        auto* box
            = new QCheckBox(u"A check box whose caption needs more room than the whole window gives it"_s, &window);
        box->setGeometry(10, 40, 280, 20);
        const int boxNeeds = box->sizeHint().width();
        QVERIFY(boxNeeds > 280);
        const int grow = fitRowsToTexts(&window, {{{label, field}, field}, {{box}, nullptr}});
        QCOMPARE(grow, boxNeeds - 280);
        QCOMPARE(window.width(), 300 + grow);
        QCOMPARE(box->width(), boxNeeds);
        QCOMPARE(label->width(), labelNeeds);
        // The gap of 5 pixels stays; the field's right edge moves with the window.
        QCOMPARE(field->x(), 10 + labelNeeds + 5);
        QCOMPARE(field->x() + field->width(), 290 + grow);
        // A row that already fits keeps its table's places.
        QCOMPARE(box->x(), 10);
        QCOMPARE(label->y(), 10);
    }
};

QTEST_MAIN(TestWindowSupport)
#include "tst_windowsupport.moc"
