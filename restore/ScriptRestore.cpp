#include "ScriptRestore.h"

#include "ConnectionSettings.h"
#include "ErrorReport.h"
#include "IntervalSave.h"
#include "Mssql.h"

#include <QFileInfo>

using namespace Qt::Literals::StringLiterals;

bool RestoreFileExists(const QString& path)
{
    if (path.isEmpty())
        return false;
    const QFileInfo info(path);
    return info.isFile() && !info.isHidden();
}

bool IsContextChangeToMaster(const Failure& error)
{
    static const QString fromWindowsDriver
        = u"[Microsoft][ODBC SQL Server Driver][SQL Server]Changed database context to 'master'."_s;
    if (error.description() == fromWindowsDriver)
        return true;
    if (!dynamic_cast<const DbError*>(&error))
        return false;

    // Other drivers put their own bracketed names in front of the same server message.
    QStringView rest(error.description());
    while (rest.startsWith(u'[')) {
        const qsizetype end = rest.indexOf(u']');
        if (end < 0)
            return false;
        rest = rest.mid(end + 1);
    }
    return rest == u"Changed database context to 'master'.";
}

void ExecuteScript(ConnectionFactory& factory,
                   IntervalSave& engine,
                   const QString& connectionString,
                   const QString& path)
{
    // An early failure releases the connection without Close; releasing closes it.
    std::unique_ptr<Connection> connection = factory.createConnection();
    connection->Open(connectionString);
    QString script;
    engine.FileCont(path, script, 1);
    if (script.isEmpty())
        throw Failure(u"The restore script is empty."_s);
    // Closing the result walks the rest of the batch: a script that returns rows somewhere still runs to its end,
    // and a statement that fails after them is raised here rather than lost.
    connection->Execute(script)->Close();
    connection->Close();
}

ScriptRestore::ScriptRestore(RestoreContext context)
    : m_context(context)
{ }

void ScriptRestore::PushButton10_Click()
{
    ReportingProcedure proc(m_context.dialogs, u"Form2"_s, u"PushButton10_Click"_s);
    QString chosen;
    proc.run(100, [&] { chosen = m_context.dialogs.openFileName(RestoreDialogTitle, RestoreDialogFilter); });
    bool anyChosen = true;
    proc.run(102, [&] { anyChosen = !chosen.isEmpty(); });
    if (anyChosen)
        proc.run(104, [&] { m_context.mainView.setRestoreFile(chosen); });
}

void ScriptRestore::PushButton9_Click()
{
    MainView& view = m_context.mainView;
    Dialogs& dialogs = m_context.dialogs;
    if (m_context.guard.busy()) {
        dialogs.message(QString::fromLatin1(BackupAlreadyRunningMessage));
        return;
    }

    const auto failed = [&] {
        try {
            TurnAutoBackupOff(view, m_context.settings);
        } catch (const std::exception&) {
            // This path shows one message only; the steps that could be done are done.
        }
        dialogs.message(QString::fromLatin1(CouldNotConnectMessage));
        view.setPointer(MousePointer::Default);
    };

    try {
        const QString path = view.restoreFile();
        if (!RestoreFileExists(path)) {
            dialogs.message(RestoreFileNotFoundMessage);
            return;
        }
        TurnAutoBackupOff(view, m_context.settings);
        const QString connectionString = BuildConnectionString(m_context.connectionView.currentSettings());
        ExecuteScript(m_context.factory, m_context.engine, connectionString, path);
        dialogs.message(RestoreDoneMessage);
    } catch (const Failure& error) {
        // The script's "USE [master]" makes the server announce the switch; some drivers report it as an error.
        if (IsContextChangeToMaster(error))
            dialogs.message(RestoreDoneMessage);
        else
            failed();
    } catch (const std::exception&) {
        failed();
    }
}
