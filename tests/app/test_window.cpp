// The window under the offscreen platform: start-up from the settings file, opening and
// reloading HEX files, the three views, the port list over a fake source, and the layout.
#include <QApplication>
#include <QAbstractButton>
#include <QDateTime>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>
#include <QScrollBar>
#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QTimer>

#include "window_fixture.h"

namespace qdfu::test {
namespace {

const QString kCaption = QStringLiteral("DFU dsPIC Quarnelix V3 Firmware Upgrade - Versione 1.05   15/11/2010");

SettingsRecord Record(int32_t port, int32_t autoSelect, std::string hex = {}, int32_t apply = 1) {
    SettingsRecord r;
    r.PortNumber = port;
    r.AutoPortSelect = autoSelect;
    r.HexFilePath = std::move(hex);
    r.ApplyLineSettings = apply;
    return r;
}

using StartupTest = WindowTest;

TEST_F(StartupTest, FirstStartWithoutSettingsFile) {
    TForm1& f = Open();
    EXPECT_TRUE(f.CBEseguiVerifica->isChecked());
    EXPECT_TRUE(f.RadioButton2->isChecked());
    EXPECT_EQ(f.ComboBox1->count(), 99);
    EXPECT_EQ(f.ComboBox1->itemText(0), "COM1");
    EXPECT_EQ(f.ComboBox1->itemText(98), "COM99");
    EXPECT_EQ(f.ComboBox1->currentIndex(), -1);
    EXPECT_TRUE(f.CBBelvotra->isChecked());
    EXPECT_FALSE(f.BReloadHex->isEnabled());
    EXPECT_FALSE(f.BUpload->isEnabled());
    EXPECT_TRUE(f.BOpenHex->isEnabled());
    EXPECT_EQ(f.StatusBar->currentMessage(), kCaption);
    EXPECT_EQ(f.windowTitle(), kCaption);
    EXPECT_EQ(f.LBHex->count(), 0);
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(exe.File(kSettingsFileName))));
}

TEST_F(StartupTest, AutoWithTheStoredPortPresentLoadsTheRememberedFile) {
    AddPort(10);
    AddPort(3);
    WriteSettings(Record(3, 1, exe.File("demo.hex")));
    TForm1& f = Open();
    EXPECT_TRUE(f.RadioButton1->isChecked());
    ASSERT_EQ(f.ComboBox1->count(), 2);
    EXPECT_EQ(f.ComboBox1->currentText(), "COM3");
    EXPECT_FALSE(f.CBBelvotra->isChecked());
    EXPECT_FALSE(f.CBEseguiVerifica->isChecked());  // the stored byte is 0
    EXPECT_EQ(f.LBHex->count(), 215);
    EXPECT_EQ(f.LBData->count(), 215);
    EXPECT_EQ(f.LBBuffer->count(), 48);
    EXPECT_EQ(f.LBHex->currentRow(), 0);
    EXPECT_TRUE(f.BReloadHex->isEnabled());
    EXPECT_TRUE(f.BUpload->isEnabled());
    EXPECT_TRUE(f.RBData->isEnabled());
    EXPECT_EQ(f.windowTitle(), kCaption);  // the start-up load leaves the caption
    EXPECT_EQ(f.Label3->text().toStdString(), exe.File("demo.hex"));
    EXPECT_EQ(f.ImageStart, 0x2800);
}

TEST_F(StartupTest, PortNumbersThatSelectNothing) {
    AddPort(3);
    for (int32_t port : {0, -1, 7}) {
        WriteSettings(Record(port, 1, exe.File("demo.hex")));
        TForm1& f = Open();
        EXPECT_EQ(f.ComboBox1->currentIndex(), -1) << port;
        EXPECT_FALSE(f.BUpload->isEnabled()) << port;
        EXPECT_FALSE(f.BReloadHex->isEnabled()) << port;
        EXPECT_EQ(f.LBHex->count(), 215);
    }
}

