// The main window: layout, start-up, port list, HEX file display, views, upload and manual panel
// handlers. The work is done by the core; this file moves data between it and the widgets.
#include "tform1.h"

#include "window_fonts.h"

#include <QApplication>
#include <QAbstractButton>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>
#include <QComboBox>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QLocale>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QShortcut>
#include <QSignalBlocker>
#include <QStatusBar>
#include <QTimer>
#include <QToolTip>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "serial.h"
#include "settings.h"
#include "sha256.h"
#include "text_lines.h"

namespace qdfu {

namespace {

constexpr const char* kCaption = "DFU dsPIC Quarnelix V3 Firmware Upgrade - Versione 1.05   15/11/2010";
constexpr int kHexPathMax = 255;
constexpr int kFileLineTop = 3;   // in Panel4
constexpr int kDateLineTop = 20;  // ends above the status bar at 537 - 500
// The manual panel's rows sit right under the status bar.
constexpr int kPanelTop = 556;
constexpr int PanelY(int layoutTop) { return layoutTop - 632 + kPanelTop; }

template <class W>
W* Make(QWidget* parent, const char* name, int x, int y, int w, int h) {
    W* widget = new W(parent);
    widget->setObjectName(QString::fromLatin1(name));
    widget->setGeometry(x, y, w, h);
    return widget;
}

// The layout's sizes are points at 96 dpi: 8 points are 11 pixels, 10 points 13.
int PointsToPixels(int points) { return points == 8 ? 11 : points * 4 / 3; }

// The application's face, or one that draws the captions at the layout's sizes.
QFont BaseFont() { return CaptionFont({PointsToPixels(8), PointsToPixels(10)}); }

QFont SizedFont(int points, bool bold) {
    QFont f = BaseFont();
    f.setPixelSize(PointsToPixels(points));
    f.setBold(bold);
    return f;
}

// The first font that really is fixed-pitch: the system's "monospace" may resolve to a family
// with a few wide glyphs that Qt does not count as fixed.
QFont FixedFont(int points) {
    QFont f = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    for (const char* family : {"Courier New", "DejaVu Sans Mono", "Liberation Mono", "Noto Mono", "Nimbus Mono PS"}) {
        QFont candidate(QString::fromLatin1(family));
        candidate.setStyleHint(QFont::TypeWriter);
        if (QFontInfo(candidate).fixedPitch()) {
            f = candidate;
            break;
        }
    }
    f.setPixelSize(PointsToPixels(points));
    return f;
}

QLabel* StaticText(QWidget* parent, const char* name, int x, int y, int w, int h, const QString& text, int points,
                   bool bold) {
    QLabel* l = Make<QLabel>(parent, name, x, y, w, h);
    l->setText(text);
    l->setAlignment(Qt::AlignCenter);
    l->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    l->setFont(SizedFont(points, bold));
    return l;
}

QLabel* Caption(QWidget* parent, const char* name, int x, int y, const QString& text, int points, bool bold) {
    QLabel* l = new QLabel(text, parent);
    l->setObjectName(QString::fromLatin1(name));
    l->setFont(SizedFont(points, bold));
    l->move(x, y);
    l->adjustSize();
    return l;
}

QLineEdit* ReadOnlyEdit(QWidget* parent, const char* name, int x, int y, int w, int h) {
    QLineEdit* e = Make<QLineEdit>(parent, name, x, y, w, h);
    e->setReadOnly(true);
    e->setFocusPolicy(Qt::NoFocus);
    QPalette p = e->palette();
    p.setColor(QPalette::Base, p.color(QPalette::Button));
    e->setPalette(p);
    return e;
}

QStringList ToStrings(const std::vector<std::string>& lines) {
    QStringList out;
    out.reserve(static_cast<qsizetype>(lines.size()));
    for (const std::string& l : lines) out.append(QString::fromLatin1(l.data(), static_cast<qsizetype>(l.size())));
    return out;
}

QStringList ToStrings(const LineList& lines) {
    QStringList out;
    out.reserve(static_cast<qsizetype>(lines.size()));
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string_view l = lines[i];
        out.append(QString::fromLatin1(l.data(), static_cast<qsizetype>(l.size())));
    }
    return out;
}

std::string LocalPath(const QString& path) { return QFile::encodeName(path).toStdString(); }

// A time format without its time-zone fields ('t' outside quotes) and the blanks around them.
QString TimeFormatWithoutZone(const QString& format) {
    QString out;
    bool quoted = false;
    for (const QChar c : format) {
        if (c == QLatin1Char('\'')) quoted = !quoted;
        if (!quoted && c == QLatin1Char('t')) {
            while (out.endsWith(QLatin1Char(' '))) out.chop(1);
            continue;
        }
        out += c;
    }
    return out.trimmed();
}

// Lists size every row from its first one: that row is made as wide as the longest line, so the
// list scrolls sideways to the end of every line.
void WidenToLongestLine(QListWidget* list) {
    if (list->count() == 0) return;
    int longest = 0;
    for (int i = 0; i < list->count(); ++i)
        if (list->item(i)->text().size() > list->item(longest)->text().size()) longest = i;
    const int height = list->sizeHintForRow(0);
    const int width = list->fontMetrics().horizontalAdvance(list->item(longest)->text()) + 8;
    list->item(0)->setSizeHint(QSize(width, height));
    list->doItemsLayout();  // the uniform row size is cached from the first row
}

// A check box or radio button as wide as its caption needs, within the room it has up to the next
// control on its row (or its parent's edge); only a caption that still does not fit gets a smaller
// font. The control does not move.
void FitCaption(QAbstractButton* button) {
    QWidget* parent = button->parentWidget();
    const QRect g = button->geometry();
    int room = parent->contentsRect().right() + 1 - g.x();
    for (QObject* o : parent->children()) {
        auto* w = qobject_cast<QWidget*>(o);
        if (!w || w == button || w->isWindow()) continue;
        const QRect r = w->geometry();
        if (r.x() > g.x() && r.top() <= g.bottom() && r.bottom() >= g.top() && !w->isHidden())
            room = std::min(room, r.x() - g.x() - 2);
    }
    if (button->sizeHint().width() <= g.width()) return;
    button->resize(std::max(g.width(), std::min(room, button->sizeHint().width())), g.height());
    QFont f = button->font();
    while (button->sizeHint().width() > button->width() && f.pixelSize() > 8) {
        f.setPixelSize(f.pixelSize() - 1);
        button->setFont(f);
    }
}

int TopRow(QListWidget* list) {
    const QModelIndex top = list->indexAt(QPoint(2, 2));
    return top.isValid() ? top.row() : 0;
}

void SetPositions(QListWidget* list, int selected, int top) {
    if (selected >= 0 && selected < list->count())
        list->setCurrentRow(selected);
    else
        list->setCurrentRow(-1);
    if (top >= 0 && top < list->count()) list->scrollToItem(list->item(top), QAbstractItemView::PositionAtTop);
}

// For the length of a run or a manual exchange, the driver's waits let the window repaint and
// answer the window system. Nothing else runs there: no user input, no timer tick, so no handler;
// those keep to the sequence's own event-processing points.
class KeepPaintingWhileTheLineWaits {
public:
    KeepPaintingWhileTheLineWaits() {
        SerialSetIdleHook([](int32_t, int32_t) {
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents | QEventLoop::X11ExcludeTimers);
        });
    }
    ~KeepPaintingWhileTheLineWaits() { SerialSetIdleHook({}); }
    KeepPaintingWhileTheLineWaits(const KeepPaintingWhileTheLineWaits&) = delete;
    KeepPaintingWhileTheLineWaits& operator=(const KeepPaintingWhileTheLineWaits&) = delete;
};

}  // namespace

