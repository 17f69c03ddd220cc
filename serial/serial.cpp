// The serial driver's algorithms over whichever backend is installed.
#include "serial.h"

#include <cstdio>

#include "ports.h"
#include "settings.h"
#include "tcp_address.h"

namespace qdfu {

std::array<uint8_t, SERIAL_BUFFER_SIZE> TxBuffer{};
std::array<uint8_t, SERIAL_BUFFER_SIZE> RxBuffer{};
int32_t RxLast = 0;
bool SimulationMode = false;

namespace {

std::unique_ptr<SerialBackend> g_port;  // null when no port is open
PortResolver g_resolver;
BackendFactory g_factory;
std::string g_lastDevice;
std::string g_lastSystemError;
IdleHook g_idle;
bool g_callLines = false;

constexpr int kBaudRates[] = {110, 300, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
constexpr const char* kSpeedTexts[] = {"110",   "300",   "1200",  "2400",  "4800",
                                       "9600",  "19200", "38400", "57600", "115200"};
constexpr const char* kParityTexts[] = {"N", "E", "O"};
constexpr const char* kDataBitsTexts[] = {"4", "5", "6", "7", "8"};
constexpr const char* kStopBitsTexts[] = {"1", "1.5", "2"};

constexpr const char* kErrorTexts[] = {
    "OK",
    "PORT NOT OPENED",
    "CREATE HANDLE ERROR",
    "GETDCB ERROR",
    "SETDCB ERROR",
    "SPEED SET ERROR",
    "PARITY SET ERROR",
    "DATABITS SET ERROR",
    "STOPBITS SET ERROR",
    "TX ERROR",
    "RX ERROR (TIMEOUT)",
    "RX ERROR (CHAR)",
    "RX ERROR (FRAMELEN)",
    "RX ERROR (STX)",
    "RX ERROR (NODE)",
    "RX ERROR (CMD)",
    "RX ERROR (CHECKSUM)",
    "RX ERROR (NAK)",
    "RX ERROR (NO CARRIER)",
};

// A refusal as the bootloader sends it: FRAME_START, a status other than ACK, the command, the
// 8-bit sum of those three, FRAME_END at index 4.
bool CompleteRefusal(int32_t index) {
    return index == 4 && RxBuffer[0] == 0x03 && RxBuffer[1] != 0x06 && RxBuffer[4] == 0x02 &&
           static_cast<uint8_t>(RxBuffer[0] + RxBuffer[1] + RxBuffer[2]) == RxBuffer[3];
}

template <std::size_t N>
const char* TableText(const char* const (&table)[N], int32_t index) {
    return (index >= 0 && static_cast<std::size_t>(index) < N) ? table[index] : "?";
}

std::string ResolveDevice(uint32_t port) {
    if (g_resolver) return g_resolver(port);
    return PortDevicePath(port, DefaultPortPaths());
}

SerialError CloseWith(SerialError code) {
    SerialClose();
    return code;
}

}  // namespace

void SerialSetSimulation(bool on) { SimulationMode = on; }
void SerialSetCallLines(bool on) { g_callLines = on; }

SerialError SerialOpen(uint32_t port, int32_t speedIndex, int32_t parity, int32_t dataBitsIndex,
                       int32_t stopBits, int32_t timeoutMs) {
    if (g_port) return SERIAL_OK;

    g_lastDevice = ResolveDevice(port);
    g_lastSystemError.clear();
    auto backend = g_factory ? g_factory(g_lastDevice) : MakeBackendFor(g_lastDevice);
    if (g_lastDevice.empty()) {
        g_lastSystemError = "no device has that port number";
        return SERIAL_CREATE_HANDLE_ERROR;
    }
    if (!backend || !backend->Open(g_lastDevice)) {
        if (backend) g_lastSystemError = backend->LastError();
        return SERIAL_CREATE_HANDLE_ERROR;
    }
    g_port = std::move(backend);
    g_port->SetIdleHook(g_idle);

    if (!g_port->ReadSettings()) return CloseWith(SERIAL_GETDCB_ERROR);

    LineSettings line;
    if (speedIndex < 0 || speedIndex > 9) return CloseWith(SERIAL_SPEED_SET_ERROR);
    line.Baud = kBaudRates[speedIndex];
    if (parity < 0 || parity > 2) return CloseWith(SERIAL_PARITY_SET_ERROR);
    line.Parity = parity;
    if (dataBitsIndex < 0 || dataBitsIndex > 4) return CloseWith(SERIAL_DATABITS_SET_ERROR);
    line.DataBits = 4 + dataBitsIndex;
    if (stopBits < 0 || stopBits > 2) return CloseWith(SERIAL_STOPBITS_SET_ERROR);
    line.StopBits = stopBits;

    if (ProcessSettings().ApplyLineSettings == 1 && !g_port->ApplySettings(line))
        return CloseWith(SERIAL_SETDCB_ERROR);

    g_port->SetTimeouts(timeoutMs, WRITE_MS_PER_BYTE);
    return SERIAL_OK;
}

void SerialClose() {
    if (g_port) g_port->Close();
    g_port.reset();
}

bool SerialIsOpen() { return g_port != nullptr; }

SerialError SerialWrite(uint16_t count) {
    if (!g_port) return SERIAL_PORT_NOT_OPENED;
    g_port->DiscardInput();
    const std::size_t n = std::min<std::size_t>(count, TxBuffer.size());
    std::size_t written = 0;
    const bool ok = g_port->Write(TxBuffer.data(), n, written);
    return (!ok || written < count) ? SERIAL_TX_ERROR : SERIAL_OK;
}

SerialError SerialRead(int32_t expectedLength, bool lineMode) {
    RxBuffer.fill(0);
    if (!g_port) {
        RxLast = 0;
        return SERIAL_PORT_NOT_OPENED;
    }
    int32_t index = 0;
    bool startSeen = false;
    std::string modemLine;  // the text since the last line end, before the answer's start
    for (;;) {
        uint8_t byte = 0;
        if (g_port->ReadByte(byte) != ReadResult::Byte) {
            RxLast = index;
            return SERIAL_RX_TIMEOUT;
        }
        if (byte == 0x03 && !startSeen) {
            startSeen = true;
            index = 0;
        }
        RxBuffer[static_cast<std::size_t>(index)] = byte;
        if (g_callLines && !lineMode && !startSeen) {
            if (byte == '\r' || byte == '\n') {
                if (modemLine == "NO CARRIER") {
                    RxLast = index;
                    return SERIAL_RX_NO_CARRIER;
                }
                modemLine.clear();
            } else if (modemLine.size() < 16) {
                modemLine += static_cast<char>(byte);
            }
        }
        if (byte == 0x02 && (expectedLength == 0 || index + 1 == expectedLength || CompleteRefusal(index))) {
            RxLast = index;
            return SERIAL_OK;
        }
        if (byte == 0x0D && lineMode) {
            RxLast = index;
            return SERIAL_OK;
        }
        ++index;
        if (index > RX_MAX_INDEX) {
            RxLast = RX_MAX_INDEX + 1;
            return SERIAL_RX_TIMEOUT;
        }
    }
}

SerialError SerialTransact(uint16_t sendCount, int32_t expectedLength) {
    if (SimulationMode) return SERIAL_OK;
    SerialError result = SERIAL_OK;
    for (int attempt = 0; attempt < 2; ++attempt) {
        result = SerialWrite(sendCount);
        if (result == SERIAL_OK) result = SerialRead(expectedLength, false);
        if (result == SERIAL_RX_NO_CARRIER) return result;  // no one is left to try again with
        if (result == SERIAL_OK) {
            if (RxBuffer[1] == 0x06) return SERIAL_OK;
            result = SERIAL_RX_NAK;
        }
    }
    return result;
}

std::string SerialErrorText(int32_t code) {
    if (code < 0 || code >= static_cast<int32_t>(std::size(kErrorTexts))) return "UNDEFINED ERROR";
    return kErrorTexts[code];
}

std::string SerialDescribe(uint32_t port, int32_t speedIndex, int32_t parity, int32_t dataBitsIndex,
                           int32_t stopBits) {
    char text[96];
    std::snprintf(text, sizeof text, "COM%u:%s,%s,%s,%s", port, TableText(kSpeedTexts, speedIndex),
                  TableText(kParityTexts, parity), TableText(kDataBitsTexts, dataBitsIndex),
                  TableText(kStopBitsTexts, stopBits));
    return text;
}

SerialError SerialOpenDefault(uint32_t port, int32_t timeoutMs) {
    if (SimulationMode) return SERIAL_OK;
    return SerialOpen(port, 5, 0, 4, 0, timeoutMs);
}

void SerialCloseDefault() {
    if (!SimulationMode) SerialClose();
}

std::string SerialDescribeDefault(uint32_t port, const std::string& name) {
    // A port over TCP takes the line settings of its device server: none are claimed for it.
    if (IsTcpPort(name)) return name + " (TCP: line settings kept by the device server)";
    const std::string text = SerialDescribe(port, 5, 0, 4, 0);
    return name.empty() ? text : name + text.substr(text.find(':'));
}

void SerialReleaseForExit(const uint8_t* lastWords, std::size_t n) { ReleaseNativeDeviceForExit(lastWords, n); }

void SerialSetIdleHook(IdleHook hook) {
    g_idle = std::move(hook);
    if (g_port) g_port->SetIdleHook(g_idle);
}

void SerialSetPortResolver(PortResolver resolver) { g_resolver = std::move(resolver); }
void SerialSetBackendFactory(BackendFactory factory) { g_factory = std::move(factory); }
const std::string& SerialLastDevice() { return g_lastDevice; }
const std::string& SerialLastSystemError() { return g_lastSystemError; }
std::string SerialDeviceFor(uint32_t port) { return ResolveDevice(port); }

std::string SerialLineError() { return g_port ? g_port->LastError() : std::string(); }

}  // namespace qdfu
