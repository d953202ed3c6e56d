#pragma once

#include <QIcon>
#include <QString>

#include <functional>
#include <memory>

/** What the platform's notification icon reports: mouse buttons over the icon and the fate of its balloon. */
enum class TrayNotification {
    MouseMove,
    LeftButtonDown,
    LeftButtonUp,
    LeftDoubleClick,
    RightButtonDown,
    RightButtonUp,
    RightDoubleClick,
    BalloonHidden,
    BalloonTimedOut,
    BalloonClicked,
    Other, ///< anything else (middle button, balloon shown, ...)
};

/**
 * The platform's notification-area icon, one icon per backend. cSysTray drives it; the Qt implementation sits on
 * QSystemTrayIcon, tests use a fake that records the calls.
 */
class TrayBackend
{
public:
    /** Receives every notification of the icon with the icon's identifier. */
    using NotificationHandler = std::function<void(TrayNotification notification, int id)>;

    virtual ~TrayBackend() = default;

    /** True when the desktop has a notification area that can show the icon. */
    virtual bool isAvailable() const = 0;
    /** Installs the receiver of the icon's notifications (replaces the previous one). */
    virtual void setNotificationHandler(NotificationHandler handler) = 0;

    /** Puts the icon into the notification area with a tip and a picture (either may be empty or null). */
    virtual void addIcon(const QString& tip, const QIcon& icon) = 0;
    /** Removes the icon from the notification area. */
    virtual void deleteIcon() = 0;
    /** Changes the tip of the shown icon. */
    virtual void modifyTip(const QString& tip) = 0;
    /** Changes the picture of the shown icon. */
    virtual void modifyIcon(const QIcon& icon) = 0;
    /** Shows a balloon over the icon; a time-out of 0 leaves it to the platform. */
    virtual void showBalloon(const QString& text, const QString& title, int timeoutMs) = 0;
    /** Takes a shown balloon away (a balloon with empty title and text); the time-out has passed when it is called. */
    virtual void clearBalloon() = 0;
};

/** The notification icon of the platform the program was built for. */
std::unique_ptr<TrayBackend> createPlatformTrayBackend();
