#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>

class cSysTray;

/**
 * Minimise to the tray and back for one window: when the window is minimised it is hidden behind the tray icon
 * (the first time with a balloon saying so), and releasing either mouse button over the icon brings it back.
 * On a desktop without a notification area it does nothing and the window minimises normally.
 */
class TrayMinimizer : public QObject
{
    Q_OBJECT

public:
    /** The balloon shown at the first minimise to the tray. */
    static const QString BalloonText;
    static const QString BalloonTitle;
    static constexpr int BalloonTimeoutSeconds = 5;

    /** Watches `window`'s minimising and `tray`'s MouseUp; both must outlive the minimiser or be destroyed with it. */
    TrayMinimizer(QWidget* window, cSysTray* tray, QObject* parent = nullptr);

    /** True while the window is hidden behind the tray icon. */
    bool MinimizedToTray() const { return m_minimizedToTray; }

    /**
     * What a minimise does: with a tray and not yet in it, hides the window, sets its state back to normal, marks it
     * minimised to the tray and shows the balloon (once per tray control). Without a tray, minimises the window.
     */
    void MinimizeToTray();
    /** What a button release over the icon does: shows the window (not minimised), focuses it, clears the mark. */
    void RestoreFromTray();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QPointer<QWidget> m_window;
    QPointer<cSysTray> m_tray;
    bool m_minimizedToTray = false;
};
