#include "Form2.h"

#include "AutoBackup.h"
#include "BackupCommands.h"
#include "BackupSchedule.h"
#include "Dialogs.h"
#include "ErrorReport.h"
#include "IntervalSave.h"
#include "Intervals.h"
#include "OffsiteCopy.h"
#include "Retention.h"
#include "ScriptRestore.h"
#include "Settings.h"
#include "SettingsStore.h"
#include "ShellHelpers.h"
#include "Startup.h"
#include "SysTray.h"
#include "TrayBackend.h"
#include "TrayMinimizer.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QThread>
#include <QTreeWidget>

using namespace Qt::Literals::StringLiterals;

namespace {

const QString Module = u"Form2"_s;
const QString ListHeading = u"How often would you like to backup?"_s;
const QString CursorFileName = u"/HAND-M.CUR"_s;
/** The folder frame's rows for retention and compression, the copy and the complete schema: the controls below sit
 * this much lower. */
constexpr int ExtraRow = 1350;
/** The restore frame's row for "Restore as" and "Verify each backup": the controls below it sit this much lower. */
constexpr int RestoreRow = 450;

} // namespace

Form2::Form2(Form2Services services, QWidget* parent)
    : QWidget(parent)
    , m_services(std::move(services))
    , m_pointer(this)
{
    setObjectName(u"Form2"_s);
    m_timer.setObjectName(u"Timer1"_s);
    createControls();

    // The tray control exists with the window; the load puts its icon into the notification area.
    // The balloon wait pumps events until the balloon goes or the time is up; it rests a moment between rounds in
    // which no time passed, rather than spin the processor for five seconds.
    EventPump balloonPump = [pump = m_services.letEventsRun, &clock = m_services.clock] {
        const qint64 before = clock.monotonicMs();
        if (pump)
            pump();
        if (clock.monotonicMs() == before)
            QThread::msleep(10);
    };
    m_tray = new cSysTray(std::move(m_services.trayBackend), std::move(balloonPump), m_services.clock, this);
    m_tray->setObjectName(u"cSysTray1"_s);
    m_tray->setTrayIcon(applicationIcon());
    m_minimizer = new TrayMinimizer(this, m_tray, this);

    const DumpFunction dump = [&engine = m_services.engine](const QString& connectionString, StatusFrame& frame) {
        return engine.SaveAll(connectionString, frame);
    };
    const ScheduleContext schedule{*this,
                                   m_services.connectionWindow,
                                   m_services.dialogs,
                                   m_services.settings,
                                   m_services.clock,
                                   m_services.guard,
                                   m_services.letEventsRun,
                                   dump};
    m_schedule = std::make_unique<BackupSchedule>(schedule);
    m_commands = std::make_unique<BackupCommands>(schedule);
    m_restore = std::make_unique<ScriptRestore>(
        RestoreContext{*this, m_services.connectionWindow, m_services.dialogs, m_services.settings, m_services.factory,
                       m_services.guard, m_services.clock, m_services.letEventsRun, m_services.stop,
                       m_services.engine.backupLog().writer()});
    connectHandlers();
}

Form2::~Form2()
{
    m_timer.stop();
    // The field loses its focus while the window is taken apart; its check must not run on a half-destroyed window.
    disconnect(CopyToText, nullptr, this, nullptr);
}

void Form2::createControls()
{
    setFixedSize(twips(7800), twips(7950 + ExtraRow + RestoreRow));
    setMouseTracking(true);
    installEventFilter(this);
    createFolderFrame();
    createListAndStartupFrame();
    createRestoreFrameAndButtons();
    fitToTexts();

    // The new controls follow the folder frame's buttons; the design's controls keep their order.
    const QList<QWidget*> order
        = {Text5,         ListView2,           PushButton2, PushButton1, KeepBackupsBox, CompressCheck, CopyToText,
           CopyToRemotes, CompleteSchemaCheck, PushButton5, PushButton6, Text7,          PushButton10,  PushButton9,
           RestoreAsText, VerifyCheck,         Check11,     Check4,      PushButton3};
    for (qsizetype i = 0; i + 1 < order.size(); ++i)
        QWidget::setTabOrder(order.at(i), order.at(i + 1));
}

