// Shared set-up of the window tests: a settings folder standing in for the executable's, present
// ports of the test's own, dialogs answered without blocking, and the example firmware copied
// into place.
#pragma once

#include <gtest/gtest.h>

#include <QString>
#include <deque>
#include <filesystem>
#include <memory>
#include <optional>

#include "dialogs.h"
#include "settings.h"
#include "serial.h"
#include "temp_dir.h"
#include "test_ports.h"
#include "tform1.h"

namespace qdfu::test {

class FakeDialogs final : public Dialogs {
public:
    void ShowError(QWidget*, const QString& text) override {
        errors.push_back(text.toStdString());
        if (onError) onError(text);
    }
    bool Ask(QWidget*, const QString& text) override {
        questions.push_back(text.toStdString());
        return yes;
    }
    std::optional<QString> OpenFile(QWidget*, const OpenFileRequest& request) override {
        requests.push_back(request);
        std::optional<QString> answer;
        if (answers.empty()) return answer;
        answer.swap(answers.front());
        answers.pop_front();
        return answer;
    }
    std::vector<std::string> errors;
    std::vector<std::string> questions;
    bool yes = false;  // the answer to every question
    std::vector<OpenFileRequest> requests;
    std::deque<std::optional<QString>> answers;
    std::function<void(const QString&)> onError;
};

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        ProcessSettings() = SettingsRecord{};
        std::filesystem::copy_file(std::string(QDFU_EXAMPLES_DIR) + "/quarnelix_v3_demo.hex", exe.File("demo.hex"));
    }
    void TearDown() override { form.reset(); }

    // A present port COMn, standing for the given device when there is one.
    void AddPort(uint32_t n, const std::string& device = {}) { ports.Add(n, device); }
    void RemovePort(uint32_t n) { ports.Remove(n); }
    // The serial driver opens what the present ports stand for.
    void ResolvePorts() {
        SerialSetPortResolver([this](uint32_t n) { return ports.DevicePath(n); });
    }

    void WriteSettings(const SettingsRecord& r) { ASSERT_TRUE(SaveSettings(exe.File(kSettingsFileName), r)); }
    SettingsRecord Stored() {
        SettingsRecord r;
        LoadSettings(exe.File(kSettingsFileName), r);
        return r;
    }

    TForm1& Open(int32_t timeoutMs = 150, const QString& fileArgument = {}) {
        TForm1Options o;
        o.FileArgument = fileArgument;
        o.ExeDir = QString::fromStdString(exe.Path());
        o.Ports = ports.Paths();
        o.TimeoutMs = timeoutMs;
        o.DialogSeam = &dialogs;
        o.ResumeFolder = exe.File("state");
        form = std::make_unique<TForm1>(o);
        form->show();
        return *form;
    }

    TempDir exe;
    TestPorts ports;
    FakeDialogs dialogs;
    std::unique_ptr<TForm1> form;
};

}  // namespace qdfu::test