// ---- the upload's view over the widgets ----

class TForm1::View final : public UploadView {
public:
    explicit View(TForm1& form) : f_(form) {}
    void ClearLog() override { f_.Memo->clear(); }
    void Log(const std::string& line) override { f_.Memo->appendPlainText(QString::fromStdString(line)); }
    void SetStat(StatField field, const std::string& text) override {
        const QString t = QString::fromStdString(text);
        switch (field) {
            case StatField::STTot1: f_.STTot1->setText(t); break;
            case StatField::STTot2: f_.STTot2->setText(t); break;
            case StatField::STTot3: f_.STTot3->setText(t); break;
            case StatField::STTot4: f_.STTot4->setText(t); break;
            case StatField::STTot5: f_.STTot5->setText(t); break;
            case StatField::STFrame2:
                f_.STFrame2->setText(t);
                f_.STFrame2->setCursorPosition(0);  // a frame reads from its start
                break;
            case StatField::STFrame3:
                f_.STFrame3->setText(t);
                f_.STFrame3->setCursorPosition(0);
                break;
            case StatField::STEsito: f_.STEsito->setText(t); break;
        }
    }
    void ShowOperation(Operation op) override {
        QPalette p = f_.STFrame5->palette();
        switch (op) {
            case Operation::None: f_.STFrame5->setText(QStringLiteral("-")); return;
            case Operation::Erasing:
                f_.STFrame5->setText(QStringLiteral("Erasing....."));
                p.setColor(QPalette::Window, QColor(255, 0, 0));
                break;
            case Operation::Writing:
                f_.STFrame5->setText(QStringLiteral("Writing....."));
                p.setColor(QPalette::Window, QColor(0, 255, 0));
                break;
            case Operation::Reading:
                f_.STFrame5->setText(QStringLiteral("Reading....."));
                p.setColor(QPalette::Window, QColor(255, 255, 0));
                break;
            case Operation::ResetCpu:
                f_.STFrame5->setText(QStringLiteral("Reset CPU"));
                p.setColor(QPalette::Window, QApplication::palette().color(QPalette::Button));
                break;
        }
        f_.STFrame5->setPalette(p);
    }
    void SetProgress(int position, int maximum) override {
        f_.PB->setRange(0, std::max(maximum, 1));
        f_.PB->setValue(position);
    }
    void SelectDumpRow(int row) override {
        if (row < f_.LBBuffer->count()) f_.LBBuffer->setCurrentRow(row);
    }
    void ShowMessage(const std::string& text) override { f_.ShowError(QString::fromStdString(text)); }
    void ProcessEvents() override { QCoreApplication::processEvents(); }
    bool UploadActive() override { return f_.UploadActive; }
    bool VerifyChecked() override { return f_.CBEseguiVerifica->isChecked(); }

private:
    TForm1& f_;
};

// ---- the manual panel's hooks ----

class TForm1::Hooks final : public ManualPanelHooks {
public:
    explicit Hooks(TForm1& form) : f_(form) {}
    void ProcessEvents(const ManualPanelFields&) override {
        f_.PanelToWidgets();
        QCoreApplication::processEvents();
    }
    void SetExchangeButtonsEnabled(bool enabled) override {
        if (!enabled) {
            f_.BErase->setEnabled(false);
            f_.BLeggi->setEnabled(false);
            f_.BScrivi->setEnabled(false);
        } else {
            f_.BLeggi->setEnabled(true);
            f_.BScrivi->setEnabled(true);
            f_.BErase->setEnabled(true);
        }
    }
    void ShowError(const std::string& text) override {
        f_.PanelToWidgets();  // the frame field shows the answer before the box
        f_.ShowError(QString::fromStdString(text));
    }

private:
    TForm1& f_;
};

// ---- construction ----

TForm1::TForm1(TForm1Options options, QWidget* parent)
    : QWidget(parent), options_(std::move(options)), view_(std::make_unique<View>(*this)),
      hooks_(std::make_unique<Hooks>(*this)) {
    if (options_.DialogSeam) {
        dialogs_ = options_.DialogSeam;
    } else {
        ownDialogs_ = std::make_unique<QtDialogs>();
        dialogs_ = ownDialogs_.get();
    }
    if (options_.ExeDir.isEmpty()) options_.ExeDir = QCoreApplication::applicationDirPath();
    panel_ = std::make_unique<ManualPanel>(panelFields_, *hooks_);

    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QString::fromLatin1(kCaption));
    setWindowIcon(QIcon(QStringLiteral(":/quarnelix-dfu.png")));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    SetClientHeight(kClientHeight);
    setFont(SizedFont(8, false));
    BuildLayout();
    BuildManualPanel();
    setAcceptDrops(true);
    for (QAbstractButton* b : findChildren<QAbstractButton*>())
        if (qobject_cast<QRadioButton*>(b) || qobject_cast<QCheckBox*>(b)) FitCaption(b);

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(500);
    connect(Timer1, &QTimer::timeout, this, &TForm1::Timer1Timer);
    Timer1->start();

    auto* shortcut = new QShortcut(QKeySequence(QStringLiteral("Ctrl+Shift+M")), this);
    connect(shortcut, &QShortcut::activated, this, &TForm1::ToggleManualPanel);
}

