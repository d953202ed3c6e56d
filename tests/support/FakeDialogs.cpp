#include "FakeDialogs.h"

void FakeDialogs::record(Kind kind, const QString& text)
{
    m_shown.append({kind, text});
    if (onShow)
        onShow(m_shown.constLast());
}

void FakeDialogs::message(const QString& text)
{
    record(Kind::Message, text);
}

bool FakeDialogs::question(const QString& text)
{
    record(Kind::Question, text);
    return m_answers.isEmpty() ? false : m_answers.dequeue();
}

void FakeDialogs::errorReport(const QString& text)
{
    record(Kind::ErrorReport, text);
}

QString FakeDialogs::openFileName(const QString& title, const QString& filter)
{
    m_lastFilter = filter;
    record(Kind::OpenFile, title);
    return m_paths.isEmpty() ? QString() : m_paths.dequeue();
}

QString FakeDialogs::browseForFolder(const QString& prompt, const QString& startFolder)
{
    m_lastFilter = startFolder;
    record(Kind::BrowseFolder, prompt);
    return m_paths.isEmpty() ? QString() : m_paths.dequeue();
}

QString FakeDialogs::chooseItem(const QString& prompt, const QStringList& items)
{
    m_lastItems = items;
    record(Kind::ChooseItem, prompt);
    return m_paths.isEmpty() ? QString() : m_paths.dequeue();
}

QStringList FakeDialogs::texts(Kind kind) const
{
    QStringList result;
    for (const Shown& shown : m_shown)
        if (shown.kind == kind)
            result.append(shown.text);
    return result;
}
