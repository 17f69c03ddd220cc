// Windows: port n is \\.\COMn, and the present ports are the values of
// HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM in the registry's order: a value's name is the
// system's device name, its text the port name shown. The key is opened for reading only, level
// by level, so that a user without administrator rights sees the ports too; a missing or refused
// key is a missing source.
#include <windows.h>

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

// The registry's SERIALCOMM list names no USB identity; SetupAPI would (not read yet).
std::optional<UsbIdentity> UsbIdentityOf(const std::string&, const PortPaths&) { return std::nullopt; }

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
