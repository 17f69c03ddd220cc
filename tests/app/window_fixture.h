// Shared set-up of the window tests: a settings folder standing in for the executable's, a fake
// ports tree, dialogs answered without blocking, and the example firmware copied into place.
#pragma once

#include <gtest/gtest.h>

#include <QString>
#include <deque>
#include <filesystem>
#include <memory>
#include <optional>

#include "dialogs.h"
#include "settings.h"
#include "temp_dir.h"
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
        if (answers.empty()) return std::nullopt;
        auto a = answers.front();
        answers.pop_front();
        return a;
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
        ports.PortsDir = tree.File("ports");
        ports.DevRoot = tree.File("dev");
        ports.SysfsRoot = tree.File("sys");
        std::filesystem::create_directories(ports.PortsDir);
        std::filesystem::create_directories(ports.DevRoot);
        std::filesystem::create_directories(ports.SysfsRoot + "/class/tty");
        std::filesystem::copy_file(std::string(QDFU_EXAMPLES_DIR) + "/quarnelix_v3_demo.hex", exe.File("demo.hex"));
    }
    void TearDown() override { form.reset(); }

    // A present port COMn whose device is the given path (a file by default).
    void AddPort(uint32_t n, std::string device = {}) {
        if (device.empty()) {
            device = tree.File("dev/dev" + std::to_string(n));
            tree.Write("dev/dev" + std::to_string(n), "");
        }
        std::filesystem::create_symlink(device, ports.PortsDir + "/com" + std::to_string(n));
    }
    void RemovePort(uint32_t n) { std::filesystem::remove(ports.PortsDir + "/com" + std::to_string(n)); }

    void WriteSettings(const SettingsRecord& r) { ASSERT_TRUE(SaveSettings(exe.File(kSettingsFileName), r)); }
    SettingsRecord Stored() {
        SettingsRecord r;
        LoadSettings(exe.File(kSettingsFileName), r);
        return r;
    }

    TForm1& Open(int32_t timeoutMs = 150) {
        TForm1Options o;
        o.ExeDir = QString::fromStdString(exe.Path());
        o.Ports = ports;
        o.TimeoutMs = timeoutMs;
        o.DialogSeam = &dialogs;
        form = std::make_unique<TForm1>(o);
        form->show();
        return *form;
    }

    TempDir exe;
    TempDir tree;
    PortPaths ports;
    FakeDialogs dialogs;
    std::unique_ptr<TForm1> form;
};

}  // namespace qdfu::test
