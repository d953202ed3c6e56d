#include "Form1.h"

#include "Dialogs.h"
#include "ErrorReport.h"
#include "Mssql.h"
#include "Settings.h"
#include "SettingsStore.h"
#include "ShellHelpers.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

using namespace Qt::Literals::StringLiterals;

namespace {

const QString Module = u"Form1"_s;

} // namespace

Form1::Form1(Form1Services services, QWidget* parent)
    : QWidget(parent)
    , m_services(std::move(services))
    , m_pointer(this)
    , m_password(m_services.settings, m_services.keyring)
{
    setObjectName(u"Form1"_s);
    createControls();
}

Form1::~Form1() = default;

void Form1::setShowMainWindow(std::function<void()> showMainWindow)
{
    m_showMainWindow = std::move(showMainWindow);
}

void Form1::createControls()
{
    setFixedSize(twips(8040), twips(3960));
    setMouseTracking(true);
    installEventFilter(this);
    const QColor white(Qt::white);

    Frame1 = new QGroupBox(u"MS SQL Server Login"_s, this);
    Frame1->setGeometry(twipsRect(120, 120, 7800, 3195));

    auto label = [&](const QString& name, const QString& caption, QRect rect) {
        auto* control = placeControl<QLabel>(Frame1, name, rect, controlFont(), this, caption);
        setBackgroundColour(control, white);
        return control;
    };
    auto field = [&](const QString& name, const QString& key, QRect rect) {
        auto* control = placeControl<QLineEdit>(Frame1, name, rect, controlFont(), this);
        // Every change stores the whole text, so each keystroke and each fill at load reaches the store.
        if (key == SettingKeys::MSPassword) {
            connect(control, &QLineEdit::textChanged, this, [this] { Text3_Change(); });
        } else {
            connect(control, &QLineEdit::textChanged, this, [this, control, key] { storeField(control, key); });
            // The password in the keyring belongs to the server, the user and the database: it follows them.
            if (key != SettingKeys::MSPort)
                connect(control, &QLineEdit::textChanged, this, [this] { followKeyringEntry(); });
        }
        return control;
    };
    auto button = [&](const QString& name, const QString& caption, QWidget* container, QRect rect) {
        auto* control = placeControl<QPushButton>(container, name, rect, buttonFont(), this, caption);
        control->setAutoDefault(false);
        return control;
    };

    Label2 = label(u"Label2"_s, u"Server:"_s, twipsRect(240, 405, 1095, 255));
    Text1 = field(u"Text1"_s, SettingKeys::MSServer, twipsRect(1320, 360, 4575, 345));
    Label9 = label(u"Label9"_s, u"Port:"_s, twipsRect(6120, 405, 495, 255));
    Text9 = field(u"Text9"_s, SettingKeys::MSPort, twipsRect(6600, 360, 975, 345));
    Label1 = label(u"Label1"_s, u"Username:"_s, twipsRect(240, 885, 1095, 255));
    Text2 = field(u"Text2"_s, SettingKeys::MSUser, twipsRect(1320, 840, 6255, 345));
    Label4 = label(u"Label4"_s, u"Password:"_s, twipsRect(240, 1365, 1095, 255));
    Text3 = field(u"Text3"_s, SettingKeys::MSPassword, twipsRect(1320, 1320, 6255, 345));
    Label3 = label(u"Label3"_s, u"Database:"_s, twipsRect(240, 1845, 975, 255));
    Text4 = field(u"Text4"_s, SettingKeys::MSDatabase, twipsRect(1320, 1800, 6255, 345));

    // The password shows one "*" per character.
    Text3->setEchoMode(QLineEdit::Password);
    Text3->setStyleSheet(u"QLineEdit { lineedit-password-character: 42; }"_s);

    Check6 = placeControl<QCheckBox>(Frame1, u"Check6"_s, twipsRect(1320, 2250, 1950, 255), controlFont(), this,
                                     u"Local Connection"_s);
    setBackgroundColour(Check6, white);
    // Also a change made by the load is stored, as the store's table asks.
    connect(Check6, &QCheckBox::toggled, this, [this] { Check6_Click(); });

    // Beside "Local Connection", below the password it is about: the field is too narrow to share its row.
    Check7 = placeControl<QCheckBox>(Frame1, u"Check7"_s, twipsRect(3360, 2250, 4215, 255), controlFont(), this,
                                     keyringCheckCaption());
    setBackgroundColour(Check7, white);
    // Only the user's click moves the password; the load sets the box without it.
    connect(Check7, &QCheckBox::clicked, this, [this] { Check7_Click(); });

    PushButton5 = button(u"PushButton5"_s, u"Test Connection"_s, Frame1, twipsRect(240, 2610, 3600, 405));
    PushButton4 = button(u"PushButton4"_s, u"Help"_s, Frame1, twipsRect(3960, 2610, 3600, 405));
    PushButton3 = button(u"PushButton3"_s, u"Next >"_s, this, twipsRect(120, 3435, 7800, 405));
    connect(PushButton5, &QPushButton::clicked, this, [this] { PushButton5_Click(); });
    connect(PushButton4, &QPushButton::clicked, this, [this] { PushButton4_Click(); });
    connect(PushButton3, &QPushButton::clicked, this, [this] { PushButton3_Click(); });

    Frame1->setObjectName(u"Frame1"_s);
    Frame1->setFont(controlFont());
    setBackgroundColour(Frame1, white);
    Frame1->setMouseTracking(true);
    Frame1->installEventFilter(this);
    fitToTexts();

    // Keyboard order: server, port, user name, password and its keyring box, database, the three buttons,
    // "Local Connection".
    const QList<QWidget*> order
        = {Text1, Text9, Text2, Text3, Check7, Text4, PushButton5, PushButton4, PushButton3, Check6};
    for (qsizetype i = 0; i + 1 < order.size(); ++i)
        QWidget::setTabOrder(order.at(i), order.at(i + 1));
}

