#pragma once

#include "Dialogs.h"

#include <QPointer>
#include <QString>

class QWidget;

/**
 * The message boxes, the error report and the file and folder choosers of the windows, with Qt widgets. Message boxes
 * have no icon and carry the application's title; the error report has the warning icon and the title
 * "Application Error".
 */
class QtDialogs : public Dialogs
{
public:
    /** `owner` is the window the boxes are centred on; may be null, may be changed later. */
    explicit QtDialogs(QWidget* owner = nullptr);

    void setOwner(QWidget* owner);

    void message(const QString& text) override;
    bool question(const QString& text) override;
    void errorReport(const QString& text) override;
    QString openFileName(const QString& title, const QString& filter) override;
    QString browseForFolder(const QString& prompt, const QString& startFolder) override;
    QString chooseItem(const QString& prompt, const QStringList& items) override;

    /** The application's title: the display name when set, else the application name. */
    static QString applicationTitle();
    /**
     * A filter in either form, "Description (*.sql)|*.sql" (description and pattern pairs separated by "|") or Qt's
     * "Description (*.sql);;...", as Qt's file dialog takes it.
     */
    static QString toQtFilter(const QString& filter);

private:
    QWidget* owner() const;

    QPointer<QWidget> m_owner;
};
