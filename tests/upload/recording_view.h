// An UploadView that records everything the sequence shows, with a hook at every event
// processing point (to press "Interrompi" or reload at a chosen moment).
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "upload.h"

namespace qdfu::test {

class RecordingView : public UploadView {
public:
    void ClearLog() override { log.clear(); }
    void Log(const std::string& line) override { log.push_back(line); }
    void SetStat(StatField field, const std::string& text) override { stats[field] = text; }
    void ShowOperation(Operation op) override { operations.push_back(op); }
    void SetProgress(int position, int maximum) override {
        progress = position;
        progressMax = maximum;
    }
    void SelectDumpRow(int row) override { rows.push_back(row); }
    void ShowMessage(const std::string& text) override { messages.push_back(text); }
    void Warn(const std::string& text) override { warnings.push_back(text); }
    void ProcessEvents() override {
        ++eventPoints;
        if (onEvents) onEvents(*this);
    }
    bool UploadActive() override { return active; }
    bool VerifyChecked() override { return verify; }

    std::vector<std::string> log;
    std::map<StatField, std::string> stats;
    std::vector<Operation> operations;
    std::vector<int> rows;
    std::vector<std::string> messages;
    std::vector<std::string> warnings;
    int progress = -1;
    int progressMax = -1;
    int eventPoints = 0;
    bool active = true;
    bool verify = false;
    std::function<void(RecordingView&)> onEvents;
};

}  // namespace qdfu::test
