#include "SysTray.h"

#include "Clock.h"

#include <QEventLoop>
#include <QPointer>
#include <QTimer>

using namespace Qt::Literals::StringLiterals;

const QString cSysTray::DefaultTip = u"Tessaline"_s;

namespace {

const Clock& systemClock()
{
    static const SystemClock clock;
    return clock;
}

} // namespace

void waitForApplicationEvents()
{
    QEventLoop loop;
    QTimer::singleShot(25, &loop, &QEventLoop::quit);
    loop.exec();
}

cSysTray::cSysTray(QObject* parent)
    : cSysTray(createPlatformTrayBackend(), waitForApplicationEvents, systemClock(), parent)
{ }

cSysTray::cSysTray(std::unique_ptr<TrayBackend> backend, EventPump pump, const Clock& clock, QObject* parent)
    : QObject(parent)
    , m_backend(std::move(backend))
    , m_pump(std::move(pump))
    , m_clock(clock)
    , m_trayTip(DefaultTip)
{
    m_backend->setNotificationHandler(
        [this](TrayNotification notification, int id) { HandleTrayMessage(notification, id); });
}

cSysTray::~cSysTray()
{
    if (m_inTray)
        setInTray(false);
    m_backend->setNotificationHandler({});
}

void cSysTray::setInTray(bool inTray)
{
    if (inTray == m_inTray)
        return;
    if (inTray) {
        if (!m_iconAdded) {
            m_backend->addIcon(m_trayTip.left(TipLength), m_trayIcon);
            m_iconAdded = true;
        }
    } else if (m_iconAdded) {
        m_backend->deleteIcon();
        m_iconAdded = false;
        // A balloon goes with its icon; the platform reports it hidden.
        m_balloonVisible = false;
    }
    m_inTray = inTray;
    emit InTrayChanged(m_inTray);
}

void cSysTray::setTrayTip(const QString& tip)
{
    if (m_iconAdded)
        m_backend->modifyTip(tip.left(TipLength));
    m_trayTip = tip;
    emit TrayTipChanged(m_trayTip);
}

void cSysTray::setTrayIcon(const QIcon& icon)
{
    if (icon.isNull())
        return;
    if (m_iconAdded)
        m_backend->modifyIcon(icon);
    m_trayIcon = icon;
    emit TrayIconChanged();
}

void cSysTray::ShowBalloon(const QString& text, const QString& title, int timeoutSeconds, bool showOnce)
{
    if (showOnce && m_balloonCount >= 1)
        return;

    const qint64 timeoutMs = timeoutSeconds > 0 ? qint64(timeoutSeconds) * 1000 : 0;
    m_backend->showBalloon(text.left(BalloonTextLength), title.left(BalloonTitleLength),
                           int(qMin<qint64>(timeoutMs, INT_MAX)));
    m_balloonVisible = true;
    if (showOnce)
        ++m_balloonCount;

    if (timeoutMs <= 0)
        return;

    // Handlers run inside the wait and may destroy this control (closing the window); stop touching it then.
    const QPointer<cSysTray> self(this);
    const qint64 start = m_clock.monotonicMs();
    while (m_balloonVisible && m_clock.monotonicMs() - start < timeoutMs) {
        m_pump();
        if (!self)
            return;
    }
    if (m_balloonVisible)
        m_backend->clearBalloon();
}

bool cSysTray::TrayAvailable() const
{
    return m_backend->isAvailable();
}

void cSysTray::HandleTrayMessage(TrayNotification notification, int id)
{
    switch (notification) {
    case TrayNotification::MouseMove:
        emit MouseMove(id);
        break;
    case TrayNotification::LeftButtonDown:
        emit MouseDown(1, id);
        break;
    case TrayNotification::LeftButtonUp:
        emit MouseUp(1, id);
        break;
    case TrayNotification::LeftDoubleClick:
        emit MouseDblClick(1, id);
        break;
    case TrayNotification::RightButtonDown:
        emit MouseDown(2, id);
        break;
    case TrayNotification::RightButtonUp:
        emit MouseUp(2, id);
        break;
    case TrayNotification::RightDoubleClick:
        emit MouseDblClick(2, id);
        break;
    case TrayNotification::BalloonHidden:
    case TrayNotification::BalloonTimedOut:
    case TrayNotification::BalloonClicked:
        m_balloonVisible = false;
        break;
    case TrayNotification::Other:
        break;
    }
}