TEST_F(StartupTest, RememberedFileDeletedSinceTheLastRun) {
    AddPort(3);
    WriteSettings(Record(3, 1, exe.File("gone.hex")));
    TForm1& f = Open();
    EXPECT_EQ(f.LBHex->count(), 0);
    EXPECT_EQ(f.Label3->text(), "- - -");
    EXPECT_EQ(f.Label5->text(), "- - -");
    EXPECT_FALSE(f.BUpload->isEnabled());
}

TEST_F(StartupTest, DeletingTheFileThenChangingThePortDisablesTheButtons) {
    AddPort(3);
    AddPort(4);
    WriteSettings(Record(3, 1, exe.File("demo.hex")));
    TForm1& f = Open();
    ASSERT_TRUE(f.BUpload->isEnabled());
    std::filesystem::remove(exe.File("demo.hex"));
    f.ComboBox1->setCurrentIndex(1);
    f.ComboBox1Change();
    EXPECT_FALSE(f.BUpload->isEnabled());
    EXPECT_FALSE(f.BReloadHex->isEnabled());
}

TEST_F(StartupTest, ManualModeRestoresTheStoredPort) {
    WriteSettings(Record(5, 0));
    TForm1& f = Open();
    EXPECT_TRUE(f.RadioButton2->isChecked());
    EXPECT_EQ(f.ComboBox1->count(), 99);
    EXPECT_EQ(f.ComboBox1->currentText(), "COM5");
}

// ---- opening and reloading ----

using HexFileTest = WindowTest;

TEST_F(HexFileTest, OpenValidFile) {
    TForm1& f = Open();
    const QString path = QString::fromStdString(exe.File("demo.hex"));
    dialogs.answers.push_back(path);
    f.BOpenHexClick();
    ASSERT_EQ(dialogs.requests.size(), 1u);
    EXPECT_EQ(dialogs.requests[0].Title, "File Hex");
    EXPECT_EQ(dialogs.requests[0].Filter, "File Hex (*.HEX)");
    EXPECT_EQ(dialogs.requests[0].DefaultSuffix, "*.HEX");
    EXPECT_EQ(dialogs.requests[0].InitialPath.toStdString(), exe.Path());
    EXPECT_EQ(f.Label3->text(), path);
    EXPECT_TRUE(f.Label5->text().contains(" - "));
    EXPECT_EQ(f.windowTitle(), kCaption + " - " + path);
    EXPECT_EQ(f.StatusBar->currentMessage(), "256 bytes below 0x2800 are not uploaded");
    EXPECT_EQ(f.LBHex->currentRow(), 0);
    const std::string settings = exe.Read(kSettingsFileName);
    ASSERT_EQ(settings.size(), 269u);
    const SettingsRecord stored = Stored();
    EXPECT_EQ(stored.HexFilePath, exe.File("demo.hex"));
    EXPECT_EQ(stored.PortNumber, -1);
    EXPECT_EQ(stored.AutoPortSelect, 0);

    dialogs.answers.push_back(path);  // the next dialog opens on the file itself
    f.BOpenHexClick();
    EXPECT_EQ(dialogs.requests[1].InitialPath, path);
    EXPECT_EQ(f.windowTitle(), kCaption + " - " + path);  // the caption does not grow
}

TEST_F(HexFileTest, CancelChangesNothing) {
    TForm1& f = Open();
    f.BOpenHexClick();
    EXPECT_EQ(f.Label3->text(), "- - -");
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(exe.File(kSettingsFileName))));
}

