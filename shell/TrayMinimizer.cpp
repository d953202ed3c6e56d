#include "TrayMinimizer.h"

#include "SysTray.h"

#include <QEvent>

using namespace Qt::Literals::StringLiterals;

const QString TrayMinimizer::BalloonText
    = u"has been minimized to the system tray.\r\n"
      u"Click on the blue 'B' icon (B for Brackwell) to bring the software back."_s;
const QString TrayMinimizer::BalloonTitle = u"Tessaline"_s;

TrayMinimizer::TrayMinimizer(QWidget* window, cSysTray* tray, QObject* parent)
    : QObject(parent)
    , m_window(window)
    , m_tray(tray)
{
    window->installEventFilter(this);
    connect(tray, &cSysTray::MouseUp, this, [this](int, int) { RestoreFromTray(); });
}

bool TrayMinimizer::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_window && event->type() == QEvent::WindowStateChange && m_window->isMinimized()
        && !m_minimizedToTray) {
        // Hiding a window in the middle of its own state change confuses some window managers: do it once the
        // change is through.
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (m_window && m_window->isMinimized())
                    MinimizeToTray();
            },
            Qt::QueuedConnection);
    }
    return QObject::eventFilter(watched, event);
}

void TrayMinimizer::MinimizeToTray()
{
    if (!m_window || !m_tray)
        return;
    if (!m_tray->TrayAvailable()) {
        // No notification area: a hidden window could never be brought back.
        if (!m_window->isMinimized())
            m_window->showMinimized();
        return;
    }
    if (m_minimizedToTray)
        return;
    m_window->hide();
    m_window->setWindowState(m_window->windowState() & ~Qt::WindowMinimized);
    m_minimizedToTray = true;
    m_tray->ShowBalloon(BalloonText, BalloonTitle, BalloonTimeoutSeconds, true);
}

void TrayMinimizer::RestoreFromTray()
{
    if (!m_window)
        return;
    if (m_window->isMinimized())
        m_window->setWindowState(m_window->windowState() & ~Qt::WindowMinimized);
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
    m_minimizedToTray = false;
}
