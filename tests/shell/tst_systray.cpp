#include "FakeClock.h"
#include "FakeTrayBackend.h"
#include "QtTrayBackend.h"
#include "SysTray.h"
#include "TrayMinimizer.h"

#include <QPixmap>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QWidget>

using namespace Qt::Literals::StringLiterals;

Q_DECLARE_METATYPE(TrayNotification)

namespace {

QIcon solidIcon(Qt::GlobalColor color)
{
    QPixmap pixmap(16, 16);
    pixmap.fill(color);
    return QIcon(pixmap);
}

} // namespace

class TestSysTray : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_state = FakeTrayState();
        m_clock = FakeClock();
        m_pumps = 0;
        m_onPump = nullptr;
    }

    void inTrayAddsOnceAndRemovesOnce()
    {
        auto tray = makeTray();
        tray->setInTray(false); // never added: only the value
        QCOMPARE(m_state.deletes, 0);

        QSignalSpy changed(tray.get(), &cSysTray::InTrayChanged);
        tray->setInTray(true);
        tray->setInTray(true);
        QCOMPARE(m_state.adds, 1);
        QVERIFY(tray->IconAdded());
        QCOMPARE(changed.count(), 1);

        tray->setInTray(false);
        tray->setInTray(false);
        QCOMPARE(m_state.deletes, 1);
        QVERIFY(!m_state.shown);
        QVERIFY(!tray->InTray());

        tray->setInTray(true);
        tray.reset(); // destroying the control takes its icon away
        QCOMPARE(m_state.adds, 2);
        QCOMPARE(m_state.deletes, 2);
        QVERIFY(!m_state.shown);
    }

    void tipIsCutToTheField_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("sent");
        QTest::newRow("empty") << 0 << 0;
        QTest::newRow("fits") << 127 << 127;
        QTest::newRow("one too many") << 128 << 127;
        QTest::newRow("long") << 300 << 127;
    }
    void tipIsCutToTheField()
    {
        QFETCH(int, length);
        QFETCH(int, sent);
        const QString tip = QString(length, u'x');

        // The tip reaches the platform cut, both when the icon is added and when it changes while shown.
        auto tray = makeTray();
        tray->setTrayTip(tip);
        tray->setInTray(true);
        QCOMPARE(m_state.tip.size(), sent);
        tray->setTrayTip(u"y"_s + tip);
        QCOMPARE(m_state.tip.size(), qMin(length + 1, 127));
        QCOMPARE(tray->TrayTip(), u"y"_s + tip);
    }

    void tipAndIconApplyAtOnceWhileShown()
    {
        auto tray = makeTray();
        QCOMPARE(tray->TrayTip(), cSysTray::DefaultTip);
        const QIcon blue = solidIcon(Qt::blue);

        // Before the icon is added, changes are only kept and go out with the add.
        tray->setTrayTip(u"Before"_s);
        tray->setTrayIcon(blue);
        QCOMPARE(m_state.tipChanges, 0);
        QCOMPARE(m_state.iconChanges, 0);
        tray->setInTray(true);
        QCOMPARE(m_state.tip, u"Before"_s);
        QCOMPARE(m_state.icon.cacheKey(), blue.cacheKey());

        tray->setTrayTip(u"Tessaline"_s);
        QCOMPARE(m_state.tipChanges, 1);
        QCOMPARE(m_state.tip, u"Tessaline"_s);

        // A null picture is ignored; a real one replaces the shown one.
        tray->setTrayIcon(QIcon());
        QCOMPARE(m_state.iconChanges, 0);
        QCOMPARE(tray->TrayIcon().cacheKey(), blue.cacheKey());
        const QIcon red = solidIcon(Qt::red);
        tray->setTrayIcon(red);
        QCOMPARE(m_state.iconChanges, 1);
        QCOMPARE(m_state.icon.cacheKey(), red.cacheKey());

        // After removal, changes no longer reach the platform.
        tray->setInTray(false);
        tray->setTrayTip(u"After"_s);
        QCOMPARE(m_state.tipChanges, 1);
    }

    void notificationsBecomeEvents_data()
    {
        QTest::addColumn<TrayNotification>("notification");
        QTest::addColumn<int>("id");
        QTest::addColumn<QString>("event"); // the signal raised, empty for none
        QTest::addColumn<int>("button");

        QTest::newRow("move") << TrayNotification::MouseMove << 0 << u"MouseMove"_s << 0;
        QTest::newRow("left down") << TrayNotification::LeftButtonDown << 0 << u"MouseDown"_s << 1;
        QTest::newRow("left up") << TrayNotification::LeftButtonUp << 0 << u"MouseUp"_s << 1;
        QTest::newRow("left double") << TrayNotification::LeftDoubleClick << 0 << u"MouseDblClick"_s << 1;
        QTest::newRow("right down") << TrayNotification::RightButtonDown << 0 << u"MouseDown"_s << 2;
        QTest::newRow("right up") << TrayNotification::RightButtonUp << 0 << u"MouseUp"_s << 2;
        QTest::newRow("right double") << TrayNotification::RightDoubleClick << 0 << u"MouseDblClick"_s << 2;
        QTest::newRow("id passed on") << TrayNotification::RightButtonUp << 7 << u"MouseUp"_s << 2;
        QTest::newRow("balloon clicked") << TrayNotification::BalloonClicked << 0 << QString() << 0;
        QTest::newRow("other") << TrayNotification::Other << 0 << QString() << 0;
    }
    void notificationsBecomeEvents()
    {
        QFETCH(TrayNotification, notification);
        QFETCH(int, id);
        QFETCH(QString, event);
        QFETCH(int, button);

        auto tray = makeTray();
        tray->setInTray(true);
        QSignalSpy move(tray.get(), &cSysTray::MouseMove);
        QSignalSpy down(tray.get(), &cSysTray::MouseDown);
        QSignalSpy up(tray.get(), &cSysTray::MouseUp);
        QSignalSpy dbl(tray.get(), &cSysTray::MouseDblClick);

        m_state.notify(notification, id);

        QCOMPARE(move.count() + down.count() + up.count() + dbl.count(), event.isEmpty() ? 0 : 1);
        if (event == u"MouseMove"_s) {
            QCOMPARE(move.at(0).at(0).toInt(), id);
        } else if (!event.isEmpty()) {
            QSignalSpy& spy = event == u"MouseDown"_s ? down : event == u"MouseUp"_s ? up : dbl;
            QCOMPARE(spy.count(), 1);
            QCOMPARE(spy.at(0).at(0).toInt(), button);
            QCOMPARE(spy.at(0).at(1).toInt(), id);
        }
    }

    void qtActivationsMapToButtons_data()
    {
        QTest::addColumn<int>("reason");
        QTest::addColumn<TrayNotification>("notification");
        QTest::newRow("click") << int(QSystemTrayIcon::Trigger) << TrayNotification::LeftButtonUp;
        QTest::newRow("context") << int(QSystemTrayIcon::Context) << TrayNotification::RightButtonUp;
        QTest::newRow("double click") << int(QSystemTrayIcon::DoubleClick) << TrayNotification::LeftDoubleClick;
        QTest::newRow("middle") << int(QSystemTrayIcon::MiddleClick) << TrayNotification::Other;
        QTest::newRow("unknown") << int(QSystemTrayIcon::Unknown) << TrayNotification::Other;
    }
    void qtActivationsMapToButtons()
    {
        QFETCH(int, reason);
        QFETCH(TrayNotification, notification);

        // Through the real QSystemTrayIcon signal, so the backend's connection is covered too.
        auto backend = std::make_unique<QtTrayBackend>();
        QSystemTrayIcon* icon = backend->systemTrayIcon();
        QList<TrayNotification> received;
        backend->setNotificationHandler([&](TrayNotification n, int id) {
            QCOMPARE(id, 0);
            received.append(n);
        });
        emit icon->activated(QSystemTrayIcon::ActivationReason(reason));
        QCOMPARE(received, QList<TrayNotification>{notification});
    }

    void qtBackendFeedsTheControl()
    {
        auto backend = std::make_unique<QtTrayBackend>();
        QSystemTrayIcon* icon = backend->systemTrayIcon();
        cSysTray tray(
            std::move(backend), [this] { pump(); }, m_clock);
        QSignalSpy up(&tray, &cSysTray::MouseUp);
        emit icon->activated(QSystemTrayIcon::Context);
        QCOMPARE(up.count(), 1);
        QCOMPARE(up.at(0).at(0).toInt(), 2);

        // Clicking the balloon ends its wait.
        m_onPump = [&] {
            if (m_pumps == 2)
                emit icon->messageClicked();
        };
        tray.ShowBalloon(u"text"_s, u"title"_s, 5, false);
        QCOMPARE(m_pumps, 2);
        QVERIFY(!tray.BalloonVisible());
    }

    void balloonShowOnce()
    {
        auto tray = makeTray();
        tray->setInTray(true);
        tray->ShowBalloon(u"first"_s, u"T"_s, 0, true);
        tray->ShowBalloon(u"second"_s, u"T"_s, 0, true);
        QCOMPARE(m_state.balloons.size(), 1);
        QCOMPARE(m_state.balloons.at(0).text, u"first"_s);
        QCOMPARE(tray->BalloonCount(), 1);

        // Without the flag a balloon always shows and is not counted.
        tray->ShowBalloon(u"third"_s, u"T"_s, 0, false);
        QCOMPARE(m_state.balloons.size(), 2);
        QCOMPARE(tray->BalloonCount(), 1);
        QVERIFY(tray->BalloonVisible());
        QCOMPARE(m_pumps, 0); // no time-out, no wait
    }

    void balloonFieldsAreCut()
    {
        auto tray = makeTray();
        tray->ShowBalloon(QString(300, u't'), QString(100, u'h'), -3, false);
        QCOMPARE(m_state.balloons.at(0).text.size(), 255);
        QCOMPARE(m_state.balloons.at(0).title.size(), 63);
        QCOMPARE(m_state.balloons.at(0).timeoutMs, 0);
    }

    void balloonWaitEnds_data()
    {
        QTest::addColumn<TrayNotification>("ending");
        QTest::newRow("clicked") << TrayNotification::BalloonClicked;
        QTest::newRow("timed out by the platform") << TrayNotification::BalloonTimedOut;
        QTest::newRow("hidden") << TrayNotification::BalloonHidden;
    }
    void balloonWaitEnds()
    {
        QFETCH(TrayNotification, ending);
        auto tray = makeTray();
        tray->setInTray(true);
        m_onPump = [&] {
            m_clock.advanceMs(500);
            if (m_pumps == 3)
                m_state.notify(ending);
        };
        tray->ShowBalloon(u"text"_s, u"title"_s, 5, true);
        QCOMPARE(m_state.balloons.at(0).timeoutMs, 5000);
        QCOMPARE(m_pumps, 3);
        QVERIFY(!tray->BalloonVisible());
        QCOMPARE(m_state.balloonClears, 0); // already gone: not cleared a second time
    }

    void balloonWaitIsBoundedByTheClock()
    {
        auto tray = makeTray();
        tray->setInTray(true);
        m_onPump = [&] { m_clock.advanceMs(700); };
        tray->ShowBalloon(u"text"_s, u"title"_s, 5, true);
        QCOMPARE(m_pumps, 8); // 7 * 700 ms < 5 s <= 8 * 700 ms
        QCOMPARE(m_state.balloonClears, 1);
        QVERIFY(tray->BalloonVisible());
    }

    void balloonWaitSurvivesTheIconGoing()
    {
        // The window closes while the balloon waits: the icon goes, then the control itself.
        auto tray = makeTray();
        tray->setInTray(true);
        m_onPump = [&] {
            m_clock.advanceMs(100);
            if (m_pumps == 2)
                tray->setInTray(false);
        };
        tray->ShowBalloon(u"text"_s, u"title"_s, 5, false);
        QCOMPARE(m_pumps, 2);
        QCOMPARE(m_state.balloonClears, 0);

        cSysTray* raw = tray.release();
        raw->setInTray(true);
        m_pumps = 0;
        m_onPump = [&] {
            m_clock.advanceMs(100);
            if (m_pumps == 1)
                delete raw;
        };
        raw->ShowBalloon(u"text"_s, u"title"_s, 5, false);
        QCOMPARE(m_pumps, 1);
        QCOMPARE(m_state.deletes, 2);
    }

    void waitingPumpRunsPendingEvents()
    {
        bool ran = false;
        QTimer::singleShot(0, this, [&] { ran = true; });
        waitForApplicationEvents();
        QVERIFY(ran);
        waitForApplicationEvents(); // returns with nothing pending as well
    }

    // Minimise to the tray and back, on a real window.

    void minimiseGoesToTrayAndBack()
    {
        auto tray = makeTray();
        tray->setInTray(true);
        m_onPump = [&] { m_clock.advanceMs(1000); };
        QWidget window;
        TrayMinimizer minimizer(&window, tray.get());
        window.show();

        window.setWindowState(Qt::WindowMinimized);
        QCoreApplication::processEvents();
        QVERIFY(!window.isVisible());
        QVERIFY(!window.isMinimized());
        QVERIFY(minimizer.MinimizedToTray());
        QCOMPARE(m_state.balloons.size(), 1);
        QCOMPARE(m_state.balloons.at(0).text,
                 u"has been minimized to the system tray.\r\n"
                 u"Click on the blue 'B' icon (B for Brackwell) to bring the software back."_s);
        QCOMPARE(m_state.balloons.at(0).title, u"Tessaline"_s);
        QCOMPARE(m_state.balloons.at(0).timeoutMs, 5000);
        QCOMPARE(m_pumps, 5);

        // A press alone does nothing; a release of either button brings the window back.
        m_state.notify(TrayNotification::RightButtonDown);
        m_state.notify(TrayNotification::LeftDoubleClick);
        QVERIFY(!window.isVisible());
        m_state.notify(TrayNotification::RightButtonUp);
        QVERIFY(window.isVisible());
        QVERIFY(!window.isMinimized());
        QVERIFY(!minimizer.MinimizedToTray());

        // The second time the window goes quietly.
        window.setWindowState(Qt::WindowMinimized);
        QCoreApplication::processEvents();
        QVERIFY(!window.isVisible());
        QVERIFY(minimizer.MinimizedToTray());
        QCOMPARE(m_state.balloons.size(), 1);
        m_state.notify(TrayNotification::LeftButtonUp);
        QVERIFY(window.isVisible());

        // A window hidden by other means ("< Back") comes back as well.
        window.hide();
        m_state.notify(TrayNotification::LeftButtonUp);
        QVERIFY(window.isVisible());
    }

    void startInTray()
    {
        // The minimised start: the window was never shown and goes straight to the tray.
        auto tray = makeTray();
        tray->setInTray(true);
        QWidget window;
        TrayMinimizer minimizer(&window, tray.get());
        minimizer.MinimizeToTray();
        QVERIFY(!window.isVisible());
        QVERIFY(minimizer.MinimizedToTray());
        QCOMPARE(m_state.balloons.size(), 1);
        m_state.notify(TrayNotification::LeftButtonUp);
        QVERIFY(window.isVisible());
    }

    void withoutTrayTheWindowMinimisesNormally()
    {
        m_state.available = false;
        auto tray = makeTray();
        tray->setInTray(true);
        QWidget window;
        TrayMinimizer minimizer(&window, tray.get());
        window.show();

        window.setWindowState(Qt::WindowMinimized);
        QCoreApplication::processEvents();
        QVERIFY(window.isVisible());
        QVERIFY(window.isMinimized());
        QVERIFY(!minimizer.MinimizedToTray());
        QVERIFY(m_state.balloons.isEmpty());

        // The minimised start falls back to an ordinary minimised window.
        QWidget other;
        TrayMinimizer otherMinimizer(&other, tray.get());
        otherMinimizer.MinimizeToTray();
        QVERIFY(other.isVisible());
        QVERIFY(other.isMinimized());
        QVERIFY(m_state.balloons.isEmpty());
    }

private:
    std::unique_ptr<cSysTray> makeTray()
    {
        return std::make_unique<cSysTray>(
            std::make_unique<FakeTrayBackend>(m_state), [this] { pump(); }, m_clock);
    }
    void pump()
    {
        ++m_pumps;
        if (m_onPump)
            m_onPump();
        // Guards a broken wait from spinning forever.
        if (m_pumps > 1000)
            m_clock.advanceMs(1'000'000);
    }

    FakeTrayState m_state;
    FakeClock m_clock;
    int m_pumps = 0;
    std::function<void()> m_onPump;
};

QTEST_MAIN(TestSysTray)
#include "tst_systray.moc"