TForm1::~TForm1() = default;

void TForm1::BuildLayout() {
    StaticText1 = StaticText(this, "StaticText1", 0, 8, 481, 20, QStringLiteral("Hex File Dump"), 10, true);
    // The system's tooltip colour, pale yellow by tradition; a system whose tooltips are as white
    // as the lists (Wine's) gets the traditional colour.
    QColor listBackground = QToolTip::palette().color(QPalette::ToolTipBase);
    if (listBackground == palette().color(QPalette::Base)) listBackground = QColor(255, 255, 225);
    auto list = [&](const char* name, int w) {
        QListWidget* l = Make<QListWidget>(this, name, 0, 28, w, 394);
        l->setFont(FixedFont(10));
        l->setUniformItemSizes(true);
        l->setTextElideMode(Qt::ElideNone);
        l->setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
        QPalette p = l->palette();
        p.setColor(QPalette::Base, listBackground);
        // the selected row stands out whether or not the window has the focus, as a list box's does
        for (const QPalette::ColorRole role : {QPalette::Highlight, QPalette::HighlightedText})
            p.setColor(QPalette::Inactive, role, p.color(QPalette::Active, role));
        l->setPalette(p);
        return l;
    };
    LBHex = list("LBHex", 481);
    LBData = list("LBData", 481);
    LBBuffer = list("LBBuffer", 486);

    Panel1 = Make<QFrame>(this, "Panel1", 0, 426, 487, 27);
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    auto radio = [](QWidget* parent, const char* name, int x, int y, int w, int h, const QString& text) {
        QRadioButton* r = Make<QRadioButton>(parent, name, x, y, w, h);
        r->setText(text);
        return r;
    };
    RBHex = radio(Panel1, "RBHex", 4, 4, 133, 17, QStringLiteral("Visualizza HEX"));
    RBDataBuffer = radio(Panel1, "RBDataBuffer", 148, 4, 81, 17, QStringLiteral("DataBuffer"));
    RBData = radio(Panel1, "RBData", 244, 4, 133, 17, QStringLiteral("Visualizza Interpretato"));
    RBHex->setChecked(true);
    for (QRadioButton* r : {RBHex, RBDataBuffer, RBData}) {
        r->setEnabled(false);
        connect(r, &QRadioButton::clicked, this, &TForm1::RBTypeClick);
    }
    auto check = [](QWidget* parent, const char* name, int x, int y, int w, int h, const QString& text) {
        QCheckBox* c = Make<QCheckBox>(parent, name, x, y, w, h);
        c->setText(text);
        return c;
    };
    CBSimulazione = check(Panel1, "CBSimulazione", 392, 4, 81, 17, QStringLiteral("Simulazione"));
    CBSimulazione->hide();

    StaticText2 = StaticText(this, "StaticText2", 492, 8, 469, 20, QStringLiteral("Upload Status"), 10, true);
    Memo = Make<QPlainTextEdit>(this, "Memo", 492, 28, 469, 112);
    Memo->setReadOnly(true);
    Memo->setLineWrapMode(QPlainTextEdit::NoWrap);
    Memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo->setFont(FixedFont(10));

    PStat = Make<QFrame>(this, "PStat", 492, 141, 469, 313);
    PStat->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    PStat->setFont(SizedFont(10, true));
    StaticText(PStat, "StaticText4", 8, 8, 353, 20, QStringLiteral("Indirizzo in Scrittura Attuale"), 10, false);
    StaticText(PStat, "StaticText5", 8, 28, 353, 20, QStringLiteral("Totale Bytes Trasferiti"), 10, false);
    StaticText(PStat, "StaticText7", 8, 48, 353, 20, QStringLiteral("Totale Bytes del Firmware Trasferiti"), 10, false);
    StaticText(PStat, "StaticText9", 8, 68, 353, 20, QStringLiteral("Totale Comunicazioni Effettuate"), 10, false);
    StaticText(PStat, "StaticText11", 8, 88, 353, 20, QStringLiteral("Totale Errori di Comunicazione "), 10, false);
    STTot1 = StaticText(PStat, "STTot1", 372, 8, 89, 20, QStringLiteral("-"), 10, true);
    STTot2 = StaticText(PStat, "STTot2", 372, 28, 89, 20, QStringLiteral("-"), 10, true);
    STTot3 = StaticText(PStat, "STTot3", 372, 48, 89, 20, QStringLiteral("-"), 10, true);
    STTot4 = StaticText(PStat, "STTot4", 372, 68, 89, 20, QStringLiteral("-"), 10, true);
    STTot5 = StaticText(PStat, "STTot5", 372, 88, 89, 20, QStringLiteral("-"), 10, true);
    StaticText(PStat, "StaticText15", 8, 112, 453, 20, QStringLiteral("Stato Operazione"), 10, false);
    STFrame5 = StaticText(PStat, "STFrame5", 8, 132, 453, 20, QStringLiteral("-"), 10, true);
    QFont fixedBold = FixedFont(10);
    fixedBold.setBold(true);
    STFrame5->setFont(fixedBold);
    STFrame5->setAutoFillBackground(true);
    StaticText(PStat, "StaticText16", 8, 156, 453, 20, QStringLiteral("Ultimo Frame Trasmesso"), 10, false);
    STFrame2 = Make<QLineEdit>(PStat, "STFrame2", 8, 176, 453, 21);
    StaticText(PStat, "StaticText3", 8, 200, 453, 20, QStringLiteral("Ultimo Frame Ricevuto"), 10, false);
    STFrame3 = Make<QLineEdit>(PStat, "STFrame3", 8, 220, 453, 21);
    for (QLineEdit* e : {STFrame2, STFrame3}) {
        e->setReadOnly(true);
        e->setFocusPolicy(Qt::NoFocus);
        e->setFont(SizedFont(8, true));
    }
    StaticText(PStat, "StaticText19", 8, 244, 453, 20, QStringLiteral("Esito  Trasferimento Firmware"), 10, false);
    STEsito = StaticText(PStat, "STEsito", 8, 264, 453, 20, QStringLiteral("-"), 10, true);
    STEsito->setAutoFillBackground(true);  // the outcome's colour is painted, not only kept

    CheckBox1 = check(this, "CheckBox1", 500, 432, 101, 17, QStringLiteral("Upgrade GSM"));
    Edit1 = Make<QLineEdit>(this, "Edit1", 604, 430, 93, 21);
    CBEseguiVerifica = check(this, "CBEseguiVerifica", 492, 157, 145, 17, QStringLiteral("Esegui Verifica"));
    CBEseguiVerifica->hide();
    CBCfgBits = check(this, "CBCfgBits", 814, 158, 145, 17, QStringLiteral("Scarica Configuration Bits"));
    CBCfgBits->hide();

    Panel2 = Make<QFrame>(this, "Panel2", 0, 455, 237, 45);
    Panel2->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Label1 = Caption(Panel2, "Label1", 4, 6, QStringLiteral("COM PORT"), 8, true);
    ComboBox1 = Make<QComboBox>(Panel2, "ComboBox1", 71, 2, 88, 21);
    ComboBox1->setEditable(false);
    connect(ComboBox1, &QComboBox::activated, this, &TForm1::ComboBox1Change);
    RadioButton1 = radio(Panel2, "RadioButton1", 162, 5, 70, 17, QStringLiteral("AUTO"));
    RadioButton2 = radio(Panel2, "RadioButton2", 162, 24, 70, 17, QStringLiteral("MANUAL"));
    RadioButton1->setFont(SizedFont(8, true));
    RadioButton2->setFont(SizedFont(8, true));
    RadioButton1->setChecked(true);
    connect(RadioButton1, &QRadioButton::toggled, this, [this](bool on) {
        if (on) RadioButton1Click();
    });
    connect(RadioButton2, &QRadioButton::toggled, this, [this](bool on) {
        if (on) RadioButton2Click();
    });
    CBBelvotra = check(Panel2, "CBBelvotra", 71, 24, 84, 17, QStringLiteral("Belvotra"));
    CBBelvotra->setFont(SizedFont(8, true));
    Button2 = Make<QPushButton>(this, "Button2", 4, 32, 75, 25);
    Button2->setText(QStringLiteral("CheckPorte"));
    Button2->hide();
    connect(Button2, &QPushButton::clicked, this, &TForm1::Button2Click);
    CB_SUP = Make<QComboBox>(this, "CB_SUP", 6, 403, 145, 21);
    CB_SUP->hide();

    auto bigButton = [&](const char* name, int x, int w, const QString& text) {
        QPushButton* b = Make<QPushButton>(this, name, x, 455, w, 45);
        b->setText(text);
        b->setFont(SizedFont(10, true));
        return b;
    };
    BOpenHex = bigButton("BOpenHex", 243, 244, QStringLiteral("Open 'HEX'"));
    BReloadHex = bigButton("BReloadHex", 492, 238, QStringLiteral("Reload 'HEX'"));
    BUpload = bigButton("BUpload", 736, 225, QStringLiteral("Upload"));
    BUpload->setEnabled(false);
    connect(BOpenHex, &QPushButton::clicked, this, &TForm1::BOpenHexClick);
    connect(BReloadHex, &QPushButton::clicked, this, &TForm1::BReloadHexClick);
    connect(BUpload, &QPushButton::clicked, this, &TForm1::BUploadClick);

    Panel4 = Make<QFrame>(this, "Panel4", 0, 500, 965, 54);
    Panel4->setFrameStyle(QFrame::Panel | QFrame::Raised);
    // The status bar covers the panel's last 17 pixels, so both lines sit in the 37 above it. The
    // values start at 83, or further right when the system's font makes a caption longer.
    Label2 = Caption(Panel4, "Label2", 3, kFileLineTop, QStringLiteral("FILE HEX:"), 10, true);
    Label4 = Caption(Panel4, "Label4", 3, kDateLineTop, QStringLiteral("Data - Ora:"), 10, true);
    const int valueX = std::max({83, Label2->geometry().right() + 6, Label4->geometry().right() + 6});
    Label3 = Caption(Panel4, "Label3", valueX, kFileLineTop, QStringLiteral("- - -"), 10, false);
    Label5 = Caption(Panel4, "Label5", valueX, kDateLineTop, QStringLiteral("- - -"), 10, false);
    Label3->setMinimumWidth(953 - valueX);
    Label5->setMinimumWidth(953 - valueX);

    StatusBar = Make<QStatusBar>(this, "StatusBar", 0, 537, 966, 19);
    StatusBar->setSizeGripEnabled(false);
    auto* version = new QLabel(QStringLiteral("quarnelix-dfu " QDFU_VERSION), StatusBar);
    version->setObjectName(QStringLiteral("VersionLabel"));
    StatusBar->addPermanentWidget(version);

    PUpload = Make<QFrame>(this, "PUpload", 0, 554, 965, 49);
    STUpload = Make<QLabel>(PUpload, "STUpload", 4, 4, 949, 17);
    STUpload->setText(QStringLiteral("Uploading..."));
    STUpload->setAlignment(Qt::AlignCenter);
    STUpload->setFont(SizedFont(10, true));
    PB = Make<QProgressBar>(PUpload, "PB", 0, 29, 965, 20);
    PB->setRange(0, 500);
    PB->setValue(0);
    PB->setTextVisible(false);
    PUpload->hide();
}

