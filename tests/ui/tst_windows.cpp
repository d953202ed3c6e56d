// The two windows, driven through their real controls with the offscreen platform.

#include "Settings.h"
#include "WindowHarness.h"

#include "BackupSchedule.h"
#include "Gzip.h"
#include "OffsiteCopy.h"
#include "SysTray.h"
#include "TrayMinimizer.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QDirIterator>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QStyle>
#include <QStyleOption>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <csignal>

using namespace Qt::Literals::StringLiterals;

namespace {

template <typename T> T* control(QWidget* window, const QString& name)
{
    T* found = window->findChild<T*>(name);
    if (!found)
        qFatal("no control %s", qPrintable(name));
    return found;
}

QString errorLocation(const QString& report)
{
    // The second line of the report: the location text and the line number.
    return report.section(u"\r\n"_s, 1).section(u'\r', 0, 0);
}

QStringList sqlFilesIn(const QString& folder)
{
    return QDir(folder).entryList({u"*.sql"_s}, QDir::Files);
}

/** A text a control shows, the width it needs for all of it to show and the width it has (the control's, or less). */
struct ShownText
{
    QString text;
    int needed = 0;
    int room = -1; ///< -1: the control's width
};

/**
 * The texts a control shows (caption, title, placeholder, header), each with the width it needs: the text's width in
 * the control's font, plus what the style puts beside it (a check box's indicator and spacing, a button's margin and
 * frame, a field's frame and margins). The contents of fields are the user's and not counted.
 */
QList<ShownText> shownTexts(QWidget* c)
{
    const QFontMetrics metrics(c->font());
    const auto textWidth = [&](const QString& text) { return metrics.size(Qt::TextShowMnemonic, text).width(); };
    QStyle* style = c->style();
    QList<ShownText> shown;
    if (auto* box = qobject_cast<QCheckBox*>(c)) {
        QStyleOptionButton option;
        option.initFrom(box);
        shown.append({box->text(),
                      textWidth(box->text()) + style->pixelMetric(QStyle::PM_IndicatorWidth, &option, box)
                          + style->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, &option, box)});
    } else if (auto* button = qobject_cast<QPushButton*>(c)) {
        QStyleOptionButton option;
        option.initFrom(button);
        shown.append({button->text(),
                      textWidth(button->text()) + style->pixelMetric(QStyle::PM_ButtonMargin, &option, button)
                          + 2 * style->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, button)});
    } else if (auto* label = qobject_cast<QLabel*>(c)) {
        shown.append({label->text(), textWidth(label->text()) + 2 * label->margin() + 2 * label->frameWidth()});
    } else if (auto* group = qobject_cast<QGroupBox*>(c)) {
        QStyleOptionGroupBox option;
        option.initFrom(group);
        option.text = group->title();
        option.lineWidth = 1;
        option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
        option.textAlignment = group->alignment();
        const QRect title = style->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, group);
        // Where the title ends, measured from the frame's left edge, and as much room again on the right.
        shown.append({group->title(), title.left() + textWidth(group->title()) + title.left()});
    } else if (auto* field = qobject_cast<QLineEdit*>(c)) {
        if (!field->placeholderText().isEmpty()) {
            QStyleOptionFrame option;
            option.initFrom(field);
            option.lineWidth = style->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, field);
            const QRect inside = style->subElementRect(QStyle::SE_LineEditContents, &option, field);
            const QMargins margins = field->textMargins();
            // The field draws its text 2 pixels inside its contents on either side.
            shown.append({field->placeholderText(),
                          textWidth(field->placeholderText()) + (field->width() - inside.width()) + margins.left()
                              + margins.right() + 4});
        }
    } else if (auto* bar = qobject_cast<QProgressBar*>(c)) {
        shown.append({bar->format(), textWidth(bar->format())});
    } else if (auto* list = qobject_cast<QTreeWidget*>(c)) {
        // Each heading in its column, and the columns inside the list.
        QHeaderView* header = list->header();
        QStyleOptionHeader option;
        option.initFrom(header);
        const int margin = style->pixelMetric(QStyle::PM_HeaderMargin, &option, header);
        for (int column = 0; column < list->columnCount(); ++column) {
            const QString heading = list->headerItem()->text(column);
            shown.append({heading, QFontMetrics(header->font()).horizontalAdvance(heading) + 2 * margin,
                          header->sectionSize(column)});
        }
        shown.append({u"its columns"_s, header->length(), list->viewport()->width()});
    }
    shown.removeIf([](const ShownText& t) { return t.text.isEmpty(); });
    return shown;
}

/** Every text of the window that is cut off: wider than its control, or a control that reaches out of its container. */
QStringList cutOffTexts(QWidget* window)
{
    QStringList cut;
    for (QWidget* c : window->findChildren<QWidget*>()) {
        if (c->isWindow() || (c->parentWidget() != window && !qobject_cast<QGroupBox*>(c->parentWidget())))
            continue; // the parts inside a control (a list's scroll bars, a spin box's field) come with their control
        const QRect container = c->parentWidget()->rect();
        if (!container.contains(c->geometry()))
            cut.append(
                u"%1 reaches out of %2: %3,%4 %5x%6 in %7x%8"_s.arg(c->objectName(), c->parentWidget()->objectName())
                    .arg(c->x())
                    .arg(c->y())
                    .arg(c->width())
                    .arg(c->height())
                    .arg(container.width())
                    .arg(container.height()));
        for (const ShownText& shown : shownTexts(c)) {
            const int room = shown.room < 0 ? c->width() : shown.room;
            if (shown.needed > room)
                cut.append(u"%1 \"%2\" needs %3 pixels, has %4"_s.arg(c->objectName(), shown.text)
                               .arg(shown.needed)
                               .arg(room));
        }
    }
    return cut;
}

} // namespace

class TestWindows : public QObject
{
    Q_OBJECT

private slots:
    void firstStartFillsBothWindowsAndStoresTheDefaults()
    {
        WindowHarness h;
        h.seedDatabase();
        h.create();
        h.form1->start();

        // Connection window: empty fields, the default port, "Local Connection" clear; only the port is written back.
        QVERIFY(h.form1->isVisible());
        QCOMPARE(h.form1->windowTitle(), u"Tessaline"_s);
        // Frame, labels and check box on white, as designed; what is painted is what counts.
        const QImage form1 = h.form1->grab().toImage();
        for (const QString& name : {u"Check6"_s, u"Label2"_s}) {
            QWidget* c = control<QWidget>(h.form1.get(), name);
            const QPoint corner = c->mapTo(h.form1.get(), QPoint(c->width() - 2, 1));
            QCOMPARE(form1.pixelColor(corner), QColor(Qt::white));
        }
        QCOMPARE(h.form1->currentSettings(), ConnectionSettings());
        QCOMPARE(h.stored(SettingKeys::MSPort), u"1433"_s);
        QCOMPARE(h.stored(SettingKeys::MSServer), u"<absent>"_s);
        QCOMPARE(h.database.opened, 0); // no server stored: no connection attempt
        QVERIFY(!h.form2->isLoaded());

        // "Next >" with a server that answers: the main window loads and the connection window hides.
        control<QLineEdit>(h.form1.get(), u"Text1"_s)->setText(u"db.example"_s);
        QTest::mouseClick(control<QPushButton>(h.form1.get(), u"PushButton3"_s), Qt::LeftButton);
        QVERIFY(h.form2->isLoaded());
        QVERIFY(h.form2->isVisible());
        QVERIFY(!h.form1->isVisible());

        QWidget* w = h.form2.get();
        QCOMPARE(control<QLineEdit>(w, u"Text5"_s)->text(), DesktopFolderPath());
        QCOMPARE(h.stored(SettingKeys::Path), DesktopFolderPath());
        QCOMPARE(h.stored(SettingKeys::RestoreFile), QString());
        auto* list = control<QTreeWidget>(w, u"ListView2"_s);
        QCOMPARE(list->columnCount(), 1);
        QCOMPARE(list->headerItem()->text(0), u"How often would you like to backup?"_s);
        QCOMPARE(list->topLevelItemCount(), 11);
        QCOMPARE(h.form2->selectedIntervalCaption(), std::optional<QString>(u"Backup every 10 minutes"_s));
        QCOMPARE(h.form2->autoBackupCaption(), u"Turn Off Auto Backup"_s);
        QCOMPARE(h.form2->timerInterval(), 1000);
        QVERIFY(!control<QCheckBox>(w, u"Check4"_s)->isChecked());
        QVERIFY(!control<QCheckBox>(w, u"Check11"_s)->isChecked());
        QVERIFY(control<QCheckBox>(w, u"Check11"_s)->isVisibleTo(w));
        QVERIFY(!h.form2->Loading());
        QVERIFY(h.tray.shown);
        QCOMPARE(h.tray.tip, u"Tessaline"_s);
        QVERIFY(h.dialogs.shown().isEmpty());

        // The system colour reaches frames and check boxes, not buttons or fields.
        const QColor face = QGuiApplication::palette().color(QPalette::Button);
        QCOMPARE(control<QGroupBox>(w, u"Frame5"_s)->palette().color(QPalette::Window), face);
        QCOMPARE(control<QCheckBox>(w, u"Check4"_s)->palette().color(QPalette::Button), face);
        QVERIFY(!control<QLineEdit>(w, u"Text5"_s)->autoFillBackground());

        // The first automatic backup comes with the 600th tick, into the folder of Text5.
        control<QLineEdit>(w, u"Text5"_s)->setText(h.backupFolder());
        h.form2->Timer1().blockSignals(true); // running, but the ticks are driven by hand
        for (int tick = 1; tick < 600; ++tick)
            h.form2->schedule().Timer1_Timer();
        QVERIFY(sqlFilesIn(h.backupFolder()).isEmpty());
        h.form2->schedule().Timer1_Timer();
        QCOMPARE(h.dialogs.errorReports(), QStringList());
        QCOMPARE(sqlFilesIn(h.backupFolder()).size(), 1);
        QCOMPARE(h.dialogs.errorReports(), QStringList());
    }

