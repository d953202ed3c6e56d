#pragma once

#include <QString>
#include <QStringList>

/**
 * Everything the program shows or asks in a modal box: message boxes, the error report and the file and folder
 * choosers. The windows implement it with Qt widgets, the headless command with standard error, tests with a fake
 * that queues answers and records what was shown.
 */
class Dialogs
{
public:
    virtual ~Dialogs() = default;

    /** A message box with an OK button only, no icon and the application's title. */
    virtual void message(const QString& text) = 0;
    /** A Yes/No question, no icon, the application's title. True for Yes. */
    virtual bool question(const QString& text) = 0;
    /** The error report: title "Application Error", OK button, warning icon. */
    virtual void errorReport(const QString& text) = 0;
    /** An open-file dialog; returns the chosen path, empty when cancelled. */
    virtual QString openFileName(const QString& title, const QString& filter) = 0;
    /** The folder browser; returns the chosen folder, empty when cancelled. */
    virtual QString browseForFolder(const QString& prompt, const QString& startFolder) = 0;
    /** A list to pick one entry from; returns the entry, empty when cancelled (or where nobody can choose). */
    virtual QString chooseItem(const QString& prompt, const QStringList& items)
    {
        Q_UNUSED(prompt);
        Q_UNUSED(items);
        return {};
    }
};

/** Dialogs that pass every call on to others: a subclass overrides only what it changes. */
class ForwardingDialogs : public Dialogs
{
public:
    explicit ForwardingDialogs(Dialogs& target)
        : m_target(target)
    { }

    void message(const QString& text) override { m_target.message(text); }
    bool question(const QString& text) override { return m_target.question(text); }
    void errorReport(const QString& text) override { m_target.errorReport(text); }
    QString openFileName(const QString& title, const QString& filter) override
    {
        return m_target.openFileName(title, filter);
    }
    QString browseForFolder(const QString& prompt, const QString& startFolder) override
    {
        return m_target.browseForFolder(prompt, startFolder);
    }
    QString chooseItem(const QString& prompt, const QStringList& items) override
    {
        return m_target.chooseItem(prompt, items);
    }

private:
    Dialogs& m_target;
};