void TForm1::BuildManualPanel() {
    StaticText6 = StaticText(this, "StaticText6", 104, PanelY(632), 69, 17, QStringLiteral("$INDIRIZZO"), 8, false);
    StaticText8 = StaticText(this, "StaticText8", 176, PanelY(632), 45, 17, QStringLiteral("$LEN"), 8, false);
    StaticText10 = StaticText(this, "StaticText10", 224, PanelY(632), 277, 17, QStringLiteral("$DATI"), 8, false);
    StaticTextFrame = StaticText(this, "StaticTextFrame", 504, PanelY(632), 457, 17, QStringLiteral("TX/RX FRAME"), 8, false);
    auto button = [&](const char* name, int top, const QString& text) {
        QPushButton* b = Make<QPushButton>(this, name, 4, PanelY(top), 93, 25);
        b->setText(text);
        return b;
    };
    auto edit = [&](const char* name, int x, int top, int w, int maxLength, const QString& text) {
        QLineEdit* e = Make<QLineEdit>(this, name, x, PanelY(top), w, 21);
        e->setFont(SizedFont(8, false));
        if (maxLength > 0) e->setMaxLength(maxLength);
        e->setText(text);
        return e;
    };
    BLeggi = button("BLeggi", 652, QStringLiteral("Leggi"));
    ELeggiAddress = edit("ELeggiAddress", 104, 656, 69, 8, QStringLiteral("300000"));
    ELeggiLen = edit("ELeggiLen", 176, 656, 45, 2, QString());
    ELeggiDati = ReadOnlyEdit(this, "ELeggiDati", 224, PanelY(656), 277, 21);
    ELeggiFrame = ReadOnlyEdit(this, "ELeggiFrame", 504, PanelY(656), 457, 21);
    BScrivi = button("BScrivi", 680, QStringLiteral("Scrivi"));
    EScriviAddress = edit("EScriviAddress", 104, 682, 69, 8, QStringLiteral("300000"));
    EScriviLen = ReadOnlyEdit(this, "EScriviLen", 176, PanelY(682), 45, 21);
    EScriviDati = edit("EScriviDati", 224, 682, 277, 0, QString());
    EScriviDati->setMaxLength(32767);
    EScriviFrame = ReadOnlyEdit(this, "EScriviFrame", 504, PanelY(682), 457, 21);
    BErase = button("BErase", 708, QStringLiteral("Erase"));
    EEraseAddress = edit("EEraseAddress", 104, 710, 69, 8, QStringLiteral("300000"));
    Edit2 = ReadOnlyEdit(this, "Edit2", 176, PanelY(710), 45, 21);
    Edit2->setText(QStringLiteral("40"));
    EEraseFrame = ReadOnlyEdit(this, "EEraseFrame", 504, PanelY(710), 457, 21);
    BStartDFU = button("BStartDFU", 736, QStringLiteral("Start DFU"));
    EStartFrame = ReadOnlyEdit(this, "EStartFrame", 504, PanelY(738), 457, 21);
    BReset = button("BReset", 764, QStringLiteral("Reset"));
    ERstFrame = ReadOnlyEdit(this, "ERstFrame", 504, PanelY(766), 457, 21);

    connect(BLeggi, &QPushButton::clicked, this, &TForm1::BLeggiClick);
    connect(BScrivi, &QPushButton::clicked, this, &TForm1::BScriviClick);
    connect(BErase, &QPushButton::clicked, this, &TForm1::BEraseClick);
    connect(BStartDFU, &QPushButton::clicked, this, &TForm1::BStartDFUClick);
    connect(BReset, &QPushButton::clicked, this, &TForm1::BResetClick);
    connect(EScriviDati, &QLineEdit::textChanged, this, &TForm1::EScriviDatiChange);
    for (QWidget* w : ManualPanelControls()) w->hide();
}

