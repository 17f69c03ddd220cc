// The part of port naming that every platform shares.
#include "ports.h"

#include <cstdint>

namespace qdfu {

std::string UsbIdentityText(const UsbIdentity& id) {
    std::string text = "usb " + id.VendorId + ":" + id.ProductId;
    if (!id.Manufacturer.empty()) text += " " + id.Manufacturer;
    if (!id.Product.empty()) text += " " + id.Product;
    if (!id.Serial.empty()) text += " serial " + id.Serial;
    return text;
}

std::vector<PresentPort> PortsWithUsbSerial(const std::string& serial, const PortPaths& paths) {
    std::vector<PresentPort> found;
    if (const auto present = ListPresentPorts(paths))
        for (const PresentPort& p : *present)
            if (const auto usb = UsbIdentityOf(p.Device, paths); usb && usb->Serial == serial) found.push_back(p);
    return found;
}

std::optional<UsbIdentity> UsbIdentityFromInstanceId(const std::string& instanceId) {
    const auto upper = [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; };
    std::string id;
    for (char c : instanceId) id += upper(c);
    const bool ftdi = id.rfind("FTDIBUS\\", 0) == 0;
    if (!ftdi && id.rfind("USB\\", 0) != 0) return std::nullopt;
    const std::size_t hardware = id.find('\\') + 1, last = id.find('\\', hardware);
    if (last == std::string::npos) return std::nullopt;
    const std::string ids = id.substr(hardware, last - hardware);
    // four hex digits after key, lower case as sysfs gives them; "" when they are not there
    const auto hex4 = [&](const char* key) {
        const std::size_t at = ids.find(key);
        std::string digits;
        for (std::size_t k = at + 4; at != std::string::npos && k < at + 8 && k < ids.size(); ++k) {
            const char c = ids[k];
            if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return std::string();
            digits += (c >= 'A') ? static_cast<char>(c + 32) : c;
        }
        return digits.size() == 4 ? digits : std::string();
    };
    UsbIdentity out;
    out.VendorId = hex4("VID_");
    out.ProductId = hex4("PID_");
    if (out.VendorId.empty() || out.ProductId.empty()) return std::nullopt;
    if (ftdi) {
        // VID_0403+PID_6001+A1B2C3D4A: the serial, then the letter of the chip's channel
        const std::size_t plus = ids.rfind('+');
        if (plus != std::string::npos && last - hardware - plus - 1 > 1)
            out.Serial = instanceId.substr(hardware + plus + 1, last - hardware - plus - 2);
    } else if (ids.find("&MI_") == std::string::npos) {
        const std::string serial = instanceId.substr(last + 1);
        if (serial.find('&') == std::string::npos) out.Serial = serial;
    }
    return out;
}

bool ParseComName(const std::string& text, uint32_t& port) {
    if (text.size() < 4) return false;
    auto up = [](char c) { return static_cast<char>((c >= 'a' && c <= 'z') ? c - 32 : c); };
    if (up(text[0]) != 'C' || up(text[1]) != 'O' || up(text[2]) != 'M') return false;
    uint64_t v = 0;
    for (std::size_t i = 3; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        v = v * 10 + static_cast<uint64_t>(text[i] - '0');
        if (v > UINT32_MAX) return false;
    }
    port = static_cast<uint32_t>(v);
    return port != 0;
}

}  // namespace qdfu
