// The window driving uploads and the manual command panel against the simulated device on a pty:
// the layout during and after a run, abort by the second press and by "Reload 'HEX'", the port
// text guard, settings stored at the start, and every panel command with its texts.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <qpa/qwindowsysteminterface.h>

#include <chrono>
#include <thread>

#include "device.h"
#include "serial.h"
#include "window_fixture.h"

namespace qdfu::test {
namespace {

class WindowUploadTest : public WindowTest {
protected:
    void StartDevice(sim::Options opt = {}) {
        device = std::make_unique<sim::Device>(opt);
        ASSERT_TRUE(device->Open()) << device->Error();
        device->Start();
        AddPort(3, device->Path());
        ResolvePorts();
        SettingsRecord r;
        r.PortNumber = 3;
        r.AutoPortSelect = 1;
        r.ApplyLineSettings = 1;
        r.HexFilePath = exe.File("demo.hex");
        WriteSettings(r);
    }
    void TearDown() override {
        form.reset();
        SerialClose();
        SerialSetSimulation(false);
        SerialSetPortResolver({});
        if (device) device->Stop();
    }
    QStringList LogLines() const { return form->Memo->toPlainText().split('\n'); }
    std::unique_ptr<sim::Device> device;
};

TEST_F(WindowUploadTest, CompleteRunShowsEverythingAndRestoresTheWindow) {
    StartDevice();
    TForm1& f = Open();
    f.CBEseguiVerifica->setChecked(true);
    int tallest = 0;
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, [&] { tallest = std::max(tallest, f.height()); });
    probe.start(1);
    f.BUploadClick();
    EXPECT_EQ(tallest, 556 + 60);
    EXPECT_EQ(f.height(), 556);
    EXPECT_EQ(f.STEsito->text(), "Trasferimento Firmware Completato");
    EXPECT_EQ(LogLines().last(), "Chiusura Porta di Comunicazione");
    EXPECT_EQ(LogLines().first(), "Parametri di Comunicazione: COM3:9600,N,8,1");
    EXPECT_EQ(f.STTot3->text(), QString::number(48 * 64));
    EXPECT_EQ(f.STFrame5->text(), "Reset CPU");
    EXPECT_TRUE(f.PStat->isVisible());
    EXPECT_FALSE(f.PUpload->isVisible());
    EXPECT_TRUE(f.RBDataBuffer->isChecked());
    EXPECT_TRUE(f.LBBuffer->isVisible());
    EXPECT_EQ(f.LBBuffer->currentRow(), 47);
    for (QWidget* w : std::initializer_list<QWidget*>{f.RBHex, f.RBData, f.LBData, f.LBHex, f.LBBuffer, f.BOpenHex})
        EXPECT_TRUE(w->isEnabled()) << w->objectName().toStdString();
    EXPECT_EQ(f.BUpload->text(), "Upload");
    EXPECT_FALSE(f.UploadActive);
    const auto mem = device->Memory();
    EXPECT_TRUE(std::equal(MemoryImage(), MemoryImage() + 48 * 64, mem.begin() + 0x2800));
    const SettingsRecord stored = Stored();
    EXPECT_EQ(stored.PortNumber, 3);
    EXPECT_EQ(stored.AutoPortSelect, 1);
    EXPECT_EQ(stored.ApplyLineSettings, 1);
    EXPECT_EQ(stored.VerifyAfterWrite, 1);
}

// After a run that failed mid-way, the next Upload of the same file to the same port asks whether
// to go on from the page where it stopped: Yes reads back what lies below it and goes on from there, and the run that completes
// leaves no resume point; the question is not asked again.
TEST_F(WindowUploadTest, UploadAfterAFailedRunAsksToGoOnFromThePageWhereItStopped) {
    StartDevice({.CutLineAt = {50}, .CutForMs = 300});  // frame 50 writes in the page at 0x3000
    TForm1& f = Open(100);
    f.CBEseguiVerifica->setChecked(true);
    f.BUploadClick();
    EXPECT_EQ(f.STEsito->text(), "Trasferimento Firmware Fallito!!!");
    EXPECT_TRUE(dialogs.questions.empty());
    std::this_thread::sleep_for(std::chrono::milliseconds(400));  // the line is back
    dialogs.yes = true;
    const std::size_t firstRun = device->Frames().size();
    f.BUploadClick();
    ASSERT_EQ(dialogs.questions.size(), 1u);
    EXPECT_NE(dialogs.questions[0].find("stopped in the page at 00003000"), std::string::npos) << dialogs.questions[0];
    EXPECT_EQ(f.STEsito->text(), "Trasferimento Firmware Completato");
    const auto frames = device->Frames();
    // the page below the point read back first (every block, with verification on), then its erase
    ASSERT_GT(frames.size(), firstRun + 34);
    for (std::size_t k = 1; k <= 32; ++k) EXPECT_EQ(frames[firstRun + k][1], 0xA3);
    EXPECT_EQ(frames[firstRun + 33], (std::vector<uint8_t>{0x03, 0xA1, 0x00, 0x30, 0x00, 0x00, 0xD4, 0x02}));
    const auto mem = device->Memory();
    EXPECT_TRUE(std::equal(MemoryImage(), MemoryImage() + 48 * 64, mem.begin() + 0x2800));
    f.BUploadClick();
    EXPECT_EQ(dialogs.questions.size(), 1u);
}

// The colour the outcome field shows in the window (inside its frame, beside its text).
QColor Painted(QWidget* w) {
    QWidget* window = w->window();
    const QRect area(w->mapTo(window, QPoint(0, 0)), w->size());
    return window->grab(area).toImage().pixelColor(4, 4);
}

// The outcome field is green after a completed run and red after one that did not complete, and
// takes its own colour again when the next run starts.
TEST_F(WindowUploadTest, OutcomeIsSeenAtAGlance) {
    StartDevice({.NakCommand = 0xA2});
    TForm1& f = Open();
    const QColor own = f.STEsito->palette().color(QPalette::Window);
    QColor during;
    f.BUploadClick();  // every write refused
    EXPECT_EQ(f.STEsito->text(), "Trasferimento Firmware Fallito!!!");
    EXPECT_EQ(Painted(f.STEsito), QColor(255, 0, 0));
    device->Stop();
    device.reset();
    RemovePort(3);
    StartDevice();
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, [&] {
        if (!during.isValid() && f.UploadActive) during = f.STEsito->palette().color(QPalette::Window);
    });
    probe.start(1);
    f.BUploadClick();
    EXPECT_EQ(during, own);
    EXPECT_EQ(f.STEsito->text(), "Trasferimento Firmware Completato");
    EXPECT_EQ(Painted(f.STEsito), QColor(0, 255, 0));
}

