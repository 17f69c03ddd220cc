// TForm1, the tool's one window: the three views of the HEX file, the upload log and statistics,
// the port panel, the file and upload buttons, and the manual command panel (Ctrl+Shift+M). Its
// handlers are thin: they move data between the widgets and the core (loader, port source,
// upload sequence, manual commands), which does the work.
#pragma once

#include <QWidget>
#include <memory>
#include <utility>
#include <vector>
#include <optional>

#include "dialogs.h"
#include "hex_loader.h"
#include "manual_commands.h"
#include "ports.h"
#include "resume_point.h"
#include "upload.h"

class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QStatusBar;
class QTimer;

namespace qdfu {

struct TForm1Options {
    QString ExeDir;  // where the settings file lives; empty: the running executable's folder
    PortPaths Ports = DefaultPortPaths();
    int32_t TimeoutMs = DEFAULT_TIMEOUT_MS;  // per-byte read time-out of every open
    Dialogs* DialogSeam = nullptr;           // null: the real Qt dialogs
    std::string ResumeFolder = DefaultResumeFolder();  // where resume points of failed runs are kept
    QString FileArgument;  // a HEX file named on the command line: opened at start as Open 'HEX' does
};

inline constexpr int kClientWidth = 966;
inline constexpr int kClientHeight = 556;
// With the manual panel shown: its rows under the status bar, 556 + 157 + a margin.
inline constexpr int kManualPanelHeight = 719;

class TForm1 : public QWidget {
    Q_OBJECT

public:
    explicit TForm1(TForm1Options options = {}, QWidget* parent = nullptr);
    ~TForm1() override;

    // Handlers, public so that programmatic clicks (and tests) run them whatever the state.
    void FormShow();
    void BOpenHexClick();
    void BReloadHexClick();
    void BUploadClick();
    void RBTypeClick();
    void ComboBox1Change();
    void RadioButton1Click();
    void RadioButton2Click();
    void Button2Click();
    void Timer1Timer();
    void BLeggiClick();
    void BScriviClick();
    void BEraseClick();
    void BStartDFUClick();
    void BResetClick();
    void EScriviDatiChange();
    void UpdateFileButtons();
    void ToggleManualPanel();

    enum class Variant { StartUp, Open, Reload };
    void DisplayHexFile(const QString& path, Variant variant);
    static QString FileDateTimeText(const QString& path);

    // Fields of the window.
    int32_t ImageStart = -1;
    int32_t ImageEnd = -1;
    int32_t LinkWaitCounter = 0;  // the GSM sequence counts its link reads itself, in the core
    QString SavedCaption;
    bool UploadActive = false;
    bool ImageValid = false;   // the last load's verdict
    int32_t SeenPortCount = 0;
    std::string SettingsPath;

    // Controls, named as their objectName.
    QLabel* StaticText1;
    QListWidget* LBHex;
    QListWidget* LBData;
    QListWidget* LBBuffer;
    QFrame* Panel1;
    QRadioButton* RBHex;
    QRadioButton* RBDataBuffer;
    QRadioButton* RBData;
    QCheckBox* CBSimulazione;
    QLabel* StaticText2;
    QPlainTextEdit* Memo;
    QFrame* PStat;
    QLabel* STTot1;
    QLabel* STTot2;
    QLabel* STTot3;
    QLabel* STTot4;
    QLabel* STTot5;
    QLabel* STFrame5;
    QLineEdit* STFrame2;
    QLineEdit* STFrame3;
    QLabel* STEsito;
    QCheckBox* CheckBox1;
    QLineEdit* Edit1;
    QCheckBox* CBEseguiVerifica;
    QCheckBox* CBCfgBits;
    QFrame* Panel2;
    QLabel* Label1;
    QComboBox* ComboBox1;
    QRadioButton* RadioButton1;
    QRadioButton* RadioButton2;
    QCheckBox* CBBelvotra;
    QPushButton* Button2;
    QComboBox* CB_SUP;
    QPushButton* BOpenHex;
    QPushButton* BReloadHex;
    QPushButton* BUpload;
    QFrame* Panel4;
    QLabel* Label2;
    QLabel* Label3;
    QLabel* Label4;
    QLabel* Label5;
    QStatusBar* StatusBar;
    QFrame* PUpload;
    QLabel* STUpload;
    QProgressBar* PB;
    QTimer* Timer1;
    // The manual command panel.
    QLabel* StaticText6;
    QLabel* StaticText8;
    QLabel* StaticText10;
    QLabel* StaticTextFrame;
    QPushButton* BLeggi;
    QPushButton* BScrivi;
    QPushButton* BErase;
    QPushButton* BStartDFU;
    QPushButton* BReset;
    QLineEdit* ELeggiAddress;
    QLineEdit* ELeggiLen;
    QLineEdit* ELeggiDati;
    QLineEdit* ELeggiFrame;
    QLineEdit* EScriviAddress;
    QLineEdit* EScriviLen;
    QLineEdit* EScriviDati;
    QLineEdit* EScriviFrame;
    QLineEdit* EEraseAddress;
    QLineEdit* Edit2;
    QLineEdit* EEraseFrame;
    QLineEdit* EStartFrame;
    QLineEdit* ERstFrame;

    bool ManualPanelShown() const { return manualShown_; }

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    // A .hex file dropped onto the window opens as "Open 'HEX'" opens it.
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    class View;   // the upload's view, over these widgets
    class Hooks;  // the manual panel's hooks

    void BuildLayout();
    void BuildManualPanel();
    QList<QWidget*> ManualPanelControls() const;
    void SetClientHeight(int height);
    void ShowError(const QString& text);
    // tellInvalid: an invalid file raises the "Invalid HEX File" box.
    void ApplyLoad(const HexLoadResult& result, bool tellInvalid = true);
    std::optional<uint32_t> ChosenPort() const;
    void SelectPortNumber();
    std::vector<std::pair<QLineEdit*, std::string ManualPanelFields::*>> PanelBindings() const;
    void PanelFromWidgets();
    void PanelToWidgets();
    void RunManual(SerialError (ManualPanel::*command)());
    bool ManualAddressAllowed(QLineEdit* field, const char* command);
    // What "Open 'HEX'" does with the file the dialog gave (also a dropped file and the argument).
    void OpenChosenFile(const QString& path);
    // The outcome field on green for a completed run, on red for one that did not complete; its
    // own colours again when the next run starts.
    void ShowOutcomeColour(std::optional<UploadOutcome> outcome);
    // The resume point a run to the chosen port would keep or take (Target empty: none applies).
    ResumePoint RunResumePoint() const;
    void PrepareUploadLayout();
    void RestoreUploadLayout();
    void SetManualPanelVisible(bool visible);
    bool ManualLocked() const { return UploadActive || running_; }

    TForm1Options options_;
    std::unique_ptr<Dialogs> ownDialogs_;
    Dialogs* dialogs_;
    std::unique_ptr<View> view_;
    std::unique_ptr<Hooks> hooks_;
    bool shown_ = false;
    bool running_ = false;  // an upload sequence is on the stack
    bool manualShown_ = false;
    int heightBeforePanel_ = kClientHeight;
    HexLoadResult lastLoad_;  // its buffers serve every load
    std::string loadedSha256_;  // of the bytes of the file last loaded, for resume points
    QString loadFault_;       // why the last file was refused, for the status bar; "" when loaded
    ManualPanelFields panelFields_;
    std::unique_ptr<ManualPanel> panel_;
};

}  // namespace qdfu
