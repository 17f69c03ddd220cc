// Port numbers, and the source of present ports that the window's port list shows.
//
// On Windows port n is the device \\.\COMn, and the present ports are the values of the registry
// key HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM; PortPaths is not used there.
//
// On Linux port n names the entry "comN" of the ports directory (a symbolic link to a device) when
// it exists, otherwise /dev/ttyS(n-1). Port 0 names nothing. USB and ACM adapters seen for the
// first time get the lowest free number from 3 up and a link of their own, so they keep it across
// unplugging and restarts (for the life of the process only, when the link cannot be written).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qdfu {

struct PortPaths {
    std::string PortsDir;            // holds the comN links
    std::string DevRoot = "/dev";    // device nodes, and serial/by-id
    std::string SysfsRoot = "/sys";  // class/tty lives below it
};

// The production paths: $XDG_CONFIG_HOME/quarnelix-dfu/ports (default ~/.config/...).
PortPaths DefaultPortPaths();

// "" for port 0; otherwise the link path or DevRoot/ttyS(n-1).
std::string PortDevicePath(uint32_t port, const PortPaths& paths);

struct PresentPort {
    uint32_t Number = 0;
    std::string Name;    // "COMn"
    std::string Device;  // the device the number opens (a link target as written)
};

// What a USB serial adapter tells of itself (sysfs on Linux; SetupAPI on Windows, where the product
// is the driver's description of the device); empty fields where it tells nothing. A control
// character that sysfs gives (a tab, a line end) stands as '?', so that a field never breaks a
// line or a column.
struct UsbIdentity {
    std::string VendorId, ProductId;  // four hex digits each, "0403"
    std::string Manufacturer, Product, Serial;
};
// The USB identity of the adapter behind device (a node, or a link to one such as a by-id name);
// nullopt for a port that is no USB adapter, or a system that does not tell.
std::optional<UsbIdentity> UsbIdentityOf(const std::string& device, const PortPaths& paths);
// The vendor id, product id and serial number that a Windows device instance id carries:
// "USB\VID_0403&PID_6001\A1B2C3D4", or FTDI's own bus "FTDIBUS\VID_0403+PID_6001+A1B2C3D4A\0000".
// The serial is empty where Windows made the last part up (it holds '&') or it is an interface of
// a composite device (MI_nn); nullopt for an id of another bus.
std::optional<UsbIdentity> UsbIdentityFromInstanceId(const std::string& instanceId);
// "usb 0403:6001 FTDI FT232R USB UART serial A1B2C3D4", as ports lists it.
std::string UsbIdentityText(const UsbIdentity& id);
// The present ports whose USB adapter gives this serial number (exactly as given), ordered by
// number: none, one, or several when adapters share it.
std::vector<PresentPort> PortsWithUsbSerial(const std::string& serial, const PortPaths& paths);

// The present ports, ordered by number; nullopt when neither sysfs nor the ports directory can be
// read. May write comN links for adapters seen for the first time. An adapter whose link cannot be
// written is listed all the same, under a number kept for the life of the process (PortDevicePath
// resolves it); unkept, when given, then receives why such numbers will not survive a restart.
std::optional<std::vector<PresentPort>> ListPresentPorts(const PortPaths& paths, std::string* unkept = nullptr);

// Parses "COMn" (any case, n a decimal number 1..2^32-1); false otherwise.
bool ParseComName(const std::string& text, uint32_t& port);

}  // namespace qdfu
