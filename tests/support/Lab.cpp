#include "support/Lab.h"

#include "net/IpAddress.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

std::string labVariable(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string word; in >> word;)
        out.push_back(word);
    return out;
}

std::uint32_t addressValue(const std::string& dotted) {
    const IpAddress address(dotted.c_str());
    return static_cast<std::uint32_t>(address.octet(0)) << 24 |
           static_cast<std::uint32_t>(address.octet(1)) << 16 |
           static_cast<std::uint32_t>(address.octet(2)) << 8 |
           static_cast<std::uint32_t>(address.octet(3));
}

bool lanLab() {
    return labVariable("BRIXLE_LAB_SHAPE") == "lan";
}

#ifdef _WIN32
namespace {

// The file's identity as Wine reports it: the Unix inode. Zero when it cannot be opened.
unsigned long long fileId(const std::string& path) {
    const HANDLE file = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    FILE_ID_INFO info{};
    unsigned long long id = 0;
    if (GetFileInformationByHandleEx(file, FileIdInfo, &info, sizeof info))
        std::copy_n(info.FileId.Identifier, sizeof id, reinterpret_cast<unsigned char*>(&id));
    CloseHandle(file);
    return id;
}

} // namespace

// Wine's server opens every file its programs name, so through Z: /proc/self is the wineserver
// itself: the process whose namespace the sockets are made in. Where that is not so (another
// Wine, Windows), /proc/self/comm does not name it, and nothing here counts as the lab.
bool insideScanNamespace() {
    const std::string scan = labVariable("BRIXLE_LAB_SCAN");
    std::ifstream comm("Z:\\proc\\self\\comm");
    std::string server;
    if (scan.empty() || !std::getline(comm, server) || server.rfind("wineserver", 0) != 0)
        return false;
    const unsigned long long own = fileId("Z:\\proc\\self\\ns\\net");
    return own != 0 && own == fileId("Z:\\run\\netns\\" + scan);
}
#else
bool insideScanNamespace() {
    const std::string scan = labVariable("BRIXLE_LAB_SCAN");
    struct stat own {
    }, lab{};
    return !scan.empty() && ::stat("/proc/self/ns/net", &own) == 0 &&
           ::stat(("/run/netns/" + scan).c_str(), &lab) == 0 && own.st_dev == lab.st_dev &&
           own.st_ino == lab.st_ino;
}
#endif

std::vector<std::string> labHostsBetween(const std::string& first, const std::string& last,
                                         bool withLate) {
    std::vector<std::string> hosts = words(labVariable("BRIXLE_LAB_HOSTS"));
    if (!labVariable("BRIXLE_LAB_SELF").empty())
        hosts.push_back(labVariable("BRIXLE_LAB_SELF"));
    if (withLate) {
        for (const std::string& late : words(labVariable("BRIXLE_LAB_LATE_HOSTS")))
            hosts.push_back(late);
    }
    std::sort(hosts.begin(), hosts.end(), [](const std::string& a, const std::string& b) {
        return addressValue(a) < addressValue(b);
    });
    std::vector<std::string> inside;
    for (const std::string& host : hosts) {
        if (addressValue(host) >= addressValue(first) && addressValue(host) <= addressValue(last))
            inside.push_back(host);
    }
    return inside;
}
