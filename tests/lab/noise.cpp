#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <signal.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/IcmpChecksum.h"

namespace {

using Clock = std::chrono::steady_clock;

// The scan host is the only destination there is; the router address is ours only inside the
// lab namespace, so binding to it is what proves we run there.
const char* const scanHost = "192.0.2.1";
const char* const routerAddress = "192.0.2.2";
const char* const labInterface = "lab0";

// Hard ceilings, whatever the options say: noise always stops by itself, and soon.
const long maxCount = 1000000;
const double maxSeconds = 30.0;
const long maxRate = 200000;
const int maxSources = 65536;
const double maxDrainSeconds = 20.0;

enum class Kind { flood, big, malformed };

struct Options {
    std::string netns;
    Kind kind = Kind::flood;
    std::vector<uint32_t> sources; // host order
    long count = 1000;
    double seconds = 1.0;
    long rate = 10000;
    int bigSize = 1400;
    long queueOf = 0; // a process in the scan host's namespace, whose raw sockets are watched
};

volatile sig_atomic_t stopRequested = 0;

void onStopSignal(int) {
    stopRequested = 1;
}

[[noreturn]] void usage(const std::string& why) {
    std::fprintf(stderr,
                 "noise: %s\n"
                 "usage: noise --netns LAB_NAMESPACE --kind flood|big|malformed\n"
                 "             [--source ADDR[-ADDR]]...\n"
                 "             [--count N] [--seconds S] [--rate PER_SECOND] [--size BYTES]\n"
                 "             [--queue-of PID]\n"
                 "Sends ICMP to %s from inside the lab namespace and stops after N datagrams\n"
                 "or S seconds, whichever comes first (at most %ld, %.0f s, %ld/s).\n"
                 "Sources cycle in the order given and must lie in the lab (10.71.0.0/16 or\n"
                 "%s); default 10.71.64.1.\n"
                 "--queue-of: then waits until the raw ICMP sockets in the network namespace of\n"
                 "process PID have read everything (at most %.0f s) and reports how many\n"
                 "datagrams arrived, how many the sockets dropped, and how long they took.\n",
                 why.c_str(), scanHost, maxCount, maxSeconds, maxRate, routerAddress,
                 maxDrainSeconds);
    std::exit(2);
}

bool parseAddress(const std::string& text, uint32_t& address) {
    in_addr parsed{};
    if (inet_pton(AF_INET, text.c_str(), &parsed) != 1)
        return false;
    address = ntohl(parsed.s_addr);
    return true;
}

bool inLab(uint32_t address) {
    uint32_t router = 0;
    parseAddress(routerAddress, router);
    return (address & 0xFFFF0000u) == 0x0A470000u || address == router;
}

void addSources(const std::string& text, std::vector<uint32_t>& sources) {
    const auto dash = text.find('-');
    uint32_t first = 0, last = 0;
    if (!parseAddress(text.substr(0, dash), first) ||
        !parseAddress(dash == std::string::npos ? text.substr(0, dash) : text.substr(dash + 1),
                      last))
        usage("bad source: " + text);
    if (last < first)
        usage("source range runs backwards: " + text);
    for (uint64_t a = first; a <= last; ++a) {
        if (!inLab(static_cast<uint32_t>(a)))
            usage("source outside the lab: " + text);
        if (sources.size() >= static_cast<size_t>(maxSources))
            usage("too many sources");
        sources.push_back(static_cast<uint32_t>(a));
    }
}

double parseNumber(const char* text, const char* what) {
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || value <= 0)
        usage(std::string("bad ") + what + ": " + text);
    return value;
}