QGroupBox* Form2::frame(const QString& name, const QString& caption, QRect rect)
{
    auto* control = placeControl<QGroupBox>(this, name, rect, controlFont(), this, caption);
    setBackgroundColour(control, Qt::white);
    return control;
}

QPushButton* Form2::button(const QString& name, const QString& caption, QWidget* container, QRect rect)
{
    auto* control = placeControl<QPushButton>(container, name, rect, buttonFont(), this, caption);
    control->setAutoDefault(false);
    return control;
}

QLineEdit* Form2::field(const QString& name, QWidget* container, QRect rect)
{
    return placeControl<QLineEdit>(container, name, rect, controlFont(), this);
}

QCheckBox* Form2::checkBox(const QString& name, const QString& caption, QWidget* container, QRect rect)
{
    auto* control = placeControl<QCheckBox>(container, name, rect, controlFont(), this, caption);
    setBackgroundColour(control, Qt::white);
    return control;
}

QLabel* Form2::label(const QString& name, const QString& caption, QWidget* container, QRect rect)
{
    auto* control = placeControl<QLabel>(container, name, rect, controlFont(), this, caption);
    setBackgroundColour(control, Qt::white);
    return control;
}

void Form2::createFolderFrame()
{
    Frame5 = frame(u"Frame5"_s, u"Next backup will occur in "_s, twipsRect(120, 120, 7560, 885));
    ProgressBar1
        = placeControl<QProgressBar>(Frame5, u"ProgressBar1"_s, twipsRect(240, 300, 7065, 405), controlFont(), this);
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setFormat(u"Progress Bar"_s);
    ProgressBar1->setAlignment(Qt::AlignCenter);

    Frame2 = frame(u"Frame2"_s, u"Save all backups to this folder:"_s, twipsRect(120, 1080, 7560, 1335 + ExtraRow));
    Text5 = field(u"Text5"_s, Frame2, twipsRect(240, 300, 6375, 345));
    PushButton1 = button(u"PushButton1"_s, u"..."_s, Frame2, twipsRect(6720, 300, 580, 345));
    PushButton2 = button(u"PushButton2"_s, u"View This Folder"_s, Frame2, twipsRect(240, 750, 7065, 405));
    KeepBackupsLabel1 = label(u"KeepBackupsLabel1"_s, u"Keep the newest"_s, Frame2, twipsRect(240, 1290, 1440, 285));
    KeepBackupsBox
        = placeControl<QSpinBox>(Frame2, u"KeepBackupsBox"_s, twipsRect(1710, 1245, 900, 345), controlFont(), this);
    KeepBackupsBox->setRange(0, MaxKeepBackups);
    KeepBackupsLabel1->setBuddy(KeepBackupsBox);
    KeepBackupsLabel2
        = label(u"KeepBackupsLabel2"_s, u"backups (0 keeps all)"_s, Frame2, twipsRect(2670, 1290, 1860, 285));
    CompressCheck
        = checkBox(u"CompressCheck"_s, u"Compress backups (gzip)"_s, Frame2, twipsRect(4560, 1290, 2745, 285));
    // The destination's row and the complete schema's caption need more than the design's right edge (7305) leaves
    // them: they reach to 7455, still inside the frame.
    CopyToLabel = label(u"CopyToLabel"_s, u"Copy each backup to:"_s, Frame2, twipsRect(240, 1785, 1905, 285));
    CopyToText = field(u"CopyToText"_s, Frame2, twipsRect(2175, 1740, 4140, 345));
    CopyToText->setPlaceholderText(u"nas:backups or a folder; empty: no copy"_s);
    CopyToLabel->setBuddy(CopyToText);
    CopyToRemotes = button(u"CopyToRemotes"_s, u"Remotes"_s, Frame2, twipsRect(6360, 1740, 1095, 345));
    CompleteSchemaCheck = checkBox(
        u"CompleteSchemaCheck"_s, u"Complete schema (keys, identity, defaults, indexes, views, procedures, triggers)"_s,
        Frame2, twipsRect(240, 2190, 7215, 285));
}

