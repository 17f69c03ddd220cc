// Windows: port n is \\.\COMn, and the present ports are the values of
// HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM in the registry's order: a value's name is the
// system's device name, its text the port name shown. The key is opened for reading only, level
// by level, so that a user without administrator rights sees the ports too; a missing or refused
// key is a missing source. The USB identity of a port comes from SetupAPI: the device of the Ports
// class whose PortName is the port, and the devices above it up to the USB device whose instance
// id carries the vendor id, the product id and the serial number.
#include <windows.h>
// after windows.h
#include <cfgmgr32.h>
#include <devguid.h>
#include <setupapi.h>

#include <cstring>

#include "ports.h"

namespace qdfu {
namespace {

class Key {
public:
    Key() = default;
    ~Key() {
        if (key_) ::RegCloseKey(key_);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    bool Open(HKEY parent, const char* name) {
        HKEY k = nullptr;
        if (::RegOpenKeyExA(parent, name, 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
        key_ = k;
        return true;
    }
    HKEY Get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

}  // namespace

PortPaths DefaultPortPaths() { return {}; }

std::string PortDevicePath(uint32_t port, const PortPaths&) {
    return port == 0 ? std::string() : "\\\\.\\COM" + std::to_string(port);
}

namespace {

// A device's registry property as text ("" when it has none).
std::string NodeText(DEVINST node, ULONG property) {
    char text[256] = {};
    ULONG size = sizeof text - 1;
    if (::CM_Get_DevNode_Registry_PropertyA(node, property, nullptr, text, &size, 0) != CR_SUCCESS) return "";
    return std::string(text, ::strnlen(text, sizeof text - 1));
}

// The port name a device of SERIALCOMM stands for ("\Device\VCP0" -> "COM3"); device itself
// when it is a port name already.
std::string PortNameOf(const std::string& device) {
    uint32_t number = 0;
    if (ParseComName(device, number)) return device;
    const auto ports = ListPresentPorts({});
    if (ports)
        for (const PresentPort& p : *ports)
            if (p.Device == device) return p.Name;
    return "";
}

// The identity of the USB device at node or above it, the serial from the nearest that has one.
std::optional<UsbIdentity> IdentityAbove(DEVINST node) {
    std::optional<UsbIdentity> found;
    for (int level = 0; level < 4; ++level) {
        char id[MAX_DEVICE_ID_LEN + 1] = {};
        if (::CM_Get_Device_IDA(node, id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS) break;
        if (const auto here = UsbIdentityFromInstanceId(id)) {
            if (!found) {
                found = here;
                found->Manufacturer = NodeText(node, CM_DRP_MFG);
                found->Product = NodeText(node, CM_DRP_DEVICEDESC);
            }
            if (found->Serial.empty()) found->Serial = here->Serial;
            if (!found->Serial.empty()) break;
        }
        DEVINST parent = 0;
        if (::CM_Get_Parent(&parent, node, 0) != CR_SUCCESS) break;
        node = parent;
    }
    return found;
}

}  // namespace

std::optional<UsbIdentity> UsbIdentityOf(const std::string& device, const PortPaths&) {
    const std::string port = PortNameOf(device);
    if (port.empty()) return std::nullopt;
    HDEVINFO set = ::SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return std::nullopt;
    std::optional<UsbIdentity> identity;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    for (DWORD i = 0; ::SetupDiEnumDeviceInfo(set, i, &info); ++i) {
        HKEY key = ::SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) continue;
        char name[64] = {};
        DWORD size = sizeof name - 1, type = 0;
        const LONG rc = ::RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size);
        ::RegCloseKey(key);
        if (rc != ERROR_SUCCESS || type != REG_SZ || ::_stricmp(name, port.c_str()) != 0) continue;
        identity = IdentityAbove(info.DevInst);
        break;
    }
    ::SetupDiDestroyDeviceInfoList(set);
    return identity;
}

std::optional<std::vector<PresentPort>> ListPresentPorts(const PortPaths&, std::string*) {
    Key hardware, devicemap, serialcomm;
    if (!hardware.Open(HKEY_LOCAL_MACHINE, "HARDWARE") || !devicemap.Open(hardware.Get(), "DEVICEMAP") ||
        !serialcomm.Open(devicemap.Get(), "SERIALCOMM"))
        return std::nullopt;
    DWORD values = 0, longestName = 0, longestData = 0;
    if (::RegQueryInfoKeyA(serialcomm.Get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                           &longestName, &longestData, nullptr, nullptr) != ERROR_SUCCESS)
        return std::nullopt;
    std::vector<PresentPort> ports;
    std::string name(longestName + 1, '\0');
    std::string data(longestData + 1, '\0');
    for (DWORD i = 0; i < values; ++i) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        DWORD dataLength = static_cast<DWORD>(data.size());
        DWORD type = 0;
        if (::RegEnumValueA(serialcomm.Get(), i, name.data(), &nameLength, nullptr, &type,
                            reinterpret_cast<BYTE*>(data.data()), &dataLength) != ERROR_SUCCESS)
            continue;
        std::string text(data.data(), dataLength);
        while (!text.empty() && text.back() == '\0') text.pop_back();
        PresentPort p;
        p.Name = text;
        p.Device = std::string(name.data(), nameLength);
        ParseComName(text, p.Number);
        ports.push_back(std::move(p));
    }
    return ports;
}

}  // namespace qdfu
