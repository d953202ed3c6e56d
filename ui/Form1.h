#pragma once

#include "Keyring.h"
#include "StoredPassword.h"
#include "Views.h"
#include "WindowSupport.h"

#include <QString>
#include <QWidget>

#include <functional>
#include <optional>

class ConnectionFactory;
class Dialogs;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class SettingsStore;
class ShellOpener;

/** What the connection window works with, given from outside so that tests can pass fakes. */
struct Form1Services
{
    SettingsStore& settings;
    ConnectionFactory& factory;
    Dialogs& dialogs;
    /** The program's folder, where the optional "HAND-M.CUR", "x/o.cjs" and the help picture are looked for. */
    QString programFolder;
    /** Opens the help picture with the desktop's default viewer. */
    ShellOpener& opener;
    /** Ends the whole program at once; run when the window is closed. */
    std::function<void()> endProgram;
    /** The desktop keyring for "Keep the password in the desktop keyring"; none: it cannot be reached. */
    Keyring* keyring = nullptr;
};

/**
 * The connection window: server, port, user name, password, database and "Local Connection", stored at every change;
 * "Test Connection", "Help" and "Next >". Its fields are the connection settings in effect for every backup and the
 * restore, also while it is hidden.
 */
class Form1 : public QWidget, public ConnectionView
{
    Q_OBJECT

public:
    explicit Form1(Form1Services services, QWidget* parent = nullptr);
    ~Form1() override;

    /** How "Next >" shows the main window (not modal). */
    void setShowMainWindow(std::function<void()> showMainWindow);

    /**
     * Starts the window as the program does: `Form_Load`, then shows it for input unless the load went on to the
     * main window by itself.
     */
    void start();
    void Form_Load();

    // ConnectionView
    ConnectionSettings currentSettings() const override;
    MousePointer pointer() const override { return m_pointer.pointer(); }
    void setPointer(MousePointer pointer) override { m_pointer.setPointer(pointer); }
    /** The cursor the window shows now (for the hover rules). */
    QCursor shownCursor() const { return m_pointer.cursor(); }
    bool hasCustomPointer() const { return m_pointer.hasCustomCursor(); }

    // Handlers, named after their controls.
    void PushButton3_Click();
    void PushButton4_Click();
    void PushButton5_Click();
    void Check6_Click();
    /** "Keep the password in the desktop keyring": moves the password into the keyring or back into the store. */
    void Check7_Click();

    /** The keyring entry the password belongs to, by the current server, user and database. */
    KeyringEntry keyringEntry() const;
    /** The help text of "Help", exactly as shown. */
    static QString helpText();
    /** The download page of the database tool that the help text names. */
    static QString helpWebAddress();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void createControls();
    void fitToTexts();
    void applySkin(const QString& skinPath);
    void storeField(QLineEdit* field, const QString& key);
    void store(const QString& key, const QString& value);
    void loadPassword();
    void Text3_Change();
    void followKeyringEntry();
    void say(const QString& problem);

    Form1Services m_services;
    std::function<void()> m_showMainWindow;
    WindowPointer m_pointer;
    bool m_movedOn = false;
    bool m_storeFailureShown = false;
    StoredPassword m_password;

    QGroupBox* Frame1 = nullptr;
    QLabel* Label2 = nullptr;
    QLineEdit* Text1 = nullptr;
    QLabel* Label9 = nullptr;
    QLineEdit* Text9 = nullptr;
    QLabel* Label1 = nullptr;
    QLineEdit* Text2 = nullptr;
    QLabel* Label4 = nullptr;
    QLineEdit* Text3 = nullptr;
    QCheckBox* Check7 = nullptr;
    QLabel* Label3 = nullptr;
    QLineEdit* Text4 = nullptr;
    QCheckBox* Check6 = nullptr;
    QPushButton* PushButton5 = nullptr;
    QPushButton* PushButton4 = nullptr;
    QPushButton* PushButton3 = nullptr;
};
