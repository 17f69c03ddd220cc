// Windows: the offscreen platform reads font files from one folder only, and its default font is
// none of the system's: it is given the system's font folder, and the application the message
// font, which the native platform makes the default.
#include <windows.h>

#include <QApplication>
#include <QFont>
#include <cstdlib>

#include "offscreen_fonts.h"

namespace qdfu::test {

void PrepareOffscreenFonts() {
    if (qEnvironmentVariableIsSet("QT_QPA_FONTDIR")) return;
    char windows[MAX_PATH];
    const UINT n = ::GetWindowsDirectoryA(windows, sizeof windows);
    if (n == 0 || n >= sizeof windows) return;
    qputenv("QT_QPA_FONTDIR", QByteArray(windows, static_cast<int>(n)) + "\\Fonts");
}

void UseSystemFont() {
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    if (!::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, metrics.cbSize, &metrics, 0)) return;
    QFont font(QString::fromWCharArray(metrics.lfMessageFont.lfFaceName));
    if (metrics.lfMessageFont.lfHeight != 0) font.setPixelSize(std::abs(metrics.lfMessageFont.lfHeight));
    QApplication::setFont(font);
}

}  // namespace qdfu::test
