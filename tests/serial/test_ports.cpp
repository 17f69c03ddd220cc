// Port-number rule and the source of present ports over fake sysfs, /dev and ports trees.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "ports.h"
#include "temp_dir.h"

namespace qdfu {
namespace {

namespace fs = std::filesystem;

class FakeTree {
public:
    FakeTree() {
        paths.PortsDir = root.File("config/quarnelix-dfu/ports");
        paths.DevRoot = root.File("dev");
        paths.SysfsRoot = root.File("sys");
        fs::create_directories(paths.DevRoot);
        fs::create_directories(paths.SysfsRoot + "/class/tty");
    }
    // A tty in sysfs with a device link (a real device) and its /dev node.
    void AddTty(const std::string& name, const char* type = nullptr) {
        const std::string entry = paths.SysfsRoot + "/class/tty/" + name;
        fs::create_directories(entry);
        fs::create_directories(root.File("sys/devices/" + name));
        fs::create_directory_symlink(root.File("sys/devices/" + name), entry + "/device");
        if (type) root.Write("sys/class/tty/" + name + "/type", std::string(type) + "\n");
        root.Write("dev/" + name, "");
    }
    void AddVirtualTty(const std::string& name) {
        fs::create_directories(paths.SysfsRoot + "/class/tty/" + name);
        root.Write("dev/" + name, "");
    }
    void AddById(const std::string& id, const std::string& node) {
        fs::create_directories(paths.DevRoot + "/serial/by-id");
        fs::create_symlink("../../" + node, paths.DevRoot + "/serial/by-id/" + id);
    }
    void Unplug(const std::string& name) {
        fs::remove_all(paths.SysfsRoot + "/class/tty/" + name);
        fs::remove(paths.DevRoot + "/" + name);
    }
    void Link(uint32_t n, const std::string& target) {
        fs::create_directories(paths.PortsDir);
        fs::create_symlink(target, paths.PortsDir + "/com" + std::to_string(n));
    }
    std::vector<std::string> Names() {
        std::vector<std::string> out;
        const auto ports = ListPresentPorts(paths);
        if (!ports) return {"missing"};
        for (const auto& p : *ports) out.push_back(p.Name);
        return out;
    }