Options parseOptions(int argc, char** argv) {
    Options options;
    bool kindGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help")
            usage("bounded ICMP noise toward the scan host");
        if (i + 1 >= argc)
            usage(arg + " needs a value");
        const char* value = argv[++i];
        if (arg == "--netns") {
            options.netns = value;
        } else if (arg == "--kind") {
            const std::string kind = value;
            if (kind == "flood")
                options.kind = Kind::flood;
            else if (kind == "big")
                options.kind = Kind::big;
            else if (kind == "malformed")
                options.kind = Kind::malformed;
            else
                usage("unknown kind: " + kind);
            kindGiven = true;
        } else if (arg == "--source") {
            addSources(value, options.sources);
        } else if (arg == "--count") {
            options.count = static_cast<long>(parseNumber(value, "count"));
        } else if (arg == "--seconds") {
            options.seconds = parseNumber(value, "seconds");
        } else if (arg == "--rate") {
            options.rate = static_cast<long>(parseNumber(value, "rate"));
        } else if (arg == "--size") {
            options.bigSize = static_cast<int>(parseNumber(value, "size"));
        } else if (arg == "--queue-of") {
            options.queueOf = static_cast<long>(parseNumber(value, "pid"));
        } else {
            usage("unknown option: " + arg);
        }
    }
    if (options.netns.empty())
        usage("no --netns given");
    if (!kindGiven)
        usage("no --kind given");
    if (options.count < 1 || options.count > maxCount)
        usage("count must lie in 1.." + std::to_string(maxCount));
    if (options.seconds > maxSeconds)
        usage("seconds must not exceed " + std::to_string(static_cast<int>(maxSeconds)));
    if (options.rate < 1 || options.rate > maxRate)
        usage("rate must lie in 1.." + std::to_string(maxRate));
    if (options.bigSize < 28 || options.bigSize > 1500)
        usage("size must lie in 28..1500 (one frame)");
    if (options.sources.empty())
        addSources("10.71.64.1", options.sources);
    return options;
}

void putChecksum(std::vector<uint8_t>& icmp) {
    icmp[2] = icmp[3] = 0;
    const uint16_t sum = icmpChecksum(icmp.data(), static_cast<int>(icmp.size()));
    icmp[2] = static_cast<uint8_t>(sum);
    icmp[3] = static_cast<uint8_t>(sum >> 8);
}

// An echo reply of the given ICMP length, shaped like the ones a swept host sends.
std::vector<uint8_t> echoReply(size_t length, uint16_t sequence) {
    std::vector<uint8_t> icmp(length, 0);
    for (size_t i = 8; i < length; ++i)
        icmp[i] = static_cast<uint8_t>(0x20 + (i - 8) % 0x60);
    icmp[0] = 0;
    icmp[1] = 0;
    icmp[4] = 0x4E;
    icmp[5] = 0x4F;
    icmp[6] = static_cast<uint8_t>(sequence >> 8);
    icmp[7] = static_cast<uint8_t>(sequence);
    putChecksum(icmp);
    return icmp;
}

struct Variant {
    const char* name;
    std::vector<uint8_t> icmp;
};

// Shorter than an ICMP header first; the kernel hands those to no raw socket at all, so they
// come first and the script can tell them apart by their length.
std::vector<Variant> malformedVariants() {
    std::vector<Variant> variants;
    for (size_t length = 0; length < 8; ++length) {
        variants.push_back({"truncated", std::vector<uint8_t>(length, 0)});
    }
    std::vector<uint8_t> badSum = echoReply(48, 1);
    badSum[2] ^= 0x5A;
    variants.push_back({"bad-checksum", badSum});
    for (uint8_t type : {uint8_t(1), uint8_t(42), uint8_t(99), uint8_t(255)}) {
        std::vector<uint8_t> icmp = echoReply(48, 2);
        icmp[0] = type;
        putChecksum(icmp);
        variants.push_back({"unknown-type", icmp});
    }
    std::vector<uint8_t> oddCode = echoReply(48, 3);
    oddCode[1] = 77;
    putChecksum(oddCode);
    variants.push_back({"unknown-code", oddCode});
    for (size_t length : {9u, 49u, 303u, 305u}) {
        variants.push_back({"odd-length", echoReply(length, 4)});
    }
    variants.push_back({"header-only", echoReply(8, 5)});
    return variants;
}