QList<QWidget*> TForm1::ManualPanelControls() const {
    return {StaticText6, StaticText8,    StaticText10,   StaticTextFrame, BLeggi,     BScrivi,
            BErase,      BStartDFU,      BReset,         ELeggiAddress,   ELeggiLen,  ELeggiDati,
            ELeggiFrame, EScriviAddress, EScriviLen,     EScriviDati,     EScriviFrame, EEraseAddress,
            Edit2,       EEraseFrame,    EStartFrame,    ERstFrame};
}

// A window that grows (the manual panel, an upload) moves up as far as it must to stay on its
// screen.
void TForm1::SetClientHeight(int h) {
    setFixedSize(kClientWidth, h);
    const QScreen* s = screen();
    if (!s || !isVisible()) return;
    const QRect available = s->availableGeometry();
    const QRect frame = frameGeometry();
    const int frameExtra = frame.height() - geometry().height();
    const int overflow = frame.y() + frameExtra + h - 1 - available.bottom();
    if (overflow > 0) move(x(), std::max(available.top(), frame.y() - overflow));
}

void TForm1::ShowError(const QString& text) { dialogs_->ShowError(this, text); }

void TForm1::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (shown_) return;
    shown_ = true;
    if (QScreen* s = screen()) move(s->availableGeometry().center() - rect().center());
    FormShow();
}

void TForm1::closeEvent(QCloseEvent* event) {
    UploadActive = false;  // a running upload stops at its next check and resets the CPU
    event->accept();
}

// ---- start-up ----

void TForm1::FormShow() {
    RBTypeClick();
    PUpload->hide();
    PStat->hide();
    StatusBar->showMessage(windowTitle());
    SavedCaption = windowTitle();
    SettingsPath = qdfu::SettingsPath(LocalPath(options_.ExeDir), DefaultConfigHome());
    SeenPortCount = 0;
    Button2Click();
    SettingsRecord& s = ProcessSettings();
    const bool exists = LoadSettings(SettingsPath, s);
    CBEseguiVerifica->setChecked(exists ? s.VerifyAfterWrite != 0 : true);
    if (ComboBox1->count() > 0 && s.PortNumber > 0)
        SelectPortNumber();
    else
        ComboBox1->setCurrentIndex(-1);
    if (s.AutoPortSelect == 1) {
        RadioButton1->setChecked(true);
    } else {
        RadioButton2->setChecked(true);
    }
    CBBelvotra->setChecked(s.ApplyLineSettings == 0);
    const QString hex = QFile::decodeName(QByteArray::fromStdString(s.HexFilePath));
    if (!s.HexFilePath.empty() && QFileInfo::exists(hex)) DisplayHexFile(hex, Variant::StartUp);
    UpdateFileButtons();
    if (!options_.FileArgument.isEmpty()) OpenChosenFile(QFileInfo(options_.FileArgument).absoluteFilePath());
}

void TForm1::UpdateFileButtons() {
    const std::string& path = ProcessSettings().HexFilePath;
    const bool ready = ComboBox1->currentIndex() >= 0 && !path.empty() &&
                       QFileInfo::exists(QFile::decodeName(QByteArray::fromStdString(path)));
    BOpenHex->setEnabled(true);
    BReloadHex->setEnabled(ready);
    BUpload->setEnabled(ready);
}

