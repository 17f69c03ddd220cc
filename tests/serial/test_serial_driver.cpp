// Serial driver over real pseudo-terminals: argument order, open state, reception rules,
// transactions, simulation, exclusive access, untouched line settings, a vanishing device.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>

#include "pty_pair.h"
#include "serial.h"
#include "settings.h"

namespace qdfu {
namespace {

using Clock = std::chrono::steady_clock;
using test::PtyPair;
using test::PtyResponder;

class SerialDriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        SerialClose();
        SerialSetSimulation(false);
        ProcessSettings().ApplyLineSettings = 1;
        SerialSetPortResolver([this](uint32_t n) { return n == 1 ? pty.Path() : std::string(); });
    }
    void TearDown() override {
        SerialClose();
        SerialSetPortResolver({});
        ProcessSettings() = SettingsRecord{};
    }
    // Opens port 1 with a short per-byte time-out.
    void OpenShort(int timeoutMs = 100) { ASSERT_EQ(SerialOpen(1, 5, 0, 4, 0, timeoutMs), SERIAL_OK); }
    std::vector<uint8_t> Rx() const { return {RxBuffer.begin(), RxBuffer.begin() + RxLast + 1}; }

    PtyPair pty;
};

TEST_F(SerialDriverTest, ArgumentsAreTestedInOrderAndLeaveThePortClosed) {
    struct Case { int speed, parity, bits, stop; SerialError code; } cases[] = {
        {10, 3, 5, 3, SERIAL_SPEED_SET_ERROR}, {-1, 0, 4, 0, SERIAL_SPEED_SET_ERROR},
        {5, 3, 5, 3, SERIAL_PARITY_SET_ERROR}, {5, 0, 5, 3, SERIAL_DATABITS_SET_ERROR},
        {5, 0, 4, 3, SERIAL_STOPBITS_SET_ERROR}, {5, -1, 4, 0, SERIAL_PARITY_SET_ERROR},
    };
    for (int apply : {1, 0}) {
        ProcessSettings().ApplyLineSettings = apply;
        for (const auto& c : cases) {
            EXPECT_EQ(SerialOpen(1, c.speed, c.parity, c.bits, c.stop, 100), c.code);
            EXPECT_FALSE(SerialIsOpen());
        }
    }
}

TEST_F(SerialDriverTest, AlreadyOpenReturnsZeroAndChangesNothing) {
    OpenShort();
    EXPECT_EQ(SerialOpen(99, 42, 42, 42, 42, 1), SERIAL_OK);
    EXPECT_TRUE(SerialIsOpen());
    EXPECT_EQ(SerialLastDevice(), pty.Path());
}

TEST_F(SerialDriverTest, PortThatNamesNothingCannotBeOpened) {
    EXPECT_EQ(SerialOpen(0, 5, 0, 4, 0, 100), SERIAL_CREATE_HANDLE_ERROR);
    EXPECT_EQ(SerialOpen(2, 5, 0, 4, 0, 100), SERIAL_CREATE_HANDLE_ERROR);
    EXPECT_FALSE(SerialIsOpen());
}

TEST_F(SerialDriverTest, FourBitCharactersCannotBeApplied) {
    EXPECT_EQ(SerialOpen(1, 5, 0, 0, 0, 100), SERIAL_SETDCB_ERROR);
    EXPECT_FALSE(SerialIsOpen());
    ProcessSettings().ApplyLineSettings = 0;
    EXPECT_EQ(SerialOpen(1, 5, 0, 0, 0, 100), SERIAL_OK);
}