    void everyTextFitsItsControl_data()
    {
        QTest::addColumn<QString>("window");
        QTest::addColumn<QString>("autoBackup"); // "StartStopState": the caption of PushButton5 follows it
        QTest::newRow("Form1") << u"Form1"_s << u"On"_s;
        QTest::newRow("Form2, automatic backup on") << u"Form2"_s << u"On"_s;
        QTest::newRow("Form2, automatic backup off") << u"Form2"_s << u"Off"_s;
    }
    void everyTextFitsItsControl()
    {
        QFETCH(QString, window);
        QFETCH(QString, autoBackup);
        // The application keeps the platform's default font; the windows give their controls their own.
        WindowHarness h;
        h.seedDatabase();
        h.seed(SettingKeys::StartStopState, autoBackup);
        h.create();
        h.form1->start();
        QWidget* w = h.form1.get();
        if (window == u"Form2"_s) {
            control<QLineEdit>(h.form1.get(), u"Text1"_s)->setText(u"db.example"_s);
            QTest::mouseClick(control<QPushButton>(h.form1.get(), u"PushButton3"_s), Qt::LeftButton);
            QVERIFY(h.form2->isVisible());
            w = h.form2.get();
        }
        QVERIFY(QTest::qWaitForWindowExposed(w));

        const QStringList cut = cutOffTexts(w);
        QVERIFY2(cut.isEmpty(), qPrintable(cut.join(u"; "_s)));
        // The measure itself: a caption one word longer than its control is found.
        auto* probe = control<QCheckBox>(w, window == u"Form1"_s ? u"Check6"_s : u"Check4"_s);
        probe->setText(probe->text() + u" and a few words more than fit"_s);
        QVERIFY(cutOffTexts(w).join(QString()).contains(probe->objectName()));
    }

    void storedConnectionThatWorksGoesStraightToTheMainWindow()
    {
        WindowHarness h;
        h.seedDatabase();
        h.seed(SettingKeys::MSServer, u"db.example"_s);
        h.seed(SettingKeys::MSDatabase, u"Sales"_s);
        h.create();
        h.form1->start();
        QVERIFY(h.form2->isVisible());
        QVERIFY(!h.form1->isVisible());
        // The load's check and the check of "Next >": two connections, one after the other.
        QCOMPARE(h.database.opened, 2);
        QCOMPARE(h.database.released, 2);
        QCOMPARE(h.dialogs.shown().size(), 0);
    }

    void storedConnectionThatFailsKeepsTheConnectionWindowSilently()
    {
        WindowHarness h;
        h.database.refuseLogin = u"[Memory]Login failed."_s;
        h.seed(SettingKeys::MSServer, u"db.example"_s);
        h.create();
        h.form1->start();
        QVERIFY(h.form1->isVisible());
        QVERIFY(!h.form2->isLoaded());
        QCOMPARE(h.dialogs.shown().size(), 0);

        // "Next >" with the same details: again nothing at all.
        QTest::mouseClick(control<QPushButton>(h.form1.get(), u"PushButton3"_s), Qt::LeftButton);
        QVERIFY(h.form1->isVisible());
        QVERIFY(!h.form2->isLoaded());
        QCOMPARE(h.dialogs.shown().size(), 0);
    }

    void nextWithAnEmptyServerDoesNothing()
    {
        WindowHarness h;
        h.seedDatabase();
        h.create();
        h.form1->start();
        QTest::mouseClick(control<QPushButton>(h.form1.get(), u"PushButton3"_s), Qt::LeftButton);
        QCOMPARE(h.database.connectionStrings, QStringList());
        QCOMPARE(h.database.released, 0);
        QCOMPARE(h.dialogs.shown().size(), 0);
        QVERIFY(h.form1->isVisible());
        QVERIFY(!h.form2->isLoaded());
    }

    void everyKeystrokeIsStored()
    {
        WindowHarness h;
        h.create();
        h.form1->start();
        QVERIFY(QTest::qWaitForWindowExposed(h.form1.get()));

        struct Field
        {
            QString name;
            QString key;
            QString typed;
        };
        const QList<Field> fields = {{u"Text1"_s, SettingKeys::MSServer, u"abc"_s},
                                     {u"Text2"_s, SettingKeys::MSUser, u"sa"_s},
                                     {u"Text3"_s, SettingKeys::MSPassword, u"p;w"_s},
                                     {u"Text4"_s, SettingKeys::MSDatabase, u"db"_s}};
        for (const Field& field : fields) {
            auto* edit = control<QLineEdit>(h.form1.get(), field.name);
            QStringList seen;
            connect(edit, &QLineEdit::textChanged, this, [&] { seen.append(h.stored(field.key)); });
            edit->setFocus(Qt::TabFocusReason);
            QTest::keyClicks(edit, field.typed);
            QStringList expected;
            for (qsizetype n = 1; n <= field.typed.size(); ++n)
                expected.append(field.typed.left(n));
            QCOMPARE(seen, expected);
            disconnect(edit, nullptr, this, nullptr);
        }
        // The password is kept as typed, and shown as stars.
        auto* password = control<QLineEdit>(h.form1.get(), u"Text3"_s);
        QCOMPARE(password->echoMode(), QLineEdit::Password);
        QCOMPARE(h.stored(SettingKeys::MSPassword), u"p;w"_s);

        // Tabbing into the port selects "1433"; typing replaces it and stores each step.
        auto* port = control<QLineEdit>(h.form1.get(), u"Text9"_s);
        QStringList seen;
        connect(port, &QLineEdit::textChanged, this, [&] { seen.append(h.stored(SettingKeys::MSPort)); });
        port->setFocus(Qt::OtherFocusReason);
        QCOMPARE(port->selectedText(), u"1433"_s);
        QTest::keyClicks(port, u"15"_s);
        QCOMPARE(seen, (QStringList{u"1"_s, u"15"_s}));
        QCOMPARE(h.form1->currentSettings().Port, u"15"_s);

        // In the main window, the folder box stores every intermediate text too.
        h.form2->showWindow();
        QVERIFY(QTest::qWaitForWindowActive(h.form2.get()));
        auto* folder = control<QLineEdit>(h.form2.get(), u"Text5"_s);
        folder->setFocus(Qt::OtherFocusReason);
        QCOMPARE(folder->selectedText(), DesktopFolderPath());
        QTest::keyClicks(folder, u"/b"_s);
        QCOMPARE(h.stored(SettingKeys::Path), u"/b"_s);
        QTest::keyClicks(control<QLineEdit>(h.form2.get(), u"Text7"_s), u"x.sql"_s);
        QCOMPARE(h.stored(SettingKeys::RestoreFile), u"x.sql"_s);
    }