TEST_F(HexFileTest, InvalidFileIsReportedAndStillRemembered) {
    exe.Write("bad.hex", ":00000001FF\r\n\r\n:0128000099FF\r\n");
    AddPort(3);
    WriteSettings(Record(3, 1));
    TForm1& f = Open();
    dialogs.answers.push_back(QString::fromStdString(exe.File("bad.hex")));
    f.BOpenHexClick();
    EXPECT_EQ(dialogs.errors, std::vector<std::string>{"Invalid HEX File"});
    EXPECT_EQ(f.LBHex->count(), 0);
    EXPECT_EQ(f.LBData->count(), 0);
    EXPECT_EQ(f.LBBuffer->count(), 0);
    EXPECT_FALSE(f.RBHex->isEnabled());
    EXPECT_EQ(Stored().HexFilePath, exe.File("bad.hex"));
    EXPECT_EQ(f.Label3->text().toStdString(), exe.File("bad.hex"));
    EXPECT_TRUE(f.BUpload->isEnabled());  // the button rule looks at the file's existence only
}

// Refusals name their cause in the status bar; a damaged file (a wrong checksum, no end-of-file
// record) is loaded only when the user says so; a file that cannot be uploaded loads, and Upload
// says why and opens nothing.
TEST_F(HexFileTest, RefusalsSayWhyAndADamagedFileAsksFirst) {
    const std::string damaged = ":0428000011223344FF\r\n:00000001FF\r\n";  // the checksum should be 2A
    const std::string checksum = "line 1: checksum 0xFF, the record's bytes give 0x2A: the file is damaged";
    const std::string cut = "the file has no end-of-file record (type 01): it was cut short, perhaps by a failed download";
    const std::string pastTop = "data at 0x0002C000: the controller's program memory ends at 0x2B000 (is this file "
                                "built for another device?)";
    struct Case {
        const char* name;
        std::string text;
        bool answer;
        bool loaded;
        std::vector<std::string> errors, questions;
        std::string status;  // "" for the caption
        std::string refusal;  // what Upload says, "" when it is not pressed
    } cases[] = {
        {"damaged, No", damaged, false, false, {}, {checksum + "\n\nLoad the file all the same?"}, checksum, ""},
        {"damaged, Yes", damaged, true, true, {}, {checksum + "\n\nLoad the file all the same?"}, "", ""},
        {"cut, No", ":04280000112233442A\r\n", false, false, {}, {cut + "\n\nLoad the file all the same?"}, cut, ""},
        {"beyond", ":04280000112233442A\r\n:020000040010EA\r\n:040000001122334452\r\n", false, false,
         {"Invalid HEX File"}, {},
         "line 3: data at 0x00100000: the controller's program memory ends at 0x2B000 (is this file built for "
         "another device?)", ""},
        {"below 0x2800", ":041000001122334442\r\n:00000001FF\r\n", false, true, {}, {},
         "4 bytes below 0x2800 are not uploaded", NothingToUploadText()},
        {"past the top", ":04280000112233442A\r\n:020000040002F8\r\n:04C000001122334492\r\n:00000001FF\r\n",
         false, true, {}, {}, "", pastTop},
    };
    AddPort(3);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        exe.Write("f.hex", c.text);
        WriteSettings(Record(3, 1));
        dialogs = FakeDialogs{};
        dialogs.yes = c.answer;
        TForm1& f = Open();
        dialogs.answers.push_back(QString::fromStdString(exe.File("f.hex")));
        f.BOpenHexClick();
        EXPECT_EQ(dialogs.errors, c.errors);
        EXPECT_EQ(dialogs.questions, c.questions);
        EXPECT_EQ(f.RBHex->isEnabled(), c.loaded);
        EXPECT_EQ(f.StatusBar->currentMessage().toStdString(), c.status.empty() ? f.windowTitle().toStdString() : c.status);
        if (c.refusal.empty()) continue;
        f.BUploadClick();
        EXPECT_EQ(f.StatusBar->currentMessage().toStdString(), c.refusal);
        EXPECT_EQ(f.Memo->toPlainText().toStdString(), c.refusal);
        EXPECT_EQ(f.BUpload->text(), "Upload");
        EXPECT_FALSE(f.PUpload->isVisible());
    }
}

