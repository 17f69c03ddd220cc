// The face the windows draw their captions in (see window_fonts.h).
#include "window_fonts.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>

namespace qdfu {
namespace {

// text as f draws it, black on white.
QImage Drawn(const QFont& f, const QString& text) {
    QImage image(QFontMetrics(f).horizontalAdvance(text) + 8, QFontMetrics(f).height() + 4, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setFont(f);
    painter.setPen(Qt::black);
    painter.drawText(4, QFontMetrics(f).ascent() + 2, text);
    return image;
}

// How dark the image is: the sum of its pixels' darkness.
long Ink(const QImage& image) {
    long ink = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) ink += 255 - qGray(image.pixel(x, y));
    return ink;
}

// Whether f draws captions as they must look at every one of the sizes: bold that is darker than
// regular, and a hyphen that shows. A face that fails (Wine's Tahoma at 13 pixels draws bold as
// regular and no hyphen at all) is passed over.
bool DrawsCaptions(QFont f, std::initializer_list<int> pixelSizes) {
    for (int pixels : pixelSizes) {
        f.setPixelSize(pixels);
        f.setBold(false);
        const QImage regular = Drawn(f, QStringLiteral("Data - Ora:"));
        const QImage hyphen = Drawn(f, QStringLiteral("-"));
        f.setBold(true);
        // bold that a reader sees: clearly more ink than regular, not a face drawn a pixel wider
        if (Ink(Drawn(f, QStringLiteral("Data - Ora:"))) * 10 < Ink(regular) * 12) return false;
        bool ink = false;
        for (int y = 0; y < hyphen.height() && !ink; ++y)
            for (int x = 0; x < hyphen.width() && !ink; ++x) ink = qGray(hyphen.pixel(x, y)) < 128;
        if (!ink) return false;
    }
    return true;
}

}  // namespace

QFont CaptionFont(std::initializer_list<int> pixelSizes) {
    QFont f = QApplication::font();
    if (DrawsCaptions(f, pixelSizes)) return f;
    const QStringList present = QFontDatabase::families();
    for (const char* family : {"Microsoft Sans Serif", "Tahoma", "Segoe UI", "Arial", "DejaVu Sans"}) {
        QFont candidate = f;
        candidate.setFamily(QString::fromLatin1(family));
        if (present.contains(candidate.family()) && DrawsCaptions(candidate, pixelSizes)) return candidate;
    }
    return f;
}

}  // namespace qdfu