void Form2::createListAndStartupFrame()
{
    const int below = ExtraRow; // everything under the folder frame moves down by its new row
    ListView2 = placeControl<QTreeWidget>(this, u"ListView2"_s, twipsRect(120, 2520 + below, 7560, 1590), controlFont(),
                                          this);
    ListView2->setRootIsDecorated(false);
    ListView2->setItemsExpandable(false);
    ListView2->setUniformRowHeights(true);
    ListView2->setSelectionMode(QAbstractItemView::SingleSelection);
    ListView2->setSelectionBehavior(QAbstractItemView::SelectRows);
    ListView2->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ListView2->setColumnCount(0);
    ListView2->setHeaderHidden(false);
    ListView2->header()->setStretchLastSection(false);
    ListView2->viewport()->setMouseTracking(true);
    ListView2->viewport()->installEventFilter(this);

    Frame4 = frame(u"Frame4"_s, u"Startup Options"_s, twipsRect(120, 4170 + below, 7560, 735));
    Check4 = checkBox(u"Check4"_s, u"Load this software on Windows startup"_s, Frame4, twipsRect(240, 300, 3930, 285));
    Check11 = checkBox(u"Check11"_s, u"Start in system tray"_s, Frame4, twipsRect(4200, 300, 2100, 285));
}

void Form2::createRestoreFrameAndButtons()
{
    const int below = ExtraRow;
    Frame3 = frame(u"Frame3"_s, u"Restore Options"_s, twipsRect(120, 4980 + below, 7560, 1335 + RestoreRow));
    Text7 = field(u"Text7"_s, Frame3, twipsRect(240, 300, 6375, 345));
    PushButton10 = button(u"PushButton10"_s, u"..."_s, Frame3, twipsRect(6720, 300, 580, 345));
    PushButton9 = button(u"PushButton9"_s, u"Restore Text File"_s, Frame3, twipsRect(240, 750, 7060, 405));
    RestoreAsLabel = label(u"RestoreAsLabel"_s, u"Restore as:"_s, Frame3, twipsRect(240, 1290, 1100, 285));
    RestoreAsText = field(u"RestoreAsText"_s, Frame3, twipsRect(1380, 1245, 2760, 345));
    RestoreAsText->setPlaceholderText(u"the database the script names"_s);
    RestoreAsLabel->setBuddy(RestoreAsText);
    VerifyCheck = checkBox(u"VerifyCheck"_s, u"Verify each backup"_s, Frame3, twipsRect(4320, 1290, 2985, 285));

    const int lower = below + RestoreRow;
    PushButton5 = button(u"PushButton5"_s, TurnOnAutoBackupCaption, this, twipsRect(120, 6450 + lower, 7560, 405));
    PushButton6 = button(u"PushButton6"_s, u"Backup Now (Test)"_s, this, twipsRect(120, 6960 + lower, 7560, 405));
    PushButton3 = button(u"PushButton3"_s, u"< Back"_s, this, twipsRect(120, 7485 + lower, 7560, 405));
}

