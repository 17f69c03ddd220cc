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