// A pty keeps the speed but forces 8 data bits without parity, so character size, parity and
// stop bits are checked through a backend that records what the driver asks for.
TEST_F(SerialDriverTest, LineSettingsAreLeftAloneUnlessTheSwitchIsOne) {
    const int fd = ::open(pty.Path().c_str(), O_RDWR | O_NOCTTY);
    termios before{};
    ::tcgetattr(fd, &before);
    ::cfsetospeed(&before, B1200);
    ::cfsetispeed(&before, B1200);
    ::tcsetattr(fd, TCSANOW, &before);
    ProcessSettings().ApplyLineSettings = 2;
    OpenShort();
    termios after{};
    ::tcgetattr(fd, &after);
    EXPECT_EQ(::cfgetospeed(&after), B1200);
    EXPECT_FALSE(after.c_lflag & (ICANON | ECHO));  // still byte-transparent
    SerialClose();
    ProcessSettings().ApplyLineSettings = 1;
    ASSERT_EQ(SerialOpen(1, 9, 1, 4, 2, 100), SERIAL_OK);
    ::tcgetattr(fd, &after);
    EXPECT_EQ(::cfgetospeed(&after), B115200);
    EXPECT_TRUE(after.c_cflag & CLOCAL);
    EXPECT_TRUE(after.c_cflag & CREAD);
    EXPECT_FALSE(after.c_cflag & CRTSCTS);
    EXPECT_FALSE(after.c_iflag & (IXON | IXOFF | INPCK));
    ::close(fd);
}

class RecordingBackend final : public SerialBackend {
public:
    explicit RecordingBackend(std::vector<LineSettings>& applied) : applied_(applied) {}
    bool Open(const std::string&) override { return true; }
    bool ReadSettings() override { return true; }
    bool ApplySettings(const LineSettings& s) override {
        applied_.push_back(s);
        return true;
    }
    void SetTimeouts(int, int) override {}
    void DiscardInput() override {}
    bool Write(const uint8_t*, std::size_t n, std::size_t& written) override {
        written = n;
        return true;
    }
    ReadResult ReadByte(uint8_t&) override { return ReadResult::Timeout; }
    void Close() override {}

private:
    std::vector<LineSettings>& applied_;
};

TEST_F(SerialDriverTest, IndexesMapToLineSettings) {
    std::vector<LineSettings> applied;
    SerialSetBackendFactory([&](const std::string&) { return std::make_unique<RecordingBackend>(applied); });
    struct Case { int speed, parity, bits, stop; LineSettings expect; } cases[] = {
        {0, 0, 1, 0, {110, 0, 5, 0}}, {5, 1, 4, 1, {9600, 1, 8, 1}}, {9, 2, 3, 2, {115200, 2, 7, 2}}};
    for (const auto& c : cases) {
        ASSERT_EQ(SerialOpen(1, c.speed, c.parity, c.bits, c.stop, 100), SERIAL_OK);
        SerialClose();
        ASSERT_FALSE(applied.empty());
        EXPECT_EQ(applied.back().Baud, c.expect.Baud);
        EXPECT_EQ(applied.back().Parity, c.expect.Parity);
        EXPECT_EQ(applied.back().DataBits, c.expect.DataBits);
        EXPECT_EQ(applied.back().StopBits, c.expect.StopBits);
    }
    ProcessSettings().ApplyLineSettings = 0;
    applied.clear();
    ASSERT_EQ(SerialOpen(1, 5, 0, 4, 0, 100), SERIAL_OK);
    EXPECT_TRUE(applied.empty());
    SerialClose();
    SerialSetBackendFactory({});
}

TEST_F(SerialDriverTest, SecondOpenOfTheSameDeviceFailsEvenForRoot) {
    int toChild[2];
    int toParent[2];
    ASSERT_EQ(::pipe(toChild), 0);
    ASSERT_EQ(::pipe(toParent), 0);
    const pid_t child = ::fork();
    if (child == 0) {  // a second process with its own driver state, forked before the open
        char go = 0;
        if (::read(toChild[0], &go, 1) != 1) ::_exit(100);
        const char code = static_cast<char>(SerialOpen(1, 5, 0, 4, 0, 100));
        if (::write(toParent[1], &code, 1) != 1) ::_exit(101);
        ::_exit(0);
    }
    OpenShort();
    const int fd = ::open(pty.Path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) {  // root gets past TIOCEXCL; the lock still holds
        EXPECT_NE(::flock(fd, LOCK_EX | LOCK_NB), 0);
        ::close(fd);
    }
    char code = 0;
    ASSERT_EQ(::write(toChild[1], "g", 1), 1);
    ASSERT_EQ(::read(toParent[0], &code, 1), 1);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(code, SERIAL_CREATE_HANDLE_ERROR);
    SerialClose();
    EXPECT_EQ(SerialOpen(1, 5, 0, 4, 0, 100), SERIAL_OK);  // free again once closed
    for (int f : {toChild[0], toChild[1], toParent[0], toParent[1]}) ::close(f);
}

