// The production line's operator window (see line_window.h).
#include "line_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDate>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSaveFile>
#include <QShortcut>
#include <QTabWidget>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <cmath>
#include <fstream>
#include <optional>

#include "cli_platform.h"
#include "json_events.h"
#include "ledger.h"
#include "ledger_query.h"
#include "run_books.h"
#include "window_fonts.h"

namespace qdfu {
namespace {

constexpr auto kSecondEsc = std::chrono::seconds(3);  // a second Esc this soon cuts the runs short
constexpr int kAlarmMs = 2000;                         // a FAIL's signal repeats this often
constexpr int kInboxMs = 250;  // the engine's events are taken this often: one paint for the bench

QString Q(const std::string& s) { return QString::fromStdString(s); }
std::string S(const QString& s) { return s.toStdString(); }

struct Colours {
    QColor back, text;
};
Colours ColoursOf(TileState state) {
    switch (state) {
    case TileState::Pass: return {QColor(0x2e, 0x7d, 0x32), Qt::white};
    case TileState::Fail: return {QColor(0xc6, 0x28, 0x28), Qt::white};
    case TileState::Flashing: return {QColor(0x15, 0x65, 0xc0), Qt::white};
    case TileState::NotDone: return {QColor(0xef, 0x8f, 0x00), Qt::black};
    case TileState::Ready: break;
    }
    return {QColor(0xe0, 0xe0, 0xe0), Qt::black};
}

QString Percent(int part, int whole) {
    if (whole <= 0) return QStringLiteral("–");
    return QString::number(100.0 * part / whole, 'f', 1) + QStringLiteral(" %");
}

}  // namespace

// ---- a fixture's tile ----

FixtureTile::FixtureTile(const QString& label, const QString& port, QWidget* parent) : QFrame(parent), port_(port) {
    setFrameShape(QFrame::Box);
    setLineWidth(2);
    setAutoFillBackground(true);
    setMinimumSize(300, 140);
    auto* box = new QVBoxLayout(this);
    box->setContentsMargins(10, 6, 10, 6);
    box->setSpacing(2);
    name_ = new QLabel(label.isEmpty() ? port : label + QStringLiteral("  ·  ") + port, this);
    QFont nameFont = name_->font();
    nameFont.setPixelSize(16);
    nameFont.setBold(true);
    name_->setFont(nameFont);
    word_ = new QLabel(this);
    QFont big = word_->font();
    big.setPixelSize(44);
    big.setBold(true);
    word_->setFont(big);
    word_->setAlignment(Qt::AlignCenter);
    progress_ = new QProgressBar(this);
    progress_->setMaximumHeight(14);
    progress_->setTextVisible(false);
    serial_ = new QLabel(this);
    reason_ = new QLabel(this);
    reason_->setWordWrap(true);
    time_ = new QLabel(this);
    auto* facts = new QHBoxLayout;
    facts->addWidget(serial_);
    facts->addStretch();
    facts->addWidget(time_);
    box->addWidget(name_);
    box->addWidget(word_, 1);
    box->addWidget(progress_);
    box->addLayout(facts);
    box->addWidget(reason_);
    for (QLabel* l : {name_, serial_, reason_})
        l->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);  // never wider than the tile
    SetState(TileState::Ready);
}

QString FixtureTile::StateWord() const { return word_->text(); }
QString FixtureTile::Reason() const { return reason_->text(); }
QString FixtureTile::Serial() const { return serial_->text(); }

void FixtureTile::SetState(TileState state) {
    state_ = state;
    switch (state) {
    case TileState::Ready: word_->setText(tr("READY")); break;
    case TileState::Flashing: word_->setText(tr("FLASHING")); break;
    case TileState::Pass: word_->setText(tr("PASS")); break;
    case TileState::Fail: word_->setText(tr("FAIL")); break;
    case TileState::NotDone: word_->setText(tr("NOT DONE")); break;
    }
    const Colours c = ColoursOf(state);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, c.back);
    pal.setColor(QPalette::WindowText, c.text);
    setPalette(pal);
    if (state == TileState::Flashing) {
        progress_->setValue(0);
        serial_->clear();
        reason_->clear();
        time_->clear();
    }
}

void FixtureTile::SetProgress(int done, int total) {
    progress_->setMaximum(std::max(total, 1));
    progress_->setValue(std::clamp(done, 0, std::max(total, 1)));
}

