#include "support/Child.h"
#include "support/Lab.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/ip_icmp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

// The lab is the network every sweep test relies on: these check that it is what
// tests/lab/README.md says, in the shape it was brought up in. Run in its scan namespace only;
// nothing is sent from anywhere else.
namespace {

class LabNetwork : public testing::Test {
  protected:
    void SetUp() override {
        if (labVariable("BRIXLE_LAB") != "1")
            GTEST_SKIP() << "needs the lab's scan namespace: run through scripts/test.sh (root)";
        folder = testing::TempDir();
    }

    // What a command of the lab's tools printed.
    std::string output(const std::vector<std::string>& argv) {
        const std::string file = folder + "lab-network-" + std::to_string(::getpid()) + ".out";
        runToEnd(argv, file, std::chrono::seconds(30));
        std::string text = readText(file);
        std::remove(file.c_str());
        return text;
    }

    // The round trip of one ping in milliseconds, -1 when no reply came from the host itself.
    double pingTime(const std::string& host, int waitSeconds) {
        const std::string text =
            output({"ping", "-n", "-c1", "-W" + std::to_string(waitSeconds), host});
        std::smatch match;
        if (!std::regex_search(text, match,
                               std::regex("bytes from " + host + ": .* time=([0-9.]+) ms")))
            return -1;
        return std::atof(match[1].str().c_str());
    }

    // The error a raw ICMP socket's send to the address meets (0: sent).
    static int sendError(const std::string& to) {
        const int s = ::socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
        if (s < 0)
            return -1;
        icmphdr request{};
        request.type = ICMP_ECHO;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = inet_addr(to.c_str());
        const ssize_t sent = ::sendto(s, &request, sizeof request, 0,
                                      reinterpret_cast<const sockaddr*>(&address), sizeof address);
        const int error = sent < 0 ? errno : 0;
        ::close(s);
        return error;
    }

    std::string folder;
    const std::string scanInterface = labVariable("BRIXLE_LAB_SCAN_IF");
    const std::string self = labVariable("BRIXLE_LAB_SELF");
};

TEST_F(LabNetwork, HasOnlyLoopbackAndTheLinkWithTheScannersAddress) {
    std::set<std::string> names;
    if (struct if_nameindex* all = if_nameindex()) {
        for (struct if_nameindex* i = all; i->if_index != 0; ++i)
            names.insert(i->if_name);
        if_freenameindex(all);
    }
    EXPECT_EQ(names, (std::set<std::string>{"lo", scanInterface}));

    std::vector<std::string> addresses;
    ifaddrs* all = nullptr;
    ASSERT_EQ(getifaddrs(&all), 0);
    for (ifaddrs* a = all; a != nullptr; a = a->ifa_next) {
        if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET ||
            scanInterface != a->ifa_name)
            continue;
        const auto* address = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
        const auto* mask = reinterpret_cast<const sockaddr_in*>(a->ifa_netmask);
        addresses.push_back(std::string(inet_ntoa(address->sin_addr)) + "/" +
                            std::to_string(__builtin_popcount(mask->sin_addr.s_addr)));
    }
    freeifaddrs(all);
    EXPECT_EQ(addresses, std::vector<std::string>{self + (lanLab() ? "/24" : "/30")});
}

