#pragma once

#include "TrayBackend.h"

#include <QIcon>
#include <QList>
#include <QString>

/**
 * The notification area as seen by a fake tray backend: what was added, changed and shown, and a way to send
 * the icon's notifications. Owned by the test; the backend given to cSysTray only refers to it, so it can be read
 * after the control is gone. Header-only: include it from tests that link tessaline_shell.
 */
struct FakeTrayState
{
    struct Balloon
    {
        QString text;
        QString title;
        int timeoutMs = 0;
    };

    bool available = true; ///< whether the desktop has a notification area
    bool shown = false; ///< the icon is in the notification area now
    int adds = 0;
    int deletes = 0;
    int tipChanges = 0;
    int iconChanges = 0;
    QString tip;
    QIcon icon;
    QList<Balloon> balloons;
    int balloonClears = 0;
    TrayBackend::NotificationHandler handler;

    /** Sends a notification of the icon, as the platform would. */
    void notify(TrayNotification notification, int id = 0)
    {
        if (handler)
            handler(notification, id);
    }
};

class FakeTrayBackend : public TrayBackend
{
public:
    explicit FakeTrayBackend(FakeTrayState& state)
        : m_state(state)
    { }

    bool isAvailable() const override { return m_state.available; }
    void setNotificationHandler(NotificationHandler handler) override { m_state.handler = std::move(handler); }
    void addIcon(const QString& tip, const QIcon& icon) override
    {
        ++m_state.adds;
        m_state.shown = true;
        m_state.tip = tip;
        m_state.icon = icon;
    }
    void deleteIcon() override
    {
        ++m_state.deletes;
        m_state.shown = false;
    }
    void modifyTip(const QString& tip) override
    {
        ++m_state.tipChanges;
        m_state.tip = tip;
    }
    void modifyIcon(const QIcon& icon) override
    {
        ++m_state.iconChanges;
        m_state.icon = icon;
    }
    void showBalloon(const QString& text, const QString& title, int timeoutMs) override
    {
        m_state.balloons.append({text, title, timeoutMs});
    }
    void clearBalloon() override { ++m_state.balloonClears; }

private:
    FakeTrayState& m_state;
};