void FixtureTile::SetResult(TileState state, const QString& serial, const QString& reason, double seconds) {
    if (state_ != TileState::Flashing) progress_->setValue(0);  // ended before it started
    SetState(state);
    if (state == TileState::Pass) progress_->setValue(progress_->maximum());
    serial_->setText(serial.isEmpty() ? QString() : tr("Serial %1").arg(serial));
    reason_->setText(reason);
    time_->setText(tr("%1 s").arg(seconds, 0, 'f', 1));
}

// ---- the window ----

LineWindow::LineWindow(LineWindowOptions options, QWidget* parent) : QMainWindow(parent), options_(std::move(options)) {
    if (!options_.Beep) options_.Beep = [] { QApplication::beep(); };
    if (!options_.ChooseProfile)
        options_.ChooseProfile = [](QWidget* w) {
            return QFileDialog::getOpenFileName(w, LineWindow::tr("Choose the line profile"), QString(),
                                                LineWindow::tr("Line profiles (*.ini);;All files (*)"));
        };
    if (!options_.SaveCsvAs)
        options_.SaveCsvAs = [](QWidget* w, const QString& suggested) {
            return QFileDialog::getSaveFileName(w, LineWindow::tr("Export the runs as CSV"), suggested,
                                                LineWindow::tr("CSV files (*.csv)"));
        };
    BuildWindow();
    QString path = options_.ProfilePath;
    if (path.isEmpty()) path = options_.ChooseProfile(this);
    if (path.isEmpty())
        Refuse(tr("No line profile: start with --profile LINE.ini or choose one."));
    else
        LoadProfile(path);
}

LineWindow::~LineWindow() {
    // the application's focus changes while the widgets go; this window no longer follows them
    disconnect(qApp, nullptr, this, nullptr);
    if (engine_.joinable()) {
        stops_ = std::max(stops_.load(), 2);  // the window goes: cut the runs short
        engine_.join();
    }
    JoinAsked();
}