TEST_F(LabNetwork, RoutesAreExactlyTheShapesOwn) {
    std::vector<std::string> routes;
    std::istringstream text(output({"ip", "-4", "route", "show", "table", "main"}));
    for (std::string line; std::getline(text, line);) {
        line.erase(line.find_last_not_of(' ') + 1);
        if (!line.empty())
            routes.push_back(line);
    }
    std::vector<std::string> expected;
    if (lanLab()) {
        // Nothing beyond the link: the next /24 cannot be sent to, as on a LAN without gateway.
        expected = {"10.71.59.0/24 dev " + scanInterface + " proto kernel scope link src " + self};
    } else {
        expected = {"default via " + labVariable("BRIXLE_LAB_ROUTER") + " dev " + scanInterface,
                    "unreachable " + labVariable("BRIXLE_LAB_NOROUTE_NET"),
                    "192.0.2.0/30 dev " + scanInterface + " proto kernel scope link src " + self};
    }
    std::sort(routes.begin(), routes.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(routes, expected);
}

TEST_F(LabNetwork, HostsAnswerAndTheLateOnesLateWithoutHoldingUpTheRest) {
    for (const std::string& host : words(labVariable("BRIXLE_LAB_HOSTS")))
        EXPECT_GE(pingTime(host, 2), 0) << host << " does not answer";
    const double late = std::atof(labVariable("BRIXLE_LAB_LATE_MS").c_str());
    const std::string first = words(labVariable("BRIXLE_LAB_HOSTS")).at(0);
    for (const std::string& host : words(labVariable("BRIXLE_LAB_LATE_HOSTS"))) {
        const std::string file = folder + "late-ping.out";
        Child waiting({"ping", "-n", "-c1", "-W3", host}, file);
        // A reply waiting in the responder must not hold up the others.
        const double meanwhile = pingTime(first, 2);
        EXPECT_GE(meanwhile, 0) << first << " did not answer while " << host << "'s reply waited";
        EXPECT_LT(meanwhile, 500) << first << " was held up by " << host << "'s late reply";
        waiting.wait(std::chrono::seconds(10));
        std::smatch match;
        const std::string text = readText(file);
        ASSERT_TRUE(std::regex_search(text, match, std::regex("time=([0-9.]+) ms"))) << text;
        const double rtt = std::atof(match[1].str().c_str());
        EXPECT_GE(rtt, late - 100) << host;
        EXPECT_LT(rtt, late + 1500) << host;
    }
}

// fping waits longer than the late host's delay, so that it counts among the answering hosts.
TEST_F(LabNetwork, ASweepOfTheSlash24FindsExactlyTheLabsHosts) {
    const std::string late =
        std::to_string(std::atoi(labVariable("BRIXLE_LAB_LATE_MS").c_str()) + 1000);
    std::vector<std::string> found =
        words(output({"fping", "-a", "-q", "-r", "0", "-t", late, "-g", "10.71.59.0/24"}));
    std::sort(found.begin(), found.end(), [](const std::string& a, const std::string& b) {
        return addressValue(a) < addressValue(b);
    });
    EXPECT_EQ(found, labHostsBetween("10.71.59.0", "10.71.59.255"));
}

TEST_F(LabNetwork, AnAbsentHostGivesNoReply) {
    const std::string text = output({"ping", "-n", "-c1", "-W4", "10.71.59.50"});
    EXPECT_NE(text.find(" 0 received"), std::string::npos) << text;
    // Behind the router it is silent; on the link its address fails ARP, and the scanner's own
    // kernel says so.
    if (lanLab()) {
        EXPECT_NE(text.find("From " + self + " icmp_seq=1 Destination Host Unreachable"),
                  std::string::npos)
            << text;
    } else {
        EXPECT_EQ(text.find("From "), std::string::npos) << text;
    }
}

TEST_F(LabNetwork, RoutedTheRouterReportsUnreachableHosts) {
    if (lanLab())
        GTEST_SKIP() << "routed lab only";
    const std::string text = output({"ping", "-n", "-c1", "-W2", "10.71.61.9"});
    EXPECT_TRUE(std::regex_search(text, std::regex("From " + labVariable("BRIXLE_LAB_ROUTER") +
                                                   " .*Destination Host Unreachable")))
        << text;
}

// What the sender meets: sendto fails at once, without a packet leaving.
TEST_F(LabNetwork, SendingFailsWithoutARouteAndToTheLinksBroadcast) {
    const std::string net = labVariable("BRIXLE_LAB_NOROUTE_NET");
    const int noRoute = sendError(net.substr(0, net.rfind('.')) + ".9");
    EXPECT_TRUE(noRoute == ENETUNREACH || noRoute == EHOSTUNREACH) << noRoute;
    if (lanLab()) {
        EXPECT_EQ(sendError("10.71.59.255"), EACCES);
    }
}

TEST_F(LabNetwork, TheCaptureHoldsRequestAndReply) {
    const std::string host = words(labVariable("BRIXLE_LAB_HOSTS")).at(0);
    ASSERT_GE(pingTime(host, 2), 0);
    const std::string text =
        output({"tcpdump", "-r", labVariable("BRIXLE_LAB_PCAP"), "-n", "icmp and host " + host});
    int echoes = 0;
    for (std::size_t at = text.find("ICMP echo"); at != std::string::npos;
         at = text.find("ICMP echo", at + 1))
        ++echoes;
    EXPECT_GE(echoes, 2) << text;
}

} // namespace