void Form1::fitToTexts()
{
    // The table places the controls for the fonts the design was drawn with; where a caption needs more (other
    // fonts, another style), the field beside it gives up the width, or the row and the window widen.
    fitRowsToTexts(this,
                   {{{Frame1}, Frame1},
                    {{PushButton3}, PushButton3},
                    {{Label2, Text1, Label9, Text9}, Text1},
                    {{Label1, Text2}, Text2},
                    {{Label4, Text3}, Text3},
                    {{Label3, Text4}, Text4},
                    {{Check6, Check7}, nullptr},
                    {{PushButton5, PushButton4}, PushButton4}});
}

void Form1::storeField(QLineEdit* field, const QString& key)
{
    store(key, field->text());
}

void Form1::store(const QString& key, const QString& value)
{
    // The field keeps its text when the store cannot be written; the user hears of it once, not at every keystroke.
    try {
        m_services.settings.save(key, value);
    } catch (const Failure& failure) {
        if (!m_storeFailureShown) {
            m_storeFailureShown = true;
            m_services.dialogs.message(failure.description());
        }
    }
}

void Form1::start()
{
    Form_Load();
    if (!m_movedOn)
        show();
}

void Form1::Form_Load()
{
    ReportingProcedure proc(m_services.dialogs, Module, u"Form_Load"_s);
    const QString skin = m_services.programFolder + u"/x/o.cjs"_s;
    proc.run(100, [&] {
        if (QFileInfo(skin).isFile())
            applySkin(skin);
    });
    proc.run(102, [&] {
        setWindowTitle(QString::fromLatin1(ProductName));
        setWindowIcon(applicationIcon());
    });
    proc.run(104, [&] { ShortenTitle(); });
    const QString cursorFile = m_services.programFolder + u"/HAND-M.CUR"_s;
    proc.run(106, [&] {
        if (FileExists(cursorFile))
            m_pointer.setCustomCursor(loadCursorFile(cursorFile));
    });
    SettingsStore& store = m_services.settings;
    proc.run(108, [&] { Text1->setText(store.get(SettingKeys::MSServer)); });
    proc.run(110, [&] { Text2->setText(store.get(SettingKeys::MSUser)); });
    proc.run(112, [&] { loadPassword(); });
    proc.run(114, [&] { Text4->setText(store.get(SettingKeys::MSDatabase)); });
    proc.run(116, [&] { Text9->setText(Settings::Port.read(store)); });
    proc.run(118, [&] { Check6->setChecked(Settings::LocalConnection.read(store) != u"0"_s); });
    proc.run(120, [&] {
        if (!Text1->text().isEmpty() && CanConnect(m_services.factory, currentSettings()))
            PushButton3_Click();
    });
}

KeyringEntry Form1::keyringEntry() const
{
    return KeyringEntry{Text1->text(), Text2->text(), Text4->text()};
}

void Form1::say(const QString& problem)
{
    if (!problem.isEmpty())
        m_services.dialogs.message(problem);
}

void Form1::loadPassword()
{
    const StoredPassword::Loaded loaded = m_password.load();
    Check7->setChecked(loaded.inKeyring);
    store(SettingKeys::PasswordInKeyring, OnOff::text(loaded.inKeyring));
    if (loaded.password)
        Text3->setText(*loaded.password);
    say(loaded.problem);
}

void Form1::Text3_Change()
{
    const QString password = Text3->text();
    if (!m_password.inKeyring()) {
        store(SettingKeys::MSPassword, password);
        return;
    }
    say(m_password.typed(password));
}

