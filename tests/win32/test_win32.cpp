// Windows only: the DCB and time-outs the backend applies (table-driven), the driver over the
// Win32 backend against the simulated device, the present ports read from the registry's
// SERIALCOMM key, and what the driver says of a port that is not there.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "device.h"
#include "frames.h"
#include "ports.h"
#include "serial.h"
#include "serialcomm_key.h"
#include "settings.h"
#include "win32_comm.h"

namespace qdfu {
namespace {

struct LineCase {
    LineSettings in;
    DWORD baud;
    BYTE parity;
    BYTE size;
    BYTE stop;
};

class Win32LineSettingsTest : public ::testing::TestWithParam<LineCase> {};

TEST_P(Win32LineSettingsTest, FieldsFlagsAndWhatIsKept) {
    const LineCase& c = GetParam();
    DCB current;
    std::memset(&current, 0xFF, sizeof current);  // every flag bit set, the reserved ones too
    current.DCBlength = 0;
    current.XonLim = 11;
    current.XoffLim = 22;
    current.XonChar = 0x11;
    current.XoffChar = 0x13;
    current.ErrorChar = '?';
    current.EofChar = 0x1A;
    current.EvtChar = 0x7E;
    const DCB d = Win32LineSettings(current, c.in);
    EXPECT_EQ(d.DCBlength, 28u);
    EXPECT_EQ(d.BaudRate, c.baud);
    EXPECT_EQ(d.Parity, c.parity);
    EXPECT_EQ(d.ByteSize, c.size);
    EXPECT_EQ(d.StopBits, c.stop);
    // the flags word is 1: binary mode, nothing else
    DWORD flags = 0;
    std::memcpy(&flags, reinterpret_cast<const char*>(&d) + 2 * sizeof(DWORD), sizeof flags);
    EXPECT_EQ(flags, 1u);
    EXPECT_EQ(d.wReserved, 0);
    EXPECT_EQ(d.fBinary, 1u);
    for (DWORD flag : {DWORD{d.fParity}, DWORD{d.fOutxCtsFlow}, DWORD{d.fOutxDsrFlow}, DWORD{d.fDtrControl},
                       DWORD{d.fDsrSensitivity}, DWORD{d.fTXContinueOnXoff}, DWORD{d.fOutX}, DWORD{d.fInX},
                       DWORD{d.fErrorChar}, DWORD{d.fNull}, DWORD{d.fRtsControl}, DWORD{d.fAbortOnError}})
        EXPECT_EQ(flag, 0u);
    EXPECT_EQ(d.XonLim, 11);
    EXPECT_EQ(d.XoffLim, 22);
    EXPECT_EQ(d.XonChar, 0x11);
    EXPECT_EQ(d.XoffChar, 0x13);
    EXPECT_EQ(d.ErrorChar, '?');
    EXPECT_EQ(d.EofChar, 0x1A);
    EXPECT_EQ(d.EvtChar, 0x7E);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Win32LineSettingsTest,
    ::testing::Values(LineCase{{9600, 0, 8, 0}, 9600, NOPARITY, 8, ONESTOPBIT},
                      LineCase{{110, 1, 7, 2}, 110, EVENPARITY, 7, TWOSTOPBITS},     // 1 is even
                      LineCase{{115200, 2, 5, 1}, 115200, ODDPARITY, 5, ONE5STOPBITS},  // 2 is odd
                      LineCase{{19200, 0, 4, 0}, 19200, NOPARITY, 4, ONESTOPBIT}));

struct TimeoutCase {
    int readMs;
    DWORD intervalBefore;
    DWORD intervalAfter;
};

class Win32TimeoutsTest : public ::testing::TestWithParam<TimeoutCase> {};

TEST_P(Win32TimeoutsTest, PerByteReadAndWriteMultipliersOnly) {
    const TimeoutCase& c = GetParam();
    COMMTIMEOUTS current{c.intervalBefore, 5, 6, 7, 8};
    const COMMTIMEOUTS t = Win32Timeouts(current, c.readMs, WRITE_MS_PER_BYTE);
    EXPECT_EQ(t.ReadIntervalTimeout, c.intervalAfter);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, static_cast<DWORD>(std::max(c.readMs, 0)));
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 100u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 0u);
}

INSTANTIATE_TEST_SUITE_P(Table, Win32TimeoutsTest,
                         ::testing::Values(TimeoutCase{3000, 0, 0}, TimeoutCase{150, 40, 40},
                                           TimeoutCase{0, 0, MAXDWORD},     // never an endless read
                                           TimeoutCase{-5, 40, MAXDWORD}));  // nor below 0

// The SERIALCOMM key as the test leaves it: its values saved first and put back after.
class SerialCommTest : public ::testing::Test {
protected:
    static std::vector<std::string> Listed() {
        const auto ports = ListPresentPorts(DefaultPortPaths());
        if (!ports) return {"missing"};
        std::vector<std::string> out;
        for (const PresentPort& p : *ports) out.push_back(p.Device + "=" + p.Name + "#" + std::to_string(p.Number));
        return out;
    }
    test::SerialCommKey key_;
};

