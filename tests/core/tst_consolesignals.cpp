// The console's control events on Windows (under Wine in the Windows tier) as the termination signals: Ctrl+C stops
// the work with the number of SIGINT, and work that does not end within the grace ends the process with 130 after
// the finish hooks ran.
#include "StopRequest.h"
#include "TerminationSignals.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTest>

#include <windows.h>

#include <atomic>
#include <cstdio>

using namespace Qt::Literals::StringLiterals;

namespace {

/** The other process: a stop that never ends by itself; the finish hook says it ran. */
int stopThatHangs()
{
    StopRequest stop;
    const StopRequest::Hook finish = stop.onForcedEnd([] {
        std::printf("finish hook ran\n");
        std::fflush(stdout);
    });
    const auto handlers = TerminationSignals::install(stop, {}, 300);
    GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    Sleep(30'000);
    return 0;
}

/** The other process: Ctrl+C to its own console; prints what the stop and the notification got. */
int stopOnCtrlC()
{
    StopRequest stop;
    std::atomic<int> notified = 0;
    const auto handlers = TerminationSignals::install(
        stop, [&](int number) { notified = number; }, 60'000);
    if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0))
        return 3;
    for (int waited = 0; notified == 0 && waited < 10'000; waited += 20)
        Sleep(20);
    std::printf("notified %d requested %d exit %d\n", notified.load(), int(stop.requested()), stop.exitStatus());
    std::fflush(stdout);
    return 0;
}

} // namespace

class TestConsoleSignals : public QObject
{
    Q_OBJECT

private slots:
    void ctrlCRequestsTheStopAsSigint()
    {
        // In a process of its own, which has a console of its own (the test's may have none under CTest).
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), {u"--ctrl-c"_s});
        QVERIFY(child.waitForFinished(60'000));
        QCOMPARE(child.exitCode(), 0);
        QCOMPARE(child.readAllStandardOutput().trimmed(), QByteArray("notified 2 requested 1 exit 130"));
    }

    void workThatDoesNotStopEndsWith130AfterTheFinishHooks()
    {
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), {u"--hang"_s});
        QVERIFY(child.waitForFinished(60'000));
        QCOMPARE(child.exitCode(), 130);
        QVERIFY2(child.readAllStandardOutput().contains("finish hook ran"), "the finish hooks did not run");
    }
};

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (QCoreApplication::arguments().contains(u"--hang"_s))
        return stopThatHangs();
    if (QCoreApplication::arguments().contains(u"--ctrl-c"_s))
        return stopOnCtrlC();
    TestConsoleSignals test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_consolesignals.moc"
