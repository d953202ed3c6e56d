#include "ScriptRestore.h"

#include "BackupFile.h"
#include "ConnectionSettings.h"
#include "ErrorReport.h"
#include "ExecuteScript.h"
#include "Mssql.h"
#include "RestoreAs.h"
#include "StopRequest.h"

#include <QFileInfo>

using namespace Qt::Literals::StringLiterals;

bool RestoreFileExists(const QString& path)
{
    if (path.isEmpty())
        return false;
    const QFileInfo info(path);
    return info.isFile() && !info.isHidden();
}

namespace {

/** Puts ProgressBar1 back to empty when the restore is over, however it ends. */
class ProgressReset
{
public:
    explicit ProgressReset(MainView& view)
        : m_view(view)
    { }
    ~ProgressReset()
    {
        try {
            m_view.setProgressValue(0);
        } catch (...) {
            // Nothing more to do for a bar that cannot be reset.
        }
    }
    ProgressReset(const ProgressReset&) = delete;
    ProgressReset& operator=(const ProgressReset&) = delete;

private:
    MainView& m_view;
};

} // namespace

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

QString WorkingFileRefusal(const QString& path)
{
    // What a killed or failed dump left: restoring it would drop the database and refill part of it.
    return u"Not restored: "_s + path
        + u" is the working file of a backup that did not finish, not a complete backup."_s;
}

void ScriptRestore::PushButton9_Click()
{
    MainView& view = m_context.mainView;
    Dialogs& dialogs = m_context.dialogs;
    m_interrupted = false;
    if (m_context.guard.busy()) {
        dialogs.message(QString::fromLatin1(BackupAlreadyRunningMessage));
        return;
    }

    const auto failed = [&](const QString& message) {
        try {
            TurnAutoBackupOff(view, m_context.settings);
        } catch (const std::exception&) {
            // This path shows one message only; the steps that could be done are done.
        }
        dialogs.message(message);
        view.setPointer(MousePointer::Default);
    };
    const QString couldNotConnect = QString::fromLatin1(CouldNotConnectMessage);

    // The path as the restore began: Text7 may be edited while window events run between batches.
    QString path;
    try {
        path = view.restoreFile();
        if (BackupFile::isWorkingFile(path)) {
            dialogs.message(WorkingFileRefusal(path));
            return;
        }
        if (!RestoreFileExists(path)) {
            dialogs.message(RestoreFileNotFoundMessage);
            return;
        }
        TurnAutoBackupOff(view, m_context.settings);
        const ConnectionSettings settings = m_context.connectionView.currentSettings();
        BuildConnectionString(settings); // a value the driver cannot take fails here, before anything is sent
        const QString target = view.restoreAs();
        // Window events run between batches: a click on a backup meanwhile finds the guard held.
        WorkGuard::Scope running(m_context.guard);
        const ProgressReset resetAfter(view);
        RestoreOptions options;
        options.clock = &m_context.clock;
        options.letEventsRun = m_context.letEventsRun;
        options.progress = [&view](const RestoreProgress& p) {
            view.setProgressValue(p.bytesTotal > 0 ? int(p.bytesDone * 100 / p.bytesTotal) : 0);
        };
        options.stop = m_context.stop;
        options.writeLog = m_context.writeLog;
        view.setProgressMaximum(100);
        view.setProgressValue(0);
        if (target.isEmpty()) {
            ExecuteScript(m_context.factory, dialogs, settings, path, options);
        } else {
            // "Restore as": beside the database the script names, which is not touched.
            try {
                ExecuteScriptAs(m_context.factory, dialogs, settings, path, target, false, options);
            } catch (const RestoreTargetExists&) {
                if (!dialogs.question(ReplaceTargetQuestion(target)))
                    return;
                ExecuteScriptAs(m_context.factory, dialogs, settings, path, target, true, options);
            }
        }
        dialogs.message(RestoreDoneMessage);
    } catch (const Interrupted&) {
        // The program is ending on a signal: no box waits for a click.
        m_interrupted = true;
    } catch (const RestoreAsRefusal& refusal) {
        // Not a failure of the server or the connection: what the user asked cannot be done, and why.
        dialogs.message(refusal.description());
    } catch (const ScriptBatchError& error) {
        // The connection worked and part of the script ran: one box with what the server said, where and how far.
        failed(FailedBatchReport(error, path).join(u'\n'));
    } catch (const Failure& error) {
        // The script's "USE [master]" makes the server announce the switch; some drivers report it as an error.
        if (IsContextChangeToMaster(error))
            dialogs.message(RestoreDoneMessage);
        else
            failed(couldNotConnect);
    } catch (const std::exception&) {
        failed(couldNotConnect);
    }
}