void Form2::fitToTexts()
{
    // The table places the controls for the fonts the design was drawn with; where a text needs more (other fonts,
    // another style), its row widens and the window with it, everything full-width following.
    const auto whole = [](QWidget* control) { return ControlRow{{control}, control}; };
    fitRowsToTexts(this,
                   {whole(Frame5),
                    whole(Frame2),
                    whole(ListView2),
                    whole(Frame4),
                    whole(Frame3),
                    whole(PushButton5),
                    whole(PushButton6),
                    whole(PushButton3),
                    whole(ProgressBar1),
                    {{Text5, PushButton1}, Text5},
                    whole(PushButton2),
                    {{KeepBackupsLabel1, KeepBackupsBox, KeepBackupsLabel2, CompressCheck}, nullptr},
                    {{CopyToLabel, CopyToText, CopyToRemotes}, CopyToText},
                    {{CompleteSchemaCheck}, nullptr},
                    {{Check4, Check11}, nullptr},
                    {{Text7, PushButton10}, Text7},
                    whole(PushButton9),
                    {{RestoreAsLabel, RestoreAsText, VerifyCheck}, nullptr}});
}

void Form2::connectHandlers()
{
    connect(&m_timer, &QTimer::timeout, this, [this] { m_schedule->Timer1_Timer(); });
    connect(ListView2, &QTreeWidget::itemClicked, this, [this] { guarded([this] { m_schedule->ListView2_Click(); }); });
    connect(PushButton5, &QPushButton::clicked, this, [this] { m_commands->PushButton5_Click(); });
    connect(PushButton6, &QPushButton::clicked, this, [this] { m_commands->PushButton6_Click(); });
    connect(PushButton3, &QPushButton::clicked, this, [this] { m_commands->PushButton3_Click(); });
    connect(PushButton10, &QPushButton::clicked, this, [this] { m_restore->PushButton10_Click(); });
    connect(PushButton9, &QPushButton::clicked, this, [this] { m_restore->PushButton9_Click(); });
    connect(PushButton1, &QPushButton::clicked, this, [this] { PushButton1_Click(); });
    connect(PushButton2, &QPushButton::clicked, this, [this] { PushButton2_Click(); });
    // Check boxes react to every change of their state, also the one made by the load (Check4 ignores it there).
    connect(Check4, &QCheckBox::toggled, this, [this] { Check4_Click(); });
    connect(Check11, &QCheckBox::toggled, this, [this] { Check11_Click(); });
    connect(Text5, &QLineEdit::textChanged, this, [this] { store(SettingKeys::Path, Text5->text()); });
    connect(Text7, &QLineEdit::textChanged, this, [this] { store(SettingKeys::RestoreFile, Text7->text()); });
    connect(KeepBackupsBox, &QSpinBox::valueChanged, this,
            [this](int keep) { store(SettingKeys::KeepBackups, QString::number(keep)); });
    connect(CompressCheck, &QCheckBox::toggled, this,
            [this](bool on) { store(Settings::Compress.key(), OnOff::text(on)); });
    // Stored when the field is left, not at every key: a half-typed text is no destination.
    connect(CopyToText, &QLineEdit::editingFinished, this, [this] { CopyToText_Validate(); });
    connect(CopyToRemotes, &QPushButton::clicked, this, [this] { CopyToRemotes_Click(); });
    connect(RestoreAsText, &QLineEdit::textChanged, this,
            [this] { store(SettingKeys::RestoreAs, RestoreAsText->text()); });
    connect(VerifyCheck, &QCheckBox::toggled, this,
            [this](bool on) { store(Settings::VerifyBackups.key(), OnOff::text(on)); });
    connect(CompleteSchemaCheck, &QCheckBox::toggled, this,
            [this](bool on) { store(Settings::CompleteSchema.key(), OnOff::text(on)); });
}

void Form2::store(const QString& key, const QString& value)
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

void Form2::fillField(QLineEdit* field, const QString& key, const QString& value)
{
    // The design's boxes hold a text of their own before the load fills them, so the fill always counts as a
    // change and stores the value (an empty restore file too); ours start empty, so an equal fill stores it here.
    const bool unchanged = field->text() == value;
    field->setText(value);
    if (unchanged)
        store(key, value);
}

void Form2::guarded(const std::function<void()>& handler)
{
    try {
        handler();
    } catch (const Failure& failure) {
        m_services.dialogs.message(failure.description());
    }
}