// A HEX file named on the command line, or dropped onto the window, opens as "Open 'HEX'" opens it
// and is remembered; anything else dropped is not taken.
TEST_F(HexFileTest, FileArgumentAndDroppedFileOpenAsOpenHexDoes) {
    TForm1& f = Open(150, QString::fromStdString(exe.File("demo.hex")));
    EXPECT_EQ(f.Label3->text().toStdString(), exe.File("demo.hex"));
    EXPECT_EQ(Stored().HexFilePath, exe.File("demo.hex"));
    EXPECT_TRUE(f.RBHex->isEnabled());
    std::filesystem::copy_file(exe.File("demo.hex"), exe.File("dropped.HEX"));
    exe.Write("notes.txt", "not firmware");
    auto drop = [&](const std::string& path) {
        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(path))});
        QDragEnterEvent enter(QPoint(100, 100), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&f, &enter);
        if (!enter.isAccepted()) return false;
        QDropEvent dropped(QPointF(100, 100), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&f, &dropped);
        return true;
    };
    EXPECT_FALSE(drop(exe.File("notes.txt")));
    EXPECT_EQ(Stored().HexFilePath, exe.File("demo.hex"));
    EXPECT_TRUE(drop(exe.File("dropped.HEX")));
    EXPECT_EQ(f.Label3->text().toStdString(), exe.File("dropped.HEX"));
    EXPECT_EQ(Stored().HexFilePath, exe.File("dropped.HEX"));
    EXPECT_TRUE(f.windowTitle().endsWith(QString::fromStdString(exe.File("dropped.HEX"))));
}

TEST_F(HexFileTest, ReloadWithTheFileDeletedDoesNothing) {
    AddPort(3);
    WriteSettings(Record(3, 1, exe.File("demo.hex")));
    TForm1& f = Open();
    std::filesystem::remove(exe.File("demo.hex"));
    f.Memo->setPlainText("kept");
    f.BReloadHexClick();
    EXPECT_EQ(f.Memo->toPlainText(), "kept");
    EXPECT_EQ(f.LBHex->count(), 215);
}

TEST_F(HexFileTest, PathLongerThan255CharactersIsRefused) {
    std::string dir = exe.Path();
    while (dir.size() < 260) dir += "/deeper_folder_name";
    std::filesystem::create_directories(dir);
    std::filesystem::copy_file(exe.File("demo.hex"), dir + "/demo.hex");
    TForm1& f = Open();
    dialogs.answers.push_back(QString::fromStdString(dir + "/demo.hex"));
    f.BOpenHexClick();
    ASSERT_EQ(dialogs.errors.size(), 1u);
    EXPECT_NE(dialogs.errors[0].find("255"), std::string::npos);
    EXPECT_EQ(f.LBHex->count(), 0);
    EXPECT_EQ(f.Label3->text(), "- - -");
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(exe.File(kSettingsFileName))));
}

TEST_F(HexFileTest, FarTooLargeFileIsRejectedAsInvalid) {
    exe.Write("huge.hex", "");
    std::filesystem::resize_file(exe.File("huge.hex"), (64u << 20) + 1);
    TForm1& f = Open();
    dialogs.answers.push_back(QString::fromStdString(exe.File("huge.hex")));
    f.BOpenHexClick();
    EXPECT_EQ(dialogs.errors, std::vector<std::string>{"Invalid HEX File"});
    EXPECT_EQ(f.LBHex->count(), 0);
    EXPECT_FALSE(f.RBHex->isEnabled());
    EXPECT_TRUE(f.windowTitle().endsWith(QString::fromStdString(exe.File("huge.hex"))));  // as any invalid file
    EXPECT_EQ(f.StatusBar->currentMessage().toStdString(),
              "the file is larger than 64 MiB: it is no HEX file for this controller");
}

TEST_F(HexFileTest, FileDateTimeTextOfAMissingFile) {
    EXPECT_EQ(TForm1::FileDateTimeText(QStringLiteral("/no/such/file.hex")), "not found");
}