// A probe that notes when it was painted.
class PaintProbe final : public QWidget {
public:
    using QWidget::QWidget;
    std::chrono::steady_clock::time_point painted{};

protected:
    void paintEvent(QPaintEvent*) override { painted = std::chrono::steady_clock::now(); }
};

TEST_F(WindowUploadTest, WindowPaintsWhileTheLineWaitsAndInputWaitsForTheNextFixedPoint) {
    StartDevice({.Silent = true});
    TForm1& f = Open(1000);  // the firmware's answer to the first reset line is awaited 1 s
    auto* probe = new PaintProbe(&f);
    probe->setGeometry(700, 200, 20, 20);
    probe->show();
    QApplication::processEvents();
    using Clock = std::chrono::steady_clock;
    Clock::time_point posted{}, toggled{};
    QObject::connect(f.CheckBox1, &QCheckBox::toggled, [&] {
        toggled = Clock::now();
        f.BUploadClick();  // and the abort press, to be done sooner
    });
    std::thread poster([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        QMetaObject::invokeMethod(
            probe,
            [&] {
                posted = Clock::now();
                probe->update();
                // a click from the window system, as a user's would come
                const QPoint at = f.CheckBox1->mapTo(&f, QPoint(8, 8));
                for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease})
                    QWindowSystemInterface::handleMouseEvent<QWindowSystemInterface::AsynchronousDelivery>(
                        f.windowHandle(), at, f.mapToGlobal(at),
                        type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, Qt::LeftButton, type);
            },
            Qt::QueuedConnection);
    });
    f.BUploadClick();
    poster.join();
    ASSERT_NE(posted, Clock::time_point{});
    EXPECT_GT(probe->painted, posted);
    EXPECT_LT(probe->painted - posted, std::chrono::milliseconds(100));
    // the click came through only where the sequence processes events, after the 1 s wait
    ASSERT_NE(toggled, Clock::time_point{});
    EXPECT_GT(toggled - posted, std::chrono::milliseconds(500));
}

TEST_F(WindowUploadTest, SecondPressAborts) {
    StartDevice({.DelayMs = 5});
    TForm1& f = Open();
    QTimer::singleShot(60, [&] {
        EXPECT_EQ(f.BUpload->text(), "Interrompi");
        EXPECT_FALSE(f.BOpenHex->isEnabled());
        f.BUpload->click();
    });
    f.BUploadClick();
    EXPECT_EQ(f.STEsito->text(), "Trasferimento Firmware Fallito!!!");
    EXPECT_EQ(device->ResetCount(), 1);
    EXPECT_EQ(f.height(), 556);
    EXPECT_EQ(f.BUpload->text(), "Upload");
}