void LineWindow::BuildWindow() {
    setWindowTitle(tr("Quarnelix line"));
    setFont(CaptionFont({16, 18, 22, 26, 44}));  // bold where the system's face cannot draw it
    pages_ = new QTabWidget(this);
    pages_->setFocusPolicy(Qt::NoFocus);
    pages_->tabBar()->setFocusPolicy(Qt::NoFocus);
    setCentralWidget(pages_);

    // the line page
    auto* line = new QWidget;
    auto* box = new QVBoxLayout(line);
    auto* top = new QHBoxLayout;
    auto* people = new QVBoxLayout;
    scan_ = new QLineEdit;
    scan_->setPlaceholderText(tr("Scan your badge, or WO:… for the work order, then Enter"));
    QFont scanFont = scan_->font();
    scanFont.setPixelSize(18);
    scan_->setFont(scanFont);
    operatorLabel_ = new QLabel;
    QFont large = operatorLabel_->font();
    large.setPixelSize(26);
    large.setBold(true);
    operatorLabel_->setFont(large);
    workOrderLabel_ = new QLabel;
    QFont medium = workOrderLabel_->font();
    medium.setPixelSize(18);
    workOrderLabel_->setFont(medium);
    people->addWidget(scan_);
    people->addWidget(operatorLabel_);
    people->addWidget(workOrderLabel_);
    top->addLayout(people, 2);
    auto* shift = new QVBoxLayout;
    countsLabel_ = new QLabel;
    countsLabel_->setFont(medium);
    ledgerLabel_ = new QLabel;
    ledgerLabel_->setWordWrap(true);
    shift->addWidget(countsLabel_);
    shift->addWidget(ledgerLabel_);
    top->addLayout(shift, 3);
    auto* buttons = new QVBoxLayout;
    start_ = new QPushButton(tr("Start (F5)"));
    stop_ = new QPushButton(tr("Stop (Esc)"));
    QFont buttonFont = start_->font();
    buttonFont.setPixelSize(22);
    buttonFont.setBold(true);
    start_->setFont(buttonFont);
    start_->setMinimumSize(180, 56);
    stop_->setFont(buttonFont);
    for (QPushButton* b : {start_, stop_}) b->setFocusPolicy(Qt::NoFocus);
    buttons->addWidget(start_);
    buttons->addWidget(stop_);
    top->addLayout(buttons);
    box->addLayout(top);
    problemLabel_ = new QLabel;
    problemLabel_->setWordWrap(true);
    problemLabel_->setFont(medium);
    problemLabel_->setStyleSheet(QStringLiteral("color: #b71c1c; font-weight: bold;"));
    box->addWidget(problemLabel_);
    tileArea_ = new QWidget;
    tileGrid_ = new QGridLayout(tileArea_);
    tileGrid_->setSpacing(8);
    tileGrid_->setContentsMargins(0, 0, 0, 0);
    box->addWidget(tileArea_, 1);
    statusLabel_ = new QLabel;
    statusLabel_->setWordWrap(true);
    box->addWidget(statusLabel_);
    pages_->addTab(line, tr("Line"));

    // the history page
    auto* history = new QWidget;
    auto* hbox = new QVBoxLayout(history);
    auto* filters = new QHBoxLayout;
    auto* form = new QFormLayout;
    since_ = new QLineEdit;
    since_->setPlaceholderText(tr("YYYY-MM-DD"));
    until_ = new QLineEdit;
    until_->setPlaceholderText(tr("YYYY-MM-DD"));
    form->addRow(tr("From"), since_);
    form->addRow(tr("To"), until_);
    auto* form2 = new QFormLayout;
    hOperator_ = new QLineEdit;
    hWorkOrder_ = new QLineEdit;
    form2->addRow(tr("Operator"), hOperator_);
    form2->addRow(tr("Work order"), hWorkOrder_);
    auto* form3 = new QFormLayout;
    hOutcome_ = new QComboBox;
    hOutcome_->addItem(tr("any"), QString());
    hOutcome_->addItem(tr("completed"), QStringLiteral("completed"));
    hOutcome_->addItem(tr("failed"), QStringLiteral("failed"));
    hOutcome_->addItem(tr("not done"), QStringLiteral("not_done"));
    hSerial_ = new QLineEdit;
    form3->addRow(tr("Outcome"), hOutcome_);
    form3->addRow(tr("Serial"), hSerial_);
    filters->addLayout(form);
    filters->addLayout(form2);
    filters->addLayout(form3);
    auto* hbuttons = new QVBoxLayout;
    auto* show = new QPushButton(tr("Show"));
    auto* exportCsv = new QPushButton(tr("Export CSV…"));
    hbuttons->addWidget(show);
    hbuttons->addWidget(exportCsv);
    filters->addLayout(hbuttons);
    hbox->addLayout(filters);
    historyNote_ = new QLabel;
    historyNote_->setWordWrap(true);
    hbox->addWidget(historyNote_);
    history_ = new QTableWidget;
    history_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    history_->verticalHeader()->setVisible(false);
    hbox->addWidget(history_, 1);
    pages_->addTab(history, tr("History"));

    connect(scan_, &QLineEdit::returnPressed, this, [this] {
        const QString text = scan_->text();
        scan_->clear();
        TakeScan(text);
    });
    connect(start_, &QPushButton::clicked, this, &LineWindow::StartLine);
    connect(stop_, &QPushButton::clicked, this, &LineWindow::StopRequest);
    connect(show, &QPushButton::clicked, this, &LineWindow::ShowHistory);
    connect(exportCsv, &QPushButton::clicked, this, &LineWindow::ExportHistory);
    auto* f5 = new QShortcut(QKeySequence(Qt::Key_F5), this);
    f5->setContext(Qt::ApplicationShortcut);
    connect(f5, &QShortcut::activated, this, &LineWindow::StartLine);
    auto* esc = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    esc->setContext(Qt::ApplicationShortcut);
    connect(esc, &QShortcut::activated, this, &LineWindow::StopRequest);
    // the scan field has the keyboard whenever the line page shows: a scanner types into it
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) {
        if (pages_->currentIndex() == 0 && now != scan_ && isActiveWindow())
            QTimer::singleShot(0, scan_, [this] { scan_->setFocus(Qt::OtherFocusReason); });
    });
    connect(pages_, &QTabWidget::currentChanged, this, [this](int page) {
        if (page == 0) scan_->setFocus(Qt::OtherFocusReason);
    });
    inboxTimer_ = new QTimer(this);
    inboxTimer_->setInterval(kInboxMs);
    connect(inboxTimer_, &QTimer::timeout, this, &LineWindow::TakeEvents);
    alarm_ = new QTimer(this);
    alarm_->setInterval(kAlarmMs);
    connect(alarm_, &QTimer::timeout, this, [this] { options_.Beep(); });
    scan_->setFocus(Qt::OtherFocusReason);
    resize(1366, 768);
    // a label never widens the window: a 500-character scan is cut, every tile stays on screen
    for (QLabel* l : {operatorLabel_, workOrderLabel_, countsLabel_, ledgerLabel_, problemLabel_, statusLabel_})
        l->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    ShowPeople();
    ShowCounts();
}

