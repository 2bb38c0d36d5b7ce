#include "panel/NetworkSettings.h"

#include <gtest/gtest.h>

#include "TestFiles.h"

using namespace testing_support;

TEST(NetworkSettings, ReadsOnlyKeysFollowedByABlankAndAValueAndDhcpGivesPlaceholders) {
    TempDir dir;
    const std::string path = dir / "interfaces";
    writeFile(path, "iface eth0 inet static\n   address 10.1.2.3\nnetmask=255.0.0.0\ngateway 10.1.0.1 # router\n" +
                        std::string(600, 'x') + " address 10.9.9.9\n");
    const InterfacesFile file = readInterfacesFile(path);
    EXPECT_EQ(std::tie(file.opened, file.address, file.gateway), std::tuple(true, "10.1.2.3", "10.1.0.1"));
    EXPECT_FALSE(file.netmask);  // "=" right after the key does not count
    // The end of an over-long line is read as a line of its own.
    writeFile(path, std::string(511, 'x') + "address 10.7.7.7\n");
    EXPECT_EQ(readInterfacesFile(path).address, "10.7.7.7");

    writeFile(path, staticInterfacesText("192.168.1.50", "255.255.255.0", "192.168.1.1"));
    NetworkSettings s = readStartupNetworkSettings(path);
    EXPECT_EQ(std::tie(s.dhcp, s.ip, s.netmask, s.gateway),
              std::tuple(false, "192.168.1.50", "255.255.255.0", "192.168.1.1"));
    writeFile(path, dhcpInterfacesText());
    s = readStartupNetworkSettings(path);
    EXPECT_TRUE(s.dhcp);
    if (!interfaceAddress()) {  // no eth0 here: the placeholders
        EXPECT_EQ(std::tie(s.ip, s.netmask, s.gateway), std::tuple("dhcp", "0.0.0.0", "0.0.0.0"));
    }
}

TEST(NetworkSettings, WritersExactTextsAndCommandsInOrder) {
    TempDir root;
    std::filesystem::create_directories(root.path() / "etc/network");
    const std::string path = root / "etc/network/interfaces";
    qva::CommandRunner runner(root.path().string());
    networkValue network;

    testing::internal::CaptureStdout();
    EXPECT_EQ(setStaticConfiguration(network, {"10.0.0.5", "255.255.255.0", "10.0.0.1", false}, path, runner), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ip: 10.0.0.5, gateway : 10.0.0.1, mask : 255.255.255.0\n");
    EXPECT_EQ(readFile(path),
              "auto lo\niface lo inet loopback\n\nauto eth0\niface eth0 inet static\n"
              "address 10.0.0.5\nnetmask 255.255.255.0\ngateway 10.0.0.1\n");
    EXPECT_EQ(network.get().ip, "10.0.0.5");
    EXPECT_FALSE(network.get().dhcp);

    EXPECT_EQ(setDhcpConfiguration(network, path, runner), 0);
    EXPECT_EQ(readFile(path), "auto lo\niface lo inet loopback\n\nauto eth0\niface eth0 inet dhcp");
    EXPECT_TRUE(network.get().dhcp);
    EXPECT_EQ(readFile(root / "commands.log"),
              "/etc/init.d/networking restart\n/etc/init.d/networking restart\ndhcpclient eth0\n");
}

TEST(NetworkSettings, RefusesAnythingButAddressesAndReportsAFailedWrite) {
    TempDir root;
    const std::string path = root / "interfaces";
    writeFile(path, "old\n");
    qva::CommandRunner runner(root.path().string());
    networkValue network;
    testing::internal::CaptureStdout();
    for (const char* bad : {"10.0.0.5\naddress 6.6.6.6", "", "10.0.0", "eth0", "10.0.0.5 "}) {
        EXPECT_NE(setStaticConfiguration(network, {bad, "255.0.0.0", "10.0.0.1", false}, path, runner), 0);
        EXPECT_NE(setStaticConfiguration(network, {"10.0.0.5", bad, "10.0.0.1", false}, path, runner), 0);
        EXPECT_NE(setStaticConfiguration(network, {"10.0.0.5", "255.0.0.0", bad, false}, path, runner), 0);
    }
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(readFile(path), "old\n");
    EXPECT_FALSE(std::filesystem::exists(root / "commands.log"));

    testing::internal::CaptureStderr();
    EXPECT_NE(setDhcpConfiguration(network, root / "no/such/interfaces", runner), 0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("error opening interfaces\n"), std::string::npos);
    EXPECT_EQ(readFile(root / "commands.log"), "dhcpclient eth0\n");  // no restart without a file
}
