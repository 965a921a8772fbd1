#include "discovery/port_enumerator_linux.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "discovery/utf_text.h"

namespace fs = std::filesystem;

namespace {

// A throw-away sysfs tree laid out as the kernel does it: devices under devices/, and
// class/tty/<name> linking to the port's tty directory, whose "device" link leads back to
// the device that provides the port.
class SysfsTree {
  public:
    SysfsTree() {
        std::string pattern = (fs::temp_directory_path() / "klv-sysfs-XXXXXX").string();
        root_ = mkdtemp(pattern.data());
        fs::create_directories(root_ / "class" / "tty");
        fs::create_directories(root_ / "bus" / "platform");
    }
    ~SysfsTree() {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    const fs::path& root() const { return root_; }

    // A USB device directory with its descriptor attributes; an empty text is left out.
    fs::path UsbDevice(const std::string& busPath, const std::string& vid, const std::string& pid,
                       const std::string& serial, const std::string& product,
                       const std::string& manufacturer) {
        const fs::path dir = root_ / "devices" / "pci0000:00" / "0000:00:14.0" / "usb1" / busPath;
        fs::create_directories(dir);
        Write(dir / "idVendor", vid + "\n");
        Write(dir / "idProduct", pid + "\n");
        if (!serial.empty()) {
            Write(dir / "serial", serial + "\n");
        }
        if (!product.empty()) {
            Write(dir / "product", product + "\n");
        }
        if (!manufacturer.empty()) {
            Write(dir / "manufacturer", manufacturer + "\n");
        }
        return dir;
    }

    // A tty provided by device: <device>/tty/<name>, linked from class/tty.
    void Tty(const fs::path& device, const std::string& name) {
        const fs::path ttyDir = device / "tty" / name;
        fs::create_directories(ttyDir);
        fs::create_directory_symlink(device, ttyDir / "device");
        fs::create_directory_symlink(ttyDir, root_ / "class" / "tty" / name);
    }

    // A CDC ACM port: the tty hangs off the USB interface.
    void AcmPort(const fs::path& usbDevice, const std::string& name) {
        const fs::path interface = usbDevice / (usbDevice.filename().string() + ":1.0");
        fs::create_directories(interface);
        Tty(interface, name);
    }

    // A USB-serial converter port: the tty hangs off a port device one level below.
    void ConverterPort(const fs::path& usbDevice, const std::string& name) {
        const fs::path port = usbDevice / (usbDevice.filename().string() + ":1.0") / name;
        fs::create_directories(port);
        Tty(port, name);
    }

    // An on-board UART; uartType 0 means no hardware was found behind it.
    void PlatformPort(const std::string& name, const std::string& uartType) {
        const fs::path device = root_ / "devices" / "platform" / "serial8250";
        fs::create_directories(device);
        if (!fs::exists(device / "subsystem")) {
            fs::create_directory_symlink(root_ / "bus" / "platform", device / "subsystem");
        }
        Tty(device, name);
        Write(device / "tty" / name / "type", uartType + "\n");
    }

    // A virtual console: no device link.
    void VirtualConsole(const std::string& name) {
        const fs::path ttyDir = root_ / "devices" / "virtual" / "tty" / name;
        fs::create_directories(ttyDir);
        fs::create_directory_symlink(ttyDir, root_ / "class" / "tty" / name);
    }

    static void Write(const fs::path& file, const std::string& text) {
        std::ofstream(file, std::ios::binary) << text;
    }

  private:
    fs::path root_;
};

std::string Text(const char16_t (&field)[PortInfo::kFieldUnits]) {
    return Utf16ToUtf8(FieldText(field));
}

TEST(SysfsPortEnumerator, DescribesUsbAndOtherPortsAndSkipsTheRest) {
    SysfsTree tree;
    tree.AcmPort(tree.UsbDevice("1-2", "0abc", "1234", "SIM0", "KLV instrument", "KLV Systems"),
                 "ttyACM0");
    tree.ConverterPort(tree.UsbDevice("1-1", "0403", "6001", "A10K", "FT232R USB UART", "FTDI"),
                       "ttyUSB0");
    tree.AcmPort(tree.UsbDevice("1-3", "0abc", "1234", "", "No serial \u00B5", ""), "ttyACM1");
    tree.AcmPort(tree.UsbDevice("1-4", "0abc", "1234", "S4", std::string(300, 'p'), "KLV"),
                 "ttyACM2");
    tree.PlatformPort("ttyS0", "4");
    tree.PlatformPort("ttyS1", "0");
    tree.VirtualConsole("tty0");

    SysfsPortEnumerator ports(tree.root(), "/dev");
    PortInfo table[8];
    ASSERT_EQ(ports.EnumeratePorts(table, 8), 5);

    struct Expected {
        const char* portName;
        const char* instanceId;
        const char* description;
        const char* friendlyName;
        const char* enumerator;
    };
    const Expected expected[] = {
        {"/dev/ttyACM0", "USB\\VID_0ABC&PID_1234\\SIM0", "KLV instrument", "KLV Systems", "USB"},
        // no serial number: the bus path stands in for it
        {"/dev/ttyACM1", "USB\\VID_0ABC&PID_1234\\1-3", "No serial \u00B5", "", "USB"},
        // a product text that does not fit leaves only that field empty
        {"/dev/ttyACM2", "USB\\VID_0ABC&PID_1234\\S4", "", "KLV", "USB"},
        {"/dev/ttyS0", "", "", "", "PLATFORM"},
        {"/dev/ttyUSB0", "USB\\VID_0403&PID_6001\\A10K", "FT232R USB UART", "FTDI", "USB"},
    };
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(expected[i].portName);
        EXPECT_EQ(Text(table[i].portName), expected[i].portName);
        EXPECT_EQ(Text(table[i].instanceId), expected[i].instanceId);
        EXPECT_EQ(Text(table[i].description), expected[i].description);
        EXPECT_EQ(Text(table[i].friendlyName), expected[i].friendlyName);
        EXPECT_EQ(Text(table[i].enumerator), expected[i].enumerator);
    }
}

TEST(SysfsPortEnumerator, FieldLimitIs254Units) {
    SysfsTree tree;
    tree.AcmPort(tree.UsbDevice("1-1", "0abc", "1234", "A", std::string(254, 'x'), ""), "ttyACM0");
    tree.AcmPort(tree.UsbDevice("1-2", "0abc", "1234", "B", std::string(255, 'x'), ""), "ttyACM1");
    // "USB\VID_0ABC&PID_1234\" is 22 units: a 233-unit serial makes 255.
    tree.AcmPort(tree.UsbDevice("1-3", "0abc", "1234", std::string(233, 's'), "P", ""), "ttyACM2");

    SysfsPortEnumerator ports(tree.root(), "/dev");
    PortInfo table[3];
    ASSERT_EQ(ports.EnumeratePorts(table, 3), 3);
    EXPECT_EQ(FieldText(table[0].description).size(), 254u);
    EXPECT_TRUE(FieldText(table[1].description).empty());
    EXPECT_TRUE(FieldText(table[2].instanceId).empty());
    EXPECT_EQ(Text(table[2].description), "P");
}

TEST(SysfsPortEnumerator, FillsNoMoreThanTheTableHoldsInNumberOrder) {
    SysfsTree tree;
    const fs::path device = tree.UsbDevice("1-1", "0abc", "1234", "HUB", "Many ports", "");
    for (int i = 0; i < 130; ++i) {
        const fs::path port = device / ("1-1:1." + std::to_string(i));
        fs::create_directories(port);
        tree.Tty(port, "ttyACM" + std::to_string(i));
    }
    SysfsPortEnumerator ports(tree.root(), "/devroot");

    std::vector<PortInfo> table(101);
    StoreField(table[100].portName, u"sentinel");
    ASSERT_EQ(ports.EnumeratePorts(table.data(), 100), 100);
    EXPECT_EQ(Text(table[100].portName), "sentinel");
    EXPECT_EQ(Text(table[2].portName), "/devroot/ttyACM2");
    EXPECT_EQ(Text(table[10].portName), "/devroot/ttyACM10");
    EXPECT_EQ(Text(table[99].portName), "/devroot/ttyACM99");

    std::vector<PortInfo> larger(200);
    EXPECT_EQ(ports.EnumeratePorts(larger.data(), 200), 130);
}

TEST(SysfsPortEnumerator, MissingTreeListsNothing) {
    SysfsPortEnumerator ports("/nonexistent/klv-sysfs", "/dev");
    PortInfo table[2];
    EXPECT_EQ(ports.EnumeratePorts(table, 2), 0);
}

}  // namespace
