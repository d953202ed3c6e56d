#pragma once

#include "EventPump.h"
#include "TrayBackend.h"

#include <QIcon>
#include <QObject>
#include <QString>

#include <memory>

class Clock;

/**
 * A pump for the balloon wait: lets pending events run and sleeps in the event loop until the next one comes, for at
 * most 25 ms, so a 5-second wait does not keep a processor core busy (the default control's pump).
 */
void waitForApplicationEvents();

/**
 * The notification-area icon control: an icon with a tip and a picture, shown while `InTray` is true, whose mouse
 * buttons become the events MouseMove, MouseDown, MouseUp and MouseDblClick (button 1 left, 2 right; id always 0),
 * and a balloon with a time-out wait that lets window events run. Destroying the control removes its icon.
 */
class cSysTray : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool InTray READ InTray WRITE setInTray NOTIFY InTrayChanged)
    Q_PROPERTY(QString TrayTip READ TrayTip WRITE setTrayTip NOTIFY TrayTipChanged)
    Q_PROPERTY(QIcon TrayIcon READ TrayIcon WRITE setTrayIcon NOTIFY TrayIconChanged)

public:
    /** Characters of the tip that reach the platform (the tip field holds 127 and a NUL). */
    static constexpr int TipLength = 127;
    /** Characters of the balloon title and text that reach the platform. */
    static constexpr int BalloonTitleLength = 63;
    static constexpr int BalloonTextLength = 255;
    /** The tip of a new control, until the window sets its own. */
    static const QString DefaultTip;

    /** A control on the platform's notification area; the balloon wait uses waitForApplicationEvents. */
    explicit cSysTray(QObject* parent = nullptr);
    /** A control on the given backend; the balloon wait calls `pump` and measures time on `clock` (kept by reference).
     */
    cSysTray(std::unique_ptr<TrayBackend> backend, EventPump pump, const Clock& clock, QObject* parent = nullptr);
    ~cSysTray() override;

    /** True while the icon should be in the notification area. */
    bool InTray() const { return m_inTray; }
    /** Shows (true) or removes (false) the icon; writing the current value does nothing. */
    void setInTray(bool inTray);

    /** The icon's tip as written (the platform gets the first TipLength characters). */
    QString TrayTip() const { return m_trayTip; }
    /** Sets the tip; a shown icon takes it at once. */
    void setTrayTip(const QString& tip);

    /** The icon's picture. */
    QIcon TrayIcon() const { return m_trayIcon; }
    /** Sets the picture; a null icon is ignored; a shown icon takes it at once. */
    void setTrayIcon(const QIcon& icon);

    /**
     * Shows a balloon over the icon. With `showOnce`, only the first such balloon of this control appears. With a
     * time-out above 0 it then waits, letting events run, until the balloon is clicked, closed or timed out, or the
     * time has passed; a balloon still up after that is taken away.
     */
    void ShowBalloon(const QString& text, const QString& title, int timeoutSeconds, bool showOnce);
    /** Balloons shown so far with the show-once flag. */
    int BalloonCount() const { return m_balloonCount; }
    /** True from showing a balloon until the platform reports it hidden, timed out or clicked. */
    bool BalloonVisible() const { return m_balloonVisible; }

    /** True while the icon is in the notification area. */
    bool IconAdded() const { return m_iconAdded; }
    /** True when the desktop has a notification area; without one the icon is never seen. */
    bool TrayAvailable() const;

    /** Turns one platform notification into the control's events (public so that other backends can feed it). */
    void HandleTrayMessage(TrayNotification notification, int id);

signals:
    /** The pointer moved over the icon (not reported by Qt's tray icon). */
    void MouseMove(int id);
    /** A button went down over the icon: 1 left, 2 right (not reported by Qt's tray icon). */
    void MouseDown(int button, int id);
    /** A button was released over the icon: a left click gives 1, a right click (context) 2. */
    void MouseUp(int button, int id);
    /** A double click on the icon: 1 for the left button. */
    void MouseDblClick(int button, int id);

    /** The properties changed. */
    void InTrayChanged(bool inTray);
    void TrayTipChanged(const QString& tip);
    void TrayIconChanged();

private:
    std::unique_ptr<TrayBackend> m_backend;
    EventPump m_pump;
    const Clock& m_clock;

    bool m_inTray = false;
    bool m_iconAdded = false;
    QString m_trayTip;
    QIcon m_trayIcon;
    bool m_balloonVisible = false;
    int m_balloonCount = 0;
};