void TForm1::Timer1Timer() { Button2Click(); }

void TForm1::ComboBox1Change() { UpdateFileButtons(); }

// ---- port list ----

void TForm1::SelectPortNumber() {
    const int32_t n = ProcessSettings().PortNumber;
    const int index = n > 0 ? ComboBox1->findText(QStringLiteral("COM%1").arg(n), Qt::MatchFixedString) : -1;
    ComboBox1->setCurrentIndex(index);
}

void TForm1::Button2Click() {
    std::string unkept;
    const auto present = ListPresentPorts(options_.Ports, &unkept);
    static bool unkeptSaid = false;  // once per process: the timer asks every half second
    if (!unkept.empty() && !unkeptSaid) {
        unkeptSaid = true;
        std::fprintf(stderr, "quarnelix-dfu: %s\n", unkept.c_str());
    }
    if (!present) return;
    CB_SUP->clear();
    for (const PresentPort& p : *present) CB_SUP->addItem(QString::fromStdString(p.Device));
    if (static_cast<int32_t>(present->size()) == SeenPortCount && ComboBox1->count() > 0) return;
    ComboBox1->clear();
    for (const PresentPort& p : *present) ComboBox1->addItem(QString::fromStdString(p.Name));
    SeenPortCount = ComboBox1->count();
    if (ComboBox1->count() > 0 && ProcessSettings().PortNumber > 0)
        SelectPortNumber();
    else
        ComboBox1->setCurrentIndex(-1);
    UpdateFileButtons();
}

void TForm1::RadioButton1Click() {
    ComboBox1->clear();
    Button2Click();
}

void TForm1::RadioButton2Click() {
    ComboBox1->clear();
    for (int n = 1; n <= 99; ++n) ComboBox1->addItem(QStringLiteral("COM%1").arg(n));
    const int32_t port = ProcessSettings().PortNumber;
    ComboBox1->setCurrentIndex(port >= 1 && port <= 99 ? port - 1 : -1);
}

std::optional<uint32_t> TForm1::ChosenPort() const {
    if (ComboBox1->currentIndex() < 0) return std::nullopt;
    uint32_t port = 0;
    std::string offending;
    if (!PortNumberFromText(ComboBox1->currentText().toStdString(), port, offending)) return std::nullopt;
    return port;
}

// ---- views ----

void TForm1::RBTypeClick() {
    if (RBHex->isChecked()) {
        const int selected = LBData->currentRow();
        const int top = TopRow(LBData);
        LBHex->show();
        LBBuffer->hide();
        LBData->hide();
        SetPositions(LBHex, selected, top);
    } else if (RBData->isChecked()) {
        const int selected = LBHex->currentRow();
        const int top = TopRow(LBHex);
        LBHex->hide();
        LBBuffer->hide();
        LBData->show();
        SetPositions(LBData, selected, top);
    } else if (RBDataBuffer->isChecked()) {
        LBHex->hide();
        LBBuffer->show();
        LBData->hide();
    }
}

// ---- HEX file ----

QString TForm1::FileDateTimeText(const QString& path) {
    const QFileInfo info(path);
    if (!info.exists()) return QStringLiteral("not found");
    const QDateTime t = info.lastModified().toLocalTime();
    const QLocale locale = QLocale::system();
    return locale.toString(t.date(), QLocale::ShortFormat) + QStringLiteral(" - ") +
           locale.toString(t.time(), TimeFormatWithoutZone(locale.timeFormat(QLocale::LongFormat)));
}

void TForm1::ApplyLoad(const HexLoadResult& result, bool tellInvalid) {
    ImageStart = result.ImageStart;
    ImageEnd = result.ImageEnd;
    ImageValid = result.Valid;
    LBData->addItems(ToStrings(result.Listing));
    LBBuffer->addItems(ToStrings(result.Dump));
    if (!result.Valid) {
        LBData->clear();
        LBHex->clear();
        LBBuffer->clear();
        Memo->clear();
        if (tellInvalid) ShowError(QStringLiteral("Invalid HEX File"));
    }
    loadFault_ = result.Valid ? QString() : QString::fromStdString(result.FaultText);
    for (QWidget* w : std::initializer_list<QWidget*>{RBDataBuffer, RBHex, RBData, BUpload}) w->setEnabled(result.Valid);
}

void TForm1::DisplayHexFile(const QString& path, Variant variant) {
    PStat->hide();
    Memo->clear();
    LBHex->clear();
    LBBuffer->clear();
    try {
        if (variant == Variant::Open) {
            ProcessSettings().HexFilePath = LocalPath(path);
            SaveSettings(SettingsPath, ProcessSettings());
        }
        Label3->setText(path);
        Label5->setText(FileDateTimeText(path));
        Label3->adjustSize();
        Label5->adjustSize();
        Label3->repaint();
        Label5->repaint();
        std::vector<std::string> lines;
        loadedSha256_.clear();
        if (FileText bytes; bytes.Open(LocalPath(path))) loadedSha256_ = Sha256Hex(bytes.Text());
        if (ReadTextLines(LocalPath(path), lines)) {
            LBHex->addItems(ToStrings(lines));
            LBHex->setCurrentRow(0);
            LBData->clear();
            LoadHexImage(lines, MemoryImage(), lastLoad_);
            // A damaged file (a record whose checksum does not match, or no end-of-file record) is
            // loaded only when the user says so; otherwise it is dropped like an invalid file,
            // without that box.
            const bool damaged = lastLoad_.Valid && Damaged(lastLoad_);
            if (damaged && !dialogs_->Ask(this, QString::fromStdString(DamageText(lastLoad_)) +
                                                    QStringLiteral("\n\nLoad the file all the same?"))) {
                lastLoad_.Valid = false;
                lastLoad_.FaultText = DamageText(lastLoad_);
                lastLoad_.Listing.clear();
                lastLoad_.Dump.clear();
                ApplyLoad(lastLoad_, false);
            } else {
                ApplyLoad(lastLoad_);
            }
        } else {
            if (errno != EFBIG) return;  // unreadable: the guarded part ends silently
            HexLoadResult tooLarge;      // far too large to be a HEX file for this controller
            tooLarge.Valid = false;
            tooLarge.FaultText = "the file is larger than 64 MiB: it is no HEX file for this controller";
            ApplyLoad(tooLarge);
        }
        for (QListWidget* list : {LBHex, LBData, LBBuffer}) WidenToLongestLine(list);
        if (variant == Variant::Open) setWindowTitle(SavedCaption + QStringLiteral(" - ") + path);
        const QString note = QString::fromStdString(BootAreaNote(lastLoad_));
        StatusBar->showMessage(!loadFault_.isEmpty() ? loadFault_ : note.isEmpty() ? windowTitle() : note);
        if (variant == Variant::Reload) BUploadClick();
    } catch (...) {
        // the guarded part ends silently; what was shown stays
    }
}