bool sameNamespace(const char* a, const char* b) {
    struct stat sa {
    }, sb{};
    return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// The machine's own network may hold the same addresses as the lab (192.0.2.x is common on
// test machines), so an address check alone proves nothing: we must be in the named lab
// namespace, not in init's, and every datagram leaves through the lab's own veth end.
void refuseOutsideLab(const std::string& netns, int fd) {
    const std::string named = "/run/netns/" + netns;
    if (netns.find('/') != std::string::npos ||
        !sameNamespace("/proc/self/ns/net", named.c_str())) {
        std::fprintf(stderr, "noise: not inside the network namespace %s; refusing\n",
                     netns.c_str());
        std::exit(1);
    }
    if (sameNamespace("/proc/self/ns/net", "/proc/1/ns/net")) {
        std::fprintf(stderr, "noise: in the machine's own network namespace; refusing\n");
        std::exit(1);
    }
    if (setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, labInterface,
                   static_cast<socklen_t>(std::strlen(labInterface))) != 0) {
        std::fprintf(stderr, "noise: no interface %s here; refusing\n", labInterface);
        std::exit(1);
    }
}

int openSocket(const std::string& netns) {
    const int fd = socket(AF_INET, SOCK_RAW, IPPROTO_RAW);
    if (fd < 0) {
        std::perror("noise: socket");
        std::exit(1);
    }
    refuseOutsideLab(netns, fd);
    const int on = 1;
    if (setsockopt(fd, IPPROTO_IP, IP_HDRINCL, &on, sizeof on) != 0) {
        std::perror("noise: IP_HDRINCL");
        std::exit(1);
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, routerAddress, &local.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        std::fprintf(stderr, "noise: %s is not an address here: not inside the lab, refusing\n",
                     routerAddress);
        std::exit(1);
    }
    return fd;
}

bool sendDatagram(int fd, uint32_t source, const std::vector<uint8_t>& icmp, uint16_t id) {
    std::vector<uint8_t> packet(sizeof(iphdr) + icmp.size());
    iphdr ip{};
    ip.version = 4;
    ip.ihl = 5;
    ip.ttl = 64;
    ip.protocol = IPPROTO_ICMP;
    ip.id = htons(id);
    ip.tot_len = htons(static_cast<uint16_t>(packet.size()));
    ip.saddr = htonl(source);
    inet_pton(AF_INET, scanHost, &ip.daddr);
    std::memcpy(packet.data(), &ip, sizeof ip);
    if (!icmp.empty())
        std::memcpy(packet.data() + sizeof ip, icmp.data(), icmp.size());

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = ip.daddr;
    return sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to),
                  sizeof to) == static_cast<ssize_t>(packet.size());
}

std::string dotted(uint32_t address) {
    in_addr a{};
    a.s_addr = htonl(address);
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

// What the kernel says of the ICMP raw sockets of one network namespace, read through a process
// in it: the bytes waiting to be read and the datagrams dropped because the buffer was full,
// summed over the sockets, and the ICMP messages that reached the namespace.
struct SocketQueue {
    bool read = false;
    long waitingBytes = 0;
    long drops = 0;
    long icmpIn = 0;
};

SocketQueue readSocketQueue(long pid) {
    SocketQueue queue;
    const std::string net = "/proc/" + std::to_string(pid) + "/net/";
    std::ifstream raw(net + "raw");
    std::string line;
    std::getline(raw, line); // the column names
    while (std::getline(raw, line)) {
        // sl local rem st tx:rx tr:when retrnsmt uid timeout inode ref pointer drops
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode,
            ref, pointer;
        long drops = 0;
        if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
              timeout >> inode >> ref >> pointer >> drops))
            continue;
        // A raw socket's "port" is its protocol: 1 is ICMP.
        if (local.size() < 5 || local.compare(local.size() - 5, 5, ":0001") != 0)
            continue;
        const auto colon = queues.find(':');
        if (colon == std::string::npos)
            continue;
        queue.waitingBytes += std::strtol(queues.c_str() + colon + 1, nullptr, 16);
        queue.drops += drops;
        queue.read = true;
    }
    std::ifstream snmp(net + "snmp");
    std::string names, values;
    while (std::getline(snmp, names) && std::getline(snmp, values)) {
        if (names.rfind("Icmp: ", 0) != 0)
            continue;
        std::istringstream n(names), v(values);
        std::string name, value;
        while (n >> name && v >> value) {
            if (name == "InMsgs")
                queue.icmpIn = std::atol(value.c_str());
        }
        break;
    }
    return queue;
}

} // namespace