FixtureTile* LineWindow::Tile(int k) const {
    return k >= 0 && k < static_cast<int>(tiles_.size()) ? tiles_[static_cast<std::size_t>(k)] : nullptr;
}
QString LineWindow::Problem() const { return problem_; }
QString LineWindow::Status() const { return statusLabel_->text(); }
QString LineWindow::LedgerSummary() const { return ledgerLabel_->text(); }
bool LineWindow::Alarming() const { return alarm_->isActive(); }
int LineWindow::HistoryRows() const { return history_->rowCount(); }
bool LineWindow::Busy() const { return asking_.load(); }

void LineWindow::Refuse(const QString& why) {
    problem_ = why;
    problemLabel_->setText(why);
    start_->setEnabled(false);
}

// The profile file's bytes as they are now; none when it cannot be read.
static std::optional<std::string> ProfileBytes(const QString& path) {
    std::ifstream in(path.toStdString(), std::ios::binary);
    if (!in) return std::nullopt;
    std::string bytes(kMaxProfileBytes + 1, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

void LineWindow::LoadProfile(const QString& path) {
    // what an earlier reading of a profile showed goes
    for (FixtureTile* tile : tiles_) delete tile;
    tiles_.clear();
    ports_.clear();
    profile_ = LineProfile{};
    problem_.clear();
    problemLabel_->clear();
    start_->setEnabled(true);
    profilePath_ = path;
    profileBytes_ = ProfileBytes(path);
    LineProfile p;
    ProfileProblem problem = ReadLineProfile(S(path), p);
    if (problem.Status == ProfileStatus::NoSuchFile) problem.Cause = "no such profile";
    if (problem.Status == ProfileStatus::Ok) problem = CheckProfileFirmware(p);
    if (problem.Status == ProfileStatus::Ok) problem = CheckProfileSerialPlace(p);
    if (problem.Status != ProfileStatus::Ok) {
        Refuse(Q(ProfileProblemText(S(path), problem)));
        return;
    }
    profile_ = p;
    setWindowTitle(tr("Quarnelix line — %1").arg(QFileInfo(path).fileName()));
    if (p.Station) {
        SetStatus(tr("Station: every unit plugged in is flashed."));
    } else {
        MakeTiles(p.Ports, p.Labels);
        SetStatus(tr("%n fixture(s) ready: press F5 to start.", nullptr, static_cast<int>(p.Ports.size())));
    }
    ShowPeople();
    RefreshLedger();
    if (p.Station && (!p.OperatorRequired || !operator_.isEmpty())) StartLine();
}

void LineWindow::MakeTiles(const std::vector<std::string>& ports, const std::vector<std::string>& labels) {
    for (std::size_t k = 0; k < ports.size(); ++k) {
        auto* tile = new FixtureTile(k < labels.size() ? Q(labels[k]) : QString(), Q(ports[k]), tileArea_);
        tiles_.push_back(tile);
        ports_.push_back(ports[k]);
    }
    LayTiles();
}

void LineWindow::LayTiles() {
    // up to 16 fixtures on one screen: as square a grid as they make
    const int n = static_cast<int>(tiles_.size());
    const int columns = std::max(1, static_cast<int>(std::ceil(std::sqrt(static_cast<double>(n)))));
    for (int k = 0; k < n; ++k) tileGrid_->addWidget(tiles_[static_cast<std::size_t>(k)], k / columns, k % columns);
}

FixtureTile* LineWindow::TileFor(const QString& port) {
    for (std::size_t k = 0; k < ports_.size(); ++k)
        if (Q(ports_[k]) == port) return tiles_[k];
    if (!profile_.Station) return nullptr;
    // a station's unit plugged in for the first time gets a tile of its own
    auto* tile = new FixtureTile(QString(), port, tileArea_);
    tiles_.push_back(tile);
    ports_.push_back(S(port));
    LayTiles();
    return tile;
}

void LineWindow::TakeScan(const QString& raw) {
    if (alarm_->isActive()) alarm_->stop();  // Enter answers a FAIL's signal
    const QString text = raw.trimmed();
    if (text.isEmpty()) return;
    if (text.startsWith(QStringLiteral("WO:"), Qt::CaseInsensitive)) {
        workOrder_ = text.mid(3).trimmed();
        SetStatus(workOrder_.isEmpty() ? tr("Work order cleared.") : tr("Work order %1.").arg(workOrder_));
    } else {
        operator_ = text;
        SetStatus(tr("Operator %1.").arg(operator_));
    }
    {
        const std::lock_guard<std::mutex> hold(peopleLock_);
        people_ = {S(operator_), S(workOrder_)};
    }
    if (running_)
        SetStatus(Status() + QLatin1Char(' ') +
                  (profile_.Station ? tr("It applies from the next unit.") : tr("It applies from the next start.")));
    ShowPeople();
    if (profile_.Station && !running_ && problem_.isEmpty() && !operator_.isEmpty() && profile_.OperatorRequired)
        StartLine();
}

void LineWindow::ShowPeople() {
    operatorLabel_->setText(operator_.isEmpty() ? (profile_.OperatorRequired ? tr("Operator: scan your badge")
                                                                            : tr("Operator: none"))
                                                : tr("Operator: %1").arg(operator_));
    workOrderLabel_->setText(workOrder_.isEmpty() ? tr("Work order: none") : tr("Work order: %1").arg(workOrder_));
}

void LineWindow::SetStatus(const QString& text) { statusLabel_->setText(text); }

void LineWindow::StartLine() {
    if (running_) return;
    // the profile as it is now: one changed (or mended) since it was read is read again and shown
    // before anything starts
    if (!profilePath_.isEmpty() && ProfileBytes(profilePath_) != profileBytes_) {
        LoadProfile(profilePath_);
        if (problem_.isEmpty() && !running_)
            SetStatus(tr("The line profile changed: it was read again. Press F5 to start."));
        return;
    }
    if (!problem_.isEmpty()) {
        SetStatus(problem_);
        return;
    }
    if (profile_.OperatorRequired && operator_.isEmpty()) {
        SetStatus(tr("Nothing starts without an operator: scan your badge first."));
        return;
    }
    LinePlan plan;
    ProductionOptions line;
    TakeLineProfile(profile_, S(profilePath_), plan, line);
    line.Self = options_.Cli;
    line.Paths = options_.Paths;
    line.Operator = S(operator_);
    line.WorkOrder = S(workOrder_);
    line.Station = HostName();
    std::string why;
    if (!plan.Station && !CheckLinePorts(plan.Ports, options_.Paths, why)) {
        SetStatus(Q(why));
        return;
    }
    if (!plan.Station) {
        ports_ = plan.Ports;  // as the engine names them (an adapter found by its serial)
        // every fixture's last result goes: its run starts now, though its child may still wait
        // for a serial
        for (FixtureTile* tile : tiles_) tile->SetState(TileState::Flashing);
    }
    if (engine_.joinable()) engine_.join();
    stops_ = 0;
    notes_.clear();
    running_ = true;
    inboxTimer_->start();
    start_->setEnabled(false);
    SetStatus(plan.Station ? tr("Watching the ports: plug in a unit.") : tr("Flashing…"));
    engine_ = std::thread([this, plan, line]() mutable {
        const auto post = [this](std::function<void()> f) { QMetaObject::invokeMethod(this, std::move(f), Qt::QueuedConnection); };
        const auto say = [this, post](const std::string& text) {
            post([this, t = Q(text)] {
                if (!t.startsWith(QStringLiteral("station: watching"))) notes_ << t;
                SetStatus(t);
            });
        };
        const auto finish = [this, post](int status, const std::string& refusal) {
            post([this, status, r = Q(refusal)] {
                TakeEvents();  // every event before the end
                OnFinished(status, r);
            });
        };
        std::string text, why;
        std::vector<std::string> notes;
        LineFirmware firmware;
        if (const int rc = firmware.Prepare(plan, text, why, notes)) return finish(rc, why);
        for (const std::string& note : notes) say(note);
        std::unique_ptr<Ledger> books;
        if (!plan.LedgerWhere.empty()) {
            LineLedgerPlan where;
            where.Where = plan.LedgerWhere;
            where.SerialsGiven = plan.SerialAt.has_value();
            where.SerialFirst = plan.SerialFirst;
            where.FirstOnlyForANewLedger = plan.FirstOnlyForANewLedger;
            if (const int rc = OpenLineLedger(where, books, why, say)) return finish(rc, why);
            KeptAsideHooks hooks = KeepAsideFor(plan.LedgerWhere, *books, say);
            line.KeepRun = std::move(hooks.Keep);
            line.ForgetRun = std::move(hooks.Forget);
            line.RecordKept = std::move(hooks.RecordKept);
        }
        line.RunLedger = books.get();
        line.SerialAt = plan.SerialAt;
        line.Serials = plan.Serials;
        line.StopRequests = &stops_;
        line.People = [this](std::string& operatorName, std::string& workOrder) {
            const std::lock_guard<std::mutex> hold(peopleLock_);
            operatorName = people_.first;
            workOrder = people_.second;
        };
        line.Say = say;
        // the events wait in the inbox for the window's next look (a few a second), so that a
        // bench of fixtures does not wake the window for every line
        JsonEvents events([this](const std::string& l) {
            const std::lock_guard<std::mutex> hold(inboxLock_);
            inbox_.push_back(l);
        });
        line.Events = &events;
        RunOutputs outputs;
        if (!outputs.Open("", "", why)) return finish(kExitCannotCreate, why);
        const int rc = plan.Station ? RunStation(line, firmware.Get(), outputs)
                                    : RunMultiPortUpload(line, firmware.Get(), plan.Ports, outputs);
        finish(rc, {});
    });
}

void LineWindow::StopRequest() {
    if (!running_) return;
    const auto now = std::chrono::steady_clock::now();
    if (stops_ == 0) {
        stops_ = 1;
        lastEsc_ = now;
        SetStatus(tr("Stopping: every running fixture stops and resets its controller. "
                     "Esc again within 3 s cuts them short."));
    } else if (stops_ == 1 && now - lastEsc_ <= kSecondEsc) {
        stops_ = 2;
        SetStatus(tr("Cut short: the running fixtures end now."));
    } else {
        lastEsc_ = now;
        SetStatus(tr("Stopping… Esc again within 3 s cuts the runs short."));
    }
}

void LineWindow::OnEvent(const QByteArray& text) {
    const QJsonObject e = QJsonDocument::fromJson(text).object();
    const QString event = e.value(QStringLiteral("event")).toString();
    FixtureTile* tile = TileFor(e.value(QStringLiteral("port")).toString());
    if (!tile) return;
    if (event == QStringLiteral("start")) {
        tile->SetState(TileState::Flashing);
    } else if (event == QStringLiteral("progress")) {
        if (tile->State() != TileState::Flashing) tile->SetState(TileState::Flashing);
        tile->SetProgress(e.value(QStringLiteral("blocks_done")).toInt(), e.value(QStringLiteral("blocks_total")).toInt());
    } else if (event == QStringLiteral("retry")) {
        SetStatus(tr("%1: the line went; connecting again (retry %2).")
                      .arg(tile->Port())
                      .arg(e.value(QStringLiteral("retry")).toInt()));
    } else if (event == QStringLiteral("end")) {
        const QString outcome = e.value(QStringLiteral("outcome")).toString();
        const TileState state = outcome == QStringLiteral("completed") ? TileState::Pass
                                : outcome == QStringLiteral("failed")  ? TileState::Fail
                                                                       : TileState::NotDone;
        const QJsonValue serial = e.value(QStringLiteral("serial"));
        const QString serialText = serial.isDouble() ? QString::number(static_cast<qint64>(serial.toDouble()))
                                                     : serial.toString();
        tile->SetResult(state, serialText, e.value(QStringLiteral("reason")).toString(),
                        e.value(QStringLiteral("seconds")).toDouble());
        ++counts_.Runs;
        if (state == TileState::Pass) {
            ++counts_.Pass;
            options_.Beep();
        } else if (state == TileState::Fail) {
            ++counts_.Fail;
            RingFail();
        } else {
            ++counts_.NotDone;
        }
        ShowCounts();
        RefreshLedger();
    }
}

void LineWindow::RingFail() {
    options_.Beep();
    alarm_->start();  // until Enter
}

void LineWindow::TakeEvents() {
    std::vector<std::string> lines;
    {
        const std::lock_guard<std::mutex> hold(inboxLock_);
        lines.swap(inbox_);
    }
    for (const std::string& l : lines) OnEvent(QByteArray::fromStdString(l));
}

void LineWindow::OnFinished(int status, const QString& refusal) {
    running_ = false;
    inboxTimer_->stop();
    if (engine_.joinable()) engine_.join();
    start_->setEnabled(problem_.isEmpty());
    if (!refusal.isEmpty()) {
        // refused before any fixture was touched: each says why
        for (FixtureTile* tile : tiles_) tile->SetResult(TileState::NotDone, QString(), refusal, 0);
        SetStatus(refusal);
    } else if (profile_.Station) {
        SetStatus(tr("The station stopped: press F5 to watch the ports again."));
    } else {
        SetStatus(status == 0                   ? tr("Every fixture passed. Press F5 for the next units.")
                  : status == kExitOutputFailed ? tr("Every fixture passed, but not everything was written down:")
                                                : tr("Done: press F5 for the next units."));
    }
    // what the engine said during the run (a ledger that did not take a row, a run kept aside)
    // stays on screen after its end
    if (refusal.isEmpty() && !notes_.isEmpty())
        SetStatus(Status() + QLatin1Char('\n') + notes_.mid(std::max<qsizetype>(0, notes_.size() - 3)).join(QLatin1Char('\n')));
    RefreshLedger();
    if (closing_) close();
}

void LineWindow::ShowCounts() {
    countsLabel_->setText(tr("This window: %1 runs · %2 PASS · %3 FAIL · yield %4")
                              .arg(counts_.Runs)
                              .arg(counts_.Pass)
                              .arg(counts_.Fail)
                              .arg(Percent(counts_.Pass, counts_.Pass + counts_.Fail)));
}

void LineWindow::Ask(std::function<void()> job) {
    asks_.push_back(std::move(job));
    if (!asking_) AskNext();
}

void LineWindow::AskNext() {
    JoinAsked();
    if (asks_.empty()) return;
    std::function<void()> job = std::move(asks_.front());
    asks_.pop_front();
    asking_ = true;
    asked_ = std::thread([this, job = std::move(job)] {
        job();
        QMetaObject::invokeMethod(
            this,
            [this] {
                asking_ = false;
                AskNext();
            },
            Qt::QueuedConnection);
    });
}

void LineWindow::JoinAsked() {
    if (asked_.joinable()) asked_.join();
}

void LineWindow::RefreshLedger() {
    const std::string where = profile_.LedgerWhere();
    if (profile_.Ledger.empty()) {
        ledgerLabel_->setText(tr("This line keeps no ledger."));
        return;
    }
    std::string since, why;
    if (!ParseLedgerTime(S(QDate::currentDate().toString(Qt::ISODate)), false, since, why)) {
        ledgerLabel_->setText(Q(why));  // never the figures of every day as today's
        return;
    }
    const std::string station = HostName();
    if (statsAsked_.exchange(true)) return;  // one waiting is enough: it reads the ledger as it will be
    Ask([this, where, since, station] {
        statsAsked_ = false;
        std::string why;
        QString text;
        if (!LedgerExists(where)) {
            text = tr("Today on this line: no runs yet.");
        } else if (auto books = OpenLedger(where, why, LedgerAccess::Read); !books) {
            text = tr("Ledger cannot be reached: %1").arg(Q(why));
        } else {
            RunFilter filter;
            filter.Since = since;
            filter.Station = station;
            std::vector<LedgerRun> runs;
            if (!books->Runs(filter, runs, why)) {
                text = tr("Ledger cannot be reached: %1").arg(Q(why));
            } else {
                const auto all = LedgerStats(runs, StatsBy::Station);
                uint64_t passed = 0, failed = 0;
                for (const StatsRow& r : all) passed += r.Completed, failed += r.Failed;
                text = tr("Today on this line: %1 runs, yield %2")
                           .arg(runs.size())
                           .arg(Percent(static_cast<int>(passed), static_cast<int>(passed + failed)));
                const auto reasons = LedgerStats(runs, StatsBy::Reason);
                int shown = 0;
                for (const StatsRow& r : reasons) {
                    if (r.Group.empty() || r.Failed + r.NotDone == 0) continue;
                    text += QStringLiteral("\n%1. %2 (%3)").arg(++shown).arg(Q(r.Group)).arg(r.Failed + r.NotDone);
                    if (shown == 3) break;
                }
            }
        }
        QMetaObject::invokeMethod(this, [this, text] { ledgerLabel_->setText(text); }, Qt::QueuedConnection);
    });
}

void LineWindow::SetHistoryFilter(const QString& field, const QString& value) {
    if (field == QStringLiteral("since")) since_->setText(value);
    else if (field == QStringLiteral("until")) until_->setText(value);
    else if (field == QStringLiteral("operator")) hOperator_->setText(value);
    else if (field == QStringLiteral("work_order")) hWorkOrder_->setText(value);
    else if (field == QStringLiteral("serial")) hSerial_->setText(value);
    else if (field == QStringLiteral("outcome")) hOutcome_->setCurrentIndex(std::max(0, hOutcome_->findData(value)));
}

void LineWindow::ShowHistory() {
    if (profile_.Ledger.empty()) {
        historyNote_->setText(tr("This line keeps no ledger."));
        return;
    }
    RunFilter filter;
    std::string why;
    const auto refuse = [&](const std::string& text) { historyNote_->setText(Q(text)); };
    if (!since_->text().trimmed().isEmpty() && !ParseLedgerTime(S(since_->text().trimmed()), false, filter.Since, why))
        return refuse(why);
    if (!until_->text().trimmed().isEmpty() && !ParseLedgerTime(S(until_->text().trimmed()), true, filter.Until, why))
        return refuse(why);
    if (!hOperator_->text().trimmed().isEmpty()) filter.Operator = S(hOperator_->text().trimmed());
    if (!hWorkOrder_->text().trimmed().isEmpty()) filter.WorkOrder = S(hWorkOrder_->text().trimmed());
    if (const QString o = hOutcome_->currentData().toString(); !o.isEmpty()) filter.Outcome = S(o);
    if (const QString s = hSerial_->text().trimmed(); !s.isEmpty()) {
        bool ok = false;
        const qulonglong n = s.toULongLong(&ok);
        if (!ok || n > 0xFFFFFFFFull) return refuse(S(tr("Serial: '%1' is not a serial number").arg(s)));
        filter.Serial = static_cast<uint32_t>(n);
    }
    const std::string where = profile_.LedgerWhere();
    historyNote_->setText(tr("Reading the ledger…"));
    Ask([this, where, filter] {
        std::string why;
        std::vector<LedgerRun> runs;
        bool ok = false;
        if (!LedgerExists(where)) {
            ok = true;
        } else if (auto books = OpenLedger(where, why, LedgerAccess::Read)) {
            ok = books->Runs(filter, runs, why);
        }
        std::vector<std::vector<std::string>> rows;
        for (const LedgerRun& r : runs) rows.push_back(RunFieldValues(r));
        QMetaObject::invokeMethod(
            this,
            [this, ok, why, rows = std::move(rows)]() mutable {
                if (!ok) {
                    historyNote_->setText(tr("Ledger cannot be reached: %1").arg(Q(why)));
                    return;
                }
                historyRows_ = std::move(rows);
                const std::vector<std::string> header = RunFieldNames();
                history_->clear();
                history_->setColumnCount(static_cast<int>(header.size()));
                history_->setRowCount(static_cast<int>(historyRows_.size()));
                QStringList names;
                for (const std::string& h : header) names << Q(h);
                history_->setHorizontalHeaderLabels(names);
                for (std::size_t r = 0; r < historyRows_.size(); ++r)
                    for (std::size_t c = 0; c < historyRows_[r].size(); ++c)
                        history_->setItem(static_cast<int>(r), static_cast<int>(c),
                                          new QTableWidgetItem(Q(historyRows_[r][c])));
                historyNote_->setText(tr("%n run(s).", nullptr, static_cast<int>(historyRows_.size())));
            },
            Qt::QueuedConnection);
    });
}

void LineWindow::ExportHistory() {
    const QString path = options_.SaveCsvAs(this, QStringLiteral("runs.csv"));
    if (path.isEmpty()) return;
    std::string text = CsvRecord(RunFieldNames());
    for (const auto& row : historyRows_) text += CsvRecord(row);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text.data(), static_cast<qint64>(text.size())) !=
                                                static_cast<qint64>(text.size()) ||
        !file.commit()) {
        historyNote_->setText(tr("Cannot write %1: %2").arg(path, file.errorString()));
        return;
    }
    historyNote_->setText(tr("%n run(s) written to %1.", nullptr, static_cast<int>(historyRows_.size())).arg(path));
}

void LineWindow::closeEvent(QCloseEvent* event) {
    if (!running_) {
        event->accept();
        return;
    }
    // the window closes once every fixture has stopped and reset its controller
    closing_ = true;
    if (stops_ == 0) StopRequest();
    event->ignore();
}

}  // namespace qdfu
