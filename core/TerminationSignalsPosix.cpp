#include "TerminationSignals.h"

#include "StopRequest.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

constexpr int Handled[] = {SIGTERM, SIGINT, SIGHUP};
/** The byte that tells the watcher to end (no signal has the number 0). */
constexpr char QuitByte = 0;

int signalPipe[2] = {-1, -1};

void onSignal(int number)
{
    const int saved = errno;
    const char byte = char(number);
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

class PosixTerminationSignals : public TerminationSignals
{
public:
    PosixTerminationSignals(StopRequest& stop, std::function<void(int)> notify, int graceMs)
        : m_stop(stop)
        , m_notify(std::move(notify))
        , m_graceMs(graceMs)
    {
        if (::pipe2(signalPipe, O_CLOEXEC) != 0)
            return;
        ::fcntl(signalPipe[1], F_SETFL, O_NONBLOCK);
        m_watcher = std::thread([this] { watch(); });
        struct sigaction action = {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (const int number : Handled)
            ::sigaction(number, &action, nullptr);
    }

    ~PosixTerminationSignals() override
    {
        if (!m_watcher.joinable())
            return;
        struct sigaction action = {};
        action.sa_handler = SIG_DFL;
        sigemptyset(&action.sa_mask);
        for (const int number : Handled)
            ::sigaction(number, &action, nullptr);
        const char byte = QuitByte;
        [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
        m_watcher.join();
        ::close(signalPipe[0]);
        ::close(signalPipe[1]);
        signalPipe[0] = signalPipe[1] = -1;
    }

    PosixTerminationSignals(const PosixTerminationSignals&) = delete;
    PosixTerminationSignals& operator=(const PosixTerminationSignals&) = delete;

private:
    void watch()
    {
        using Clock = std::chrono::steady_clock;
        int first = 0;
        Clock::time_point deadline;
        for (;;) {
            int timeoutMs = -1;
            if (first != 0) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
                timeoutMs = int(std::max<long long>(left.count(), 0));
            }
            pollfd wait = {signalPipe[0], POLLIN, 0};
            const int ready = ::poll(&wait, 1, timeoutMs);
            if (ready < 0) {
                if (errno == EINTR)
                    continue;
                return;
            }
            if (ready == 0) {
                endNow(first); // the work did not end in time
                return;
            }
            char byte = 0;
            if (::read(signalPipe[0], &byte, 1) != 1)
                continue;
            const int number = int(static_cast<unsigned char>(byte));
            if (number == QuitByte)
                return;
            if (first != 0) {
                endNow(number); // a second signal ends at once
                return;
            }
            first = number;
            deadline = Clock::now() + std::chrono::milliseconds(m_graceMs);
            m_stop.request(number);
            if (m_notify)
                m_notify(number);
        }
    }

    [[noreturn]] void endNow(int number)
    {
        m_stop.forceEnd();
        ::_exit(128 + number);
    }

    StopRequest& m_stop;
    std::function<void(int)> m_notify;
    int m_graceMs;
    std::thread m_watcher;
};

} // namespace

std::unique_ptr<TerminationSignals>
TerminationSignals::install(StopRequest& stop, std::function<void(int)> notify, int graceMs)
{
    return std::make_unique<PosixTerminationSignals>(stop, std::move(notify), graceMs);
}