    void localConnectionBox_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<bool>("ticked");
        QTest::addColumn<QString>("writtenBack");
        QTest::newRow("zero") << u"0"_s << false << u"0"_s;
        QTest::newRow("one") << u"1"_s << true << u"1"_s;
        QTest::newRow("empty text") << QString() << true << u"1"_s;
        QTest::newRow("a word") << u"yes"_s << true << u"1"_s;
    }

    void localConnectionBox()
    {
        QFETCH(QString, stored);
        QFETCH(bool, ticked);
        QFETCH(QString, writtenBack);
        WindowHarness h;
        h.seed(SettingKeys::LocalConnection, stored);
        h.create();
        h.form1->start();
        auto* box = control<QCheckBox>(h.form1.get(), u"Check6"_s);
        QCOMPARE(box->isChecked(), ticked);
        QCOMPARE(h.stored(SettingKeys::LocalConnection), writtenBack);
        QTest::mouseClick(box, Qt::LeftButton);
        QCOMPARE(h.stored(SettingKeys::LocalConnection), ticked ? u"0"_s : u"1"_s);
        QCOMPARE(h.form1->currentSettings().LocalConnection, !ticked);
        QVERIFY(control<QLineEdit>(h.form1.get(), u"Text9"_s)->isEnabled());
    }

    void clearedPortStaysEmptyAtTheNextStart()
    {
        WindowHarness h;
        h.create();
        h.form1->start();
        control<QLineEdit>(h.form1.get(), u"Text9"_s)->clear();
        QTest::mouseClick(control<QCheckBox>(h.form1.get(), u"Check6"_s), Qt::LeftButton);
        QCOMPARE(h.stored(SettingKeys::MSPort), QString());

        WindowHarness again;
        again.seed(SettingKeys::MSPort, QString());
        again.create();
        again.form1->start();
        QCOMPARE(control<QLineEdit>(again.form1.get(), u"Text9"_s)->text(), QString());
    }

    void keyringBoxMovesThePasswordInAndOut()
    {
        WindowHarness h;
        h.database.refuseLogin = u"[Memory]Login failed."_s; // the window stays for input
        h.seed(SettingKeys::MSServer, u"db.example"_s);
        h.seed(SettingKeys::MSUser, u"sa"_s);
        h.seed(SettingKeys::MSDatabase, u"Sales"_s);
        h.seed(SettingKeys::MSPassword, u"s3cret"_s);
        h.create();
        h.form1->start();
        QVERIFY(QTest::qWaitForWindowExposed(h.form1.get()));
        auto* box = control<QCheckBox>(h.form1.get(), u"Check7"_s);
#ifdef Q_OS_WIN
        QCOMPARE(box->text(), u"Password in Credential Manager"_s);
#else
        QCOMPARE(box->text(), u"Keep the password in the desktop keyring"_s);
#endif
        QVERIFY(!box->isChecked());
        QCOMPARE(h.stored(SettingKeys::PasswordInKeyring), u"Off"_s); // the default, written back at load
        QCOMPARE(h.keyring.calls, QStringList());
        // Beside "Local Connection", within the frame, with room for its caption.
        const QRect frame = control<QGroupBox>(h.form1.get(), u"Frame1"_s)->contentsRect();
        QVERIFY(frame.contains(box->geometry()));
        QVERIFY(!box->geometry().intersects(control<QCheckBox>(h.form1.get(), u"Check6"_s)->geometry()));
        QVERIFY2(box->sizeHint().width() <= box->width(),
                 qPrintable(u"caption needs %1 px, the box has %2 (font %3)"_s.arg(box->sizeHint().width())
                                .arg(box->width())
                                .arg(box->font().toString())));

        const KeyringEntry entry{u"db.example"_s, u"sa"_s, u"Sales"_s};
        QTest::mouseClick(box, Qt::LeftButton);
        QCOMPARE(h.keyring.entries, (QMap<QString, QString>{{entry.key(), u"s3cret"_s}}));
        QCOMPARE(h.stored(SettingKeys::MSPassword), QString());
        QCOMPARE(h.stored(SettingKeys::PasswordInKeyring), u"On"_s);

        // Typing goes to the keyring entry, never to the settings file.
        auto* password = control<QLineEdit>(h.form1.get(), u"Text3"_s);
        password->setFocus(Qt::OtherFocusReason);
        QTest::keyClicks(password, u"n;w"_s);
        QCOMPARE(h.keyring.entries.value(entry.key()), u"n;w"_s);
        QCOMPARE(h.stored(SettingKeys::MSPassword), QString());
        QCOMPARE(h.form1->currentSettings().Password, u"n;w"_s);

        // A changed database takes the password to the new entry; the old one goes.
        auto* database = control<QLineEdit>(h.form1.get(), u"Text4"_s);
        database->setText(u"Stock"_s);
        const KeyringEntry moved{u"db.example"_s, u"sa"_s, u"Stock"_s};
        QCOMPARE(h.keyring.entries, (QMap<QString, QString>{{moved.key(), u"n;w"_s}}));
        QCOMPARE(h.dialogs.shown().size(), 0);

        // Turned off: back in the settings file as typed, out of the keyring.
        QTest::mouseClick(box, Qt::LeftButton);
        QVERIFY(!box->isChecked());
        QCOMPARE(h.stored(SettingKeys::MSPassword), u"n;w"_s);
        QCOMPARE(h.stored(SettingKeys::PasswordInKeyring), u"Off"_s);
        QVERIFY(h.keyring.entries.isEmpty());
        h.keyring.calls.clear();
        QTest::keyClicks(password, u"x"_s);
        QCOMPARE(h.stored(SettingKeys::MSPassword), u"n;wx"_s);
        QCOMPARE(h.keyring.calls, QStringList());
        QCOMPARE(h.dialogs.shown().size(), 0);
    }

    void loadReadsThePasswordFromTheKeyring()
    {
        WindowHarness h;
        h.database.refuseLogin = u"[Memory]Login failed."_s;
        h.seed(SettingKeys::MSServer, u"db.example"_s);
        h.seed(SettingKeys::MSUser, u"sa"_s);
        h.seed(SettingKeys::MSDatabase, u"Sales"_s);
        h.seed(SettingKeys::MSPassword, QString());
        h.seed(SettingKeys::PasswordInKeyring, u"On"_s);
        const KeyringEntry entry{u"db.example"_s, u"sa"_s, u"Sales"_s};
        h.keyring.entries.insert(entry.key(), u"kept"_s);
        h.create();
        h.form1->start();
        QVERIFY(control<QCheckBox>(h.form1.get(), u"Check7"_s)->isChecked());
        QCOMPARE(h.form1->currentSettings().Password, u"kept"_s);
        // The load's connection check already used it.
        QVERIFY(h.database.connectionStrings.constFirst().endsWith(u";Pwd=kept;"_s));
        // Read once; the fill writes nothing back, neither to the keyring nor to the settings file.
        QCOMPARE(h.keyring.calls, QStringList{u"read "_s + entry.key()});
        QCOMPARE(h.stored(SettingKeys::MSPassword), QString());
        QCOMPARE(h.dialogs.shown().size(), 0);
    }

    void unreachableKeyringLosesNoPassword_data()
    {
        QTest::addColumn<QString>("storedOption");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("fieldAfterLoad");
        QTest::newRow("turning on") << u"Off"_s
                                    << u"The password cannot be kept in the desktop keyring: no session bus. It "
                                       u"stays in the settings file."_s
                                    << u"plain"_s;
        QTest::newRow("at load, then turning off")
            << u"On"_s
            << u"The password cannot be read from the desktop keyring: no session bus. It stays there; type it to use "
               u"it now."_s
            << QString();
    }

    void unreachableKeyringLosesNoPassword()
    {
        QFETCH(QString, storedOption);
        QFETCH(QString, message);
        QFETCH(QString, fieldAfterLoad);
        WindowHarness h;
        h.database.refuseLogin = u"[Memory]Login failed."_s;
        h.seed(SettingKeys::MSServer, u"db.example"_s);
        h.seed(SettingKeys::MSUser, u"sa"_s);
        const bool on = storedOption == u"On"_s;
        h.seed(SettingKeys::MSPassword, on ? QString() : u"plain"_s);
        h.seed(SettingKeys::PasswordInKeyring, storedOption);
        const KeyringEntry entry{u"db.example"_s, u"sa"_s, QString()};
        if (on)
            h.keyring.entries.insert(entry.key(), u"kept"_s);
        h.keyring.unreachable = u"no session bus"_s;
        h.create();
        h.form1->start();
        auto* box = control<QCheckBox>(h.form1.get(), u"Check7"_s);
        QCOMPARE(h.form1->currentSettings().Password, fieldAfterLoad);

        // Turning it on, or off, fails alike: the box and both stores stay as they were.
        QTest::mouseClick(box, Qt::LeftButton);
        if (on)
            QCOMPARE(h.dialogs.messages(),
                     (QStringList{message,
                                  u"The password cannot be taken back from the desktop keyring: no session bus. It "
                                  u"stays there, and so does the option."_s}));
        else
            QCOMPARE(h.dialogs.messages(), QStringList{message});
        QCOMPARE(box->isChecked(), on);
        QCOMPARE(h.stored(SettingKeys::PasswordInKeyring), storedOption);
        QCOMPARE(h.stored(SettingKeys::MSPassword), on ? QString() : u"plain"_s);
        QCOMPARE(h.keyring.entries.value(entry.key(), u"<none>"_s), on ? u"kept"_s : u"<none>"_s);

        // Once the keyring answers again, turning off takes the password it holds, never the empty field.
        if (on) {
            h.keyring.unreachable.clear();
            QTest::mouseClick(box, Qt::LeftButton);
            QCOMPARE(h.stored(SettingKeys::MSPassword), u"kept"_s);
            QCOMPARE(h.stored(SettingKeys::PasswordInKeyring), u"Off"_s);
            QCOMPARE(h.form1->currentSettings().Password, u"kept"_s);
            QVERIFY(h.keyring.entries.isEmpty());
        }
    }

    void passwordTypedWhileTheKeyringWasAwayIsWhatTurningOffKeeps()
    {
        WindowHarness h;
        h.seed(SettingKeys::PasswordInKeyring, u"On"_s);
        h.keyring.entries.insert(KeyringEntry().key(), u"old"_s);
        h.keyring.unreachable = u"no session bus"_s;
        h.create();
        h.form1->start();
        QVERIFY(QTest::qWaitForWindowExposed(h.form1.get()));
        auto* password = control<QLineEdit>(h.form1.get(), u"Text3"_s);
        password->setFocus(Qt::OtherFocusReason);
        QTest::keyClicks(password, u"new"_s);
        QCOMPARE(h.dialogs.messages().size(), 2); // the load's and the first keystroke's
        h.keyring.unreachable.clear();
        QTest::mouseClick(control<QCheckBox>(h.form1.get(), u"Check7"_s), Qt::LeftButton);
        QCOMPARE(h.stored(SettingKeys::MSPassword), u"new"_s);
        QCOMPARE(h.form1->currentSettings().Password, u"new"_s);
        QVERIFY(h.keyring.entries.isEmpty());
    }

    void keyringWriteFailureWhileTypingIsSaidOnce()
    {
        WindowHarness h;
        h.seed(SettingKeys::PasswordInKeyring, u"On"_s);
        h.create();
        h.form1->start();
        QVERIFY(QTest::qWaitForWindowExposed(h.form1.get()));
        h.keyring.unreachable = u"the keyring is locked"_s;
        auto* password = control<QLineEdit>(h.form1.get(), u"Text3"_s);
        password->setFocus(Qt::OtherFocusReason);
        QTest::keyClicks(password, u"abc"_s);
        QCOMPARE(h.dialogs.messages(),
                 QStringList{u"The password cannot be written to the desktop keyring: the keyring is locked. The "
                             u"keyring keeps the password it had; the one typed is used until Tessaline ends."_s});
        QCOMPARE(h.form1->currentSettings().Password, u"abc"_s);
        QCOMPARE(h.stored(SettingKeys::MSPassword), u"<absent>"_s);
        h.keyring.unreachable.clear();
        QTest::keyClicks(password, u"d"_s);
        QCOMPARE(h.keyring.entries.value(KeyringEntry().key()), u"abcd"_s);
    }

    void helpShowsTheTextAndOpensThePictureOnYes()
    {
        WindowHarness h;
        h.create();
        h.form1->start();
        auto* help = control<QPushButton>(h.form1.get(), u"PushButton4"_s);

        QTest::mouseClick(help, Qt::LeftButton); // the fake answers No
        QCOMPARE(h.dialogs.shown().size(), 2);
        const QString text = h.dialogs.shown().at(0).text;
        QVERIFY(text.startsWith(u"If you cannot establish connection to your MS SQL Server database with this "
                                u"program, please go to: \r\rhttps://"_s));
        QVERIFY(text.endsWith(u"you may need to use\r\rlocalhost\\SQLEXPRESS\r\rfor example, for Server."_s));
        QVERIFY(!text.contains(u'\n'));
        QCOMPARE(h.dialogs.shown().at(1).kind, FakeDialogs::Kind::Question);
        QCOMPARE(h.dialogs.shown().at(1).text, u"Would you like to see an image of how I connect locally?"_s);
        QCOMPARE(h.opener.files, QStringList());

        h.dialogs.setNextAnswer(true);
        QTest::mouseClick(help, Qt::LeftButton);
        QCOMPARE(h.opener.files, QStringList{h.programFolder() + u"/local-connection-example.jpg"_s});

        // A viewer that cannot be started is an error report of the help, at its third statement.
        h.opener.answer = false;
        h.dialogs.setNextAnswer(true);
        h.dialogs.clear();
        QTest::mouseClick(help, Qt::LeftButton);
        QCOMPARE(h.dialogs.errorReports().size(), 1);
        QCOMPARE(errorLocation(h.dialogs.errorReports().at(0)),
                 u"in Quorvane2021/08/31.Form1.PushButton4_Click at line 104"_s);
    }

    void testConnectionReportsTheOutcome()
    {
        WindowHarness h;
        h.create();
        h.form1->start();
        auto* test = control<QPushButton>(h.form1.get(), u"PushButton5"_s);
        QTest::mouseClick(test, Qt::LeftButton);
        h.database.refuseLogin = u"[Memory]Login failed."_s;
        QTest::mouseClick(test, Qt::LeftButton);
        QCOMPARE(
            h.dialogs.messages(),
            (QStringList{u"Connection successful."_s, u"Could not connect. Please check with your administrator."_s}));
        QCOMPARE(h.form1->pointer(), MousePointer::Default);
    }

    void autoBackupOnOffAndBack()
    {
        WindowHarness h;
        h.seedDatabase();
        h.seed(SettingKeys::MSServer, u"db.example"_s);
        h.create();
        h.form1->start();
        QWidget* w = h.form2.get();
        auto* onOff = control<QPushButton>(w, u"PushButton5"_s);

        QTest::mouseClick(onOff, Qt::LeftButton);
        QCOMPARE(onOff->text(), u"Turn On Auto Backup"_s);
        QCOMPARE(h.form2->timerInterval(), 0);
        QCOMPARE(h.stored(SettingKeys::StartStopState), u"Off"_s);
        QTest::mouseClick(onOff, Qt::LeftButton);
        QCOMPARE(onOff->text(), u"Turn Off Auto Backup"_s);
        QCOMPARE(h.form2->timerInterval(), 1000);
        QCOMPARE(h.stored(SettingKeys::StartStopState), u"On"_s);

        h.form2->setCaption(u"Next backup will occur in 00:08:00"_s);
        QTest::mouseClick(control<QPushButton>(w, u"PushButton3"_s), Qt::LeftButton);
        QVERIFY(h.form1->isVisible());
        QVERIFY(!h.form2->isVisible());
        QCOMPARE(h.stored(SettingKeys::StartStopState), u"Off"_s);
        QCOMPARE(h.form2->timerInterval(), 0);
        QVERIFY(h.tray.shown); // the main window stays loaded, with its icon

        // "Next >" brings the same window back as it was left.
        QTest::mouseClick(control<QPushButton>(h.form1.get(), u"PushButton3"_s), Qt::LeftButton);
        QVERIFY(h.form2->isVisible());
        QCOMPARE(onOff->text(), u"Turn On Auto Backup"_s);
        QCOMPARE(h.form2->caption(), u"Next backup will occur in 00:08:00"_s);
        QCOMPARE(h.dialogs.shown().size(), 0);
    }

    void startsWithAutoBackupOffWhenStoredSo()
    {
        WindowHarness h;
        h.seed(SettingKeys::StartStopState, u"Off"_s);
        h.create();
        h.form2->showWindow();
        QCOMPARE(h.form2->autoBackupCaption(), u"Turn On Auto Backup"_s);
        QCOMPARE(h.form2->caption(), u"Auto Backup is Turned Off."_s);
        QCOMPARE(h.form2->timerInterval(), 0);
    }

    void backupNowWritesTheScriptThroughTheEngine()
    {
        WindowHarness h;
        h.seedDatabase();
        h.seed(SettingKeys::MSServer, u"db.example"_s);
        h.seed(SettingKeys::MSDatabase, u"Sales"_s);
        h.seed(SettingKeys::StartStopState, u"Off"_s);
        h.seed(SettingKeys::Path, h.backupFolder());
        h.create();
        h.form1->start();
        QVERIFY(h.form2->isVisible());

        QStringList statuses;
        auto* frame = control<QGroupBox>(h.form2.get(), u"Frame5"_s);
        QTimer watch; // the frame's title has no change signal: sample it while the command pumps events
        connect(&watch, &QTimer::timeout, this, [&] {
            if (statuses.isEmpty() || statuses.constLast() != frame->title())
                statuses.append(frame->title());
        });
        watch.start(0);
        QTest::mouseClick(control<QPushButton>(h.form2.get(), u"PushButton6"_s), Qt::LeftButton);
        watch.stop();

        QCOMPARE(h.dialogs.shown().size(), 0);
        const QStringList files = sqlFilesIn(h.backupFolder());
        QCOMPARE(files.size(), 1);
        QVERIFY(files.at(0).startsWith(u"Sales "_s));
        QFile script(h.backupFolder() + files.at(0));
        QVERIFY(script.open(QIODevice::ReadOnly));
        QVERIFY(script.readAll().contains("INSERT INTO"));
        // The connection string is built from the connection window's fields, with the port.
        QVERIFY(h.database.connectionStrings.constLast().contains(u"Server=db.example,1433;"_s));
        // Afterwards the status line is back and the pointer is the arrow again.
        QCOMPARE(frame->title(), u"Auto Backup is Turned Off."_s);
        QVERIFY(statuses.contains(u"Backing up files..."_s));
        QVERIFY(statuses.filter(u"Auto Backup Complete at "_s).size() == 1);
        QCOMPARE(h.form2->pointer(), MousePointer::Default);
    }

    void invalidIntervalPositionSelectsTheDefaultAfterTheReport_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<int>("line");
        QTest::newRow("not a number") << u"often"_s << 142;
        QTest::newRow("beyond 16 bits") << u"70000"_s << 142;
        QTest::newRow("past the list") << u"12"_s << 144;
        QTest::newRow("zero") << u"0"_s << 144;
    }

    void invalidIntervalPositionSelectsTheDefaultAfterTheReport()
    {
        QFETCH(QString, stored);
        QFETCH(int, line);
        WindowHarness h;
        h.seed(SettingKeys::OftenIndex, stored);
        h.create();
        h.form2->showWindow();
        QCOMPARE(h.dialogs.errorReports().size(), 1);
        QCOMPARE(errorLocation(h.dialogs.errorReports().at(0)),
                 u"in Quorvane2021/08/31.Form2.Form_Load at line %1"_s.arg(line));
        QCOMPARE(h.form2->selectedIntervalCaption(), std::optional<QString>(u"Backup every 10 minutes"_s));
        // The rest of the load ran on.
        QCOMPARE(h.form2->timerInterval(), 1000);
        QVERIFY(h.tray.shown);
    }

    void keepAndCompressControlsStoreEveryChange()
    {
        WindowHarness h;
        h.create();
        h.form2->showWindow();
        QVERIFY(QTest::qWaitForWindowActive(h.form2.get()));
        QWidget* w = h.form2.get();
        auto* keep = control<QSpinBox>(w, u"KeepBackupsBox"_s);
        auto* compress = control<QCheckBox>(w, u"CompressCheck"_s);
        QCOMPARE(control<QLabel>(w, u"KeepBackupsLabel1"_s)->text(), u"Keep the newest"_s);
        QCOMPARE(control<QLabel>(w, u"KeepBackupsLabel2"_s)->text(), u"backups (0 keeps all)"_s);
        QCOMPARE(compress->text(), u"Compress backups (gzip)"_s);
        // Both sit in the folder frame, under its buttons.
        QCOMPARE(keep->parentWidget(), control<QWidget>(w, u"Frame2"_s));
        QCOMPARE(compress->parentWidget(), control<QWidget>(w, u"Frame2"_s));
        QVERIFY(keep->geometry().top() > control<QWidget>(w, u"PushButton2"_s)->geometry().bottom());
        QCOMPARE(keep->value(), 0);
        QVERIFY(!compress->isChecked());
        QCOMPARE(h.stored(SettingKeys::KeepBackups), u"<absent>"_s); // a first start behaves as before
        QCOMPARE(h.stored(SettingKeys::Compress), u"<absent>"_s);

        // Every keystroke stores the number typed so far.
        keep->setFocus();
        keep->selectAll();
        QTest::keyClick(keep, Qt::Key_1);
        QCOMPARE(h.stored(SettingKeys::KeepBackups), u"1"_s);
        QTest::keyClick(keep, Qt::Key_2);
        QCOMPARE(h.stored(SettingKeys::KeepBackups), u"12"_s);
        QTest::keyClick(keep, Qt::Key_Up);
        QCOMPARE(h.stored(SettingKeys::KeepBackups), u"13"_s);
        QCOMPARE(h.form2->backupOptions().keep, 13);
        keep->setValue(200000); // the box holds no more than 100000
        QCOMPARE(h.stored(SettingKeys::KeepBackups), u"100000"_s);

        QTest::mouseClick(compress, Qt::LeftButton, {}, QPoint(5, compress->height() / 2));
        QCOMPARE(h.stored(SettingKeys::Compress), u"On"_s);
        QVERIFY(h.form2->backupOptions().compress);
        QTest::mouseClick(compress, Qt::LeftButton, {}, QPoint(5, compress->height() / 2));
        QCOMPARE(h.stored(SettingKeys::Compress), u"Off"_s);
        QCOMPARE(h.dialogs.shown().size(), 0);

        // The keyboard reaches them after the folder frame's buttons, before the on/off button.
        control<QWidget>(w, u"PushButton1"_s)->setFocus();
        QStringList order;
        for (int i = 0; i < 6; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QWidget* focused = QApplication::focusWidget();
            while (focused && focused->objectName().isEmpty()) // the spin box's own line edit
                focused = focused->parentWidget();
            order << (focused ? focused->objectName() : u"none"_s);
        }
        QCOMPARE(order,
                 (QStringList{u"KeepBackupsBox"_s, u"CompressCheck"_s, u"CopyToText"_s, u"CopyToRemotes"_s,
                              u"CompleteSchemaCheck"_s, u"PushButton5"_s}));
    }

    void completeSchemaBoxStoresEveryChange_data()
    {
        QTest::addColumn<QString>("stored"); // at load; "<absent>" for none
        QTest::addColumn<bool>("ticked");
        QTest::newRow("first start") << u"<absent>"_s << false;
        QTest::newRow("On") << u"On"_s << true;
        QTest::newRow("Off") << u"Off"_s << false;
        QTest::newRow("anything else") << u"yes"_s << false;
    }
    void completeSchemaBoxStoresEveryChange()
    {
        QFETCH(QString, stored);
        QFETCH(bool, ticked);
        WindowHarness h;
        if (stored != u"<absent>"_s)
            h.seed(SettingKeys::CompleteSchema, stored);
        h.create();
        h.form2->showWindow();
        QVERIFY(QTest::qWaitForWindowActive(h.form2.get()));
        QWidget* w = h.form2.get();
        auto* box = control<QCheckBox>(w, u"CompleteSchemaCheck"_s);
        QCOMPARE(box->text(), u"Complete schema (keys, identity, defaults, indexes, views, procedures, triggers)"_s);
        // In the folder frame, in a row of its own under the retention and compression row.
        QCOMPARE(box->parentWidget(), control<QWidget>(w, u"Frame2"_s));
        QVERIFY(box->geometry().top() > control<QWidget>(w, u"CompressCheck"_s)->geometry().bottom());
        QVERIFY(box->geometry().bottom() <= control<QWidget>(w, u"Frame2"_s)->height());
        QCOMPARE(box->isChecked(), ticked);
        QCOMPARE(h.form2->backupOptions().complete, ticked);
        QCOMPARE(h.stored(SettingKeys::CompleteSchema), stored); // the load writes nothing back

        QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(5, box->height() / 2));
        QCOMPARE(h.stored(SettingKeys::CompleteSchema), ticked ? u"Off"_s : u"On"_s);
        QCOMPARE(h.form2->backupOptions().complete, !ticked);
        QCOMPARE(h.dumpSource.options().complete, !ticked); // what the next dump reads
        QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(5, box->height() / 2));
        QCOMPARE(h.stored(SettingKeys::CompleteSchema), ticked ? u"On"_s : u"Off"_s);
        QCOMPARE(h.dialogs.shown().size(), 0);
    }

    void copyToFieldIsStoredWhenLeftAndRefusedWhenNoCopyCanBeMade()
    {
        WindowHarness h;
        h.create();
        h.form2->showWindow();
        QVERIFY(QTest::qWaitForWindowActive(h.form2.get()));
        QWidget* w = h.form2.get();
        auto* field = control<QLineEdit>(w, u"CopyToText"_s);
        QCOMPARE(control<QLabel>(w, u"CopyToLabel"_s)->text(), u"Copy each backup to:"_s);
        QCOMPARE(field->parentWidget(), control<QWidget>(w, u"Frame2"_s));
        QVERIFY(field->geometry().top() > control<QWidget>(w, u"KeepBackupsBox"_s)->geometry().bottom());
        QCOMPARE(field->text(), QString());
        QCOMPARE(h.stored(SettingKeys::CopyTo), u"<absent>"_s); // a first start makes no copy

        const auto enter = [&](const QString& text) {
            field->setFocus();
            field->selectAll();
            QTest::keyClick(field, Qt::Key_Backspace);
            QTest::keyClicks(field, text);
            QTest::keyClick(field, Qt::Key_Return);
        };
        // Stored when the field is left, not at every key.
        field->setFocus();
        QTest::keyClicks(field, u"nas:sq"_s);
        QCOMPARE(h.stored(SettingKeys::CopyTo), u"<absent>"_s);
        QTest::keyClicks(field, u"l"_s);
        QTest::keyClick(field, Qt::Key_Return);
        QCOMPARE(h.stored(SettingKeys::CopyTo), u"nas:sql"_s);
        QCOMPARE(h.form2->backupOptions().copyTo, u"nas:sql"_s);
        QCOMPARE(h.dialogs.shown().size(), 0);

        // A remote's settings in the field would put its password in our settings: refused, nothing of it kept.
        enter(u"nas,pass=secret:sql"_s);
        QCOMPARE(h.dialogs.messages().size(), 1);
        QVERIFY2(h.dialogs.messages().at(0).contains(u"rclone config"_s), qPrintable(h.dialogs.messages().at(0)));
        QCOMPARE(field->text(), u"nas:sql"_s);
        QCOMPARE(h.stored(SettingKeys::CopyTo), u"nas:sql"_s);
        QVERIFY(h.storeText().contains(u"nas:sql"_s));
        QVERIFY(!h.storeText().contains(u"secret"_s));

        // Without rclone no destination is taken; the message names the package.
        h.processes.installed = false;
        enter(u"s3:bucket"_s);
        QCOMPARE(h.dialogs.messages().size(), 2);
        QVERIFY2(h.dialogs.messages().at(1).contains(OffsiteCopy::installHint()),
                 qPrintable(h.dialogs.messages().at(1)));
        QCOMPARE(h.stored(SettingKeys::CopyTo), u"nas:sql"_s);
        // A folder is copied without rclone: it is taken.
        enter(u"/mnt/nas/sql"_s);
        QCOMPARE(h.stored(SettingKeys::CopyTo), u"/mnt/nas/sql"_s);
        QCOMPARE(h.dialogs.messages().size(), 2);
        // Emptying the field (no copy) is always taken.
        enter(QString());
        QCOMPARE(h.stored(SettingKeys::CopyTo), QString());
        QCOMPARE(h.form2->backupOptions().copyTo, QString());
        QCOMPARE(h.dialogs.messages().size(), 2);
        QCOMPARE(int(h.processes.calls.size()), 0);
    }

    void remotesButtonOffersTheConfiguredRemotes()
    {
        WindowHarness h;
        h.create();
        h.form2->showWindow();
        auto* field = control<QLineEdit>(h.form2.get(), u"CopyToText"_s);
        auto* button = control<QPushButton>(h.form2.get(), u"CopyToRemotes"_s);
        QCOMPARE(button->text(), u"Remotes"_s);

        h.processes.answers = {FakeProcessRunner::exited(0, {}, "nas:\ns3:\n")};
        h.dialogs.setNextPath(u"s3:"_s);
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(h.processes.commands(), QStringList{u"listremotes"_s});
        QCOMPARE(h.dialogs.lastItems(), (QStringList{u"nas:"_s, u"s3:"_s}));
        QCOMPARE(field->text(), u"s3:"_s);
        QCOMPARE(h.stored(SettingKeys::CopyTo), u"s3:"_s);

        // Cancelled: nothing changes.
        h.processes.answers = {FakeProcessRunner::exited(0, {}, "nas:\n")};
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(field->text(), u"s3:"_s);

        // None set up, rclone failing, rclone missing: each said in a message.
        h.processes.answers = {FakeProcessRunner::exited(0, {}, "")};
        QTest::mouseClick(button, Qt::LeftButton);
        h.processes.answers = {FakeProcessRunner::exited(1, "2026/12/08 10:00:00 Failed to load config file\n")};
        QTest::mouseClick(button, Qt::LeftButton);
        h.processes.installed = false;
        QTest::mouseClick(button, Qt::LeftButton);
        const QStringList messages = h.dialogs.messages();
        QCOMPARE(messages.size(), 3);
        QVERIFY2(messages.at(0).contains(u"rclone config"_s), qPrintable(messages.at(0)));
        QVERIFY2(messages.at(1).contains(u"Failed to load config file (rclone exit status 1)"_s),
                 qPrintable(messages.at(1)));
        QVERIFY2(messages.at(2).contains(OffsiteCopy::installHint()), qPrintable(messages.at(2)));
        QCOMPARE(h.stored(SettingKeys::CopyTo), u"s3:"_s);
    }

    void storedDestinationWithoutRcloneIsSaidAtLoad()
    {
        WindowHarness h;
        h.seed(SettingKeys::CopyTo, u"nas:sql"_s);
        h.processes.installed = false;
        h.create();
        h.form2->showWindow();
        QCOMPARE(control<QLineEdit>(h.form2.get(), u"CopyToText"_s)->text(), u"nas:sql"_s);
        QCOMPARE(h.dialogs.messages().size(), 1);
        QVERIFY(h.dialogs.messages().at(0).contains(OffsiteCopy::installHint()));
        QVERIFY(h.tray.shown); // the rest of the load ran
    }

    void backupNowCopiesAndSaysSoInTheStatusLine_data()
    {
        QTest::addColumn<bool>("fails");
        QTest::addColumn<QString>("said");
        QTest::newRow("copied") << false << u"copied to nas:sql"_s;
        QTest::newRow("refused")
            << true << u"not copied to nas:sql: couldn't connect SSH: unable to authenticate (rclone exit status 1)"_s;
    }
    void backupNowCopiesAndSaysSoInTheStatusLine()
    {
        QFETCH(bool, fails);
        QFETCH(QString, said);
        WindowHarness h;
        h.seedDatabase();
        h.seed(SettingKeys::MSServer, u"db.example"_s);
        h.seed(SettingKeys::MSDatabase, u"Sales"_s);
        h.seed(SettingKeys::StartStopState, u"Off"_s);
        h.seed(SettingKeys::Path, h.backupFolder());
        h.seed(SettingKeys::CopyTo, u"nas:sql"_s);
        if (fails)
            h.processes.answers
                = {FakeProcessRunner::exited(1,
                                             "2026/12/08 10:00:00 ERROR : couldn't connect SSH: unable to "
                                             "authenticate\n")};
        h.create();
        h.form1->start();
        QVERIFY(h.form2->isVisible());
        // The status line as the pause after "Backup Now (Test)" shows it, before the command puts its own back.
        QStringList captions;
        QTimer watch;
        watch.setInterval(0);
        connect(&watch, &QTimer::timeout, this, [&] {
            if (captions.isEmpty() || captions.constLast() != h.form2->caption())
                captions << h.form2->caption();
        });
        watch.start();
        QTest::mouseClick(control<QPushButton>(h.form2.get(), u"PushButton6"_s), Qt::LeftButton);
        watch.stop();

        const QString backup = h.engine->lastOutputPath();
        QVERIFY(backup.endsWith(u"/Sales 2021-08-31 930AM.sql"_s));
        QVERIFY(QFile::exists(backup));
        QCOMPARE(h.processes.calls.at(0).arguments.mid(h.processes.calls.at(0).arguments.size() - 2),
                 (QStringList{backup, u"nas:sql/Sales 2021-08-31 930AM.sql"_s}));
        QVERIFY2(captions.contains(u"Auto Backup Complete at 8/31/2021 9:30:12 AM; "_s + said),
                 qPrintable(captions.join(u" | "_s)));
        QFile log(h.root.path() + u"/temp/backups.log"_s);
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(QString::fromUtf8(log.readAll()).contains(QDir::toNativeSeparators(backup) + u' ' + said + u" at "_s));
        // A failed copy is no failure of the backup: no box interrupts the user.
        QCOMPARE(h.dialogs.shown().size(), 0);
    }

    void signalDuringBackupNowLeavesNoFileAndNoBox()
    {
        // The program is ending: the dump stops where it is, its working file goes, the log says "interrupted", and
        // no box waits for a click.
        WindowHarness h;
        h.seedDatabase();
        auto& rows = h.database.addTable(u"Orders"_s, {{u"Id"_s, u"int"_s, {}, 10, 0}});
        for (int i = 0; i < 500; ++i)
            rows.rows.push_back({FieldValue::ofText(QString::number(i), FieldValue::Kind::Integer)});
        h.seed(SettingKeys::MSServer, u"db.example"_s);
        h.seed(SettingKeys::MSDatabase, u"Sales"_s);
        h.seed(SettingKeys::StartStopState, u"Off"_s);
        h.seed(SettingKeys::Path, h.backupFolder());
        h.seed(SettingKeys::CopyTo, u"nas:sql"_s);
        h.create();
        h.form1->start();
        QVERIFY(h.form2->isVisible());
        int pumpsInDump = 0;
        h.onPump = [&] {
            if (h.guard.busy() && ++pumpsInDump == 20)
                h.stop.request(SIGTERM);
        };
        QTest::mouseClick(control<QPushButton>(h.form2.get(), u"PushButton6"_s), Qt::LeftButton);

        QVERIFY(pumpsInDump >= 20);
        QVERIFY(h.engine->wasInterrupted());
        QVERIFY(!h.form2->restoreInterrupted());
        QCOMPARE(QDir(h.backupFolder()).entryList(QDir::Files | QDir::Hidden), QStringList());
        QCOMPARE(h.processes.calls.size(), 0); // nothing to copy
        QFile log(h.root.path() + u"/temp/backups.log"_s);
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QString logText = QString::fromUtf8(log.readAll());
        QVERIFY2(logText.endsWith(u": interrupted\r\n"_s) && logText.count(u"\r\n"_s) == 1, qPrintable(logText));
        QVERIFY2(logText.contains(QDir::toNativeSeparators(u"/Sales 2021-08-31 930AM.sql backup failed at "_s)),
                 qPrintable(logText));
        QCOMPARE(h.dialogs.shown().size(), 0);
    }

    void restoreThatFailsShowsOneBoxNamingTheCause_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("message"); // %1: the script's path
        QTest::newRow("the server refuses the second batch")
            << u"refused"_s
            << u"[Memory][SQL Server]Invalid object name 'Orders'.\nThe failing batch begins at line 3 of %1\n"
               u"Restore failed: the server refused this batch; 1 batch of the script ran before it and stays done, "
               u"and no more were sent."_s;
        QTest::newRow("the connection cannot be opened")
            << u"login"_s << u"Could not connect. Please check with your administrator."_s;
    }
    void restoreThatFailsShowsOneBoxNamingTheCause()
    {
        QFETCH(QString, fault);
        QFETCH(QString, message);
        WindowHarness h;
        h.seedDatabase();
        const QString script = h.root.filePath(u"restore.sql"_s);
        QFile file(script);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("SELECT 1\r\nGO\r\nSELECT * FROM [Orders]\r\nGO\r\nSELECT 3\r\n");
        file.close();
        h.seed(SettingKeys::RestoreFile, script);
        h.create();
        h.form2->showWindow();
        if (fault == u"refused"_s) {
            h.database.failCommandContaining = u"[Orders]"_s;
            h.database.failText = u"[Memory][SQL Server]Invalid object name 'Orders'."_s;
        } else {
            h.database.refuseLogin = u"[Memory][SQL Server]Unable to connect: the server is unavailable"_s;
        }
        QCOMPARE(h.form2->autoBackupCaption(), u"Turn Off Auto Backup"_s);

        QTest::mouseClick(control<QPushButton>(h.form2.get(), u"PushButton9"_s), Qt::LeftButton);

        QCOMPARE(h.dialogs.shown().size(), 1);
        QCOMPARE(h.dialogs.messages(), QStringList{message.contains(u"%1"_s) ? message.arg(script) : message});
        QCOMPARE(h.form2->autoBackupCaption(), u"Turn On Auto Backup"_s);
        QCOMPARE(h.stored(SettingKeys::StartStopState), u"Off"_s);
        QVERIFY(!h.database.executed.join(QString()).contains(u"SELECT 3"_s));
    }

    void keepAndCompressAreReadAtLoad_data()
    {
        QTest::addColumn<QString>("keep");
        QTest::addColumn<QString>("compress");
        QTest::addColumn<int>("shown");
        QTest::addColumn<bool>("ticked");
        QTest::addColumn<bool>("reported");
        QTest::newRow("5, On") << u"5"_s << u"On"_s << 5 << true << false;
        QTest::newRow("0, Off") << u"0"_s << u"Off"_s << 0 << false << false;
        QTest::newRow("largest, lower-case on") << u"100000"_s << u"on"_s << 100000 << false << false;
        QTest::newRow("too large") << u"100001"_s << u"On"_s << 0 << true << true;
        QTest::newRow("negative") << u"-2"_s << u"Off"_s << 0 << false << true;
        QTest::newRow("word") << u"ten"_s << u"On"_s << 0 << true << true;
    }

    void keepAndCompressAreReadAtLoad()
    {
        QFETCH(QString, keep);
        QFETCH(QString, compress);
        QFETCH(int, shown);
        QFETCH(bool, ticked);
        QFETCH(bool, reported);
        WindowHarness h;
        h.seed(SettingKeys::KeepBackups, keep);
        h.seed(SettingKeys::Compress, compress);
        h.create();
        h.form2->showWindow();
        QCOMPARE(control<QSpinBox>(h.form2.get(), u"KeepBackupsBox"_s)->value(), shown);
        QCOMPARE(control<QCheckBox>(h.form2.get(), u"CompressCheck"_s)->isChecked(), ticked);
        const QStringList reports = h.dialogs.errorReports();
        QCOMPARE(reports.size(), reported ? 1 : 0);
        if (reported) {
            QCOMPARE(reports.at(0).section(u"\r\n"_s, 0, 0),
                     u"The number of backups to keep \"%1\" is not a whole number from 0 to 100000."_s.arg(keep));
            QCOMPARE(errorLocation(reports.at(0)), u"in Quorvane2021/08/31.Form2.Form_Load at line 178"_s);
        }
        QCOMPARE(h.stored(SettingKeys::KeepBackups), keep); // the load writes nothing back
        QCOMPARE(h.stored(SettingKeys::Compress), compress);
        QVERIFY(h.tray.shown); // the rest of the load ran
    }

    void restoreAsAndVerifyStoreEveryChange()
    {
        WindowHarness h;
        h.create();
        h.form2->showWindow();
        QVERIFY(QTest::qWaitForWindowActive(h.form2.get()));
        QWidget* w = h.form2.get();
        auto* restoreAs = control<QLineEdit>(w, u"RestoreAsText"_s);
        auto* verify = control<QCheckBox>(w, u"VerifyCheck"_s);
        QCOMPARE(control<QLabel>(w, u"RestoreAsLabel"_s)->text(), u"Restore as:"_s);
        QCOMPARE(verify->text(), u"Verify each backup"_s);
        // Both sit in the restore frame, under its button, above the on/off button.
        QCOMPARE(restoreAs->parentWidget(), control<QWidget>(w, u"Frame3"_s));
        QCOMPARE(verify->parentWidget(), control<QWidget>(w, u"Frame3"_s));
        QVERIFY(restoreAs->geometry().top() > control<QWidget>(w, u"PushButton9"_s)->geometry().bottom());
        QVERIFY(control<QWidget>(w, u"Frame3"_s)->geometry().bottom()
                < control<QWidget>(w, u"PushButton5"_s)->geometry().top());
        QCOMPARE(restoreAs->text(), QString());
        QVERIFY(!verify->isChecked());
        QVERIFY(!h.form2->backupOptions().verify);
        QCOMPARE(h.stored(SettingKeys::RestoreAs), u"<absent>"_s); // a first start behaves as before
        QCOMPARE(h.stored(SettingKeys::VerifyBackups), u"<absent>"_s);

        restoreAs->setFocus();
        QTest::keyClicks(restoreAs, u"Sa"_s);
        QCOMPARE(h.stored(SettingKeys::RestoreAs), u"Sa"_s);
        QTest::keyClicks(restoreAs, u"les_old"_s);
        QCOMPARE(h.stored(SettingKeys::RestoreAs), u"Sales_old"_s);
        QCOMPARE(h.form2->restoreAs(), u"Sales_old"_s);
        restoreAs->clear();
        QCOMPARE(h.stored(SettingKeys::RestoreAs), QString());

        QTest::mouseClick(verify, Qt::LeftButton, {}, QPoint(5, verify->height() / 2));
        QCOMPARE(h.stored(SettingKeys::VerifyBackups), u"On"_s);
        QVERIFY(h.form2->backupOptions().verify);
        QTest::mouseClick(verify, Qt::LeftButton, {}, QPoint(5, verify->height() / 2));
        QCOMPARE(h.stored(SettingKeys::VerifyBackups), u"Off"_s);
        QCOMPARE(h.dialogs.shown().size(), 0);

        // The keyboard reaches them after the restore button.
        control<QWidget>(w, u"PushButton9"_s)->setFocus();
        QStringList order;
        for (int i = 0; i < 2; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            order << QApplication::focusWidget()->objectName();
        }
        QCOMPARE(order, (QStringList{u"RestoreAsText"_s, u"VerifyCheck"_s}));
    }

    void restoreAsAndVerifyAreReadAtLoad_data()
    {
        QTest::addColumn<QString>("restoreAs");
        QTest::addColumn<QString>("verify");
        QTest::addColumn<bool>("ticked");
        QTest::newRow("name, On") << u"Sales_old"_s << u"On"_s << true;
        QTest::newRow("hostile name, Off") << u"a]b's -- c"_s << u"Off"_s << false;
        QTest::newRow("empty, lower-case on") << QString() << u"on"_s << false;
    }

    void restoreAsAndVerifyAreReadAtLoad()
    {
        QFETCH(QString, restoreAs);
        QFETCH(QString, verify);
        QFETCH(bool, ticked);
        WindowHarness h;
        h.seed(SettingKeys::RestoreAs, restoreAs);
        h.seed(SettingKeys::VerifyBackups, verify);
        h.create();
        h.form2->showWindow();
        QCOMPARE(control<QLineEdit>(h.form2.get(), u"RestoreAsText"_s)->text(), restoreAs);
        QCOMPARE(h.form2->restoreAs(), restoreAs);
        QCOMPARE(control<QCheckBox>(h.form2.get(), u"VerifyCheck"_s)->isChecked(), ticked);
        QCOMPARE(h.dialogs.errorReports(), QStringList());
        QCOMPARE(h.stored(SettingKeys::RestoreAs), restoreAs); // the load writes nothing else back
        QCOMPARE(h.stored(SettingKeys::VerifyBackups), verify);
    }

    void backupNowKeepsTheNewestAndCompresses()
    {
        WindowHarness h;
        h.seedDatabase();
        h.seed(SettingKeys::MSServer, u"db.example"_s);
        h.seed(SettingKeys::MSDatabase, u"Sales"_s);
        h.seed(SettingKeys::StartStopState, u"Off"_s);
        h.seed(SettingKeys::Path, h.backupFolder());
        h.create();
        h.form1->start();
        QVERIFY(h.form2->isVisible());
        const QByteArray ownHeader = "-- Server: db.example    Database: Sales\r\n-- " + QByteArray(54, '-')
            + "\r\n-- Generated By: Tessaline\r\n";
        for (const QString& name : {u"Sales 2021-08-31 920AM.sql"_s, u"Sales 2021-08-31 925AM.sql"_s,
                                    u"Sales 2021-08-30 925AM.sql"_s, u"notes.sql"_s}) {
            QFile file(h.backupFolder() + name);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(ownHeader);
        }

        control<QSpinBox>(h.form2.get(), u"KeepBackupsBox"_s)->setValue(2);
        control<QCheckBox>(h.form2.get(), u"CompressCheck"_s)->setChecked(true);
        QTest::mouseClick(control<QPushButton>(h.form2.get(), u"PushButton6"_s), Qt::LeftButton);

        QCOMPARE(h.dialogs.shown().size(), 0);
        QCOMPARE(QDir(h.backupFolder()).entryList(QDir::Files, QDir::Name),
                 (QStringList{u"Sales 2021-08-31 925AM.sql"_s, u"Sales 2021-08-31 930AM.sql.gz"_s, u"notes.sql"_s}));
        QFile script(h.backupFolder() + u"Sales 2021-08-31 930AM.sql.gz"_s);
        QVERIFY(script.open(QIODevice::ReadOnly));
        const QByteArray text = readScriptBytes(script, script.fileName());
        QVERIFY(text.startsWith(ownHeader));
        QVERIFY(text.contains("INSERT INTO"));
    }

    void listClickStoresThePosition()
    {
        WindowHarness h;
        h.create();
        h.form2->showWindow();
        QVERIFY(QTest::qWaitForWindowExposed(h.form2.get()));
        auto* list = control<QTreeWidget>(h.form2.get(), u"ListView2"_s);
        QTreeWidgetItem* hour = list->topLevelItem(5);
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(hour).center());
        QCOMPARE(h.stored(SettingKeys::OftenIndex), u"6"_s);
        QCOMPARE(h.form2->schedule().IntervalLength(), 3600);
    }

    void folderButtonsPickAndOpenTheBackupFolder()
    {
        WindowHarness h;
        h.create();
        h.form2->showWindow();
        auto* pick = control<QPushButton>(h.form2.get(), u"PushButton1"_s);
        auto* folder = control<QLineEdit>(h.form2.get(), u"Text5"_s);

        QTest::mouseClick(pick, Qt::LeftButton); // cancelled
        QCOMPARE(folder->text(), DesktopFolderPath());
        QCOMPARE(h.dialogs.shown().constLast().text, u"Please select folder:"_s);
        h.dialogs.setNextPath(u"/srv/backups"_s);
        QTest::mouseClick(pick, Qt::LeftButton);
        // The chosen folder is shown, and stored, with the platform's separators: backslashes on Windows.
        QCOMPARE(folder->text(), QDir::toNativeSeparators(u"/srv/backups/"_s));
        QCOMPARE(h.stored(SettingKeys::Path), QDir::toNativeSeparators(u"/srv/backups/"_s));
        h.dialogs.setNextPath(u"/"_s);
        QTest::mouseClick(pick, Qt::LeftButton);
        QCOMPARE(folder->text(), QDir::toNativeSeparators(u"/"_s));

        folder->setText(u"/home/u/My Backups/"_s);
        QTest::mouseClick(control<QPushButton>(h.form2.get(), u"PushButton2"_s), Qt::LeftButton);
        QCOMPARE(h.opener.folders, QStringList{u"/home/u/My Backups/"_s});
        QCOMPARE(h.dialogs.errorReports(), QStringList());
    }

    void startupOptionsWriteAndRemoveTheAutostartEntry()
    {
        WindowHarness h;
        h.create();
        h.form2->showWindow();
        QWidget* w = h.form2.get();
        auto* atLogin = control<QCheckBox>(w, u"Check4"_s);
        auto* inTray = control<QCheckBox>(w, u"Check11"_s);

        QTest::mouseClick(atLogin, Qt::LeftButton);
        QCOMPARE(h.stored(SettingKeys::WindowsStartup), u"On"_s);
        QVERIFY2(h.startupEntry().contains(h.startupCommand()), qPrintable(h.startupEntry()));
        QVERIFY(inTray->isVisibleTo(w));

        QTest::mouseClick(inTray, Qt::LeftButton);
        QCOMPARE(h.stored(SettingKeys::Minimized), u"On"_s);

        // Unticking the first box unticks and hides the second, which stores "Off".
        QTest::mouseClick(atLogin, Qt::LeftButton);
        QVERIFY(!inTray->isChecked());
        QVERIFY(!inTray->isVisibleTo(w));
        QCOMPARE(h.stored(SettingKeys::Minimized), u"Off"_s);
        QCOMPARE(h.stored(SettingKeys::WindowsStartup), u"Off"_s);
        QCOMPARE(h.startupEntry(), QString());
        QCOMPARE(h.dialogs.shown().size(), 0);

        // An entry that cannot be written is said in a message box (on Windows tst_runkey refuses the write).
        if (!h.blockStartupEntry())
            return;
        QTest::mouseClick(atLogin, Qt::LeftButton);
        QCOMPARE(h.dialogs.messages().size(), 1);
        QVERIFY(h.dialogs.messages().at(0).contains(u"autostart"_s));
    }

    void loadSetsTheStartupOptionsWithoutTouchingTheEntry()
    {
        WindowHarness h;
        h.seed(SettingKeys::WindowsStartup, u"On"_s);
        h.seed(SettingKeys::Minimized, u"on"_s); // another case counts as off
        h.create();
        h.form2->showWindow();
        QVERIFY(control<QCheckBox>(h.form2.get(), u"Check4"_s)->isChecked());
        QVERIFY(!control<QCheckBox>(h.form2.get(), u"Check11"_s)->isChecked());
        QCOMPARE(h.startupEntry(), QString());
        QVERIFY(h.form2->isVisible());
    }

    void startInSystemTrayGoesStraightToTheTray()
    {
        WindowHarness h;
        h.seed(SettingKeys::WindowsStartup, u"On"_s);
        h.seed(SettingKeys::Minimized, u"On"_s);
        h.create();
        h.form2->showWindow();
        QVERIFY(control<QCheckBox>(h.form2.get(), u"Check11"_s)->isChecked());
        QCOMPARE(h.stored(SettingKeys::Minimized), u"On"_s);
        QVERIFY(!h.form2->isVisible());
        QVERIFY(h.form2->trayMinimizer().MinimizedToTray());
        QVERIFY(h.tray.shown);
        QCOMPARE(h.tray.balloons.size(), 1);
        QCOMPARE(h.tray.balloons.at(0).text, TrayMinimizer::BalloonText);
        QCOMPARE(h.form2->timerInterval(), 1000); // the schedule runs in the tray too

        h.tray.notify(TrayNotification::RightButtonUp);
        QVERIFY(h.form2->isVisible());
        QVERIFY(!h.form2->isMinimized());
    }

    void minimiseAndRestoreThroughTheTray()
    {
        WindowHarness h;
        h.create();
        h.form2->showWindow();
        QVERIFY(QTest::qWaitForWindowExposed(h.form2.get()));

        for (int round = 1; round <= 2; ++round) {
            h.form2->showMinimized();
            QTRY_VERIFY(!h.form2->isVisible());
            QVERIFY(h.form2->trayMinimizer().MinimizedToTray());
            // The balloon comes with the first minimise only.
            QCOMPARE(h.tray.balloons.size(), 1);
            h.tray.notify(TrayNotification::LeftButtonDown);
            QVERIFY(!h.form2->isVisible());
            h.tray.notify(TrayNotification::LeftButtonUp);
            QVERIFY(h.form2->isVisible());
            QVERIFY(!h.form2->trayMinimizer().MinimizedToTray());
        }
    }

    void closingTheMainWindowRemovesTheTrayIconAndEnds()
    {
        WindowHarness h;
        h.create();
        h.form2->showWindow();
        QVERIFY(h.tray.shown);
        h.form2->close();
        QCOMPARE(h.form2->timerInterval(), 0);
        QVERIFY(!h.tray.shown);
        QCOMPARE(h.tray.deletes, 1);
        QCOMPARE(h.endRequests, 1);
        QCOMPARE(h.dialogs.shown().size(), 0);
    }

    void closingTheConnectionWindowEnds()
    {
        WindowHarness h;
        h.create();
        h.form1->start();
        h.form1->close();
        QCOMPARE(h.endRequests, 1);
        QVERIFY(!h.form2->isLoaded());
    }

    void skinFileRestylesTheConnectionWindow()
    {
        WindowHarness h;
        QDir(h.programFolder()).mkpath(u"x"_s);
        QFile skin(h.programFolder() + u"/x/o.cjs"_s);
        QVERIFY(skin.open(QIODevice::WriteOnly));
        skin.write("QPushButton { color: navy; }");
        skin.close();
        h.create();
        h.form1->start();
        QCOMPARE(h.form1->styleSheet(), u"QPushButton { color: navy; }"_s);
        // Under a skin, frame, labels and check box take the system colour instead of white.
        const QColor face = QGuiApplication::palette().color(QPalette::Button);
        QCOMPARE(control<QGroupBox>(h.form1.get(), u"Frame1"_s)->palette().color(QPalette::Window), face);
        QCOMPARE(h.dialogs.shown().size(), 0);
    }

    void hoverPointers()
    {
        WindowHarness h;
        // Any image Qt reads will do as the hand pointer.
        QImage hand(16, 16, QImage::Format_ARGB32);
        hand.fill(Qt::blue);
        QVERIFY(hand.save(h.programFolder() + u"/HAND-M.CUR"_s, "PNG"));
        h.create();
        h.form1->start();
        h.form2->showWindow();

        auto hover = [](QWidget* widget) {
            QMouseEvent move(QEvent::MouseMove, QPointF(2, 2), widget->mapToGlobal(QPointF(2, 2)), Qt::NoButton,
                             Qt::NoButton, Qt::NoModifier);
            QCoreApplication::sendEvent(widget, &move);
        };
        for (QWidget* window : {static_cast<QWidget*>(h.form1.get()), static_cast<QWidget*>(h.form2.get())}) {
            auto* pointer = dynamic_cast<PointerControl*>(window);
            QVERIFY(pointer);
            const QString frame = window == h.form1.get() ? u"Frame1"_s : u"Frame3"_s;
            const QString button = window == h.form1.get() ? u"PushButton5"_s : u"PushButton9"_s;
            hover(control<QPushButton>(window, button));
            QCOMPARE(pointer->pointer(), MousePointer::Custom);
            QCOMPARE(window->cursor().shape(), Qt::BitmapCursor);
            hover(control<QGroupBox>(window, frame));
            QCOMPARE(pointer->pointer(), MousePointer::Default);
            QCOMPARE(window->cursor().shape(), Qt::ArrowCursor);
            pointer->setPointer(MousePointer::Hourglass);
            hover(control<QPushButton>(window, button));
            hover(control<QGroupBox>(window, frame));
            QCOMPARE(pointer->pointer(), MousePointer::Hourglass);
            QCOMPARE(window->cursor().shape(), Qt::WaitCursor);
        }
    }
};

QTEST_MAIN(TestWindows)
#include "tst_windows.moc"
