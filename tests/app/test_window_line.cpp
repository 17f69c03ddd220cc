// The manual command panel against a bare line whose device end the test itself answers: the
// exact frame a read sends and how the answer is shown. A pseudo-terminal is needed for that, so
// this part runs where the tests have one.
#include <QLineEdit>

#include "pty_pair.h"
#include "window_fixture.h"

namespace qdfu::test {
namespace {

class ManualPanelLineTest : public WindowTest {
protected:
    void TearDown() override {
        form.reset();
        SerialClose();
        SerialSetPortResolver({});
    }
};

TEST_F(ManualPanelLineTest, ReadAtTheInitialAddressShowsTheFrameAndTheData) {
    PtyPair pty;
    std::vector<uint8_t> sent;
    PtyResponder responder(pty, [&](const std::vector<uint8_t>& got) {
        sent = got;
        std::vector<uint8_t> a{0x03, 0x06};
        for (int i = 0; i < 16; ++i) a.push_back(static_cast<uint8_t>(0x02 + i));
        a.push_back(0x77);
        a.push_back(0x02);
        return a;
    });
    AddPort(3, pty.Path());
    ResolvePorts();
    SettingsRecord r;
    r.PortNumber = 3;
    r.AutoPortSelect = 1;
    WriteSettings(r);
    TForm1& f = Open();
    EXPECT_EQ(f.ELeggiAddress->text(), "300000");
    f.BLeggiClick();
    EXPECT_EQ(f.ELeggiAddress->text(), "00300000");
    EXPECT_EQ(sent, (std::vector<uint8_t>{0x03, 0xA3, 0x10, 0x00, 0x00, 0x30, 0x00, 0xE6, 0x02}));
    EXPECT_EQ(f.ELeggiFrame->text(), "03A31000003000E602  -  0306"
                                     "02030405060708090A0B0C0D0E0F1011"
                                     "7702");
    EXPECT_EQ(f.ELeggiDati->text(), "02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 ");
}

}  // namespace
}  // namespace qdfu::test
