// tcp:// port names.
#include "tcp_address.h"

namespace qdfu {

bool IsTcpPort(const std::string& device) {
    if (device.size() < 6) return false;
    for (std::size_t i = 0; i < 3; ++i)
        if ((device[i] | 0x20) != "tcp"[i]) return false;
    return device.compare(3, 3, "://") == 0;
}

bool ParseTcpPort(const std::string& device, std::string& host, std::string& port) {
    if (!IsTcpPort(device)) return false;
    const std::string rest = device.substr(6);
    std::size_t colon;
    if (!rest.empty() && rest[0] == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':') return false;
        host = rest.substr(1, close - 1);
        colon = close + 1;
    } else {
        colon = rest.rfind(':');
        if (colon == std::string::npos) return false;
        host = rest.substr(0, colon);
    }
    port = rest.substr(colon + 1);
    if (host.empty() || port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long n = std::stoul(port);
    return n >= 1 && n <= 65535;
}

std::unique_ptr<SerialBackend> MakeBackendFor(const std::string& device) {
    return IsTcpPort(device) ? MakeTcpBackend() : MakeNativeBackend();
}

}  // namespace qdfu