TEST_F(WindowUploadTest, ReloadDuringTheRunReloadsAndActsAsTheAbortPress) {
    StartDevice({.DelayMs = 5});
    TForm1& f = Open();
    QTimer::singleShot(60, [&] { f.BReloadHex->click(); });
    f.BUploadClick();
    EXPECT_EQ(f.STEsito->text(), "Trasferimento Firmware Fallito!!!");
    EXPECT_EQ(f.LBHex->count(), 215);
    EXPECT_FALSE(f.UploadActive);
}

TEST_F(WindowUploadTest, ReloadStartsTheUploadAtOnce) {
    StartDevice();
    TForm1& f = Open();
    f.BReloadHexClick();
    EXPECT_EQ(f.STEsito->text(), "Trasferimento Firmware Completato");
    EXPECT_EQ(device->ResetCount(), 1);
}

TEST_F(WindowUploadTest, NoPortChosenGoesBackToIdleWithAMessage) {
    StartDevice();
    TForm1& f = Open();
    f.ComboBox1->setCurrentIndex(-1);
    f.BUploadClick();
    EXPECT_EQ(dialogs.errors, std::vector<std::string>{"'' is not a valid integer value"});
    EXPECT_EQ(f.height(), 556);
    EXPECT_EQ(f.BUpload->text(), "Upload");
    EXPECT_FALSE(f.UploadActive);
    EXPECT_FALSE(f.PStat->isVisible());
    EXPECT_TRUE(f.BOpenHex->isEnabled());
    EXPECT_EQ(device->FrameCount(), 0);
}

TEST_F(WindowUploadTest, SimulationUploadOpensNoPort) {
    StartDevice();
    TForm1& f = Open();
    f.CBSimulazione->setChecked(true);
    f.BUploadClick();
    EXPECT_EQ(f.STEsito->text(), "Trasferimento Firmware Completato");
    EXPECT_EQ(device->FrameCount(), 0);
}

TEST_F(WindowUploadTest, GsmThroughTheChosenPortSavesNothing) {
    StartDevice({.Gsm = true});
    TForm1& f = Open();
    f.CheckBox1->setChecked(true);
    f.Edit1->setText("3351234567");
    std::filesystem::remove(exe.File(kSettingsFileName));
    f.BUploadClick();
    EXPECT_EQ(f.STEsito->text(), "Trasferimento Firmware Completato");
    EXPECT_TRUE(device->Connected());
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(exe.File(kSettingsFileName))));
}

// ---- manual command panel ----

using ManualPanelTest = WindowUploadTest;

