#include "telemetry/core/VUNetlinkRouteMonitor.h"

#include "telemetry/core/VULogger.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <system_error>
#include <vector>

namespace {

struct FdCloser
{
    int fd;
    ~FdCloser()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

// Sends one dump request and hands every answer message to `each`; false on any failure.
bool dump(int socket, quint16 type, unsigned char family, const std::function<void(const nlmsghdr *)> &each)
{
    struct
    {
        nlmsghdr header;
        rtmsg body;
    } request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
    request.header.nlmsg_type = type;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = 1;
    request.body.rtm_family = family;
    if (::send(socket, &request, request.header.nlmsg_len, 0) < 0)
        return false;
    std::vector<char> buffer(32768);
    for (;;) {
        const ssize_t length = ::recv(socket, buffer.data(), buffer.size(), 0);
        if (length <= 0)
            return false;
        int remaining = int(length);
        for (auto *message = reinterpret_cast<const nlmsghdr *>(buffer.data()); NLMSG_OK(message, remaining);
             message = NLMSG_NEXT(message, remaining)) {
            if (message->nlmsg_type == NLMSG_DONE)
                return true;
            if (message->nlmsg_type == NLMSG_ERROR)
                return false;
            each(message);
        }
    }
}

} // namespace

std::optional<bool> VUNetlinkRouteMonitor::queryDefaultRoute()
{
    FdCloser socket{::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE)};
    if (socket.fd < 0)
        return std::nullopt;
    timeval timeout{1, 0};
    ::setsockopt(socket.fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

    std::set<int> runningLinks;
    const bool linksRead = dump(socket.fd, RTM_GETLINK, AF_UNSPEC, [&](const nlmsghdr *message) {
        if (message->nlmsg_type != RTM_NEWLINK)
            return;
        const auto *link = static_cast<const ifinfomsg *>(NLMSG_DATA(message));
        if ((link->ifi_flags & IFF_UP) && (link->ifi_flags & IFF_RUNNING))
            runningLinks.insert(link->ifi_index);
    });
    if (!linksRead)
        return std::nullopt;

    bool found = false;
    for (unsigned char family : {AF_INET, AF_INET6}) {
        const bool routesRead = dump(socket.fd, RTM_GETROUTE, family, [&](const nlmsghdr *message) {
            if (message->nlmsg_type != RTM_NEWROUTE)
                return;
            const auto *route = static_cast<const rtmsg *>(NLMSG_DATA(message));
            if (route->rtm_dst_len != 0 || route->rtm_type != RTN_UNICAST)
                return;
            unsigned table = route->rtm_table;
            int outputLink = 0;
            bool multipath = false;
            int length = int(RTM_PAYLOAD(message));
            for (auto *attribute = RTM_RTA(route); RTA_OK(attribute, length); attribute = RTA_NEXT(attribute, length)) {
                if (attribute->rta_type == RTA_TABLE && RTA_PAYLOAD(attribute) >= sizeof(quint32))
                    std::memcpy(&table, RTA_DATA(attribute), sizeof(quint32));
                else if (attribute->rta_type == RTA_OIF && RTA_PAYLOAD(attribute) >= sizeof(int))
                    std::memcpy(&outputLink, RTA_DATA(attribute), sizeof(int));
                else if (attribute->rta_type == RTA_MULTIPATH)
                    multipath = true;
            }
            if (table != RT_TABLE_MAIN)
                return;
            if (multipath || runningLinks.count(outputLink))
                found = true;
        });
        if (!routesRead)
            return std::nullopt;
    }
    return found;
}

VUNetlinkRouteMonitor::VUNetlinkRouteMonitor(Callback onChange) : mOnChange(std::move(onChange))
{
    mReachable = queryDefaultRoute().value_or(true);
    mEventSocket = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    mStopEvent = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (mEventSocket < 0 || mStopEvent < 0) {
        VULogError(VULogTag(), "Network changes cannot be watched: no netlink socket.");
        return;
    }
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
    if (::bind(mEventSocket, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        VULogError(VULogTag(), "Network changes cannot be watched: %s", std::strerror(errno));
        return;
    }
    try {
        mThread = std::thread([this] { run(); });
        mWatching = true;
    } catch (const std::system_error &error) {
        VULogError(VULogTag(), "Network changes cannot be watched: %s", error.what());
    }
}

VUNetlinkRouteMonitor::~VUNetlinkRouteMonitor()
{
    if (mThread.joinable()) {
        const quint64 one = 1;
        (void)!::write(mStopEvent, &one, sizeof one);
        mThread.join();
    }
    for (int fd : {mEventSocket, mStopEvent})
        if (fd >= 0)
            ::close(fd);
}

void VUNetlinkRouteMonitor::run()
{
    std::vector<char> buffer(65536);
    for (;;) {
        pollfd fds[2] = {{mEventSocket, POLLIN, 0}, {mStopEvent, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents)
            return;
        // One burst of events (a route change often comes with several) gives one report.
        bool sawEvent = false;
        for (;;) {
            const ssize_t length = ::recv(mEventSocket, buffer.data(), buffer.size(), 0);
            // An overrun lost events: the state is read again all the same.
            if (length > 0 || (length < 0 && errno == ENOBUFS)) {
                sawEvent = true;
                continue;
            }
            break;
        }
        if (!sawEvent)
            continue;
        if (const auto reachable = queryDefaultRoute())
            mReachable = *reachable;
        if (mOnChange)
            mOnChange(mReachable.load());
    }
}
