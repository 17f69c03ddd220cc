// Linux: the port-number rule and the present serial ports, over sysfs and the ports directory.
#include "ports.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>

#include "settings.h"

namespace qdfu {
namespace {

bool Exists(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0;
}

bool IsLink(const std::string& path) {
    struct stat st{};
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

std::string RealPath(const std::string& path) {
    char buf[PATH_MAX];
    if (::realpath(path.c_str(), buf) == nullptr) return {};
    return buf;
}

std::string ReadLink(const std::string& path) {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
    if (n <= 0) return {};
    return std::string(buf, static_cast<std::size_t>(n));
}

std::optional<std::vector<std::string>> ListDir(const std::string& dir) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return std::nullopt;
    std::vector<std::string> names;
    while (dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

// "com12" -> 12; false for anything else.
bool ParseLinkName(const std::string& name, uint32_t& n) {
    if (name.size() < 4 || name.compare(0, 3, "com") != 0) return false;
    uint64_t v = 0;
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return false;
        v = v * 10 + static_cast<uint64_t>(name[i] - '0');
        if (v > UINT32_MAX) return false;
    }
    n = static_cast<uint32_t>(v);
    return n != 0 && std::to_string(n) == name.substr(3);
}

bool ParseTtySIndex(const std::string& name, uint32_t& k) {
    if (name.size() < 5 || name.compare(0, 4, "ttyS") != 0) return false;
    uint64_t v = 0;
    for (std::size_t i = 4; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return false;
        v = v * 10 + static_cast<uint64_t>(name[i] - '0');
        if (v >= UINT32_MAX) return false;
    }
    k = static_cast<uint32_t>(v);
    return true;
}

bool IsAdapterName(const std::string& name) {
    return name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0 ||
           (name.rfind("tty", 0) == 0 && name.find("USB") != std::string::npos);
}

std::string ReadFirstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// The /dev/serial/by-id entry that resolves to node, or "".
std::string ByIdPath(const PortPaths& paths, const std::string& nodeReal) {
    const std::string dir = paths.DevRoot + "/serial/by-id";
    const auto names = ListDir(dir);
    if (!names) return {};
    for (const std::string& n : *names) {
        const std::string p = dir + "/" + n;
        if (RealPath(p) == nodeReal) return p;
    }
    return {};
}

// Numbers of adapters whose link could not be written, by ports directory and then by device:
// kept for the life of the process.
std::map<std::string, uint32_t>& UnlinkedNumbers(const std::string& portsDir) {
    static std::map<std::string, std::map<std::string, uint32_t>> numbers;
    return numbers[portsDir];
}

}  // namespace

std::optional<UsbIdentity> UsbIdentityOf(const std::string& device, const PortPaths& paths) {
    // the tty's own name: the device's, or that of a link on the way to it
    std::string step = device;
    for (int hops = 0; hops < 8 && !step.empty(); ++hops) {
        const std::string name = step.substr(step.rfind('/') + 1);
        const std::string tty = paths.SysfsRoot + "/class/tty/" + name + "/device";
        if (Exists(tty)) {
            // up from the tty's device (an interface, or a port below one) to the USB device
            std::string dir = RealPath(tty);
            for (int up = 0; up < 4 && !dir.empty(); ++up, dir = dir.substr(0, dir.rfind('/'))) {
                if (!Exists(dir + "/idVendor")) continue;
                UsbIdentity id;
                id.VendorId = ReadFirstLine(dir + "/idVendor");
                id.ProductId = ReadFirstLine(dir + "/idProduct");
                id.Manufacturer = ReadFirstLine(dir + "/manufacturer");
                id.Product = ReadFirstLine(dir + "/product");
                id.Serial = ReadFirstLine(dir + "/serial");
                for (std::string* field : {&id.VendorId, &id.ProductId, &id.Manufacturer, &id.Product, &id.Serial})
                    for (char& c : *field)
                        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
                return id;
            }
            return std::nullopt;
        }
        const std::string next = ReadLink(step);
        if (next.empty()) break;
        step = next.front() == '/' ? next : step.substr(0, step.rfind('/') + 1) + next;
    }
    return std::nullopt;
}

PortPaths DefaultPortPaths() {
    PortPaths p;
    p.PortsDir = DefaultConfigHome() + "/quarnelix-dfu/ports";
    return p;
}

std::string PortDevicePath(uint32_t port, const PortPaths& paths) {
    if (port == 0) return {};
    const std::string link = paths.PortsDir + "/com" + std::to_string(port);
    if (IsLink(link)) return link;
    for (const auto& [device, n] : UnlinkedNumbers(paths.PortsDir))
        if (n == port) return device;
    return paths.DevRoot + "/ttyS" + std::to_string(port - 1);
}

std::optional<std::vector<PresentPort>> ListPresentPorts(const PortPaths& paths, std::string* unkept) {
    const auto linkNames = ListDir(paths.PortsDir);
    const std::string ttyDir = paths.SysfsRoot + "/class/tty";
    const auto ttyNames = ListDir(ttyDir);
    if (!linkNames && !ttyNames) return std::nullopt;

    std::map<uint32_t, PresentPort> present;
    std::set<uint32_t> usedNumbers;         // every link, present or not, keeps its number
    std::map<std::string, uint32_t>& unlinked = UnlinkedNumbers(paths.PortsDir);
    for (const auto& [device, n] : unlinked) usedNumbers.insert(n);
    std::set<std::string> linkedDevices;    // real paths of the devices that links name
    if (linkNames) {
        for (const std::string& name : *linkNames) {
            uint32_t n = 0;
            const std::string path = paths.PortsDir + "/" + name;
            if (!ParseLinkName(name, n) || !IsLink(path)) continue;
            usedNumbers.insert(n);
            const std::string real = RealPath(path);
            if (real.empty()) continue;  // an adapter that is unplugged now
            linkedDevices.insert(real);
            present[n] = PresentPort{n, "COM" + std::to_string(n), ReadLink(path)};
        }
    }
    if (!ttyNames) {
        std::vector<PresentPort> out;
        for (auto& [n, p] : present) out.push_back(p);
        return out;
    }

    std::vector<std::string> adapters;
    for (const std::string& name : *ttyNames) {
        const std::string entry = ttyDir + "/" + name;
        if (!Exists(entry + "/device")) continue;
        const std::string node = paths.DevRoot + "/" + name;
        const std::string nodeReal = RealPath(node);
        if (!nodeReal.empty() && linkedDevices.count(nodeReal)) continue;
        uint32_t k = 0;
        if (ParseTtySIndex(name, k)) {
            if (Exists(entry + "/type") && ReadFirstLine(entry + "/type") == "0") continue;
            const uint32_t n = k + 1;
            if (usedNumbers.count(n) || present.count(n)) continue;
            present[n] = PresentPort{n, "COM" + std::to_string(n), node};
        } else if (IsAdapterName(name)) {
            adapters.push_back(name);
        }
    }
    for (const std::string& name : adapters) {
        const std::string node = paths.DevRoot + "/" + name;
        const std::string nodeReal = RealPath(node);
        if (nodeReal.empty()) continue;
        std::string target = ByIdPath(paths, nodeReal);
        if (target.empty()) target = node;
        if (const auto kept = unlinked.find(target); kept != unlinked.end()) {
            present[kept->second] = PresentPort{kept->second, "COM" + std::to_string(kept->second), target};
            continue;
        }
        uint32_t n = 3;
        while (usedNumbers.count(n) || present.count(n)) ++n;
        const std::string link = paths.PortsDir + "/com" + std::to_string(n);
        if (!MakeDirectories(paths.PortsDir) || ::symlink(target.c_str(), link.c_str()) != 0) {
            unlinked[target] = n;
            if (unkept)
                *unkept = "cannot create " + link + ": " + std::strerror(errno) +
                          "; the COM numbers of USB adapters will not survive a restart";
        }
        usedNumbers.insert(n);
        present[n] = PresentPort{n, "COM" + std::to_string(n), target};
    }

    std::vector<PresentPort> out;
    out.reserve(present.size());
    for (auto& [n, p] : present) out.push_back(p);
    return out;
}

}  // namespace qdfu