TEST_F(ManualPanelTest, ShortcutShowsAndHidesThePanel) {
    StartDevice();
    TForm1& f = Open();
    QApplication::setActiveWindow(&f);
    QTest::keyClick(&f, Qt::Key_M, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_TRUE(f.ManualPanelShown());
    EXPECT_TRUE(f.BReset->isVisible());
    EXPECT_TRUE(f.StaticText6->isVisible());
    EXPECT_GE(f.height(), f.ERstFrame->geometry().bottom());
    QTest::keyClick(&f, Qt::Key_M, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_FALSE(f.ManualPanelShown());
    EXPECT_FALSE(f.BReset->isVisible());
    EXPECT_EQ(f.height(), 556);
}

TEST_F(ManualPanelTest, PanelIsOffDuringAnUploadAndTheWindowFitsA768Screen) {
    StartDevice({.DelayMs = 5});
    TForm1& f = Open();
    f.ToggleManualPanel();
    constexpr int kTitleBar = 32;
    EXPECT_LE(f.height() + kTitleBar, 768);
    EXPECT_LE(f.BReset->geometry().bottom(), f.height() - 1);
    int tallest = 0;
    bool pressed = false;
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, [&] {
        tallest = std::max(tallest, f.height());
        if (f.UploadActive && !pressed) {
            pressed = true;
            EXPECT_FALSE(f.BStartDFU->isEnabled());
            f.BStartDFUClick();  // a programmatic click too does nothing now
            f.ToggleManualPanel();
        }
    });
    probe.start(20);
    f.BUploadClick();
    EXPECT_TRUE(pressed);
    EXPECT_LE(tallest + kTitleBar, 768);
    EXPECT_EQ(f.STEsito->text(), "Trasferimento Firmware Completato");
    EXPECT_EQ(f.EStartFrame->text(), "");
    EXPECT_TRUE(f.ManualPanelShown());
    EXPECT_TRUE(f.BStartDFU->isVisible());
    EXPECT_TRUE(f.BStartDFU->isEnabled());
    EXPECT_EQ(f.height(), kManualPanelHeight);
}

TEST_F(ManualPanelTest, ReadLengthAndAddressDefaults) {
    StartDevice();
    TForm1& f = Open();
    for (const char* len : {"", "0", "FF"}) {
        f.ELeggiLen->setText(len);
        f.ELeggiAddress->setText("2800");
        f.BLeggiClick();
        EXPECT_EQ(f.ELeggiLen->text(), "10") << len;
        EXPECT_EQ(f.ELeggiAddress->text(), "00002800");
        EXPECT_EQ(f.ELeggiDati->text(), QString("FF ").repeated(16));
    }
    f.ELeggiAddress->setText("xyz");
    f.BLeggiClick();
    EXPECT_EQ(f.ELeggiAddress->text(), "00000000");
    EXPECT_TRUE(dialogs.errors.empty());
}

TEST_F(ManualPanelTest, WriteTokensEraseStartAndReset) {
    StartDevice();
    TForm1& f = Open();
    f.EScriviAddress->setText("2800");
    f.EScriviDati->setText("1 2  3");
    EXPECT_EQ(f.EScriviLen->text(), "3");
    f.BScriviClick();
    EXPECT_EQ(f.EScriviDati->text(), "01 02 03 ");
    EXPECT_EQ(f.EScriviAddress->text(), "00002800");
    EXPECT_TRUE(f.EScriviFrame->text().startsWith("03A20300280000010203D602->0306"));
    EXPECT_TRUE(f.EScriviFrame->text().endsWith("02 "));
    EXPECT_EQ(device->Memory()[0x2802], 3);

    QStringList twenty;
    for (int i = 0; i < 20; ++i) twenty << QString::number(i + 0x10, 16);
    f.EScriviDati->setText(twenty.join(' '));
    EXPECT_EQ(f.EScriviLen->text(), "20");
    f.BScriviClick();
    EXPECT_EQ(f.EScriviLen->text(), "16");
    EXPECT_EQ(device->Frames().back()[2], 16);

    f.EScriviDati->setText("");
    f.BScriviClick();
    EXPECT_EQ(f.EScriviLen->text(), "16");
    EXPECT_EQ(device->Frames().back().size(), 9u);

    f.EEraseAddress->setText("2800");
    f.BEraseClick();
    EXPECT_TRUE(f.EEraseFrame->text().startsWith("03A100280000CC02  -  0306"));
    EXPECT_EQ(device->Memory()[0x2802], 0xFF);

    f.BStartDFUClick();
    EXPECT_TRUE(f.EStartFrame->text().startsWith("03555802  -  0306"));
    f.BResetClick();
    EXPECT_TRUE(f.ERstFrame->text().startsWith("03A5A802  -  0306"));
    EXPECT_EQ(device->ResetCount(), 1);
    EXPECT_TRUE(f.BLeggi->isEnabled());
    EXPECT_TRUE(f.BErase->isEnabled());
    EXPECT_TRUE(dialogs.errors.empty());
}

TEST_F(ManualPanelTest, EraseAtTheInitialAddressSendsTheWorkedFrame) {
    StartDevice();
    TForm1& f = Open();
    f.BEraseClick();
    EXPECT_TRUE(f.EEraseFrame->text().startsWith("03A100003000D402  -  03"));
    EXPECT_EQ(dialogs.errors, std::vector<std::string>{"RX ERROR (NAK)"});  // outside the device's flash
}

TEST_F(ManualPanelTest, PortThatCannotBeOpened) {
    StartDevice();
    TForm1& f = Open();
    f.ComboBox1->setCurrentIndex(-1);
    bool buttonsEnabledAtMessage = false;
    dialogs.onError = [&](const QString&) { buttonsEnabledAtMessage = f.BLeggi->isEnabled(); };
    f.BStartDFUClick();
    EXPECT_EQ(dialogs.errors, std::vector<std::string>{"CREATE HANDLE ERROR"});
    EXPECT_TRUE(buttonsEnabledAtMessage);
    EXPECT_EQ(device->FrameCount(), 0);
}

TEST_F(ManualPanelTest, LongDataTextIsHandledWhole) {
    StartDevice();
    TForm1& f = Open();
    QString text = QString("AB ").repeated(150);
    f.EScriviDati->setText(text);
    EXPECT_EQ(f.EScriviLen->text(), "150");
    f.EScriviAddress->setText("2800");
    f.BScriviClick();
    EXPECT_EQ(device->Frames().back()[2], 16);
}

}  // namespace
}  // namespace qdfu::test
