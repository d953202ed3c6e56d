#include "QtTrayBackend.h"

#include <QApplication>
#include <QStyle>

QtTrayBackend::QtTrayBackend(QObject* parent)
    : QObject(parent)
{
    connect(&m_icon, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) { notify(notificationFor(reason)); });
    connect(&m_icon, &QSystemTrayIcon::messageClicked, this, [this] { notify(TrayNotification::BalloonClicked); });
}

bool QtTrayBackend::isAvailable() const
{
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void QtTrayBackend::setNotificationHandler(NotificationHandler handler)
{
    m_handler = std::move(handler);
}

void QtTrayBackend::addIcon(const QString& tip, const QIcon& icon)
{
    m_icon.setToolTip(tip);
    applyIcon(icon);
    m_icon.show();
}

void QtTrayBackend::deleteIcon()
{
    m_icon.hide();
}

void QtTrayBackend::modifyTip(const QString& tip)
{
    m_icon.setToolTip(tip);
}

void QtTrayBackend::modifyIcon(const QIcon& icon)
{
    applyIcon(icon);
}

void QtTrayBackend::showBalloon(const QString& text, const QString& title, int timeoutMs)
{
    // Qt's own default time-out stands in for "left to the platform".
    m_icon.showMessage(title, text, QSystemTrayIcon::NoIcon, timeoutMs > 0 ? timeoutMs : 10000);
}

void QtTrayBackend::clearBalloon()
{
    // Nothing to send: Qt hands the time-out to the balloon (its own balloon widget or the desktop's notification
    // server), which therefore goes away by itself when the wait ends. An empty message would not remove it on
    // notification servers but pop up a second, blank one.
}

TrayNotification QtTrayBackend::notificationFor(QSystemTrayIcon::ActivationReason reason)
{
    switch (reason) {
    case QSystemTrayIcon::Trigger:
        return TrayNotification::LeftButtonUp;
    case QSystemTrayIcon::Context:
        return TrayNotification::RightButtonUp;
    case QSystemTrayIcon::DoubleClick:
        return TrayNotification::LeftDoubleClick;
    case QSystemTrayIcon::MiddleClick:
    case QSystemTrayIcon::Unknown:
        break;
    }
    return TrayNotification::Other;
}

void QtTrayBackend::notify(TrayNotification notification)
{
    if (m_handler)
        m_handler(notification, 0);
}

void QtTrayBackend::applyIcon(const QIcon& icon)
{
    // A tray entry without a picture is invisible (and Qt warns about it): fall back to the application's icon,
    // then to a stock one.
    QIcon shown = icon;
    if (shown.isNull())
        shown = QApplication::windowIcon();
    if (shown.isNull())
        shown = QApplication::style()->standardIcon(QStyle::SP_ComputerIcon);
    m_icon.setIcon(shown);
}

std::unique_ptr<TrayBackend> createPlatformTrayBackend()
{
    return std::make_unique<QtTrayBackend>();
}
