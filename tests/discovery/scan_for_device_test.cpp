#include "discovery/scan_for_device.h"

#include <gtest/gtest.h>

#include "discovery_fakes.h"
#include "package/fw_package.h"
#include "transport/mt_access_if_comm_port.h"

namespace {

constexpr UsbId kServed{0x0ABC, 0x1234};
constexpr char16_t kServedId[] = u"USB\\VID_0ABC&PID_1234\\SIM0";
constexpr char16_t kOtherId[] = u"USB\\VID_1111&PID_2222\\OTHER";

struct ScanCase {
    const char* name;
    std::vector<UsbId> usbIds;
    std::u16string heldBefore;  // empty: no port held
    std::vector<PortInfo> present;
    std::set<std::u16string> busy;
    int result;
    std::u16string heldAfter;
    bool openAfter;
    std::vector<std::u16string> openAttempts;  // during the scan
};

std::ostream& operator<<(std::ostream& os, const ScanCase& c) {
    return os << c.name;
}

class ScanForDeviceTable : public ::testing::TestWithParam<ScanCase> {};

TEST_P(ScanForDeviceTable, ResultHeldNameAndPortState) {
    const ScanCase& c = GetParam();
    auto log = std::make_shared<DeviceLog>();
    log->busy = c.busy;
    MTAccessIfCommPort port(std::make_unique<FakeSerialDevice>(log));
    if (!c.heldBefore.empty()) {
        ASSERT_TRUE(port.Open(c.heldBefore));
        port.currentPortName = c.heldBefore;
        log->opens.clear();
    }
    FWPackage package;
    package.usbIds = c.usbIds;
    FakePortEnumerator ports;
    ports.present = c.present;

    EXPECT_EQ(ScanForDevice(port, package, ports), c.result);
    EXPECT_EQ(port.currentPortName, c.heldAfter);
    EXPECT_EQ(log->open, c.openAfter);
    EXPECT_EQ(log->opens, c.openAttempts);
    // A scan never purges the line; a port still attached is neither reopened nor purged.
    EXPECT_EQ(log->purges, 0);
    if (c.result == ScanStillAttached) {
        EXPECT_EQ(log->closes, 0) << "closed and opened again";
    }
}

const std::vector<UsbId> kServes{kServed};

INSTANTIATE_TEST_SUITE_P(
    States, ScanForDeviceTable,
    ::testing::Values(
        ScanCase{"NothingPresent", kServes, u"", {}, {}, ScanNoDevice, u"", false, {}},
        ScanCase{"MatchOpens",
                 kServes,
                 u"",
                 {MakePort(kServedId, u"COM3")},
                 {},
                 ScanAttached,
                 u"COM3",
                 true,
                 {u"COM3"}},
        ScanCase{"OnlyOtherDevices",
                 kServes,
                 u"",
                 {MakePort(kOtherId, u"COM1")},
                 {},
                 ScanNoDevice,
                 u"",
                 false,
                 {}},
        ScanCase{"HeldStillPresentIsNotReopened",
                 kServes,
                 u"COM3",
                 {MakePort(kServedId, u"COM3")},
                 {},
                 ScanStillAttached,
                 u"COM3",
                 true,
                 {}},
        ScanCase{"HeldGone", kServes, u"COM3", {}, {}, ScanDetached, u"", false, {}},
        ScanCase{"HeldGoneOtherMatchPresentIsNotOpened",
                 kServes,
                 u"COM3",
                 {MakePort(kServedId, u"COM4")},
                 {},
                 ScanDetached,
                 u"",
                 false,
                 {}},
        ScanCase{"HeldNameComparedCaseSensitively",
                 kServes,
                 u"COM3",
                 {MakePort(kServedId, u"com3")},
                 {},
                 ScanDetached,
                 u"",
                 false,
                 {}},
        ScanCase{"HeldNameOnANonMatchingDeviceDoesNotCount",
                 kServes,
                 u"COM3",
                 {MakePort(kOtherId, u"COM3")},
                 {},
                 ScanDetached,
                 u"",
                 false,
                 {}},
        ScanCase{"HeldFoundAfterAnotherMatch",
                 kServes,
                 u"COM3",
                 {MakePort(kServedId, u"COM4"), MakePort(kServedId, u"COM3")},
                 {},
                 ScanStillAttached,
                 u"COM3",
                 true,
                 {}},
        ScanCase{"FirstOfTwoMatchesIsAttached",
                 kServes,
                 u"",
                 {MakePort(kOtherId, u"COM1"), MakePort(kServedId, u"COM3"),
                  MakePort(kServedId, u"COM4")},
                 {},
                 ScanAttached,
                 u"COM3",
                 true,
                 {u"COM3"}},
        ScanCase{"BusyPortSkipped",
                 kServes,
                 u"",
                 {MakePort(kServedId, u"COM3"), MakePort(kServedId, u"COM4")},
                 {u"COM3"},
                 ScanAttached,
                 u"COM4",
                 true,
                 {u"COM3", u"COM4"}},
        ScanCase{"OnlyMatchBusy",
                 kServes,
                 u"",
                 {MakePort(kServedId, u"COM3")},
                 {u"COM3"},
                 ScanNoDevice,
                 u"",
                 false,
                 {u"COM3"}},
        ScanCase{"EmptyPortNameIsNotOpened",
                 kServes,
                 u"",
                 {MakePort(kServedId, u"")},
                 {},
                 ScanNoDevice,
                 u"",
                 false,
                 {}},
        ScanCase{"EmptyUsbIdsMatchNothing",
                 {},
                 u"",
                 {MakePort(kServedId, u"COM3")},
                 {},
                 ScanNoDevice,
                 u"",
                 false,
                 {}},
        ScanCase{"EmptyUsbIdsDropHeldPort",
                 {},
                 u"COM3",
                 {MakePort(kServedId, u"COM3")},
                 {},
                 ScanDetached,
                 u"",
                 false,
                 {}},
        // The same name listed twice is still a fresh attach, so the controller hands
        // the port to the protocol.
        ScanCase{"SameNameTwiceRightAfterOpening",
                 kServes,
                 u"",
                 {MakePort(kServedId, u"COM3"), MakePort(kServedId, u"COM3")},
                 {},
                 ScanAttached,
                 u"COM3",
                 true,
                 {u"COM3"}}),
    [](const ::testing::TestParamInfo<ScanCase>& info) { return std::string(info.param.name); });

// How the identifier is read decides whether a device matches at all.
struct IdCase {
    const char* name;
    std::u16string instanceId;
    UsbId served;  // the one pair the package lists
    bool matches;
};

std::ostream& operator<<(std::ostream& os, const IdCase& c) {
    return os << c.name;
}

class ScanInstanceIdTable : public ::testing::TestWithParam<IdCase> {};

TEST_P(ScanInstanceIdTable, MatchesOrNot) {
    const IdCase& c = GetParam();
    auto log = std::make_shared<DeviceLog>();
    MTAccessIfCommPort port(std::make_unique<FakeSerialDevice>(log));
    FWPackage package;
    package.usbIds = {c.served};
    FakePortEnumerator ports;
    ports.present = {MakePort(c.instanceId, u"COM7")};

    EXPECT_EQ(ScanForDevice(port, package, ports), c.matches ? ScanAttached : ScanNoDevice);
}

INSTANTIATE_TEST_SUITE_P(
    Identifiers, ScanInstanceIdTable,
    ::testing::Values(
        IdCase{"UpperCase", u"USB\\VID_0ABC&PID_1234\\X", {0x0ABC, 0x1234}, true},
        IdCase{"LowerCase", u"usb\\vid_0abc&pid_1234\\x", {0x0ABC, 0x1234}, true},
        IdCase{"PidBeforeVid", u"USB\\PID_1234&VID_0ABC\\X", {0x0ABC, 0x1234}, true},
        IdCase{"WrongProduct", u"USB\\VID_0ABC&PID_1235\\X", {0x0ABC, 0x1234}, false},
        // A missing marker is no match even where parsing "nothing" would give 0.
        IdCase{"VidOnly", u"USB\\VID_0ABC\\X", {0x0ABC, 0x0000}, false},
        IdCase{"PidOnly", u"USB\\PID_1234\\X", {0x0000, 0x1234}, false},
        IdCase{"FiveDigitsKeepLow16Bits", u"USB\\VID_12345&PID_1234", {0x2345, 0x1234}, true},
        IdCase{"NoHexDigitReadsZero", u"USB\\VID_&PID_1234", {0x0000, 0x1234}, true},
        IdCase{"HexPrefix", u"USB\\VID_0x0ABC&PID_1234", {0x0ABC, 0x1234}, true},
        IdCase{"FirstMarkerCounts", u"USB\\VID_0ABC&PID_1234\\PID_9999", {0x0ABC, 0x1234}, true},
        IdCase{"NonAsciiEndsTheNumber", u"USB\\VID_0AB\u00C9&PID_1234", {0x00AB, 0x1234}, true},
        IdCase{"EmptyIdentifier", u"", {0x0000, 0x0000}, false}),
    [](const ::testing::TestParamInfo<IdCase>& info) { return std::string(info.param.name); });

TEST(ScanForDevice, GoneWhileAnotherIsPresentThenNextScanAttachesTheOther) {
    auto log = std::make_shared<DeviceLog>();
    MTAccessIfCommPort port(std::make_unique<FakeSerialDevice>(log));
    FWPackage package;
    package.usbIds = {kServed};
    FakePortEnumerator ports;
    ports.present = {MakePort(kServedId, u"COM3")};
    ASSERT_EQ(ScanForDevice(port, package, ports), ScanAttached);

    ports.present = {MakePort(kServedId, u"COM4")};
    EXPECT_EQ(ScanForDevice(port, package, ports), ScanDetached);
    EXPECT_FALSE(log->open);
    EXPECT_EQ(ScanForDevice(port, package, ports), ScanAttached);
    EXPECT_EQ(port.currentPortName, u"COM4");
    EXPECT_EQ(log->opens, (std::vector<std::u16string>{u"COM3", u"COM4"}));
}

// A system with more ports than the first table holds: the instrument listed past the
// hundredth record is still found, and an enumerator that overstates its count is not
// read past the table.
TEST(ScanForDevice, FindsTheInstrumentBeyondTheFirstHundredPorts) {
    class CheckedEnumerator final : public PortEnumerator {
      public:
        std::vector<PortInfo> present;
        int EnumeratePorts(PortInfo* table, int capacity) override {
            const int count = std::min<int>(capacity, static_cast<int>(present.size()));
            std::copy_n(present.begin(), count, table);
            // A scan that claims more records than it has must not be believed.
            return count == capacity ? capacity + 5 : count;
        }
    } ports;
    for (int i = 0; i < 150; ++i) {
        ports.present.push_back(MakePort(kOtherId, u"COM" + std::u16string(1, u'A' + i % 26)));
    }
    ports.present[120] = MakePort(kServedId, u"COM121");

    auto log = std::make_shared<DeviceLog>();
    MTAccessIfCommPort port(std::make_unique<FakeSerialDevice>(log));
    FWPackage package;
    package.usbIds = {kServed};
    EXPECT_EQ(ScanForDevice(port, package, ports), ScanAttached);
    EXPECT_EQ(port.currentPortName, u"COM121");
}

}  // namespace