TEST_F(SerialDriverTest, NoPortOpen) {
    RxBuffer.fill(0x55);
    RxLast = 7;
    EXPECT_EQ(SerialWrite(4), SERIAL_PORT_NOT_OPENED);
    EXPECT_EQ(SerialRead(0, false), SERIAL_PORT_NOT_OPENED);
    EXPECT_EQ(RxLast, 0);
    EXPECT_EQ(RxBuffer[0], 0);
    EXPECT_EQ(RxBuffer[1020], 0);
}

TEST_F(SerialDriverTest, WriteSendsTheFirstCountBytes) {
    OpenShort();
    TxBuffer = {};
    TxBuffer[0] = 0x03;
    TxBuffer[1] = 0x55;
    TxBuffer[2] = 0x58;
    TxBuffer[3] = 0x02;
    TxBuffer[4] = 0xEE;
    EXPECT_EQ(SerialWrite(4), SERIAL_OK);
    EXPECT_EQ(pty.Receive(), (std::vector<uint8_t>{0x03, 0x55, 0x58, 0x02}));
}

struct ReadCase {
    const char* name;
    std::vector<uint8_t> incoming;
    int32_t expected;
    bool lineMode;
    SerialError code;
    int32_t rxLast;
    std::vector<uint8_t> frame;  // RxBuffer[0..RxLast] on success
    bool callLines = false;
};

class SerialReadTableTest : public SerialDriverTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(SerialReadTableTest, Reception) {
    const ReadCase& c = GetParam();
    OpenShort(60);
    SerialSetCallLines(c.callLines);
    pty.Send(c.incoming);
    EXPECT_EQ(SerialRead(c.expected, c.lineMode), c.code);
    SerialSetCallLines(false);
    EXPECT_EQ(RxLast, c.rxLast);
    if (c.code == SERIAL_OK) {
        EXPECT_EQ(Rx(), c.frame);
    }
}

const std::vector<uint8_t> kRead4WithEtxInside{0x03, 0x06, 0x02, 0x11, 0x22, 0x55, 0x9A, 0x02};
const std::vector<uint8_t> kReadRefused{0x03, 0x15, 0xA3, 0xBB, 0x02};
const std::vector<uint8_t> kNoCarrier{'\r', '\n', 'N', 'O', ' ', 'C', 'A', 'R', 'R', 'I', 'E', 'R', '\r', '\n'};