void TForm1::BOpenHexClick() {
    OpenFileRequest request;
    request.Title = QStringLiteral("File Hex");
    request.DefaultSuffix = QStringLiteral("*.HEX");
    request.Filter = QStringLiteral("File Hex (*.HEX)");
    const std::string& stored = ProcessSettings().HexFilePath;
    const QString storedPath = QFile::decodeName(QByteArray::fromStdString(stored));
    request.InitialPath = !stored.empty() && QFileInfo::exists(storedPath) ? storedPath : options_.ExeDir;
    const std::optional<QString> chosen = dialogs_->OpenFile(this, request);
    if (chosen) OpenChosenFile(*chosen);
}

void TForm1::OpenChosenFile(const QString& path) {
    if (QFile::encodeName(path).size() > kHexPathMax) {
        ShowError(QStringLiteral("The path of the chosen file is longer than 255 characters and cannot be "
                                 "remembered: move the file to a folder with a shorter path."));
        return;
    }
    DisplayHexFile(path, Variant::Open);
    UpdateFileButtons();
}

namespace {

// The one local .hex file a drag carries; empty for anything else.
QString DroppedHexFile(const QMimeData* mime) {
    if (!mime || !mime->hasUrls() || mime->urls().size() != 1) return {};
    const QString path = mime->urls().front().toLocalFile();
    return path.endsWith(QStringLiteral(".hex"), Qt::CaseInsensitive) && QFileInfo(path).isFile() ? path : QString();
}

}  // namespace