// ---- views ----

using ViewTest = WindowTest;

TEST_F(ViewTest, SelectionAndTopLineCarryBetweenRawAndInterpreted) {
    AddPort(3);
    WriteSettings(Record(3, 1, exe.File("demo.hex")));
    TForm1& f = Open();
    f.RBData->setChecked(true);
    f.RBTypeClick();
    EXPECT_TRUE(f.LBData->isVisible());
    EXPECT_FALSE(f.LBHex->isVisible());
    EXPECT_EQ(f.LBData->currentRow(), 0);
    f.LBData->setCurrentRow(100);
    f.LBData->scrollToItem(f.LBData->item(90), QAbstractItemView::PositionAtTop);
    f.RBHex->setChecked(true);
    f.RBTypeClick();
    EXPECT_EQ(f.LBHex->currentRow(), 100);
    EXPECT_EQ(f.LBHex->indexAt(QPoint(2, 2)).row(), 90);
    f.RBData->setChecked(true);
    f.RBTypeClick();
    EXPECT_EQ(f.LBData->currentRow(), 100);
    EXPECT_EQ(f.LBData->indexAt(QPoint(2, 2)).row(), 90);
}

TEST_F(ViewTest, FromTheDumpBackToRawTakesTheInterpretedPosition) {
    AddPort(3);
    WriteSettings(Record(3, 1, exe.File("demo.hex")));
    TForm1& f = Open();
    f.RBData->setChecked(true);
    f.RBTypeClick();
    f.LBData->setCurrentRow(50);
    f.RBHex->setChecked(true);
    f.RBTypeClick();
    f.LBHex->setCurrentRow(7);  // the raw view moves on its own
    f.RBDataBuffer->setChecked(true);
    f.RBTypeClick();
    EXPECT_TRUE(f.LBBuffer->isVisible());
    EXPECT_FALSE(f.LBData->isVisible());
    f.RBHex->setChecked(true);
    f.RBTypeClick();
    EXPECT_EQ(f.LBHex->currentRow(), 50);
}

// ---- port list ----

using PortListTest = WindowTest;

TEST_F(PortListTest, SourceOrderUnplugReplaceAndMissingSource) {
    AddPort(10);
    AddPort(3);
    WriteSettings(Record(3, 1, exe.File("demo.hex")));
    TForm1& f = Open();
    ASSERT_EQ(f.ComboBox1->count(), 2);
    EXPECT_EQ(f.ComboBox1->itemText(0), "COM3");
    EXPECT_EQ(f.ComboBox1->itemText(1), "COM10");
    EXPECT_EQ(f.CB_SUP->count(), 2);

    f.ComboBox1->setCurrentIndex(1);  // the user picks COM10; discovery re-selects the stored port
    RemovePort(10);
    AddPort(11);
    f.Timer1Timer();  // same count: not rebuilt
    EXPECT_EQ(f.ComboBox1->itemText(1), "COM10");
    RemovePort(11);
    f.Timer1Timer();
    ASSERT_EQ(f.ComboBox1->count(), 1);
    EXPECT_EQ(f.ComboBox1->currentText(), "COM3");

    RemovePort(3);
    f.Timer1Timer();
    EXPECT_EQ(f.ComboBox1->count(), 0);
    EXPECT_FALSE(f.BUpload->isEnabled());
}

TEST_F(PortListTest, AutoWithTheSourceMissingLeavesAnEmptyList) {
    ports.MakeSourceMissing();
    WriteSettings(Record(3, 0, exe.File("demo.hex")));
    TForm1& f = Open();
    f.ComboBox1->setCurrentIndex(2);
    f.ComboBox1Change();
    ASSERT_TRUE(f.BUpload->isEnabled());
    f.RadioButton1->setChecked(true);
    EXPECT_EQ(f.ComboBox1->count(), 0);
    EXPECT_TRUE(f.BUpload->isEnabled());  // buttons keep their state
}

