// quarnelix-dfu-line: the production line's operator window. It runs a line profile through the
// production engine, the same code as the command line's upload and station: a tile per fixture
// with a state word readable from two metres, the operator and the work order set by a barcode
// scanner (a keyboard that ends with Enter), F5 to start, Esc to stop, a signal on every result,
// the shift's counts and the day's yield from the ledger, and the ledger's runs on a second page.
//
// The engine runs on a thread of its own beside the event loop; its events (the lines --json
// writes) come back to the window as queued calls, so the window answers while fixtures flash. A
// stop is a call to the engine, never a process signal.
#pragma once

#include <QFrame>
#include <QMainWindow>
#include <QString>
#include <QStringList>
#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "line_setup.h"
#include "ports.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTableWidget;
class QTabWidget;
class QGridLayout;
class QTimer;

namespace qdfu {

enum class TileState { Ready, Flashing, Pass, Fail, NotDone };

// One fixture on the bench: its label and port, a large state word (always a word beside the
// colour), progress, the serial it gave, why it did not pass, and the time taken. A result stays
// until the fixture's next run starts.
class FixtureTile final : public QFrame {
    Q_OBJECT
public:
    FixtureTile(const QString& label, const QString& port, QWidget* parent = nullptr);
    void SetState(TileState state);
    void SetProgress(int done, int total);
    void SetResult(TileState state, const QString& serial, const QString& reason, double seconds);
    TileState State() const { return state_; }
    QString Port() const { return port_; }
    QString StateWord() const;
    QString Reason() const;
    QString Serial() const;

private:
    TileState state_ = TileState::Ready;
    QString port_;
    QLabel* name_;
    QLabel* word_;
    QProgressBar* progress_;
    QLabel* serial_;
    QLabel* reason_;
    QLabel* time_;
};

struct LineWindowOptions {
    QString ProfilePath;  // "" to choose one at start
    std::string Cli;      // the command line program each fixture's upload runs in
    PortPaths Paths = DefaultPortPaths();
    // The signals and the file dialogs; the system's by default (tests count and answer them).
    std::function<void()> Beep;
    std::function<QString(QWidget*)> ChooseProfile;
    std::function<QString(QWidget*, const QString& suggested)> SaveCsvAs;
};

// The tests' view of the shift: this window's own counts.
struct ShiftCounts {
    int Runs = 0, Pass = 0, Fail = 0, NotDone = 0;
};

class LineWindow final : public QMainWindow {
    Q_OBJECT
public:
    explicit LineWindow(LineWindowOptions options, QWidget* parent = nullptr);
    ~LineWindow() override;  // a running line is stopped (each controller reset) and waited for

    // What the keys do, callable as they are.
    void StartLine();    // F5, the Start button
    void StopRequest();  // Esc
    void TakeScan(const QString& text);  // a scan or typed text ended by Enter

    // For the tests and the screenshots.
    QLineEdit* ScanField() const { return scan_; }
    FixtureTile* Tile(int k) const;
    int Tiles() const { return static_cast<int>(tiles_.size()); }
    QString Operator() const { return operator_; }
    QString WorkOrder() const { return workOrder_; }
    QString Problem() const;  // why nothing can start, or "" when the line is ready
    QString Status() const;   // the last line for the operator
    QString LedgerSummary() const;
    bool Running() const { return running_; }
    bool Alarming() const;
    ShiftCounts Counts() const { return counts_; }
    QTabWidget* Pages() const { return pages_; }
    // The history page's filters and table.
    void SetHistoryFilter(const QString& field, const QString& value);
    void ShowHistory();
    void ExportHistory();
    int HistoryRows() const;
    bool Busy() const;  // a ledger question is being answered

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildWindow();
    void LoadProfile(const QString& path);
    void Refuse(const QString& why);
    void LayTiles();
    void MakeTiles(const std::vector<std::string>& ports, const std::vector<std::string>& labels);
    FixtureTile* TileFor(const QString& port);
    void TakeEvents();  // the engine's events that came since the last look
    void OnEvent(const QByteArray& line);
    void OnFinished(int status, const QString& refusal);
    void SetStatus(const QString& text);
    void ShowPeople();
    void ShowCounts();
    void RefreshLedger();
    void Ask(std::function<void()> job);  // a ledger question, on a thread of its own, in turn
    void AskNext();
    void JoinAsked();
    void RingFail();

    LineWindowOptions options_;
    QString profilePath_;
    std::optional<std::string> profileBytes_;  // the profile's file as it was read
    QStringList notes_;                        // what the engine said during this run
    LineProfile profile_;
    QString problem_;
    QString operator_, workOrder_;
    bool running_ = false;
    bool closing_ = false;  // closed during a run: closes once the run has ended
    ShiftCounts counts_;
    std::vector<FixtureTile*> tiles_;
    std::vector<std::string> ports_;  // the tiles' ports, as the engine names them

    // the engine: its thread, its stop requests (Esc presses) and when the last came
    std::thread engine_;
    std::atomic<int> stops_{0};
    std::chrono::steady_clock::time_point lastEsc_;

    // the ledger's questions: one at a time, on a thread of their own
    std::thread asked_;
    std::atomic<bool> asking_{false};
    std::deque<std::function<void()>> asks_;  // the questions waiting for the one being answered
    std::atomic<bool> statsAsked_{false};     // the day's figures are asked for and not yet read

    QTabWidget* pages_ = nullptr;
    QLineEdit* scan_ = nullptr;
    QLabel* operatorLabel_ = nullptr;
    QLabel* workOrderLabel_ = nullptr;
    QLabel* problemLabel_ = nullptr;
    QLabel* statusLabel_ = nullptr;
    QLabel* countsLabel_ = nullptr;
    QLabel* ledgerLabel_ = nullptr;
    QPushButton* start_ = nullptr;
    QPushButton* stop_ = nullptr;
    QWidget* tileArea_ = nullptr;
    QGridLayout* tileGrid_ = nullptr;
    QTimer* alarm_ = nullptr;
    QTimer* inboxTimer_ = nullptr;
    std::mutex inboxLock_;
    std::vector<std::string> inbox_;  // the engine's event lines, written on its thread
    std::mutex peopleLock_;
    std::pair<std::string, std::string> people_;  // the operator and work order, as the engine reads them
    // history
    QLineEdit* since_ = nullptr;
    QLineEdit* until_ = nullptr;
    QLineEdit* hOperator_ = nullptr;
    QLineEdit* hWorkOrder_ = nullptr;
    QLineEdit* hSerial_ = nullptr;
    QComboBox* hOutcome_ = nullptr;
    QLabel* historyNote_ = nullptr;
    QTableWidget* history_ = nullptr;
    std::vector<std::vector<std::string>> historyRows_;
};

}  // namespace qdfu