TEST_F(SerialCommTest, PresentSeveralEmptyAndMissing) {
    using Key = test::SerialCommKey;
    Key::Replace({{"\\Device\\Serial0", "COM1"}});
    EXPECT_EQ(Listed(), (std::vector<std::string>{"\\Device\\Serial0=COM1#1"}));
    Key::Replace({{"\\Device\\Serial0", "COM1"}, {"\\Device\\VCP0", "COM12"}, {"\\Device\\Odd", "PORT"}});
    const auto several = Listed();
    ASSERT_EQ(several.size(), 3u);  // in the registry's order, not sorted
    EXPECT_NE(std::find(several.begin(), several.end(), "\\Device\\VCP0=COM12#12"), several.end());
    EXPECT_NE(std::find(several.begin(), several.end(), "\\Device\\Odd=PORT#0"), several.end());
    // none of them is a USB adapter that SetupAPI knows of, by device or by port name
    EXPECT_FALSE(UsbIdentityOf("\\Device\\VCP0", DefaultPortPaths()).has_value());
    EXPECT_FALSE(UsbIdentityOf("COM12", DefaultPortPaths()).has_value());
    Key::Replace({});
    ASSERT_TRUE(Key::Set("\\Device\\Gone", "COM4"));
    Key::Remove("\\Device\\Gone");
    EXPECT_EQ(Listed(), std::vector<std::string>{});
    Key::Delete();
    EXPECT_EQ(Listed(), std::vector<std::string>{"missing"});
}

// The driver over the Win32 backend against the host's simulated device, through a COM port.
class Win32DriverTest : public ::testing::Test {
protected:
    void Open(sim::Options opt = {}) {
        device = std::make_unique<sim::Device>(opt);
        ASSERT_TRUE(device->Open()) << device->Error();
        SerialClose();
        SerialSetSimulation(false);
        ProcessSettings().ApplyLineSettings = 1;
        SerialSetPortResolver([this](uint32_t) { return device->Path(); });
        ASSERT_EQ(SerialOpenDefault(1, 150), SERIAL_OK) << SerialLastSystemError();
    }
    void TearDown() override {
        SerialClose();
        SerialSetPortResolver({});
        if (device) device->Stop();
    }
    std::unique_ptr<sim::Device> device;
};

TEST_F(Win32DriverTest, ExchangesAnswersAndRefusals) {
    Open({.NakCommand = CMD_ERASE});
    EXPECT_EQ(SerialOpenDefault(1, 3000), SERIAL_OK);  // already open: nothing changes
    EXPECT_EQ(SerialTransact(static_cast<uint16_t>(StartDfuFrame()), 0), SERIAL_OK);
    EXPECT_EQ(RxLast, 4);
    EXPECT_EQ(SerialTransact(static_cast<uint16_t>(ReadFrame(64, 0x2800)), 68), SERIAL_OK);
    EXPECT_EQ(RxLast, 67);
    EXPECT_EQ(RxBuffer[2], 0xFF);
    EXPECT_EQ(SerialTransact(static_cast<uint16_t>(EraseFrame(0x2800)), 0), SERIAL_RX_NAK);
    SerialWrite(PutText(TEXT_RESET_1));
    EXPECT_EQ(SerialRead(18, true), SERIAL_RX_TIMEOUT);  // the firmware left: the bootloader runs
    EXPECT_EQ(device->FrameCount(), 4);  // the refused erase was tried twice
}

// With an idle hook the waits come in slices that call it, and the time-outs stay the same; the
// slices' own time-outs never wait for ever.
TEST_F(Win32DriverTest, SilentDeviceCostsTwoTimeOutsPerExchangeWithOrWithoutTheIdleHook) {
    Open({.Silent = true});
    for (const bool hooked : {false, true}) {
        std::vector<std::chrono::steady_clock::time_point> calls;
        if (hooked) SerialSetIdleHook([&](int32_t, int32_t) { calls.push_back(std::chrono::steady_clock::now()); });
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(SerialTransact(static_cast<uint16_t>(StartDfuFrame()), 0), SERIAL_RX_TIMEOUT);
        const auto t1 = std::chrono::steady_clock::now();
        SerialSetIdleHook({});
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t1 - t0).count();
        EXPECT_GE(ms, 290) << hooked;
        EXPECT_LT(ms, 2000) << hooked;
        EXPECT_EQ(RxLast, 0);
        if (!hooked) continue;
        ASSERT_GE(calls.size(), 300u / 50);
        auto longest = calls.front() - t0;
        for (std::size_t i = 1; i < calls.size(); ++i) longest = std::max(longest, calls[i] - calls[i - 1]);
        EXPECT_LE(longest, std::chrono::milliseconds(200));  // a slice, and room for Wine's scheduler
    }
    const COMMTIMEOUTS perByte = Win32Timeouts(COMMTIMEOUTS{7, 5, 6, 7, 8}, 3000, WRITE_MS_PER_BYTE);
    for (const int slice : {40, 3, 0, -1}) {
        const COMMTIMEOUTS t = Win32SliceTimeouts(perByte, slice);
        EXPECT_EQ(t.ReadIntervalTimeout, 0u);
        EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
        EXPECT_EQ(t.ReadTotalTimeoutConstant, static_cast<DWORD>(std::max(slice, 1)));  // never 0: that waits for ever
        EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 100u);
    }
}

TEST(Win32PortTest, ComNumbersNameDevicesAndAMissingPortSaysWhy) {
    EXPECT_EQ(PortDevicePath(12, DefaultPortPaths()), "\\\\.\\COM12");
    EXPECT_EQ(PortDevicePath(0, DefaultPortPaths()), "");
    SerialSetSimulation(false);
    EXPECT_EQ(SerialOpenDefault(250, 100), SERIAL_CREATE_HANDLE_ERROR);
    EXPECT_EQ(SerialLastDevice(), "\\\\.\\COM250");
    EXPECT_FALSE(SerialLastSystemError().empty());
    EXPECT_FALSE(SerialIsOpen());
}

}  // namespace
}  // namespace qdfu