TEST_F(PortListTest, ManualListAndAPortPluggedIn) {
    AddPort(3);
    WriteSettings(Record(3, 0, exe.File("demo.hex")));
    TForm1& f = Open();
    ASSERT_EQ(f.ComboBox1->count(), 99);
    f.Timer1Timer();
    EXPECT_EQ(f.ComboBox1->count(), 99);  // the present count did not change
    AddPort(4);
    f.Timer1Timer();
    EXPECT_EQ(f.ComboBox1->count(), 2);
    EXPECT_EQ(f.ComboBox1->currentText(), "COM3");
    EXPECT_TRUE(f.RadioButton2->isChecked());
}

TEST_F(PortListTest, ManualWithStoredPortsOutsideTheList) {
    for (int32_t port : {0, -1}) {
        WriteSettings(Record(port, 0));
        TForm1& f = Open();
        EXPECT_EQ(f.ComboBox1->count(), 99);
        EXPECT_EQ(f.ComboBox1->currentIndex(), -1);
    }
}

// ---- layout ----

struct ControlCase {
    const char* name;
    int x, y, w, h;
    const char* text;  // nullptr: not checked
    bool visible;
};

TEST_F(WindowTest, EveryControlHasItsNameGeometryCaptionAndState) {
    TForm1& f = Open();
    EXPECT_EQ(f.width(), 966);
    EXPECT_EQ(f.height(), 556);
    EXPECT_EQ(f.minimumSize(), f.maximumSize());
    EXPECT_FALSE(f.windowFlags() & Qt::WindowMaximizeButtonHint);
    const ControlCase cases[] = {
        {"StaticText1", 0, 8, 481, 20, "Hex File Dump", true},
        {"LBHex", 0, 28, 481, 394, nullptr, true},
        {"LBData", 0, 28, 481, 394, nullptr, false},
        {"LBBuffer", 0, 28, 486, 394, nullptr, false},
        {"Panel1", 0, 426, 487, 27, nullptr, true},
        {"RBHex", 4, 4, 133, 17, "Visualizza HEX", true},
        {"RBDataBuffer", 148, 4, 81, 17, "DataBuffer", true},
        {"RBData", 244, 4, 133, 17, "Visualizza Interpretato", true},
        {"StaticText2", 492, 8, 469, 20, "Upload Status", true},
        {"Memo", 492, 28, 469, 112, nullptr, true},
        {"PStat", 492, 141, 469, 313, nullptr, false},
        {"CheckBox1", 500, 432, 101, 17, "Upgrade GSM", true},
        {"Edit1", 604, 430, 93, 21, "", true},
        {"Panel2", 0, 455, 237, 45, nullptr, true},
        {"ComboBox1", 71, 2, 88, 21, nullptr, true},
        {"RadioButton1", 162, 5, 70, 17, "AUTO", true},
        {"RadioButton2", 162, 24, 70, 17, "MANUAL", true},
        {"CBBelvotra", 71, 24, 84, 17, "Belvotra", true},
        {"BOpenHex", 243, 455, 244, 45, "Open 'HEX'", true},
        {"BReloadHex", 492, 455, 238, 45, "Reload 'HEX'", true},
        {"BUpload", 736, 455, 225, 45, "Upload", true},
        {"Panel4", 0, 500, 965, 54, nullptr, true},
        {"StatusBar", 0, 537, 966, 19, nullptr, true},
        {"StaticText4", 8, 8, 353, 20, "Indirizzo in Scrittura Attuale", false},
        {"StaticText5", 8, 28, 353, 20, "Totale Bytes Trasferiti", false},
        {"StaticText7", 8, 48, 353, 20, "Totale Bytes del Firmware Trasferiti", false},
        {"StaticText9", 8, 68, 353, 20, "Totale Comunicazioni Effettuate", false},
        {"StaticText11", 8, 88, 353, 20, "Totale Errori di Comunicazione ", false},
        {"StaticText15", 8, 112, 453, 20, "Stato Operazione", false},
        {"StaticText16", 8, 156, 453, 20, "Ultimo Frame Trasmesso", false},
        {"StaticText3", 8, 200, 453, 20, "Ultimo Frame Ricevuto", false},
        {"StaticText19", 8, 244, 453, 20, "Esito  Trasferimento Firmware", false},
        {"STTot1", 372, 8, 89, 20, "-", false},
        {"STTot5", 372, 88, 89, 20, "-", false},
        {"STFrame5", 8, 132, 453, 20, "-", false},
        {"STFrame2", 8, 176, 453, 21, "", false},
        {"STFrame3", 8, 220, 453, 21, "", false},
        {"STEsito", 8, 264, 453, 20, "-", false},
        {"PUpload", 0, 554, 965, 49, nullptr, false},
        {"STUpload", 4, 4, 949, 17, "Uploading...", false},
        {"CBSimulazione", 392, 4, 81, 17, "Simulazione", false},
        {"CBEseguiVerifica", 492, 157, 145, 17, "Esegui Verifica", false},
        {"CBCfgBits", 814, 158, 145, 17, "Scarica Configuration Bits", false},
        {"Button2", 4, 32, 75, 25, "CheckPorte", false},
        {"CB_SUP", 6, 403, 145, 21, nullptr, false},
        {"BLeggi", 4, 576, 93, 25, "Leggi", false},
        {"BScrivi", 4, 604, 93, 25, "Scrivi", false},
        {"BErase", 4, 632, 93, 25, "Erase", false},
        {"BStartDFU", 4, 660, 93, 25, "Start DFU", false},
        {"BReset", 4, 688, 93, 25, "Reset", false},
        {"ELeggiAddress", 104, 580, 69, 21, "300000", false},
        {"EScriviAddress", 104, 606, 69, 21, "300000", false},
        {"EEraseAddress", 104, 634, 69, 21, "300000", false},
        {"Edit2", 176, 634, 45, 21, "40", false},
        {"StaticText6", 104, 556, 69, 17, "$INDIRIZZO", false},
        {"StaticText10", 224, 556, 277, 17, "$DATI", false},
    };
    for (const ControlCase& c : cases) {
        auto* w = f.findChild<QWidget*>(QString::fromLatin1(c.name));
        ASSERT_NE(w, nullptr) << c.name;
        if (qobject_cast<QCheckBox*>(w) || qobject_cast<QRadioButton*>(w)) {
            // widened as far as the caption needs, never moved
            EXPECT_EQ(w->pos(), QPoint(c.x, c.y)) << c.name;
            EXPECT_EQ(w->height(), c.h) << c.name;
            EXPECT_GE(w->width(), c.w) << c.name;
        } else {
            EXPECT_EQ(w->geometry(), QRect(c.x, c.y, c.w, c.h)) << c.name;
        }
        EXPECT_EQ(w->isVisible(), c.visible) << c.name;
        if (!c.text) continue;
        QString text;
        if (auto* b = qobject_cast<QAbstractButton*>(w)) text = b->text();
        if (auto* l = qobject_cast<QLabel*>(w)) text = l->text();
        if (auto* e = qobject_cast<QLineEdit*>(w)) text = e->text();
        EXPECT_EQ(text.toStdString(), c.text) << c.name;
    }
    EXPECT_TRUE(f.RBHex->isChecked());
    EXPECT_FALSE(f.RBHex->isEnabled());
    EXPECT_FALSE(f.BUpload->isEnabled());
    EXPECT_EQ(f.Timer1->interval(), 500);
    EXPECT_TRUE(f.Timer1->isActive());
    EXPECT_EQ(f.PB->maximum(), 500);
    EXPECT_TRUE(f.LBHex->font().fixedPitch() || QFontInfo(f.LBHex->font()).fixedPitch());
    EXPECT_EQ(f.ELeggiAddress->maxLength(), 8);
    EXPECT_EQ(f.ELeggiLen->maxLength(), 2);
    EXPECT_FALSE(f.windowIcon().isNull());
    auto* version = f.findChild<QLabel*>(QStringLiteral("VersionLabel"));
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(version->text(), QStringLiteral("quarnelix-dfu " QDFU_VERSION));  // as quarnelix-dfu-cli --version
}

