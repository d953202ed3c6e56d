#include "CutProxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace tds {

namespace {

constexpr int PollMs = 20;

sockaddr_in loopback(quint16 port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

/** Writes everything or gives up (the other side is gone). */
bool writeAll(int fd, const char* data, qint64 size)
{
    while (size > 0) {
        const ssize_t written = ::send(fd, data, std::size_t(size), MSG_NOSIGNAL);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

struct Link
{
    int client = -1;
    int server = -1;
    qint64 fromServer = 0;
};

void closeLink(Link& link)
{
    ::close(link.client);
    ::close(link.server);
    link.client = link.server = -1;
}

} // namespace

CutProxy::CutProxy(quint16 targetPort, qint64 cutAfterBytes)
    : m_target(targetPort)
    , m_cutAfter(cutAfterBytes)
{ }

CutProxy::~CutProxy()
{
    stop();
}

bool CutProxy::start()
{
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listener < 0)
        return false;
    const int on = 1;
    ::setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(m_listener, 16) != 0
        || ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(m_listener);
        m_listener = -1;
        return false;
    }
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { run(); });
    return true;
}

void CutProxy::stop()
{
    m_stopping = true;
    if (m_thread.joinable())
        m_thread.join();
    if (m_listener >= 0)
        ::close(m_listener);
    m_listener = -1;
}

void CutProxy::run()
{
    std::vector<Link> links;
    std::vector<char> buffer(16 * 1024);
    while (!m_stopping) {
        std::vector<pollfd> fds{{m_listener, POLLIN, 0}};
        for (const Link& link : links) {
            fds.push_back({link.client, POLLIN, 0});
            fds.push_back({link.server, POLLIN, 0});
        }
        if (::poll(fds.data(), nfds_t(fds.size()), PollMs) <= 0)
            continue;
        const std::size_t polled = links.size(); // a link accepted below waits for the next poll
        if (fds[0].revents & POLLIN) {
            const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) {
                const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                const sockaddr_in target = loopback(m_target);
                // A side that stops reading cannot hold the relay (and the other side) for ever.
                const timeval sendLimit{5, 0};
                ::setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
                if (server >= 0)
                    ::setsockopt(server, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
                if (server >= 0 && ::connect(server, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0) {
                    links.push_back({client, server, 0});
                } else {
                    ::close(client);
                    if (server >= 0)
                        ::close(server);
                }
            }
        }
        for (std::size_t i = 0; i < polled; ++i) {
            Link& link = links[i];
            const short clientEvents = fds[1 + 2 * i].revents;
            const short serverEvents = fds[2 + 2 * i].revents;
            if (link.client < 0)
                continue;
            if (clientEvents & (POLLIN | POLLHUP | POLLERR)) {
                const ssize_t got = ::recv(link.client, buffer.data(), buffer.size(), 0);
                if (got <= 0 || !writeAll(link.server, buffer.data(), got)) {
                    closeLink(link);
                    continue;
                }
            }
            if (serverEvents & (POLLIN | POLLHUP | POLLERR)) {
                const ssize_t got = ::recv(link.server, buffer.data(), buffer.size(), 0);
                if (got <= 0) {
                    closeLink(link);
                    continue;
                }
                qint64 pass = got;
                const bool cut = m_cutAfter >= 0 && link.fromServer + got >= m_cutAfter;
                if (cut)
                    pass = m_cutAfter - link.fromServer;
                const bool sent = writeAll(link.client, buffer.data(), pass);
                link.fromServer += pass;
                if (cut) {
                    ++m_cuts;
                    closeLink(link);
                } else if (!sent) {
                    closeLink(link);
                }
            }
        }
        std::erase_if(links, [](const Link& link) { return link.client < 0; });
    }
    for (Link& link : links)
        closeLink(link);
}

} // namespace tds
