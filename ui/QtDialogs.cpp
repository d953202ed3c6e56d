#include "QtDialogs.h"

#include "ShellHelpers.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QGuiApplication>
#include <QInputDialog>
#include <QMessageBox>
#include <QWidget>

using namespace Qt::Literals::StringLiterals;

namespace {

// The texts use single CRs as line breaks in places; Qt's plain-text label breaks lines on LF only.
QString displayText(QString text)
{
    text.replace(u"\r\n"_s, u"\n"_s);
    text.replace(u'\r', u'\n');
    return text;
}

int execBox(QMessageBox& box)
{
    box.setTextFormat(Qt::PlainText);
    box.setWindowModality(box.parentWidget() ? Qt::WindowModal : Qt::ApplicationModal);
    return box.exec();
}

} // namespace

QtDialogs::QtDialogs(QWidget* owner)
    : m_owner(owner)
{ }

void QtDialogs::setOwner(QWidget* owner)
{
    m_owner = owner;
}

QWidget* QtDialogs::owner() const
{
    // A hidden owner would hide the box with it: fall back to the active window, then to none.
    if (m_owner && m_owner->isVisible())
        return m_owner;
    QWidget* active = QApplication::activeWindow();
    return active && active->isVisible() ? active : nullptr;
}

QString QtDialogs::applicationTitle()
{
    const QString display = QGuiApplication::applicationDisplayName();
    return display.isEmpty() ? QCoreApplication::applicationName() : display;
}

void QtDialogs::message(const QString& text)
{
    QMessageBox box(QMessageBox::NoIcon, applicationTitle(), displayText(text), QMessageBox::Ok, owner());
    execBox(box);
}

bool QtDialogs::question(const QString& text)
{
    QMessageBox box(QMessageBox::NoIcon, applicationTitle(), displayText(text), QMessageBox::Yes | QMessageBox::No,
                    owner());
    box.setDefaultButton(QMessageBox::Yes);
    return execBox(box) == QMessageBox::Yes;
}

void QtDialogs::errorReport(const QString& text)
{
    QMessageBox box(QMessageBox::Warning, u"Application Error"_s, displayText(text), QMessageBox::Ok, owner());
    execBox(box);
}

QString QtDialogs::openFileName(const QString& title, const QString& filter)
{
    // Qt's dialogs give "/" on every platform; the field shows the platform's own separators.
    return QDir::toNativeSeparators(QFileDialog::getOpenFileName(owner(), title, QString(), toQtFilter(filter)));
}

QString QtDialogs::browseForFolder(const QString& prompt, const QString& startFolder)
{
    return QDir::toNativeSeparators(BrowseForFolder(owner(), prompt, startFolder));
}

QString QtDialogs::chooseItem(const QString& prompt, const QStringList& items)
{
    bool ok = false;
    const QString item = QInputDialog::getItem(owner(), applicationTitle(), prompt, items, 0, false, &ok);
    return ok ? item : QString();
}

QString QtDialogs::toQtFilter(const QString& filter)
{
    if (!filter.contains(u'|'))
        return filter;
    const QStringList parts = filter.split(u'|');
    QStringList entries;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        const QString description = parts.at(i).trimmed();
        const QString patterns = parts.at(i + 1).trimmed();
        // Qt reads the patterns from the parentheses; add them when the description does not show them.
        if (description.contains(u'(' + patterns + u')'))
            entries.append(description);
        else
            entries.append(description + u" ("_s + QString(patterns).replace(u';', u' ') + u')');
    }
    return entries.join(u";;"_s);
}
