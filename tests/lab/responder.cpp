#include <arpa/inet.h>
#include <linux/icmp.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <queue>
#include <string>
#include <vector>

#include "engine/IcmpChecksum.h"

namespace {

using Clock = std::chrono::steady_clock;

struct HostConfig {
    in_addr addr{};
    int delayMs = 0;
};

struct Options {
    std::map<uint32_t, HostConfig> hosts; // keyed by the address in network order
    bool verbose = false;
};

struct PendingReply {
    Clock::time_point due;
    in_addr from{};
    in_addr to{};
    std::vector<uint8_t> icmp;
    bool operator>(const PendingReply& other) const { return due > other.due; }
};

using ReplyQueue =
    std::priority_queue<PendingReply, std::vector<PendingReply>, std::greater<PendingReply>>;

volatile sig_atomic_t stopRequested = 0;

void onStopSignal(int) {
    stopRequested = 1;
}

[[noreturn]] void usage(const char* why) {
    std::fprintf(stderr, "responder: %s\nusage: responder --host ADDR[:DELAYMS]... [--verbose]\n",
                 why);
    std::exit(2);
}

bool parseHost(const std::string& arg, HostConfig& host) {
    std::string addrText = arg;
    const auto colon = arg.find(':');
    if (colon != std::string::npos) {
        addrText = arg.substr(0, colon);
        const std::string delayText = arg.substr(colon + 1);
        if (delayText.empty() || delayText.size() > 7 ||
            delayText.find_first_not_of("0123456789") != std::string::npos)
            return false;
        host.delayMs = std::atoi(delayText.c_str());
    }
    return inet_pton(AF_INET, addrText.c_str(), &host.addr) == 1;
}

Options parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--host") {
            if (i + 1 >= argc)
                usage("--host needs ADDR[:DELAYMS]");
            HostConfig host;
            if (!parseHost(argv[++i], host))
                usage(("bad host: " + std::string(argv[i])).c_str());
            options.hosts[host.addr.s_addr] = host;
        } else if (arg == "--verbose") {
            options.verbose = true;
        } else {
            usage(("unknown option: " + arg).c_str());
        }
    }
    if (options.hosts.empty())
        usage("no --host given");
    return options;
}

int openIcmpSocket() {
    const int fd = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
    if (fd < 0) {
        std::perror("responder: socket");
        std::exit(1);
    }
    // Everything but echo requests is the kernel's business (unreachables, our own replies).
    icmp_filter filter{};
    filter.data = ~(1u << ICMP_ECHO);
    if (setsockopt(fd, SOL_RAW, ICMP_FILTER, &filter, sizeof filter) != 0) {
        std::perror("responder: ICMP_FILTER");
        std::exit(1);
    }
    return fd;
}

// The reply leaves from the address that was pinged, not from the interface's address.
bool sendReply(int fd, const PendingReply& reply, bool verbose) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr = reply.to;

    iovec iov{};
    iov.iov_base = const_cast<uint8_t*>(reply.icmp.data());
    iov.iov_len = reply.icmp.size();

    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    msghdr msg{};
    msg.msg_name = &to;
    msg.msg_namelen = sizeof to;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* cmsg = CMSG_FIRSTHDR(&msg);
    cmsg->cmsg_level = IPPROTO_IP;
    cmsg->cmsg_type = IP_PKTINFO;
    cmsg->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    info.ipi_spec_dst = reply.from;
    std::memcpy(CMSG_DATA(cmsg), &info, sizeof info);

    if (sendmsg(fd, &msg, 0) < 0) {
        std::perror("responder: sendmsg");
        return false;
    }
    if (verbose) {
        char from[INET_ADDRSTRLEN], dest[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &reply.from, from, sizeof from);
        inet_ntop(AF_INET, &reply.to, dest, sizeof dest);
        std::fprintf(stderr, "responder: reply %s -> %s, %zu bytes\n", from, dest,
                     reply.icmp.size());
    }
    return true;
}

