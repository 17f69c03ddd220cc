// The window's modal dialogs behind a seam: message boxes (caption "DFU", error icon, OK) and the
// file-open dialog. The program uses the real Qt dialogs; tests answer them without blocking.
#pragma once

#include <QString>
#include <optional>

class QWidget;

namespace qdfu {

struct OpenFileRequest {
    QString Title;
    QString Filter;
    QString DefaultSuffix;
    QString InitialPath;  // a folder, or a file whose folder is shown with it selected
};

class Dialogs {
public:
    virtual ~Dialogs() = default;
    virtual void ShowError(QWidget* parent, const QString& text) = 0;
    // A question with Yes and No (caption "DFU", No by default); true for Yes.
    virtual bool Ask(QWidget* parent, const QString& text) = 0;
    // The chosen path, or nullopt when the user cancels.
    virtual std::optional<QString> OpenFile(QWidget* parent, const OpenFileRequest& request) = 0;
};

class QtDialogs final : public Dialogs {
public:
    void ShowError(QWidget* parent, const QString& text) override;
    bool Ask(QWidget* parent, const QString& text) override;
    std::optional<QString> OpenFile(QWidget* parent, const OpenFileRequest& request) override;
};

}  // namespace qdfu
