#pragma once

#include "TrayBackend.h"

#include <QObject>
#include <QSystemTrayIcon>

/**
 * The notification icon on QSystemTrayIcon. Qt reports clicks rather than button up and down: a left click is a
 * left button release, a right click (context) a right button release, a double click a left double click;
 * clicking the balloon is reported as balloon clicked. Qt tells neither hover, button presses nor the balloon closing.
 */
class QtTrayBackend : public QObject, public TrayBackend
{
    Q_OBJECT

public:
    explicit QtTrayBackend(QObject* parent = nullptr);

    bool isAvailable() const override;
    void setNotificationHandler(NotificationHandler handler) override;
    void addIcon(const QString& tip, const QIcon& icon) override;
    void deleteIcon() override;
    void modifyTip(const QString& tip) override;
    void modifyIcon(const QIcon& icon) override;
    void showBalloon(const QString& text, const QString& title, int timeoutMs) override;
    void clearBalloon() override;

    /** The Qt icon behind the backend. */
    QSystemTrayIcon* systemTrayIcon() { return &m_icon; }
    /** The notification that a Qt activation reason stands for. */
    static TrayNotification notificationFor(QSystemTrayIcon::ActivationReason reason);

private:
    void notify(TrayNotification notification);
    void applyIcon(const QIcon& icon);

    QSystemTrayIcon m_icon;
    NotificationHandler m_handler;
};