// Unwanted traffic toward the scan host, from inside the lab namespace: a flood of echo
// replies, datagrams too big for the receiver's buffer, or ICMP that is wrong in one way or
// another. Every run is bounded in count and in time, and ends early on SIGTERM or SIGINT.
int main(int argc, char** argv) {
    const Options options = parseOptions(argc, argv);
    signal(SIGTERM, onStopSignal);
    signal(SIGINT, onStopSignal);
    const int fd = openSocket(options.netns);

    std::vector<Variant> variants;
    if (options.kind == Kind::flood)
        variants.push_back({"echo-reply", echoReply(48, 0)});
    else if (options.kind == Kind::big)
        variants.push_back({"big", echoReply(static_cast<size_t>(options.bigSize) - 20, 0)});
    else
        variants = malformedVariants();
    // Which source sends which variant, so a caller can tell what reached the scan host.
    if (options.kind == Kind::malformed) {
        for (size_t i = 0; i < variants.size() && i < static_cast<size_t>(options.count); ++i)
            std::printf("variant %s %zu %s\n",
                        dotted(options.sources[i % options.sources.size()]).c_str(),
                        variants[i].icmp.size(), variants[i].name);
    }
    SocketQueue before;
    if (options.queueOf > 0) {
        before = readSocketQueue(options.queueOf);
        if (!before.read) {
            std::fprintf(stderr, "noise: no ICMP raw socket seen through process %ld\n",
                         options.queueOf);
            return 1;
        }
    }
    std::printf("noise: sending\n");
    std::fflush(stdout);

    const Clock::time_point start = Clock::now();
    const auto limit = std::chrono::duration<double>(options.seconds);
    long sent = 0, failed = 0;
    while (sent + failed < options.count && !stopRequested) {
        const auto elapsed = std::chrono::duration<double>(Clock::now() - start);
        if (elapsed >= limit)
            break;
        // Catch up to the rate in one go, then rest a little: smooth enough at these rates.
        long due = static_cast<long>(elapsed.count() * static_cast<double>(options.rate)) + 1;
        if (due > options.count)
            due = options.count;
        while (sent + failed < due && !stopRequested) {
            const long n = sent + failed;
            const Variant& variant = variants[static_cast<size_t>(n) % variants.size()];
            const uint32_t source =
                options.sources[static_cast<size_t>(n) % options.sources.size()];
            if (sendDatagram(fd, source, variant.icmp, static_cast<uint16_t>(n)))
                ++sent;
            else
                ++failed;
            // A starved sender catches up in one go: it must still stop on time.
            if ((sent + failed) % 256 == 0 && Clock::now() - start >= limit)
                break;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("noise: sent %ld datagrams (%ld failed) in %.3f s, %.0f a second\n", sent, failed,
                took, took > 0 ? static_cast<double>(sent) / took : 0.0);
    close(fd);
    if (options.queueOf > 0) {
        // The receiver has caught up once nothing waits in the socket; the queue only grows
        // while datagrams are still on their way, so an empty one after the last send is final.
        SocketQueue after = readSocketQueue(options.queueOf);
        while (after.read && after.waitingBytes > 0 && !stopRequested &&
               std::chrono::duration<double>(Clock::now() - start).count() <
                   took + maxDrainSeconds) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            after = readSocketQueue(options.queueOf);
        }
        const double drained = std::chrono::duration<double>(Clock::now() - start).count();
        const long arrived = after.icmpIn - before.icmpIn;
        const long dropped = after.drops - before.drops;
        std::printf("noise: queue %s after %.3f s; %ld arrived, %ld dropped, %ld read, %.0f read "
                    "a second\n",
                    !after.read              ? "gone"
                    : after.waitingBytes > 0 ? "still full"
                                             : "empty",
                    drained, arrived, dropped, arrived - dropped,
                    drained > 0 ? static_cast<double>(arrived - dropped) / drained : 0.0);
    }
    return failed == 0 ? 0 : 1;
}
