// The SERIALCOMM key for Windows tests: written volatile, so nothing of a test outlives the
// Wine prefix's session even if the test is killed before it restores the key.
#include "serialcomm_key.h"

#include <windows.h>

namespace qdfu::test {
namespace {

constexpr const char* kKey = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

HKEY CreateKey() {
    HKEY k = nullptr;
    if (::RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &k,
                          nullptr) != ERROR_SUCCESS)
        return nullptr;
    return k;
}

}  // namespace

SerialCommKey::SerialCommKey() {
    HKEY k = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &k) != ERROR_SUCCESS) return;
    existed_ = true;
    char name[256];
    char data[256];
    for (DWORD i = 0;; ++i) {
        DWORD nl = sizeof name, dl = sizeof data, type = 0;
        if (::RegEnumValueA(k, i, name, &nl, nullptr, &type, reinterpret_cast<BYTE*>(data), &dl) != ERROR_SUCCESS)
            break;
        std::string port(data, dl);
        while (!port.empty() && port.back() == '\0') port.pop_back();
        saved_.emplace_back(std::string(name, nl), port);
    }
    ::RegCloseKey(k);
}

SerialCommKey::~SerialCommKey() {
    if (existed_)
        Replace(saved_);
    else
        Delete();
}

bool SerialCommKey::Set(const std::string& name, const std::string& port) {
    const HKEY k = CreateKey();
    if (!k) return false;
    const LONG r = ::RegSetValueExA(k, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(port.c_str()),
                                    static_cast<DWORD>(port.size() + 1));
    ::RegCloseKey(k);
    return r == ERROR_SUCCESS;
}

void SerialCommKey::Remove(const std::string& name) {
    HKEY k = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ALL_ACCESS, &k) != ERROR_SUCCESS) return;
    ::RegDeleteValueA(k, name.c_str());
    ::RegCloseKey(k);
}

void SerialCommKey::Replace(const Values& values) {
    Delete();
    if (const HKEY k = CreateKey()) ::RegCloseKey(k);
    for (const auto& [name, port] : values) Set(name, port);
}

void SerialCommKey::Delete() { ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, kKey); }

}  // namespace qdfu::test