void Form2::showWindow()
{
    if (!m_loaded) {
        m_loaded = true;
        Form_Load();
    }
    if (m_startMinimized) {
        // "Start in system tray": the window goes straight behind the tray icon, as a minimise would send it.
        m_startMinimized = false;
        m_minimizer->MinimizeToTray();
        if (!isVisible() && !m_minimizer->MinimizedToTray())
            showMinimized();
        return;
    }
    show();
    raise();
    activateWindow();
}

void Form2::Form_Load()
{
    ReportingProcedure proc(m_services.dialogs, Module, u"Form_Load"_s);
    SettingsStore& settings = m_services.settings;
    proc.run(100, [&] { SetSystemColors(this); });
    proc.run(102, [&] { setWindowIcon(applicationIcon()); });
    proc.run(106, [&] { m_loading = true; });
    proc.run(108, [&] { setWindowTitle(QString::fromLatin1(ProductName)); });
    const QString cursorFile = m_services.programFolder + CursorFileName;
    bool cursorThere = false;
    proc.run(110, [&] { cursorThere = FileExists(cursorFile); });
    if (cursorThere)
        proc.run(112, [&] { m_pointer.setCustomCursor(loadCursorFile(cursorFile)); });
    proc.run(114, [&] { fillField(Text5, SettingKeys::Path, settings.get(SettingKeys::Path, DesktopFolderPath())); });
    proc.run(116, [&] {
        ListView2->setColumnCount(1);
        ListView2->setHeaderLabels({ListHeading});
    });
    proc.run(118, [&] { ListView2->setColumnWidth(0, twips(6400)); });
    int line = 120;
    for (const IntervalEntry& entry : IntervalTable()) {
        proc.run(line, [&] { new QTreeWidgetItem(ListView2, QStringList{entry.caption}); });
        line += 2;
    }

    std::optional<int> position;
    proc.run(142, [&] { position = ConvertOftenIndex(Settings::OftenIndex.read(settings)); });
    proc.run(144, [&] {
        if (position && !selectInterval(*position))
            throw Failure(u"Index out of bounds"_s, 35600);
    });
    if (!selectedIntervalCaption()) {
        // An unusable stored position was reported above; the schedule needs a selected entry to count.
        selectInterval(DefaultIntervalPosition);
    }

    QString startStop;
    proc.run(146, [&] { startStop = Settings::StartStopState.read(settings); });
    if (startStop == OnOff::Off) {
        proc.run(150, [&] { setAutoBackupCaption(TurnOnAutoBackupCaption); });
        proc.run(152, [&] { setCaption(AutoBackupTurnedOffStatus); });
        proc.run(154, [&] { setTimerInterval(0); });
    } else if (startStop == OnOff::On) {
        proc.run(158, [&] { setAutoBackupCaption(TurnOffAutoBackupCaption); });
        proc.run(160, [&] { setTimerInterval(AutoBackupTimerInterval); });
    }

    proc.run(162, [&] { m_tray->setTrayTip(QString::fromLatin1(ProductName)); });
    proc.run(164, [&] { m_tray->setInTray(true); });
    proc.run(166, [&] { Check4->setChecked(Settings::WindowsStartup.read(settings)); });
    proc.run(168, [&] { Check11->setChecked(Settings::Minimized.read(settings)); });
    if (Check11->isChecked())
        proc.run(172, [&] { m_startMinimized = true; });
    proc.run(174, [&] { fillField(Text7, SettingKeys::RestoreFile, settings.get(SettingKeys::RestoreFile)); });
    proc.run(176, [&] { m_loading = false; });
    // A stored number that is not a whole number from 0 to 100000 is reported here and keeps every backup.
    proc.run(178, [&] { KeepBackupsBox->setValue(ConvertKeepBackups(Settings::KeepBackups.read(settings))); });
    proc.run(180, [&] { CompressCheck->setChecked(Settings::Compress.read(settings)); });
    // A stored destination whose copy cannot be made (no rclone) is said before the first backup.
    proc.run(182, [&] {
        CopyToText->setText(settings.get(SettingKeys::CopyTo));
        if (const QString problem = copyProblem(CopyToText->text()); !problem.isEmpty())
            m_services.dialogs.message(problem);
    });
    proc.run(184, [&] { RestoreAsText->setText(settings.get(SettingKeys::RestoreAs)); });
    proc.run(186, [&] { VerifyCheck->setChecked(Settings::VerifyBackups.read(settings)); });
    proc.run(188, [&] { CompleteSchemaCheck->setChecked(Settings::CompleteSchema.read(settings)); });
}

