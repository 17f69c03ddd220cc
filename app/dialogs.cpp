// Real Qt dialogs.
#include "dialogs.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

namespace qdfu {

void QtDialogs::ShowError(QWidget* parent, const QString& text) {
    QMessageBox box(QMessageBox::Critical, QStringLiteral("DFU"), text, QMessageBox::Ok, parent);
    box.exec();
}

bool QtDialogs::Ask(QWidget* parent, const QString& text) {
    QMessageBox box(QMessageBox::Warning, QStringLiteral("DFU"), text, QMessageBox::Yes | QMessageBox::No, parent);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

std::optional<QString> QtDialogs::OpenFile(QWidget* parent, const OpenFileRequest& request) {
    QFileDialog dialog(parent, request.Title);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilter(request.Filter);
    dialog.setDefaultSuffix(request.DefaultSuffix);
    const QFileInfo initial(request.InitialPath);
    if (initial.isFile()) {
        dialog.setDirectory(initial.absolutePath());
        dialog.selectFile(initial.fileName());
    } else {
        dialog.setDirectory(request.InitialPath);
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return dialog.selectedFiles().first();
}

}  // namespace qdfu
