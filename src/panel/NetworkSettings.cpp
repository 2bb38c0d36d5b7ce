#include "panel/NetworkSettings.h"

#include "platform/Files.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <unistd.h>

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

namespace {

constexpr size_t kFieldLimit = 31;  // what the record has room for

std::string cut(const char* text) { return std::string(text).substr(0, kFieldLimit); }

struct IfAddrsFree {
    void operator()(ifaddrs* list) const { freeifaddrs(list); }
};

// "address", "gateway" or "netmask" with a value: which, and the value.
bool splitLine(const char* line, char (&key)[512], char (&value)[512]) {
    while (*line == ' ' || *line == '\t') ++line;
    return std::sscanf(line, "%511[^= ] %511[^=\n ]", key, value) == 2;
}

void applyPlaceholders(NetworkSettings& s) {
    if (s.ip.empty()) {
        s.ip = "dhcp";
        s.netmask = "0.0.0.0";
        s.gateway = "0.0.0.0";
    }
}

void pause1ms() { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }

// The network is restarted only on a file that was written.
bool replaceAndRestart(const std::string& path, const std::string& text, qva::CommandRunner& runner) {
    const bool written = qva::replaceFileAtomically(path, text.data(), text.size());
    if (written) {
        pause1ms();
        runner.run({"/etc/init.d/networking", "restart"});
    } else {
        std::fputs("error opening interfaces\n", stderr);
        pause1ms();
    }
    pause1ms();
    return written;
}

}  // namespace

InterfacesFile readInterfacesFile(const std::string& path) {
    InterfacesFile result;
    qva::FileOwner file(std::fopen(path.c_str(), "r"));
    if (!file) {
        std::fputs("Couldn't open file.txt\n", stderr);
        return result;
    }
    result.opened = true;
    char line[512];
    char key[512];
    char value[512];
    while (std::fgets(line, sizeof line, file.get()) != nullptr) {
        if (!splitLine(line, key, value)) continue;
        if (std::strcmp(key, "address") == 0) result.address = cut(value);
        if (std::strcmp(key, "netmask") == 0) result.netmask = cut(value);
        if (std::strcmp(key, "gateway") == 0) result.gateway = cut(value);
    }
    return result;
}

std::optional<InterfaceAddress> interfaceAddress(const char* name) {
    ifaddrs* raw = nullptr;
    if (::getifaddrs(&raw) != 0) return std::nullopt;
    std::unique_ptr<ifaddrs, IfAddrsFree> list(raw);
    for (ifaddrs* entry = raw; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
        if (std::strcmp(entry->ifa_name, name) != 0) continue;
        char address[INET_ADDRSTRLEN] = {};
        char mask[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(entry->ifa_addr)->sin_addr, address,
                    sizeof address);
        if (entry->ifa_netmask != nullptr) {
            ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(entry->ifa_netmask)->sin_addr, mask,
                        sizeof mask);
        }
        return InterfaceAddress{address, mask};
    }
    return std::nullopt;
}

NetworkSettings readStartupNetworkSettings(const std::string& path) {
    NetworkSettings s;
    s.ip.clear();
    s.dhcp = true;  // without a file the box asks for a lease
    const InterfacesFile file = readInterfacesFile(path);
    if (file.opened) {
        s.dhcp = !(file.address || file.netmask || file.gateway);
        if (file.address) s.ip = *file.address;
        if (file.netmask) s.netmask = *file.netmask;
        if (file.gateway) s.gateway = *file.gateway;
    }
    if (s.dhcp) {
        if (auto eth0 = interfaceAddress()) {
            s.ip = eth0->ip;
            s.netmask = eth0->netmask;
            s.gateway = "0.0.0.0";
        }
    }
    applyPlaceholders(s);
    return s;
}

void netUpdate(networkValue* network) {
    for (;;) {
        std::this_thread::sleep_for(std::chrono::seconds(10));
        const bool dhcp = network->get().dhcp;
        const std::optional<InterfaceAddress> eth0 = dhcp ? interfaceAddress() : std::nullopt;
        network->update([&](NetworkSettings& s) {
            if (s.dhcp && eth0) {
                s.ip = eth0->ip;
                s.netmask = eth0->netmask;
                s.gateway = "0.0.0.0";
            }
            applyPlaceholders(s);
        });
    }
}

void checkNetworkConfig(networkValue& network, const std::string& path) {
    const InterfacesFile file = readInterfacesFile(path);
    const std::optional<InterfaceAddress> eth0 = file.address ? std::nullopt : interfaceAddress();
    network.update([&](NetworkSettings& s) {
        // Only an address line makes the settings static here.
        s.dhcp = !file.address;
        if (file.address) s.ip = *file.address;
        if (file.netmask) s.netmask = *file.netmask;
        if (file.gateway) s.gateway = *file.gateway;
        if (s.dhcp && eth0) {
            s.ip = eth0->ip;
            s.netmask = eth0->netmask;
            s.gateway = "xxx.xxx.xxx.xxx";
        }
        applyPlaceholders(s);
    });
}

std::string dhcpInterfacesText() {
    return "auto lo\niface lo inet loopback\n\nauto eth0\niface eth0 inet dhcp";
}

std::string staticInterfacesText(const std::string& ip, const std::string& netmask,
                                 const std::string& gateway) {
    return "auto lo\niface lo inet loopback\n\nauto eth0\niface eth0 inet static\naddress " + ip +
           "\nnetmask " + netmask + "\ngateway " + gateway + "\n";
}

bool isDottedIPv4(const std::string& text) {
    in_addr address{};
    return ::inet_pton(AF_INET, text.c_str(), &address) == 1;
}

int setDhcpConfiguration(networkValue& network, const std::string& path, qva::CommandRunner& runner) {
    const bool written = replaceAndRestart(path, dhcpInterfacesText(), runner);
    runner.run({"dhcpclient", "eth0"});
    checkNetworkConfig(network, path);
    return written ? 0 : 1;
}

int setStaticConfiguration(networkValue& network, const NetworkSettings& given, const std::string& path,
                           qva::CommandRunner& runner) {
    std::printf("ip: %s, gateway : %s, mask : %s\n", given.ip.c_str(), given.gateway.c_str(),
                given.netmask.c_str());
    std::fflush(stdout);
    // Values come from the web: anything but addresses could add lines to the file.
    if (!isDottedIPv4(given.ip) || !isDottedIPv4(given.netmask) || !isDottedIPv4(given.gateway)) return 1;
    const bool written =
        replaceAndRestart(path, staticInterfacesText(given.ip, given.netmask, given.gateway), runner);
    checkNetworkConfig(network, path);
    return written ? 0 : 1;
}