// What a user reads: every caption whole, both bottom lines above the status bar in the same
// font, every view scrollable to the end of its longest line, a date without a time zone.
TEST_F(WindowTest, EveryCaptionReadsWholeAndNothingIsCovered) {
    TForm1& f = Open();
    for (QAbstractButton* b : f.findChildren<QAbstractButton*>()) {
        if (qobject_cast<QCheckBox*>(b) || qobject_cast<QRadioButton*>(b))
            EXPECT_LE(b->sizeHint().width(), b->width()) << b->objectName().toStdString();
        else
            EXPECT_LE(b->fontMetrics().horizontalAdvance(b->text()) + 6, b->width()) << b->objectName().toStdString();
    }
    for (QLabel* l : f.findChildren<QLabel*>())
        EXPECT_LE(l->fontMetrics().horizontalAdvance(l->text()), l->contentsRect().width()) << l->objectName().toStdString();
    for (QLabel* l : {f.Label2, f.Label3, f.Label4, f.Label5}) {
        const QRect r(l->mapTo(&f, QPoint(0, 0)), l->size());
        EXPECT_LE(r.bottom(), f.StatusBar->y() - 1) << l->objectName().toStdString();
    }
    EXPECT_EQ(f.Label4->font(), f.Label2->font());
    EXPECT_EQ(f.Label4->font().pixelSize(), 13);
    EXPECT_TRUE(f.Label4->font().bold());
    EXPECT_LT(f.Label4->geometry().right(), f.Label5->x());
}

