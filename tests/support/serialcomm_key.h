// Windows tests: the registry key HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM, the source of
// the present ports there. The object saves the key's values when made and puts them back when it
// goes, so a test may leave the key in any state.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace qdfu::test {

class SerialCommKey {
public:
    using Values = std::vector<std::pair<std::string, std::string>>;  // value name, port name

    SerialCommKey();
    ~SerialCommKey();
    SerialCommKey(const SerialCommKey&) = delete;
    SerialCommKey& operator=(const SerialCommKey&) = delete;

    // Creates the key when missing; false if it cannot be written.
    static bool Set(const std::string& name, const std::string& port);
    static void Remove(const std::string& name);
    // Leaves exactly these values, in a key that exists even when there are none.
    static void Replace(const Values& values);
    // No key at all: the source is missing.
    static void Delete();

private:
    Values saved_;
    bool existed_ = false;
};

}  // namespace qdfu::test