// Turns a received datagram into a reply when it is a sound echo request to one of our
// hosts. A real host drops requests with a bad checksum, so do we.
bool makeReply(const Options& options, const uint8_t* packet, size_t length, PendingReply& reply) {
    if (length < sizeof(iphdr))
        return false;
    iphdr ip;
    std::memcpy(&ip, packet, sizeof ip);
    const size_t headerLength = ip.ihl * 4u;
    const size_t totalLength = ntohs(ip.tot_len);
    if (ip.version != 4 || headerLength < sizeof(iphdr) || totalLength > length ||
        totalLength < headerLength + 8)
        return false;

    const auto host = options.hosts.find(ip.daddr);
    if (host == options.hosts.end())
        return false;

    const uint8_t* icmp = packet + headerLength;
    const size_t icmpLength = totalLength - headerLength;
    if (icmp[0] != ICMP_ECHO || icmpChecksum(icmp, static_cast<int>(icmpLength)) != 0)
        return false;

    reply.icmp.assign(icmp, icmp + icmpLength);
    reply.icmp[0] = ICMP_ECHOREPLY;
    reply.icmp[1] = 0;
    reply.icmp[2] = reply.icmp[3] = 0;
    const uint16_t sum = icmpChecksum(reply.icmp.data(), static_cast<int>(reply.icmp.size()));
    reply.icmp[2] = static_cast<uint8_t>(sum);
    reply.icmp[3] = static_cast<uint8_t>(sum >> 8);
    reply.from.s_addr = ip.daddr;
    reply.to.s_addr = ip.saddr;
    reply.due = Clock::now() + std::chrono::milliseconds(host->second.delayMs);
    return true;
}

int millisecondsUntil(Clock::time_point due) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now());
    // Round up so a wake-up never comes a millisecond early and spins.
    return left.count() < 0 ? 0 : static_cast<int>(left.count()) + 1;
}

} // namespace

// Runs in the lab namespace with the kernel's own echo replies switched off, so every reply
// the scanner sees comes from here: one per request to a configured host, after that host's
// delay, never holding up the others. Stops on SIGTERM or SIGINT.
int main(int argc, char** argv) {
    const Options options = parseOptions(argc, argv);

    // SIGTERM stays blocked except while waiting in ppoll, so a stop can't slip in between
    // the check and the wait.
    sigset_t stopSignals, waitMask;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
    sigdelset(&waitMask, SIGTERM);
    sigdelset(&waitMask, SIGINT);
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    const int fd = openIcmpSocket();
    std::printf("responder: ready, answering %zu hosts\n", options.hosts.size());
    std::fflush(stdout);

    ReplyQueue pending;
    unsigned long answered = 0;
    std::vector<uint8_t> buffer(65536);
    while (!stopRequested) {
        timespec timeout{};
        timespec* timeoutPtr = nullptr;
        if (!pending.empty()) {
            const int ms = millisecondsUntil(pending.top().due);
            timeout.tv_sec = ms / 1000;
            timeout.tv_nsec = (ms % 1000) * 1000000L;
            timeoutPtr = &timeout;
        }
        pollfd pfd{fd, POLLIN, 0};
        const int ready = ppoll(&pfd, 1, timeoutPtr, &waitMask);
        if (ready < 0 && errno != EINTR) {
            std::perror("responder: ppoll");
            return 1;
        }
        if (ready > 0) {
            // Drain everything queued so a burst doesn't wait behind one poll per datagram.
            for (;;) {
                const ssize_t got = recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
                if (got < 0)
                    break;
                PendingReply reply;
                if (makeReply(options, buffer.data(), static_cast<size_t>(got), reply))
                    pending.push(std::move(reply));
            }
        }
        while (!pending.empty() && pending.top().due <= Clock::now()) {
            if (sendReply(fd, pending.top(), options.verbose))
                ++answered;
            pending.pop();
        }
    }
    std::fprintf(stderr, "responder: stopped after %lu replies\n", answered);
    close(fd);
    return 0;
}