    test::TempDir root;
    PortPaths paths;
};

TEST(PortDevicePathTest, LinkFirstThenTtyS) {
    FakeTree t;
    EXPECT_EQ(PortDevicePath(0, t.paths), "");
    EXPECT_EQ(PortDevicePath(1, t.paths), t.paths.DevRoot + "/ttyS0");
    EXPECT_EQ(PortDevicePath(12, t.paths), t.paths.DevRoot + "/ttyS11");
    t.Link(1, "/dev/pts/9");
    EXPECT_EQ(PortDevicePath(1, t.paths), t.paths.PortsDir + "/com1");
}

TEST(ParseComNameTest, AnyCaseDecimal) {
    uint32_t n = 0;
    EXPECT_TRUE(ParseComName("COM3", n));
    EXPECT_EQ(n, 3u);
    EXPECT_TRUE(ParseComName("com12", n));
    EXPECT_EQ(n, 12u);
    for (const char* bad : {"COM", "COM0", "COMx", "/dev/ttyS0", "COM-1", "COM99999999999"}) EXPECT_FALSE(ParseComName(bad, n)) << bad;
}

TEST(PresentPortsTest, LinksAndRealUartsOrderedByNumberPlaceholdersDropped) {
    FakeTree t;
    t.AddTty("ttyS0", "4");
    t.AddTty("ttyS1", "0");  // an 8250 placeholder without a UART
    t.AddTty("ttyS9", "4");
    t.AddVirtualTty("tty0");
    t.root.Write("dev/pts-7", "");
    t.Link(5, t.paths.DevRoot + "/pts-7");
    t.Link(7, t.paths.DevRoot + "/gone");  // target missing: not present
    EXPECT_EQ(t.Names(), (std::vector<std::string>{"COM1", "COM5", "COM10"}));
    const auto ports = *ListPresentPorts(t.paths);
    EXPECT_EQ(ports[0].Device, t.paths.DevRoot + "/ttyS0");
    EXPECT_EQ(ports[1].Device, t.paths.DevRoot + "/pts-7");
}

TEST(PresentPortsTest, LinkNamingAUartReplacesItsDefaultNumber) {
    FakeTree t;
    t.AddTty("ttyS0", "4");
    t.Link(8, t.paths.DevRoot + "/ttyS0");
    EXPECT_EQ(t.Names(), (std::vector<std::string>{"COM8"}));
}

TEST(PresentPortsTest, AdapterGetsAStickyNumberFromThreeUp) {
    FakeTree t;
    t.AddTty("ttyS2", "4");  // COM3 is taken by a real UART
    t.AddTty("ttyUSB0");
    t.AddById("usb-FTDI_FT232R_A1B2-if00-port0", "ttyUSB0");
    EXPECT_EQ(t.Names(), (std::vector<std::string>{"COM3", "COM4"}));
    const std::string link = t.paths.PortsDir + "/com4";
    EXPECT_EQ(fs::read_symlink(link).string(), t.paths.DevRoot + "/serial/by-id/usb-FTDI_FT232R_A1B2-if00-port0");

    t.Unplug("ttyUSB0");
    EXPECT_EQ(t.Names(), (std::vector<std::string>{"COM3"}));
    t.AddTty("ttyACM0");  // another adapter meanwhile: COM4 stays reserved
    EXPECT_EQ(t.Names(), (std::vector<std::string>{"COM3", "COM5"}));
    EXPECT_EQ(fs::read_symlink(t.paths.PortsDir + "/com5").string(), t.paths.DevRoot + "/ttyACM0");

    t.AddTty("ttyUSB0");  // plugged in again, under another kernel name order
    EXPECT_EQ(t.Names(), (std::vector<std::string>{"COM3", "COM4", "COM5"}));
    EXPECT_EQ(t.Names(), (std::vector<std::string>{"COM3", "COM4", "COM5"}));  // no new links
}

TEST(PresentPortsTest, AdapterWithoutALinkKeepsANumberForTheProcess) {
    FakeTree t;
    fs::create_directories(t.root.File("config"));
    t.root.Write("config/quarnelix-dfu", "");  // a file where the ports folder would go
    t.AddTty("ttyUSB0");
    std::string unkept;
    EXPECT_EQ(t.Names(), (std::vector<std::string>{"COM3"}));
    ListPresentPorts(t.paths, &unkept);
    EXPECT_TRUE(unkept.empty());  // said when the number was handed out
    EXPECT_EQ(PortDevicePath(3, t.paths), t.paths.DevRoot + "/ttyUSB0");
    t.AddTty("ttyUSB1");
    ASSERT_TRUE(ListPresentPorts(t.paths, &unkept).has_value());
    EXPECT_NE(unkept.find("will not survive a restart"), std::string::npos) << unkept;
    t.Unplug("ttyUSB0");
    EXPECT_EQ(t.Names(), (std::vector<std::string>{"COM4"}));
    t.AddTty("ttyUSB0");  // plugged in again: the same number
    EXPECT_EQ(t.Names(), (std::vector<std::string>{"COM3", "COM4"}));
}

TEST(PresentPortsTest, MissingSourceIsReported) {
    PortPaths p;
    p.PortsDir = "/nonexistent/ports";
    p.SysfsRoot = "/nonexistent/sys";
    p.DevRoot = "/nonexistent/dev";
    EXPECT_FALSE(ListPresentPorts(p).has_value());
}

TEST(PresentPortsTest, LinksAloneWithoutSysfs) {
    FakeTree t;
    fs::remove_all(t.paths.SysfsRoot);
    t.root.Write("dev/x", "");
    t.Link(2, t.paths.DevRoot + "/x");
    EXPECT_EQ(t.Names(), (std::vector<std::string>{"COM2"}));
}

// What an adapter tells of itself through sysfs, a control character in it made harmless, and the
// adapters that give a USB serial number: every one of them, so that a caller can refuse a serial
// that two adapters share.
TEST(PresentPortsTest, UsbIdentityAndTheAdaptersOfASerialNumber) {
    FakeTree t;
    const auto adapter = [&](const std::string& tty, const std::string& serial) {
        t.AddTty(tty);
        const std::pair<const char*, std::string> fields[] = {
            {"idVendor", "0403"}, {"idProduct", "6001"}, {"manufacturer", "FTDI"}, {"product", "FT232R"}, {"serial", serial}};
        for (const auto& [name, value] : fields) t.root.Write("sys/devices/" + tty + "/" + name, value + "\n");
    };
    t.AddTty("ttyS0", "4");
    adapter("ttyUSB0", "A1\tB2\x7f");
    adapter("ttyUSB1", "TWIN");
    adapter("ttyUSB2", "TWIN");
    const auto id = UsbIdentityOf(t.paths.DevRoot + "/ttyUSB0", t.paths);
    ASSERT_TRUE(id.has_value());
    EXPECT_EQ(UsbIdentityText(*id), "usb 0403:6001 FTDI FT232R serial A1?B2?");
    EXPECT_FALSE(UsbIdentityOf(t.paths.DevRoot + "/ttyS0", t.paths).has_value());
    const struct {
        const char* serial;
        std::vector<std::string> devices;
    } cases[] = {
        {"TWIN", {"ttyUSB1", "ttyUSB2"}},
        {"A1?B2?", {"ttyUSB0"}},
        {"twin", {}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> devices;
        for (const PresentPort& p : PortsWithUsbSerial(c.serial, t.paths))
            devices.push_back(p.Device.substr(p.Device.rfind('/') + 1));
        EXPECT_EQ(devices, c.devices) << c.serial;
    }
}

// What Windows's device instance ids give of a USB adapter (the ports listing there reads them
// through SetupAPI).
TEST(UsbInstanceIdTest, IdsAndTheSerialWhereTheAdapterHasOne) {
    struct Row {
        const char* id;
        const char* vendor;  // "" for no identity
        const char* product;
        const char* serial;
    };
    const Row rows[] = {
        {"USB\\VID_0403&PID_6001\\A1B2c3D4", "0403", "6001", "A1B2c3D4"},  // the serial as the adapter gives it
        {"usb\\vid_10C4&pid_EA60\\0001", "10c4", "ea60", "0001"},
        {"FTDIBUS\\VID_0403+PID_6015+DN05XYZAA\\0000", "0403", "6015", "DN05XYZA"},  // less the channel letter
        {"ftdibus\\vid_0403+pid_6001+a1B2c3D4A\\0000", "0403", "6001", "a1B2c3D4"},  // its case as given
        {"USB\\VID_067B&PID_2303\\5&2B6F3F7&0&2", "067b", "2303", ""},            // made up by Windows
        {"USB\\VID_2341&PID_0043&MI_00\\6&1A2B3C&0&0000", "2341", "0043", ""},     // an interface
        {"ACPI\\PNP0501\\1", "", "", ""},                                          // a motherboard UART
        {"USB\\VID_04&PID_6001\\X", "", "", ""},                                   // ids cut short
        {"USB\\VID_0403&PID_6001", "", "", ""},                                      // no instance part
    };
    for (const Row& r : rows) {
        const auto id = UsbIdentityFromInstanceId(r.id);
        ASSERT_EQ(id.has_value(), *r.vendor != '\0') << r.id;
        if (!id) continue;
        EXPECT_EQ(id->VendorId, r.vendor) << r.id;
        EXPECT_EQ(id->ProductId, r.product) << r.id;
        EXPECT_EQ(id->Serial, r.serial) << r.id;
    }
}

}  // namespace
}  // namespace qdfu
