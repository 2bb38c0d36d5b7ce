// The Ethernet settings of "eth0": read from and written to the system's
// interfaces file, and the address the interface actually has.
#pragma once

#include "panel/NetworkValue.h"
#include "platform/CommandRunner.h"

#include <optional>
#include <string>

// What the interfaces file says: each key's value when a line gives one.
struct InterfacesFile {
    bool opened = false;
    std::optional<std::string> address, netmask, gateway;
};

// Reads the file line by line (pieces of at most 511 characters), each split
// as "key value": a key up to the first blank or "=", a value up to the next
// blank, "=" or line end. Prints "Couldn't open file.txt\n" when it cannot be read.
InterfacesFile readInterfacesFile(const std::string& path);

struct InterfaceAddress {
    std::string ip;
    std::string netmask;
};
// The first IPv4 address of the named interface, if it has one.
std::optional<InterfaceAddress> interfaceAddress(const char* name = "eth0");

// Start-up: the file, then the interface when the file gives no address.
NetworkSettings readStartupNetworkSettings(const std::string& path);

// The network watcher: every 10 s, while the address comes by DHCP, the
// interface's address and mask. Never returns.
void netUpdate(networkValue* network);

// Re-reads the file and the interface into network (after a change).
void checkNetworkConfig(networkValue& network, const std::string& path);

// The exact texts the box writes.
std::string dhcpInterfacesText();
std::string staticInterfacesText(const std::string& ip, const std::string& netmask,
                                 const std::string& gateway);

// A dotted IPv4 address (inet_pton): nothing else may reach the file.
bool isDottedIPv4(const std::string& text);

// The writers: replace the file atomically (temporary file, rename), restart
// the network through the runner, re-read. 0 when the file was written;
// non-zero when a value is refused or the file cannot be written.
int setDhcpConfiguration(networkValue& network, const std::string& path, qva::CommandRunner& runner);
int setStaticConfiguration(networkValue& network, const NetworkSettings& given, const std::string& path,
                           qva::CommandRunner& runner);