QString Form2::copyProblem(const QString& destination) const
{
    if (destination.trimmed().isEmpty())
        return {};
    return m_services.offsite ? m_services.offsite->problemFor(destination)
                              : OffsiteCopy::destinationProblem(destination);
}

void Form2::CopyToText_Validate()
{
    const QString destination = CopyToText->text().trimmed();
    const QString stored = m_services.settings.get(SettingKeys::CopyTo);
    if (destination == stored)
        return;
    if (const QString problem = copyProblem(destination); !problem.isEmpty()) {
        // Refused: the field goes back to what is stored, and nothing of the text is kept.
        CopyToText->setText(stored);
        m_services.dialogs.message(problem);
        return;
    }
    CopyToText->setText(destination);
    store(SettingKeys::CopyTo, destination);
}

void Form2::CopyToRemotes_Click()
{
    if (!m_services.offsite)
        return;
    QStringList remotes;
    try {
        remotes = m_services.offsite->listRemotes();
    } catch (const Failure& failure) {
        m_services.dialogs.message(failure.description());
        return;
    }
    if (remotes.isEmpty()) {
        m_services.dialogs.message(u"rclone has no remotes set up yet. Set one up with \"rclone config\" in a "
                                   u"terminal (its passwords and keys stay there), then choose it here."_s);
        return;
    }
    const QString remote = m_services.dialogs.chooseItem(u"Copy each backup to this rclone remote:"_s, remotes);
    if (remote.isEmpty())
        return;
    // The remote's root; the user adds the folder there.
    CopyToText->setText(remote);
    CopyToText_Validate();
    CopyToText->setFocus();
    CopyToText->end(false);
}

void Form2::Form_QueryUnload()
{
    ReportingProcedure proc(m_services.dialogs, Module, u"Form_QueryUnload"_s);
    proc.run(100, [&] { setTimerInterval(0); });
    proc.run(102, [&] { m_tray->setInTray(false); });
}

void Form2::closeEvent(QCloseEvent* event)
{
    // The close is never cancelled; the tray icon must go before the program ends.
    Form_QueryUnload();
    event->accept();
    if (m_services.endProgram)
        m_services.endProgram();
}

bool Form2::restoreInterrupted() const
{
    return m_restore && m_restore->wasInterrupted();
}

void Form2::Check4_Click()
{
    if (m_loading)
        return;
    try {
        if (Check4->isChecked()) {
            Check11->setVisible(true);
            store(Settings::WindowsStartup.key(), OnOff::On);
            m_services.startup.RegisterStartup();
        } else {
            Check11->setChecked(false);
            Check11->setVisible(false);
            store(Settings::WindowsStartup.key(), OnOff::Off);
            m_services.startup.UnregisterStartup();
        }
    } catch (const Failure& failure) {
        // A start-up entry that cannot be written or removed is said, not passed over in silence.
        m_services.dialogs.message(failure.description());
    }
}

void Form2::Check11_Click()
{
    store(Settings::Minimized.key(), OnOff::text(Check11->isChecked()));
}

void Form2::PushButton1_Click()
{
    ReportingProcedure proc(m_services.dialogs, Module, u"PushButton1_Click"_s);
    QString folder;
    proc.run(100, [&] { folder = m_services.dialogs.browseForFolder(u"Please select folder:"_s, QString()); });
    if (folder.isEmpty())
        return;
    proc.run(104, [&] { Text5->setText(WithTrailingSeparator(folder)); });
}