void TForm1::dragEnterEvent(QDragEnterEvent* event) {
    if (!running_ && !UploadActive && !DroppedHexFile(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void TForm1::dropEvent(QDropEvent* event) {
    const QString path = DroppedHexFile(event->mimeData());
    if (running_ || UploadActive || path.isEmpty()) return;
    event->acceptProposedAction();
    OpenChosenFile(QFileInfo(path).absoluteFilePath());
}

void TForm1::ShowOutcomeColour(std::optional<UploadOutcome> outcome) {
    QPalette p = STEsito->palette();
    if (!outcome)
        p.setColor(QPalette::Window, QApplication::palette().color(QPalette::Button));
    else
        p.setColor(QPalette::Window, *outcome == UploadOutcome::Completed ? QColor(0, 255, 0) : QColor(255, 0, 0));
    STEsito->setPalette(p);
}

void TForm1::BReloadHexClick() {
    const std::string& stored = ProcessSettings().HexFilePath;
    const QString path = QFile::decodeName(QByteArray::fromStdString(stored));
    if (stored.empty() || !QFileInfo::exists(path)) return;
    DisplayHexFile(path, Variant::Reload);
    UpdateFileButtons();
}

// ---- upload ----

void TForm1::PrepareUploadLayout() {
    for (QWidget* w : std::initializer_list<QWidget*>{LBData, LBHex, LBBuffer, BOpenHex}) w->setEnabled(false);
    PUpload->show();
    PStat->show();
    RBHex->setEnabled(false);
    RBData->setEnabled(false);
    RBDataBuffer->setChecked(true);
    RBTypeClick();
    PB->setValue(0);
}

void TForm1::RestoreUploadLayout() {
    if (manualShown_) {
        SetClientHeight(kManualPanelHeight);
        SetManualPanelVisible(true);
    } else {
        SetClientHeight(height() - WINDOW_GROWTH);
    }
    for (QWidget* w : std::initializer_list<QWidget*>{RBHex, RBData, LBData, LBHex, LBBuffer, BOpenHex})
        w->setEnabled(true);
    for (QPushButton* b : {BLeggi, BScrivi, BErase, BStartDFU, BReset}) b->setEnabled(true);
    PUpload->hide();
}

void TForm1::BUploadClick() {
    if (UploadActive || running_) {
        // the second press: the run stops at its next check (a press after that changes nothing)
        UploadActive = false;
        BUpload->setText(QStringLiteral("Upload"));
        return;
    }
    // A file that gives nothing from 0x2800 up, or bytes past the end of program memory, is
    // refused before the port is opened.
    if (const std::string refusal = ImageValid ? UploadRefusal(lastLoad_) : std::string(); !refusal.empty()) {
        const QString why = QString::fromStdString(refusal);
        Memo->clear();
        Memo->appendPlainText(why);
        StatusBar->showMessage(why);
        return;
    }
    // After a run to this port that failed mid-way with this very file, the user chooses between
    // going on from the page where it stopped (Yes) and starting over (No).
    const ResumePoint run = RunResumePoint();
    uint32_t resumePage = 0;
    if (!run.Target.empty()) {
        const auto point = LoadResumePoint(options_.ResumeFolder, run.Target);
        if (point && ResumeMismatch(*point, run.ImageSha256, run.VerifyEvery, run.SkipGaps).empty() &&
            dialogs_->Ask(this, QStringLiteral("The last upload of this file to %1 stopped in the page at %2.\n\n"
                                               "Continue from that page? (No starts over.)")
                                    .arg(QString::fromStdString(run.Target),
                                         QString::fromStdString(HexDigits(point->Page, 8)))))
            resumePage = point->Page;
    }
    // The manual panel's exchanges would share the upload's port: its buttons are off for the
    // run, and the panel gives its place to the progress band so the window stays on a 768-pixel
    // screen.
    for (QPushButton* b : {BLeggi, BScrivi, BErase, BStartDFU, BReset}) b->setEnabled(false);
    if (manualShown_) {
        SetManualPanelVisible(false);
        SetClientHeight(kClientHeight + WINDOW_GROWTH);
    } else {
        SetClientHeight(height() + WINDOW_GROWTH);
    }
    UploadActive = true;
    BUpload->setText(QStringLiteral("Interrompi"));
    const bool statsShown = PStat->isVisible();
    PrepareUploadLayout();

    UploadRequest request;
    request.PortText = ComboBox1->currentIndex() >= 0 ? ComboBox1->currentText().toStdString() : std::string();
    request.AutoPortSelect = RadioButton1->isChecked();
    request.Belvotra = CBBelvotra->isChecked();
    request.Simulate = CBSimulazione->isChecked();
    request.DialNumber = Edit1->text().toStdString();
    request.TimeoutMs = options_.TimeoutMs;
    request.SaveSettings = [this] { SaveSettings(SettingsPath, ProcessSettings()); };
    request.ResumePage = resumePage;
    const UploadImage image{MemoryImage(), &ImageStart, &ImageEnd, &ImageValid};

    running_ = true;
    ShowOutcomeColour(std::nullopt);
    const KeepPaintingWhileTheLineWaits painting;
    const UploadResult result =
        CheckBox1->isChecked() ? UploadGsm(request, image, *view_) : UploadDirect(request, image, *view_);
    running_ = false;
    if (result.Started) ShowOutcomeColour(result.Outcome);
    if (!run.Target.empty()) RecordResumePoint(options_.ResumeFolder, run, result);

    RestoreUploadLayout();
    if (!result.Started) PStat->setVisible(statsShown);
    UploadActive = false;
    BUpload->setText(QStringLiteral("Upload"));
}

ResumePoint TForm1::RunResumePoint() const {
    ResumePoint run;
    uint32_t port = 0;
    std::string offending;
    if (CBSimulazione->isChecked() || loadedSha256_.empty() || ComboBox1->currentIndex() < 0 ||
        !PortNumberFromText(ComboBox1->currentText().toStdString(), port, offending))
        return run;
    const std::string device = SerialDeviceFor(port);
    const QString canonical = QFileInfo(QString::fromStdString(device)).canonicalFilePath();
    run.Target = ResumeTarget(canonical.isEmpty() ? device : canonical.toStdString(),
                              CheckBox1->isChecked() ? Edit1->text().toStdString() : std::string());
    run.ImageSha256 = loadedSha256_;
    run.VerifyEvery = CBEseguiVerifica->isChecked() ? VERIFY_EVERY : 0;
    return run;
}

// ---- manual command panel ----

void TForm1::ToggleManualPanel() {
    if (ManualLocked()) return;
    manualShown_ = !manualShown_;
    if (manualShown_) {
        heightBeforePanel_ = height();
        SetClientHeight(kManualPanelHeight);
    } else {
        SetClientHeight(heightBeforePanel_);
    }
    SetManualPanelVisible(manualShown_);
}

void TForm1::SetManualPanelVisible(bool visible) {
    for (QWidget* w : ManualPanelControls()) w->setVisible(visible);
}

std::vector<std::pair<QLineEdit*, std::string ManualPanelFields::*>> TForm1::PanelBindings() const {
    return {{ELeggiAddress, &ManualPanelFields::LeggiAddress}, {ELeggiLen, &ManualPanelFields::LeggiLen},
            {ELeggiDati, &ManualPanelFields::LeggiDati},       {ELeggiFrame, &ManualPanelFields::LeggiFrame},
            {EScriviAddress, &ManualPanelFields::ScriviAddress}, {EScriviLen, &ManualPanelFields::ScriviLen},
            {EScriviDati, &ManualPanelFields::ScriviDati},     {EScriviFrame, &ManualPanelFields::ScriviFrame},
            {EEraseAddress, &ManualPanelFields::EraseAddress}, {EEraseFrame, &ManualPanelFields::EraseFrame},
            {EStartFrame, &ManualPanelFields::StartFrame},     {ERstFrame, &ManualPanelFields::RstFrame}};
}

// The panel's texts are Latin-1 on both sides: hex digits, separators and whatever was typed.
void TForm1::PanelFromWidgets() {
    for (const auto& [edit, field] : PanelBindings()) panelFields_.*field = edit->text().toLatin1().toStdString();
}

void TForm1::PanelToWidgets() {
    for (const auto& [edit, field] : PanelBindings()) {
        const QSignalBlocker block(edit);  // the core already ran the change handler
        const std::string& text = panelFields_.*field;
        const QString t = QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
        if (edit->text() != t) edit->setText(t);
    }
}

void TForm1::RunManual(SerialError (ManualPanel::*command)()) {
    if (ManualLocked()) return;  // an upload holds the port
    PanelFromWidgets();
    panel_->SetPort(ChosenPort());
    panel_->SetTimeoutMs(options_.TimeoutMs);
    {
        const KeepPaintingWhileTheLineWaits painting;
        ((*panel_).*command)();
    }
    PanelToWidgets();
}

// Erase and Write send nothing for an address that is not a number (the reason goes to the status
// bar) and ask before they touch the bootloader's area.
bool TForm1::ManualAddressAllowed(QLineEdit* field, const char* command) {
    const std::string text = field->text().toLatin1().toStdString();
    uint32_t address = 0;
    switch (CheckManualAddress(text, address)) {
        case ManualAddress::Ok: return true;
        case ManualAddress::NotANumber:
            StatusBar->showMessage(QString::fromStdString(ManualAddressRefusal(command, text)));
            return false;
        case ManualAddress::BootArea: break;
    }
    return dialogs_->Ask(this, QString::fromStdString(BootAreaQuestion(command, address)));
}

void TForm1::BLeggiClick() { RunManual(&ManualPanel::Leggi); }
void TForm1::BScriviClick() {
    if (!ManualLocked() && ManualAddressAllowed(EScriviAddress, "Scrivi")) RunManual(&ManualPanel::Scrivi);
}
void TForm1::BEraseClick() {
    if (!ManualLocked() && ManualAddressAllowed(EEraseAddress, "Erase")) RunManual(&ManualPanel::Erase);
}
void TForm1::BStartDFUClick() { RunManual(&ManualPanel::StartDfu); }
void TForm1::BResetClick() { RunManual(&ManualPanel::Reset); }

void TForm1::EScriviDatiChange() {
    PanelFromWidgets();
    panel_->ScriviDatiChange();
    PanelToWidgets();
}

}  // namespace qdfu
