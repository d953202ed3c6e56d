#pragma once

#include "Dialogs.h"

#include <QList>
#include <QQueue>
#include <QString>

#include <functional>

/** Dialogs for tests: queued answers, and a record of everything shown, in order. */
class FakeDialogs : public Dialogs
{
public:
    enum class Kind { Message, Question, ErrorReport, OpenFile, BrowseFolder, ChooseItem };
    struct Shown
    {
        Kind kind;
        QString text; ///< the message, the report, or the dialog's title / prompt
    };

    void message(const QString& text) override;
    bool question(const QString& text) override;
    void errorReport(const QString& text) override;
    QString openFileName(const QString& title, const QString& filter) override;
    QString browseForFolder(const QString& prompt, const QString& startFolder) override;
    /** Records the prompt and the items offered; answers the next queued path (default cancel). */
    QString chooseItem(const QString& prompt, const QStringList& items) override;

    /** Answers for the next questions (default No) and file or folder choices (default cancel). */
    void setNextAnswer(bool yes) { m_answers.enqueue(yes); }
    void setNextPath(const QString& path) { m_paths.enqueue(path); }
    /** Runs while a box is "open", as if the user acted while the modal box pumps events. */
    std::function<void(const Shown&)> onShow;

    const QList<Shown>& shown() const { return m_shown; }
    QStringList texts(Kind kind) const;
    QStringList messages() const { return texts(Kind::Message); }
    QStringList errorReports() const { return texts(Kind::ErrorReport); }
    QString lastFilter() const { return m_lastFilter; }
    QStringList lastItems() const { return m_lastItems; }
    void clear() { m_shown.clear(); }

private:
    void record(Kind kind, const QString& text);

    QList<Shown> m_shown;
    QQueue<bool> m_answers;
    QQueue<QString> m_paths;
    QString m_lastFilter;
    QStringList m_lastItems;
};