TEST_F(WindowTest, ViewsScrollToTheEndOfTheirLongestLineAndTheDateHasNoZone) {
    AddPort(3);
    WriteSettings(Record(3, 1, exe.File("demo.hex")));
    TForm1& f = Open();
    for (QListWidget* list : {f.LBHex, f.LBData, f.LBBuffer}) {
        list->show();
        QApplication::processEvents();
        int longest = 0;
        for (int i = 0; i < list->count(); ++i)
            longest = std::max(longest, list->fontMetrics().horizontalAdvance(list->item(i)->text()));
        EXPECT_GE(list->horizontalScrollBar()->maximum() + list->viewport()->width(), longest)
            << list->objectName().toStdString();
    }
    // the long time format, seconds included, but no zone, whatever order the locale gives
    const QString date = f.Label5->text();
    const QDateTime modified = QFileInfo(QString::fromStdString(exe.File("demo.hex"))).lastModified();
    EXPECT_TRUE(date.contains(modified.time().toString(QStringLiteral("mm:ss")))) << date.toStdString();
    EXPECT_FALSE(date.contains(QStringLiteral("UTC"))) << date.toStdString();
    const QString zone = modified.timeZoneAbbreviation();
    if (!zone.isEmpty()) {
        EXPECT_FALSE(date.contains(zone)) << date.toStdString();
    }
}

TEST_F(WindowTest, Screenshot) {
    AddPort(3);
    WriteSettings(Record(3, 1, exe.File("demo.hex")));
    TForm1& f = Open();
    f.CBSimulazione->setChecked(true);  // a whole run without a device, for the statistics
    f.BUploadClick();
    EXPECT_EQ(f.STEsito->text(), "Trasferimento Firmware Completato");
    const QString out = QStringLiteral(QDFU_BUILD_DIR "/quarnelix-dfu.png");
    EXPECT_TRUE(f.grab().save(out));
}

}  // namespace
}  // namespace qdfu::test