void Form1::followKeyringEntry()
{
    say(m_password.follow(keyringEntry(), Text3->text()));
}

void Form1::Check7_Click()
{
    if (Check7->isChecked()) {
        const QString problem = m_password.keep(keyringEntry(), Text3->text());
        Check7->setChecked(m_password.inKeyring());
        say(problem);
        return;
    }
    const StoredPassword::TakenBack taken = m_password.takeBack(Text3->text());
    if (!taken.password) {
        Check7->setChecked(true);
    } else if (Text3->text() != *taken.password) {
        Text3->setText(*taken.password); // stored already; the change handling writes the same text once more
    }
    say(taken.problem);
}

void Form1::applySkin(const QString& skinPath)
{
    // The skin is a Qt style sheet over the system colours.
    SetSystemColors(this);
    QFile file(skinPath);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        throw Failure(u"The skin "_s + skinPath + u" cannot be read: "_s + file.errorString());
    setStyleSheet(QString::fromUtf8(file.readAll()));
}

ConnectionSettings Form1::currentSettings() const
{
    ConnectionSettings settings;
    settings.Server = Text1->text();
    settings.UserName = Text2->text();
    settings.Password = Text3->text();
    settings.Database = Text4->text();
    settings.Port = Text9->text();
    settings.LocalConnection = Check6->isChecked();
    return settings;
}

void Form1::PushButton3_Click()
{
    ReportingProcedure proc(m_services.dialogs, Module, u"PushButton3_Click"_s);
    bool goOn = true;
    proc.run(100, [&] { goOn = !Text1->text().isEmpty(); });
    if (!goOn)
        return;
    proc.run(102, [&] { goOn = CanConnect(m_services.factory, currentSettings()); });
    if (!goOn)
        return;
    proc.run(104, [&] {
        if (m_showMainWindow)
            m_showMainWindow();
        m_movedOn = true;
    });
    proc.run(106, [&] { hide(); });
}

QString Form1::helpWebAddress()
{
    return u"https://www.sqlmanager.net/products/mssql/manager/download"_s;
}

QString Form1::helpText()
{
    const QString lineBreaks = u"\r\r"_s;
    return u"If you cannot establish connection to your MS SQL Server database with this program, please go to: "_s
        + lineBreaks + helpWebAddress() + lineBreaks
        + u"Download and install the EMS SQL Manager 2005 Lite for SQL Server. Try to connect to "_s
        + u"the same database (with the same login information you are using here). This will determine if "_s
        + u"the login you are using is correct."_s + lineBreaks
        + u"If you are using Microsoft SQL Server Express Edition and connecting locally, you may need to use"_s
        + lineBreaks + u"localhost\\SQLEXPRESS"_s + lineBreaks + u"for example, for Server."_s;
}

void Form1::PushButton4_Click()
{
    ReportingProcedure proc(m_services.dialogs, Module, u"PushButton4_Click"_s);
    bool yes = false;
    proc.run(100, [&] { m_services.dialogs.message(helpText()); });
    proc.run(102,
             [&] { yes = m_services.dialogs.question(u"Would you like to see an image of how I connect locally?"_s); });
    proc.run(104, [&] {
        // Whether the picture exists is left to the viewer, as with any file opened from the desktop.
        if (yes)
            ViewFile(m_services.opener, m_services.programFolder + u"/local-connection-example.jpg"_s);
    });
}

void Form1::PushButton5_Click()
{
    TestConnection(m_services.factory, currentSettings(), m_services.dialogs, m_pointer);
}

void Form1::Check6_Click()
{
    store(SettingKeys::LocalConnection, Check6->isChecked() ? u"1"_s : u"0"_s);
}

bool Form1::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::MouseMove || event->type() == QEvent::Enter) {
        if (watched == PushButton3 || watched == PushButton4 || watched == PushButton5) {
            m_pointer.hoverButton();
            // A button passes a move without pressed buttons on to its frame, which would take the hand away.
            return isButtonlessMove(event);
        }
        if (qobject_cast<QLabel*>(watched) || qobject_cast<QCheckBox*>(watched))
            return isButtonlessMove(event); // labels and the check box leave the pointer as it is
        if (watched == this || watched == Frame1 || qobject_cast<QLineEdit*>(watched))
            m_pointer.hoverPlain();
    } else if (event->type() == QEvent::FocusIn) {
        // Entering a field selects its whole text, so typing replaces it.
        if (auto* field = qobject_cast<QLineEdit*>(watched))
            field->selectAll();
    }
    return QWidget::eventFilter(watched, event);
}

void Form1::closeEvent(QCloseEvent* event)
{
    event->accept();
    if (m_services.endProgram)
        m_services.endProgram();
}
