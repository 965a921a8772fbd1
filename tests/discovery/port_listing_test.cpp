#include "discovery/port_listing.h"

#include <gtest/gtest.h>

#include "discovery_fakes.h"

namespace {

TEST(PortListing, DescribesEveryPort) {
    FakePortEnumerator ports;
    ports.present = {
        MakePort(u"USB\\VID_0ABC&PID_1234\\SIM0", u"/dev/ttyACM0", u"KLV instrument"),
        MakePort(u"USB\\VID_0403&PID_6001\\A1", u"/dev/ttyUSB0", u"FT232R \u00B5C"),
        MakePort(u"", u"/dev/ttyS0"),
        MakePort(u"USB\\VID_0ABC&PID_1234\\SIM1", u""),
    };
    FWPackage package;
    package.usbIds = {{0x0ABC, 0x1234}};

    const std::vector<PortListEntry> entries = ListPorts(ports, package);
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_TRUE(entries[0].served);
    EXPECT_FALSE(entries[1].served);
    EXPECT_FALSE(entries[2].usbIds);
    EXPECT_EQ(FormatPortList(entries),
              "/dev/ttyACM0  VID_0ABC PID_1234  serial SIM0  served  KLV instrument\n"
              "/dev/ttyUSB0  VID_0403 PID_6001  serial A1  not served  FT232R \xC2\xB5"
              "C\n"
              "/dev/ttyS0  no USB ids  -\n"
              "(none)  VID_0ABC PID_1234  serial SIM1  served\n");
}

TEST(PortListing, SaysWhenThereAreNoPorts) {
    FakePortEnumerator ports;
    FWPackage package;
    EXPECT_EQ(FormatPortList(ListPorts(ports, package)), "no ports\n");
}

}  // namespace