void Form2::PushButton2_Click()
{
    ReportingProcedure proc(m_services.dialogs, Module, u"PushButton2_Click"_s);
    proc.run(100, [&] { ViewFolder(m_services.opener, Text5->text()); });
}

QString Form2::caption() const
{
    return Frame5->title();
}

void Form2::setCaption(const QString& caption)
{
    Frame5->setTitle(caption);
}

QString Form2::autoBackupCaption() const
{
    return PushButton5->text();
}

void Form2::setAutoBackupCaption(const QString& caption)
{
    PushButton5->setText(caption);
}

int Form2::timerInterval() const
{
    return m_timer.isActive() ? m_timer.interval() : 0;
}

void Form2::setTimerInterval(int milliseconds)
{
    if (milliseconds <= 0) {
        m_timer.stop();
        return;
    }
    m_timer.setInterval(milliseconds);
    if (!m_timer.isActive())
        m_timer.start();
}

void Form2::setProgressMaximum(int maximum)
{
    ProgressBar1->setMaximum(maximum);
}

void Form2::setProgressValue(int value)
{
    ProgressBar1->setValue(value);
}

void Form2::setProgressText(const QString& text)
{
    ProgressBar1->setFormat(text);
}

std::optional<QString> Form2::selectedIntervalCaption() const
{
    const QList<QTreeWidgetItem*> selected = ListView2->selectedItems();
    if (selected.isEmpty())
        return std::nullopt;
    return selected.constFirst()->text(0);
}

bool Form2::selectInterval(int position)
{
    if (position < 1 || position > ListView2->topLevelItemCount())
        return false;
    QTreeWidgetItem* item = ListView2->topLevelItem(position - 1);
    ListView2->setCurrentItem(item);
    item->setSelected(true);
    return true;
}

QString Form2::backupFolder() const
{
    return Text5->text();
}

BackupOptions Form2::backupOptions() const
{
    BackupOptions options;
    options.keep = KeepBackupsBox->value();
    options.compress = CompressCheck->isChecked();
    // What was stored when the field was left: a text being typed is not a destination yet.
    options.copyTo = m_services.settings.get(SettingKeys::CopyTo).trimmed();
    options.complete = CompleteSchemaCheck->isChecked();
    options.verify = VerifyCheck->isChecked();
    return options;
}

QString Form2::restoreFile() const
{
    return Text7->text();
}

QString Form2::restoreAs() const
{
    return RestoreAsText->text();
}

void Form2::setRestoreFile(const QString& path)
{
    Text7->setText(path);
}

void Form2::showConnectionWindow()
{
    if (m_services.showConnectionWindow)
        m_services.showConnectionWindow();
}

void Form2::hideWindow()
{
    hide();
}

bool Form2::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::MouseMove || event->type() == QEvent::Enter) {
        if (qobject_cast<QPushButton*>(watched)) {
            m_pointer.hoverButton();
            // A button passes a move without pressed buttons on to its frame, which would take the hand away.
            return isButtonlessMove(event);
        }
        if (qobject_cast<QCheckBox*>(watched) || watched == ProgressBar1)
            return isButtonlessMove(event); // controls without a hover rule leave the pointer as it is
        if (watched == this || watched == Frame2 || watched == Frame3 || watched == Frame4 || watched == Frame5
            || watched == Text5 || watched == ListView2 || watched == ListView2->viewport()
            || watched == KeepBackupsLabel1 || watched == KeepBackupsLabel2 || watched == KeepBackupsBox
            || watched == CopyToLabel || watched == CopyToText || watched == RestoreAsLabel || watched == RestoreAsText)
            m_pointer.hoverPlain();
    } else if (event->type() == QEvent::FocusIn && watched == Text5) {
        Text5->selectAll();
    }
    return QWidget::eventFilter(watched, event);
}