INSTANTIATE_TEST_SUITE_P(
    Rules, SerialReadTableTest,
    ::testing::Values(
        ReadCase{"ShortAck", {0x03, 0x06, 0x02}, 0, false, SERIAL_OK, 2, {0x03, 0x06, 0x02}},
        ReadCase{"NoiseBeforeStart", {0xAA, 0xBB, 0xCC, 0xDD, 0x03, 0x06, 0x02}, 0, false, SERIAL_OK, 2, {0x03, 0x06, 0x02}},
        ReadCase{"SecondStartIsData", {0x03, 0x06, 0x03, 0x02}, 0, false, SERIAL_OK, 3, {0x03, 0x06, 0x03, 0x02}},
        ReadCase{"ExactLengthReadsPastInnerEtx", kRead4WithEtxInside, 8, false, SERIAL_OK, 7, kRead4WithEtxInside},
        ReadCase{"LengthZeroStopsAtInnerEtx", kRead4WithEtxInside, 0, false, SERIAL_OK, 2, {0x03, 0x06, 0x02}},
        ReadCase{"NoStartStoredFromZero", {0x41, 0x06, 0x02}, 0, false, SERIAL_OK, 2, {0x41, 0x06, 0x02}},
        ReadCase{"LineModeEndsAtCarriageReturn", {'O', 'K', 0x0D, 'X'}, 18, true, SERIAL_OK, 2, {'O', 'K', 0x0D}},
        ReadCase{"CarriageReturnIgnoredOutsideLineMode", {'O', 'K', 0x0D}, 18, false, SERIAL_RX_TIMEOUT, 3, {}},
        ReadCase{"TooLongExpectationNeverMet", {0x03, 0x06, 0x02}, 300, false, SERIAL_RX_TIMEOUT, 3, {}},
        ReadCase{"NegativeExpectationNeverMet", {0x03, 0x06, 0x02}, -1, false, SERIAL_RX_TIMEOUT, 3, {}},
        ReadCase{"NegativeExpectationLineMode", {0x03, 0x06, 0x02, 0x0D}, -5, true, SERIAL_OK, 3, {0x03, 0x06, 0x02, 0x0D}},
        ReadCase{"SilenceTimesOut", {}, 0, false, SERIAL_RX_TIMEOUT, 0, {}},
        // a refusal is complete at its fifth byte, whatever length the read expected
        ReadCase{"RefusalEndsALongerRead", kReadRefused, 20, false, SERIAL_OK, 4, kReadRefused},
        ReadCase{"AcknowledgedFiveBytesAreNoRefusal", {0x03, 0x06, 0xA3, 0xAC, 0x02}, 20, false, SERIAL_RX_TIMEOUT, 5, {}},
        ReadCase{"RefusalWithAnotherSumIsNone", {0x03, 0x15, 0xA3, 0x00, 0x02}, 20, false, SERIAL_RX_TIMEOUT, 5, {}},
        ReadCase{"NoCarrierEndsTheWaitInACall", kNoCarrier, 0, false, SERIAL_RX_NO_CARRIER, 12, {}, true},
        ReadCase{"NoCarrierIsNothingOutsideACall", kNoCarrier, 0, false, SERIAL_RX_TIMEOUT, 14, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SerialDriverTest, TwoHundredFiftySixBytesWithoutAnEnd) {
    OpenShort();
    pty.Send(std::vector<uint8_t>(300, 0x41));
    EXPECT_EQ(SerialRead(0, false), SERIAL_RX_TIMEOUT);
    EXPECT_EQ(RxLast, 256);
    EXPECT_EQ(RxBuffer[255], 0x41);
    EXPECT_EQ(RxBuffer[256], 0);
}

TEST_F(SerialDriverTest, SurplusNoiseStaysBehindTheFrame) {
    OpenShort();
    pty.Send(std::vector<uint8_t>{1, 1, 1, 1, 1, 0x03, 0x06, 0x02});
    EXPECT_EQ(SerialRead(0, false), SERIAL_OK);
    EXPECT_EQ(RxLast, 2);
    EXPECT_EQ(RxBuffer[3], 1);
    EXPECT_EQ(RxBuffer[4], 1);
}

TEST_F(SerialDriverTest, TransactAcceptsAnAcknowledgedAnswer) {
    OpenShort();
    PtyResponder responder(pty, [](const auto&) { return std::vector<uint8_t>{0x03, 0x06, 0x5E, 0x02}; });
    TxBuffer = {0x03, 0x55, 0x58, 0x02};
    EXPECT_EQ(SerialTransact(4, 0), SERIAL_OK);
    EXPECT_EQ(RxLast, 3);
}

TEST_F(SerialDriverTest, TransactTriesTwiceThenGivesNak) {
    OpenShort();
    PtyResponder responder(pty, [](const auto&) { return std::vector<uint8_t>{0x03, 0x15, 0x02}; });
    TxBuffer = {0x03, 0x55, 0x58, 0x02};
    EXPECT_EQ(SerialTransact(4, 0), SERIAL_RX_NAK);
    EXPECT_EQ(responder.Chunks(), 2);
}

TEST_F(SerialDriverTest, TransactEndsAtOnceWhenTheCallDrops) {
    OpenShort(30000);
    SerialSetCallLines(true);
    PtyResponder responder(pty, [](const auto&) { return kNoCarrier; });
    TxBuffer = {0x03, 0x55, 0x58, 0x02};
    EXPECT_EQ(SerialTransact(4, 0), SERIAL_RX_NO_CARRIER);
    SerialSetCallLines(false);
    EXPECT_EQ(responder.Chunks(), 1);
}

TEST_F(SerialDriverTest, TransactWithoutAnswerCostsTwoTimeOuts) {
    OpenShort(150);
    const auto t0 = Clock::now();
    EXPECT_EQ(SerialTransact(4, 0), SERIAL_RX_TIMEOUT);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
    EXPECT_GE(ms, 290);
    EXPECT_LT(ms, 2000);
    const auto sent = pty.Receive(50);
    EXPECT_EQ(sent.size(), 8u);  // the same four bytes twice
}

TEST_F(SerialDriverTest, IdleHookRunsThroughoutASilentWaitWithoutChangingIt) {
    OpenShort(3000);
    std::vector<Clock::time_point> calls;
    int32_t lastWaited = 0, lastLeft = 0;
    SerialSetIdleHook([&](int32_t waited, int32_t left) {
        calls.push_back(Clock::now());
        lastWaited = waited;
        lastLeft = left;
    });
    const auto t0 = Clock::now();
    EXPECT_EQ(SerialRead(18, true), SERIAL_RX_TIMEOUT);
    const auto t1 = Clock::now();
    SerialSetIdleHook({});
    using std::chrono::milliseconds;
    EXPECT_GE(t1 - t0, milliseconds(3000));
    EXPECT_LT(t1 - t0, milliseconds(3000 + IDLE_SLICE_MS + 30));  // no longer by more than a slice
    ASSERT_GE(calls.size(), 3000u / 50);  // every 50 ms at least, on the whole
    Clock::duration longest = calls.front() - t0;
    for (std::size_t i = 1; i < calls.size(); ++i) longest = std::max(longest, calls[i] - calls[i - 1]);
    longest = std::max(longest, t1 - calls.back());
    EXPECT_LE(longest, milliseconds(100));  // a slice, and room for a busy scheduler
    EXPECT_NEAR(lastWaited + lastLeft, 3000, 5);
}

// The hook's slices never move a deadline: a time-out that is not a whole number of slices ends
// on time, not at the next slice; and a write that has to wait for the line calls the hook too.
TEST_F(SerialDriverTest, IdleSlicesKeepExactDeadlinesAndCoverWrites) {
    OpenShort(3000);
    int calls = 0;
    SerialSetIdleHook([&](int32_t, int32_t) { ++calls; });
    for (const int32_t timeoutMs : {50, 95, 130}) {
        SerialClose();
        OpenShort(timeoutMs);
        const auto t0 = Clock::now();
        EXPECT_EQ(SerialRead(18, true), SERIAL_RX_TIMEOUT);
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
        EXPECT_GE(ms, timeoutMs);
        EXPECT_LT(ms, timeoutMs + 25) << timeoutMs;  // the next slice would end later
    }
    EXPECT_GT(calls, 0);
    // The device end reads nothing until the hook has run three times, so the line fills and a
    // write must wait in slices, calling the hook in each (one wait of its whole time-out would
    // call it once, too late).
    bool drained = false;
    int waits = 0;
    SerialSetIdleHook([&](int32_t, int32_t) {
        if (++waits >= 3) drained = !pty.Receive(0).empty() || drained;
    });
    TxBuffer.fill(0x55);
    for (int i = 0; i < 400 && !drained; ++i) ASSERT_EQ(SerialWrite(static_cast<uint16_t>(TxBuffer.size())), SERIAL_OK);
    SerialSetIdleHook({});
    EXPECT_TRUE(drained);
}

TEST_F(SerialDriverTest, StrayEtxFailsTheFirstAttemptOnly) {
    OpenShort();
    int calls = 0;
    PtyResponder responder(pty, [&](const auto&) {
        return ++calls == 1 ? std::vector<uint8_t>{0x00, 0x02} : std::vector<uint8_t>{0x03, 0x06, 0x02};
    });
    EXPECT_EQ(SerialTransact(4, 0), SERIAL_OK);
    EXPECT_EQ(calls, 2);
}

TEST_F(SerialDriverTest, SimulationTouchesNothing) {
    SerialSetSimulation(true);
    RxBuffer.fill(0x77);
    RxLast = 5;
    EXPECT_EQ(SerialOpenDefault(1), SERIAL_OK);
    EXPECT_FALSE(SerialIsOpen());
    EXPECT_EQ(SerialTransact(4, 0), SERIAL_OK);
    EXPECT_EQ(RxBuffer[0], 0x77);
    EXPECT_EQ(RxLast, 5);
    EXPECT_EQ(SerialWrite(4), SERIAL_PORT_NOT_OPENED);
    EXPECT_EQ(SerialRead(0, false), SERIAL_PORT_NOT_OPENED);
    SerialSetSimulation(false);
}

TEST_F(SerialDriverTest, PortOpenedBeforeSimulationStaysOpen) {
    OpenShort();
    SerialSetSimulation(true);
    SerialCloseDefault();
    EXPECT_TRUE(SerialIsOpen());
    SerialSetSimulation(false);
}

TEST_F(SerialDriverTest, VanishedDeviceFailsAtOnceAndStaysFailed) {
    OpenShort(2000);
    pty.Send(std::vector<uint8_t>{0x03, 0x06});
    std::thread cut([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pty.CloseMaster();
    });
    const auto t0 = Clock::now();
    EXPECT_EQ(SerialRead(0, false), SERIAL_RX_TIMEOUT);
    cut.join();
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(1500));
    EXPECT_EQ(RxLast, 2);
    const auto t1 = Clock::now();
    EXPECT_EQ(SerialWrite(4), SERIAL_TX_ERROR);
    EXPECT_EQ(SerialTransact(4, 0), SERIAL_TX_ERROR);
    EXPECT_EQ(SerialRead(0, false), SERIAL_RX_TIMEOUT);
    EXPECT_LT(Clock::now() - t1, std::chrono::milliseconds(500));
    EXPECT_TRUE(SerialIsOpen());
    SerialClose();
    EXPECT_FALSE(SerialIsOpen());
}

TEST(SerialTextTest, ErrorTexts) {
    EXPECT_EQ(SerialErrorText(0), "OK");
    EXPECT_EQ(SerialErrorText(2), "CREATE HANDLE ERROR");
    EXPECT_EQ(SerialErrorText(10), "RX ERROR (TIMEOUT)");
    EXPECT_EQ(SerialErrorText(16), "RX ERROR (CHECKSUM)");
    EXPECT_EQ(SerialErrorText(17), "RX ERROR (NAK)");
    EXPECT_EQ(SerialErrorText(18), "RX ERROR (NO CARRIER)");
    EXPECT_EQ(SerialErrorText(19), "UNDEFINED ERROR");
    EXPECT_EQ(SerialErrorText(-1), "UNDEFINED ERROR");
}

TEST(SerialTextTest, Describe) {
    EXPECT_EQ(SerialDescribeDefault(3), "COM3:9600,N,8,1");
    EXPECT_EQ(SerialDescribe(12, 12, 1, 3, 1), "COM12:?,E,7,1.5");
    EXPECT_EQ(SerialDescribe(1, 9, 2, 5, 3), "COM1:115200,O,?,?");
    EXPECT_EQ(SerialDescribe(4294967295u, 0, -1, 0, 2), "COM4294967295:110,?,4,2");
}

}  // namespace
}  // namespace qdfu
